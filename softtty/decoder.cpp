#include "decoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "baudot.h"

namespace softtty {
namespace {

constexpr double kTau = 2 * std::numbers::pi;
// A candidate start bit, and a frame, need tones at least this pure: the share of the power in the
// band that the strongest correlator holds. White noise gives about 2 / (samples in half a bit),
// a clean tone 1, a tone at 0 dB SNR about 0.5.
constexpr float kEdgePurity = 0.2f;
constexpr double kFramePurity = 0.2;
constexpr float kCarrierPurity = 0.3f;
constexpr double kCarrierOff = 0.15;  // seconds without tones before the carrier counts as gone
// Bit durations tried when framing a character, as fractions of the nominal one.
constexpr double kTimingSpan = 0.06;
constexpr int kTimingSteps = 9;

}  // namespace

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
    }
  }
  products_.assign(phasor_.size() * half_, {0, 0});
  squares_.assign(half_, 0);
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

float Decoder::soft(long pos) const {
  const Slot& s = at(pos);
  if (s.energy < floor_) return 0;
  return (s.em - s.es) / (s.em + s.es + 1e-30f);
}

float Decoder::purity(long pos) const {
  const Slot& s = at(pos);
  if (s.energy < floor_) return 0;
  return 2 * std::max(s.em, s.es) / (static_cast<float>(half_) * s.energy);
}

void Decoder::feed(const float* samples, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    step(samples[i]);
    work();
  }
}

void Decoder::flush() {
  std::vector<float> zeros(static_cast<std::size_t>(9 * bit_), 0.0f);
  feed(zeros);
}

void Decoder::restart() {
  pending_ = -1;
  scan_ = n_;
  expected_ = -1;
  lastStart_ = -1;
  senderBit_ = 0;
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
    const float e = std::norm(slot.c[i]);
    if (i < banks / 2) {
      em = std::max(em, e);
    } else {
      es = std::max(es, e);
    }
  }
  if ((n_ & 1023) == 0) {
    for (auto& p : phasor_) p /= std::abs(p);
  }
  const double sq = x * x;
  energy_ = std::max(0.0, energy_ + sq - squares_[r]);
  squares_[r] = static_cast<float>(sq);
  slot.em = em;
  slot.es = es;
  slot.energy = static_cast<float>(energy_);
  slot.x = xf;
  ++n_;

  // The carrier: tones present for a bit, gone after a while without them (a lost audio frame or
  // two does not end it).
  const bool tone = purity(n_) > kCarrierPurity;
  if (tone) {
    ++toneRun_;
    quietRun_ = 0;
    if (!carrierOn_ && toneRun_ >= 2 * half_) {
      carrierOn_ = true;
      carrierChanges_.push_back({std::max(0.0, static_cast<double>(n_ - toneRun_ - half_) / rate_), true});
    }
  } else {
    toneRun_ = 0;
    ++quietRun_;
    if (carrierOn_ && quietRun_ >= kCarrierOff * rate_) {
      carrierOn_ = false;
      senderBit_ = 0;  // the next transmission may come at another rate
      carrierChanges_.push_back({static_cast<double>(n_ - quietRun_) / rate_, false});
    }
  }
}

bool Decoder::quiet(long pos) const {
  return at(pos).energy < std::max(floor_, 0.05 * level_);
}

bool Decoder::candidate(long q) const {
  // Space in the half bit before q, and mark a bit before that (or a little earlier when an audio
  // frame was lost there), both clearly tones.
  if (soft(q) >= -0.2f || purity(q) <= kEdgePurity) return false;
  for (long back : {3L * half_ / 2, 2L * half_, 5L * half_ / 2}) {
    const long before = q - back;
    if (quiet(before)) continue;
    return soft(before) > 0.2f && purity(before) > kEdgePurity;
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
      // last; when an audio frame was lost where it is due, the character is framed there.
      if (expected_ >= 0 && scan_ >= expected_ + 2 * half_) {
        const long due = expected_;
        expected_ = -1;
        bool lost = false;
        for (long p = due; p <= due + 2 * half_; p += half_ / 2) lost = lost || quiet(p);
        if (lost) {
          found = true;
          flywheel_ = true;
          scan_ = due + half_ / 2;
          break;
        }
      }
    }
    if (!found) return;
    pending_ = scan_;
    const long edge = scan_ - half_ / 2;
    decideAt_ = edge + half_ / 2 + static_cast<long>(std::ceil(7 * (1 + kTimingSpan) * bit_)) + 2;
  }
}

