// The report as text for the terminal.
#include <algorithm>
#include <set>

#include "outputs.h"

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
  return files.size() == names.size();
}

std::string interval(const Interval& i) {
  return "[" + twoDecimals(i.low) + "-" + twoDecimals(i.high) + "]";
}

}  // namespace

std::string terminalTable(const Report& report) {
  const bool namesOnly = namesAreUnique(report);
  std::string out;
  std::string limits;
  for (const Limit& l : report.limits)
    limits += std::string(limits.empty() ? "" : " and ") + rateName(l.rate) + " below " +
              twoDecimals(l.percent) + " %";
  out += "Field test report: " + std::to_string(report.files) + " capture file" +
         (report.files == 1 ? "" : "s") + ", " + std::to_string(report.records.size()) +
         " records scored in " + std::to_string(report.calls.size()) + " calls, " +
         std::to_string(report.skipped.size()) + " not scored.\n";
  out += "A call passes with " + (limits.empty() ? std::string("no rate limit") : limits) +
         " in each direction and at least " + twoDecimals(kCompleteCoverage) +
         " % of the far end's text counted (else it is incomplete).\n";

  out += "\nCalls (each line one direction: the far end's turns as this capture received them)\n";
  TextTable calls({"Call", "Started", "Capture:record", "Computer", "Direction", "Coverage", "PCER", "CCER",
                   "TCER", "CER", "Verdict", "Call verdict"},
                  {true, false, false, false, false, true, true, true, true, true, false, false});
  for (std::size_t c = 0; c < report.calls.size(); ++c) {
    const Call& call = report.calls[c];
    for (std::size_t k = 0; k < call.records.size(); ++k) {
      const ScoredRecord& r = report.records[call.records[k]];
      const Figures& f = r.figures;
      calls.add({k == 0 ? std::to_string(c + 1) : "", cp1252ToUtf8(r.record.started),
                 shownName(r.file, namesOnly) + ":" + std::to_string(r.record.number), value(r, "COMPUTERID"),
                 value(r, "DIRECTION"), twoDecimals(f.coverage), twoDecimals(f.pcerRate),
                 twoDecimals(f.ccerRate), twoDecimals(f.tcerRate), twoDecimals(f.cerRate),
                 verdictName(r.verdict), k == 0 ? verdictName(call.verdict) : ""});
    }
  }
  out += report.calls.empty() ? "  (none)\n" : calls.text();

  std::string by;
  for (const auto& f : report.byFields) by += (by.empty() ? "" : ", ") + f;
  out += "\nSummary by " + by + " (rates pooled over the group's characters; 95 % interval over its calls)\n";
  std::vector<std::string> header(report.byFields);
  std::vector<bool> right(report.byFields.size(), false);
  for (const char* h : {"Calls", "Incomplete", "Passes", "Coverage"}) {
    header.push_back(h);
    right.push_back(true);
  }
  for (Rate rate : kRates) {
    header.push_back(rateName(rate));
    header.push_back("95 % interval");
    right.push_back(true);
    right.push_back(false);
  }
  TextTable summary(header, right);
  for (const Group& g : report.groups) {
    std::vector<std::string> row;
    for (const auto& v : g.values) row.push_back(v.empty() ? "-" : cp1252ToUtf8(v));
    row.push_back(std::to_string(g.calls));
    row.push_back(std::to_string(g.incomplete));
    row.push_back(std::to_string(g.passes));
    row.push_back(twoDecimals(g.sums.coverage()));
    for (std::size_t r = 0; r < kRates.size(); ++r) {
      row.push_back(twoDecimals(g.sums.rate(kRates[r])));
      row.push_back(interval(g.intervals[r]));
    }
    summary.add(row);
  }
  out += report.groups.empty() ? "  (none)\n" : summary.text();

  if (!report.skipped.empty()) {
    out += "\nNot scored\n";
    TextTable skipped({"Capture:record", "Reason"}, {false, false});
    for (const Skipped& s : report.skipped)
      skipped.add(
          {shownName(s.file, namesOnly) + (s.record ? ":" + std::to_string(s.record) : ""), s.reason});
    out += skipped.text();
  }
  return out;
}

}  // namespace fieldreport
