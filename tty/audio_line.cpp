// SPDX-License-Identifier: Apache-2.0
#include "audio_line.h"

namespace tty {
namespace {

constexpr double kCarrierHold = 1.0;  // seconds of silence in typing before the carrier drops

Tones lineTones() {
  return Tones{};
}

}  // namespace

AudioLine::AudioLine(const AudioLineSettings& s, std::uint64_t seed)
    : tones_(lineTones()),
      encoder_(tones_, SenderQuirks{.offsetHz = s.offsetHz, .timing = s.timing, .seed = seed}),
      impairer_(Impairments{.snrDb = s.snrDb, .lost = s.dropouts, .seed = seed ^ 0x5DEECE66DULL}, tones_.rate,
                tones_.amplitude * tones_.amplitude / 2),
      decoder_(tones_) {}

std::unique_ptr<AudioLine> AudioLine::create(const AudioLineSettings& settings, std::uint64_t seed,
                                             std::string* error) {
  auto line = std::make_unique<AudioLine>(settings, seed);
  if (settings.codec) {
    CodecSettings codec = *settings.codec;
    codec.seed = seed ^ 0x9E3779B97F4A7C15ULL;
    line->codec_ = Codec::create(codec, line->tones_.rate, error);
    if (!line->codec_) return nullptr;
  }
  return line;
}

std::string AudioLine::pass(char c, double now) {
  sent_.clear();
  heard_.clear();
  if (now >= 0 && last_ >= 0 && now - last_ > kCarrierHold && encoder_.carrier()) {
    // The typist paused: the carrier went off, and the line was quiet for a moment.
    encoder_.carrierOff();
    sent_.assign(static_cast<std::size_t>(0.3 * tones_.rate), 0.0f);
  }
  if (now >= 0) last_ = now;
  if (!encoder_.put(static_cast<unsigned char>(c), sent_)) return {};
  // The carrier runs on after the character until the next, long enough for the decoder to have
  // seen its stop bit (and through a codec, for the frame it holds back).
  encoder_.hold((codec_ ? 3 : 2) / tones_.baud, sent_);
  impairer_.process(sent_, heard_);
  impairer_.finish(heard_);
  if (codec_) {
    // The codec holds back a partial frame; the carrier held after the character covers it.
    decoded_.clear();
    codec_->process(heard_, decoded_);
    heard_.swap(decoded_);
  }
  if (listener_) listener_->insert(listener_->end(), heard_.begin(), heard_.end());
  decoder_.feed(heard_);
  std::string out;
  for (const Heard& h : decoder_.take()) {
    if (!h.shift && !h.doubtful) out += h.ch;
  }
  return out;
}

}  // namespace tty
