// SPDX-License-Identifier: Apache-2.0
#pragma once
// softtty as a device: a TTY on a pseudo-terminal, sending what the program writes as tones and
// writing what it hears to the program.
#include <functional>
#include <memory>
#include <string>

#include "audio.h"
#include "options.h"

namespace softtty {

// Where the device's sound streams come from, opened again after the sound server went away (a
// restart, a suspend and resume). One implementation talks to the sound server; tests use their
// own.
class SoundServer {
 public:
  virtual ~SoundServer() = default;
  virtual std::unique_ptr<AudioIn> openInput(const std::string& device, int rate, std::string* error) = 0;
  virtual std::unique_ptr<AudioOut> openOutput(const std::string& device, int rate, std::string* error) = 0;
};

// The desktop's sound server (openSoundInput and openSoundOutput).
SoundServer& systemSoundServer();

// Runs the device until a terminating signal or a fatal error; the exit status. Every line of the
// console goes to `console` (without its newline); the default writes standard output.
int runDevice(const Options& o);
int runDevice(const Options& o, SoundServer& server, const std::function<void(const std::string&)>& console);

}  // namespace softtty
