#pragma once
// The telephone line between the device and the far end: Baudot characters one way, with errors
// drawn from a seeded generator so that a run can be repeated exactly.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "baudot.h"

namespace ttysim {

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

class Channel {
 public:
  Channel(ErrorRates rates, std::uint64_t seed) : rates_(rates), random_(seed) {}

  // Sends one character down the line and returns what arrives at the other end: usually the
  // character itself, nothing when it is lost, or more than one character with an insertion.
  // Characters with no Baudot form pass untouched and change no shift.
  std::string pass(char c);

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
};

}  // namespace ttysim
