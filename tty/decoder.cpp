// SPDX-License-Identifier: Apache-2.0
#include "decoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "baudot.h"

namespace tty {
namespace {

constexpr double kTau = 2 * std::numbers::pi;
// A candidate start bit, and a frame, need tones at least this pure: the share of the power in the
// band that the strongest correlator holds. White noise gives about 2 / (samples in half a bit),
// a clean tone 1, a tone at 0 dB SNR about 0.5.
constexpr float kEdgePurity = 0.2f;
constexpr double kFramePurity = 0.2;
constexpr float kCarrierPurity = 0.3f;
// The same measured against the power in the tones' band alone (the share of it the strongest
// correlator holds), which does not fall with noise outside the band, at any sample rate. Noise
// confined to 1200-2000 Hz gives frames of up to about 0.4 there, white noise up to 0.25, a
// character at 9 dB below white noise over 4 kHz 0.3 to 0.5. A half bit varies more: edges need
// more, which spares the search for a framing where there is only noise.
constexpr float kBandEdgePurity = 0.45f;
constexpr double kBandFramePurity = 0.3;
// Speech has most of its power below the tones' band; tones in noise have less there than in it.
constexpr double kSpeechBelow = 1.0;
// A TTY is on the line when, over the last half second, each tone holds this many times the power
// found between them: noise gives up to about 2.4, speech up to 5 (with most of its power below the
// band), a transmission 9 dB below white noise 2.5 to 5 (2.9 and up 95 % of the time).
constexpr double kPresentRatio = 2.6;
constexpr double kPresentBelow = 1.5;
// And a frame is one of its characters when its tones hold this many times the power between
// them: noise frames have a median of about 2 (10 % above 3.5), characters 9 dB below white noise
// 7 (99 % above 3.4).
constexpr double kPresentFrameRatio = 3.5;
// While one is: the purity that will do, and the confidence below which a code is doubtful.
constexpr float kPresentEdgePurity = 0.2f;
constexpr double kPresentFramePurity = 0.2;
constexpr double kDoubtPresent = 0.2;
// Below this SNR (dB, in a 4 kHz band) a transmission's bits are heard by one correlator per tone,
// the one nearest the sender's frequency.
constexpr double kNarrowBelowDb = -7.5;
constexpr double kCarrierOff = 0.15;  // seconds without tones before the carrier counts as gone
// Bit durations tried when framing a character, as fractions of the nominal one.
constexpr double kTimingSpan = 0.06;
constexpr int kTimingSteps = 9;
// How far a character of a run may be from where it is due when no edge was seen there: a frame
// of 20 ms played twice or left out moves it by 0.9 bits.
constexpr double kSlip = 1.2;
constexpr long kRebase = (1L << 20) - 1;  // samples between restarts of the running sums
// Start bit to start bit of characters sent one after another at a steady pace, in bits, 6 %
// either way: from back to back after a 1-bit stop, to 6 bits of mark between characters (a
// 1.5-bit stop and the carrier a TTY holds after each character of text typed ahead: ttysim's
// line holds 3 bits). Two characters further apart than back to back after a 2-bit stop start a
// run only when both were clear: far below the noise, two characters framed a little off would
// otherwise start runs on a wrong period.
constexpr double kShortestPeriod = 7 * (1 - kTimingSpan);
constexpr double kLongestBackToBack = 9 * (1 + kTimingSpan);
constexpr double kLongestPeriod = 12 * (1 + kTimingSpan);
constexpr double kClearRun = 0.6;
// How much better (in tone amplitude per sample) a character's own framing must fit than the run's
// lattice to be taken instead of it.
constexpr double kLatticeMargin = 0.5;
// How often a sender's phase jumps within a bit, for weighing a bit's tone over the whole bit
// against each half on its own.
constexpr double kPhaseJump = 0.05;
// How far off frequency (Hz, mean of both tones) a character's tones may be: the bank's outer
// correlators sit 40 Hz either side of each tone, and a tone twice as far off reaches them only
// through their skirts.
constexpr double kFarthestOffHz = 80;
constexpr std::size_t kRunKept = 12;  // characters of a run its lattice is fitted to
// The tones' band that purity is measured in: both tones with room for senders well off frequency
// (second-order edges).
constexpr double kBandLowHz = 1000, kBandHighHz = 2200;
// Below the band: where speech has most of its power and tones none (second-order edge: the tones
// leave less than a fifth of their power there).
constexpr double kBelowHz = 900;

}  // namespace

// A Butterworth high-pass or low-pass of fourth (or second) order at hz: second-order sections
// (bilinear transform). Nothing for a low-pass at or above half the sample rate.
template <typename Section>
void addEdge(std::vector<Section>& out, bool highPass, double hz, int rate, int order = 4) {
  if (!highPass && hz >= 0.45 * rate) return;
  const std::vector<double> qs =
      order == 4 ? std::vector<double>{0.5412, 1.3066} : std::vector<double>{0.7071};
  for (double q : qs) {
    const double w = kTau * hz / rate, alpha = std::sin(w) / (2 * q), cosw = std::cos(w);
    const double a0 = 1 + alpha;
    Section s;
    s.b0 = s.b2 = (highPass ? (1 + cosw) / 2 : (1 - cosw) / 2) / a0;
    s.b1 = (highPass ? -(1 + cosw) : 1 - cosw) / a0;
    s.a1 = -2 * cosw / a0;
    s.a2 = (1 - alpha) / a0;
    out.push_back(s);
  }
}

void Decoder::Filtered::step(double x, long r) {
  for (Section& f : sections) {
    const double y = f.b0 * x + f.z1;
    f.z1 = f.b1 * x - f.a1 * y + f.z2;
    f.z2 = f.b2 * x - f.a2 * y;
    x = y;
    // Silence after a sound would leave the state decaying through subnormal numbers, which cost
    // a hundred times as much to compute with.
    if (std::fabs(f.z1) < 1e-30) f.z1 = 0;
    if (std::fabs(f.z2) < 1e-30) f.z2 = 0;
  }
  const double sq = x * x;
  energy = std::max(0.0, energy + sq - squares[r]);
  squares[r] = sq;
  if (r == static_cast<long>(squares.size()) - 1) {
    energy = 0;
    for (double v : squares) energy += v;
  }
}

Decoder::Decoder(const Tones& tones) : tones_(tones), rate_(tones.rate) {
  bit_ = tones.samplesPerBit();
  half_ = std::max(2, static_cast<int>(std::lround(bit_ / 2)));
  floor_ = half_ * 0.5 * 1e-7;  // a sine 70 dB below full scale
  for (int k = 0; k < kBank; ++k) offsets_.push_back(20.0 * (k - kBank / 2));
  for (double base : {tones.markHz, tones.spaceHz}) {
    for (double off : offsets_) {
      phasor_.emplace_back(1, 0);
      turn_.push_back(std::polar(1.0, -kTau * (base + off) / rate_));
      sum_.emplace_back(0, 0);
      running_.emplace_back(0, 0);
    }
  }
  products_.assign(phasor_.size() * half_, {0, 0});
  squares_.assign(half_, 0);
  addEdge(band_.sections, true, kBandLowHz, rate_, 2);
  addEdge(band_.sections, false, kBandHighHz, rate_, 2);
  addEdge(below_.sections, false, kBelowHz, rate_, 2);
  midProducts_.assign(half_, {0, 0});
  midTurn_ = std::polar(1.0, -kTau * (tones.markHz + tones.spaceHz) / 2 / rate_);
  band_.squares.assign(half_, 0);
  below_.squares.assign(half_, 0);
  toneLevels_.assign(32, 0.0);  // 16 bits: about two characters
  long size = 1;
  while (size < static_cast<long>(20 * bit_)) size *= 2;
  history_.assign(size, Slot{});
  mask_ = size - 1;
}

const Decoder::Slot& Decoder::at(long pos) const {
  static const Slot kNothing{};
  // The window covering [pos - half, pos): stored with its last sample.
  long i = pos - 1;
  if (i < 0 || i >= n_ || i < n_ - static_cast<long>(history_.size())) return kNothing;
  return history_[i & mask_];
}

const Decoder::Slot& Decoder::sums(long pos) const {
  return at(std::clamp(pos, n_ - static_cast<long>(history_.size()) + 1, n_));
}

float Decoder::soft(long pos) const {
  const Slot& s = at(pos);
  if (s.energy < floor_) return 0;
  return (s.em - s.es) / (s.em + s.es + 1e-30f);
}

float Decoder::bandPurity(long pos) const {
  const Slot& s = at(pos);
  if (s.energy < floor_ || s.below > kSpeechBelow * s.band) return 0;
  return 2 * std::max(s.em, s.es) / (static_cast<float>(half_) * s.band);
}

bool Decoder::edgePure(long pos) const {
  return purity(pos) > kEdgePurity || bandPurity(pos) > (present_ ? kPresentEdgePurity : kBandEdgePurity);
}

float Decoder::purity(long pos) const {
  const Slot& s = at(pos);
  if (s.energy < floor_) return 0;
  return 2 * std::max(s.em, s.es) / (static_cast<float>(half_) * s.energy);
}

void Decoder::feed(const float* samples, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const float x = samples[i];
    step(std::isfinite(x) ? std::clamp(x, -kLoudest, kLoudest) : 0.0f);
    work();
  }
}

