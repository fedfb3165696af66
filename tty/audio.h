// SPDX-License-Identifier: Apache-2.0
#pragma once
// Live audio: the sound server's inputs and outputs, or raw audio through files and named pipes.
// Errors (the tty library's rule): nothing throws; what touches the system (sound, files, ptys)
// returns false or nothing with the reason in *error, and the codes, tones and decoder take any
// input.
// Samples are floats at full scale 1, mono, at the rate asked for.
#include <cstddef>
#include <memory>
#include <string>

namespace tty {

class AudioOut {
 public:
  virtual ~AudioOut() = default;
  // Blocks until the samples are taken (played, or due to be in real time).
  virtual bool write(const float* samples, std::size_t n, std::string* error) = 0;
  // Blocks until everything written has been played.
  virtual bool drain(std::string* error) = 0;
  // Seconds between a sample being written and it being heard.
  virtual double latency() { return 0; }
};

class AudioIn {
 public:
  virtual ~AudioIn() = default;
  // Waits a little for up to n samples: how many were read (0 when none came in time), kEnd at
  // the end of the input, kFailed on an error.
  virtual long read(float* samples, std::size_t n, std::string* error) = 0;
  static constexpr long kEnd = -1;
  static constexpr long kFailed = -2;
};

// The sound server's devices; an empty name is the server's default. Nothing, with a one-line
// reason, when there is no sound server or no such device.
std::unique_ptr<AudioOut> openSoundOutput(const std::string& device, int rate, std::string* error);
std::unique_ptr<AudioIn> openSoundInput(const std::string& device, int rate, std::string* error);
// The sound server's inputs and outputs, a line each.
bool listSoundDevices(std::string* text, std::string* error);

// Raw 16-bit little-endian mono audio. The output is paced to real time, as a sound card takes
// it. A named pipe never ends and never blocks: with nobody at its other end, what is played is
// lost, as from a sound card with nothing plugged in.
std::unique_ptr<AudioOut> openFileOutput(const std::string& path, int rate, std::string* error);
std::unique_ptr<AudioIn> openFileInput(const std::string& path, std::string* error);

}  // namespace tty
