// SPDX-License-Identifier: Apache-2.0
// A TTY's tones carry about six characters a second, a call thirty: a gateway whose call ends
// while the TTY is still being sent the call's last text sends it all before it ends. Judged by
// what the TTY (softtty on named pipes) prints and by the gateway's log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "proc.h"
#include "temp_dir.h"

namespace rttmodem::testing {
namespace {

const std::string kBin = RTTMODEM_BIN;

struct ToneGateway {
  kit::testing::TempDir dir;
  std::unique_ptr<Proc> softtty, gateway;

  // softtty as the TTY, and a tone gateway that takes one call.
  bool start() {
    const std::string up = dir.file("up"), down = dir.file("down");
    if (mkfifo(up.c_str(), 0600) != 0 || mkfifo(down.c_str(), 0600) != 0) return false;
    softtty = std::make_unique<Proc>(SOFTTTY_BIN, std::vector<std::string>{"--port", "COM1", "--folder",
                                                                          dir.path().string(), "--input-file",
                                                                          down, "--output-file", up});
    if (!softtty->waitOut(" ready ")) return false;
    gateway = std::make_unique<Proc>(
        kBin, std::vector<std::string>{"--tty-audio", "--input-file", up, "--output-file", down, "--listen", "0"});
    return gateway->waitOut(" ready ");
  }
  // The gateway says its port on standard output, in its ready line.
  std::string uri() const {
    const std::string& out = gateway->out();
    const std::size_t at = out.find(" sip-port=") + 10;
    return "sip:tty@127.0.0.1:" + out.substr(at, out.find(' ', at) - at);
  }
};

TEST(GatewayDrain, TextThatCameBeforeTheCallersHangUpReachesTheTtyWhole) {
  ToneGateway g;
  ASSERT_TRUE(g.start()) << (g.gateway ? g.gateway->out() : g.softtty->err());
  Port tty(g.dir.file("COM1"));
  ASSERT_TRUE(tty.ok());
  // The caller types and hangs up as soon as its text has gone: four seconds of tones still to
  // play when the BYE comes.
  Proc caller(kBin, {"--dial", g.uri()});
  caller.write("THE LAST WORDS ARRIVE SK\r\n");
  caller.closeInput();
  EXPECT_EQ(caller.wait(), 0) << caller.err();
  EXPECT_TRUE(tty.waitFor("THE LAST WORDS ARRIVE SK\r\n")) << tty.got() << g.gateway->out();
  EXPECT_EQ(g.gateway->wait(), 0) << g.gateway->out();
  const std::string& log = g.gateway->out();
  EXPECT_NE(log.find("tty-draining"), std::string::npos) << log;
  EXPECT_LT(log.find("ended reason="), log.find("tty-drained")) << log;
}

TEST(GatewayDrain, ACallThatComesDuringTheDrainIsRefusedAndTheDrainGoesOn) {
  ToneGateway g;
  ASSERT_TRUE(g.start()) << (g.gateway ? g.gateway->out() : g.softtty->err());
  Port tty(g.dir.file("COM1"));
  ASSERT_TRUE(tty.ok());
  Proc caller(kBin, {"--dial", g.uri()});
  caller.write("FIRST CALLER SK\r\n");
  caller.closeInput();
  EXPECT_EQ(caller.wait(), 0) << caller.err();
  ASSERT_TRUE(g.gateway->waitOut("tty-draining")) << g.gateway->out();
  // Its calls are over: a second caller is refused as busy (a well-formed 486, not left ringing).
  Proc second(kBin, {"--dial", g.uri()});
  EXPECT_EQ(second.wait(), 2) << second.err();
  EXPECT_NE(second.err().find("busy status=486"), std::string::npos) << second.err();
  EXPECT_TRUE(tty.waitFor("FIRST CALLER SK\r\n")) << tty.got() << g.gateway->out();
  EXPECT_EQ(g.gateway->wait(), 0) << g.gateway->out();
  EXPECT_NE(g.gateway->out().find("tty-drained"), std::string::npos) << g.gateway->out();
}

TEST(GatewayDrain, ASignalStopsTheDrainAtOnceAndSaysTextWentUnsent) {
  ToneGateway g;
  ASSERT_TRUE(g.start()) << (g.gateway ? g.gateway->out() : g.softtty->err());
  Port tty(g.dir.file("COM1"));
  ASSERT_TRUE(tty.ok());
  Proc caller(kBin, {"--dial", g.uri()});
  caller.write(std::string(120, 'E') + " SK\r\n");  // twenty seconds of tones
  caller.closeInput();
  EXPECT_EQ(caller.wait(), 0) << caller.err();
  ASSERT_TRUE(g.gateway->waitOut("tty-draining")) << g.gateway->out();
  g.gateway->signal(SIGTERM);
  EXPECT_EQ(g.gateway->wait(std::chrono::seconds(5)), 0) << g.gateway->out();
  EXPECT_NE(g.gateway->out().find("tty-unsent reason=\"stopped by a signal\""), std::string::npos)
      << g.gateway->out();
  EXPECT_EQ(g.gateway->out().find("tty-drained"), std::string::npos) << g.gateway->out();
}

}  // namespace
}  // namespace rttmodem::testing