void Decoder::flush() {
  if (end_ < 0) end_ = n_;
  std::vector<float> zeros(static_cast<std::size_t>(9 * bit_), 0.0f);
  feed(zeros);
}

void Decoder::restart() {
  forgetLevel();
  markAvg_ = spaceAvg_ = midAvg_ = belowAvg_ = bandAvg_ = 0;
  averaged_ = 0;
  present_ = false;
  pending_ = -1;
  scan_ = n_;
  expected_ = -1;
  run_.clear();
  tentative_ = false;
  senderBit_ = 0;
}

void Decoder::forgetLevel() {
  level_ = toneLevel_ = 0;
  freqError_ = 0;
  snr_ = kUnknownSnr;
  narrow_ = -1;
  std::fill(toneLevels_.begin(), toneLevels_.end(), 0.0);
  toneAmp_ = noiseVar_ = onPower_ = offPower_ = 0;
}

std::vector<Heard> Decoder::take() {
  std::vector<Heard> out;
  out.swap(heard_);
  return out;
}

std::vector<CarrierChange> Decoder::takeCarrierChanges() {
  std::vector<CarrierChange> out;
  out.swap(carrierChanges_);
  return out;
}

void Decoder::step(float xf) {
  const double x = xf;
  const long r = n_ % half_;
  const std::size_t banks = sum_.size();
  Slot& slot = history_[n_ & mask_];
  float em = 0, es = 0;
  for (std::size_t i = 0; i < banks; ++i) {
    std::complex<double>& old = products_[i * half_ + r];
    const std::complex<double> p = x * phasor_[i];
    sum_[i] += p - old;
    old = p;
    phasor_[i] *= turn_[i];
    slot.c[i] = std::complex<float>(sum_[i]);
    running_[i] += p;
    slot.sum[i] = running_[i];
    const float e = std::norm(slot.c[i]);
    if (i < banks / 2) {
      em = std::max(em, e);
    } else {
      es = std::max(es, e);
    }
  }
  if ((n_ & 1023) == 0) {
    for (auto& p : phasor_) p /= std::abs(p);
    midPhasor_ /= std::abs(midPhasor_);
  }
  if ((n_ & kRebase) == kRebase) {
    // The running sums start again from zero now and then, so that they stay small enough for the
    // differences over a few bits to keep their precision however long the program runs.
    for (Slot& s : history_) {
      for (std::size_t i = 0; i < banks; ++i) s.sum[i] -= running_[i];
      s.squares -= squaresSum_;
    }
    for (auto& v : running_) v = 0;
    squaresSum_ = 0;
  }
  const std::complex<double> mp = x * midPhasor_;
  midSlide_ += mp - midProducts_[r];
  midProducts_[r] = mp;
  midPhasor_ *= midTurn_;
  const double sq = x * x;
  energy_ = std::max(0.0, energy_ + sq - squares_[r]);
  squares_[r] = sq;
  if (r == half_ - 1) {
    energy_ = 0;
    for (double v : squares_) energy_ += v;
    midSlide_ = 0;
    for (const auto& v : midProducts_) midSlide_ += v;
    for (std::size_t i = 0; i < banks; ++i) {
      std::complex<double> exact = 0;
      for (long k = 0; k < half_; ++k) exact += products_[i * half_ + k];
      sum_[i] = exact;
    }
  }
  band_.step(x, r);
  below_.step(x, r);
  squaresSum_ += sq;
  slot.squares = squaresSum_;
  slot.band = static_cast<float>(band_.energy);
  slot.below = static_cast<float>(below_.energy);
  slot.mid = static_cast<float>(std::norm(midSlide_));
  slot.em = em;
  slot.es = es;
  slot.energy = static_cast<float>(energy_);
  slot.x = xf;
  ++n_;

  // The carrier: tones present for a bit, gone after a while without them (a lost audio frame or
  // two does not end it).
  // Far below the noise the tones hold too little of all the power for that, but while a TTY is
  // evidently on the line they still stand out in their own band.
  const bool tone = purity(n_) > kCarrierPurity || (present_ && bandPurity(n_) > kBandEdgePurity);
  if (tone) {
    ++toneRun_;
    quietRun_ = 0;
    toneLevel_ = std::max(toneLevel_, energy_);
    if (!carrierOn_ && toneRun_ >= 2 * half_) {
      carrierOn_ = true;
      carrierChanges_.push_back({std::max(0.0, static_cast<double>(n_ - toneRun_ - half_) / rate_), true});
    }
  }
  if (n_ % half_ == 0) {
    // Once a half bit: the power at the tones and between them over the last half second.
    const double a = 1.0 / 45;
    markAvg_ += a * (em - markAvg_);
    spaceAvg_ += a * (es - spaceAvg_);
    midAvg_ += a * (std::norm(midSlide_) - midAvg_);
    belowAvg_ += a * (below_.energy - belowAvg_);
    bandAvg_ += a * (band_.energy - bandAvg_);
    if (averaged_ < 90) ++averaged_;  // a second before the averages mean anything
    present_ = averaged_ >= 90 && std::min(markAvg_, spaceAvg_) > kPresentRatio * midAvg_ &&
               belowAvg_ < kPresentBelow * bandAvg_ && bandAvg_ > half_ * floor_;
  }
  if (n_ % half_ == 0) {
    // Once a half bit: a sender that went on quieter (a level step, the far end's turn after a
    // loud near end) brings the level characters are weighed by down with it, before its
    // characters could: otherwise its tones would count as lost audio, and never make the
    // characters that could bring it down. The loudest clear tone of the last two characters'
    // length says how loud it is now: a stretch a network faded or muted (a codec concealing lost
    // frames) is shorter and changes nothing, and lost audio is no tone at all.
    toneLevels_[toneLevelAt_] = toneLevel_;
    toneLevelAt_ = (toneLevelAt_ + 1) % toneLevels_.size();
    toneLevel_ = 0;
    const double loudest = *std::max_element(toneLevels_.begin(), toneLevels_.end());
    if (carrierOn_ && loudest > 0) level_ = std::min(level_, 4 * loudest);
  }
  if (!tone) {
    toneRun_ = 0;
    ++quietRun_;
    if (carrierOn_ && quietRun_ >= kCarrierOff * rate_) {
      carrierOn_ = false;
      senderBit_ = 0;  // the next transmission may come at another rate, level and noise
      forgetLevel();
      run_.clear();
      tentative_ = false;
      carrierChanges_.push_back({static_cast<double>(n_ - quietRun_) / rate_, false});
    }
  }
}

