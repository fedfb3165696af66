// SPDX-License-Identifier: Apache-2.0
// The ways a lab day cuts a call, end to end through ttysim: the device pulled out mid-call and back
// 4 s later, the modem losing its carrier, the PC shutting down (SIGTERM), and a kill -9 followed by
// a new start. Each is judged from the capture files against what the far end typed, and from the
// log; the figures a lab asks about (how long the port takes to come back, what a kill loses) are
// printed.
#include <QPushButton>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "e2e_harness.h"
#include "fieldtext.h"
#include "records/journal.h"

extern char** environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

// This side (answering) greets, the far end talks for several seconds, this side signs off.
const std::string kScript =
    "HELLO GA\r\n"
    "\r\n"
    "THIS IS CALL {call} AND THE FAR END HAS A GOOD DEAL TO SAY TODAY GA\r\n"
    "\r\n"
    "BYE SK\r\n"
    "\r\n";
constexpr double kCps = 10;

std::string Turn2(int call) {
  return "THIS IS CALL " + std::to_string(call) + " AND THE FAR END HAS A GOOD DEAL TO SAY TODAY GA ";
}

// The far end's text of one call as its record holds it.
std::string Received(const fieldtext::Record& r) {
  return fieldtext::withoutTrailingSpaces(fieldtext::speakerText(r.conversation, "RECD: "));
}

// The time of a ttysim console line holding text (its first), -1 when there is none.
double ConsoleTime(const std::string& console, const std::string& text, std::size_t from = 0) {
  std::size_t at = console.find(text, from);
  if (at == std::string::npos) return -1;
  std::size_t start = console.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return std::atof(console.c_str() + start);
}

// corvalis as a lab runs it unattended: a process of its own, offscreen, its log read as it comes.
class Corvalis {
 public:
  Corvalis(const std::string& home) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      std::string name = entry.substr(0, entry.find('='));
      if (name != "QT_QPA_PLATFORM" && name != "HOME") env.push_back(entry);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("HOME=" + home);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = CORVALIS_BIN;
    char* argv[] = {bin.data(), nullptr};
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    err_ = p[0];
    fcntl(err_, F_SETFL, fcntl(err_, F_GETFL) | O_NONBLOCK);
  }
  ~Corvalis() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }
  // What it has logged so far (also echoed, for a failing test's output).
  const std::string& Log() {
    char buf[4096];
    ssize_t n;
    while ((n = read(err_, buf, sizeof buf)) > 0) {
      log_.append(buf, static_cast<std::size_t>(n));
      std::fwrite(buf, 1, static_cast<std::size_t>(n), stderr);
    }
    return log_;
  }
  bool Said(const std::string& text) { return Log().find(text) != std::string::npos; }
  void Signal(int signal) { kill(pid_, signal); }
  bool Exited() {
    if (status_ >= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Log();
    return true;
  }
  int Status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  int status_ = -1;
  std::string log_;
};

class Endings : public FieldTest {
 protected:
  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = {"--device",
                                     "nxi",
                                     "--script",
                                     scriptPath,
                                     "--side",
                                     "even",
                                     "--cps",
                                     std::to_string(kCps),
                                     "--ring-on-signal",
                                     "--quiet",
                                     kFarEndReplyPause,
                                     "--connect-delay",
                                     "0.3"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::vector<fieldtext::Record> Records() const { return fieldtext::readCapture(Captures()).records; }
  // The far end has typed at least n characters of its turn.
  bool FarTyped(std::size_t n) const { return fs::exists(dir.file("far-sent.txt")) && FarSent().size() >= n; }
  // The longest beginning of typed (printable text) that the simulator has written to the port.
  std::string ReachedThePort(const std::string& typed) const {
    std::string written;
    std::istringstream lines(SimLog());
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tag = line.find(" tx ");
      if (tag != std::string::npos && line.find(' ') == tag) written += line.substr(tag + 4);
    }
    std::size_t n = typed.size();
    while (n > 0 && written.find(typed.substr(0, n)) == std::string::npos) --n;
    return typed.substr(0, n);
  }
};

