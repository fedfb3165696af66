// SPDX-License-Identifier: Apache-2.0
#pragma once
// Runs a built program as a child process and captures everything it says.
#include <string>
#include <vector>

namespace kit::testing {

struct ProgramResult {
  int exitCode = -1;  // exit status, or 128 + signal number when killed
  std::string out;    // bytes written to standard output
  std::string err;    // bytes written to standard error
};

struct RunOptions {
  std::string workDir;              // empty: the current directory
  std::vector<std::string> env;     // extra NAME=value entries
  long addressSpaceLimitBytes = 0;  // RLIMIT_AS for the child, 0: none
  std::string stdinData;            // fed to standard input
};

// argv[0] is the program path; it is also passed as the program name.
ProgramResult runProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace kit::testing
