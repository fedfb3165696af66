// SPDX-License-Identifier: Apache-2.0
#include "verdict_report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "trace_utf8.h"

namespace rttmodem::trace {
namespace {

std::size_t width(std::string_view s) { return utf8::count(s); }

std::string pad(std::string_view s, std::size_t w) {
  std::string out(s);
  for (std::size_t n = width(s); n < w; ++n) out += ' ';
  return out;
}

// How a verdict stands in the table: failures and warnings in capitals, to be seen at a glance.
std::string shown(Verdict v) {
  switch (v) {
    case Verdict::Fail: return "FAIL";
    case Verdict::Warn: return "WARN";
    default: return std::string(verdictName(v));
  }
}

std::string callLine(const CallReport& c) {
  std::string line = c.file + ": call";
  if (!c.call.id.empty()) line += " " + c.call.id;
  if (!c.call.role.empty()) line += " (" + c.call.role + ")";
  if (!c.call.peer.empty()) line += (c.call.role == "callee" ? " from " : " with ") + c.call.peer;
  char buf[96];
  std::snprintf(buf, sizeof buf, ", %lld.%lld s, %zu packets in, %zu out", static_cast<long long>(c.seconds10 / 10),
                static_cast<long long>(c.seconds10 % 10), c.packetsIn, c.packetsOut);
  line += buf;
  if (!c.ended) line += ", cut short";
  return line;
}

std::string tally(const CallReport& c) {
  std::map<Verdict, std::vector<std::string>> by;
  for (const RuleResult& r : c.results) by[r.verdict].push_back(std::string(r.rule->id));
  std::string out;
  for (Verdict v : {Verdict::Fail, Verdict::Warn, Verdict::Pass, Verdict::NotExercised}) {
    auto it = by.find(v);
    if (it == by.end()) continue;
    if (!out.empty()) out += ", ";
    out += std::to_string(it->second.size()) + " " + std::string(verdictName(v));
    if (v == Verdict::Fail || v == Verdict::Warn) {
      out += " (";
      for (std::size_t i = 0; i < it->second.size(); ++i) out += (i ? " " : "") + it->second[i];
      out += ")";
    }
  }
  return out;
}

std::string notAFormula(std::string text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) text.insert(0, 1, '\'');
  return text;
}

std::string cell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

const char kCsvHeader[] = "file,call,role,peer,started,seconds,ended,rule,clause,verdict,summary,evidence";

CallReport reportOf(const std::string& file, const ReadResult& read) {
  CallReport c;
  c.file = file;
  c.warnings = read.warnings;
  c.ended = read.ended;
  if (!read.trace) return c;
  const Trace& t = *read.trace;
  c.call = t.call;
  std::int64_t first = 0, last = 0;
  bool any = false;
  for (const Event& e : t.events) {
    const std::int64_t us = eventTime(e);
    first = any ? std::min(first, us) : us;
    last = any ? std::max(last, us) : us;
    any = true;
    if (auto* p = std::get_if<RtpPacket>(&e)) ++(p->dir == Direction::In ? c.packetsIn : c.packetsOut);
  }
  c.seconds10 = (last - first) / 100000;
  c.results = judge(t);
  return c;
}

Verdict overall(const std::vector<CallReport>& calls) {
  Verdict v = Verdict::NotExercised;
  for (const CallReport& c : calls)
    for (const RuleResult& r : c.results) v = worst(v, r.verdict);
  return v;
}

std::string terminalReport(const std::vector<CallReport>& calls, bool summaryOnly) {
  std::size_t ruleW = 4, clauseW = 6;
  for (const Rule& r : rules()) {
    ruleW = std::max(ruleW, width(r.id));
    clauseW = std::max(clauseW, width(r.clause));
  }
  std::string out;
  for (const CallReport& c : calls) {
    out += callLine(c) + "\n";
    for (const std::string& w : c.warnings) out += "  (" + w + ")\n";
    if (summaryOnly) {
      out += "  " + tally(c) + "\n";
      continue;
    }
    out += "  " + pad("verdict", 14) + pad("rule", ruleW + 2) + pad("clause", clauseW + 2) + "what was judged\n";
    for (const RuleResult& r : c.results) {
      out += "  " + pad(shown(r.verdict), 14) + pad(r.rule->id, ruleW + 2) + pad(r.rule->clause, clauseW + 2) +
             r.summary + "\n";
      for (const std::string& e : r.evidence) out += std::string(16, ' ') + "- " + e + "\n";
      if (r.moreEvidence) out += std::string(16, ' ') + "- and " + std::to_string(r.moreEvidence) + " more\n";
    }
    out += "\n";
  }
  if (calls.size() > 1) {
    out += pad("rule", ruleW + 2) + "pass  warn  fail  not exercised\n";
    for (const Rule& rule : rules()) {
      int n[4] = {0, 0, 0, 0};
      for (const CallReport& c : calls)
        for (const RuleResult& r : c.results)
          if (r.rule->id == rule.id) ++n[static_cast<int>(r.verdict)];
      char buf[64];
      std::snprintf(buf, sizeof buf, "%4d  %4d  %4d  %4d\n", n[1], n[2], n[3], n[0]);
      out += pad(rule.id, ruleW + 2) + buf;
    }
  }
  return out;
}

std::string rulesTable() {
  std::size_t ruleW = 4, clauseW = 6;
  for (const Rule& r : rules()) {
    ruleW = std::max(ruleW, width(r.id));
    clauseW = std::max(clauseW, width(r.clause));
  }
  std::string out = pad("rule", ruleW + 2) + pad("clause", clauseW + 2) + "the far end must see that\n";
  for (const Rule& r : rules()) out += pad(r.id, ruleW + 2) + pad(r.clause, clauseW + 2) + std::string(r.title) + "\n";
  return out;
}

std::string csvReport(const std::vector<CallReport>& calls) {
  std::string out = std::string(kCsvHeader) + "\r\n";
  for (const CallReport& c : calls) {
    char secs[32];
    std::snprintf(secs, sizeof secs, "%lld.%lld", static_cast<long long>(c.seconds10 / 10),
                  static_cast<long long>(c.seconds10 % 10));
    for (const RuleResult& r : c.results) {
      std::string evidence;
      for (const std::string& e : r.evidence) evidence += (evidence.empty() ? "" : " | ") + e;
      if (r.moreEvidence) evidence += " | and " + std::to_string(r.moreEvidence) + " more";
      const std::vector<std::string> cells = {notAFormula(c.file),
                                              notAFormula(c.call.id),
                                              notAFormula(c.call.role),
                                              notAFormula(c.call.peer),
                                              notAFormula(c.call.started),
                                              secs,
                                              c.ended ? "yes" : "no",
                                              std::string(r.rule->id),
                                              std::string(r.rule->clause),
                                              std::string(verdictName(r.verdict)),
                                              notAFormula(r.summary),
                                              notAFormula(evidence)};
      for (std::size_t i = 0; i < cells.size(); ++i) out += (i ? "," : "") + cell(cells[i]);
      out += "\r\n";
    }
  }
  return out;
}

}  // namespace rttmodem::trace
