// SPDX-License-Identifier: Apache-2.0
#pragma once
// A mobile network's speech codec in the audio path: AMR-NB (the codec of GSM and UMTS voice
// calls), encoding and decoding 20 ms frames at 8000 Hz, with frames erased on the way as a radio
// link loses them. An erased frame is handed to the decoder as bad, which conceals it the way a
// phone does (repeating and fading the last sound), rather than as silence.
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tty {

struct CodecSettings {
  int mode = 7;            // AMR-NB mode 0 to 7: 4.75, 5.15, 5.9, 6.7, 7.4, 7.95, 10.2, 12.2 kbit/s
  double erasures = 0;     // share of frames erased (frame erasure rate)
  double burst = 1;        // mean length of a run of erased frames; 1: each frame on its own
  std::uint64_t seed = 1;  // for the erasures
};

// The modes by their bit rate: "4.75" to "12.2", or "MR475" to "MR122" (any case). Nothing for
// anything else.
std::optional<int> parseAmrMode(std::string_view text);
// "12.2" and so on.
const char* amrModeName(int mode);
inline constexpr int kAmrModes = 8;

// Whether the program was built with the codec library (Debian's libopencore-amrnb).
bool amrAvailable();

class Codec {
 public:
  // Nothing, with the reason in *error, when the library is missing or the rate is not 8000 Hz.
  static std::unique_ptr<Codec> create(const CodecSettings& settings, int rate, std::string* error);
  ~Codec();
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;

  // Takes samples (full scale 1); appends what the far end's decoder gives for each whole frame.
  // A partial frame waits for the rest, so the output runs at most a frame behind.
  void process(const float* in, std::size_t n, std::vector<float>& out);
  void process(const std::vector<float>& in, std::vector<float>& out) { process(in.data(), in.size(), out); }

  struct Stats {
    long frames = 0, erased = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  explicit Codec(const CodecSettings& settings);
  bool erase();
  void frame(std::vector<float>& out);

  CodecSettings settings_;
  void* encoder_ = nullptr;
  void* decoder_ = nullptr;
  std::mt19937_64 random_;
  bool bad_ = false;  // in a run of erased frames
  std::vector<short> pending_;
  Stats stats_;
};

}  // namespace tty
