// SPDX-License-Identifier: Apache-2.0
// ttysim as a program: started for real, talked to through the device its link points to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;
namespace fs = std::filesystem;

constexpr int kTimeoutMs = 30000;  // generous: the machine may be busy

// Waits for fd to have something to read; false after the timeout.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Reads from fd into buf until it holds needle; false on timeout or end of input.
bool readUntil(int fd, std::string& buf, const std::string& needle) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (buf.find(needle) == std::string::npos) {
    if (!waitReadable(fd, deadline)) return false;
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    buf.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

// ttysim as a child, killed if the test ends before it does.
class Ttysim {
 public:
  explicit Ttysim(std::vector<std::string> args) : child_(TTYSIM_BIN, std::move(args), SIGKILL) {}
  // The fields of the startup line, such as link and device.
  std::map<std::string, std::string> ready() {
    std::map<std::string, std::string> fields;
    if (!child_.readUntil("\n", std::chrono::milliseconds(kTimeoutMs))) return fields;
    std::string line = child_.output().substr(0, child_.output().find('\n'));
    std::size_t pos = line.find(" ready ");
    if (pos == std::string::npos) return fields;
    std::string key, value, *cur = &key;
    for (std::size_t i = pos + 7; i <= line.size(); ++i) {
      char c = i < line.size() ? line[i] : ' ';
      if (c == '\\' && i + 1 < line.size()) {
        *cur += line[++i];
      } else if (c == ' ') {
        fields[key] = value;
        key.clear(), value.clear(), cur = &key;
      } else if (c == '=' && cur == &key) {
        cur = &value;
      } else {
        *cur += c;
      }
    }
    return fields;
  }
  // Reads the console to its end and returns the exit status (128 + signal when killed).
  int wait(std::string* console = nullptr) {
    child_.readToEnd(std::chrono::milliseconds(kTimeoutMs));
    int status = child_.wait();
    if (console) *console = child_.output();
    return status;
  }
  pid_t pid() const { return child_.pid(); }

 private:
  kit::testing::ChildProcess child_;
};

int openPort(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

void put(int fd, const std::string& s) {
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

TEST(TtysimProgram, ModemAnswersOverThePortAndRemovesItsLinkOnSigterm) {
  TempDir dir;
  std::string ports = dir.file("ports");
  Ttysim sim({"--device", "NXi modem", "--port", "COM4", "--port-dir", ports, "--ring-on-signal", "--timeout",
              "120"});
  auto f = sim.ready();
  ASSERT_EQ(f["link"], ports + "/COM4");
  EXPECT_EQ(f["type"], "NXi modem");
  EXPECT_EQ(fs::read_symlink(f["link"]).string(), f["device"]);

  int fd = openPort(f["link"]);
  ASSERT_GE(fd, 0);
  std::string got;
  put(fd, "ATZ\r");
  EXPECT_TRUE(readUntil(fd, got, "ATZ\r\r\nOK\r\n")) << got;
  got.clear();
  kill(sim.pid(), SIGUSR1);
  EXPECT_TRUE(readUntil(fd, got, "\r\nRING\r\n")) << got;
  got.clear();
  put(fd, "ATE0\rAT#T\rATA\r");
  EXPECT_TRUE(readUntil(fd, got, "\r\nCONNECT TURBO\r\n")) << got;

  // The signal comes while the port is still held: letting go of it first would hang the modem up
  // and end its one-call day before the signal.
  kill(sim.pid(), SIGTERM);
  std::string console;
  EXPECT_EQ(sim.wait(&console), 128 + SIGTERM);
  close(fd);
  EXPECT_NE(console.find("stopped by SIGTERM"), std::string::npos) << console;
  EXPECT_FALSE(fs::exists(fs::symlink_status(f["link"])));
}

TEST(TtysimProgram, DirectTtyPlaysItsTurnsAndExitsAfterTheProgramHangsUp) {
  TempDir dir;
  std::string script = dir.write("script.txt", "TURN ONE GA\r\n\r\nTURN TWO GA\r\n\r\nTURN THREE SK\r\n\r\n");
  Ttysim sim({"-d",
              "compact",
              "--port-dir",
              dir.file("ports"),
              "-s",
              script,
              "--side",
              "odd",
              "--cps",
              "100",
              "--start-delay",
              "0",
              "--quiet",
              "0.2",
              "--received",
              dir.file("received.txt"),
              "--sent",
              dir.file("sent.txt"),
              "--log",
              dir.file("log.txt"),
              "--timeout",
              "120"});
  auto f = sim.ready();
  int fd = openPort(f["link"]);
  ASSERT_GE(fd, 0);
  std::string got;
  EXPECT_TRUE(readUntil(fd, got, "TURN ONE GA ")) << got;
  put(fd, "TURN TWO GA ");
  EXPECT_TRUE(readUntil(fd, got, "TURN THREE SK ")) << got;
  EXPECT_EQ(got, "TURN ONE GA TURN THREE SK ");
  put(fd, "+++");
  put(fd, "ATH\r");
  std::string console;
  EXPECT_EQ(sim.wait(&console), 0) << console;
  close(fd);
  EXPECT_NE(console.find("done hung up"), std::string::npos) << console;
  EXPECT_EQ(readFile(dir.file("received.txt")), "TURN TWO GA +++ATH\r");
  EXPECT_EQ(readFile(dir.file("sent.txt")), "TURN ONE GA TURN THREE SK ");
  std::string log = readFile(dir.file("log.txt"));
  EXPECT_NE(log.find(" rx "), std::string::npos) << log;
  EXPECT_NE(log.find("ATH\\r\n"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(fs::symlink_status(f["link"])));
}

TEST(TtysimProgram, HelpAndClearErrors) {
  TempDir dir;
  auto help = runProgram({TTYSIM_BIN, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: ttysim --device TYPE"), std::string::npos);

  auto bad = runProgram({TTYSIM_BIN, "--device", "teletype", "--port-dir", dir.file("p")});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("ttysim: unknown device 'teletype'"), std::string::npos) << bad.err;

  auto noScript = runProgram(
      {TTYSIM_BIN, "-d", "nxi", "--port-dir", dir.file("p"), "-s", dir.file("none.txt"), "--side", "odd"});
  EXPECT_EQ(noScript.exitCode, 1);
  EXPECT_NE(noScript.err.find(dir.file("none.txt")), std::string::npos) << noScript.err;

  fs::create_directories(dir.file("p"));
  dir.write("p/COM2", "not a link");
  kit::testing::RunOptions withEnv;
  withEnv.env = {"CORVALIS_PORT_DIR=" + dir.file("p")};
  auto taken = runProgram({TTYSIM_BIN, "-d", "nxi", "--port", "COM2"}, withEnv);
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.err.find("is not a link"), std::string::npos) << taken.err;
}

}  // namespace
