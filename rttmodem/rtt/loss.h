// SPDX-License-Identifier: Apache-2.0
#pragma once
// Packets withheld on purpose, to try redundancy: `percent` of all packets lost in the long run,
// each one independently, or (with a burst length) by a seeded two-state model in which losses come
// in runs of `burst` packets on average.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rttmodem::rtt {

struct LossPattern {
  double percent = 0;  // 0 to 100
  double burst = 0;    // mean length of a run of lost packets (>= 1); 0: independent losses
};

// "P" or "P,burst=N"; nothing and an error for anything else.
std::optional<LossPattern> parseLoss(std::string_view text, std::string* error);

class LossModel {
 public:
  LossModel(LossPattern pattern, std::uint64_t seed);
  // Whether the next packet is lost.
  bool drop();

 private:
  double uniform();
  double pEnter_, pStay_;
  bool losing_ = false;
  std::uint64_t state_;
};

}  // namespace rttmodem::rtt
