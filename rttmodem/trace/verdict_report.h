// SPDX-License-Identifier: Apache-2.0
#pragma once
// The verdicts of one or more calls' traces: per call and per rule as a table for the terminal,
// and as CSV (one row per call and rule, header kCsvHeader).
#include <cstdint>
#include <string>
#include <vector>

#include "conformance.h"
#include "trace_reader.h"

namespace rttmodem::trace {

struct CallReport {
  std::string file;  // the trace as it was named
  CallHeader call;
  bool ended = false;
  std::int64_t seconds10 = 0;  // the call's length in tenths of a second (first to last event)
  std::size_t packetsIn = 0, packetsOut = 0;
  std::vector<std::string> warnings;  // what the reader passed over
  std::vector<RuleResult> results;
};

// A read trace judged.
CallReport reportOf(const std::string& file, const ReadResult& read);

// Each call's verdicts with their evidence, then (for several calls) each rule's tally.
std::string terminalReport(const std::vector<CallReport>& calls, bool summaryOnly);
// The rules with their clauses.
std::string rulesTable();

extern const char kCsvHeader[];
std::string csvReport(const std::vector<CallReport>& calls);

// The worst verdict of all calls and rules.
Verdict overall(const std::vector<CallReport>& calls);

}  // namespace rttmodem::trace
