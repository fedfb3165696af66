// SPDX-License-Identifier: Apache-2.0
#pragma once
// rttmodem as a TTY modem on a pseudo-terminal, for a program to drive with AT commands.
#include <string>

#include "options.h"

namespace rttmodem {

// Runs the modem until a terminating signal; the exit status. Every event goes to log.
int runModem(const console::Options& o, void (*log)(const std::string& line));

}  // namespace rttmodem
