// SPDX-License-Identifier: Apache-2.0
// The modem's command parser and responder, fed one character at a time on a made-up clock.
#include "at_modem.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tty {
namespace {

// Three models: the hang-up character and the turbo command are what tell them apart.
enum class Model { Nxi, InteleModem300, InteleModem2400 };

class ModemTest : public ::testing::Test {
 protected:
  void make(Model m, TurboMode turbo = TurboMode::Auto, ModemLine* line = nullptr) {
    ModemConfig c;
    switch (m) {
      case Model::Nxi:
        c.hangUpChar = 4;
        c.turboCommand = TurboCommand::HashT;
        break;
      case Model::InteleModem300:
        c.hangUpChar = 27;
        break;
      case Model::InteleModem2400:
        c.hangUpChar = 21;
        c.turboCommand = TurboCommand::B7;
        break;
    }
    c.turbo = turbo;
    c.registers = registers;
    modem.emplace(c, line);
  }
  // Sends text and returns what the modem said back.
  std::string send(const std::string& text, double step = 0.01) {
    std::string said;
    for (char c : text) {
      AtModem::Output o;
      modem->fromProgram(c, now, o);
      said += o.toProgram;
      line += o.toLine;
      for (auto& e : o.events) events.push_back(e);
      now += step;
    }
    return said;
  }
  std::string wait(double seconds) {
    now += seconds;
    AtModem::Output o;
    modem->tick(now, o);
    line += o.toLine;
    for (auto& e : o.events) events.push_back(e);
    return o.toProgram;
  }
  std::string connectWith(const std::string& command) {
    send(command);
    return wait(1.0);
  }
  bool sawHangup(const std::string& why) const {
    for (const auto& e : events) {
      if (e.kind == ModemEvent::Kind::Hangup && e.text == why) return true;
    }
    return false;
  }

