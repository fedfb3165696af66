// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command line of softtty.
#include <optional>
#include <string>
#include <vector>

#include "tones.h"

namespace softtty {

using namespace tty;  // softtty is the FSK modem of the tty library with a sound card and a port

enum class Mode { Device, Encode, Decode, ListDevices, Help, Version };

struct Options {
  Mode mode = Mode::Device;
  Tones tones;
  // Device
  std::string port;                       // COMn
  std::string portDir;                    // from --folder or CORVALIS_PORT_DIR
  std::string inputDevice, outputDevice;  // sound server names; empty: the defaults
  std::string inputFile, outputFile;      // raw audio through files or named pipes instead
  std::string logPath;
  // Files
  std::string wavOut;  // --encode: empty plays the tones
  std::string wavIn;   // --decode
  bool quiet = false;  // --decode: no per-character lines
};

struct ParseResult {
  std::optional<Options> options;  // nothing: error holds the message
  std::string error;
};

// args excludes the program name; portDirFromEnv is the value of CORVALIS_PORT_DIR, if set.
ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& portDirFromEnv);
std::string usageText();

}  // namespace softtty