bool Decoder::quiet(long pos) const {
  return at(pos).energy < std::max(floor_, 0.05 * level_);
}

bool Decoder::candidate(long q) const {
  // Space in the half bit before q, and mark a bit before that (or a little earlier when an audio
  // frame was lost there), both clearly tones; or outside a transmission, silence before it.
  if (soft(q) >= -0.2f || !edgePure(q)) return false;
  // Outside a transmission, a sender with no lead-in starts its start bit straight out of
  // silence; and then a change from mark to space with hardly a bit of mark after silence before
  // it is one between that character's data bits, not a start bit.
  const bool outside = !carrierOn_ && run_.empty();
  for (long back : {3L * half_ / 2, 2L * half_, 5L * half_ / 2}) {
    const long before = q - back;
    if (quiet(before)) continue;
    if (soft(before) <= 0.2f || !edgePure(before)) return false;
    if (outside && quiet(before - 2 * half_)) return false;
    // Nor is one within a character that began straight out of silence but could not be framed
    // (its bits further from nominal than the framings tried): taken for a start bit, it would
    // give a confident wrong character.
    return !withinCharacterFromSilence(q - half_ / 2);
  }
  return outside;
}

bool Decoder::withinCharacterFromSilence(long edge) const {
  // Space right after silence (a tenth of a second or more: not an audio frame lost within a
  // transmission) less than a character before the edge.
  const long step = std::max(1, half_ / 4);
  for (long p = edge - std::lround(0.75 * bit_); p >= edge - std::lround(7.5 * bit_); p -= step) {
    if (quiet(p) && !quiet(p + half_) && soft(p + half_) < -0.2f && quiet(p - 4 * half_) &&
        quiet(p - 8 * half_) && quiet(p - 12 * half_))
      return true;
  }
  return false;
}

