// SPDX-License-Identifier: Apache-2.0
// A whole field test with softtty at both ends of the line: the program drives softtty on COM1 as
// a directly attached TTY; its tones go through named pipes (no sound card) to a second softtty,
// whose port is joined to ttysim playing the far-end tester. Both sides' texts are scored.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QPushButton>

#include "child_process.h"
#include "e2e_harness.h"
#include "fieldtext.h"
#include "run_program.h"

namespace e2e {
namespace {

using fieldtext::Side;

const std::string kScript =
    "HELLO THIS IS THE LAB GA\r\n"
    "\r\n"
    "HI LAB I READ YOU GA\r\n"
    "\r\n"
    "NUMBERS 911 AND\r\n"
    "555-0142 GA\r\n"
    "\r\n"
    "GOT THEM BYE SK\r\n"
    "\r\n";

int OpenPort(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (fd >= 0 && tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// Whatever one port has to say goes to the other: the far-end TTY's keyboard and printer are
// ttysim's port. What comes after one of them has ended goes nowhere, and must not stop the
// shuttling (writes to a pty whose program ended fail at once, for ever).
void Shuttle(int from, int to) {
  char buf[512];
  ssize_t n;
  while ((n = read(from, buf, sizeof buf)) > 0) {
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno != EAGAIN && errno != EINTR) return;  // its program has ended: nobody to hear it
      if (w <= 0) {
        pollfd p{to, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      done += w;
    }
  }
}

class SoftttyCall : public FieldTest {};

TEST_F(SoftttyCall, BothEndsOnSoftttyJoinedByAnAudioLoopback) {
  const std::string greeting = "HELLO LAB THIS IS CAR 2 GA\r\n\r\n";
  const std::string farScript = WriteScript("far-script.txt", greeting + kScript);
  Prepare("Ultratec Custom Compact", kScript);

  const std::string ab = dir.file("near-to-far.raw"), ba = dir.file("far-to-near.raw");
  ASSERT_EQ(mkfifo(ab.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(ba.c_str(), 0600), 0);
  // The two softttys; their consoles are read whenever the test looks, and SIGTERM stops them.
  kit::testing::ChildProcess near(SOFTTTY_BIN,
                                  {"--port", "COM1", "--folder", portDir, "--input-file", ba, "--output-file",
                                   ab, "--log", dir.file("near.log")},
                                  SIGTERM);
  kit::testing::ChildProcess far(SOFTTTY_BIN,
                                 {"--port", "COM2", "--folder", portDir, "--input-file", ab, "--output-file",
                                  ba, "--log", dir.file("far.log")},
                                 SIGTERM);
  ASSERT_TRUE(ServeUntil([&] {
    return near.readAvailable().find("ready") != std::string::npos &&
           far.readAvailable().find("ready") != std::string::npos;
  })) << near.readAvailable()
      << far.readAvailable();

  // The far-end tester: ttysim as the TTY at the far end, its port joined to the far softtty.
  ASSERT_NO_FATAL_FAILURE(
      StartSim({"--device", "compact", "--port", "COM5", "--script", farScript, "--side", "odd", "--cps", "6",
                "--quiet", "1.5", "--start-delay", "1", "--linger", "4"}));
  int farPort = OpenPort(portDir + "/COM2"), simPort = OpenPort(portDir + "/COM5");
  ASSERT_GE(farPort, 0);
  ASSERT_GE(simPort, 0);

  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  form->StartCallButton->click();
  // The call runs until ttysim has heard the script through and lingered.
  ASSERT_TRUE(ServeUntil([&] {
    Shuttle(farPort, simPort);
    Shuttle(simPort, farPort);
    return sim->Exited();
  })) << sim->Console()
      << near.readAvailable() << far.readAvailable();
  EXPECT_EQ(sim->ExitStatus(), 0) << sim->Console();
  ASSERT_TRUE(ServeUntil([&] { return form->StartCallButton->isEnabled(); })) << Boxes();
  close(farPort);
  close(simPort);

  const std::string nearTurns = fieldtext::sideText(fieldtext::readTurns(kScript), Side::Odd);
  const std::string farTurns = fieldtext::sideText(fieldtext::readTurns(greeting + kScript), Side::Odd);
  // Over a clean loopback every character crossed, both ways; the far end got this side's turns
  // (and the hang-up sequence typed after them, "+" read as its figure "&").
  EXPECT_TRUE(FarReceived().starts_with(nearTurns)) << FarReceived();
  auto conversation = fieldtext::lastConversation(Capture());
  ASSERT_TRUE(conversation) << Capture();
  EXPECT_EQ(fieldtext::speakerText(*conversation, "RECD: ").substr(0, farTurns.size() - 1),
            farTurns.substr(0, farTurns.size() - 1))
      << *conversation;
  EXPECT_EQ(fieldtext::lastRecordValue(Capture(), "DEVICE"), "Ultratec Custom Compact");

  // Scored as a lab scores a field test.
  const std::string master = dir.write("master.txt", farTurns);
  const std::string compare = dir.write("compare.txt", fieldtext::speakerText(*conversation, "RECD: "));
  auto scored = kit::testing::runProgram({SCORE_BIN, master, compare, dir.file("score.txt")});
  EXPECT_EQ(scored.exitCode, 0) << scored.err;
  EXPECT_NE(scored.out.find("Percentage Error (PCER) =  0.00"), std::string::npos) << scored.out;
  EXPECT_EQ(Boxes(), "");
}

}  // namespace
}  // namespace e2e
