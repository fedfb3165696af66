// SPDX-License-Identifier: Apache-2.0
// The impairments' schedule: every packet leaves (twice when duplicated), never before its delay
// nor after the longest latency, and the same seed gives the same schedule.
#include "impair.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <map>

namespace rttmodem::rtt {
namespace {

struct Made {
  std::uint64_t atMs;
  int copies = 0;
  std::uint64_t first = ~0ull, last = 0;
};

// Packets made every 300 ms; the held one released when its time comes. What left, by packet.
std::map<std::string, Made> run(const Impairments& imp, std::uint64_t seed, int packets,
                                std::vector<std::string>* order) {
  Impairer im(imp, seed);
  std::map<std::string, Made> made;
  std::multimap<std::uint64_t, std::string> leaving;
  auto note = [&](std::vector<Impairer::Departure> ds) {
    for (auto& d : ds) {
      Made& m = made.at(d.datagram);
      ++m.copies;
      m.first = std::min(m.first, d.atMs);
      m.last = std::max(m.last, d.atMs);
      leaving.emplace(d.atMs, d.datagram);
    }
  };
  for (int i = 0; i < packets; ++i) {
    const std::uint64_t now = 300ull * static_cast<std::uint64_t>(i);
    if (auto until = im.heldUntil(); until && *until <= now) note(im.releaseHeld(*until));
    const std::string name = "p" + std::to_string(i);
    made[name] = {now};
    note(im.take(now, name));
  }
  if (auto until = im.heldUntil()) note(im.releaseHeld(*until));
  for (auto& [at, name] : leaving) order->push_back(name);
  return made;
}

RC_GTEST_PROP(Impairer, EveryPacketLeavesWithinItsBoundsAndTheSeedRepeatsTheRun, ()) {
  Impairments imp;
  imp.delayMs = *rc::gen::inRange(0, kMaxImpairMs + 1);
  imp.jitterMs = *rc::gen::inRange(0, kMaxImpairMs + 1);
  imp.reorder = *rc::gen::element(0.0, 0.3, 1.0);
  imp.duplicate = *rc::gen::element(0.0, 0.5, 1.0);
  const auto seed = *rc::gen::arbitrary<std::uint64_t>();
  std::vector<std::string> order, again;
  const auto made = run(imp, seed, 40, &order);
  run(imp, seed, 40, &again);
  RC_ASSERT(order == again);
  Impairer probe(imp, seed);
  for (const auto& [name, m] : made) {
    RC_ASSERT(m.copies >= 1);
    RC_ASSERT(m.copies <= 2);
    if (imp.duplicate == 1.0) RC_ASSERT(m.copies == 2);
    if (imp.duplicate == 0.0) RC_ASSERT(m.copies == 1);
    RC_ASSERT(m.first >= m.atMs + static_cast<std::uint64_t>(imp.delayMs));
    RC_ASSERT(m.last <= m.atMs + probe.maxLatencyMs());
  }
}

}  // namespace
}  // namespace rttmodem::rtt
