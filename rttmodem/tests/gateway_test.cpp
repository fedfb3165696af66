// SPDX-License-Identifier: Apache-2.0
// rttmodem as a gateway: a TTY on the circuit side (on a serial line, or its tones through
// softtty's modem on named pipes), a console rttmodem as the RTT far end. Judged by the text at
// both ends and the far end's log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "far_end.h"
#include "proc.h"
#include "temp_dir.h"

namespace rttmodem::testing {
namespace {

const std::string kBin = RTTMODEM_BIN;

std::unique_ptr<Proc> Listener() {
  auto p = std::make_unique<Proc>(kBin, std::vector<std::string>{"--listen", "0"});
  EXPECT_TRUE(p->waitErr(" ready ")) << p->err();
  return p;
}

std::string UriOf(const Proc& p) {
  return "sip:far@127.0.0.1:" + p.logValue("ready", "sip-port");
}

TEST(Gateway, ATtyOnASerialLineTalksToAnRttPhoneAndItsLineClosingHangsUp) {
  // The serial line: a pseudo-terminal whose master side is the TTY.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);  // the programs started here must not hold the line open
  char name[256];
  ASSERT_EQ(ttyname_r(slave, name, sizeof name), 0);
  ::close(slave);
  auto far = Listener();
  Proc gateway(kBin, {"--tty-serial", name, "--dial", UriOf(*far)});
  ASSERT_TRUE(gateway.waitOut(" connected ")) << gateway.out() << gateway.err();
  Port tty(name);  // the test's second handle keeps the line open until it is closed below
  const std::string typed = "HELLO FROM THE TTY GA\r\n";
  ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  ASSERT_TRUE(far->waitOut(typed)) << far->out() << far->err();
  far->write("HI TTY, HERE IS RTT GA\r\n");
  std::string got;
  for (int i = 0; i < 300 && got.find("GA\r\n") == std::string::npos; ++i) {
    char buf[256];
    const ssize_t n = ::read(master, buf, sizeof buf);  // blocking: the far end's text comes
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "HI TTY, HERE IS RTT GA\r\n");
  // The TTY's line goes: the gateway hangs up and ends.
  tty.close();
  ::close(master);
  EXPECT_EQ(gateway.wait(), 0) << gateway.out();
  EXPECT_NE(gateway.out().find("tty-ended"), std::string::npos) << gateway.out();
  EXPECT_TRUE(far->waitErr(" ended reason=\"far end hung up\"")) << far->err();
}

TEST(Gateway, ATtysTonesCrossToRttAndBack) {
  kit::testing::TempDir dir;
  const std::string up = dir.file("up"), down = dir.file("down");
  ASSERT_EQ(mkfifo(up.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(down.c_str(), 0600), 0);
  // softtty is the TTY: what is written to its port goes out as tones, tones heard come back.
  Proc softtty(SOFTTTY_BIN, {"--port", "COM1", "--folder", dir.path().string(), "--input-file", down,
                             "--output-file", up});
  ASSERT_TRUE(softtty.waitOut(" ready ")) << softtty.out() << softtty.err();
  auto far = Listener();
  Proc gateway(kBin, {"--tty-audio", "--input-file", up, "--output-file", down, "--dial", UriOf(*far)});
  ASSERT_TRUE(gateway.waitOut(" connected ")) << gateway.out() << gateway.err();
  Port tty(dir.file("COM1"));
  ASSERT_TRUE(tty.ok());
  tty.write("CALL 911, GA\r\n");
  ASSERT_TRUE(far->waitOut("CALL 911, GA\r\n")) << far->out() << gateway.out();
  far->write("Room 12 on floor 3 sk\r\n");
  // A TTY prints capitals; the figures after the space arrive as figures.
  EXPECT_TRUE(tty.waitFor("ROOM 12 ON FLOOR 3 SK\r\n")) << tty.got() << gateway.out();
  EXPECT_TRUE(gateway.waitOut("tty carrier on")) << gateway.out();
  // Half duplex: our own tones were not heard back as the TTY's.
  far->signal(SIGTERM);
  EXPECT_EQ(gateway.wait(), 0) << gateway.out();
  EXPECT_EQ(far->out(), "CALL 911, GA\r\n");
}

TEST(Gateway, ATerminatingSignalHangsUpTheToneGatewaysCall) {
  // The tones' two audio threads run from the start: the signal must still reach the loop, which
  // sends what the TTY typed and then the BYE.
  kit::testing::TempDir dir;
  const std::string up = dir.file("up"), down = dir.file("down");
  ASSERT_EQ(mkfifo(up.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(down.c_str(), 0600), 0);
  FarEnd far;
  Proc gateway(kBin, {"--tty-audio", "--input-file", up, "--output-file", down, "--dial", far.uri()});
  // The test holds both pipes' other ends: silence is heard, and what is played is drained.
  const int upFd = ::open(up.c_str(), O_WRONLY | O_CLOEXEC);
  const int downFd = ::open(down.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(upFd, 0);
  ASSERT_GE(downFd, 0);
  ASSERT_TRUE(gateway.waitOut(" connected ")) << gateway.out() << gateway.err();
  ASSERT_TRUE(far.waitCall());
  for (int i = 0; i < 5; ++i) {
    gateway.signal(SIGTERM);
    if (far.waitSip("<- BYE", std::chrono::seconds(2))) break;
  }
  EXPECT_TRUE(far.waitSip("<- BYE", std::chrono::seconds(10))) << gateway.out();
  EXPECT_EQ(gateway.wait(), 0) << gateway.out();
  EXPECT_NE(gateway.out().find("hanging up"), std::string::npos) << gateway.out();
  ::close(upFd);
  ::close(downFd);
}

}  // namespace
}  // namespace rttmodem::testing
