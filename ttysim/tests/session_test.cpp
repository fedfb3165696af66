// SPDX-License-Identifier: Apache-2.0
// Whole calls through a session on a made-up clock: the program's side is played by the test.
#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "session_sim.h"

namespace ttysim {
namespace {

const char* kScript = "TURN ONE GA\r\n\r\nTURN TWO GA\r\n\r\nTURN THREE SK\r\n\r\n";

using testing::Sim;

SessionConfig config(Device d, std::optional<Side> side) {
  SessionConfig c;
  c.device = d;
  if (side) {
    c.script = Script::parse(kScript);
    c.side = *side;
  }
  return c;
}

TEST(Session, NxiModemAnswersARingWithTurboAndTheFarEndReplies) {
  auto c = config(Device::Nxi, Side::Even);
  c.ringAfter = 1;
  Sim sim(c);
  sim.s.attach(0);
  sim.advance(1);
  EXPECT_EQ(sim.said(), "\r\nRING\r\n");
  sim.program("ATZ\rATE0\rAT#T\rATA\r");
  sim.said();
  sim.wait(1);
  EXPECT_EQ(sim.said(), "\r\nCONNECT TURBO\r\n");
  EXPECT_TRUE(sim.s.callUp());
  sim.wait(6);  // the ringing stopped with the answer
  EXPECT_EQ(sim.said(), "");

  sim.program("TURN ONE GA ");
  sim.wait(5);
  // The far end's turn, between the NXi's sound codes, typed at twice the pace on turbo.
  EXPECT_EQ(sim.said(), "\x1fTURN TWO GA \x1e");
  EXPECT_NEAR(sim.at("far-end typing turn 2") - sim.at("heard turn 1"), 0, 1e-9);
  EXPECT_NEAR(sim.at("far-end typed turn 2") - sim.at("far-end typing turn 2"), 11.0 / 12, 1e-6);

  sim.program("TURN THREE SK ");
  sim.wait(2);
  EXPECT_TRUE(sim.saw("script-done"));
  EXPECT_FALSE(sim.s.done());  // still there for the program's hang-up sequence

  sim.program("\x04");
  EXPECT_TRUE(sim.saw("hangup EOT"));
  sim.wait(2);
  sim.program("+++");
  sim.wait(2);
  sim.program("ATH\r");
  EXPECT_EQ(sim.said(), "\r\nOK\r\n");
  EXPECT_FALSE(sim.s.done());
  sim.wait(1);
  EXPECT_TRUE(sim.s.done());
  EXPECT_EQ(sim.s.doneReason(), "hung up");
  EXPECT_EQ(sim.s.out.farReceived, "TURN ONE GA TURN THREE SK ");
  EXPECT_EQ(sim.s.out.farSent, "TURN TWO GA ");
}

TEST(Session, InteleModem2400DialledWithoutTurboHangsUpOnNak) {
  Sim sim(config(Device::InteleModem2400, std::nullopt));
  sim.s.attach(0);
  sim.program("ATZ0\rATX1E0\rATB1S15=0DT 123\r");
  sim.wait(1);
  EXPECT_NE(sim.said().find("\r\nCONNECT TTY\r\n"), std::string::npos);
  sim.program("HELLO GA ");
  sim.program("\x15");
  EXPECT_TRUE(sim.saw("hangup NAK"));
  sim.wait(2);
  sim.program("ATH\r");
  sim.wait(1.1);
  EXPECT_TRUE(sim.s.done());
  EXPECT_EQ(sim.s.out.farReceived, "HELLO GA ");
}

TEST(Session, DirectTtyAnsweredByRingLetsTheFarEndSpeakFirst) {
  auto c = config(Device::CustomCompact, Side::Odd);
  c.ringOnSignal = true;
  Sim sim(c);
  sim.s.attach(0);
  sim.wait(5);
  EXPECT_FALSE(sim.s.callUp());  // waits for the ring to be answered
  sim.s.ringSignal(sim.now);
  EXPECT_EQ(sim.s.out.toProgram, "\r\nRING\r\n");
  sim.program("ATA\r");
  EXPECT_TRUE(sim.saw("call-up answered"));
  Seconds up = sim.at("call-up answered");
  sim.wait(5);
  EXPECT_NEAR(sim.at("far-end typing turn 1") - up, 3, 1e-9);
  EXPECT_NE(sim.said().find("TURN ONE GA "), std::string::npos);
  sim.program("TURN TWO GA ");
  sim.wait(4);
  EXPECT_NE(sim.said().find("TURN THREE SK "), std::string::npos);
  EXPECT_TRUE(sim.saw("script-done"));
  sim.program("+++");
  sim.wait(2);
  sim.program("ATH\r");
  sim.wait(1.1);
  EXPECT_TRUE(sim.s.done());
  // The answer command was not typed down the line; the hang-up sequence was.
  EXPECT_EQ(sim.s.out.farReceived, "TURN TWO GA +++ATH\r");
}

TEST(Session, DeviceThatCannotBeDrivenHasItsTesterTypeTheShownTurns) {
  auto c = config(Device::Q90, Side::Even);
  c.script = Script::parse("HELLO\r\nHOW ARE YOU~ GA\r\n\r\nFINE GA\r\n\r\nBYE SK\r\n");
  Sim sim(c);
  sim.s.attach(0);  // no ring asked for: the call is up as soon as the port is open
  sim.program("IGNORED");
  sim.wait(9);
  EXPECT_EQ(sim.said(), "HELLOHOW ARE YOU GAFINE GA ");
  sim.wait(10);
  EXPECT_EQ(sim.said(), "BYE SK");
  EXPECT_EQ(sim.s.out.farReceived, "HELLOHOW ARE YOU GABYE SK");
  EXPECT_TRUE(sim.saw("script-done"));
  EXPECT_TRUE(sim.saw("local typing turn 3"));
}

TEST(Session, EndsAfterTheScriptWhenTheLineStaysQuietOrThePortCloses) {
  auto c = config(Device::CustomCompact, Side::Odd);
  c.script = Script::parse("ONLY TURN SK\r\n");
  Sim quiet(c);
  quiet.s.attach(0);
  quiet.wait(6);
  EXPECT_TRUE(quiet.saw("script-done"));
  quiet.wait(6.5);
  EXPECT_FALSE(quiet.s.done());
  quiet.wait(1);
  EXPECT_EQ(quiet.s.doneReason(), "script ended");

  Sim closed(c);
  closed.s.attach(0);
  closed.wait(6);
  closed.s.detach(closed.now);
  closed.wait(0);
  EXPECT_EQ(closed.s.doneReason(), "port closed");
}

TEST(Session, ChannelErrorsAreTheSameForTheSameSeed) {
  auto run = [](std::uint64_t seed, bool errors) {
    auto c = config(Device::CustomCompact, Side::Odd);
    if (errors) c.toFar = c.toProgram = ErrorRates{.shift = 0.2, .drop = 0.1, .insert = 0.1, .subst = 0.1};
    c.seed = seed;
    c.giveUp = 3;
    Sim sim(c);
    sim.s.attach(0);
    sim.wait(8);
    sim.program("TURN 2, 23 TIMES GA ");
    sim.wait(8);
    return sim.said() + "|" + sim.s.out.farReceived;
  };
  std::string clean = run(5, false);
  EXPECT_EQ(clean, "TURN ONE GA TURN THREE SK |TURN 2, 23 TIMES GA ");
  EXPECT_EQ(run(5, true), run(5, true));
  EXPECT_NE(run(5, true), clean);
  EXPECT_NE(run(5, true), run(6, true));
}

TEST(Session, CallsInARowRingAgainAfterEachHangUpEachSayingItsNumber) {
  auto c = config(Device::Nxi, Side::Even);
  c.script = Script::parse("HELLO GA\r\n\r\nCALL {call} SK\r\n\r\n");
  c.ringOnSignal = true;
  c.calls = 2;
  c.callGap = 3;
  Sim sim(c);
  sim.s.attach(0);
  sim.program("ATZ\rATE0\rAT#T\r");
  sim.s.ringSignal(sim.now);
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    sim.program("ATA\r");
    sim.wait(1);
    EXPECT_TRUE(sim.s.callUp());
    EXPECT_EQ(sim.s.call(), call);
    sim.program("HELLO GA ");
    sim.wait(4);
    EXPECT_NE(sim.said().find("CALL " + std::to_string(call) + " SK "), std::string::npos);
    sim.program("\x04");
    if (call == 1) {
      // The next call rings after the gap, without waiting for the rest of the hang-up.
      sim.advance(sim.at("hangup EOT") + 2.9);
      EXPECT_FALSE(sim.saw("next-call 2"));
      EXPECT_EQ(sim.said(), "");
      sim.advance(sim.at("hangup EOT") + 3);
      EXPECT_TRUE(sim.saw("next-call 2"));
      EXPECT_EQ(sim.said(), "\r\nRING\r\n");
      EXPECT_FALSE(sim.s.done());
    }
  }
  sim.wait(2);
  sim.program("+++");
  sim.wait(2);
  sim.program("ATH\r");
  sim.wait(1.1);
  EXPECT_TRUE(sim.s.done());
  EXPECT_EQ(sim.s.out.farSent, "CALL 1 SK CALL 2 SK ");