void Decoder::frame(long q, bool flywheel) {
  const long edge = q - half_ / 2;
  // How mark-like (+1) or space-like (-1) the span [from, to) is, from its two half-bit windows.
  auto bitValue = [this](double from, double bit) {
    const Slot& a = at(std::lround(from + bit / 2));
    const Slot& b = at(std::lround(from + bit));
    const float m = a.em + b.em, s = a.es + b.es;
    return (m - s) / (m + s + 1e-30f);
  };
  double best = -1e9, bestT0 = 0, bestBit = bit_;
  const int stride = std::max(1, half_ / 40);
  // An audio frame lost just before the space was seen may have taken the start of the start bit.
  long early = half_ / 2, late = half_ / 2;
  for (long back = half_ / 2; back <= 2 * half_; back += half_ / 2) {
    if (quiet(q - back)) early = 3 * half_ / 2;
  }
  // The flywheel knows where the character starts.
  if (flywheel) early = late = half_ / 4;
  // Once the sender's bit length is known, small departures from it are tried first: a character
  // with few changes between mark and space fits many lengths. Only when none fits well are all
  // lengths tried.
  auto search = [&](double centre, double span, int steps) {
    for (int k = 0; k < steps; ++k) {
      const double bit = centre * (1 - span + 2 * span * k / (steps - 1));
      for (long t0 = edge - early; t0 <= edge + late; t0 += stride) {
        const double start = static_cast<double>(t0);
        double score = 0.5 * soft(t0) - bitValue(start, bit) + bitValue(start + 6 * bit, bit);
        for (int j = 1; j <= 5; ++j) score += std::fabs(bitValue(start + j * bit, bit));
        if (score > best) {
          best = score;
          bestT0 = start;
          bestBit = bit;
        }
      }
    }
  };
  if (senderBit_ > 0) search(senderBit_, 0.015, 3);
  if (senderBit_ <= 0 || best < 6) search(bit_, kTimingSpan, kTimingSteps);

  double values[7];
  bool erased[7];
  double tone = 0, total = 0;
  for (int j = 0; j < 7; ++j) {
    const double from = bestT0 + j * bestBit;
    values[j] = bitValue(from, bestBit);
    const long a = std::lround(from + bestBit / 2), b = std::lround(from + bestBit);
    erased[j] = quiet(a) && quiet(b);
    tone += std::max(at(a).em + at(b).em, at(a).es + at(b).es);
    total += at(a).energy + at(b).energy;
  }
  const double framePurity = total > 2 * floor_ ? 2 * tone / (half_ * total) : 0;
  // A start bit lost with its audio frame is taken only where the flywheel expects one, and not
  // when everything after it is mark: that is the carrier held between characters.
  bool allMark = true;
  for (int j = 1; j <= 5; ++j) allMark = allMark && values[j] > 0;
  const bool startOk = values[0] < -0.2 || (flywheel && erased[0] && !allMark);
  const bool stopOk = values[6] > 0.2 || erased[6];
  if (!startOk || !stopOk || framePurity < kFramePurity) {
    ++rejected_;
    scan_ = q + half_ / 2;
    return;
  }

  Heard h;
  h.time = bestT0 / rate_;
  double confidence = std::min(erased[0] ? 0.0 : -values[0], erased[6] ? 0.0 : values[6]);
  for (int j = 1; j <= 5; ++j) {
    if (values[j] > 0) h.code |= 1 << (j - 1);
    confidence = std::min(confidence, std::fabs(values[j]));
  }
  h.confidence = std::clamp(confidence, 0.0, 1.0);
  namespace baudot = ttysim::baudot;
  if (h.code == baudot::kFigs || h.code == baudot::kLtrs) {
    h.shift = true;
    // A sender that says FIGS again after a space writes for receivers that fall back to letters
    // on a space; from then on a space does that here too, so that a lost LTRS garbles one word
    // and not everything up to the next shift.
    if (h.code == baudot::kFigs && lastCode_ == 4 && figures_) unshiftOnSpace_ = true;
    figures_ = h.code == baudot::kFigs;
  } else {
    h.ch = baudot::decode(h.code, figures_ ? baudot::Shift::Figures : baudot::Shift::Letters);
    if (h.code == 4 && unshiftOnSpace_) figures_ = false;
  }
  lastCode_ = h.code;
  measure(std::lround(bestT0), bestBit, h);
  heard_.push_back(h);
  scan_ = std::lround(bestT0 + 7 * bestBit);

  // The signal's level, for telling lost audio from quiet tones; the period of characters sent
  // back to back, for the flywheel.
  level_ = level_ == 0 ? total / 14 : 0.8 * level_ + 0.2 * total / 14;
  int changes = 0;
  for (int j = 0; j < 6; ++j) changes += (values[j] > 0) != (values[j + 1] > 0);
  if (changes >= 3 && h.confidence > 0.5)
    senderBit_ = senderBit_ > 0 ? 0.8 * senderBit_ + 0.2 * bestBit : bestBit;
  const double period = bestT0 - lastStart_;
  if (lastStart_ >= 0 && period > 7 * bit_ * (1 - kTimingSpan) && period < 9 * bit_ * (1 + kTimingSpan)) {
    period_ = period;
    expected_ = std::lround(bestT0 + period_);
  } else {
    expected_ = -1;
  }
  lastStart_ = bestT0;
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

}  // namespace softtty
