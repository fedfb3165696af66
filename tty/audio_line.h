// SPDX-License-Identifier: Apache-2.0
#pragma once
// A telephone line made of tones: characters go in, are sent as Baudot tones, pass through a
// path's impairments and are heard by the decoder, so that errors (lost shift codes included)
// arise as they do on a real line. Used by ttysim's audio channel.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "codec.h"
#include "decoder.h"
#include "impair.h"
#include "tones.h"

namespace tty {

struct AudioLineSettings {
  std::optional<double> snrDb;  // white noise; none: no noise
  double offsetHz = 0;          // both tones off by this much
  double timing = 0;            // bits longer (or shorter) by this fraction
  double dropouts = 0;          // chance that a 20 ms audio frame is lost
  // A mobile network's speech codec after the noise, with its frame erasures; none: no codec.
  std::optional<CodecSettings> codec = std::nullopt;
};

class AudioLine {
 public:
  AudioLine(const AudioLineSettings& settings, std::uint64_t seed);
  // Fails (with the reason in *error) only for a codec the program was built without.
  static std::unique_ptr<AudioLine> create(const AudioLineSettings& settings, std::uint64_t seed,
                                           std::string* error);
  // Sends one character and returns what the far end's decoder heard meanwhile: usually the
  // character (capitals for small letters), sometimes nothing or something else. `now` (seconds,
  // or negative when unknown) lets the carrier drop between bursts of typing as a TTY's does.
  std::string pass(char c, double now = -1);
  // From now on, also appends to *heard the audio the far end's decoder hears (after the noise,
  // the lost frames and the codec), so that the line's audio can be decoded by other receivers
  // too; nullptr stops it.
  void listen(std::vector<float>* heard) { listener_ = heard; }
  long framesLost() const { return impairer_.stats().lost; }
  long framesErased() const { return codec_ ? codec_->stats().erased : 0; }

 private:
  Tones tones_;
  Encoder encoder_;
  Impairer impairer_;
  std::unique_ptr<Codec> codec_;
  Decoder decoder_;
  double last_ = -1;
  std::vector<float> sent_, heard_, decoded_;
  std::vector<float>* listener_ = nullptr;
};

}  // namespace tty
