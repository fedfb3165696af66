// SPDX-License-Identifier: Apache-2.0
// The faults ttysim plays on the first call: a modem losing the carrier, the device pulled out and
// put back, an answer cut short; on a made-up clock, the program's side played by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "options.h"
#include "session.h"
#include "session_sim.h"

namespace ttysim {
namespace {

const char* kScript = "TURN ONE GA\r\n\r\nTURN TWO GA\r\n\r\nTURN THREE SK\r\n\r\n";

using testing::Sim;

SessionConfig TwoCalls(Device d) {
  SessionConfig c;
  c.device = d;
  c.script = Script::parse(kScript);
  c.side = Side::Even;
  c.ringAfter = 1;
  c.calls = 2;
  return c;
}

// The program answers the ring and the modem connects.
void Answer(Sim& sim) {
  sim.program("ATZ\rATE0\rATA\r");
  sim.wait(1.1);
  ASSERT_TRUE(sim.s.callUp());
  sim.said();
}

TEST(Faults, AModemLosesTheCarrierMidCallAndTheNextCallRings) {
  auto c = TwoCalls(Device::Nxi);
  c.dropAfter = 2;
  Sim sim(c);
  sim.s.attach(0);
  sim.advance(1);
  Answer(sim);
  sim.program("TURN ONE GA ");
  sim.wait(1);
  EXPECT_EQ(sim.said(), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(sim.saw("carrier lost"));
  EXPECT_TRUE(sim.saw("hangup NO CARRIER"));
  EXPECT_FALSE(sim.s.callUp());
  sim.program("MORE");  // nothing of it goes down the line: the modem is in command mode
  EXPECT_EQ(sim.s.out.farReceived.find("MORE"), std::string::npos);
  sim.wait(3);
  EXPECT_TRUE(sim.saw("next-call 2"));
  EXPECT_NE(sim.said().find("\r\nRING\r\n"), std::string::npos);
  Answer(sim);  // the second call runs as usual
  sim.wait(20);
  EXPECT_FALSE(sim.saw("carrier lost 2"));
  EXPECT_TRUE(sim.s.callUp());
}

TEST(Faults, APulledDeviceIsAwayForItsTimeAndRingsOnlyOnceOpenedAgain) {
  auto c = TwoCalls(Device::InteleModem2400);
  c.pullAfter = 2;
  c.pullFor = 4;
  Sim sim(c);
  sim.s.attach(0);
  sim.advance(1);
  sim.program("ATZ0\rATX1E0\rATB1S15=0A\r");
  sim.wait(1.1);
  ASSERT_TRUE(sim.s.callUp());
  sim.wait(2);
  EXPECT_TRUE(sim.s.away());
  EXPECT_TRUE(sim.saw("pulled"));
  EXPECT_TRUE(sim.saw("hangup device pulled"));
  sim.wait(3.5);
  EXPECT_TRUE(sim.s.away());
  sim.wait(1);
  EXPECT_FALSE(sim.s.away());
  EXPECT_FALSE(sim.s.done());
  sim.wait(30);  // back, but nobody has opened it: no ring, and ttysim does not give up
  EXPECT_FALSE(sim.saw("next-call 2"));
  EXPECT_FALSE(sim.s.done());
  sim.said();

  sim.s.attach(sim.now);
  sim.program("ATZ0\r");  // echoed: the modem starts afresh
  EXPECT_EQ(sim.said(), "ATZ0\r\r\nOK\r\n");
  sim.wait(2);
  EXPECT_TRUE(sim.saw("next-call 2"));
  EXPECT_NE(sim.said().find("\r\nRING\r\n"), std::string::npos);
}

TEST(Faults, AModemHangsUpWhenItsProgramLetsGoOfThePortAndRingsAgainOnceItIsBack) {
  // A program killed mid-call: the modem goes on hook; the next start gets the next call.
  auto c = TwoCalls(Device::Nxi);
  c.calls = 3;
  Sim sim(c);
  sim.s.attach(0);
  sim.advance(1);
  Answer(sim);
  sim.program("TURN ONE GA ");
  sim.s.detach(sim.now);
  sim.wait(0.1);
  EXPECT_TRUE(sim.saw("hangup port closed"));
  EXPECT_FALSE(sim.s.callUp());
  sim.wait(30);  // nobody has the port: no ring, and ttysim waits
  EXPECT_FALSE(sim.saw("next-call 2"));
  EXPECT_FALSE(sim.s.done());
  sim.s.attach(sim.now);
  sim.program("ATZ\r");  // in command mode: the modem answers it, nothing goes down the line
  EXPECT_EQ(sim.s.out.farReceived.find("ATZ"), std::string::npos);
  sim.wait(3);
  EXPECT_TRUE(sim.saw("next-call 2"));
  EXPECT_NE(sim.said().find("\r\nRING\r\n"), std::string::npos);
  Answer(sim);
  EXPECT_TRUE(sim.s.callUp());

  // Killed again between two calls: the next call waits for the program too.
  sim.program("\x04");  // the program hangs up
  sim.wait(0.5);
  ASSERT_TRUE(sim.saw("hangup EOT"));
  sim.s.detach(sim.now);
  sim.wait(30);
  EXPECT_FALSE(sim.saw("next-call 3"));
  EXPECT_FALSE(sim.s.done());
  sim.s.attach(sim.now);
  sim.wait(3);
  EXPECT_TRUE(sim.saw("next-call 3"));
}

TEST(Faults, AnAnswerCutShortByTheProgramsRestartRingsAgainAndTheCallGoesOn) {
  // Killed while its modem answers, the program restarts: either the port closes before the modem
  // connects (DTR drops), or the new start's ATZ reaches the modem while it still answers. Either
  // way the far end's phone goes on ringing, and the day goes on with the same call.
  for (const bool portClosed : {true, false}) {
    SCOPED_TRACE(portClosed ? "the port closed" : "ATZ while answering");
    Sim sim(TwoCalls(Device::Nxi));
    sim.s.attach(0);
    sim.advance(1);
    sim.program("ATZ\rATE0\rATA\r");
    sim.wait(0.3);
    ASSERT_FALSE(sim.s.callUp());
    if (portClosed) {
      sim.s.detach(sim.now);
      sim.wait(20);  // nobody has the port: nothing rings at it
      sim.s.attach(sim.now);
      sim.said();
    }
    sim.program("ATZ\r");
    sim.wait(0.1);
    EXPECT_FALSE(sim.s.callUp());
    sim.said();
    sim.wait(7);
    EXPECT_NE(sim.said().find("\r\nRING\r\n"), std::string::npos);
    Answer(sim);
    EXPECT_TRUE(sim.s.callUp());
    EXPECT_FALSE(sim.saw("next-call 2"));
  }
}

TEST(Faults, OptionsForTheFaults) {
  auto r = parseOptions({"-d", "nxi", "--drop-after", "3", "--pull-after=2.5", "--pull-for", "6"}, "/p");
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_EQ(r.options->session.dropAfter, 3);
  EXPECT_EQ(r.options->session.pullAfter, 2.5);
  EXPECT_EQ(r.options->session.pullFor, 6);
  EXPECT_FALSE(parseOptions({"-d", "nxi"}, "/p").options->session.pullAfter);
  EXPECT_EQ(parseOptions({"-d", "compact", "--drop-after", "3"}, "/p").error,
            "--drop-after needs a modem: a TTY has no carrier to lose");
  EXPECT_EQ(parseOptions({"-d", "nxi", "--pull-for", "x"}, "/p").error,
            "--pull-for needs a number of seconds, 0 or more, not 'x'");
}

}  // namespace
}  // namespace ttysim