  // A direct TTY that is not rung: the next call is up after the gap.
  auto q = config(Device::CustomCompact, Side::Odd);
  q.calls = 2;
  Sim tty(q);
  tty.s.attach(0);
  tty.wait(3);
  tty.program(std::string(200, 'X') + "+++ATH\r");  // a long unbroken turn, then the hang-up
  EXPECT_FALSE(tty.s.callUp());
  tty.wait(2);
  EXPECT_TRUE(tty.saw("call-up next call"));
  EXPECT_EQ(tty.s.call(), 2);
}

TEST(Session, RingsOnASignalOnlyWhenAskedAndStopsAfterTheGivenCount) {
  auto c = config(Device::InteleModem300, std::nullopt);
  Sim plain(c);
  plain.s.attach(0);
  plain.s.ringSignal(0);
  EXPECT_EQ(plain.s.out.toProgram, "");

  c.ringOnSignal = true;
  c.rings = 2;
  Sim sim(c);
  sim.s.attach(0);
  sim.s.ringSignal(0);
  sim.wait(30);
  EXPECT_EQ(sim.said(), "\r\nRING\r\n\r\nRING\r\n");
  EXPECT_TRUE(sim.saw("ringing stopped unanswered"));
}

}  // namespace
}  // namespace ttysim
