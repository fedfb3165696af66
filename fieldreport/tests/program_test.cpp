// fieldreport as a lab runs it on a folder of captures: its figures against score and cerscore run
// on the same texts, verdicts, pairing, bad input, outputs that never harm an input, and the web
// page in a real browser.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture_maker.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using capture_maker::Channel;
using capture_maker::Conditions;
using kit::testing::ProgramResult;
using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;

const std::string kHeader =
    "file,record,started,computer_id,type,direction,signal,device,phone_model,phone_tech,network_info,turbo,"
    "script_completed,script,master_chars,coverage,pcer,ccer,tcer,cer,pcer_total,pcer_correct,pcer_added,"
    "pcer_missed,pcer_changed,ccer_total,ccer_correct,ccer_added,ccer_missed,ccer_changed,tcer_total,tcer_"
    "correct,"
    "tcer_added,tcer_missed,tcer_changed,cer_errors,cer_length,verdict";

using Row = std::map<std::string, std::string>;

// RFC 4180: quoted fields may hold commas, doubled quotes and line ends; rows end in CR LF.
std::vector<Row> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(field);
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.back().push_back(field);
      field.clear();
      rows.emplace_back();
      ++i;
    } else {
      field += c;
    }
  }
  EXPECT_TRUE(rows.back().empty() && field.empty()) << "the last row has no CR LF";
  rows.pop_back();
  std::vector<Row> out;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r].size(), rows[0].size());
    Row row;
    for (std::size_t c = 0; c < rows[0].size() && c < rows[r].size(); ++c) row[rows[0][c]] = rows[r][c];
    out.push_back(row);
  }
  return out;
}

std::string after(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return "(no " + label + ")";
  std::size_t from = at + label.size();
  while (from < text.size() && text[from] == ' ') ++from;
  return text.substr(from, text.find_first_of("\r\n,", from) - from);
}

class FieldReport : public ::testing::Test {
 protected:
  ProgramResult run(std::vector<std::string> args) {
    args.insert(args.begin(), FIELDREPORT_BIN);
    return runProgram(args);
  }
  std::string write(const std::string& name, const std::string& bytes) {
    fs::create_directories(fs::path(dir.file(name)).parent_path());
    return dir.write(name, bytes);
  }
  std::mt19937_64 rng{std::getenv("FIELDREPORT_TEST_SEED")
                          ? std::strtoull(std::getenv("FIELDREPORT_TEST_SEED"), nullptr, 10)
                          : 20011018};
  TempDir dir;
};

