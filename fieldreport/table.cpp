// SPDX-License-Identifier: Apache-2.0
// The report as text for the terminal.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <set>

#include "compare.h"
#include "outputs.h"
#include "sha256.h"
#include "summary.h"
#include "timing_figures.h"

namespace fieldreport {
namespace {

using fieldtext::cp1252ToUtf8;

// Columns padded to their widest cell; widths count characters, not UTF-8 bytes.
class TextTable {
 public:
  // `right` holds one flag per column: align right (numbers) or left.
  TextTable(std::vector<std::string> header, std::vector<bool> right)
      : rows_{std::move(header)}, right_(std::move(right)) {}
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  std::string text(std::string_view indent = "  ") const {
    std::vector<std::size_t> width(right_.size(), 0);
    for (const auto& row : rows_)
      for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], chars(row[c]));
    std::string out;
    for (const auto& row : rows_) {
      std::string line(indent);
      for (std::size_t c = 0; c < row.size(); ++c) {
        const std::string pad(width[c] - chars(row[c]), ' ');
        line += right_[c] ? pad + row[c] : row[c] + pad;
        if (c + 1 < row.size()) line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  static std::size_t chars(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  }
  std::vector<std::vector<std::string>> rows_;
  std::vector<bool> right_;
};

std::string value(const ScoredRecord& r, const char* key) {
  const std::string* v = r.record.value(key);
  return v ? cp1252ToUtf8(*v) : "";
}

// File names alone when they tell the files apart, else the paths as found.
std::string shownName(const std::string& file, bool namesOnly) {
  if (!namesOnly) return file;
  const std::size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

bool namesAreUnique(const Report& report) {
  std::set<std::string> files, names;
  auto note = [&](const std::string& f) {
    files.insert(f);
    names.insert(shownName(f, true));
  };
  for (const auto& r : report.records) note(r.file);
  for (const auto& s : report.skipped) note(s.file);
  for (const auto& s : report.duplicates) note(s.file);
  for (const auto& n : report.notes)
    if (!n.file.empty()) note(n.file);
  return files.size() == names.size();
}

// Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict, wrongly) of "[" + a temporary.
std::string interval(const Interval& i) {
  std::string text = "[";
  text += twoDecimals(i.low);
  text += '-';
  text += twoDecimals(i.high);
  text += ']';
  return text;
}

std::string plural(std::size_t n, const std::string& one, const std::string& many) {
  return withThousands(static_cast<long long>(n)) + " " + (n == 1 ? one : many);
}

// "0.403/0.423/0.430": the median, 95th percentile and largest of delays; "-" without any.
std::string spreadText(const std::vector<double>& delays) {
  const auto s = spreadOf(delays);
  return s ? threeDecimals(s->median) + "/" + threeDecimals(s->p95) + "/" + threeDecimals(s->max) : "-";
}

std::string medianText(const std::vector<double>& values) {
  const auto s = spreadOf(values);
  return s ? threeDecimals(s->median) : "-";
}

const char* clockFrom(CallClock::From from) {
  switch (from) {
    case CallClock::From::Characters:
      return "its characters";
    case CallClock::From::Computers:
      return "the computers' other calls";
    case CallClock::From::Given:
      return "--clock-offset";
    case CallClock::From::None:
      break;
  }
  return "";
}

}  // namespace

std::string limitsText(const std::vector<Limit>& limits) {
  std::string text;
  for (std::size_t i = 0; i < limits.size(); ++i)
    text += std::string(i == 0                   ? ""
                        : i + 1 == limits.size() ? " and "
                                                 : ", ") +
            rateName(limits[i].rate) + " below " + twoDecimals(limits[i].percent) + " %";
  return text.empty() ? "no rate limit" : text;
}

namespace {

std::string isoDate(long long day) {
  const std::time_t t = static_cast<std::time_t>(day) * 86400;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

// What the intervals are for: the day tested, or the conditions' long-run rate over days like
// those tested, with the day-to-day figure allowed for.
std::string scopeText(const Report& report) {
  if (report.days.size() < 2)
    return "The intervals are for the rate of calls like these on the day tested" +
           (report.days.empty() ? std::string() : " (" + isoDate(report.days.front()) + ")") +
           ": one day's calls cannot show how rates vary from day to day.";
  const Dispersion& d = report.dispersion[0];
  char figure[64];
  std::snprintf(figure, sizeof figure, "%.0f %%", 100.0 * std::sqrt(d.betweenDays));
  return "The intervals are for each condition's long-run rate over days like the " +
         std::to_string(report.days.size()) + " tested (" + isoDate(report.days.front()) + " to " +
         isoDate(report.days.back()) + "): they allow for rates varying " + figure + " from day to day" +
         (d.dayCalls ? " (from the " + std::to_string(d.dayCalls) + " calls of conditions tested on several days)"
                     : " (assumed: no condition with errors was tested on several days)") +
         ".";
}

}  // namespace

std::string dispersionText(const Report& report) {
  auto figures = [](const Dispersion& d) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "errors bunched %.1f times as much as independent ones and rates varying %.0f %% "
                  "between calls",
                  d.burst, 100.0 * std::sqrt(d.between));
    return std::string(text) + (d.calls ? " (common figures from " + std::to_string(d.calls) + " calls)"
                                        : " (assumed: too few calls to tell)");
  };
  std::string first = figures(report.dispersion[0]);
  bool same = true;
  for (const Dispersion& d : report.dispersion) same = same && figures(d) == first;
  std::string text = "The intervals allow for";
  if (same) {
    text += " " + first;
  } else {
    for (std::size_t r = 0; r < kRates.size(); ++r)
      text += std::string(r == 0 ? " " : "; ") + rateName(kRates[r]) + ": " + figures(report.dispersion[r]);
  }
  return text +
         ", and more for a condition whose own calls differ more. " + scopeText(report);
}

std::string captureManifest(const Report& report) {
  std::string list;
  for (const InputFile& f : report.captures) list += f.sha256 + "  " + f.path + "\n";
  return list;
}

namespace {

// The times of the characters: the clocks they give, and each call's figures.
std::string timingSection(const Report& report) {
  std::string out =
      "\nTimes of the characters (one-way delay: sent at one end to received at the other, for each "
      "character "
      "score matched; reply delay: from the last character of the other side's turn as this side received it "
      "to "
      "the first of its reply; seconds)\n";
  if (!report.timingClocks.empty()) {
    out +=
        "Clocks as the characters give them (the partner's clock ahead of the computer's; from the two "
        "directions of each call, as NTP does)\n";
    TextTable clocks({"Computer", "Partner", "Seconds", "Calls", "Range", "From"},
                     {false, false, true, true, false, false});
    for (const TimingClock& c : report.timingClocks) {
      char seconds[40], low[40], high[40];
      std::snprintf(seconds, sizeof seconds, "%+.3f", c.seconds);
      std::snprintf(low, sizeof low, "%+.3f", c.low);
      std::snprintf(high, sizeof high, "%+.3f", c.high);
      std::string from = "their calls";
      if (c.given) {
        char characters[64] = "";
        if (c.characters)
          std::snprintf(characters, sizeof characters, " (the characters say %+.3f)", *c.characters);
        from = std::string("--clock-offset") + characters;
      }
      clocks.add({cp1252ToUtf8(c.computer), cp1252ToUtf8(c.partner), seconds, std::to_string(c.calls),
                  c.given ? "" : std::string(low) + " to " + high, from});
    }
    out += clocks.text();
  }
  TextTable calls({"Call", "Delay s (median/95 %/max)", "Reply s (median)", "Clock s", "From"},
                  {true, false, true, true, false});
  for (std::size_t c = 0; c < report.calls.size(); ++c) {
    std::vector<double> delays, replies;
    bool any = false;
    for (std::size_t i : report.calls[c].records) {
      const ScoredRecord& r = report.records[i];
      any = any || !r.timing.empty();
      const auto d = receivedDelays(r), p = ownReplyDelays(r);
      delays.insert(delays.end(), d.begin(), d.end());
      replies.insert(replies.end(), p.begin(), p.end());
    }
    if (!any) continue;
    const CallClock clock = c < report.callClocks.size() ? report.callClocks[c] : CallClock{};
    char seconds[40] = "-";
    if (clock.seconds) std::snprintf(seconds, sizeof seconds, "%+.3f", *clock.seconds);
    calls.add(
        {std::to_string(c + 1), spreadText(delays), medianText(replies), seconds, clockFrom(clock.from)});
  }
  return out + calls.text();
}

// What the report was made of and the rules of the verdicts.
std::string tableHead(const Report& report) {
  long long bytes = 0;
  for (const InputFile& f : report.captures) bytes += f.size;
  std::string out;
  out += "Field test report by fieldreport " + report.version + "\n";
  out += "Command: " + report.commandLine + "\n";
  out += "Read " + plural(report.captures.size(), "capture file", "capture files") + " (" +
         withThousands(bytes) + " bytes) and " + plural(report.scripts.size(), "script", "scripts") + ": " +
         plural(report.records.size(), "record", "records") + " scored in " +
         plural(report.calls.size(), "call", "calls") + ", " +
         withThousands(static_cast<long long>(report.skipped.size())) + " not read or not scored, " +
         plural(report.duplicates.size(), "duplicate", "duplicates") + ".\n";
  out += "A call passes with " + limitsText(report.limits) + " in each direction and at least " +
         twoDecimals(kCompleteCoverage) + " % of the far end's text counted (else it is incomplete).\n";
  out +=
      "A condition passes when all its calls are complete and the 95 % interval of each limited rate lies "
      "below the limit (with at least " +
      std::to_string(kMinCallsToPass) +
      " calls); it fails when a call is incomplete or an interval lies above the limit; otherwise it is "
      "undetermined.\n";
  return out;
}

// The files read: every one, or with --summary the list's SHA-256 and the scripts.
std::string filesRead(const Report& report, bool summaryOnly) {
  std::string out;
  if (summaryOnly) {
    out += "\nFiles read: the capture files' SHA-256 list (as sha256sum prints it) has SHA-256 " +
           sha256Hex(captureManifest(report)) + "\n";
    TextTable files({"SHA-256", "Bytes", "Script"}, {false, true, false});
    for (const InputFile& f : report.scripts) files.add({f.sha256, withThousands(f.size), f.path});
    if (!report.scripts.empty()) out += files.text();
    return out;
  }
  out += "\nFiles read\n";
  TextTable files({"SHA-256", "Bytes", "File"}, {false, true, false});
  for (const InputFile& f : report.captures) files.add({f.sha256, withThousands(f.size), f.path});
  for (const InputFile& f : report.scripts)
    files.add({f.sha256, withThousands(f.size), f.path + " (script)"});
  for (const InputFile& f : report.timingFiles)
    files.add({f.sha256, withThousands(f.size), f.path + " (times)"});
  for (const InputFile& f : report.traces) files.add({f.sha256, withThousands(f.size), f.path + " (wire trace)"});
  out += report.captures.empty() && report.scripts.empty() && report.traces.empty() ? "  (none)\n" : files.text();
  return out;
}

// Each call's records, those whose other end was not found, the clocks and the times.
std::string callsTables(const Report& report, bool namesOnly) {
  std::string out;
  out += "\nCalls (each line one direction: the far end's turns as this capture received them)\n";
  std::vector<std::string> callHeader = {"Call",   "Started",  "Capture:record", "Computer", "Direction",
                                         "Device", "Coverage", "PCER",           "CCER",     "TCER",
                                         "CER",    "Verdict",  "Call verdict"};
  std::vector<bool> callRight = {true, false, false, false, false, false, true,
                                 true, true,  true,  true,  false, false};
  if (report.timing) {
    callHeader.insert(callHeader.end(), {"Delay s (median/95 %/max)", "Reply s"});
    callRight.insert(callRight.end(), {false, true});
  }
  // Last, the condition (the --by values) each record counts in.
  callHeader.push_back("Condition");
  callRight.push_back(false);
  std::vector<std::string> condition(report.records.size(), "-");
  for (const Group& g : report.groups) {
    std::string name;
    for (std::size_t v = 0; v < g.values.size(); ++v)
      name += (v ? " / " : "") + (g.values[v].empty() ? std::string("-") : cp1252ToUtf8(g.values[v]));
    for (std::size_t i : g.records) condition[i] = name;
  }
  TextTable calls(callHeader, callRight);
  std::size_t unpaired = 0, paired = 0;
  for (std::size_t c = 0; c < report.calls.size(); ++c) {
    const Call& call = report.calls[c];
    (call.records.size() == 2 ? paired : unpaired) += 1;
    for (std::size_t k = 0; k < call.records.size(); ++k) {
      const ScoredRecord& r = report.records[call.records[k]];
      const Figures& f = r.figures;
      std::vector<std::string> row = {k == 0 ? std::to_string(c + 1) : "",
                                      cp1252ToUtf8(r.record.started),
                                      shownName(r.file, namesOnly) + ":" + std::to_string(r.record.number),
                                      value(r, "COMPUTERID"),
                                      value(r, "DIRECTION"),
                                      value(r, "DEVICE"),
                                      twoDecimals(f.coverage),
                                      twoDecimals(f.pcerRate),
                                      twoDecimals(f.ccerRate),
                                      twoDecimals(f.tcerRate),
                                      twoDecimals(f.cerRate),
                                      verdictName(r.verdict),
                                      k == 0 ? verdictName(call.verdict) : ""};
      if (report.timing) {
        row.push_back(spreadText(receivedDelays(r)));
        row.push_back(medianText(ownReplyDelays(r)));
      }
      row.push_back(condition[call.records[k]]);
      calls.add(row);
    }
  }
  out += report.calls.empty() ? "  (none)\n" : calls.text();

  // Records whose other end was not found, when other calls were found at both ends.
  if (paired > 0 && unpaired > 0) {
    out += "\nUnpaired records (no record of the other end found)\n";
    TextTable alone({"Call", "Capture:record", "Computer", "Started"}, {true, false, false, false});
    for (std::size_t c = 0; c < report.calls.size(); ++c) {
      if (report.calls[c].records.size() != 1) continue;
      const ScoredRecord& r = report.records[report.calls[c].records[0]];
      alone.add({std::to_string(c + 1), shownName(r.file, namesOnly) + ":" + std::to_string(r.record.number),
                 value(r, "COMPUTERID"), cp1252ToUtf8(r.record.started)});
    }
    out += alone.text();
  }
  if (!report.clocks.empty()) {
    out += "\nClocks (how far the second computer's clock read ahead of the first's)\n";
    TextTable clocks({"Computer", "Partner", "Seconds", "Calls", "From"}, {false, false, true, true, false});
    for (const ClockDifference& d : report.clocks) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%+.0f", d.seconds);
      clocks.add({cp1252ToUtf8(d.computer), cp1252ToUtf8(d.partner), seconds, std::to_string(d.calls),
                  d.given ? "--clock-offset" : "their calls"});
    }
    out += clocks.text();
  }
  if (report.timing) out += timingSection(report);
  return out;
}

// The summary by condition.
std::string summaryTable(const Report& report) {
  std::string out;
  std::string by;
  for (const auto& f : report.byFields) by += (by.empty() ? "" : ", ") + f;
  out += "\nSummary by " + by + " (rates pooled over the group's characters; 95 % intervals)\n";
  std::vector<std::string> header(report.byFields);
  std::vector<bool> right(report.byFields.size(), false);
  for (const char* h : {"Calls", "Complete", "Passed", "Coverage"}) {
    header.push_back(h);
    right.push_back(true);
  }
  for (Rate rate : kRates) {
    header.push_back(rateName(rate));
    header.push_back("95 % interval");
    right.push_back(true);
    right.push_back(false);
  }
  if (report.timing)
    for (const char* h : {"Delay s", "95 % s", "Reply s"}) {
      header.push_back(h);
      right.push_back(true);
    }
  header.push_back("Verdict");
  right.push_back(false);
  TextTable summary(header, right);
  for (const Group& g : report.groups) {
    std::vector<std::string> row;
    for (const auto& v : g.values) row.push_back(v.empty() ? "-" : cp1252ToUtf8(v));
    row.push_back(std::to_string(g.calls));
    row.push_back(std::to_string(g.complete));
    row.push_back(std::to_string(g.passed));
    row.push_back(twoDecimals(g.sums.coverage()));
    for (std::size_t r = 0; r < kRates.size(); ++r) {
      row.push_back(twoDecimals(g.sums.rate(kRates[r])));
      row.push_back(interval(g.intervals[r]));
    }
    if (report.timing) {
      const auto d = spreadOf(g.delays);
      row.push_back(d ? threeDecimals(d->median) : "-");
      row.push_back(d ? threeDecimals(d->p95) : "-");
      row.push_back(medianText(g.replyDelays));
    }
    const std::string needed = callsNeededText(g);
    row.push_back(std::string(groupVerdictName(g.verdict)) + " (" + g.why + (needed.empty() ? "" : "; " + needed) +
                  ")");
    summary.add(row);
  }
  out += report.groups.empty() ? "  (none)\n" : summary.text();
  out += dispersionText(report) + "\n";
  if (report.timing)
    out +=
        "Delay: the one-way delay of the characters the condition's records received (median, 95th "
        "percentile), seconds; Reply: the median reply delay of their own turns.\n";
  return out;
}

// The real-time text calls of the wire traces: each call's line of verdicts and each rule's tally.
std::string rttVerdicts(const Report& report) {
  if (report.rttCalls.empty()) return "";
  std::string out = "\nReal-time text calls: the far end of each against the RTT rules (" +
                    plural(report.rttCalls.size(), "wire trace", "wire traces") + ")\n";
  out += rttmodem::trace::terminalReport(report.rttCalls, true);
  out += "rttcheck TRACE gives each rule's verdict with its evidence; rttcheck --rules the rules.\n";
  return out;
}

// The notes, what was not read or not scored, and the duplicates.
std::string endNotes(const Report& report, bool namesOnly) {
  std::string out;
  auto place = [&](const std::string& file, int record) {
    if (file.empty()) return std::string("-");
    std::string text = shownName(file, namesOnly);
    if (record) {
      text += ':';
      text += std::to_string(record);
    }
    return text;
  };
  if (!report.notes.empty()) {
    out += "\nNotes\n";
    TextTable notes({"Capture:record", "Note"}, {false, false});
    for (const Note& n : report.notes) notes.add({place(n.file, n.record), n.text});
    out += notes.text();
  }
  if (!report.skipped.empty()) {
    out += "\nNot read or not scored\n";
    TextTable skipped({"Capture:record", "Reason"}, {false, false});
    for (const Skipped& s : report.skipped) skipped.add({place(s.file, s.record), s.reason});
    out += skipped.text();
  }
  if (!report.duplicates.empty()) {
    out += "\nDuplicates (read, and the same as a record read before: counted once)\n";
    TextTable dups({"Capture:record", "Same as"}, {false, false});
    for (const Skipped& s : report.duplicates) dups.add({place(s.file, s.record), s.reason});
    out += dups.text();
  }
  return out;
}

}  // namespace

std::string terminalTable(const Report& report, bool summaryOnly) {
  const bool namesOnly = namesAreUnique(report);
  std::string out = tableHead(report) + filesRead(report, summaryOnly);
  if (!summaryOnly) out += callsTables(report, namesOnly);
  out += summaryTable(report);
  out += rttVerdicts(report);
  if (summaryOnly) {
    if (!report.notes.empty() || !report.skipped.empty() || !report.duplicates.empty()) {
      out += '\n';
      out += plural(report.notes.size(), "note", "notes") + ", " +
             withThousands(static_cast<long long>(report.skipped.size())) + " not read or not scored, " +
             plural(report.duplicates.size(), "duplicate", "duplicates") +
             ": without --summary they are listed.\n";
    }
    return out;
  }
  return out + endNotes(report, namesOnly);
}

namespace {

// A signed difference in points: "+0.52", "-1.10", "0.00".
std::string signedPoints(double value) {
  const std::string text = twoDecimals(value);
  return value > 0 && text != "0.00" ? "+" + text : text == "-0.00" ? "0.00" : text;
}

std::string differenceCell(const RateComparison& c) {
  return signedPoints(c.diff) + " [" + signedPoints(c.low) + " to " + signedPoints(c.high) + "]";
}

// What was read on one side.
std::string sideLine(const std::string& label, const std::string& name, const Report& report) {
  int calls = 0;
  for (const Group& g : report.groups) calls += g.calls;
  std::string line = label + ": " + name + ": " + std::to_string(calls) + " calls in " +
                     std::to_string(report.groups.size()) + " conditions";
  if (!report.skipped.empty()) line += ", " + std::to_string(report.skipped.size()) + " not read or not scored";
  return line + "\n";
}

}  // namespace

std::string compareTable(const Report& a, const Report& b, const std::string& nameA, const std::string& nameB,
                         const std::vector<ConditionComparison>& rows) {
  std::string out = sideLine("A", nameA, a) + sideLine("B", nameB, b);
  std::string by;
  for (const auto& f : a.byFields) by += (by.empty() ? "" : ", ") + f;
  out += "\nB against A by " + by +
         " (rates pooled over each side's calls, per cent; B - A in points with its 95 % interval)\n";
  std::vector<std::string> header(a.byFields);
  std::vector<bool> right(a.byFields.size(), false);
  for (const char* h : {"Calls A", "Calls B", "PCER A", "PCER B", "PCER B - A", "CER A", "CER B", "CER B - A",
                        "Verdict"}) {
    header.push_back(h);
    right.push_back(std::string_view(h).find("B - A") == std::string_view::npos && std::string_view(h) != "Verdict");
  }
  TextTable table(header, right);
  for (const ConditionComparison& c : rows) {
    std::vector<std::string> row;
    for (const auto& v : c.values) row.push_back(v.empty() ? "-" : cp1252ToUtf8(v));
    const bool hasA = c.verdict != CompareVerdict::OnlyInB, hasB = c.verdict != CompareVerdict::OnlyInA;
    const bool both = hasA && hasB;
    row.push_back(hasA ? std::to_string(c.callsA) : "-");
    row.push_back(hasB ? std::to_string(c.callsB) : "-");
    for (const RateComparison* rc : {&c.pcer, &c.cer}) {
      row.push_back(hasA ? twoDecimals(rc->a) : "-");
      row.push_back(hasB ? twoDecimals(rc->b) : "-");
      row.push_back(both ? differenceCell(*rc) : "-");
    }
    row.push_back(compareVerdictText(c));
    table.add(row);
  }
  out += rows.empty() ? "  (none)\n" : table.text();
  out += "A verdict needs a difference's interval wholly on one side of 0, in PCER or CER; \"could have "
         "missed\" is the smallest difference these calls would likely (80 %) have shown.\n";
  return out;
}

}  // namespace fieldreport
