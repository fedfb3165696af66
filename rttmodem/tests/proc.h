// SPDX-License-Identifier: Apache-2.0
#pragma once
// A program run beside a test with all three standard streams in pipes: the test types into its
// input and waits (with a limit that only ever fails the test) for what it writes.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace rttmodem::testing {

class Proc {
 public:
  Proc(const std::string& program, const std::vector<std::string>& args,
       const std::vector<std::string>& env = {});
  ~Proc();  // SIGTERM, then SIGKILL if it does not go
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;

  void write(std::string_view bytes);
  void closeInput();
  // Reads until standard error (the log) holds text; false after limit or at its end.
  bool waitErr(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(30));
  bool waitOut(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Waits for the exit; the status, 128 + signal when killed, -1 after limit.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void signal(int sig);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  // The value of name=value in the first log line that has it ("" when none).
  std::string logValue(std::string_view lineWord, std::string_view name) const;

 private:
  bool pump(std::chrono::milliseconds limit, const std::string* buffer, std::string_view text);
  pid_t pid_ = -1;
  int in_ = -1, outFd_ = -1, errFd_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

// The program's side of a serial port (a pseudo-terminal's device), set raw.
class Port {
 public:
  explicit Port(const std::string& path);
  ~Port() { close(); }
  bool ok() const { return fd_ >= 0; }
  void close();
  void write(std::string_view s);
  // Reads until what came since the last text waited for holds text; false after limit.
  bool waitFor(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Reads until one of the texts comes; its index, -1 after limit.
  int waitForAny(const std::vector<std::string>& texts, std::chrono::milliseconds limit = std::chrono::seconds(30));
  // A command line (CR added), and its result.
  bool command(const std::string& line, std::string_view result);
  const std::string& got() const { return got_; }

 private:
  int fd_ = -1;
  std::string got_;
  std::size_t mark_ = 0;
};

// A UDP port nothing listens on at the moment (for programs that need one named).
int freeUdpPort();

}  // namespace rttmodem::testing
