// SPDX-License-Identifier: Apache-2.0
// The call's phase against its diagram: every step from every phase. The line's state against the
// three flags it stands for, over any run of steps.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <map>
#include <string>
#include <utility>

#include "call/call_phase.h"
#include "call/line_state.h"

namespace corvalis {
namespace {

using P = TCallPhase::Value;

// Brings a phase about by its steps from the start.
TCallPhase At(P phase) {
  TCallPhase p;
  if (phase == P::NoCall) return p;
  p.Start();
  if (phase == P::LineDown) p.HangUp();
  if (phase == P::Ended) p.Close();
  return p;
}

TEST(CallPhase, EveryStepGoesWhereTheDiagramSaysAndAnyOtherChangesNothing) {
  using Step = bool (TCallPhase::*)();
  const std::map<std::string, Step> steps = {{"Start", &TCallPhase::Start},
                                             {"HangUp", &TCallPhase::HangUp},
                                             {"Close", &TCallPhase::Close},
                                             {"Finish", &TCallPhase::Finish}};
  const std::map<std::pair<P, std::string>, P> diagram = {{{P::NoCall, "Start"}, P::InCall},
                                                          {{P::InCall, "HangUp"}, P::LineDown},
                                                          {{P::InCall, "Close"}, P::Ended},
                                                          {{P::LineDown, "Close"}, P::Ended},
                                                          {{P::Ended, "Finish"}, P::NoCall}};
  for (P from : {P::NoCall, P::InCall, P::LineDown, P::Ended}) {
    for (const auto& [name, step] : steps) {
      SCOPED_TRACE(name + " from " + std::to_string(static_cast<int>(from)));
      TCallPhase p = At(from);
      ASSERT_EQ(p.Now(), from);
      const auto edge = diagram.find({from, name});
      const bool taken = (p.*step)();
      EXPECT_EQ(taken, edge != diagram.end());
      EXPECT_EQ(p.Now(), taken ? edge->second : from);
    }
  }
}

TEST(LineState, SaysWhatTheThreeFlagsOfTheLineWouldHaveSaidAfterAnyRunOfSteps) {
  // Each step as it sets the flags (up, awaiting a CONNECT, hung up); a connection is never taken
  // over a hang-up (a call that begins ends it first).
  EXPECT_TRUE(rc::check("the state and the flags agree", [] {
    TLineState line;
    bool up = false, awaiting = false, hungUp = false;
    const int steps = *rc::gen::inRange(1, 40);
    for (int i = 0; i < steps; ++i) {
      const bool modem = *rc::gen::arbitrary<bool>();
      switch (*rc::gen::inRange(0, 9)) {
        case 0: line.EndHangUp(), line.Dial(modem), hungUp = false, up = true, awaiting = modem; break;
        case 1: line.EndHangUp(), line.Answer(modem), hungUp = false, awaiting = modem; break;
        case 2: line.StopAwaiting(), awaiting = false; break;
        case 3:
          if (!hungUp) line.ComesUp(), up = true;
          break;
        case 4: line.ComesUp(), up = true, hungUp = false; break;  // a call begins
        case 5: line.GoesDown(), up = false; break;
        case 6: line.NoConnection(), awaiting = false, up = false; break;
        case 7: line.HangUp(), up = false, awaiting = false, hungUp = true; break;
        case 8: line.EndHangUp(), hungUp = false; break;
      }
      RC_ASSERT(line.OnLine() == up);
      RC_ASSERT(line.AwaitingConnect() == awaiting);
      RC_ASSERT(line.HungUp() == hungUp);
    }
  }));
}

}  // namespace
}  // namespace corvalis
