// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command line of ttysim.
#include <optional>
#include <string>
#include <vector>

#include "record.h"
#include "session.h"

namespace ttysim {

struct Options {
  SessionConfig session;
  std::string port = "COM1";
  std::string portDir;     // from --port-dir or CORVALIS_PORT_DIR
  std::string scriptPath;  // empty: no script
  std::string receivedPath, sentPath, logPath;
  std::optional<Seconds> timeout;
  std::optional<RecordConfig> record;  // --record: the far end saves its record of each call
  double clockShift = 0;               // --clock-shift: the far end's clock reads this much ahead
  bool help = false;
  bool version = false;
};

struct ParseResult {
  std::optional<Options> options;  // nothing: error holds the message
  std::string error;
};

// args excludes the program name; portDirFromEnv is the value of CORVALIS_PORT_DIR, if set.
ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& portDirFromEnv);

std::string usageText();

}  // namespace ttysim
