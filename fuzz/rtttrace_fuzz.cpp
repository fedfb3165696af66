// SPDX-License-Identifier: Apache-2.0
// The wire trace reader and the rules on fuzzed traces: any bytes are read without harm (a trace
// or a reason, never both); a trace read, written out again, reads back the same; and the rules
// and the reports judge whatever was read without failing.
//
// Input: the bytes of a trace file. Most inputs get the header line put in front, so that most of
// the time goes into events rather than into the first line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "conformance.h"
#include "trace_reader.h"
#include "verdict_report.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "%s\ninput (%zu bytes)\n", what, input.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (size > 0 && data[0] % 4 != 0 && input.rfind("rtt-trace", 0) != 0) input = "rtt-trace 1\n" + input.substr(1);

  using namespace rttmodem::trace;
  const ReadResult read = readTrace(input);
  if (read.trace.has_value() == !read.error.empty()) fail("a trace and an error, or neither", input);
  if (!read.trace) return 0;

  // Written again (with the end line it had), it reads back the same.
  std::string again = formatTrace(*read.trace);
  const ReadResult back = readTrace(again);
  if (!back.trace) fail("a trace written out again cannot be read", input);
  if (!(*back.trace == *read.trace)) fail("a trace written out again reads back different", input);
  if (back.ended != read.ended) fail("the end line came back different", input);

  // The rules and the reports take anything that was read.
  const std::vector<RuleResult> results = judge(*read.trace);
  if (results.size() != rules().size()) fail("not every rule was judged", input);
  for (const RuleResult& r : results)
    if (r.rule == nullptr || r.summary.empty()) fail("a rule's result without its rule or summary", input);
  const std::vector<CallReport> calls = {reportOf("fuzz.rtttrace", read)};
  if (terminalReport(calls, false).empty() || csvReport(calls).empty()) fail("an empty report", input);
  return 0;
}
