// SPDX-License-Identifier: Apache-2.0
// The call's phase against its diagram: every step from every phase.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "call/call_phase.h"

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

}  // namespace
}  // namespace corvalis
