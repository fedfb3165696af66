// SPDX-License-Identifier: Apache-2.0
#pragma once
// softtty as a device: a TTY on a pseudo-terminal, sending what the program writes as tones and
// writing what it hears to the program.
#include <functional>
#include <memory>
#include <string>

#include "audio.h"
#include "options.h"
#include "tone_circuit.h"

namespace softtty {

// Where the device's sound streams come from (the tty library's tone circuit opens them again
// after the sound server went away); tests use their own.
using tty::SoundServer;
using tty::systemSoundServer;

// Runs the device until a terminating signal or a fatal error; the exit status. Every line of the
// console goes to `console` (without its newline); the default writes standard output.
int runDevice(const Options& o);
int runDevice(const Options& o, SoundServer& server, const std::function<void(const std::string&)>& console);

}  // namespace softtty