void Decoder::work() {
  for (;;) {
    if (pending_ >= 0) {
      if (n_ < decideAt_) return;
      const long q = pending_;
      pending_ = -1;
      frame(q, flywheel_);
      continue;
    }
    // Positions too old for the history are skipped.
    scan_ = std::max(scan_, n_ - static_cast<long>(history_.size()) + static_cast<long>(10 * bit_));
    bool found = false;
    for (; scan_ <= n_; ++scan_) {
      if (candidate(scan_)) {
        found = true;
        flywheel_ = false;
        break;
      }
      // In a run of characters sent back to back, the next start bit is due one period after the
      // last. When none was seen there (an audio frame lost over it, or noise), the character is
      // framed where it is due; if the line just holds mark there, the run has ended.
      if (expected_ >= 0 && scan_ >= expected_ + 2 * half_) {
        const long due = expected_;
        expected_ = -1;
        found = true;
        flywheel_ = true;
        scan_ = due + half_ / 2;
        break;
      }
    }
    if (!found) return;
    pending_ = scan_;
    // Without an edge, the character may start up to kSlip bits after it was due.
    const long edge = scan_ - half_ / 2 + (flywheel_ ? std::lround(kSlip * bit_) : 0);
    // Late enough for the longest framing tried and the changes measured around it.
    decideAt_ = edge + half_ + static_cast<long>(std::ceil(7.5 * (1 + kTimingSpan + 0.04) * bit_));
  }
}

Decoder::Bit Decoder::bitAt(double from, double bit) const {
  const long ends[3] = {std::lround(from), std::lround(from + bit / 2), std::lround(from + bit)};
  Bit r;
  for (int h = 0; h < 2; ++h) {
    const Slot& s0 = sums(ends[h]);
    const Slot& s1 = sums(ends[h + 1]);
    double mark = 0, space = 0;
    const int lo = narrow_ >= 0 ? narrow_ : 0, hi = narrow_ >= 0 ? narrow_ + 1 : kBank;
    for (int i = lo; i < hi; ++i) mark = std::max(mark, std::norm(s1.sum[i] - s0.sum[i]));
    for (int i = kBank + lo; i < kBank + hi; ++i) space = std::max(space, std::norm(s1.sum[i] - s0.sum[i]));
    r.mark[h] = std::sqrt(mark);
    r.space[h] = std::sqrt(space);
  }
  r.energy = sums(ends[2]).squares - sums(ends[0]).squares;
  return r;
}

double Decoder::wholeBit(double from, double bit, int tone) const {
  const Slot& s0 = sums(std::lround(from));
  const Slot& s1 = sums(std::lround(from + bit));
  const int lo = narrow_ >= 0 ? narrow_ : 0, hi = narrow_ >= 0 ? narrow_ + 1 : kBank;
  double best = 0;
  for (int i = tone * kBank + lo; i < tone * kBank + hi; ++i) best = std::max(best, std::norm(s1.sum[i] - s0.sum[i]));
  return best;
}

bool Decoder::lost(long from, long to) const {
  // Lost audio is silence: some stretch of a few milliseconds with hardly any energy.
  const long step = std::max(4, half_ / 4);
  const double least = 0.05 * std::max(level_, floor_) / half_ * static_cast<double>(step);
  for (long a = from; a + step <= to; a += step / 2) {
    if (sums(a + step).squares - sums(a).squares < least) return true;
  }
  return false;
}

// The start bit's edge for a start bit seen at q (space in the half bit before q): where the
// half-bit energies at mark and space cross, to a fraction of a sample, when mark stands clearly
// before it and space after it and no audio was lost around it; -1 otherwise.
double Decoder::edgeBefore(long q) const {
  const long lo = q - half_, hi = std::min(n_, q + half_ / 2);
  if (lo - 2 * half_ < 0 || lost(lo - 2 * half_, std::min(n_, hi + half_))) return -1;
  double crossing = -1;
  float prev = at(lo).em - at(lo).es;
  for (long pos = lo + 1; pos <= hi; ++pos) {
    const float now = at(pos).em - at(pos).es;
    if (prev > 0 && now <= 0) crossing = static_cast<double>(pos - 1) + prev / (prev - now);
    prev = now;
  }
  if (crossing < 0) return -1;
  const double edge = crossing - half_ / 2.0;
  const long before = std::lround(edge), after = std::lround(edge) + half_;
  if (before > n_ || after > n_) return -1;
  if (soft(before) < 0.5f || soft(after) > -0.5f || !edgePure(before) || !edgePure(after)) return -1;
  return edge;
}

// How well a framing fits: mark just before the start bit, the start bit space, five data bits
// each as clear as possible and the stop bit mark. Amplitudes rather than ratios, so that a bit
// an audio frame took away weighs only as much as what is left of it; per sample, or longer bits
// would gather more.
double Decoder::fitScore(double t0, double bit) const {
  double score = 0.5 * bitAt(t0 - bit / 2, bit / 2).diff() - bitAt(t0, bit).diff();
  for (int j = 1; j <= 5; ++j) score += std::fabs(bitAt(t0 + j * bit, bit).diff());
  return (score + bitAt(t0 + 6 * bit, bit).diff()) / bit;
}

void Decoder::search(Fit& best, double t0From, double t0To, double t0Step, double bitCentre, double span,
                     int steps) const {
  for (int k = 0; k < steps; ++k) {
    const double bit = steps == 1 ? bitCentre : bitCentre * (1 - span + 2 * span * k / (steps - 1));
    for (double t0 = t0From; t0 <= t0To + 1e-9; t0 += t0Step) {
      const double score = fitScore(t0, bit);
      if (score > best.score) best = {t0, bit, score};
    }
  }
}

Decoder::Fit Decoder::searchFrom(double from, double to) const {
  Fit f;
  const int stride = std::max(1, half_ / 40);
  // Once the sender's bit length is known, small departures from it are tried first: a character
  // with few changes between mark and space fits many lengths. Only when none fits well are all
  // lengths tried.
  const double known = run_.size() >= 2 ? runBit_ : senderBit_;
  if (known > 0) search(f, from, to, stride, known, 0.015, 3);
  double amplitude = 0;
  if (known > 0) {
    for (int j = 0; j < 7; ++j) amplitude += bitAt(f.t0 + j * f.bit, f.bit).total() / 7;
  }
  if (known <= 0 || f.score * f.bit < 5.5 * amplitude)
    search(f, from, to, stride, bit_, kTimingSpan, kTimingSteps);
  refineByEdges(f);
  return f;
}

