// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a telephone path does to the tones on their way: level, noise, and audio frames lost,
// repeated or dropped, as a network's codec frames are. Seeded, so that a run can be repeated.
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tty {

struct Impairments {
  std::optional<double> snrDb;  // noise, against a tone of the given power; none: no noise
  // The band the noise is confined to (Hz); 0 to 0: white over the whole band.
  double noiseLowHz = 0, noiseHighHz = 0;
  double gainDb = 0;
  double frameMs = 20;
  double lost = 0;      // chance a frame is lost: silence in its place
  double repeated = 0;  // chance a frame is played twice (everything after it comes a frame late)
  double dropped = 0;   // chance a frame is left out (everything after it comes a frame early)
  std::uint64_t seed = 1;
};

class Impairer {
 public:
  // tonePower: the power of the clean tone (amplitude squared over 2), which the SNR is against.
  Impairer(const Impairments& impairments, int rate, double tonePower);
  // Takes samples; appends to out whatever whole frames are done.
  void process(const float* in, std::size_t n, std::vector<float>& out);
  void process(const std::vector<float>& in, std::vector<float>& out) { process(in.data(), in.size(), out); }
  // Appends the last, partial frame.
  void finish(std::vector<float>& out);

  struct Stats {
    long frames = 0, lost = 0, repeated = 0, dropped = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  double uniform();
  double gaussian();
  double noise();
  void emitFrame(std::vector<float>& out);

  Impairments imp_;
  double gain_, noiseSigma_;
  std::size_t frameLength_;
  std::mt19937_64 random_;
  std::vector<double> band_, taps_;  // band-limited noise: a band-pass filter and its recent input
  std::size_t tap_ = 0;
  std::vector<float> frame_;
  Stats stats_;
};

// A band-pass filter (windowed sinc), scaled so that white noise through it keeps its power in the
// band: for noise confined to [lowHz, highHz].
std::vector<double> bandPass(double lowHz, double highHz, int rate, int taps = 65);

// One-shot: the whole signal through the impairments.
std::vector<float> impair(const std::vector<float>& signal, const Impairments& impairments, int rate,
                          double tonePower);

}  // namespace tty
