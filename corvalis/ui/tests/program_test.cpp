// SPDX-License-Identifier: Apache-2.0
// The program itself, run as a lab runs it unattended: no display, diagnosed from its standard
// error stream, ended by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

// corvalis with its settings and ports in a folder of the test's own, offscreen.
class Program {
 public:
  explicit Program(const TempDir& dir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      std::string name = entry.substr(0, entry.find('='));
      if (name != "QT_QPA_PLATFORM" && name != "HOME" && name.rfind("CORVALIS_", 0) != 0)
        env.push_back(entry);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("HOME=" + dir.path().string());
    env.push_back("CORVALIS_REGISTRY_DIR=" + (dir.path() / "registry").string());
    env.push_back("CORVALIS_PORT_DIR=" + (dir.path() / "ports").string());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = CORVALIS_BIN;
    char* argv[] = {bin.data(), nullptr};

    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    if (rc != 0) throw std::runtime_error(std::string("cannot start corvalis: ") + std::strerror(rc));
    err_ = p[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(err_);
  }

  // Reads the standard error stream until it holds text (false after a minute or at its end).
  bool WaitFor(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stderr_.find(text) == std::string::npos) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{err_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      if (!ReadSome()) return false;
    }
    return true;
  }
  // Sends the signal and waits for the program to end; its exit status (128 + signal when killed).
  int EndWith(int signal) {
    kill(pid_, signal);
    while (ReadSome()) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& Stderr() const { return stderr_; }

 private:
  bool ReadSome() {
    char buf[4096];
    ssize_t n = read(err_, buf, sizeof buf);
    if (n > 0) stderr_.append(buf, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
  }
  pid_t pid_ = -1;
  int err_ = -1;
  std::string stderr_;
};

// The whole line of the stream that holds text, without its line end; empty when there is none.
std::string LineWith(const std::string& stream, const std::string& text) {
  size_t at = stream.find(text);
  if (at == std::string::npos) return {};
  size_t start = stream.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return stream.substr(start, stream.find('\n', at) - start);
}

// "2001-10-18 14:05:07 "
bool StartsWithLocalTime(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd ";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
      return false;
  return true;
}

fs::path KeyFile(const TempDir& dir) {
  return dir.path() / "registry/HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis.reg";
}

TEST(Program, WithoutADisplayABadPortIsLoggedAndTheProgramEndsCleanlyOnSIGTERM) {
  TempDir dir;
  fs::create_directories(dir.path() / "ports");
  const std::string port = dir.write("ports/COM1", "not a serial device");
  Program corvalis(dir);
  ASSERT_TRUE(corvalis.WaitFor("taken as OK)\n")) << corvalis.Stderr();
  // The box's line: local time, caption, text, and the device with the system's reason.
  const std::string line = LineWith(corvalis.Stderr(), "Unable to open com port");
  EXPECT_TRUE(StartsWithLocalTime(line)) << line;
  EXPECT_EQ(line.substr(std::min<size_t>(20, line.size())),
            "corvalis: box \"corvalis\": Unable to open com port (win error code: 25) [COM1 = " + port +
                ": Inappropriate ioctl for device] (not shown, no display: taken as OK)");

  // The start-up was not held up by the box: the event loop serves the signal.
  EXPECT_EQ(corvalis.EndWith(SIGTERM), 0) << corvalis.Stderr();
  EXPECT_NE(corvalis.Stderr().find("corvalis: SIGTERM: closing the window\n"), std::string::npos);
  EXPECT_NE(readFile(KeyFile(dir)).find("\"Port\"=\"1\""), std::string::npos);
}

}  // namespace
