// SPDX-License-Identifier: Apache-2.0
#pragma once
// The circuit side of a gateway: a TTY whose text the calls carry. A TTY on a serial device
// gives and takes bytes; a TTY on a phone line gives and takes Baudot tones, heard and played
// through a sound card or raw audio files. Both run in the net::Loop's thread: what the TTY typed
// comes to `typed`, and the end of the circuit (the device closed, the audio input ended) to
// `ended`.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace rttmodem::front {

class Circuit {
 public:
  struct Handlers {
    std::function<void(std::string_view bytes)> typed;
    std::function<void(const std::string& why)> ended;
    std::function<void(const std::string& line)> log;
  };
  virtual ~Circuit() = default;
  // The far end's text, for the TTY (Windows-1252, CR LF line ends).
  virtual void write(std::string_view bytes) = 0;
  // Whether text for the TTY is still on its way out (queued, or tones still playing): a TTY
  // takes it at its own pace (45.45 bit/s, about six characters a second), far slower than a
  // call delivers it, so a gateway waits for this before it ends.
  virtual bool sending() const = 0;
};

// Opens a serial device (or a pseudo-terminal's device) raw. Nothing, with the reason, when it
// cannot be opened.
std::unique_ptr<Circuit> openSerial(const std::string& path, Circuit::Handlers handlers, std::string* error);

struct AudioConfig {
  std::string inputDevice, outputDevice, inputFile, outputFile;
  double baud = 45.45;
};
std::unique_ptr<Circuit> openTones(const AudioConfig& config, Circuit::Handlers handlers, std::string* error);

}  // namespace rttmodem::front