void Decoder::states(double t0, double bit, int* state) const {
  const double bitEnergy = 2 * std::max(level_, floor_);
  for (int j = 0; j < 7; ++j) {
    const Bit b = bitAt(t0 + j * bit, bit);
    // A bit of which nothing is left (audio frames lost over all of it) says nothing.
    if (b.energy < 0.03 * bitEnergy) {
      state[j] = 0;
    } else {
      state[j] = j == 0 ? -1 : j == 6 ? 1 : b.diff() > 0 ? 1 : -1;
    }
  }
}

// Where the bits of a character framed at t0 change between mark and space, each measured where
// the half-bit energies at mark and space cross (a window straddling the change holds as much of
// either tone there), to a fraction of a sample. Changes next to lost audio are left out.
void Decoder::edgesOf(double t0, double bit, const int* state, RunChar& c) const {
  c.t0 = t0;
  c.edges = 0;
  for (int j = 0; j < 7; ++j) {
    const int before = j == 0 ? 1 : state[j - 1];
    if (before == 0 || state[j] == 0 || before == state[j]) continue;
    const double centre = t0 + j * bit + half_ / 2.0;  // where the window straddles the change evenly
    const long lo = std::lround(centre - 0.3 * bit);
    const long hi = std::min(n_, std::lround(centre + 0.3 * bit));
    if (lost(lo - half_, hi)) continue;
    auto f = [&](long pos) {
      const Slot& s = at(pos);
      return before > 0 ? s.em - s.es : s.es - s.em;
    };
    double crossing = -1, nearest = 1e9;
    float prev = f(lo);
    for (long pos = lo + 1; pos <= hi; ++pos) {
      const float now = f(pos);
      if (prev > 0 && now <= 0) {
        const double where = static_cast<double>(pos - 1) + prev / (prev - now);
        if (std::fabs(where - centre) < nearest) {
          nearest = std::fabs(where - centre);
          crossing = where;
        }
      }
      prev = now;
    }
    if (crossing < 0) continue;
    c.bitIndex[c.edges] = j;
    c.time[c.edges] = crossing - half_ / 2.0;
    ++c.edges;
  }
}

// A character's own changes between mark and space set its start and bit length more closely than
// its best fit does.
void Decoder::refineByEdges(Fit& f) const {
  int state[7];
  states(f.t0, f.bit, state);
  RunChar c;
  edgesOf(f.t0, f.bit, state, c);
  if (c.edges == 0) return;
  double sj = 0, st = 0, sjj = 0, sjt = 0;
  for (int e = 0; e < c.edges; ++e) {
    sj += c.bitIndex[e];
    st += c.time[e];
    sjj += c.bitIndex[e] * c.bitIndex[e];
    sjt += c.bitIndex[e] * c.time[e];
  }
  const double n = c.edges;
  double t0 = f.t0, bit = f.bit;
  const double det = n * sjj - sj * sj;
  if (c.edges >= 3 && det > n * 4) {
    bit = (n * sjt - sj * st) / det;
    t0 = (st - bit * sj) / n;
  } else {
    t0 = (st - f.bit * sj) / n;  // too few changes, or too close together, for the bit length
  }
  if (std::fabs(t0 - f.t0) < 0.2 * bit_ && std::fabs(bit / f.bit - 1) < 0.02) {
    f.t0 = t0;
    f.bit = bit;
    f.score = fitScore(t0, bit);
  }
}

double Decoder::predicted() const {
  return run_.size() < 2 ? -1 : runT0_ + static_cast<double>(run_.back().k + 1) * period_;
}

