// SPDX-License-Identifier: Apache-2.0
#pragma once
// Hears Baudot tones: finds each character's start bit, frames it, decides its bits and measures
// the signal it came in on.
//
// Each tone is watched by a small bank of correlators a few tens of hertz apart, so that a sender
// off frequency or with phase jumps is heard as well as one on frequency. A character starts where
// a half-bit of space follows a half-bit of mark (or, outside a transmission, silence); its
// framing (start time and bit length) is the one that best fits start, data and stop bits over
// the whole character, refined by where its bits change between mark and space. A start bit whose
// change from mark to space is clear frames its own character: senders' stops vary from character
// to character. Characters sent back to back form a run whose timing is fitted over its last
// characters: the run frames its next character where it is due when lost audio took its start
// bit or left it unclear, and stays with it through lost audio unless the audio clearly says
// otherwise. Lost audio (silence) counts as no evidence: each code is the likeliest one given what
// is left of its bits, each tone weighed over the whole bit (or over each half, where the sender's
// phase may have jumped) against the noise measured at the tone not sent. A frame is taken only when its tones stand well above everything else in
// the band, or in the tones' own band (at any sample rate), which keeps noise and speech from
// turning into characters; while a TTY's tones are evidently on the line (much more power at both
// tones than between them, over the last half second), frames far below the noise are taken too.
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

#include "tones.h"

namespace tty {

// One 5-bit code heard.
struct Heard {
  double time = 0;     // seconds from the start of the audio to the start bit
  int code = 0;        // 0 to 31
  bool shift = false;  // a LTRS or FIGS code (prints nothing)
  char ch = 0;         // what it prints in the shift in force, when not a shift code
  // 0 to 1: how clearly its bits were decided, on average over the bits heard (lost audio left
  // out). Noise that happens to look like a character stays below kDoubt.
  double confidence = 0;
  double levelDb = 0;      // signal level, dB below a full-scale sine
  double freqErrorHz = 0;  // how far the tones were from 1400 and 1800 Hz (mean of both)
  double snrDb = 0;        // tone power against everything else in the band
  double bitMs = 0;        // bit duration as sent
  // Confidence below kDoubt: too unsure to be a character. It is not printed and changes no shift.
  bool doubtful = false;
};

// The confidence below which a code is doubtful. Ten minutes of noise confined to the tones' band
// give codes of at most 0.37; characters at 3 dB below the noise over the whole band, with 3 % of
// the audio frames lost, at least 0.42.
inline constexpr double kDoubt = 0.4;
// The same for a character that a run of characters sent back to back had due right after a clear
// one.
inline constexpr double kDoubtInRun = 0.25;

struct CarrierChange {
  double time = 0;
  bool on = false;
};

class Decoder {
 public:
  explicit Decoder(const Tones& tones);

  // Samples beyond kLoudest times full scale (no line delivers them: a damaged file) are taken
  // as kLoudest, and ones that are no number as silence.
  static constexpr float kLoudest = 8;
  void feed(const float* samples, std::size_t n);
  void feed(const std::vector<float>& s) { feed(s.data(), s.size()); }
  // The end of the audio: finishes a character whose stop bit has arrived.
  void flush();
  // Forgets a character in progress, and the level and noise heard, and listens afresh from the
  // next sample (after being deaf).
  void restart();

  // What was heard since the last take.
  std::vector<Heard> take();
  std::vector<CarrierChange> takeCarrierChanges();
  bool carrier() const { return carrierOn_; }
  double seconds() const { return static_cast<double>(n_) / rate_; }
  long rejected() const { return rejected_; }
  long doubtful() const { return doubtful_; }
  bool figures() const { return figures_; }

 private:
  static constexpr int kBank = 5;  // correlators per tone
  struct Slot {
    float em = 0, es = 0;  // best half-bit energy at mark and space
    float energy = 0;      // sum of squares over the half bit
    float band = 0;        // the same for the audio in the tones' band alone
    float below = 0;       // and for the audio below that band (speech has most of its power there)
    float mid = 0;         // half-bit energy between the tones
    float x = 0;           // the sample
    std::complex<float> c[2 * kBank];
    // Running sums from the first sample, so that any span's correlation and energy is a
    // difference of two of them.
    std::complex<double> sum[2 * kBank];
    double squares = 0;
  };
  // What a bit's span of audio says: the mark and space amplitudes over each of its halves (so
  // that a phase jump spoils only one half), and the energy there.
  struct Bit {
    double mark[2] = {0, 0}, space[2] = {0, 0};
    double energy = 0;
    double diff() const { return mark[0] + mark[1] - space[0] - space[1]; }
    double total() const { return mark[0] + mark[1] + space[0] + space[1]; }
    double value() const { return diff() / (total() + 1e-30); }  // -1 (space) to +1 (mark)
  };
  // A character's framing: start and bit length in samples, and how well it fits.
  struct Fit {
    double t0 = 0, bit = 0, score = -1e300;
  };
  // A character of a run sent back to back: its place in the run (one character period each) and
  // where its bits change between mark and space (bit index and time), for the run's timing.
  struct RunChar {
    long k = 0;
    double t0 = 0;
    int edges = 0;
    int bitIndex[7];
    double time[7];
    bool clear = false;  // its bits were decided clearly (confidence kClearRun or more)
  };

