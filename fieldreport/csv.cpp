// SPDX-License-Identifier: Apache-2.0
// The report's records and conditions as CSV.
#include <cstdio>
#include <functional>
#include <map>

#include "compare.h"
#include "outputs.h"
#include "timing_figures.h"

namespace fieldreport {

const char kCsvHeader[] =
    "file,record,started,computer_id,type,direction,signal,device,phone_model,phone_tech,network_info,turbo,"
    "script_completed,script,master_chars,coverage,pcer,ccer,tcer,cer,pcer_total,pcer_correct,pcer_added,"
    "pcer_missed,pcer_changed,ccer_total,ccer_correct,ccer_added,ccer_missed,ccer_changed,tcer_total,"
    "tcer_correct,tcer_added,tcer_missed,tcer_changed,cer_errors,cer_length,verdict,"
    "call,partner,call_verdict,ended,seconds,username,location,cable_id,port,dial_number";

std::string notAFormula(std::string text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
    text.insert(0, 1, '\'');
  return text;
}

const char kTimingCsvHeader[] =
    "file,record,call,turn,side,chars_sent,chars_received,reply_delay_s,cps,delay_median_s,delay_p95_s,"
    "delay_max_s,lost_at_start";

std::string threeDecimals(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.3f", value);
  return std::string(text) == "-0.000" ? "0.000" : text;
}

namespace {

std::string field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A cell of text read from a capture or a path: as UTF-8, and never a formula.
std::string text(const std::string& cp1252) {
  return notAFormula(fieldtext::cp1252ToUtf8(cp1252));
}

void row(std::string& out, const std::vector<std::string>& cells) {
  // Appended piece by piece here and below: GCC 12 at -O3 warns wrongly (-Wrestrict) of a
  // literal + a temporary string.
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    out += field(cells[i]);
  }
  out += "\r\n";
}

// "10/18/01 14:07:12" of "10/18/01 14:07:12 (125.3 seconds)".
std::string endMoment(const std::string& ended) {
  const std::size_t open = ended.rfind(" (");
  return open == std::string::npos ? ended : ended.substr(0, open);
}

// The record's own columns, from its lines: the conditions and the end (cells in kCsvHeader's
// order, the figures left empty).
struct RecordCells {
  std::vector<std::string> first, last;  // before the figures, after the call's three columns
};
RecordCells recordCells(const std::string& file, const fieldtext::Record& r, const std::string& script) {
  auto value = [&](const char* key) {
    const std::string* v = r.value(key);
    return v ? text(*v) : std::string();
  };
  RecordCells c;
  c.first = {notAFormula(file),
             r.number ? std::to_string(r.number) : "",
             text(r.started),
             value("COMPUTERID"),
             value("TYPE"),
             value("DIRECTION"),
             value("SIGNAL"),
             value("DEVICE"),
             value("PHONEMODEL"),
             value("PHONETECH"),
             value("NETWORKINFO"),
             value("TURBOCODEDETECTED"),
             value("SCRIPTCOMPLETED"),
             notAFormula(script)};
  char seconds[32] = "";
  if (r.seconds) std::snprintf(seconds, sizeof seconds, "%.1f", *r.seconds);
  c.last = {text(endMoment(r.ended)), seconds,       value("USERNAME"), value("LOCATION"),
            value("CABLEID"),         value("PORT"), value("DIAL#")};
  return c;
}

}  // namespace

std::string csvText(const Report& report) {
  std::string out = std::string(kCsvHeader) + "\r\n";
  std::vector<std::size_t> callOf(report.records.size(), 0);
  for (std::size_t c = 0; c < report.calls.size(); ++c)
    for (std::size_t i : report.calls[c].records) callOf[i] = c;
  for (std::size_t i = 0; i < report.records.size(); ++i) {
    const ScoredRecord& r = report.records[i];
    const Figures& f = r.figures;
    const Call& call = report.calls[callOf[i]];
    RecordCells cells = recordCells(r.file, r.record, r.script ? r.script->path : "");
    std::vector<std::string> cols = cells.first;
    for (const std::string& n :
         {std::to_string(f.masterChars), twoDecimals(f.coverage), twoDecimals(f.pcerRate),
          twoDecimals(f.ccerRate), twoDecimals(f.tcerRate), twoDecimals(f.cerRate)})
      cols.push_back(n);
    for (const Counts* c : {&f.pcer, &f.ccer, &f.tcer})
      for (int n : {c->total, c->correct, c->added, c->missed, c->changed}) cols.push_back(std::to_string(n));
    cols.push_back(std::to_string(f.cerErrors));
    cols.push_back(std::to_string(f.cerLength));
    cols.push_back(verdictName(r.verdict));
    cols.push_back(std::to_string(callOf[i] + 1));
    std::string partner;
    for (std::size_t k : call.records)
      if (k != i)
        partner = notAFormula(report.records[k].file + "#" + std::to_string(report.records[k].record.number));
    cols.push_back(partner);
    cols.push_back(verdictName(call.verdict));
    cols.insert(cols.end(), cells.last.begin(), cells.last.end());
    row(out, cols);
  }
  // What was not scored: the record's own columns as far as it was read, the reason as verdict.
  auto notScored = [&](const Skipped& s) {
    fieldtext::Record known = s.known;
    known.number = s.record;
    const RecordCells cells = recordCells(s.file, known, "");
    std::vector<std::string> cols = cells.first;
    cols.resize(37);
    cols.push_back(notAFormula(s.reason));
    cols.resize(41);
    cols.insert(cols.end(), cells.last.begin(), cells.last.end());
    row(out, cols);
  };
  for (const Skipped& s : report.skipped) notScored(s);
  for (const Skipped& s : report.duplicates) notScored(s);
  return out;
}