TEST_F(Endings, ADevicePulledMidCallAndBackFourSecondsLaterLosesNeitherTheCutCallNorTheNext) {
  Prepare("NXi modem", kScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(Args({"--calls", "2", "--call-gap", "1", "--pull-for", "4", "--pull-after",
                                         "8"})));  // in the middle of the far end's turn
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
  ASSERT_TRUE(ServeUntil([&] { return Records().size() == 2 && form->StartCallButton->isEnabled(); }))
      << Boxes() << sim->Console() << Captures();

  const std::vector<fieldtext::Record> records = Records();
  // The cut call: what the far end typed before the pull, this side's greeting, not completed.
  const std::string cut = Received(records[0]);
  EXPECT_FALSE(cut.empty());
  EXPECT_TRUE(Turn2(1).starts_with(cut)) << records[0].conversation;
  EXPECT_LT(cut.size(), fieldtext::withoutTrailingSpaces(Turn2(1)).size());
  EXPECT_EQ(fieldtext::speakerText(records[0].conversation, "SEND: "), "HELLO GA ");
  EXPECT_EQ(*records[0].value("SCRIPTCOMPLETED"), "No");
  // The next call, rung after the device was back, answered and captured whole.
  EXPECT_EQ(Received(records[1]), fieldtext::withoutTrailingSpaces(Turn2(2)));
  EXPECT_EQ(*records[1].value("SCRIPTCOMPLETED"), "Yes");
  EXPECT_EQ(log.With("the device has gone").size(), 1u);
  EXPECT_EQ(log.With("ended (COM1 gone): saved in").size(), 1u);
  EXPECT_EQ(log.With("the device is back, ").size(), 1u);
  EXPECT_EQ(Boxes(), "");

  const std::string& console = sim->Console();
  const double back = ConsoleTime(console, " back port=");
  const double reopened = ConsoleTime(console, " attached", console.find(" back port="));
  ASSERT_GE(back, 0) << console;
  ASSERT_GE(reopened, back) << console;
  std::cout << "device back after the pull: the port was open again " << reopened - back << " s later\n";
}

TEST_F(Endings, AModemLosingItsCarrierEndsTheCallWhichIsSavedAndTheNextRingIsAnswered) {
  Prepare("NXi modem", kScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(Args({"--calls", "2", "--call-gap", "1", "--drop-after", "8"})));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
  ASSERT_TRUE(ServeUntil([&] { return Records().size() == 2 && form->StartCallButton->isEnabled(); }))
      << Boxes() << sim->Console() << Captures();

  const std::vector<fieldtext::Record> records = Records();
  const std::string cut = Received(records[0]);
  ASSERT_TRUE(cut.ends_with("NO CARRIER")) << records[0].conversation;
  EXPECT_TRUE(Turn2(1).starts_with(cut.substr(0, cut.size() - 10))) << records[0].conversation;
  EXPECT_EQ(*records[0].value("SCRIPTCOMPLETED"), "No");
  EXPECT_EQ(Received(records[1]), fieldtext::withoutTrailingSpaces(Turn2(2)));
  EXPECT_EQ(*records[1].value("SCRIPTCOMPLETED"), "Yes");
  // This side's last turn went into the second call only, never into the dead line.
  const std::string far = FarReceived();
  EXPECT_EQ(far.find("BYE SK"), far.rfind("BYE SK")) << far;
  EXPECT_EQ(log.With("ended (NO CARRIER): saved in").size(), 1u);
  EXPECT_EQ(Boxes(), "");
}

// The far end falls silent after its turn: 30 s later this side hangs up (the modem's hang-up code,
// then "ATH" to the modem), and the call stays open until the next ring ends it. The record holds
// what the far end typed, exactly, and nothing of this side's commands to its modem.
TEST_F(Endings, ACallHungUpBySilenceAndEndedByTheNextRingHoldsTheFarEndsTextAlone) {
  scriptPath = WriteScript("script.txt", "HELLO GA\r\n\r\nNEVER SAID GA\r\n\r\n");
  WriteSettings({{"Device Type", "Ultratec Intele-Modem 2400"}, {"Enable Turbo Code", "0"}, {"Script filename", ""}});
  // The far end types the first turn and waits for ever for the second: this side has no script (its
  // automatic start says "File not found" and sends nothing).
  ASSERT_NO_FATAL_FAILURE(StartSim({"--device", "im2400", "--script", scriptPath, "--side", "odd", "--cps",
                                    std::to_string(kCps), "--ring-on-signal", "--connect-delay", "0.3", "--calls",
                                    "2", "--call-gap", "3", "--linger", "60"}));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("ATX1E0"));
  ASSERT_TRUE(ServeUntil([&] { return sim->Said("hangup"); })) << sim->Console();
  const std::string typed = FarSent();
  ASSERT_TRUE(ServeUntil([&] { return Records().size() == 1 && form->EndCallButton->isEnabled(); }))
      << Boxes() << sim->Console() << Captures();

  const std::vector<fieldtext::Record> records = Records();
  EXPECT_EQ(typed, "HELLO GA ");
  EXPECT_EQ(Received(records[0]), fieldtext::withoutTrailingSpaces(typed)) << records[0].conversation;
  EXPECT_EQ(fieldtext::speakerText(records[0].conversation, "SEND: "), "");
  EXPECT_EQ(Captures().find("ATH"), std::string::npos) << Captures();
}

