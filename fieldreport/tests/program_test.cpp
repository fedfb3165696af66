// SPDX-License-Identifier: Apache-2.0
// fieldreport as a lab runs it on a folder of captures: its figures against score and cerscore run
// on the same texts, verdicts, pairing, bad input, outputs that never harm an input, and the web
// page in a real browser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
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
    "pcer_missed,pcer_changed,ccer_total,ccer_correct,ccer_added,ccer_missed,ccer_changed,tcer_total,"
    "tcer_correct,tcer_added,tcer_missed,tcer_changed,cer_errors,cer_length,verdict,"
    "call,partner,call_verdict,ended,seconds,username,location,cable_id,port,dial_number";

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
 public:
  // SHA-256 by sha256sum, as a lab would check it.
  std::string sha256(const std::string& bytes) {
    const std::string file = dir.write("digest-me", bytes);
    const auto r = runProgram({"/usr/bin/sha256sum", file});
    return r.out.substr(0, 64);
  }

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
    // The alignment beside the texts is the score file score writes.
    EXPECT_EQ(readFile(texts + "/" + stem + "-score.txt"), scoreFile);
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
        // By default both PCER and CER must be below 1 %.
        EXPECT_EQ(row.at("verdict"), coverage < 95 ? "incomplete"
                                     : std::stod(row.at("pcer")) < 1.0 && std::stod(row.at("cer")) < 1.0
                                         ? "pass"
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
  // Each call direction's line ends with the condition it counts in, as the summary names it.
  auto dash = [](const std::string& v) { return v.empty() ? std::string("-") : v; };
  const std::string condition =
      dash(rows[0].at("type")) + " / " + dash(rows[0].at("device")) + " / " + dash(rows[0].at("signal"));
  std::istringstream lines(r.out);
  int conditionLines = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Capture:record") != std::string::npos && line.find("Call verdict") != std::string::npos) {
      EXPECT_TRUE(line.ends_with("Condition")) << line;
    }
    if (line.find("0909-1700-LAB1.TXT:") != std::string::npos && line.find(" pass") != std::string::npos) {
      EXPECT_TRUE(line.ends_with(condition)) << line << "\n" << condition;
      ++conditionLines;
    }
  }
  EXPECT_EQ(conditionLines, 1) << r.out;

  // The summary says what decided each verdict, in a column after all the others.
  const std::string alone = write("0909-1800-LAB1.TXT",
                                  capture_maker::makeCall(rng, turns, script, {}, 1'000'005'000, 80, {}).record);
  for (const auto& [files, verdict, reason] :
       std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
           {{file}, "fail", "1 call dropped or incomplete"}, {{alone}, "undetermined", "fewer than 3 calls"}}) {
    std::vector<std::string> args = files;
    args.insert(args.end(), {"--summary-csv", dir.file("s.csv")});
    ASSERT_EQ(run(args).exitCode, 0);
    const std::string text = readFile(dir.file("s.csv"));
    EXPECT_EQ(text.substr(0, text.find('\r')),
              "group,calls,complete_calls,passed_calls,pcer,pcer_low,pcer_high,ccer,ccer_low,ccer_high,tcer,"
              "tcer_low,tcer_high,cer,cer_low,cer_high,verdict,verdict_reason,calls_needed");
    const auto summary = parseCsv(text);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].at("verdict"), verdict);
    EXPECT_EQ(summary[0].at("verdict_reason"), reason);
    // A settled condition needs no more calls; one clean call needs at least the two more a pass
    // takes, and says so with its verdict.
    if (verdict == "fail") {
      EXPECT_EQ(summary[0].at("calls_needed"), "");
    } else {
      ASSERT_FALSE(summary[0].at("calls_needed").empty());
      const int needed = std::stoi(summary[0].at("calls_needed"));
      EXPECT_GE(needed, 2);
      auto terminal = run(files);
      EXPECT_NE(terminal.out.find("undetermined (fewer than 3 calls; " + std::to_string(needed) +
                                  " more calls would likely settle it)"),
                std::string::npos)
          << terminal.out;
      EXPECT_NE(terminal.out.find("The intervals are for the rate of calls like these on the day tested (2001-"),
                std::string::npos)
          << terminal.out;
    }
  }
}

// A record written by hand: the lines of a record as the program writes them.
std::string recordText(const std::string& started, const std::string& conversation,
                       const std::vector<std::pair<std::string, std::string>>& values, double seconds = 60) {
  std::string r = std::string(64, '=') + "\r\nStarted at " + started + "\r\n\r\n" + conversation +
                  "\r\n\r\nEnded at " + started + " (" + std::to_string(static_cast<int>(seconds)) +
                  ".0 seconds)\r\n";
  for (const auto& [k, v] : values) r += k + ": " + v + "\r\n";
  return r + "\r\n";
}

std::vector<std::pair<std::string, std::string>> values(const std::string& computer,
                                                        const std::string& direction,
                                                        const std::string& device,
                                                        const std::string& script) {
  return {{"COMPUTERID", computer}, {"TYPE", "Landline Calls (Acoustic)"},
          {"DIRECTION", direction}, {"SIGNAL", "N/A (Landline calls)"},
          {"DEVICE", device},       {"SCRIPTCOMPLETED", "Yes"},
          {"SCRIPTUSED", script}};
}

