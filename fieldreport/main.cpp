// SPDX-License-Identifier: Apache-2.0
// fieldreport: from a day's capture files to the figures a lab reports.
//
// Every call record of the capture files given (folders are searched for *.TXT) is scored in the
// direction it received: the far end's turns of its script against the text after the "RECD: "
// marks, with score's and cerscore's algorithms in process. The two ends' records of one call are
// put together; the summary pools the rates by test condition and gives each a verdict. Nothing
// read is ever written, and nothing that could not be read is passed over in silence. The run
// itself is a Day (day.h); here are its options, its outputs and the exit status.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "compare.h"
#include "day.h"
#include "output_file.h"
#include "outputs.h"
#include "report.h"
#include "scoring.h"
#include "summary.h"

#ifndef FIELDREPORT_CHART_JS
#define FIELDREPORT_CHART_JS "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace {

namespace fs = std::filesystem;
using namespace fieldreport;

const char kUsage[] =
    "usage: fieldreport [options] CAPTURE-OR-FOLDER...\n"
    "Scores every call record of the capture files (folders are searched for *.TXT) in the\n"
    "direction it received, with score's and cerscore's rates, per call and by condition.\n"
    "  --script FILE        score every record against this script (else each record's SCRIPTUSED)\n"
    "  --scripts DIR        look for the scripts records name by their file name in DIR\n"
    "  --hand-typed         every far end typed its turns by hand: a turn's lines joined with nothing\n"
    "                       (otherwise so when the paired far end is a Q-90 or a Supercom)\n"
    "  --by FIELDS          group the summary by these record fields (default TYPE,DEVICE,SIGNAL)\n"
    "  --limit RATE=PCT     a call passes when RATE (PCER, CCER, TCER or CER) is below PCT per cent\n"
    "                       in each direction; repeat for several (default PCER=1.0 and CER=1.0)\n"
    "  --clock-offset ID=S  the clock of computer ID read S seconds ahead of the lab's (negative:\n"
    "                       behind); repeat for several (otherwise estimated from the calls)\n"
    "  --summary            print only what was read and the summary by condition\n"
    "  --csv FILE           write one row per record\n"
    "  --summary-csv FILE   write one row per condition\n"
    "  --html FILE          write the report as one web page that opens offline\n"
    "  --texts DIR          write the texts each record was scored on and score's alignment of them\n"
    "                       (with --html and no --texts: beside the page, in PAGE-texts)\n"
    "  --timing-csv FILE    write one row per turn of each record with times (from the timing files\n"
    "                       beside the captures): reply delay, pace, one-way delay, lost at start\n"
    "  --delay-limit S      the one-way delay the page's delay charts are drawn against (default 1.0)\n"
    "  --jobs N             score on N threads (default: one per core)\n"
    "  --compare A B        compare two sets of captures (files or folders) condition by condition:\n"
    "                       B's PCER and CER less A's, with 95 % intervals, and whether B is worse\n"
    "  --compare FIELD=A,B  the same, for the conditions with two values of a field (PHONEMODEL=X,Y)\n"
    "  --compare-csv FILE   with --compare, write one row per condition (--html: the comparison's page)\n"
    "  --version            show the version\n"
    "Exit status: 0 when every record was read and scored, 2 when some were not, 1 after a usage\n"
    "error or when an output could not be written.\n";

// The run's options, and the comparison's: --compare reads its two inputs as two Days.
struct Options : DayOptions {
  bool compare = false;
  std::optional<fs::path> compareCsv;
  // --compare FIELD=A,B: the two values of a field within one run's captures.
  std::string compareField;
  std::vector<std::string> compareValues;
};

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "fieldreport: %s\n%s", message.c_str(), kUsage);
  std::exit(1);
}

[[noreturn]] void fatal(const std::string& message) {
  std::fprintf(stderr, "fieldreport: %s\n", message.c_str());
  std::exit(1);
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    std::string item = text.substr(from, comma - from);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    if (!item.empty()) items.push_back(item);
    from = comma + 1;
  }
  return items;
}

