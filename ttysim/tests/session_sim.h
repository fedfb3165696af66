// SPDX-License-Identifier: Apache-2.0
#pragma once
// A session on a made-up clock, with the program's side played by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "session.h"

namespace ttysim::testing {

class Sim {
 public:
  explicit Sim(SessionConfig c) : s(std::move(c)) {}

  // Runs every deadline up to time t.
  void advance(Seconds t) {
    int ticks = 0;
    for (; ticks < 10000 && !s.done(); ++ticks) {
      auto d = s.nextDeadline();
      if (!d || *d > t) break;
      now = std::max(now, *d);
      s.tick(now);
      collect();
    }
    ASSERT_LT(ticks, 10000) << "a deadline that a tick does not move on";
    now = std::max(now, t);
    s.tick(now);
    collect();
  }
  void wait(Seconds dt) { advance(now + dt); }
  // The program writes text, at 10 characters a second.
  void program(const std::string& text) {
    for (char c : text) {
      s.fromProgram(std::string_view(&c, 1), now);
      collect();
      wait(0.1);
    }
  }
  // What the device said to the program since the last call.
  std::string said() {
    std::string r;
    r.swap(toProgram);
    return r;
  }
  bool saw(const std::string& e) const { return times.count(e) > 0; }
  Seconds at(const std::string& e) const { return times.at(e); }

  Session s;
  Seconds now = 0;
  std::string toProgram;
  std::vector<std::string> events;
  std::map<std::string, Seconds> times;

 private:
  void collect() {
    toProgram += s.out.toProgram;
    s.out.toProgram.clear();
    for (auto& e : s.out.events) {
      times.emplace(e, now);
      events.push_back(e);
    }
    s.out.events.clear();
  }
};

}  // namespace ttysim::testing
