// SPDX-License-Identifier: Apache-2.0
#include "tones.h"

#include <cmath>
#include <numbers>

#include "baudot.h"

namespace tty {

Encoder::Encoder(Tones tones, SenderQuirks quirks) : tones_(tones), quirks_(quirks), random_(quirks.seed) {}

void Encoder::tone(bool mark, double bits, std::vector<float>& out) {
  // Bit edges fall on the sample nearest their exact time, so that a long run keeps its rate.
  clock_ += bits * tones_.samplesPerBit() * (1 + quirks_.timing);
  const long end = std::lround(clock_);
  const double hz = (mark ? tones_.markHz : tones_.spaceHz) + quirks_.offsetHz;
  const double step = 2 * std::numbers::pi * hz / tones_.rate;
  if (quirks_.phaseJumps > 0) {
    // splitmix64 steps: the same jumps for the same seed everywhere.
    auto next = [this] {
      std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ULL);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    };
    if (next() < quirks_.phaseJumps * bits) phase_ += 2 * std::numbers::pi * next();
  }
  for (; written_ < end; ++written_) {
    out.push_back(static_cast<float>(tones_.amplitude * std::sin(phase_)));
    phase_ += step;
  }
  phase_ = std::fmod(phase_, 2 * std::numbers::pi);
}

void Encoder::startCarrier(std::vector<float>& out) {
  if (carrier_) return;
  carrier_ = true;
  shiftSent_ = false;
  tone(true, tones_.leadIn * tones_.baud, out);
}

void Encoder::putCode(int code, std::vector<float>& out) {
  startCarrier(out);
  tone(false, 1, out);
  for (int bit = 0; bit < 5; ++bit) tone(((code >> bit) & 1) != 0, 1, out);
  tone(true, tones_.stopBits, out);
  if (code == baudot::kFigs || code == baudot::kLtrs) {
    figures_ = code == baudot::kFigs;
    shiftSent_ = true;
    afterSpace_ = false;
  }
}

bool Encoder::put(unsigned char c, std::vector<float>& out) {
  auto code = baudot::encode(c, tones_.figures);
  if (!code) return false;
  startCarrier(out);
  // A receiver that missed earlier shifts (it was not listening, or a shift was garbled) is told
  // the shift again at the start of each transmission.
  // Receivers that fall back to letters after a space read a figure after a space right only when
  // FIGS comes again; the others lose nothing by it.
  bool wantFigures = code->shift == baudot::Shift::Both ? figures_ : code->shift == baudot::Shift::Figures;
  bool figureAfterSpace = afterSpace_ && code->shift == baudot::Shift::Figures;
  if (!shiftSent_ || wantFigures != figures_ || figureAfterSpace)
    putCode(wantFigures ? baudot::kFigs : baudot::kLtrs, out);
  putCode(code->code, out);
  if (code->code == baudot::kSpace) {
    afterSpace_ = true;
    if (quirks_.unshiftOnSpace) figures_ = false;
  }
  return true;
}

void Encoder::hold(double seconds, std::vector<float>& out) {
  startCarrier(out);
  tone(true, seconds * tones_.baud, out);
}

std::vector<float> Encoder::transmission(std::string_view text, const Tones& tones,
                                         const SenderQuirks& quirks, double tail) {
  Encoder e(tones, quirks);
  std::vector<float> out;
  for (char c : text) e.put(static_cast<unsigned char>(c), out);
  if (e.carrier()) e.hold(tail, out);
  return out;
}

}  // namespace tty
