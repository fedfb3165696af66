// SPDX-License-Identifier: Apache-2.0
#pragma once
// Impairments put on purpose on the text we send, to try a far end (or a network between) with
// what real networks do: a one-way delay of every packet, jitter (each packet delayed by a
// different amount, which reorders them), a packet swapped with the next one, a packet sent
// twice. Each drawn from its own seeded sequence, so that a run can be repeated and adding one
// impairment does not change the pattern of another (nor that of the loss).
//
// Pure logic: packets come in as datagrams with the time they were made, and go out as the times
// each copy is to leave.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rttmodem::rtt {

inline constexpr int kMaxImpairMs = 5000;
// A packet held back to be swapped with the next one leaves alone after this long: long enough
// for the keep-alive that follows a turn to overtake it, short enough not to stall the call.
inline constexpr int kReorderHoldMs = 1500;

struct Impairments {
  int delayMs = 0;        // every packet, 0 to kMaxImpairMs
  int jitterMs = 0;       // each packet a further 0 to jitterMs, uniformly
  double reorder = 0;     // probability that a packet is swapped with the next one
  double duplicate = 0;   // probability that a packet is sent twice
  int ssrcChangeSeconds = 0;  // the stream restarts (new SSRC, sequence, timestamps); 0: never
  bool delays() const { return delayMs > 0 || jitterMs > 0 || reorder > 0 || duplicate > 0; }
};

class Impairer {
 public:
  struct Departure {
    std::uint64_t atMs;
    std::string datagram;
  };
  Impairer(Impairments impairments, std::uint64_t seed);
  // A packet made at nowMs: when it (and any packet it releases) leaves, copies included. A packet
  // chosen to be swapped gives nothing yet: it leaves after the next one, or by heldUntil().
  std::vector<Departure> take(std::uint64_t nowMs, std::string datagram);
  // When a packet held back for a swap leaves alone, if one is held.
  std::optional<std::uint64_t> heldUntil() const;
  // The held packet, to leave now (the next one did not come in time).
  std::vector<Departure> releaseHeld(std::uint64_t nowMs);
  // The longest a packet can take to leave after it was made.
  std::uint64_t maxLatencyMs() const;

 private:
  struct Stream {
    std::uint64_t state;
    double uniform();
  };
  void depart(std::uint64_t nowMs, std::string datagram, std::vector<Departure>* out,
              std::uint64_t notBefore = 0);
  Impairments imp_;
  Stream jitter_, reorder_, duplicate_;
  std::optional<Departure> held_;  // atMs: when it was made
};

}  // namespace rttmodem::rtt
