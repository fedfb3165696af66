// SPDX-License-Identifier: Apache-2.0
#pragma once
// The TTY's signal: Baudot characters as frequency-shift keyed tones, 1400 Hz for mark and 1800 Hz
// for space, 1 start bit, 5 data bits least significant first and a stop of 1.5 bits.
#include <cstdint>
#include <string_view>
#include <vector>

#include "baudot.h"

namespace tty {

struct Tones {
  int rate = 8000;        // samples per second
  double baud = 45.45;    // or 50
  double stopBits = 1.5;  // what the sender puts after each character (1 to 2)
  double markHz = 1400;
  double spaceHz = 1800;
  double amplitude = 0.5;  // peak, full scale 1
  double leadIn = 0.15;    // mark tone before the first character whenever the carrier comes on
  // The character table's figures, for sending and hearing.
  baudot::Figures figures = baudot::Figures::Us;
  // Hearing: a space in figures returns to letters, as on most US TTYs (a sender that relies on it
  // sends no LTRS after the space). Senders that do not rely on it say FIGS again after a space
  // before the next figure (softtty does), so the text arrives right either way.
  bool unshiftOnSpace = true;
  double samplesPerBit() const { return rate / baud; }
};

// How a real sender departs from the nominal signal: tests, the benchmark and the simulated line
// use these; the program sends with all of them at zero.
struct SenderQuirks {
  double offsetHz = 0;    // both tones off by this much
  double timing = 0;      // bit duration off by this fraction (0.05: 5 % longer)
  double phaseJumps = 0;  // chance per bit of a jump to a random phase
  // A sender that relies on the receiver returning to letters on a space: after a space it sends
  // no LTRS before a letter (minimodem's transmitter and many US TTYs do this).
  bool unshiftOnSpace = false;
  std::uint64_t seed = 1;  // for the phase jumps
};

// Turns characters into samples (floats, full scale 1), one transmission after another. The tone
// runs on with continuous phase from one call to the next while the carrier is on.
class Encoder {
 public:
  explicit Encoder(Tones tones, SenderQuirks quirks = {});

  // Appends one character: the carrier's lead-in when it was off, a LTRS or FIGS code when the
  // character needs the other shift (and always as the first code of a transmission), then the
  // character. Returns false and appends nothing for a character with no Baudot form.
  bool put(unsigned char c, std::vector<float>& out);
  // Appends one 5-bit code as it is, with the lead-in when the carrier was off.
  void putCode(int code, std::vector<float>& out);
  // Appends mark tone (the carrier held between characters).
  void hold(double seconds, std::vector<float>& out);
  // The carrier goes off: the next character starts a new transmission.
  void carrierOff() { carrier_ = false; }
  bool carrier() const { return carrier_; }

  // A whole transmission: the text's characters, then the carrier held for `tail` seconds and off.
  static std::vector<float> transmission(std::string_view text, const Tones& tones,
                                         const SenderQuirks& quirks = {}, double tail = 0.1);

 private:
  void startCarrier(std::vector<float>& out);
  void tone(bool mark, double bits, std::vector<float>& out);

  Tones tones_;
  SenderQuirks quirks_;
  bool carrier_ = false;
  bool figures_ = false;  // the shift the receiver was last told
  bool shiftSent_ = false;
  bool afterSpace_ = false;  // a space went since the last shift code: receivers may be in letters
  double phase_ = 0;         // radians
  double clock_ = 0;         // samples due so far, fractional
  long written_ = 0;         // samples written so far
  std::uint64_t random_;
};

}  // namespace tty