TEST_F(Endings, AShutdownMidCallSavesTheCallSoFarAndTheProgramEndsNormally) {
  Prepare("NXi modem", kScript, {{"Auto save", "0"}});  // nobody to ask: it is saved all the same
  ASSERT_NO_FATAL_FAILURE(StartSim(Args({})));
  Corvalis corvalis(dir.path().string());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
  ASSERT_TRUE(ServeUntil([&] { return corvalis.Log(), FarTyped(20); })) << sim->Console();
  // What had reached the port: the far end's text as far as the simulator had written it to the
  // port (its log's tx lines come after each write). The far end may have typed a character more
  // that is still on its way.
  const std::string before = ReachedThePort(fieldtext::withoutTrailingSpaces(FarSent()));
  ASSERT_GE(before.size(), 10u) << SimLog();
  corvalis.Signal(SIGTERM);
  ASSERT_TRUE(ServeUntil([&] { return corvalis.Exited(); }));
  EXPECT_EQ(corvalis.Status(), 0);

  const std::vector<fieldtext::Record> records = Records();
  ASSERT_EQ(records.size(), 1u) << Captures();
  // Everything that had reached the port when the signal came is in the record.
  const std::string received = Received(records[0]);
  EXPECT_TRUE(received.starts_with(before)) << received << "\n" << before;
  EXPECT_TRUE(FarSent().starts_with(received));
  EXPECT_EQ(*records[0].value("SCRIPTCOMPLETED"), "No");
  EXPECT_TRUE(corvalis.Said("ended (SIGTERM): saved in ")) << corvalis.Log();
  EXPECT_TRUE(fs::is_empty(fs::path(stateDir) / "journal"));
}

TEST_F(Endings, AKillMidCallLosesAtMostTheLastSecondAndTheNextStartSavesTheCall) {
  Prepare("NXi modem", kScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(Args({})));
  std::string before;
  std::optional<corvalis::TDateTime> killedAt;
  {
    Corvalis corvalis(dir.path().string());
    ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
    ASSERT_TRUE(ServeUntil([&] { return corvalis.Log(), FarTyped(30); })) << sim->Console();
    before = FarSent();
    killedAt = std::chrono::system_clock::now();
    corvalis.Signal(SIGKILL);
    ASSERT_TRUE(ServeUntil([&] { return corvalis.Exited(); }));
  }
  EXPECT_TRUE(Records().empty());
  // The journal as the kill left it.
  std::vector<fs::path> journals;
  for (const auto& e : fs::directory_iterator(fs::path(stateDir) / "journal")) journals.push_back(e.path());
  ASSERT_EQ(journals.size(), 1u);
  const corvalis::TJournalContents left = corvalis::ParseJournal(kit::testing::readFile(journals[0]));
  ASSERT_TRUE(left.LastWrite);
  const double stale = std::chrono::duration<double>(*killedAt - *left.LastWrite).count();

  Corvalis again(dir.path().string());
  ASSERT_TRUE(ServeUntil([&] { return again.Said("recovered the call of "); })) << again.Log();
  again.Signal(SIGTERM);
  ASSERT_TRUE(ServeUntil([&] { return again.Exited(); }));
  const std::vector<fieldtext::Record> records = Records();
  ASSERT_EQ(records.size(), 1u) << Captures();
  EXPECT_EQ(*records[0].value("SCRIPTCOMPLETED"), "No");
  const std::string received = Received(records[0]);
  const std::string typed = fieldtext::withoutTrailingSpaces(before);
  EXPECT_TRUE(Turn2(1).starts_with(received)) << received;
  const std::size_t lost = received.size() < typed.size() ? typed.size() - received.size() : 0;
  EXPECT_LE(lost, static_cast<std::size_t>(kCps)) << "more than a second of the far end's typing lost";
  EXPECT_LT(stale, 1.5);
  EXPECT_TRUE(fs::is_empty(fs::path(stateDir) / "journal"));
  std::cout << "kill -9 mid-call: the journal was last written " << stale << " s before the kill; " << lost
            << " of " << typed.size() << " characters the far end had typed are not in the recovered record ("
            << lost / kCps << " s at " << kCps << " characters/s)\n";
}

}  // namespace
}  // namespace e2e
