// The modem's command parser and responder, fed one character at a time on a made-up clock.
#include "modem.h"

#include <gtest/gtest.h>

#include <string>

namespace ttysim {
namespace {

class ModemTest : public ::testing::Test {
 protected:
  void make(Device d, TurboMode turbo = TurboMode::Auto) {
    ModemConfig c;
    c.device = d;
    c.turbo = turbo;
    modem.emplace(c);
  }
  // Sends text and returns what the modem said back.
  std::string send(const std::string& text, double step = 0.01) {
    std::string said;
    for (char c : text) {
      Modem::Output o;
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
    Modem::Output o;
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

  std::optional<Modem> modem;
  double now = 100;
  std::string line;
  std::vector<ModemEvent> events;
};

TEST_F(ModemTest, EchoesUntilToldNotToAndAnswersEachInitialisationCommand) {
  make(Device::Nxi);
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
  make(Device::InteleModem2400);
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
    Device device;
    TurboMode mode;
    std::string init, command, expected;
  } cases[] = {
      {Device::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB7S15=3A\r", "CONNECT TURBO"},
      {Device::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB1S15=0A\r", "CONNECT TTY"},
      {Device::InteleModem2400, TurboMode::Auto, "ATX1E0\r", "ATB7S15=3DT 123\r", "CONNECT TURBO"},
      {Device::Nxi, TurboMode::Auto, "ATE0\rAT#T\r", "ATA\r", "CONNECT TURBO"},
      {Device::Nxi, TurboMode::Auto, "ATE0\r", "ATDT 123\r", "CONNECT TTY"},
      {Device::Nxi, TurboMode::Off, "ATE0\rAT#T\r", "ATA\r", "CONNECT TTY"},
      {Device::InteleModem300, TurboMode::Auto, "ATE0B1S13=255\r", "ATA\r", "CONNECT TTY"},
      {Device::InteleModem300, TurboMode::On, "ATE0\r", "ATA\r", "CONNECT TURBO"},
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
    Device device;
    char hangUp, other;
    const char* name;
  } cases[] = {{Device::Nxi, 4, 21, "EOT"},
               {Device::InteleModem2400, 21, 4, "NAK"},
               {Device::InteleModem300, 27, 4, "ESC"}};
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
  make(Device::InteleModem300);
  send("ATE0\r");
  connectWith("ATA\r");
  wait(2);
  EXPECT_EQ(send("+++", 0), "");
  EXPECT_EQ(wait(0.5), "");  // guard time not yet over
  EXPECT_EQ(wait(0.6), "\r\nOK\r\n");
  EXPECT_EQ(line, "");
  EXPECT_EQ(modem->state(), Modem::State::OnlineCommand);
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
  EXPECT_EQ(modem->state(), Modem::State::Command);
}

TEST_F(ModemTest, AKeyAbortsAConnectionAndRingsOnlyWhenIdle) {
  make(Device::Nxi);
  send("ATE0\r");
  send("ATA\r");
  Modem::Output o;
  EXPECT_FALSE(modem->ring(o));
  EXPECT_EQ(send("X"), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(wait(2), "");
  EXPECT_TRUE(modem->ring(o));
  EXPECT_EQ(o.toProgram, "\r\nRING\r\n");
  connectWith("ATA\r");
  EXPECT_FALSE(modem->ring(o));
}

}  // namespace
}  // namespace ttysim
