// SPDX-License-Identifier: Apache-2.0
// The red payload parser and the text receiver on any bytes. A payload that parses builds back
// to the same blocks; a run of packets cut from the input (each with a sequence step, a marker
// and a payload type taken from its first bytes) never harms the receiver, and whatever it
// reports lost is either recovered or marked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "t140.h"

using namespace rttmodem::rtt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (auto red = parseRed(all, &error)) {
    auto again = parseRed(buildRed(*red), &error);
    if (!again || again->primary != red->primary || again->redundant.size() != red->redundant.size()) std::abort();
    for (std::size_t i = 0; i < red->redundant.size(); ++i)
      if (again->redundant[i].data != red->redundant[i].data || again->redundant[i].pt != red->redundant[i].pt)
        std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  Receiver r(98, 100);
  std::uint16_t seq = 1000;
  std::size_t at = 0;
  while (at + 4 <= size) {
    const std::uint8_t step = data[at], flags = data[at + 1];
    const std::size_t len = data[at + 2] % 64 + (data[at + 3] % 4) * 64;
    at += 4;
    const std::string_view payload = all.substr(at, len);
    at += payload.size();
    seq = static_cast<std::uint16_t>(seq + step % 8 - 2);  // forwards, repeats and latecomers
    const std::uint8_t pt = (flags & 1) ? 100 : (flags & 2) ? 98 : 77;
    const std::optional<std::uint32_t> ssrc = (flags & 4) ? std::optional<std::uint32_t>(flags >> 3) : std::nullopt;
    Received got = r.onPacket(seq, flags & 0x80, pt, payload, ssrc);
    if (!got.error.empty()) continue;
    if (got.recovered > got.lost || got.marks > got.lost + 1) std::abort();
    if (got.lost > got.recovered && got.marks == 0) std::abort();  // a loss never goes unmarked
  }
  return 0;
}
