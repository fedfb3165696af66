// SPDX-License-Identifier: Apache-2.0
#include "impair.h"

#include <cmath>
#include <numbers>

namespace tty {

Impairer::Impairer(const Impairments& impairments, int rate, double tonePower)
    : imp_(impairments), random_(impairments.seed) {
  gain_ = std::pow(10.0, imp_.gainDb / 20);
  noiseSigma_ = imp_.snrDb ? std::sqrt(tonePower / std::pow(10.0, *imp_.snrDb / 10)) : 0;
  frameLength_ = static_cast<std::size_t>(std::max(1.0, std::round(imp_.frameMs * rate / 1000)));
  frame_.reserve(frameLength_);
  if (imp_.noiseHighHz > imp_.noiseLowHz) {
    band_ = bandPass(imp_.noiseLowHz, imp_.noiseHighHz, rate);
    taps_.assign(band_.size(), 0.0);
  }
}

std::vector<double> bandPass(double lowHz, double highHz, int rate, int taps) {
  std::vector<double> h(static_cast<std::size_t>(taps));
  const double lo = lowHz / rate, hi = highHz / rate, mid = (taps - 1) / 2.0;
  double power = 0;
  for (int i = 0; i < taps; ++i) {
    const double t = i - mid;
    auto sinc = [t](double f) {
      return t == 0 ? 2 * f : std::sin(2 * std::numbers::pi * f * t) / (std::numbers::pi * t);
    };
    const double window = 0.54 - 0.46 * std::cos(2 * std::numbers::pi * i / (taps - 1));  // Hamming
    h[static_cast<std::size_t>(i)] = (sinc(hi) - sinc(lo)) * window;
    power += h[static_cast<std::size_t>(i)] * h[static_cast<std::size_t>(i)];
  }
  // White noise of unit power through h has power sum(h^2); scaled back to unit power, all of it
  // now in the band.
  for (double& v : h) v /= std::sqrt(power);
  return h;
}

double Impairer::noise() {
  const double g = gaussian();
  if (band_.empty()) return g;
  taps_[tap_] = g;
  double y = 0;
  const std::size_t n = band_.size();
  for (std::size_t k = 0; k < n; ++k) y += band_[k] * taps_[(tap_ + n - k) % n];
  tap_ = (tap_ + 1) % n;
  return y;
}

// Built from the raw 64-bit draws, which the standard fixes, so every platform gets the same.
double Impairer::uniform() {
  return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

double Impairer::gaussian() {
  const double u = 1 - uniform();
  const double v = uniform();
  return std::sqrt(-2 * std::log(u)) * std::cos(2 * std::numbers::pi * v);
}

void Impairer::emitFrame(std::vector<float>& out) {
  ++stats_.frames;
  const double draw = uniform();
  if (draw < imp_.lost) {
    ++stats_.lost;
    out.insert(out.end(), frame_.size(), 0.0f);
  } else if (draw < imp_.lost + imp_.dropped) {
    ++stats_.dropped;
  } else if (draw < imp_.lost + imp_.dropped + imp_.repeated) {
    ++stats_.repeated;
    out.insert(out.end(), frame_.begin(), frame_.end());
    out.insert(out.end(), frame_.begin(), frame_.end());
  } else {
    out.insert(out.end(), frame_.begin(), frame_.end());
  }
  frame_.clear();
}

void Impairer::process(const float* in, std::size_t n, std::vector<float>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    double x = in[i] * gain_;
    if (noiseSigma_ > 0) x += noiseSigma_ * gain_ * noise();
    frame_.push_back(static_cast<float>(x));
    if (frame_.size() == frameLength_) emitFrame(out);
  }
}

void Impairer::finish(std::vector<float>& out) {
  if (!frame_.empty()) emitFrame(out);
}

std::vector<float> impair(const std::vector<float>& signal, const Impairments& impairments, int rate,
                          double tonePower) {
  Impairer imp(impairments, rate, tonePower);
  std::vector<float> out;
  out.reserve(signal.size() + signal.size() / 10);
  imp.process(signal, out);
  imp.finish(out);
  return out;
}

}  // namespace tty