  void forgetLevel();  // a new transmission: its level and noise are not known yet
  const Slot& at(long pos) const;
  // The running sums over the samples before pos; samples not heard yet count as silence.
  const Slot& sums(long pos) const;
  float soft(long pos) const;
  float purity(long pos) const;      // against all the power there
  float bandPurity(long pos) const;  // against the power in the tones' band; 0 where speech is
  bool edgePure(long pos) const;     // pure enough for a start bit's edge
  bool quiet(long pos) const;
  bool lost(long from, long to) const;  // audio lost somewhere in [from, to)
  // The power at a tone (0 mark, 1 space) over one phase for the whole bit: the bank's best.
  double wholeBit(double from, double bit, int tone) const;
  Bit bitAt(double from, double bit) const;
  void step(float x);
  void work();
  bool candidate(long q) const;
  bool withinCharacterFromSilence(long edge) const;

  double edgeBefore(long q) const;  // the start bit's edge, to a fraction of a sample, or -1
  double fitScore(double t0, double bit) const;
  void search(Fit& best, double t0From, double t0To, double t0Step, double bitCentre, double span,
              int steps) const;
  Fit searchFrom(double from, double to) const;          // the best framing starting in [from, to]
  void states(double t0, double bit, int* state) const;  // per bit: +1 mark, -1 space, 0 lost
  void edgesOf(double t0, double bit, const int* state, RunChar& c) const;
  void refineByEdges(Fit& f) const;
  double predicted() const;  // where the run's next character is due, or -1 without a run
  bool fitRun();
  void joinRun(double t0, double bit, const int* state, bool clear);

  void frame(long q, bool flywheel);
  void decide(double t0, double bit, bool timely, long q, bool flywheel);
  int likeliest(double t0, double bit) const;
  void accept(Heard h);
  void measure(long t0, double bit, Heard& h) const;

  Tones tones_;
  int rate_;
  double bit_;    // samples per bit, nominal
  int half_;      // samples in a half-bit window
  double floor_;  // energy of a half bit below which there is no signal
  std::vector<double> offsets_;
  std::vector<std::complex<double>> phasor_, turn_, sum_, running_;
  // The last half bit of x * phasor for each correlator ([correlator][half_]) and of x * x. The
  // sums over them (sum_, energy_) are kept by adding what comes and taking off what leaves, and
  // summed afresh from these each time the ring comes round, so that no rounding builds up over a
  // long run.
  std::vector<std::complex<double>> products_;
  std::vector<double> squares_;
  double energy_ = 0, squaresSum_ = 0;
  // The audio through a filter of second-order sections, and the sum of its squares over the last
  // half bit, kept like energy_: the tones' purity is measured against the power in their band, so
  // that noise outside it (up to half of any sample rate) does not count against them.
  struct Section {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
  };
  struct Filtered {
    std::vector<Section> sections;
    std::vector<double> squares;
    double energy = 0;
    void step(double x, long r);
  };
  Filtered band_, below_;
  // Whether a TTY's tones are on the line, from the last half second or so: the power at each
  // tone against the power halfway between them, measured over each half bit and averaged. Noise
  // spreads its power over the band, speech puts most of its own below it; only a TTY keeps
  // putting power at both tones and little between them.
  std::complex<double> midPhasor_{1, 0}, midTurn_{1, 0}, midSlide_{0, 0};
  std::vector<std::complex<double>> midProducts_;  // the last half bit of x * midPhasor_
  double markAvg_ = 0, spaceAvg_ = 0, midAvg_ = 0, belowAvg_ = 0, bandAvg_ = 0;
  int averaged_ = 0;  // half bits in the averages, up to 90
  bool present_ = false;
  std::vector<Slot> history_;
  long mask_;
  long n_ = 0;         // samples taken
  long scan_ = 0;      // next position to look for a start bit at
  long pending_ = -1;  // position where a start bit was seen, waiting for the rest
  long decideAt_ = 0;
  bool flywheel_ = false;  // the pending start bit is where the flywheel expects one
  // Half-bit energy of the recent characters, for telling lost audio (silence) from quiet tones.
  // It belongs to one transmission: forgotten when the carrier goes, and brought down within a few
  // characters when the tones go on quieter (toneLevels_).
  double level_ = 0;
  // The most half-bit energy where the tones were clear, in each of the last 32 half bits (0: no
  // clear tone there), and in the one being heard.
  std::vector<double> toneLevels_;
  std::size_t toneLevelAt_ = 0;
  double toneLevel_ = 0;
  double toneAmp_ = 0, noiseVar_ = 0;  // of the recent characters: tone amplitude, noise power
  // And per sample over each data bit, at the tone sent and at the other (noise alone).
  double onPower_ = 0, offPower_ = 0;
  static constexpr double kUnknownSnr = 1e9;
  double freqError_ = 0, snr_ = kUnknownSnr;  // and the tones' frequency error (Hz) and SNR (dB)
  int narrow_ = -1;           // the one correlator per tone bits are heard by, or -1: the best of the bank
  std::vector<RunChar> run_;  // the last characters of the present run
  double runT0_ = 0, period_ = 0, runBit_ = 0;  // its lattice: character k starts at runT0_ + k * period_
  long expected_ = -1;  // where the next start bit is due in a run of characters, or -1
  // A LTRS whose start bit was lost: all mark where a character was due. It is taken when the next
  // character comes on time, which the carrier held between characters does not do.
  bool tentative_ = false;
  Heard tentativeHeard_;
  double senderBit_ = 0;  // the sender's bit length in samples as measured, 0 before it is known
  bool figures_ = false;
  bool carrierOn_ = false;
  long toneRun_ = 0, quietRun_ = 0;
  long rejected_ = 0, doubtful_ = 0;
  long end_ = -1;           // where the audio ended (flush), or -1
  bool lastClear_ = false;  // the last code framed was not doubtful
  std::vector<Heard> heard_;
  std::vector<CarrierChange> carrierChanges_;
};

}  // namespace tty
