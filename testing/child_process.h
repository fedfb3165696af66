// SPDX-License-Identifier: Apache-2.0
#pragma once
// A built program running as a child process beside the test, its standard output read as it
// comes. A child still running when the object goes is sent the stop signal and reaped.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kit::testing {

class ChildProcess {
 public:
  // Starts program with args (which exclude the program name). Standard output goes to a pipe;
  // standard error stays the test's. A program that cannot be started is a failure of the test,
  // not a crash: pid() is then -1.
  ChildProcess(const std::string& program, std::vector<std::string> args, int stopSignal);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The read end of the output pipe (non-blocking), for an event loop to watch; -1 once the
  // output has ended.
  int outputFd() const { return out_; }
  // Everything read from standard output so far.
  const std::string& output() const { return output_; }

  // Reads what the pipe holds now, without waiting; returns the output so far.
  const std::string& readAvailable();
  // Reads until the output holds text; false when it has not come within limit or the output
  // ended without it.
  bool readUntil(std::string_view text, std::chrono::milliseconds limit);
  // Reads until the output ends (the child, and whatever it started, closed it); false after limit.
  bool readToEnd(std::chrono::milliseconds limit);

  // Whether the child has exited, without waiting; reaps it when it has.
  bool exited();
  // Waits for the child to exit and returns status().
  int wait();
  // The exit status once reaped (128 + the signal number when killed); -1 before.
  int status() const { return status_; }

 private:
  bool readUntilDone(const std::function<bool()>& done, std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int out_ = -1;
  int stopSignal_;
  int status_ = -1;
  std::string output_;
};

}  // namespace kit::testing