TEST_F(FieldReport, FiguresAreThoseOfScoreAndCerscoreOnTheExtractedTexts) {
  // Three capture files in a folder tree, several records each, both directions, channels from
  // clean to bad, one call dropped; scripts named as written, relative to the capture and by name.
  const auto turnsA = capture_maker::makeTurns(rng, 8), turnsB = capture_maker::makeTurns(rng, 5);
  write("day/scripts/a.txt", capture_maker::scriptFile(turnsA));
  const std::string scriptB = write("elsewhere/b.txt", capture_maker::scriptFile(turnsB));
  struct Expected {
    std::string reference, received;
  };
  std::map<std::string, Expected> expected;  // by "file:record"
  const std::vector<std::string> files = {"day/0901-0900-LAB1.TXT", "day/car/0901-1000-LAB2.txt",
                                          "day/car/0901-1100-LAB3.Txt"};
  long long start = 1'000'000'000;
  for (const std::string& name : files) {
    std::string capture;
    const int records = 2 + static_cast<int>(rng() % 3);
    for (int n = 1; n <= records; ++n) {
      const bool useA = rng() % 2 == 0;
      Conditions c;
      c.direction = rng() % 2 ? "Incoming Call" : "Outgoing Call";
      c.type = rng() % 3 ? "Wireless Calls (Moving)" : "Landline Calls (Acoustic)";
      c.signal = "Weak, \"1 bar\"";  // quoted in the CSV
      Channel ch{(rng() % 4) / 100.0, (rng() % 3) / 100.0, (rng() % 3) / 100.0, (rng() % 20) / 100.0};
      const int keep = rng() % 5 == 0 ? 1 : -1;
      // Script A by a name relative to the capture's folder, B as written (absolute).
      const std::string used =
          useA ? (name.find("/car/") != std::string::npos ? "../scripts/a.txt" : "scripts/a.txt") : scriptB;
      auto call = capture_maker::makeCall(rng, useA ? turnsA : turnsB, used, c, start, 75.5, ch, keep);
      start += 600;
      capture += call.record;
      expected[dir.file(name) + ":" + std::to_string(n)] = {call.reference, call.received};
    }
    write(name, capture);
  }
  write("day/notes.doc", "not a capture, not looked at");

  const std::string csv = dir.file("out/report.csv"), texts = dir.file("texts");
  fs::create_directories(dir.file("out"));
  auto r = run({dir.file("day"), "--csv", csv, "--texts", texts});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string csvText = readFile(csv);
  ASSERT_EQ(csvText.substr(0, csvText.find("\r\n")), kHeader);
  const auto rows = parseCsv(csvText);
  ASSERT_EQ(rows.size(), expected.size());

  for (const Row& row : rows) {
    const std::string id = row.at("file") + ":" + row.at("record");
    SCOPED_TRACE(id);
    ASSERT_EQ(expected.count(id), 1u);
    EXPECT_EQ(row.at("signal"), row.at("type").find("Landline") != std::string::npos ? "N/A (Landline calls)"
                                                                                     : "Weak, \"1 bar\"");
    // The texts scored are the far end's turns and what arrived, made independently here.
    const std::string stem = fs::path(row.at("file")).stem().string() + "-" + row.at("record");
    const std::string ref = texts + "/" + stem + "-reference.txt", rec = texts + "/" + stem + "-received.txt";
    ASSERT_EQ(readFile(ref), expected[id].reference);
    ASSERT_EQ(readFile(rec), expected[id].received);

    auto score = runProgram({SCORE_BIN, ref, rec, dir.file("score.txt")});
    ASSERT_EQ(score.exitCode, 0) << score.out;
    EXPECT_EQ(row.at("pcer"), after(score.out, "Percentage Error (PCER) ="));
    EXPECT_EQ(row.at("ccer"), after(score.out, "Percentage Error (CCER) ="));
    EXPECT_EQ(row.at("tcer"), after(score.out, "Percentage Error (TCER) ="));
    const std::string scoreFile = readFile(dir.file("score.txt"));
    // The score file's three "Total = ..." lines: plain, CM and SM sets.
    std::size_t at = 0;
    for (const std::string set : {"pcer", "ccer", "tcer"}) {
      at = scoreFile.find("Total = ", at);
      ASSERT_NE(at, std::string::npos);
      long n[5];
      ASSERT_EQ(std::sscanf(scoreFile.c_str() + at,
                            "Total = %ld, Correct %ld, Added = %ld, Missed = %ld, Changed = %ld", &n[0],
                            &n[1], &n[2], &n[3], &n[4]),
                5);
      ++at;
      const char* names[] = {"_total", "_correct", "_added", "_missed", "_changed"};
      for (int k = 0; k < 5; ++k) EXPECT_EQ(row.at(set + names[k]), std::to_string(n[k])) << set << names[k];
      if (set == "pcer") {
        const double coverage = 100.0 * static_cast<double>(n[0]) / std::stoi(row.at("master_chars"));
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", coverage);
        EXPECT_EQ(row.at("coverage"), text);
        EXPECT_EQ(row.at("verdict"), coverage < 95                     ? "incomplete"
                                     : std::stod(row.at("pcer")) < 1.0 ? "pass"
                                                                       : "fail");
      }
    }

    auto cer = runProgram({CERSCORE_BIN, ref, rec, dir.file("cer.txt")});
    ASSERT_EQ(cer.exitCode, 0) << cer.err;
    EXPECT_EQ(row.at("cer_errors"), after(cer.out, "Number of character errors :"));
    EXPECT_EQ(row.at("cer_length"), after(cer.out, "Length of reference text   :"));
    EXPECT_EQ(row.at("cer"), after(cer.out, "Character error rate (in %):"));
  }
}