  std::optional<AtModem> modem;
  double now = 100;
  std::string line;
  std::vector<ModemEvent> events;
  std::map<int, int> registers;  // power-on values for the next make()
};

TEST_F(ModemTest, EchoesUntilToldNotToAndAnswersEachInitialisationCommand) {
  make(Model::Nxi);
  EXPECT_EQ(send("ATZ\r"), "ATZ\r\r\nOK\r\n");
  EXPECT_EQ(send("ATE0\r"), "ATE0\r\r\nOK\r\n");  // the echo stops after this line
  EXPECT_EQ(send("AT#T\r"), "\r\nOK\r\n");
  EXPECT_EQ(send("AT#L1\r"), "\r\nOK\r\n");
  EXPECT_EQ(send("ATE0B1S13=255\r"), "\r\nOK\r\n");
  EXPECT_EQ(send("ATX1E0\r"), "\r\nOK\r\n");
  EXPECT_EQ(send("ats13?\r"), "\r\n255\r\n\r\nOK\r\n");
  EXPECT_EQ(send("ATZ\r"), "\r\nOK\r\n");
  EXPECT_TRUE(modem->echo());  // reset brings the echo back
}

TEST_F(ModemTest, LinesWithoutATAreIgnoredAndUnknownCommandsAreErrors) {
  make(Model::InteleModem2400);
  send("ATE0\r");
  EXPECT_EQ(send("HELLO\r"), "");
  EXPECT_EQ(send("ATY1\r"), "\r\nERROR\r\n");
  EXPECT_EQ(send("AT&\r"), "\r\nERROR\r\n");
  EXPECT_EQ(send("ATXX\b1\r"), "\r\nOK\r\n");  // backspace edits the line
  EXPECT_EQ(send("+++ATH\r"), "\r\nOK\r\n");   // what precedes AT is dropped
  EXPECT_EQ(send(std::string(300, 'A') + "\r"), "\r\nERROR\r\n");
}

TEST_F(ModemTest, TurboOnlyWhenTheModelIsAskedForIt) {
  struct Case {
    Model device;
    TurboMode mode;
    std::string init, command, expected;
  } cases[] = {
      {Model::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB7S15=3A\r", "CONNECT TURBO"},
      {Model::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB1S15=0A\r", "CONNECT TTY"},
      {Model::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB7S15=3DT 123\r", "CONNECT TURBO"},
      {Model::Nxi, TurboMode::Auto, "ATE0\rAT#T\r", "ATA\r", "CONNECT TURBO"},
      {Model::Nxi, TurboMode::Auto, "ATE0\r", "ATDT 123\r", "CONNECT TTY"},
      {Model::Nxi, TurboMode::Off, "ATE0\rAT#T\r", "ATA\r", "CONNECT TTY"},
      {Model::InteleModem300, TurboMode::Auto, "ATE0B1S13=255\r", "ATA\r", "CONNECT TTY"},
      {Model::InteleModem300, TurboMode::On, "ATE0\r", "ATA\r", "CONNECT TURBO"},
  };
  for (const auto& c : cases) {
    make(c.device, c.mode);
    send(c.init);
    EXPECT_EQ(send(c.command), "") << c.command;
    EXPECT_EQ(wait(0.5), "") << "too early";
    EXPECT_EQ(wait(0.5), "\r\n" + c.expected + "\r\n") << c.command;
    EXPECT_TRUE(modem->online());
  }
}

TEST_F(ModemTest, OnlineDataGoesDownTheLineAndEachModelHangsUpOnItsOwnCharacter) {
  struct Case {
    Model device;
    char hangUp, other;
    const char* name;
  } cases[] = {{Model::Nxi, 4, 21, "EOT"},
               {Model::InteleModem2400, 21, 4, "NAK"},
               {Model::InteleModem300, 27, 4, "ESC"}};
  for (const auto& c : cases) {
    make(c.device);
    events.clear();
    line.clear();
    send("ATE0\r");
    connectWith("ATA\r");
    EXPECT_EQ(send(std::string("HI GA ") + c.other), "");
    EXPECT_EQ(line, std::string("HI GA ") + c.other);
    send(std::string(1, c.hangUp));
    EXPECT_FALSE(modem->connected()) << c.name;
    EXPECT_TRUE(sawHangup(c.name));
    EXPECT_EQ(send("+++ATH\r"), "\r\nOK\r\n");  // the rest of the program's hang-up sequence
  }
}

TEST_F(ModemTest, EscapeNeedsGuardTimesAndKeepsThePlusesOffTheLine) {
  make(Model::InteleModem300);
  send("ATE0\r");
  connectWith("ATA\r");
  wait(2);
  EXPECT_EQ(send("+++", 0), "");
  EXPECT_EQ(wait(0.5), "");  // guard time not yet over
  EXPECT_EQ(wait(0.6), "\r\nOK\r\n");
  EXPECT_EQ(line, "");
  EXPECT_EQ(modem->state(), AtModem::State::OnlineCommand);
  EXPECT_EQ(send("ATO\r"), "\r\nCONNECT TTY\r\n");
  EXPECT_TRUE(modem->online());

  // Pluses that are not an escape arrive as text.
  send("A+++", 0);  // no silence before
  wait(2);
  send("++", 0);  // only two
  wait(2);
  send("+++B", 0);  // followed too soon by more text
  EXPECT_EQ(line, "A++++++++B");
  EXPECT_TRUE(modem->online());

  wait(2);
  send("+++", 0);
  wait(1.1);
  EXPECT_EQ(send("ATH\r"), "\r\nOK\r\n");
  EXPECT_TRUE(sawHangup("ATH"));
  EXPECT_EQ(modem->state(), AtModem::State::Command);
}

TEST_F(ModemTest, AKeyAbortsAConnectionAndRingsOnlyWhenIdle) {
  make(Model::Nxi);
  send("ATE0\r");
  send("ATA\r");
  AtModem::Output o;
  EXPECT_FALSE(modem->ring(o));
  EXPECT_EQ(send("X"), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(wait(2), "");
  EXPECT_TRUE(modem->ring(o));
  EXPECT_EQ(o.toProgram, "\r\nRING\r\n");
  connectWith("ATA\r");
  EXPECT_FALSE(modem->ring(o));
}

// A line that notes what the modem asked of it.
struct FakeLine : ModemLine {
  void dial(const std::string& number) override { calls.push_back("dial " + number); }
  void answer() override { calls.push_back("answer"); }
  void hangUp(const std::string& why) override { calls.push_back("hangup " + why); }
  std::vector<std::string> calls;
};

class LineTest : public ModemTest {
 protected:
  void SetUp() override { registers = {{7, 30}}; }
  // What the modem said after the line's report.
  template <typename F>
  std::string report(F f) {
    AtModem::Output o;
    f(o);
    line += o.toLine;
    return o.toProgram;
  }
  FakeLine far;
};

TEST_F(LineTest, ADialWaitsForTheLineAndEndsInWhatTheLineReports) {
  make(Model::Nxi, TurboMode::Auto, &far);
  send("ATE0\r");
  send("ATDT sip:lab@example.org \r");
  EXPECT_EQ(far.calls, std::vector<std::string>{"dial T sip:lab@example.org"});
  EXPECT_EQ(wait(20), "");  // no simulated CONNECT: the line has not answered
  EXPECT_EQ(report([&](auto& o) { modem->fromLine("early", o); }), "");
  EXPECT_EQ(report([&](auto& o) { modem->connected(now, o); }), "\r\nCONNECT TTY\r\n");
  EXPECT_EQ(report([&](auto& o) { modem->fromLine("HELLO GA", o); }), "HELLO GA");

  const std::pair<LineFailure, const char*> failures[] = {{LineFailure::Busy, "BUSY"},
                                                          {LineFailure::NoAnswer, "NO ANSWER"},
                                                          {LineFailure::NoCarrier, "NO CARRIER"}};
  for (auto [why, text] : failures) {
    make(Model::Nxi, TurboMode::Auto, &far);
    send("ATE0\r");
    send("ATD123\r");
    EXPECT_EQ(report([&](auto& o) { modem->failed(why, o); }), std::string("\r\n") + text + "\r\n");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");  // back in command mode
  }

  // S7: a dial the line never settles is given up and the line told.
  far.calls.clear();
  send("ATS7=5D123\r");
  EXPECT_EQ(wait(4.9), "");
  EXPECT_EQ(wait(0.2), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(far.calls, (std::vector<std::string>{"dial 123", "hangup timeout"}));
}

TEST_F(LineTest, AnIncomingCallRingsUntilAnsweredByHandOrAfterS0Rings) {
  make(Model::InteleModem300, TurboMode::Auto, &far);
  send("ATE0\r");
  EXPECT_EQ(report([&](auto& o) { modem->incoming(now, o); }), "\r\nRING\r\n");
  EXPECT_EQ(wait(6), "\r\nRING\r\n");
  modem->ringingStopped();
  EXPECT_EQ(wait(6), "");
  report([&](auto& o) { modem->incoming(now, o); });
  send("ATA\r");
  EXPECT_EQ(far.calls, std::vector<std::string>{"answer"});
  EXPECT_EQ(wait(10), "");  // no RING while answering
  EXPECT_EQ(report([&](auto& o) { modem->connected(now, o); }), "\r\nCONNECT TTY\r\n");

  registers = {{0, 2}};
  make(Model::InteleModem300, TurboMode::Auto, &far);
  far.calls.clear();
  send("ATE0\r");
  report([&](auto& o) { modem->incoming(now, o); });
  EXPECT_TRUE(far.calls.empty());
  wait(6);
  EXPECT_EQ(far.calls, std::vector<std::string>{"answer"});
  EXPECT_EQ(modem->state(), AtModem::State::Connecting);
  send("ATZ\r");  // a key aborts the answer; ATZ brings S0 back
  EXPECT_EQ(send("ATS0?\r"), "\r\n2\r\n\r\nOK\r\n");
}

TEST_F(LineTest, EveryWayOfHangingUpReachesTheLineButALostCarrierDoesNot) {
  struct Case {
    std::string how, expected;
  } cases[] = {{"ATH", "hangup ATH"}, {"ATZ", "hangup ATZ"},       {"ESC", "hangup ESC"},
               {"DTR", "hangup DTR"}, {"abort", "hangup aborted"}, {"carrier", ""}};
  for (const auto& c : cases) {
    make(Model::InteleModem300, TurboMode::Auto, &far);
    send("ATE0\r");
    send("ATD1\r");
    far.calls.clear();
    if (c.how == "abort") {
      EXPECT_EQ(send("X"), "\r\nNO CARRIER\r\n");
    } else {
      report([&](auto& o) { modem->connected(now, o); });
      wait(2);
      if (c.how == "ATH" || c.how == "ATZ") {
        send("+++", 0);  // the program's hang-up sequence
        wait(1.1);
        send(c.how + "\r");
      } else if (c.how == "ESC") {
        send("\x1b");
      } else if (c.how == "DTR") {
        report([&](auto& o) { modem->dtrDropped(o); });
      } else {
        EXPECT_EQ(report([&](auto& o) { modem->carrierLost(o); }), "\r\nNO CARRIER\r\n");
      }
    }
    EXPECT_EQ(modem->state(), AtModem::State::Command) << c.how;
    EXPECT_EQ(far.calls,
              c.expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.expected})
        << c.how;
  }
}

}  // namespace
}  // namespace tty
