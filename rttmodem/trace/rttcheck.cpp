// SPDX-License-Identifier: Apache-2.0
// rttcheck: judges the far end of real-time text calls from their wire traces (wire_trace.h), rule
// by rule, each with its clause, and reports the verdicts with their evidence
// on the terminal and as CSV. Nothing read is ever written; a trace that cannot be read is named
// with the reason and the others are judged all the same.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "command_line.h"
#include "trace_reader.h"
#include "verdict_report.h"

#ifndef KIT_VERSION
#define KIT_VERSION "0"
#endif

namespace {

namespace fs = std::filesystem;
using namespace rttmodem::trace;

const char kUsage[] =
    "usage: rttcheck [options] TRACE-OR-FOLDER...\n"
    "Judges the far end of each real-time text call from its wire trace (folders are searched for\n"
    "*.rtttrace, and *.rtttrace.part of calls cut short), rule by rule, each with its clause.\n"
    "  --csv FILE    also write one row per call and rule\n"
    "  --summary     one line per call instead of its table\n"
    "  --rules       list the rules with their clauses and stop\n"
    "  --version     show the version\n"
    "Exit status: 0 when no rule failed, 1 when one did, 2 when a trace could not be read or an\n"
    "option or output was wrong.\n";

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "rttcheck: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

bool isTrace(const fs::path& p) {
  const std::string name = p.filename().string();
  auto endsWith = [&](const std::string& tail) {
    return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(std::string(kFileExtension)) || endsWith(std::string(kFileExtension) + ".part");
}

// The traces named: files as given, folders searched (in name order); the problems on the way.
std::vector<fs::path> traces(const std::vector<std::string>& inputs, std::vector<std::string>* problems) {
  std::vector<fs::path> out;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
      std::vector<fs::path> found;
      fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, ec), end;
      for (; !ec && it != end; it.increment(ec))
        if (isTrace(it->path()) && it->is_regular_file(ec)) found.push_back(it->path());
      if (ec) problems->push_back(input + ": " + ec.message());
      if (found.empty() && !ec) problems->push_back(input + ": no trace (*" + std::string(kFileExtension) + ") in it");
      std::sort(found.begin(), found.end());
      out.insert(out.end(), found.begin(), found.end());
    } else {
      out.emplace_back(input);
    }
  }
  return out;
}

// Whole or not at all: a new file beside the path, renamed over it.
std::string writeWhole(const fs::path& path, const std::string& bytes) {
  const fs::path tmp = path.string() + ".tmp-" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(tmp, ignored);
      return "cannot write " + path.string();
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(tmp, ignored);
    return "cannot write " + path.string() + ": " + ec.message();
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc), inputs;
  std::optional<fs::path> csv;
  bool summary = false, listRules = false;
  kit::cli::OptionTable t;
  t.flag("--help", [](const std::string&) -> std::string {
    std::fputs(kUsage, stdout);
    std::exit(0);
  });
  t.flag("--version", [](const std::string&) -> std::string {
    std::puts("rttcheck (TTY field-test kit) " KIT_VERSION);
    std::exit(0);
  });
  t.alias("-h", "--help").flag("--summary", &summary).flag("--rules", &listRules);
  t.value("--csv", [&csv](const std::string&, const std::string& v) {
    csv = v;
    return std::string();
  });
  t.words([&inputs](const std::string& word) {
    inputs.push_back(word);
    return std::string();
  });
  if (std::string problem = t.parse(args); !problem.empty()) usageError(problem);
  if (listRules) {
    std::fputs(rulesTable().c_str(), stdout);
    return 0;
  }
  if (inputs.empty()) usageError("no trace given");

  std::vector<std::string> problems;
  const std::vector<fs::path> files = traces(inputs, &problems);
  std::vector<CallReport> calls;
  for (const fs::path& file : files) {
    std::error_code ec;
    if (csv && fs::equivalent(file, *csv, ec)) usageError("--csv would write over the trace " + file.string());
    const ReadResult read = readTraceFile(file);
    if (!read.trace) {
      problems.push_back(file.string() + ": " + read.error);
      continue;
    }
    calls.push_back(reportOf(file.string(), read));
  }
  std::fputs(terminalReport(calls, summary).c_str(), stdout);
  std::fflush(stdout);
  for (const std::string& p : problems) std::fprintf(stderr, "rttcheck: %s\n", p.c_str());
  if (csv) {
    if (std::string error = writeWhole(*csv, csvReport(calls)); !error.empty()) {
      std::fprintf(stderr, "rttcheck: %s\n", error.c_str());
      return 2;
    }
  }
  if (!problems.empty()) return 2;
  return overall(calls) == Verdict::Fail ? 1 : 0;
}
