// softtty as a user runs it: files in and out, the device on a port joined to another through
// named pipes, and a one-line message with status 1 for every kind of bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_dir.h"
#include "wav.h"

extern char** environ;

namespace softtty {
namespace {

namespace fs = std::filesystem;
using kit::testing::runProgram;
using kit::testing::TempDir;

TEST(Program, EncodesAndDecodesFilesWithAReportPerCharacterAndASummary) {
  TempDir dir;
  const std::string wav = dir.file("call.wav");
  kit::testing::RunOptions text;
  text.stdinData = "Call 911, GA\n";
  auto enc = runProgram({SOFTTTY_BIN, "--encode", "--stop-bits", "2", "--output", wav}, text);
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  auto dec = runProgram({SOFTTTY_BIN, "--decode", wav});
  ASSERT_EQ(dec.exitCode, 0) << dec.err;
  EXPECT_EQ(dec.out, "CALL 911, GA\n");
  EXPECT_NE(dec.err.find("carrier on"), std::string::npos) << dec.err;
  EXPECT_NE(dec.err.find("FIGS    27"), std::string::npos) << dec.err;
  EXPECT_NE(dec.err.find("softtty: 13 characters and 3 shift codes"), std::string::npos) << dec.err;
  auto quiet = runProgram({SOFTTTY_BIN, "--decode", wav, "--quiet"});
  EXPECT_EQ(std::count(quiet.err.begin(), quiet.err.end(), '\n'), 1) << quiet.err;
}

TEST(Program, BadInputGetsOneLineAndStatusOne) {
  TempDir dir;
  const std::string ports = dir.file("ports");
  Audio low{4000, std::vector<float>(100, 0.0f)};
  std::string full = wavBytes(Audio{8000, std::vector<float>(1000, 0.1f)});
  const std::string cut = dir.write("cut.wav", full.substr(0, full.size() - 7));
  const std::string slow = dir.write("slow.wav", wavBytes(low));
  const std::string text = dir.write("text.wav", "this is not audio");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{}, "nothing to do"},
      {{"--decode", cut}, "is truncated"},
      {{"--decode", slow}, "sample rate of 4000 Hz"},
      {{"--decode", text}, "is not a WAV file"},
      {{"--decode", dir.file("missing.wav")}, "cannot read"},
      {{"--encode", "--rate", "6000"}, "--rate needs"},
      {{"--port", "COM99", "--folder", ports}, "COM1 to COM16"},
      {{"--port", "COM3", "--folder", ports, "--input-file", dir.file("nowhere/in.raw"), "--output-file",
        dir.file("out.raw")},
       "cannot open"},
      // No sound server here: the message says so, and no port is left behind.
      {{"--port", "COM4", "--folder", ports}, "sound"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {SOFTTTY_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    kit::testing::RunOptions noServer;
    noServer.env = {"PULSE_SERVER=unix:" + dir.file("no-server")};
    auto r = runProgram(argv, noServer);
    EXPECT_EQ(r.exitCode, 1) << c.args[0];
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("softtty: ", 0), 0u) << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;  // the message, and a hint
  }
  EXPECT_FALSE(fs::exists(fs::path(ports) / "COM3"));
  EXPECT_FALSE(fs::exists(fs::path(ports) / "COM4"));
}

// softtty as a child, with its console read as it comes.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), SOFTTTY_BIN);
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out_ = p[0];
  }
  ~Child() {
    if (status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  // Reads the console until it holds text; false after the limit.
  bool waitFor(const std::string& text, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (console_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 200) > 0) {
        char buf[1024];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return console_.find(text) != std::string::npos;
        console_.append(buf, static_cast<std::size_t>(n));
      }
    }
    return true;
  }
  int stop() {
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    waitFor("exit", 5);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }
  const std::string& console() const { return console_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string console_;
};

int openPort(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads from the port until `want` bytes came or `seconds` passed.
std::string readPort(int fd, std::size_t want, int seconds) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  return got;
}

TEST(Program, TwoDevicesJoinedByPipesTalkBothWaysAndNeitherHearsItself) {
  TempDir dir;
  const std::string ports = dir.file("ports");
  const std::string ab = dir.file("a-to-b"), ba = dir.file("b-to-a");
  ASSERT_EQ(mkfifo(ab.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(ba.c_str(), 0600), 0);
  Child a({"--port", "COM1", "--folder", ports, "--input-file", ba, "--output-file", ab});
  Child b({"--port", "COM2", "--folder", ports, "--input-file", ab, "--output-file", ba});
  ASSERT_TRUE(a.waitFor("ready port=COM1")) << a.console();
  ASSERT_TRUE(b.waitFor("ready port=COM2")) << b.console();
  int pa = openPort(ports + "/COM1"), pb = openPort(ports + "/COM2");
  const std::string hello = "HELLO 911 GA ";
  ASSERT_EQ(write(pa, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  EXPECT_EQ(readPort(pb, hello.size(), 30), hello);
  ASSERT_TRUE(a.waitFor(" sent\n")) << a.console();
  const std::string reply = "Hi 555-0142 SK";
  ASSERT_EQ(write(pb, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  EXPECT_EQ(readPort(pa, reply.size(), 30), "HI 555-0142 SK");
  ASSERT_TRUE(b.waitFor(" sent\n")) << b.console();
  // Neither heard its own tones: nothing more arrived.
  EXPECT_EQ(readPort(pa, 1, 1) + readPort(pb, 1, 1), "");
  close(pa);
  close(pb);
  EXPECT_EQ(a.stop(), 128 + SIGTERM);
  EXPECT_EQ(b.stop(), 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(fs::symlink_status(ports + "/COM1")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(ports + "/COM2")));
}

TEST(Program, ADeviceHearingItsOwnTonesWritesNothingBack) {
  TempDir dir;
  const std::string ports = dir.file("ports"), loop = dir.file("loop");
  ASSERT_EQ(mkfifo(loop.c_str(), 0600), 0);
  Child a({"--port", "COM1", "--folder", ports, "--input-file", loop, "--output-file", loop});
  ASSERT_TRUE(a.waitFor("ready")) << a.console();
  int p = openPort(ports + "/COM1");
  const std::string text = "ECHO ECHO 123 GA ";
  ASSERT_EQ(write(p, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_TRUE(a.waitFor(" sent\n")) << a.console();
  EXPECT_EQ(readPort(p, 1, 1), "");
  EXPECT_EQ(a.console().find("carrier on"), std::string::npos) << a.console();
  close(p);
  a.stop();
}

}  // namespace
}  // namespace softtty
