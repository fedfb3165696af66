// SPDX-License-Identifier: Apache-2.0
#include "loss.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace rttmodem::rtt {
namespace {

bool parseNumber(std::string_view s, double* out) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, *out);
  return ec == std::errc() && p == end && std::isfinite(*out);
}

}  // namespace

std::optional<LossPattern> parseLoss(std::string_view text, std::string* error) {
  LossPattern pattern;
  const std::size_t comma = text.find(',');
  if (!parseNumber(text.substr(0, comma), &pattern.percent) || pattern.percent < 0 || pattern.percent > 100) {
    *error = "loss must be a percentage from 0 to 100, optionally followed by ,burst=N: '" +
             std::string(text) + "'";
    return std::nullopt;
  }
  if (comma != std::string_view::npos) {
    std::string_view rest = text.substr(comma + 1);
    if (rest.substr(0, 6) != "burst=" || !parseNumber(rest.substr(6), &pattern.burst) || pattern.burst < 1 ||
        pattern.burst > 1000) {
      *error = "the loss's burst must be burst=N with N from 1 to 1000: '" + std::string(text) + "'";
      return std::nullopt;
    }
  }
  if (pattern.percent >= 100) pattern.burst = 0;  // everything lost: runs have no meaning
  return pattern;
}

LossModel::LossModel(LossPattern pattern, std::uint64_t seed) : state_(seed ^ 0x9E3779B97F4A7C15ull) {
  const double p = pattern.percent / 100;
  if (pattern.burst < 1 || p >= 1) {
    pStay_ = pEnter_ = p;
  } else {
    // A run ends with probability 1/burst; runs start often enough for the long-run share to be p.
    pStay_ = 1 - 1 / pattern.burst;
    pEnter_ = std::min(1.0, p / ((1 - p) * pattern.burst));
  }
}

double LossModel::uniform() {
  // splitmix64: the same numbers on every platform and library.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

bool LossModel::drop() {
  const double u = uniform();
  losing_ = losing_ ? u < pStay_ : u < pEnter_;
  return losing_;
}

}  // namespace rttmodem::rtt
