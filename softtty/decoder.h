#pragma once
// Hears Baudot tones: finds each character's start bit, frames it, decides its bits and measures
// the signal it came in on.
//
// Each tone is watched by a small bank of sliding correlators over half a bit, a few tens of hertz
// apart, so that a sender off frequency or with phase jumps is heard as well as one on frequency.
// A character starts where a half-bit of space follows a half-bit of mark; its framing (start
// time and bit length) is then chosen as the one that best fits start, data and stop bits over the
// whole character, which follows senders that are fast or slow and copes with lost audio frames.
// A frame is taken only when its tones stand well above everything else in the band, which keeps
// noise and speech from turning into characters.
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

#include "tones.h"

namespace softtty {

// One 5-bit code heard.
struct Heard {
  double time = 0;         // seconds from the start of the audio to the start bit
  int code = 0;            // 0 to 31
  bool shift = false;      // a LTRS or FIGS code (prints nothing)
  char ch = 0;             // what it prints in the shift in force, when not a shift code
  double confidence = 0;   // 0 to 1: how clearly the weakest bit was decided
  double levelDb = 0;      // signal level, dB below a full-scale sine
  double freqErrorHz = 0;  // how far the tones were from 1400 and 1800 Hz (mean of both)
  double snrDb = 0;        // tone power against everything else in the band
  double bitMs = 0;        // bit duration as sent
};

struct CarrierChange {
  double time = 0;
  bool on = false;
};

class Decoder {
 public:
  explicit Decoder(const Tones& tones);

  void feed(const float* samples, std::size_t n);
  void feed(const std::vector<float>& s) { feed(s.data(), s.size()); }
  // The end of the audio: finishes a character whose stop bit has arrived.
  void flush();
  // Forgets a character in progress and listens afresh from the next sample (after being deaf).
  void restart();

  // What was heard since the last take.
  std::vector<Heard> take();
  std::vector<CarrierChange> takeCarrierChanges();
  bool carrier() const { return carrierOn_; }
  double seconds() const { return static_cast<double>(n_) / rate_; }
  long rejected() const { return rejected_; }
  bool figures() const { return figures_; }

 private:
  static constexpr int kBank = 5;  // correlators per tone
  struct Slot {
    float em = 0, es = 0;  // best half-bit energy at mark and space
    float energy = 0;      // sum of squares over the half bit
    float x = 0;           // the sample
    std::complex<float> c[2 * kBank];
  };
  const Slot& at(long pos) const;
  float soft(long pos) const;
  float purity(long pos) const;
  void step(float x);
  void work();
  bool quiet(long pos) const;
  bool candidate(long q) const;
  void frame(long q, bool flywheel);
  void measure(long t0, double bit, Heard& h) const;

  Tones tones_;
  int rate_;
  double bit_;    // samples per bit, nominal
  int half_;      // samples in a half-bit window
  double floor_;  // energy of a half bit below which there is no signal
  std::vector<double> offsets_;
  std::vector<std::complex<double>> phasor_, turn_, sum_;
  std::vector<std::complex<double>> products_;  // [correlator][half_] ring of x * phasor
  std::vector<float> squares_;
  double energy_ = 0;
  std::vector<Slot> history_;
  long mask_;
  long n_ = 0;         // samples taken
  long scan_ = 0;      // next position to look for a start bit at
  long pending_ = -1;  // position where a start bit was seen, waiting for the rest
  long decideAt_ = 0;
  bool flywheel_ = false;  // the pending start bit is where the flywheel expects one
  double level_ = 0;       // half-bit energy of the recent characters
  double lastStart_ = -1, period_ = 0;
  long expected_ = -1;    // where the next start bit is due in a run of characters, or -1
  double senderBit_ = 0;  // the sender's bit length in samples as measured, 0 before it is known
  int lastCode_ = -1;
  bool unshiftOnSpace_ = false;  // the sender says FIGS again after each space
  bool figures_ = false;
  bool carrierOn_ = false;
  long toneRun_ = 0, quietRun_ = 0;
  long rejected_ = 0;
  std::vector<Heard> heard_;
  std::vector<CarrierChange> carrierChanges_;
};

}  // namespace softtty