namespace {

// The columns of the summary CSV: a name and the cell of a condition. Columns added later go on
// the end.
using SummaryColumn = std::pair<std::string, std::function<std::string(const Group&)>>;

std::vector<SummaryColumn> summaryColumns(const Report& report) {
  std::vector<SummaryColumn> columns;
  columns.push_back({"group", [](const Group& g) {
                       std::string joined;
                       for (std::size_t i = 0; i < g.values.size(); ++i)
                         joined += (i ? " / " : "") +
                                   fieldtext::cp1252ToUtf8(g.values[i].empty() ? "-" : g.values[i]);
                       return notAFormula(joined);
                     }});
  columns.push_back({"calls", [](const Group& g) { return std::to_string(g.calls); }});
  columns.push_back({"complete_calls", [](const Group& g) { return std::to_string(g.complete); }});
  columns.push_back({"passed_calls", [](const Group& g) { return std::to_string(g.passed); }});
  for (std::size_t r = 0; r < kRates.size(); ++r) {
    std::string name = rateName(kRates[r]);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    columns.push_back({name, [r](const Group& g) { return twoDecimals(g.sums.rate(kRates[r])); }});
    columns.push_back({name + "_low", [r](const Group& g) { return twoDecimals(g.intervals[r].low); }});
    columns.push_back({name + "_high", [r](const Group& g) { return twoDecimals(g.intervals[r].high); }});
  }
  columns.push_back({"verdict", [](const Group& g) { return std::string(groupVerdictName(g.verdict)); }});
  if (report.timing) {
    auto seconds = [](const std::vector<double>& sorted, bool p95) {
      const auto spread = spreadOf(sorted);
      return spread ? threeDecimals(p95 ? spread->p95 : spread->median) : std::string();
    };
    columns.push_back({"delay_median_s", [=](const Group& g) { return seconds(g.delays, false); }});
    columns.push_back({"delay_p95_s", [=](const Group& g) { return seconds(g.delays, true); }});
    columns.push_back(
        {"reply_delay_median_s", [=](const Group& g) { return seconds(g.replyDelays, false); }});
  }
  // Last, whatever came before it: what decided the verdict, as the table and the page say it.
  columns.push_back({"verdict_reason", [](const Group& g) { return notAFormula(g.why); }});
  // Appended after it: the further calls an undetermined condition needs, empty when settled.
  columns.push_back({"calls_needed", [](const Group& g) {
                       if (g.callsNeeded == kTooManyCalls) return ">" + std::to_string(kMostCallsNeeded);
                       return g.callsNeeded > 0 ? std::to_string(g.callsNeeded) : std::string();
                     }});
  return columns;
}

}  // namespace

std::string summaryCsvText(const Report& report) {
  const std::vector<SummaryColumn> columns = summaryColumns(report);
  std::string out;
  std::vector<std::string> header;
  for (const auto& c : columns) header.push_back(c.first);
  row(out, header);
  for (const Group& g : report.groups) {
    std::vector<std::string> cells;
    for (const auto& c : columns) cells.push_back(c.second(g));
    row(out, cells);
  }
  return out;
}

}  // namespace fieldreport

namespace fieldreport {

std::string timingCsvText(const Report& report) {
  std::string out = std::string(kTimingCsvHeader) + "\r\n";
  std::vector<std::size_t> callOf(report.records.size(), 0);
  for (std::size_t c = 0; c < report.calls.size(); ++c)
    for (std::size_t i : report.calls[c].records) callOf[i] = c;
  auto count = [](const std::optional<int>& n) { return n ? std::to_string(*n) : std::string(); };
  auto seconds = [](const std::optional<double>& v) { return v ? threeDecimals(*v) : std::string(); };
  for (std::size_t i = 0; i < report.records.size(); ++i) {
    const ScoredRecord& r = report.records[i];
    for (const TurnTiming& t : r.timing) {
      const auto spread = spreadOf(t.delays);
      row(out, {notAFormula(r.file), std::to_string(r.record.number), std::to_string(callOf[i] + 1),
                std::to_string(t.turn), t.near ? "near" : "far", count(t.charsSent), count(t.charsReceived),
                seconds(t.replyDelay), t.cps ? twoDecimals(*t.cps) : "",
                spread ? threeDecimals(spread->median) : "", spread ? threeDecimals(spread->p95) : "",
                spread ? threeDecimals(spread->max) : "", count(t.lostAtStart)});
    }
  }
  return out;
}

std::string compareCsvText(const std::vector<ConditionComparison>& rows) {
  std::string out = std::string(kCompareCsvHeader) + "\r\n";
  for (const ConditionComparison& c : rows) {
    std::string joined;
    for (std::size_t i = 0; i < c.values.size(); ++i)
      joined += (i ? " / " : "") + fieldtext::cp1252ToUtf8(c.values[i].empty() ? "-" : c.values[i]);
    const bool hasA = c.verdict != CompareVerdict::OnlyInB, hasB = c.verdict != CompareVerdict::OnlyInA;
    const bool both = hasA && hasB;
    std::vector<std::string> cells = {notAFormula(joined), hasA ? std::to_string(c.callsA) : "",
                                      hasB ? std::to_string(c.callsB) : ""};
    for (const RateComparison* rc : {&c.pcer, &c.cer}) {
      cells.push_back(hasA ? twoDecimals(rc->a) : "");
      cells.push_back(hasB ? twoDecimals(rc->b) : "");
      for (double v : {rc->diff, rc->low, rc->high}) {
        const std::string text = twoDecimals(v);
        cells.push_back(!both ? "" : text == "-0.00" ? "0.00" : text);
      }
    }
    cells.push_back(compareVerdictText(c));
    row(out, cells);
  }
  return out;
}

}  // namespace fieldreport
