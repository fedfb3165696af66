// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading a wire trace back. A trace comes from outside (another machine, another program's
// version, a file cut short by a crash), so nothing in it is trusted: every field is checked, a
// malformed line refuses the trace with its line number, and what can be passed over (an event
// kind this reader does not know, a last line cut in the middle) is passed over with a warning.
// Errors: nothing here throws for what a trace holds; a trace that cannot be read gives no trace
// and the reason with its line (ReadResult::error).
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire_trace.h"

namespace rttmodem::trace {

inline constexpr std::size_t kMaxTraceBytes = 256u << 20;

struct ReadResult {
  std::optional<Trace> trace;  // nothing when the trace cannot be read
  std::string error;           // why not, with the line ("line 12: ...")
  std::vector<std::string> warnings;
  bool ended = false;  // the trace has its end line (a call cut short has none)
};

ReadResult readTrace(std::string_view text);
ReadResult readTraceFile(const std::filesystem::path& path);

}  // namespace rttmodem::trace