// An argument as a shell would need it written.
std::string shellWord(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                              "-_./=:,+@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The options that take a value, into o.
void valueOptions(kit::cli::OptionTable& t, Options& o, bool& limitsGiven) {
  auto path = [](std::optional<fs::path>* field) {
    return [field](const std::string&, const std::string& v) {
      *field = v;
      return std::string();
    };
  };
  t.value("--script", path(&o.script)).value("--scripts", path(&o.scripts)).value("--csv", path(&o.csv));
  t.value("--summary-csv", path(&o.summaryCsv))
      .value("--html", path(&o.html))
      .value("--texts", path(&o.texts));
  t.value("--timing-csv", path(&o.timingCsv));
  t.value("--compare-csv", path(&o.compareCsv));
  t.value("--delay-limit", [&o](const std::string&, const std::string& value) {
    char* end = nullptr;
    const double limit = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !(limit > 0 && limit <= 3600))
      return "--delay-limit takes a number of seconds above 0, such as 1.0 (not \"" + value + "\")";
    o.delayLimit = limit;
    return std::string();
  });
  t.value("--by", [&o](const std::string&, const std::string& value) {
    o.by = splitList(value);
    if (o.by.empty()) return std::string("--by needs at least one field, such as TYPE,DEVICE,SIGNAL");
    for (auto& f : o.by) f = fieldKey(f);
    return std::string();
  });
  t.value("--limit", [&o, &limitsGiven](const std::string&, const std::string& value) {
    const std::size_t eq = value.find('=');
    const auto rate = eq == std::string::npos ? std::nullopt : rateNamed(value.substr(0, eq));
    char* end = nullptr;
    const std::string pct = eq == std::string::npos ? "" : value.substr(eq + 1);
    const double percent = std::strtod(pct.c_str(), &end);
    if (!rate)
      return "--limit takes RATE=PCT with RATE one of PCER, CCER, TCER, CER (not \"" + value + "\")";
    if (pct.empty() || end != pct.c_str() + pct.size() || !(percent >= 0 && percent <= 1000))
      return "--limit " + std::string(rateName(*rate)) + " needs a per cent from 0 to 1000 after the = (not \"" +
             pct + "\")";
    if (!limitsGiven) o.limits.clear();
    limitsGiven = true;
    o.limits.push_back({*rate, percent});
    return std::string();
  });
  t.value("--clock-offset", [&o](const std::string&, const std::string& value) {
    const std::size_t eq = value.rfind('=');
    char* end = nullptr;
    const std::string seconds = eq == std::string::npos ? "" : value.substr(eq + 1);
    const double s = std::strtod(seconds.c_str(), &end);
    if (eq == std::string::npos || eq == 0 || seconds.empty() || end != seconds.c_str() + seconds.size() ||
        !(std::fabs(s) <= 7 * 86400))
      return "--clock-offset takes ID=SECONDS, such as CAR1=-95 (not \"" + value + "\")";
    o.clocks[value.substr(0, eq)] = s;
    return std::string();
  });
  t.value("--jobs", [&o](const std::string&, const std::string& value) {
    char* end = nullptr;
    const long jobs = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || jobs < 1 || jobs > 256)
      return std::string("--jobs takes a number from 1 to 256");
    o.jobs = static_cast<unsigned>(jobs);
    return std::string();
  });
}

Options parseOptions(int argc, char** argv) {
  Options o;
  o.jobs = 0;  // until given: one per core
  o.version = KIT_VERSION;
  o.commandLine = "fieldreport";
  for (int i = 1; i < argc; ++i) o.commandLine += " " + shellWord(argv[i]);
  bool limitsGiven = false;
  kit::cli::OptionTable t;
  t.flag("--help", [](const std::string&) -> std::string {
    std::fputs(kUsage, stdout);
    std::exit(0);
  });
  t.flag("--version", [](const std::string&) -> std::string {
    std::puts("fieldreport (TTY field-test kit) " KIT_VERSION);
    std::exit(0);
  });
  t.alias("-h", "--help").flag("--hand-typed", &o.handTyped).flag("--summary", &o.summaryOnly);
  t.flag("--compare", &o.compare);
  valueOptions(t, o, limitsGiven);
  t.words([&o](const std::string& word) {
    o.inputs.push_back(word);
    return std::string();
  });
  t.problems([](const kit::cli::Problem& p) {
    return p.kind == kit::cli::Problem::Kind::NeedsValue ? p.word + " needs a value"
                                                         : "unknown option " + p.word;
  });
  if (const std::string error = t.parse(std::vector<std::string>(argv + 1, argv + argc)); !error.empty())
    usageError(error);
  // A printable character error rate below 1 %, counting added characters as errors too: both
  // PCER (which does not count them) and CER (which does).
  if (!limitsGiven) o.limits = {Limit{Rate::Pcer, 1.0}, Limit{Rate::Cer, 1.0}};
  if (o.inputs.empty()) usageError("no capture file or folder given");
  if (o.compareCsv && !o.compare) usageError("--compare-csv needs --compare A B");
  if (o.compare && o.inputs[0].find('=') != std::string::npos && !fs::exists(o.inputs[0])) {
    const std::size_t eq = o.inputs[0].find('=');
    o.compareField = fieldKey(o.inputs[0].substr(0, eq));
    o.compareValues = splitList(o.inputs[0].substr(eq + 1));
    if (o.compareField.empty() || o.compareValues.size() != 2 || o.compareValues[0] == o.compareValues[1])
      usageError("--compare FIELD=A,B takes a field and two of its values, such as PHONEMODEL=X100,X200 (not \"" +
                 o.inputs[0] + "\")");
    o.inputs.erase(o.inputs.begin());
    if (o.inputs.empty()) usageError("no capture file or folder given");
    // Grouped by the other fields, then by this one last.
    std::erase(o.by, o.compareField);
    o.by.push_back(o.compareField);
  } else if (o.compare) {
    if (o.inputs.size() != 2)
      usageError("--compare takes two captures or folders, A and B (not " + std::to_string(o.inputs.size()) + ")");
    for (const auto& [given, name] : {std::pair{bool(o.csv), "--csv"}, {bool(o.summaryCsv), "--summary-csv"},
                                      {bool(o.texts), "--texts"},
                                      {bool(o.timingCsv), "--timing-csv"}, {o.summaryOnly, "--summary"}})
      if (given) usageError(std::string(name) + " is for one set of captures, not with --compare");
  }
  if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
  if (o.html && !o.texts && !o.compare) {
    fs::path texts = *o.html;
    texts.replace_filename(o.html->stem().string() + "-texts");
    o.texts = texts;
  }
  return o;
}

