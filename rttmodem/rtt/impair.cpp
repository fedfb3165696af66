// SPDX-License-Identifier: Apache-2.0
#include "impair.h"

#include <algorithm>

namespace rttmodem::rtt {

double Impairer::Stream::uniform() {
  // splitmix64, as the loss model: the same numbers on every platform and library.
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

Impairer::Impairer(Impairments impairments, std::uint64_t seed)
    : imp_(impairments),
      jitter_{seed ^ 0x6A09E667F3BCC908ull},
      reorder_{seed ^ 0xBB67AE8584CAA73Bull},
      duplicate_{seed ^ 0x3C6EF372FE94F82Bull} {}

void Impairer::depart(std::uint64_t nowMs, std::string datagram, std::vector<Departure>* out,
                      std::uint64_t notBefore) {
  auto when = [&] {
    std::uint64_t at = nowMs + static_cast<std::uint64_t>(imp_.delayMs);
    if (imp_.jitterMs > 0)
      at += std::min(static_cast<std::uint64_t>(imp_.jitterMs),
                     static_cast<std::uint64_t>(jitter_.uniform() * (imp_.jitterMs + 1)));
    return std::max(at, notBefore);
  };
  const bool twice = imp_.duplicate > 0 && duplicate_.uniform() < imp_.duplicate;
  const std::uint64_t first = when();
  if (twice) out->push_back({when(), datagram});
  out->push_back({first, std::move(datagram)});
}

std::vector<Impairer::Departure> Impairer::take(std::uint64_t nowMs, std::string datagram) {
  std::vector<Departure> out;
  if (held_) {
    // The swap: this packet first, the held one right after it (never before it, whatever the jitter).
    depart(nowMs, std::move(datagram), &out);
    std::uint64_t latest = 0;
    for (const Departure& d : out) latest = std::max(latest, d.atMs);
    depart(nowMs, std::move(held_->datagram), &out, latest);
    held_.reset();
    return out;
  }
  if (imp_.reorder > 0 && reorder_.uniform() < imp_.reorder) {
    held_ = Departure{nowMs, std::move(datagram)};
    return out;
  }
  depart(nowMs, std::move(datagram), &out);
  return out;
}

std::optional<std::uint64_t> Impairer::heldUntil() const {
  if (!held_) return std::nullopt;
  return held_->atMs + kReorderHoldMs;
}

std::vector<Impairer::Departure> Impairer::releaseHeld(std::uint64_t nowMs) {
  std::vector<Departure> out;
  if (!held_) return out;
  depart(nowMs, std::move(held_->datagram), &out);
  held_.reset();
  return out;
}

std::uint64_t Impairer::maxLatencyMs() const {
  return static_cast<std::uint64_t>(imp_.delayMs + imp_.jitterMs) + (imp_.reorder > 0 ? kReorderHoldMs : 0);
}

}  // namespace rttmodem::rtt