TEST_F(FieldReport, BothEndsOfACallAreOneCallAndShareItsNumber) {
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  Conditions lab, car;
  car.computer = "CAR1";
  car.direction = "Outgoing Call";
  write("day/0909-1700-LAB1.TXT",
        capture_maker::makeCall(rng, turns, script, lab, 1'000'000'000, 80, {}).record);
  write("day/0909-1700-CAR1.TXT",
        capture_maker::makeCall(rng, turns, script, car, 1'000'000'020, 70, {0.1, 0, 0, 0}).record);
  auto r = run({dir.file("day"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2 records scored in 1 call,"), std::string::npos) << r.out;
  auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 2u);
  if (rows[0].at("computer_id") != "LAB1") std::swap(rows[0], rows[1]);
  // The clean direction passes, the other fails, so the call fails; each end names the other.
  EXPECT_EQ(rows[0].at("call"), "1");
  EXPECT_EQ(rows[1].at("call"), "1");
  EXPECT_EQ(rows[0].at("verdict"), "pass");
  EXPECT_EQ(rows[1].at("verdict"), "fail");
  EXPECT_EQ(rows[0].at("call_verdict"), "fail");
  EXPECT_EQ(rows[0].at("partner"), rows[1].at("file") + "#1");
  EXPECT_EQ(rows[1].at("partner"), rows[0].at("file") + "#1");
  EXPECT_EQ(rows[0].at("username"), "tester");
  EXPECT_EQ(rows[0].at("dial_number"), "");
  EXPECT_EQ(rows[1].at("dial_number"), "5550142");
  EXPECT_EQ(rows[0].at("seconds"), "80.0");
  EXPECT_EQ(rows[0].at("ended"), capture_maker::dateTime(1'000'000'080));
}

TEST_F(FieldReport, TwoPositionsAtOnceWithSkewedClocksArePairedRight) {
  // LAB1 with CAR1 and LAB2 with CAR2, the same script at the same moments; CAR1's clock 100 s
  // ahead, CAR2's 110 s behind; the calls' lengths differ from position to position.
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  std::uniform_int_distribution<int> length(60, 180);
  for (int position = 1; position <= 2; ++position) {
    long long t = 1'790'000'000;
    for (int k = 0; k < 12; ++k) {
      const int seconds = length(rng);
      Conditions lab, car;
      lab.computer = "LAB" + std::to_string(position);
      car.computer = "CAR" + std::to_string(position);
      lab.direction = k % 2 ? "Outgoing Call" : "Incoming Call";
      car.direction = k % 2 ? "Incoming Call" : "Outgoing Call";
      const long long skew = position == 1 ? 100 : -110;
      write("day/" + lab.computer + "-" + std::to_string(k) + ".TXT",
            capture_maker::makeCall(rng, turns, script, lab, t, seconds, {}).record);
      write("day/" + car.computer + "-" + std::to_string(k) + ".TXT",
            capture_maker::makeCall(rng, turns, script, car, t + 3 + skew, seconds - 2, {}).record);
      t += seconds + 40;
    }
  }
  auto r = run({dir.file("day"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 48u);
  for (const Row& row : rows) {
    // LAB1-3.TXT with CAR1-3.TXT, and so on.
    std::string partner = fs::path(row.at("file")).filename().string();
    partner.replace(0, 3, partner.starts_with("LAB") ? "CAR" : "LAB");
    EXPECT_EQ(row.at("partner"), dir.file("day/" + partner) + "#1") << row.at("file");
  }
  // The clocks apart as the calls show them: the far ends also started 3 s after their partners.
  EXPECT_NE(r.out.find("CAR1      LAB1        -102     12  their calls"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CAR2      LAB2        +108     12  their calls"), std::string::npos) << r.out;
}

// Two positions at once whose far ends ran ttysim --record under its default name FAREND: one
// far-end computer's clock ahead, the other's behind, the second position starting 20-65 s after
// the first, every call of its own length; the lab's ends as LAB1 and LAB2, or both as LAB1 (two
// ports of one computer). Each day's files go through fieldreport, and each record's partner in
// the CSV is judged against the call it was made for.
TEST_F(FieldReport, TwoPositionsWhoseFarEndsShareANameArePairedByLengthAndOneClockDifference) {
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  std::uniform_real_distribution<double> u(0, 1);
  const std::vector<std::pair<long long, long long>> skews = {
      {0, 0}, {60, -45}, {-60, 60}, {120, -120}, {-120, 120}};
  int allWrong = 0, allMissed = 0;
  for (const bool oneLab : {false, true})
    for (const auto& [skew1, skew2] : skews) {
      int right = 0, wrong = 0, missed = 0;
      for (int d = 0; d < 4; ++d) {
        const std::string day =
            "day-" + std::to_string(oneLab) + std::to_string(skew1) + "-" + std::to_string(d);
        const long long lag = 20 + static_cast<long long>(45 * u(rng));
        for (int position = 1; position <= 2; ++position) {
          long long t = 1'790'000'000 + (position == 2 ? lag : 0);
          for (int k = 0; k < 6; ++k) {
            const int seconds = 60 + static_cast<int>(140 * u(rng));
            Conditions lab, far;
            lab.computer = "LAB" + std::to_string(oneLab ? 1 : position);
            far.computer = "FAREND";
            lab.direction = k % 2 ? "Outgoing Call" : "Incoming Call";
            far.direction = k % 2 ? "Incoming Call" : "Outgoing Call";
            const long long late = static_cast<long long>(3 * u(rng));  // the far end answered
            const std::string name = std::to_string(position) + "-" + std::to_string(k);
            write(day + "/LAB-" + name + ".TXT",
                  capture_maker::makeCall(rng, turns, script, lab, t, seconds, {}).record);
            write(day + "/FAR-" + name + ".TXT",
                  capture_maker::makeCall(rng, turns, script, far, t + late + (position == 1 ? skew1 : skew2),
                                          seconds - static_cast<double>(late), {})
                      .record);
            t += seconds + 20 + static_cast<long long>(40 * u(rng));
          }
        }
        const auto r = run({dir.file(day), "--csv", dir.file(day + ".csv")});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto rows = parseCsv(readFile(dir.file(day + ".csv")));
        ASSERT_EQ(rows.size(), 24u);
        for (const Row& row : rows) {
          // LAB-1-3.TXT with FAR-1-3.TXT, and so on.
          std::string partner = fs::path(row.at("file")).filename().string();
          partner.replace(0, 3, partner.starts_with("LAB") ? "FAR" : "LAB");
          if (row.at("partner") == dir.file(day + "/" + partner) + "#1")
            ++right;
          else
            ++(row.at("partner").empty() ? missed : wrong);
        }
      }
      std::printf(
          "%s, far-end clocks %+lld s and %+lld s: of 96 records %d paired right, %d wrong, %d unpaired\n",
          oneLab ? "one lab name" : "two lab names", skew1, skew2, right, wrong, missed);
      allWrong += wrong;
      allMissed += missed;
    }
  EXPECT_EQ(allWrong, 0);
  EXPECT_EQ(allMissed, 0);
}

TEST_F(FieldReport, BadInputIsListedWithOneLineEachAndTheRestIsScored) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("day/script.txt", capture_maker::scriptFile(turns));
  const std::string good = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  Conditions neither;
  neither.direction = "";
  write("day/a-empty.TXT", "");
  write("day/b-binary.TXT", std::string("\x7f"
                                        "ELF\x02\x01\x01\0\0\0\0",
                                        12));
  write("day/c-notes.TXT", "Shopping list\r\nMilk\r\n");
  write("day/d-lab.TXT",
        good + capture_maker::makeCall(rng, turns, "/no/such/script.txt", {}, 1'000'001'000, 80, {}).record +
            capture_maker::makeCall(rng, turns, script, neither, 1'000'002'000, 80, {}).record);
  // A file that is only a record cut short after its rule line.
  write("day/e-cut.TXT", good.substr(0, 70));
  const std::string html = dir.file("report.html");
  auto r = run({dir.file("day"), dir.file("missing"), "--csv", dir.file("r.csv"), "--html", html});
  EXPECT_EQ(r.exitCode, 2);
  const std::string d = dir.file("day/");
  EXPECT_EQ(r.err, "fieldreport: " + d + "a-empty.TXT: empty file\n" +                                     //
                       "fieldreport: " + d + "b-binary.TXT: not a capture file (binary data)\n" +          //
                       "fieldreport: " + d + "c-notes.TXT: not a capture file (no call record in it)\n" +  //
                       "fieldreport: " + d +
                       "d-lab.TXT: record 2: script not found: /no/such/script.txt (looked for "
                       "/no/such/script.txt; --scripts DIR names a folder to look in)\n" +
                       "fieldreport: " + d +
                       "d-lab.TXT: record 3: DIRECTION \"\" names neither side (\"Incoming Call\" "
                       "or \"Outgoing Call\")\n" +
                       "fieldreport: " + d +
                       "e-cut.TXT: record 1: no \"Started at\" line after the rule line\n" +
                       "fieldreport: " + dir.file("missing") + ": no such file or folder\n");
  // The good record is scored; every one not scored has a row with its reason.
  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[0].at("verdict"), "pass");
  EXPECT_EQ(rows[4].at("record"), "2");
  EXPECT_EQ(rows[4].at("verdict").substr(0, 17), "script not found:");
  EXPECT_EQ(rows[4].at("started"), capture_maker::dateTime(1'000'001'000));
  EXPECT_EQ(rows[7].at("file"), dir.file("missing"));
  EXPECT_EQ(rows[7].at("record"), "");
  const std::string page = readFile(html);
  const std::string notScored = page.substr(page.find("id=\"not-scored\""));
  for (const char* reason : {"empty file", "binary data", "no call record", "script not found",
                             "names neither side", "Started at", "no such file"})
    EXPECT_NE(notScored.find(reason), std::string::npos) << reason;
  // With --scripts the missing script is found by its name.
  write("lib/SCRIPT.TXT", capture_maker::scriptFile(turns));
  auto found = run({dir.file("day/d-lab.TXT"), "--scripts", dir.file("lib")});
  EXPECT_EQ(found.err.find("record 2"), std::string::npos) << found.err;
  EXPECT_NE(found.out.find("2 records scored"), std::string::npos) << found.out;
}

TEST_F(FieldReport, ARecordCutShortIsScoredAloneAsIncompleteAndTheNextIsReadWhole) {
  // The first call broke off in the middle of a received line (the program was killed); the next
  // call, in the same minute, was appended right after it.
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  const std::string first = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  const std::string second = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'100, 80, {}).record;
  const std::size_t received = first.find("RECD: ");
  const std::string cut = first.substr(0, received + 15);
  write("day/0909-1746-LAB1.TXT", cut + second);
  auto r = run({dir.file("day"), "--csv", dir.file("r.csv"), "--summary-csv", dir.file("s.csv")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("record"), "1");
  EXPECT_EQ(rows[0].at("verdict"), "incomplete");
  EXPECT_EQ(rows[0].at("script"), script);  // taken from record 2, which ran under the same settings
  EXPECT_EQ(rows[1].at("record"), "2");
  EXPECT_EQ(rows[1].at("verdict"), "pass");
  EXPECT_EQ(rows[1].at("coverage"), "100.00");
  EXPECT_NE(
      r.out.find("record ends before its \"Ended at\" line; scored as incomplete; its conditions taken from "
                 "record 2"),
      std::string::npos)
      << r.out;
  // The condition of the two calls fails on the one cut short.
  const auto summary = parseCsv(readFile(dir.file("s.csv")));
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].at("calls"), "2");
  EXPECT_EQ(summary[0].at("complete_calls"), "1");
  EXPECT_EQ(summary[0].at("verdict"), "fail");
}

TEST_F(FieldReport, ACallBrokenOffAloneInItsFileCountsInItsConditionWhereverItWasSaved) {
  // One file per call, as the program names them by minute. LAB1 ran three calls on a strong
  // signal, then three on a weak one; a call between them broke off mid-conversation, alone in
  // its file, which was saved in a folder of its own. LAB9 saved nothing but a broken call.
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  Conditions strong, weak;
  weak.signal = "Weak";
  for (int k = 0; k < 6; ++k) {
    const long long at = 1'000'000'000 + (k < 3 ? k * 600 : 20'000 + k * 600);
    write("day/0909-0" + std::to_string(k) + "00-LAB1.TXT",
          capture_maker::makeCall(rng, turns, script, k < 3 ? strong : weak, at, 80, {}).record);
  }
  auto brokenOff = [&](const Conditions& c, long long at) {
    const std::string call = capture_maker::makeCall(rng, turns, script, c, at, 80, {}).record;
    return call.substr(0, call.find("RECD: ") + 15);
  };
  // Its calls around it were incoming; this one was outgoing, as its conversation shows.
  Conditions outgoing = strong;
  outgoing.direction = "Outgoing Call";
  write("day/later/0909-0700-LAB1.TXT", brokenOff(outgoing, 1'000'000'000 + 3 * 600));
  Conditions other = strong;
  other.computer = "LAB9";
  write("day/0909-0800-LAB9.TXT", brokenOff(other, 1'000'000'000));
  auto r = run({dir.file("day"), "--by", "SIGNAL", "--csv", dir.file("r.csv"), "--summary-csv", dir.file("s.csv")});
  EXPECT_EQ(r.exitCode, 2) << r.err;  // LAB9's
  const auto summary = parseCsv(readFile(dir.file("s.csv")));
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_EQ(summary[0].at("group"), "Strong");
  EXPECT_EQ(summary[0].at("calls"), "4");
  EXPECT_EQ(summary[0].at("complete_calls"), "3");
  EXPECT_EQ(summary[0].at("verdict"), "fail");
  EXPECT_EQ(summary[1].at("group"), "Weak");
  EXPECT_EQ(summary[1].at("calls"), "3");
  EXPECT_EQ(summary[1].at("complete_calls"), "3");
  EXPECT_NE(r.out.find("1 call dropped or incomplete"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("scored as incomplete; its conditions taken from " + dir.file("day/0909-0200-LAB1.TXT") +
                       " record 1, the nearest call of computer LAB1"),
            std::string::npos)
      << r.out;
  // The broken call's row, in file order: day/0909-0*, then day/later; then LAB9's, not scored.
  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[6].at("file"), dir.file("day/later/0909-0700-LAB1.TXT"));
  EXPECT_EQ(rows[6].at("verdict"), "incomplete");
  EXPECT_EQ(rows[6].at("signal"), "Strong");
  EXPECT_EQ(rows[6].at("direction"), "Outgoing Call");
  EXPECT_EQ(rows[6].at("pcer"), "0.00");  // what arrived, scored against the right turns
  EXPECT_EQ(rows[7].at("file"), dir.file("day/0909-0800-LAB9.TXT"));
  EXPECT_EQ(rows[7].at("pcer"), "");
  // A computer with no whole record anywhere: not scored, and said why.
  EXPECT_NE(r.out.find("no whole record in the file or of its computer tells what it was scored against"),
            std::string::npos)
      << r.out;
}

TEST_F(FieldReport, UnreadableLoopingDuplicatedAndOwnOutputsAreNeverPassedOverInSilence) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  for (int n = 0; n < 3; ++n)
    write("day/am/0909-1" + std::to_string(n) + "00-LAB1.TXT",
          capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000 + n * 3600, 80, {}).record);
  // A backup copy of a folder inside the day, a link to another folder of captures, a link to a
  // capture that is gone, a link back up (a loop), and a folder that cannot be read.
  fs::copy(dir.file("day/am"), dir.file("day/am-backup"));
  write("elsewhere/pm/0909-2000-LAB1.TXT",
        capture_maker::makeCall(rng, turns, script, {}, 1'000'050'000, 80, {}).record);
  fs::create_directory_symlink(dir.file("elsewhere/pm"), dir.file("day/pm"));
  fs::create_symlink(dir.file("gone.TXT"), dir.file("day/lost.TXT"));
  fs::create_directory_symlink(dir.file("day"), dir.file("day/am/up"));
  write("day/locked/0909-2100-LAB1.TXT", "");
  fs::permissions(dir.file("day/locked"), fs::perms::none);
  // Run as an ordinary user: root reads any folder.
  std::vector<std::string> as = {FIELDREPORT_BIN};
  if (geteuid() == 0) {
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", FIELDREPORT_BIN};
  }
  as.push_back(dir.file("day"));
  auto r = runProgram(as);
  fs::permissions(dir.file("day/locked"), fs::perms::owner_all);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(
      r.err.find(dir.file("day/am/up") + ": a link back to a folder above it (a loop): not searched again"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(dir.file("day/lost.TXT") + ": a link to nothing"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(dir.file("day/locked") + ": cannot read the folder: Permission denied"),
            std::string::npos)
      << r.err;
  // Three calls and one through the link, each once; the copies listed as duplicates.
  EXPECT_NE(r.out.find("4 records scored in 4 calls, 3 not read or not scored, 3 duplicates."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("am-backup/0909-1000-LAB1.TXT:1  the same record as " +
                       dir.file("day/am/0909-1000-LAB1.TXT") + ":1: counted once"),
            std::string::npos)
      << r.out;

  // Texts written inside the day are not read back as captures by the next run.
  fs::remove(dir.file("day/lost.TXT"));
  fs::remove(dir.file("day/am/up"));
  fs::remove_all(dir.file("day/locked"));
  ASSERT_EQ(run({dir.file("day"), "--texts", dir.file("day/texts")}).exitCode, 0);
  EXPECT_TRUE(fs::exists(dir.file("day/texts/0909-1000-LAB1-1-received.txt")));
  auto again = run({dir.file("day"), "--html", dir.file("day/report.html")});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.err, "");
  EXPECT_NE(again.out.find("4 records scored in 4 calls, 0 not read or not scored"), std::string::npos)
      << again.out;
  EXPECT_NE(again.out.find("a folder of texts written by fieldreport: not read as captures"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir.file("day/report-texts/0909-1000-LAB1-1-score.txt")));
}

TEST_F(FieldReport, GarbageAddedToACallFailsItByDefault) {
  // 41 stray letters among 216 characters: nothing is missed or changed, so PCER stays at 0.00;
  // CER counts them.
  const std::vector<std::string> line = {"THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG GA"};
  const capture_maker::Turns turns = {line, line, line, line, line, line, line, line, line};
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  std::string garbage =
      capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {0, 0, 0.19, 0}).record;
  write("0909-1700-LAB1.TXT", garbage);
  auto r = run({dir.file("0909-1700-LAB1.TXT"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("pcer"), "0.00");
  EXPECT_GT(std::stod(rows[0].at("cer")), 10.0);
  EXPECT_EQ(rows[0].at("verdict"), "fail");
  // With the limit on PCER alone it would pass.
  r = run({dir.file("0909-1700-LAB1.TXT"), "--csv", dir.file("r.csv"), "--limit", "PCER=1"});
  EXPECT_EQ(parseCsv(readFile(dir.file("r.csv")))[0].at("verdict"), "pass");
}

TEST_F(FieldReport, DatesWrittenDayFirstAreReadByTheFilesName) {
  // On 3 April, en_GB writes 03/04/2026: read month first it would be 4 March, a month before
  // its far end's record written in ISO form.
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  write("0403-1405-LAB1.TXT",
        recordText("03/04/2026 14:05:07", "SEND: X", values("LAB1", "Incoming Call", "NXi modem", script)));
  write("0403-1405-CAR1.TXT",
        recordText("2026-04-03 14:05:20", "SEND: X", values("CAR1", "Outgoing Call", "NXi modem", script)));
  write("0403-1500-LAB2.TXT",
        recordText("at tea time", "SEND: X", values("LAB2", "Incoming Call", "NXi modem", script)));
  auto r = run({dir.path().string(), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("3 records scored in 2 calls"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the start \"at tea time\" cannot be read as a date and time: not paired"),
            std::string::npos)
      << r.out;
}

TEST_F(FieldReport, ScriptsAsTheFarEndTypedThem) {
  // ttysim typed {call} as the number of the call in a row.
  const std::string script =
      write("script.txt", "HELLO GA\r\n\r\nTHIS IS CALL {call} GA\r\n\r\nBYE SK\r\n\r\n");
  std::string records;
  for (int call = 1; call <= 3; ++call) {
    const std::string received =
        call == 2 ? "THIS IS" : "THIS IS CALL " + std::to_string(call) + " GA";  // 2 dropped
    records += recordText(capture_maker::dateTime(1'000'000'000 + call * 300),
                          "SEND: HELLO GA \r\n\r\nRECD: " + received + "\r\n\r\nSEND: BYE SK",
                          values("LAB1", "Incoming Call", "NXi modem", script));
  }
  write("calls/0909-1700-LAB1.TXT", records);
  auto r = run({dir.file("calls"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("pcer"), "0.00");
  EXPECT_EQ(rows[2].at("pcer"), "0.00");
  EXPECT_NE(r.out.find("the number {call} stands for did not arrive; taken as 2 from the calls around it"),
            std::string::npos)
      << r.out;

  // A far end at a Q-90 or a Supercom typed its turns by hand, lines joined; the program's sent
  // with a space after each line.
  const std::string two =
      write("two.txt", "HELLO\r\nTHERE GA\r\n\r\nFINE\r\nTHANKS GA\r\n\r\nBYE SK\r\n\r\n");
  write(
      "pair/0909-1800-LAB1.TXT",
      recordText("09/09/26 18:00:00", "SEND: HELLO THERE GA \r\n\r\nRECD: FINETHANKS GA\r\n\r\nSEND: BYE SK",
                 values("LAB1", "Incoming Call", "NXi modem", two)));
  write(
      "pair/0909-1800-CAR1.TXT",
      recordText("09/09/26 18:00:05", "RECD: HELLO THERE GA \r\n\r\nSEND: FINETHANKS GA\r\n\r\nRECD: BYE SK",
                 values("CAR1", "Outgoing Call", "Ameriphone Q-90", two)));
  r = run({dir.file("pair"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 2u);
  for (const Row& row : rows) EXPECT_EQ(row.at("pcer"), "0.00") << row.at("file");
  EXPECT_NE(r.out.find("1 record scored against the far end's turns as typed by hand"), std::string::npos) << r.out;

  // --script over a record's own, different script is said.
  const std::string other = write("other.txt", "GOOD DAY GA\r\n\r\nFINE THANKS GA\r\n\r\n");
  r = run({dir.file("pair"), "--script", other});
  EXPECT_NE(r.out.find("--script " + other + " differs from the script this record ran, " + two),
            std::string::npos)
      << r.out;
}

TEST_F(FieldReport, AFileResavedAsUtf8IsTheSameConditionAsTheOthers) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  auto located = [&](long long start) {
    std::string record = capture_maker::makeCall(rng, turns, script, {}, start, 80, {}).record;
    record.replace(record.find("Route 9"), 7,
                   "Montr\xE9"
                   "al");
    return record;
  };
  write("day/0909-1000-LAB1.TXT", located(1'000'000'000));
  // Re-saved by an editor: every character of the code page as UTF-8.
  std::string utf8;
  for (unsigned char c : located(1'000'003'600)) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  write("day/0909-1100-LAB1.TXT", "\xEF\xBB\xBF" + utf8);
  auto r = run({dir.file("day"), "--by", "LOCATION", "--summary-csv", dir.file("s.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto summary = parseCsv(readFile(dir.file("s.csv")));
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].at("group"),
            "Montr\xC3\xA9"
            "al");
  EXPECT_EQ(summary[0].at("calls"), "2");
  EXPECT_NE(r.out.find("read as UTF-8 with a byte-order mark"), std::string::npos);

  // Saved as UTF-8 by one editor, then one character typed into it by another in Windows-1252
  // (a right single quote, 0x92): still the same condition, and the stray byte is said.
  std::string mixed = utf8;
  mixed.insert(mixed.find("SEND: ") + 6, "\x92");
  write("day/0909-1200-LAB1.TXT", mixed);
  r = run({dir.file("day"), "--by", "LOCATION", "--summary-csv", dir.file("s.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto three = parseCsv(readFile(dir.file("s.csv")));
  ASSERT_EQ(three.size(), 1u) << readFile(dir.file("s.csv"));
  EXPECT_EQ(three[0].at("calls"), "3");
  EXPECT_NE(r.out.find("read as UTF-8, with 1 byte that is not UTF-8 read as Windows-1252"), std::string::npos)
      << r.out;
  // The same with the byte-order mark the first editor wrote (another call: the same one twice
  // would be counted once).
  std::string marked;
  for (unsigned char c : located(1'000'007'200)) {
    if (c < 0x80) {
      marked += static_cast<char>(c);
    } else {
      marked += static_cast<char>(0xC0 | (c >> 6));
      marked += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  marked.insert(marked.find("SEND: ") + 6, "\x92");
  write("day/0909-1300-LAB1.TXT", "\xEF\xBB\xBF" + marked);
  r = run({dir.file("day"), "--by", "LOCATION", "--summary-csv", dir.file("s.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto four = parseCsv(readFile(dir.file("s.csv")));
  ASSERT_EQ(four.size(), 1u) << readFile(dir.file("s.csv"));
  EXPECT_EQ(four[0].at("calls"), "4");
  EXPECT_NE(r.out.find("read as UTF-8 with a byte-order mark, with 1 byte that is not UTF-8 read as Windows-1252"),
            std::string::npos)
      << r.out;
}

TEST_F(FieldReport, ANamedPipeNamedLikeACaptureIsNotedAndNeverOpened) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  write("day/0909-1000-LAB1.TXT", capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record);
  // Opening it would wait for a writer for ever.
  ASSERT_EQ(mkfifo(dir.file("day/0909-1100-LAB1.TXT").c_str(), 0600), 0);
  const auto r = run({dir.file("day"), "--csv", dir.file("r.csv")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(parseCsv(readFile(dir.file("r.csv"))).size(), 1u);
  EXPECT_NE(r.out.find("0909-1100-LAB1.TXT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("named like a capture file but a FIFO (named pipe): not read"), std::string::npos) << r.out;
}

TEST_F(FieldReport, TheReportSaysWhatItWasMadeFromAndTheCsvFilesAreSafe) {
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string scriptBytes = capture_maker::scriptFile(turns);
  const std::string script = write("script.txt", scriptBytes);
  Conditions c;
  c.signal = "=HYPERLINK(\"http://x\")";
  c.device = "+1 modem";
  const std::string capture = capture_maker::makeCall(rng, turns, script, c, 1'000'000'000, 80, {}).record;
  const std::string file = write("0909-1700-LAB1.TXT", capture);
  auto r = run({file, "--csv", dir.file("r.csv"), "--summary-csv", dir.file("s.csv"), "--summary"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Field test report by fieldreport ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Command: fieldreport " + file + " --csv"), std::string::npos);
  // The capture files' list as sha256sum prints it, and the script's own digest.
  const std::string list = sha256(capture) + "  " + file + "\n";
  EXPECT_NE(r.out.find("has SHA-256 " + sha256(list)), std::string::npos) << r.out;
  const std::size_t scriptLine = r.out.find(sha256(scriptBytes));
  ASSERT_NE(scriptLine, std::string::npos) << r.out;
  std::istringstream words(r.out.substr(scriptLine, r.out.find('\n', scriptLine) - scriptLine));
  std::string digest, size, path;
  words >> digest >> size >> path;
  EXPECT_EQ(size, std::to_string(scriptBytes.size()));
  EXPECT_EQ(path, script);
  // Only the summary: no calls.
  EXPECT_EQ(r.out.find("\nCalls"), std::string::npos);
  EXPECT_NE(r.out.find("\nSummary by TYPE, DEVICE, SIGNAL"), std::string::npos);

  const auto rows = parseCsv(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("signal"), "'=HYPERLINK(\"http://x\")");
  EXPECT_EQ(rows[0].at("device"), "'+1 modem");
  const std::string summary = readFile(dir.file("s.csv"));
  EXPECT_EQ(
      summary.substr(0, summary.find("\r\n")),
      "group,calls,complete_calls,passed_calls,pcer,pcer_low,pcer_high,ccer,ccer_low,ccer_high,tcer,tcer_low,"
      "tcer_high,cer,cer_low,cer_high,verdict,verdict_reason,calls_needed");
  const auto groups = parseCsv(summary);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].at("group"), "Wireless Calls (Stationary) / +1 modem / =HYPERLINK(\"http://x\")");
  EXPECT_EQ(groups[0].at("verdict"), "undetermined");  // one clean call is too few to say
  EXPECT_EQ(groups[0].at("pcer"), "0.00");
  EXPECT_GT(std::stod(groups[0].at("pcer_high")), 1.0);
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
                                             {capture, "--html", script},
                                             {dir.file("day"), "--texts", dir.file("day")},
                                             {dir.file("day"), "--texts", dir.path().string()}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 1) << args[2];
    EXPECT_TRUE(r.err.find("it is one of the inputs") != std::string::npos ||
                r.err.find("it holds the captures of") != std::string::npos)
        << r.err;
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
  // A rate named right and a per cent that is none: the error names the rate given.
  auto r = run({capture, "--limit", "PCER=abc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("--limit PCER needs a per cent"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"abc\""), std::string::npos) << r.err;
}

TEST_F(FieldReport, CompareFindsAWorseCampaignListsOneSidedConditionsAndRefusesWhatItCannotDo) {
  // A: ten clean calls of one condition. B: ten calls of it through a line that garbles a tenth
  // of the characters, and a call of a condition A never tested; B's phones are another model.
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("script.txt", capture_maker::scriptFile(turns));
  Conditions newPhone, other;
  newPhone.phoneModel = other.phoneModel = "X200";
  other.device = "Other modem";
  std::string a, b;
  for (int i = 0; i < 10; ++i) {
    a += capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000 + 1000 * i, 80, {}).record;
    b += capture_maker::makeCall(rng, turns, script, newPhone, 1'000'100'000 + 1000 * i, 80, {0.1, 0, 0, 0})
             .record;
  }
  b += capture_maker::makeCall(rng, turns, script, other, 1'000'200'000, 80, {}).record;
  write("a/0909-1700-LAB1.TXT", a);
  write("b/0910-1700-LAB1.TXT", b);
  const std::string csv = dir.file("compare.csv");
  // The two folders, and the two phone models over both folders: the same comparison.
  for (const auto& compared : {std::vector<std::string>{dir.file("a"), dir.file("b")},
                               std::vector<std::string>{"phone_model=X100,X200", dir.file("a"), dir.file("b")}}) {
    std::vector<std::string> args = {"--compare"};
    args.insert(args.end(), compared.begin(), compared.end());
    args.insert(args.end(), {"--compare-csv", csv, "--html", dir.file("compare.html")});
    auto r = run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string text = readFile(csv);
    EXPECT_EQ(text.substr(0, text.find('\r')),
              "group,calls_a,calls_b,pcer_a,pcer_b,pcer_diff,pcer_diff_low,pcer_diff_high,cer_a,cer_b,cer_diff,"
              "cer_diff_low,cer_diff_high,verdict");
    const auto rows = parseCsv(text);
    ASSERT_EQ(rows.size(), 2u) << text;
    // Conditions in the order of their values: the NXi modem's, then the other, B's alone.
    const auto& both = rows[0];
    EXPECT_EQ(both.at("group"), "Wireless Calls (Stationary) / NXi modem / Strong");
    EXPECT_EQ(both.at("calls_a"), "10");
    EXPECT_EQ(both.at("calls_b"), "10");
    EXPECT_EQ(both.at("pcer_a"), "0.00");
    EXPECT_GT(std::stod(both.at("pcer_diff_low")), 0.0);
    EXPECT_LE(std::stod(both.at("pcer_diff_low")), std::stod(both.at("pcer_diff")));
    EXPECT_GE(std::stod(both.at("pcer_diff_high")), std::stod(both.at("pcer_diff")));
    EXPECT_EQ(both.at("verdict"), "B worse");
    const auto& alone = rows[1];
    EXPECT_EQ(alone.at("group"), "Wireless Calls (Stationary) / Other modem / Strong");
    EXPECT_EQ(alone.at("calls_a"), "");
    EXPECT_EQ(alone.at("calls_b"), "1");
    EXPECT_EQ(alone.at("pcer_diff"), "");
    EXPECT_EQ(alone.at("verdict"), "only in B");
    EXPECT_NE(r.out.find("B worse"), std::string::npos) << r.out;
    // The page marks it, and needs no chart library and writes no texts.
    EXPECT_NE(readFile(dir.file("compare.html")).find("<span class=\"fail\">B worse</span>"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("compare-texts")));
  }

  // Each side against itself: no difference, and what it could have missed.
  auto same = run({"--compare", dir.file("a"), dir.file("a"), "--compare-csv", csv});
  ASSERT_EQ(same.exitCode, 0) << same.err;
  const auto sameRows = parseCsv(readFile(csv));
  ASSERT_EQ(sameRows.size(), 1u);
  EXPECT_EQ(sameRows[0].at("pcer_diff"), "0.00");
  EXPECT_TRUE(sameRows[0].at("verdict").starts_with("no difference detected (could have missed "))
      << sameRows[0].at("verdict");

  // A side that names nothing is said so and makes the status 2, as a single day's would.
  auto missing = run({"--compare", dir.file("a"), dir.file("missing")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find(dir.file("missing")), std::string::npos) << missing.err;
  EXPECT_NE(missing.out.find("only in A"), std::string::npos) << missing.out;

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--compare", dir.file("a")},
           {"--compare", dir.file("a"), dir.file("b"), dir.file("a")},
           {dir.file("a"), "--compare-csv", csv},
           {"--compare", dir.file("a"), dir.file("b"), "--texts", dir.file("texts")},
           {"--compare", dir.file("a"), dir.file("b"), "--csv", dir.file("r.csv")},
           {"--compare", dir.file("a"), dir.file("b"), "--compare-csv"},
           {"--compare", "PHONEMODEL=X100", dir.file("a")},
           {"--compare", "PHONEMODEL=X100,X200"}}) {
    auto bad = run(args);
    EXPECT_EQ(bad.exitCode, 1) << args.back();
    EXPECT_NE(bad.err.find("fieldreport: "), std::string::npos);
  }
  // The comparison's outputs are never written over a capture of either side.
  const std::string captureB = dir.file("b/0910-1700-LAB1.TXT");
  auto onto = run({"--compare", dir.file("a"), dir.file("b"), "--compare-csv", captureB});
  EXPECT_EQ(onto.exitCode, 1);
  EXPECT_NE(onto.err.find("it is one of the inputs"), std::string::npos) << onto.err;
  EXPECT_EQ(readFile(captureB), b);
}

// Chromium from Debian's packages, headless.
std::string chromium() {
  for (const char* candidate : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (fs::exists(candidate)) return candidate;
  return "";
}

std::vector<std::string> browser(const std::string& program, const std::string& profile) {
  return {program,
          "--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--user-data-dir=" + profile};
}

// An attribute's text as the page's DOM serialises it, entities decoded.
std::string attribute(const std::string& dom, const std::string& id, const std::string& name) {
  const std::size_t canvas = dom.find("id=\"" + id + "\"");
  if (canvas == std::string::npos) return "";
  const std::size_t at = dom.find(name + "=\"", dom.rfind("<canvas", canvas));
  if (at == std::string::npos) return "";
  const std::size_t from = at + name.size() + 2;
  std::string text = dom.substr(from, dom.find('"', from) - from);
  for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
           {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
    for (std::size_t q; (q = text.find(entity)) != std::string::npos;) text.replace(q, entity.size(), c);
  return text;
}

// The strings of a JSON array of strings: ["a","b \"c\""].
std::vector<std::string> jsonStrings(const std::string& text) {
  std::vector<std::string> items;
  bool inside = false;
  std::string item;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!inside) {
      if (c == '"') inside = true;
    } else if (c == '\\' && i + 1 < text.size()) {
      item += text[++i];
    } else if (c == '"') {
      items.push_back(item);
      item.clear();
      inside = false;
    } else {
      item += c;
    }
  }
  return items;
}

class Page : public FieldReport, public ::testing::WithParamInterface<int> {};

TEST_P(Page, LabelsEveryConditionInEveryChartAndPrintsToA4) {
  const std::string program = chromium();
  if (program.empty())
    GTEST_SKIP() << "no chromium-headless-shell or chromium (scripts/install-deps installs it)";
  const int conditions = GetParam();
  const auto turns = capture_maker::makeTurns(rng, 6);
  const std::string script = write("s.txt", capture_maker::scriptFile(turns));
  std::string capture;
  std::vector<std::string> expected;
  for (int g = 0; g < conditions; ++g) {
    Conditions c;
    c.device = g % 2 ? "NXi modem" : "Ultratec Supercom";
    c.signal =
        g == 0 ? "<b>Weak</b> & \"odd\"" : "Signal " + std::string(g < 10 ? "0" : "") + std::to_string(g);
    const int calls = 1 + g % 4;
    for (int k = 0; k < calls; ++k) {
      // One condition far worse than the others, one call dropped.
      const double bad = g == 3 ? 0.18 : 0.004 * (g % 5);
      capture += capture_maker::makeCall(rng, turns, script, c, 1'000'000'000 + (g * 10 + k) * 600, 80,
                                         {bad, bad / 2, 0, 0.1}, g == 1 && k == 1 ? 1 : -1)
                     .record;
    }
  }
  write("day/0909-1700-LAB1.TXT", capture);
  const std::string html = dir.file("out/report.html");
  fs::create_directories(dir.file("out"));
  auto r = run({dir.file("day"), "--by", "SIGNAL", "--html", html, "--summary-csv", dir.file("s.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const auto& row : parseCsv(readFile(dir.file("s.csv")))) {
    const std::string calls = row.at("calls");
    expected.push_back(row.at("group") + " " + calls + (calls == "1" ? " call, " : " calls, ") +
                       row.at("passed_calls") + " passed");
  }
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(conditions));
  const std::string page = readFile(html);
  EXPECT_EQ(page.find("<b>Weak"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;Weak&lt;/b&gt; &amp; &quot;odd&quot;"), std::string::npos);
  // Nothing fetched from elsewhere: every script is inline.
  EXPECT_EQ(page.find(" src="), std::string::npos);

  auto dom = browser(program, dir.file("profile"));
  dom.insert(dom.end(), {"--window-size=1400,1000", "--dump-dom", "file://" + html});
  auto shown = runProgram(dom);
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  const std::string& d = shown.out;
  const std::size_t body = d.find("<body");
  ASSERT_NE(body, std::string::npos) << d.substr(0, 2000);
  // Every chart drawn and no error noted.
  const std::string bodyTag = d.substr(body, d.find('>', body) + 1 - body);
  EXPECT_EQ(bodyTag.rfind("<body data-charts=\"7\" data-ready-ms=\"", 0), 0u) << bodyTag;
  for (const char* chart : {"rate-PCER", "rate-CCER", "rate-TCER", "rate-CER", "spread", "kinds"}) {
    SCOPED_TRACE(chart);
    EXPECT_EQ(jsonStrings(attribute(d, chart, "data-labels")), expected);
    EXPECT_EQ(attribute(d, chart, "data-overlap"), "no");
  }
  // The far worse condition lies beyond the edge of the rate charts: cut and marked.
  EXPECT_NE(attribute(d, "rate-PCER", "data-clipped"), "0");
  // The call table shows its first page, with links to each direction's texts.
  EXPECT_NE(d.find("report-texts/0909-1700-LAB1-1-score.txt"), std::string::npos);

  // Printed to PDF: A4 pages of the summary and the limited rates' charts.
  auto print = browser(program, dir.file("profile"));
  print.insert(print.end(),
               {"--no-pdf-header-footer", "--print-to-pdf=" + dir.file("out/report.pdf"), "file://" + html});
  ASSERT_EQ(runProgram(print).exitCode, 0);
  const std::string pdf = readFile(dir.file("out/report.pdf"));
  ASSERT_EQ(pdf.rfind("%PDF", 0), 0u);
  const std::size_t box = pdf.find("/MediaBox [0 0 ");
  ASSERT_NE(box, std::string::npos);
  double width = 0, height = 0;
  ASSERT_EQ(std::sscanf(pdf.c_str() + box, "/MediaBox [0 0 %lf %lf", &width, &height), 2);
  EXPECT_NEAR(width, 595, 1);  // A4: 595 x 842 points
  EXPECT_NEAR(height, 842, 1);
  if (fs::exists("/usr/bin/pdftoppm")) {
    const std::string png = dir.file("out/page");
    ASSERT_EQ(runProgram({"/usr/bin/pdftoppm", "-r", "50", "-png", "-f", "1", "-l", "1",
                          dir.file("out/report.pdf"), png})
                  .exitCode,
              0);
    // Kept for a person to look at when FIELDREPORT_PAGE_DIR names a folder.
    if (const char* keep = std::getenv("FIELDREPORT_PAGE_DIR"))
      for (const auto& f : fs::directory_iterator(dir.file("out")))
        if (f.path().extension() == ".png" || f.path().extension() == ".pdf")
          fs::copy_file(f.path(),
                        fs::path(keep) / (std::to_string(conditions) + "-" + f.path().filename().string()),
                        fs::copy_options::overwrite_existing);
  }
}

INSTANTIATE_TEST_SUITE_P(Conditions, Page, ::testing::Values(6, 40));

TEST_F(FieldReport, ThePrintedPageKeepsWhatWasNotScoredTheNotesAndEveryDigest) {
  const std::string program = chromium();
  if (program.empty() || !fs::exists("/usr/bin/pdftotext"))
    GTEST_SKIP() << "no chromium-headless-shell or chromium, or no pdftotext (poppler-utils)";
  const auto turns = capture_maker::makeTurns(rng, 4);
  const std::string script = write("day/script.txt", capture_maker::scriptFile(turns));
  // A call cut short before the next one of the same file (a note), and a file that is no capture.
  const std::string first = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'000, 80, {}).record;
  const std::string second = capture_maker::makeCall(rng, turns, script, {}, 1'000'000'100, 80, {}).record;
  const std::string capture = first.substr(0, first.find("RECD: ") + 15) + second;
  write("day/0909-1746-LAB1.TXT", capture);
  write("day/0909-1750-LAB1.TXT", "nothing of a call\r\n");
  fs::create_directories(dir.file("out"));
  const std::string html = dir.file("out/report.html");
  const auto r = run({dir.file("day"), "--html", html});
  ASSERT_EQ(r.exitCode, 2) << r.err << r.out;
  auto print = browser(program, dir.file("profile"));
  print.insert(print.end(),
               {"--no-pdf-header-footer", "--print-to-pdf=" + dir.file("out/report.pdf"), "file://" + html});
  ASSERT_EQ(runProgram(print).exitCode, 0);
  const auto text = runProgram({"/usr/bin/pdftotext", dir.file("out/report.pdf"), "-"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  // Long digests may be broken across lines: compared without white space.
  std::string flat;
  for (char c : text.out)
    if (!std::isspace(static_cast<unsigned char>(c))) flat += c;
  for (const char* heading : {"Notreadornotscored", "Notes", "Filesread", "Thecapturefiles"})
    EXPECT_NE(flat.find(heading), std::string::npos) << heading << "\n" << text.out;
  EXPECT_NE(flat.find("0909-1750-LAB1.TXT"), std::string::npos) << text.out;
  EXPECT_NE(flat.find("recordendsbeforeits"), std::string::npos) << text.out;
  EXPECT_NE(flat.find(sha256(capture)), std::string::npos) << text.out;
  EXPECT_NE(flat.find(sha256(readFile(script))), std::string::npos) << text.out;
}

}  // namespace
