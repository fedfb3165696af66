// SPDX-License-Identifier: Apache-2.0
#include "codec.h"

#include <algorithm>
#include <cmath>

#ifdef TTY_HAVE_AMRNB
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
#endif

namespace tty {
namespace {

constexpr const char* kModeNames[kAmrModes] = {"4.75", "5.15", "5.9", "6.7", "7.4", "7.95", "10.2", "12.2"};
constexpr std::size_t kFrame = 160;  // 20 ms at 8000 Hz

}  // namespace

std::optional<int> parseAmrMode(std::string_view text) {
  std::string t(text);
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int m = 0; m < kAmrModes; ++m) {
    std::string name = kModeNames[m];
    std::string mr = "mr" + name;
    mr.erase(std::remove(mr.begin(), mr.end(), '.'), mr.end());
    if (t == name || t == mr) return m;
  }
  return std::nullopt;
}

const char* amrModeName(int mode) {
  return mode >= 0 && mode < kAmrModes ? kModeNames[mode] : "?";
}

bool amrAvailable() {
#ifdef TTY_HAVE_AMRNB
  return true;
#else
  return false;
#endif
}

Codec::Codec(const CodecSettings& settings) : settings_(settings), random_(settings.seed) {}

std::unique_ptr<Codec> Codec::create(const CodecSettings& settings, int rate, std::string* error) {
#ifdef TTY_HAVE_AMRNB
  if (rate != 8000) {
    *error = "the AMR-NB codec takes audio at 8000 Hz, not " + std::to_string(rate) + " Hz";
    return nullptr;
  }
  if (settings.mode < 0 || settings.mode >= kAmrModes) {
    *error = "no AMR-NB mode " + std::to_string(settings.mode);
    return nullptr;
  }
  std::unique_ptr<Codec> c(new Codec(settings));
  c->encoder_ = Encoder_Interface_init(0);  // no discontinuous transmission: tones are sent whole
  c->decoder_ = Decoder_Interface_init();
  if (!c->encoder_ || !c->decoder_) {
    *error = "cannot start the AMR-NB codec";
    return nullptr;
  }
  return c;
#else
  (void)settings;
  (void)rate;
  *error = "built without the AMR-NB codec (libopencore-amrnb-dev was missing)";
  return nullptr;
#endif
}

Codec::~Codec() {
#ifdef TTY_HAVE_AMRNB
  if (encoder_) Encoder_Interface_exit(encoder_);
  if (decoder_) Decoder_Interface_exit(decoder_);
#endif
}

// Independent erasures, or runs of them (a two-state chain: a good state that goes bad at the
// rate that gives the asked share, a bad one left after `burst` frames on average).
bool Codec::erase() {
  const double u = static_cast<double>(random_() >> 11) * 0x1.0p-53;
  const double p = settings_.erasures;
  if (settings_.burst <= 1) return u < p;
  if (p >= 1) return true;
  const double leave = 1 / settings_.burst;
  const double enter = p * leave / (1 - p);
  bad_ = bad_ ? u >= leave : u < enter;
  return bad_;
}

void Codec::frame(std::vector<float>& out) {
  ++stats_.frames;
  short decoded[kFrame] = {};
#ifdef TTY_HAVE_AMRNB
  unsigned char packet[64];
  Encoder_Interface_Encode(encoder_, static_cast<Mode>(settings_.mode), pending_.data(), packet, 0);
  const bool erased = erase();
  if (erased) ++stats_.erased;
  Decoder_Interface_Decode(decoder_, packet, decoded, erased ? 1 : 0);
#endif
  for (short s : decoded) out.push_back(static_cast<float>(s) / 32768.0f);
  pending_.clear();
}

void Codec::process(const float* in, std::size_t n, std::vector<float>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    const float v = std::round(in[i] * 32767.0f);
    pending_.push_back(static_cast<short>(std::clamp(v, -32768.0f, 32767.0f)));
    if (pending_.size() == kFrame) frame(out);
  }
}

}  // namespace tty
