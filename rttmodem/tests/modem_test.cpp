// SPDX-License-Identifier: Apache-2.0
// rttmodem as a TTY modem, driven as a program drives it: AT commands on its pseudo-terminal,
// judged by the result lines and text that come back, and by what the far end (a console
// rttmodem) receives and logs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "proc.h"
#include "temp_dir.h"

namespace rttmodem::testing {
namespace {

using namespace std::chrono_literals;
const std::string kBin = RTTMODEM_BIN;

class Modem : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--port", "COM1", "--port-dir", dir.path().string(), "--listen", "0"};
    args.insert(args.end(), more.begin(), more.end());
    modem = std::make_unique<Proc>(kBin, args);
    ASSERT_TRUE(modem->waitOut(" ready ")) << modem->out() << modem->err();
    port = std::make_unique<Port>(dir.file("COM1"));
    ASSERT_TRUE(port->ok());
    ASSERT_TRUE(port->command("ATZ", "OK")) << port->got();
    ASSERT_TRUE(port->command("ATE0", "OK")) << port->got();
  }
  std::string Uri() const {
    const std::string& out = modem->out();
    const std::size_t at = out.find(" sip=") + 5;
    return out.substr(at, out.find(' ', at) - at);
  }
  std::unique_ptr<Proc> Listener(std::vector<std::string> args) {
    args.insert(args.begin(), {"--listen", "0"});
    auto p = std::make_unique<Proc>(kBin, args);
    EXPECT_TRUE(p->waitErr(" ready ")) << p->err();
    return p;
  }
  static std::string UriOf(const Proc& p) { return "sip:far@127.0.0.1:" + p.logValue("ready", "sip-port"); }

  kit::testing::TempDir dir;
  std::unique_ptr<Proc> modem;
  std::unique_ptr<Port> port;
};

TEST_F(Modem, AnAnsweredCallCarriesWindows1252BothWaysAndEotHangsUp) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Proc far(kBin, {"--dial", Uri()});
  ASSERT_TRUE(port->waitFor("\r\nRING\r\n")) << port->got();
  ASSERT_TRUE(port->command("ATA", "\r\nCONNECT TTY\r\n")) << port->got();
  // Windows-1252 at both ends, UTF-8 between them.
  far.write(
      "caf\xE9 \x80"
      "5 ok\n");
  ASSERT_TRUE(
      port->waitFor("caf\xE9 \x80"
                    "5 ok\r\n"))
      << port->got();
  port->write("na\xEFve\r\nline two\b\bO\r\n");
  // What the program typed, its erasures included, reaches the far end as it was typed.
  ASSERT_TRUE(far.waitOut("O\r\n")) << far.out();
  EXPECT_EQ(far.out(), "na\xEFve\r\nline two\b\bO\r\n");
  port->write("\x04");  // the NXi modem's immediate hang-up
  ASSERT_TRUE(far.waitErr(" ended reason=\"far end hung up\"")) << far.err();
  EXPECT_EQ(far.wait(), 0);
  ASSERT_TRUE(modem->waitOut(" counts sent=18 received=11 ")) << modem->out();
  // Back in command mode: commands are answered again.
  EXPECT_TRUE(port->command("AT", "OK")) << port->got();
}

TEST_F(Modem, CallsThatDoNotComeUpOrEndGiveTheirResultLines) {
  ASSERT_NO_FATAL_FAILURE(Start({"--answer-timeout", "1"}));
  // Nothing to call: a log line and NO CARRIER.
  EXPECT_TRUE(port->command("ATDT CALL HOME", "\r\nNO CARRIER\r\n")) << port->got();
  EXPECT_TRUE(modem->waitOut("dial-refused number=\"T CALL HOME\"")) << modem->out();
  {
    auto busy = Listener({"--refuse", "486"});
    EXPECT_TRUE(port->command("ATDT " + UriOf(*busy), "\r\nBUSY\r\n")) << port->got();
  }
  {
    auto ringing = Listener({"--no-answer"});
    EXPECT_TRUE(port->command("ATD" + UriOf(*ringing), "\r\nNO ANSWER\r\n")) << port->got();
  }
  {
    // A call that comes up, and the far end hangs up.
    auto far = Listener({});
    EXPECT_TRUE(port->command("ATD " + UriOf(*far), "\r\nCONNECT TTY\r\n")) << port->got();
    far->write("bye\r\n");
    EXPECT_TRUE(port->waitFor("bye\r\n")) << port->got();
    far->signal(SIGTERM);
    EXPECT_TRUE(port->waitFor("\r\nNO CARRIER\r\n")) << port->got();
  }
  {
    // Auto answer after one ring; then the program closes the port, which hangs up.
    EXPECT_TRUE(port->command("ATS0=1", "OK")) << port->got();
    Proc caller(kBin, {"--dial", Uri()});
    EXPECT_TRUE(port->waitFor("\r\nCONNECT TTY\r\n")) << port->got();
    port->close();
    EXPECT_TRUE(caller.waitErr(" ended reason=\"far end hung up\"")) << caller.err();
    EXPECT_TRUE(modem->waitOut("hangup DTR")) << modem->out();
  }
}

}  // namespace
}  // namespace rttmodem::testing