// The chart library the web page inlines, read before any work: without it no page can be made.
std::string chartLibrary() {
  const char* env = std::getenv("FIELDREPORT_CHART_JS");
  const fs::path library = env && *env ? env : FIELDREPORT_CHART_JS;
  std::string bytes, why;
  if (!readWhole(library, bytes, why) || bytes.empty())
    fatal("--html needs the chart library " + library.string() +
          " (Debian package libjs-chart.js): " + (why.empty() ? "empty file" : why));
  return bytes;
}

// The files asked for and the table on standard output: the exit status.
int writeOutputs(const Options& o, const Report& report, const std::string& chart, int status) {
  auto write = [&](const std::optional<fs::path>& path, const std::string& bytes) {
    if (!path) return;
    const std::string why = writeAtomically(*path, bytes);
    if (!why.empty()) {
      std::fprintf(stderr, "fieldreport: cannot write %s: %s\n", path->c_str(), why.c_str());
      status = 1;
    }
  };
  write(o.csv, csvText(report));
  write(o.summaryCsv, summaryCsvText(report));
  write(o.timingCsv, timingCsvText(report));
  if (o.html) write(o.html, htmlPage(report, chart));

  const std::string table = terminalTable(report, o.summaryOnly);
  std::fwrite(table.data(), 1, table.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "fieldreport: cannot write the report to standard output\n");
    status = 1;
  }
  return status;
}

}  // namespace

// Standard output, --compare-csv and --html for a comparison of the runs `runs`: the exit
// status, from `status`.
int writeComparison(const Options& o, const std::vector<ComparedRun>& runs, const Report& a, const Report& b,
                    const std::string& nameA, const std::string& nameB, int status) {
  const std::vector<ConditionComparison> rows = compareReports(a, b);
  if (o.html) {
    const std::string why =
        writeAtomically(*o.html, comparePage(runs, nameA, nameB, rows, o.version, o.commandLine));
    if (!why.empty()) {
      std::fprintf(stderr, "fieldreport: cannot write %s: %s\n", o.html->c_str(), why.c_str());
      status = 1;
    }
  }
  if (o.compareCsv) {
    const std::string why = writeAtomically(*o.compareCsv, compareCsvText(rows));
    if (!why.empty()) {
      std::fprintf(stderr, "fieldreport: cannot write %s: %s\n", o.compareCsv->c_str(), why.c_str());
      status = 1;
    }
  }
  const std::string table = compareTable(a, b, nameA, nameB, rows);
  std::fwrite(table.data(), 1, table.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "fieldreport: cannot write the report to standard output\n");
    status = 1;
  }
  return status;
}

// --compare A B: each read and scored as a day of its own, then condition by condition.
// --compare FIELD=A,B: one run, its conditions with A against those with B.
int compare(const Options& o) {
  // Each run checks the comparison's outputs as its own (a folder to write into, not one of the
  // inputs) before reading anything; it writes none of them.
  DayOptions checked = o;
  checked.summaryCsv = o.compareCsv;
  if (!o.compareField.empty()) {
    Day day(checked);
    try {
      day.run();
    } catch (const DayError& e) {
      fatal(e.what());
    }
    const std::size_t field = o.by.size() - 1;
    const Report a = conditionsWith(day.report(), field, o.compareValues[0]);
    const Report b = conditionsWith(day.report(), field, o.compareValues[1]);
    return writeComparison(o, {{"Captures", &day.report()}}, a, b, o.compareField + "=" + o.compareValues[0],
                           o.compareField + "=" + o.compareValues[1], day.status());
  }
  auto run = [&checked](const std::string& input) {
    DayOptions side = checked;
    side.inputs = {input};
    auto day = std::make_unique<Day>(side);
    try {
      day->run();
    } catch (const DayError& e) {
      fatal(e.what());
    }
    return day;
  };
  const auto a = run(o.inputs[0]);
  const auto b = run(o.inputs[1]);
  return writeComparison(o, {{"A", &a->report()}, {"B", &b->report()}}, a->report(), b->report(), o.inputs[0],
                         o.inputs[1],
                         std::max(a->status(), b->status()));
}

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  if (o.compare) return compare(o);
  const std::string chart = o.html ? chartLibrary() : std::string();
  Day day(o);
  try {
    day.run();
  } catch (const DayError& e) {
    fatal(e.what());
  }
  return writeOutputs(o, day.report(), chart, day.status());
}