// The run's lattice: a least-squares fit of start, period and bit length to all the changes between
// mark and space of its last characters, each at start + k * period + bit index * bit length.
bool Decoder::fitRun() {
  double m[3][3] = {}, v[3] = {};
  for (const RunChar& c : run_) {
    for (int e = 0; e < c.edges; ++e) {
      const double x[3] = {1, static_cast<double>(c.k), static_cast<double>(c.bitIndex[e])};
      for (int r = 0; r < 3; ++r) {
        for (int s = 0; s < 3; ++s) m[r][s] += x[r] * x[s];
        v[r] += x[r] * c.time[e];
      }
    }
  }
  auto det3 = [](const double(*a)[3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det3(m);
  if (!(std::fabs(d) > 1e-6 * (m[0][0] * m[1][1] * m[2][2] + 1))) return false;
  double solution[3];
  for (int col = 0; col < 3; ++col) {
    double a[3][3];
    for (int r = 0; r < 3; ++r) {
      for (int s = 0; s < 3; ++s) a[r][s] = s == col ? v[r] : m[r][s];
    }
    solution[col] = det3(a) / d;
  }
  const double period = solution[1], bit = solution[2];
  if (!(period > kShortestPeriod * bit_ && period < kLongestPeriod * bit_ &&
        std::fabs(bit / bit_ - 1) < kTimingSpan + 0.01))
    return false;
  runT0_ = solution[0];
  period_ = period;
  runBit_ = bit;
  return true;
}

void Decoder::joinRun(double t0, double bit, const int* state, bool clear) {
  RunChar c;
  edgesOf(t0, bit, state, c);
  c.clear = clear;
  if (run_.size() >= 2) {
    // On the lattice, or one character further on when one was missed.
    const double late = t0 - predicted();
    const long m = std::lround(late / period_);
    if (m >= 0 && m <= 1 && std::fabs(late - static_cast<double>(m) * period_) < 0.25 * bit_) {
      c.k = run_.back().k + 1 + m;
      run_.push_back(c);
      if (run_.size() > kRunKept) run_.erase(run_.begin());
      if (fitRun()) return;
      run_.pop_back();
    }
  }
  if (!run_.empty()) {
    // Back to back with the last character: a run of two.
    const double gap = t0 - run_.back().t0;
    const double longest = clear && run_.back().clear ? kLongestPeriod : kLongestBackToBack;
    if (gap > kShortestPeriod * bit_ && gap < longest * bit_) {
      RunChar last = run_.back();
      last.k = 0;
      c.k = 1;
      run_ = {last, c};
      if (fitRun()) return;
    }
  }
  c.k = 0;
  run_ = {c};
}

void Decoder::frame(long q, bool flywheel) {
  const long edge = q - half_ / 2;
  const double due = predicted();
  const bool onLattice = due >= 0 && (flywheel || (static_cast<double>(edge) > due - 0.5 * bit_ &&
                                                   static_cast<double>(edge) < due + 1.5 * bit_));
  const double bitEnergy = 2 * std::max(level_, floor_);

  // Where the run says the character is.
  Fit lattice;
  double amplitude = 0;  // per sample there, mark and space together
  bool startLost = false;
  if (onLattice) {
    lattice = {due, runBit_, fitScore(due, runBit_)};
    for (int j = 0; j < 7; ++j) amplitude += bitAt(due + j * runBit_, runBit_).total() / (7 * runBit_);
    startLost = bitAt(due, runBit_).energy < 0.3 * bitEnergy;
  }
  // Where the start bit's own edge says it is. A sender's stop may be anything from one bit to
  // several, and its bits a millisecond off: the change from mark to space at the start bit, seen
  // clearly, places the character better than any run of characters before it.
  const double startEdge = flywheel ? -1 : edgeBefore(q);
  Fit free;
  if (startEdge >= 0) {
    free = searchFrom(startEdge - 0.1 * bit_, startEdge + 0.1 * bit_);
    // A frame played twice inside the character moves its later bits: in a run, a framing a
    // little later may read them all, and is taken when it fits clearly better.
    if (onLattice && !startLost) {
      const Fit later = searchFrom(due - 0.5 * bit_, due + kSlip * bit_);
      if (later.score > free.score + 1.5 * amplitude) free = later;
    }
    // Far below the noise, the edge and the character's own fit wander by a millisecond or two
    // and its bit length by a few per cent, where the run's lattice (fitted to the changes of
    // a dozen characters) does not: the lattice is kept unless the character clearly fits
    // better elsewhere, as when the sender paused or the audio slipped.
    if (onLattice && !startLost && free.score <= lattice.score + kLatticeMargin * amplitude) free = lattice;
    decide(free.t0, free.bit, onLattice && std::fabs(free.t0 - due) < 0.25 * bit_, q, flywheel);
    return;
  }
  // Without a clear edge, somewhere about where the run says: a frame played twice or left out
  // moves the rest of the run by most of a bit. Not when audio was lost over the start bit the
  // run expects: a change between the data bits after it would look like a start bit.
  if (flywheel && !startLost) {
    free = searchFrom(due - kSlip * bit_, due + kSlip * bit_);
  } else if (!flywheel) {
    // An audio frame lost just before the space was seen may have taken the start of the start bit.
    long early = half_ / 2;
    for (long back = half_ / 2; back <= 2 * half_; back += half_ / 2) {
      if (quiet(q - back)) early = 3 * half_ / 2;
    }
    double from = static_cast<double>(edge - early), to = static_cast<double>(edge + half_ / 2);
    // In a run, also a little later: a frame played twice inside the character moves its later
    // bits, and a framing between the two may read them all.
    if (onLattice && !startLost) {
      from = std::min(from, due - 0.5 * bit_);
      to = std::max(to, due + kSlip * bit_);
    }
    free = searchFrom(from, to);
  }
  // The run's framing unless the audio clearly says otherwise: the sender paused a little, or
  // the audio slipped.
  const Fit& best =
      onLattice && (startLost || free.score <= lattice.score + 1.5 * amplitude) ? lattice : free;
  decide(best.t0, best.bit, onLattice && std::fabs(best.t0 - due) < 0.25 * bit_, q, flywheel);
}

void Decoder::decide(double t0, double bit, bool timely, long q, bool flywheel) {
  const double bitEnergy = 2 * std::max(level_, floor_);
  double values[7];
  int state[7];
  states(t0, bit, state);
  double tone = 0, total = 0, inBand = 0, below = 0, between = 0;
  for (int j = 0; j < 7; ++j) {
    const double from = t0 + j * bit;
    values[j] = bitAt(from, bit).value();
    const long a = std::lround(from + bit / 2), e = std::lround(from + bit);
    tone += std::max(at(a).em + at(e).em, at(a).es + at(e).es);
    total += at(a).energy + at(e).energy;
    inBand += at(a).band + at(e).band;
    between += at(a).mid + at(e).mid;
    below += at(a).below + at(e).below;
  }
  const double framePurity = total > 2 * floor_ ? 2 * tone / (half_ * total) : 0;
  const double inBandPurity = total > 2 * floor_ ? 2 * tone / (half_ * std::max(inBand, 1e-30)) : 0;
  const bool startWeak = bitAt(t0, bit).energy < 0.3 * bitEnergy;
  // The tones on the line are this frame's only when it is about as loud in their band as they have
  // been: not noise or speech that followed a louder transmission.
  const bool present = present_ && inBand / 14 > 0.5 * bandAvg_ && tone > kPresentFrameRatio * between;
  bool ok =
      framePurity >= kFramePurity || (below <= (present ? kPresentBelow : kSpeechBelow) * inBand &&
                                      inBandPurity >= (present ? kPresentFramePurity : kBandFramePurity));
  if (timely) {
    // Where the run expects a character, one is taken unless the line holds mark there (the run
    // has ended): what is left of its bits beside lost audio is the best guess there is.
    ok = ok && (values[0] < 0.2 || startWeak);
  } else {
    ok = ok && values[0] < -0.1 && (values[6] > 0.1 || state[6] == 0);
  }
  if (!ok) {
    if (!flywheel) {
      ++rejected_;
      scan_ = q + half_ / 2;
    }
    if (timely) {
      run_.clear();
      expected_ = -1;
    }
    tentative_ = false;
    return;
  }

  if (tentative_) {
    // The LTRS held back counts when this character came one period after it.
    tentative_ = false;
    if (timely) accept(tentativeHeard_);
  }
  Heard h;
  h.time = t0 / rate_;
  double clear = 0;
  int heard = 0;
  for (int j = 0; j < 7; ++j) {
    if (j >= 1 && j <= 5 && state[j] > 0) h.code |= 1 << (j - 1);
    if (state[j] == 0) continue;
    clear += j == 0 ? -values[0] : j == 6 ? values[6] : std::fabs(values[j]);
    ++heard;
  }
  if (toneAmp_ > 0) h.code = likeliest(t0, bit);
  h.confidence = heard > 0 ? std::clamp(clear / heard, 0.0, 1.0) : 0.0;
  // A character cut off by the end of the audio (a recording stopped in the middle of it): what
  // was never heard is no lost audio to guess across.
  const bool cut = end_ >= 0 && t0 + 5.5 * bit > static_cast<double>(end_);
  // Where a run of characters had a character due right after a clear one, or while a TTY's tones
  // are evidently on the line, less clarity will do: noise makes no clear codes to follow, and
  // never looks like a TTY for long.
  const double doubt = present ? kDoubtPresent : timely && lastClear_ ? kDoubtInRun : kDoubt;
  h.doubtful = h.confidence < doubt || cut;
  measure(std::lround(t0), bit, h);
  // Tones further off than the correlators reach are read from their skirts: a character on its
  // own (no run of characters had it due) whose tones are that far off is no evidence.
  if (!timely && std::fabs(h.freqErrorHz) > kFarthestOffHz) h.doubtful = true;
  scan_ = std::lround(t0 + 7 * bit);
  if (timely && startWeak && h.code == baudot::kLtrs) {
    // Nothing but mark where a start bit is due: a LTRS whose start bit was lost, or the carrier
    // held after the last character. Only the next character on time tells them apart.
    tentative_ = true;
    tentativeHeard_ = h;
  } else {
    accept(h);
  }

  // What the next characters are weighed and framed by: the signal's level (for telling lost
  // audio from quiet tones), the tone's amplitude and the noise, the sender's bit length, and the
  // run of characters sent back to back.
  bool whole = !h.doubtful;
  for (int j = 0; j < 7; ++j) {
    whole = whole && state[j] != 0 && !lost(std::lround(t0 + j * bit), std::lround(t0 + (j + 1) * bit));
  }
  if (whole) {
    level_ = level_ == 0 ? total / 14 : 0.8 * level_ + 0.2 * total / 14;
    const double power = 0.5 * std::pow(10, h.levelDb / 10), snr = std::pow(10, h.snrDb / 10);
    const double signal = power * snr / (1 + snr);
    const double amp = std::sqrt(2 * signal), noise = power - signal;
    toneAmp_ = toneAmp_ == 0 ? amp : 0.8 * toneAmp_ + 0.2 * amp;
    noiseVar_ = noiseVar_ == 0 ? noise : 0.8 * noiseVar_ + 0.2 * noise;
    // The power at the tone sent and at the other over each data bit, per sample.
    for (int j = 1; j <= 5; ++j) {
      const int on = (h.code >> (j - 1)) & 1 ? 0 : 1;
      const double from = t0 + j * bit;
      const double onP = wholeBit(from, bit, on) / bit, offP = wholeBit(from, bit, 1 - on) / bit;
      onPower_ = onPower_ == 0 ? onP : 0.95 * onPower_ + 0.05 * onP;
      offPower_ = offPower_ == 0 ? offP : 0.95 * offPower_ + 0.05 * offP;
    }
    // Far below the noise, the bank's best correlator is as often noise's as the tone's: once
    // the sender's frequency is known, only the correlator nearest it is heard.
    freqError_ = 0.8 * freqError_ + 0.2 * h.freqErrorHz;
    snr_ = snr_ == kUnknownSnr ? h.snrDb : 0.8 * snr_ + 0.2 * h.snrDb;
    narrow_ = -1;
    // The SNR measured is against the noise up to half the sample rate; white noise has a share
    // of 4 kHz in the band a telephone carries.
    if (snr_ + 10 * std::log10(rate_ / 8000.0) < kNarrowBelowDb && present) {
      narrow_ = 0;
      for (int k = 1; k < kBank; ++k) {
        if (std::fabs(offsets_[k] - freqError_) < std::fabs(offsets_[narrow_] - freqError_)) narrow_ = k;
      }
    }
    int changes = 0;
    for (int j = 0; j < 6; ++j) changes += (values[j] > 0) != (values[j + 1] > 0);
    if (changes >= 3 && h.confidence > 0.5) senderBit_ = senderBit_ > 0 ? 0.8 * senderBit_ + 0.2 * bit : bit;
  }
  joinRun(t0, bit, state, h.confidence >= kClearRun);
  lastClear_ = !h.doubtful;
  expected_ = run_.size() >= 2 ? std::lround(predicted()) : -1;
}

namespace {

// The logarithm of the modified Bessel function I0, which weighs a tone of unknown phase.
double logI0(double x) {
  if (x < 1e-3) return x * x / 4;
  if (x < 30) return std::log(std::cyl_bessel_i(0.0, x));
  return x - 0.5 * std::log(kTau * x) + std::log1p(1 / (8 * x));
}

}  // namespace

int Decoder::likeliest(double t0, double bit) const {
  // Each data bit's evidence for mark against space as a log-likelihood ratio: a tone of known
  // amplitude and unknown phase in white noise. The tone keeps its phase through the bit unless
  // the sender's phase jumped in it: each tone's likelihood is that of one phase over the whole
  // bit, or (rarely) of a phase of its own in each half. Lost audio adds nothing, so a bit lost
  // whole has no evidence and one mostly lost has little.
  // The tone's amplitude and the noise as the correlators see them: the noise at the tone that
  // was not sent (in-band noise puts more there than its share of all the power says), and the
  // tone from what the one sent holds above that.
  double scale = toneAmp_ / std::max(noiseVar_, toneAmp_ * toneAmp_ * 1e-4);
  if (offPower_ > 0 && onPower_ > offPower_) scale = 2 * std::sqrt((onPower_ - offPower_) / bit) / offPower_;
  const double whole = std::log(1 - kPhaseJump), jumped = std::log(kPhaseJump);
  double llr[5];
  for (int j = 0; j < 5; ++j) {
    const double from = t0 + (j + 1) * bit;
    const Bit b = bitAt(from, bit);
    double like[2];
    for (int tone = 0; tone < 2; ++tone) {
      const double full = wholeBit(from, bit, tone);
      const double* halves = tone == 0 ? b.mark : b.space;
      const double a = whole + logI0(scale * std::sqrt(full));
      const double c = jumped + logI0(scale * halves[0]) + logI0(scale * halves[1]);
      like[tone] = std::max(a, c) + std::log1p(std::exp(-std::fabs(a - c)));
    }
    llr[j] = like[0] - like[1];
  }
  // What is likely before any evidence: the code gives the commonest characters the fewest marks,
  // and in figures a LTRS is due soon (every letter needs one). A FIGS gets no such help in
  // letters: taken wrongly, it would garble everything up to the next LTRS.
  const double perMark = std::log(0.4 / 0.6);
  int best = 0;
  double bestScore = -1e300;
  for (int code = 0; code < 32; ++code) {
    double score = figures_ && code == baudot::kLtrs ? 3.0 : 0.0;
    for (int j = 0; j < 5; ++j) score += (code >> j) & 1 ? perMark + llr[j] / 2 : -llr[j] / 2;
    if (score > bestScore) {
      bestScore = score;
      best = code;
    }
  }
  return best;
}

void Decoder::accept(Heard h) {
  if (h.doubtful) {
    ++doubtful_;
    h.shift = h.code == baudot::kFigs || h.code == baudot::kLtrs;
    if (!h.shift)
      h.ch =
          baudot::decode(h.code, figures_ ? baudot::Shift::Figures : baudot::Shift::Letters, tones_.figures);
    heard_.push_back(h);
    return;
  }
  if (h.code == baudot::kFigs || h.code == baudot::kLtrs) {
    h.shift = true;
    figures_ = h.code == baudot::kFigs;
  } else {
    h.ch = baudot::decode(h.code, figures_ ? baudot::Shift::Figures : baudot::Shift::Letters, tones_.figures);
    // Unshift on space: also keeps a lost LTRS from garbling more than one word.
    if (h.code == baudot::kSpace && tones_.unshiftOnSpace) figures_ = false;
  }
  heard_.push_back(h);
}

void Decoder::measure(long t0, double bit, Heard& h) const {
  // The tones' frequencies, from how far each bit's strongest correlator turns over a quarter bit.
  const long lag = std::max(1, half_ / 2);
  double turned[2] = {0, 0}, weight[2] = {0, 0};
  bool mark[7];
  for (int j = 0; j < 7; ++j) mark[j] = j == 6 || (j > 0 && ((h.code >> (j - 1)) & 1) != 0);
  for (int j = 0; j < 7; ++j) {
    const long end = std::lround(t0 + (j + 1) * bit);
    const Slot& now = at(end);
    const Slot& then = at(end - lag);
    const int first = mark[j] ? 0 : kBank;
    int k = first;
    for (int i = first; i < first + kBank; ++i) {
      if (std::norm(now.c[i]) > std::norm(now.c[k])) k = i;
    }
    const double w = std::norm(now.c[k]);
    const double hz = offsets_[k - first] + std::arg(now.c[k] * std::conj(then.c[k])) * rate_ / (kTau * lag);
    turned[mark[j] ? 0 : 1] += w * hz;
    weight[mark[j] ? 0 : 1] += w;
  }
  const double offMark = weight[0] > 0 ? turned[0] / weight[0] : 0;
  const double offSpace = weight[1] > 0 ? turned[1] / weight[1] : 0;
  h.freqErrorHz = (offMark + offSpace) / 2;

  // Tone power at those frequencies over the middle of each bit, against all power there.
  double tonePower = 0, allPower = 0;
  long count = 0;
  for (int j = 0; j < 7; ++j) {
    const long from = std::lround(t0 + (j + 0.15) * bit);
    const long to = std::lround(t0 + (j + 0.85) * bit);
    const double hz = mark[j] ? tones_.markHz + offMark : tones_.spaceHz + offSpace;
    // Least squares fit of a sine and a cosine at that frequency; what it leaves is noise.
    const double w = kTau * hz / rate_;
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0, e = 0;
    for (long m = from; m < to; ++m) {
      const double x = at(m + 1).x;  // the slot stored with sample m
      const double c = std::cos(w * static_cast<double>(m - from)),
                   s = std::sin(w * static_cast<double>(m - from));
      cc += c * c;
      ss += s * s;
      cs += c * s;
      xc += x * c;
      xs += x * s;
      e += x * x;
    }
    const long len = to - from;
    const double det = cc * ss - cs * cs;
    if (len <= 0 || det <= 0) continue;
    const double a = (xc * ss - xs * cs) / det, b = (xs * cc - xc * cs) / det;
    tonePower += a * xc + b * xs;
    allPower += e;
    count += len;
  }
  const double power = count > 0 ? allPower / static_cast<double>(count) : 0;
  const double signal = count > 0 ? tonePower / static_cast<double>(count) : 0;
  h.levelDb = 10 * std::log10(std::max(power, 1e-12) / 0.5);
  const double noise = std::max(power - signal, power * 1e-6);
  h.snrDb = std::clamp(10 * std::log10(std::max(signal, 1e-15) / noise), -20.0, 60.0);
  h.bitMs = 1000 * bit / rate_;
}

}  // namespace tty
