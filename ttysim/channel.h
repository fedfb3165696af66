// SPDX-License-Identifier: Apache-2.0
#pragma once
// The telephone line between the device and the far end: Baudot characters one way, with errors
// drawn from a seeded generator so that a run can be repeated exactly.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audio_line.h"
#include "baudot.h"

namespace ttysim {

namespace baudot = tty::baudot;

// Rates are probabilities from 0 to 1.
struct ErrorRates {
  double shift = 0;   // a FIGS or LTRS code is lost
  double drop = 0;    // a character is lost
  double insert = 0;  // a stray character arrives before a character
  double subst = 0;   // a character arrives as another one of its shift
  bool any() const { return shift > 0 || drop > 0 || insert > 0 || subst > 0; }
};

// Parses "shift=0.02,drop=1%,insert=0,subst=0.005" (any subset, any order; a rate is a fraction or a
// percentage). Returns the error text on failure.
std::optional<ErrorRates> parseErrorRates(std::string_view text, std::string* error);
std::string formatErrorRates(const ErrorRates& r);

// How long characters take on the line: each arrives delay ± jitter seconds (drawn evenly) after
// it was sent, and never before the character sent before it, as on a real line.
struct LineDelay {
  double delay = 0, jitter = 0;  // seconds
  bool any() const { return delay > 0 || jitter > 0; }
};

// Parses the --channel value: "text" (nothing) or "audio" with any of snr=DB, offset=HZ,
// timing=PCT and dropouts=RATE after commas, e.g. "audio,snr=10,offset=20,timing=-3,dropouts=1%",
// and a mobile network's codec: codec=amr-nb:MODE (MODE the bit rate, 4.75 to 12.2) with its
// frame erasure rate fer=RATE and burst=FRAMES (the mean length of a run of erased frames).
// Either kind takes delay=MS and jitter=MS ("text,delay=300,jitter=50"), into *delay; without
// a place for them they are refused. Returns false with the error text on failure.
bool parseChannel(std::string_view text, std::optional<tty::AudioLineSettings>* audio, std::string* error,
                  LineDelay* delay = nullptr);

// A small generator with the same sequence on every platform and standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  double uniform();  // in [0, 1)
  int below(int n);  // in [0, n)
  bool chance(double rate) { return rate > 0 && uniform() < rate; }

 private:
  std::uint64_t state_;
};

// The characters on their way along a line with a delay, in the order they were sent. The
// delays come from their own seeded generator, so the channel's errors stay the same whatever
// the delay.
class DelayLine {
 public:
  DelayLine(LineDelay delay, std::uint64_t seed) : delay_(delay), random_(seed ^ 0x5DE1A7ULL) {}
  bool any() const { return delay_.any(); }
  // A character that left at `now`.
  void put(char c, double now);
  // When the first character on its way arrives; nothing when the line is empty.
  std::optional<double> nextArrival() const;
  // The first character, when it has arrived by `now`, with the moment it arrived.
  std::optional<std::pair<double, char>> take(double now);
  void clear() { queue_.clear(); }

 private:
  LineDelay delay_;
  Random random_;
  std::deque<std::pair<double, char>> queue_;
  double lastArrival_ = 0;
};

class Channel {
 public:
  Channel(ErrorRates rates, std::uint64_t seed) : rates_(rates), random_(seed) {}
  // A line of tones: each character is sent as Baudot tones through the impairments and decoded.
  static Channel overAudio(const tty::AudioLineSettings& audio, std::uint64_t seed);

  // Sends one character down the line and returns what arrives at the other end: usually the
  // character itself, nothing when it is lost, or more than one character with an insertion.
  // Characters with no Baudot form pass untouched and change no shift (on a line of tones they
  // are not sent). `now` is the time in seconds, which a line of tones uses to let its carrier
  // drop between bursts of typing.
  std::string pass(char c, double now = -1);

  // Counts of what went wrong so far.
  struct Stats {
    long chars = 0, lostShifts = 0, dropped = 0, inserted = 0, substituted = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  char randomPrintable(baudot::Shift shift, int notCode);

  ErrorRates rates_;
  Random random_;
  baudot::Shift senderShift_ = baudot::Shift::Letters;
  baudot::Shift receiverShift_ = baudot::Shift::Letters;
  Stats stats_;
  std::unique_ptr<tty::AudioLine> audio_;
};

}  // namespace ttysim