TEST_F(FieldReport, PerfectCallPassesAndADroppedCallIsIncompleteThoughItsRatesAreZero) {
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  std::string capture = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  capture += capture_maker::makeCall(rng, turns, script, {}, 1'000'001'000, 20, {}, 1).record;
  const std::string file = write("0909-1700-LAB1.TXT", capture);
  auto r = run({file, "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 2u);
  for (const char* rate : {"pcer", "ccer", "tcer", "cer"}) EXPECT_EQ(rows[0].at(rate), "0.00") << rate;
  EXPECT_EQ(rows[0].at("coverage"), "100.00");
  EXPECT_EQ(rows[0].at("verdict"), "pass");
  EXPECT_EQ(rows[1].at("pcer"), "0.00");
  EXPECT_LT(std::stod(rows[1].at("coverage")), 95.0);
  EXPECT_EQ(rows[1].at("verdict"), "incomplete");
  EXPECT_GT(std::stod(rows[1].at("cer")), 0.0);  // cerscore counts the text that never came
  EXPECT_NE(r.out.find("incomplete"), std::string::npos);
}

TEST_F(FieldReport, BothEndsOfACallAreOneCall) {
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  Conditions lab, car;
  car.computer = "CAR1";
  car.direction = "Outgoing Call";
  write("day/0909-1700-LAB1.TXT",
        capture_maker::makeCall(rng, turns, script, lab, 1'000'000'000, 80, {}).record);
  write("day/0909-1700-CAR1.TXT",
        capture_maker::makeCall(rng, turns, script, car, 1'000'000'020, 70, {0.1, 0, 0, 0}).record);
  auto r = run({dir.file("day")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2 records scored in 1 calls"), std::string::npos) << r.out;
  // One call of two lines: the clean direction passes, the other fails, so the call fails.
  std::istringstream lines(r.out.substr(r.out.find("\nCalls")));
  std::vector<std::vector<std::string>> words;
  for (std::string line; std::getline(lines, line) && words.size() < 5;) {
    std::istringstream in(line);
    words.emplace_back(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
  }
  ASSERT_EQ(words.size(), 5u) << r.out;  // an empty line, the title, the header, two ends
  EXPECT_EQ(words[3], (std::vector<std::string>{"1", words[3][1], words[3][2], "0909-1700-LAB1.TXT:1", "LAB1",
                                                "Incoming", "Call", "100.00", "0.00", "0.00", "0.00", "0.00",
                                                "pass", "fail"}));
  ASSERT_EQ(words[4].size(), 12u) << r.out;
  EXPECT_EQ(words[4][2], "0909-1700-CAR1.TXT:1");
  EXPECT_EQ(words[4].back(), "fail");
}

TEST_F(FieldReport, BadInputIsSkippedWithOneLineEachAndListedInTheReport) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("day/script.txt", capture_maker::scriptFile(turns));
  const std::string good = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  Conditions neither;
  neither.direction = "";
  const std::string truncated = good.substr(0, good.find("PORT: 1"));
  write("day/a-empty.TXT", "");
  write("day/b-binary.TXT", std::string("\x7f"
                                        "ELF\x02\x01\x01\0\0\0\0",
                                        12));
  write("day/c-notes.TXT", "Shopping list\r\nMilk\r\n");
  write("day/d-lab.TXT",
        good + capture_maker::makeCall(rng, turns, "/no/such/script.txt", {}, 1'000'001'000, 80, {}).record +
            capture_maker::makeCall(rng, turns, script, neither, 1'000'002'000, 80, {}).record + truncated);
  const std::string html = dir.file("report.html");
  auto r = run({dir.file("day"), dir.file("missing"), "--csv", dir.file("r.csv"), "--html", html});
  EXPECT_EQ(r.exitCode, 2);
  const std::string d = dir.file("day/");
  EXPECT_EQ(r.err, "fieldreport: " + d +
                       "a-empty.TXT: empty file\n"
                       "fieldreport: " +
                       d +
                       "b-binary.TXT: not a capture file (binary data)\n"
                       "fieldreport: " +
                       d +
                       "c-notes.TXT: not a capture file (no call record in it)\n"
                       "fieldreport: " +
                       d +
                       "d-lab.TXT: record 2: script not found: /no/such/script.txt (looked for "
                       "/no/such/script.txt; --scripts DIR names a folder to look in)\n"
                       "fieldreport: " +
                       d +
                       "d-lab.TXT: record 3: DIRECTION \"\" names neither side (\"Incoming Call\" "
                       "or \"Outgoing Call\")\n"
                       "fieldreport: " +
                       d +
                       "d-lab.TXT: record 4: truncated: the record ends before its SCRIPTUSED line\n"
                       "fieldreport: " +
                       dir.file("missing") + ": no such file or folder\n");
  // The one good record is reported; the rest are in the page's "not scored" table.
  EXPECT_EQ(parseCsv(readFile(dir.file("r.csv"))).size(), 1u);
  const std::string page = readFile(html);
  const std::string notScored = page.substr(page.find("id=\"not-scored\""));
  for (const char* reason : {"empty file", "binary data", "no call record", "script not found",
                             "names neither side", "truncated", "no such file"})
    EXPECT_NE(notScored.find(reason), std::string::npos) << reason;
  // With --scripts the missing script is found by its name.
  write("lib/SCRIPT.TXT", capture_maker::scriptFile(turns));
  auto found = run({dir.file("day/d-lab.TXT"), "--scripts", dir.file("lib")});
  EXPECT_EQ(found.err.find("record 2"), std::string::npos) << found.err;
  EXPECT_NE(found.out.find("2 records scored"), std::string::npos) << found.out;
}

TEST_F(FieldReport, OutputsNeverHarmAnInputAndUsageErrorsAreOne) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string scriptBytes = capture_maker::scriptFile(turns);
  const std::string script = write("script.txt", scriptBytes);
  const std::string captureBytes =
      capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  const std::string capture = write("day/0909-1700-LAB1.TXT", captureBytes);
  fs::create_symlink(capture, dir.file("link.csv"));
  for (const auto& args :
       std::vector<std::vector<std::string>>{{capture, "--csv", capture},
                                             {dir.file("day"), "--csv", dir.file("link.csv")},
                                             {capture, "--html", script}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1) << args[2];
    EXPECT_NE(r.err.find("it is one of the inputs"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(readFile(capture), captureBytes);
  EXPECT_EQ(readFile(script), scriptBytes);

  // An output replaced whole, with no temporary file left beside it.
  const std::string csv = write("out/r.csv", "an older report\n");
  ASSERT_EQ(run({capture, "--csv", csv}).exitCode, 0);
  EXPECT_EQ(readFile(csv).substr(0, kHeader.size()), kHeader);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("out")), fs::directory_iterator()), 1);
  // An output that cannot be written is found before any work.
  auto nowhere = run({capture, "--csv", dir.file("no/such/folder/r.csv")});
  EXPECT_EQ(nowhere.exitCode, 1);
  EXPECT_NE(nowhere.err.find("no folder"), std::string::npos);
  kit::testing::RunOptions noLibrary;
  noLibrary.env = {"FIELDREPORT_CHART_JS=" + dir.file("none.js")};
  auto missingLibrary = runProgram({FIELDREPORT_BIN, capture, "--html", dir.file("r.html")}, noLibrary);
  EXPECT_EQ(missingLibrary.exitCode, 1);
  EXPECT_NE(missingLibrary.err.find("libjs-chart.js"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("r.html")));

  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--csv"},
                                             {capture, "--frobnicate"},
                                             {capture, "--limit", "WER=1"},
                                             {capture, "--limit", "PCER=x"},
                                             {capture, "--by", ","},
                                             {capture, "--jobs", "0"},
                                             {capture, "--script", dir.file("none.txt")}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1) << (args.empty() ? "" : args.back());
    EXPECT_NE(r.err.find("fieldreport: "), std::string::npos);
  }
}

// Chromium from Debian's packages, headless.
std::string chromium() {
  for (const char* candidate : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (fs::exists(candidate)) return candidate;
  return "";
}

TEST_F(FieldReport, WebPageOpensOfflineInABrowserWithoutScriptErrors) {
  const std::string browser = chromium();
  if (browser.empty())
    GTEST_SKIP() << "no chromium-headless-shell or chromium (scripts/install-deps installs it)";
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("s.txt", capture_maker::scriptFile(turns));
  std::string capture;
  for (int n = 0; n < 6; ++n) {
    Conditions c;
    c.device = n % 2 ? "NXi modem" : "Ultratec Supercom";
    c.signal = n % 3 ? "Strong" : "<b>Weak</b> & \"odd\"";  // must come out as text
    capture += capture_maker::makeCall(rng, turns, script, c, 1'000'000'000 + n * 600, 80,
                                       {0.01, 0.01, 0, 0.1}, n == 5 ? 1 : -1)
                   .record;
  }
  write("day/0909-1700-LAB1.TXT", capture);
  const std::string html = dir.file("report.html");
  ASSERT_EQ(run({dir.file("day"), "--html", html}).exitCode, 0);
  const std::string page = readFile(html);
  EXPECT_EQ(page.find("<b>Weak"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;Weak&lt;/b&gt; &amp; &quot;odd&quot;"), std::string::npos);
  // Nothing fetched from elsewhere: every script is inline.
  EXPECT_EQ(page.find(" src="), std::string::npos);
  EXPECT_EQ(page.find("http://"), page.find("http://www.w3.org"));

  auto r = runProgram({browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update", "--disable-sync",
                       "--user-data-dir=" + dir.file("profile"), "--dump-dom", "file://" + html});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::size_t body = r.out.find("<body");
  ASSERT_NE(body, std::string::npos) << r.out.substr(0, 2000);
  EXPECT_EQ(r.out.substr(body, r.out.find('>', body) + 1 - body),
            "<body data-charts=\"7\">");  // no error noted
}

}  // namespace
