// SPDX-License-Identifier: Apache-2.0
#include "channel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace ttysim {

std::optional<ErrorRates> parseErrorRates(std::string_view text, std::string* error) {
  ErrorRates r;
  auto fail = [&](const std::string& what) -> std::optional<ErrorRates> {
    if (error) *error = what;
    return std::nullopt;
  };
  if (text.empty()) return fail("empty error rates");
  while (!text.empty()) {
    auto comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (comma != std::string_view::npos && text.empty()) return fail("error rates end with a comma");
    auto eq = item.find('=');
    if (eq == std::string_view::npos) return fail("expected NAME=RATE, got '" + std::string(item) + "'");
    std::string_view name = item.substr(0, eq);
    std::string_view value = item.substr(eq + 1);
    bool percent = !value.empty() && value.back() == '%';
    if (percent) value.remove_suffix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || !std::isfinite(v)) {
      return fail("bad rate '" + std::string(item.substr(eq + 1)) + "' for " + std::string(name));
    }
    if (percent) v /= 100;
    if (v < 0 || v > 1)
      return fail("rate for " + std::string(name) + " must be between 0 and 1 (or 0% and 100%)");
    if (name == "shift") {
      r.shift = v;
    } else if (name == "drop") {
      r.drop = v;
    } else if (name == "insert") {
      r.insert = v;
    } else if (name == "subst") {
      r.subst = v;
    } else {
      return fail("unknown error kind '" + std::string(name) + "' (use shift, drop, insert, subst)");
    }
  }
  return r;
}

namespace {

// codec=amr-nb or codec=amr-nb:MODE (the bit rate, 4.75 to 12.2; 12.2 when left out).
bool parseCodec(std::string_view value, tty::AudioLineSettings& a, std::string* error) {
  std::string_view codecName = value.substr(0, value.find(':'));
  if (codecName != "amr-nb") {
    *error = "unknown codec '" + std::string(value) +
             "' (use amr-nb:MODE, MODE one of 4.75 5.15 5.9 6.7 7.4 7.95 10.2 12.2)";
    return false;
  }
  tty::CodecSettings codec = a.codec.value_or(tty::CodecSettings{});
  if (codecName.size() < value.size()) {
    auto mode = tty::parseAmrMode(value.substr(codecName.size() + 1));
    if (!mode) {
      *error = "unknown AMR-NB mode '" + std::string(value.substr(codecName.size() + 1)) +
               "' (use 4.75, 5.15, 5.9, 6.7, 7.4, 7.95, 10.2 or 12.2)";
      return false;
    }
    codec.mode = *mode;
  }
  if (!tty::amrAvailable()) {
    *error = "this ttysim was built without the AMR-NB codec (libopencore-amrnb-dev was missing)";
    return false;
  }
  a.codec = codec;
  return true;
}

// A channel's settings as they are read, before they are checked together.
struct ChannelSettings {
  tty::AudioLineSettings audio;
  LineDelay delay;
  std::optional<double> fer, burst;
};

// One NAME=NUMBER setting of a channel of this kind (a percentage when `percent`).
bool setNumber(std::string_view kind, std::string_view name, double v, bool percent, bool delayTaken,
               ChannelSettings& c, std::string* error) {
  auto range = [&](double lo, double hi, const char* unit) {
    if (v >= lo && v <= hi) return true;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s must be from %g to %g%s", std::string(name).c_str(), lo, hi, unit);
    *error = buf;
    return false;
  };
  tty::AudioLineSettings& a = c.audio;
  if (name == "delay" || name == "jitter") {
    if (!delayTaken) {
      *error = "delay= and jitter= are not taken here";
      return false;
    }
    if (percent) {
      *error = std::string(name) + " is in milliseconds, not a percentage";
      return false;
    }
    if (!range(0, 60000, " ms")) return false;
    (name == "delay" ? c.delay.delay : c.delay.jitter) = v / 1000;
  } else if (kind == "text") {
    *error = "unknown text channel setting '" + std::string(name) + "' (use delay and jitter)";
    return false;
  } else if (name == "snr") {
    if (!range(-20, 100, " dB")) return false;
    a.snrDb = v;
  } else if (name == "offset") {
    if (!range(-200, 200, " Hz")) return false;
    a.offsetHz = v;
  } else if (name == "timing") {
    if (!range(-20, 20, " per cent")) return false;
    a.timing = v / 100;
  } else if (name == "dropouts" || name == "fer") {
    if (percent) v /= 100;
    if (!range(0, 1, " (or 0% to 100%)")) return false;
    if (name == "fer") {
      c.fer = v;
    } else {
      a.dropouts = v;
    }
  } else if (name == "burst") {
    if (!range(1, 1000, " frames")) return false;
    c.burst = v;
  } else {
    *error = "unknown audio channel setting '" + std::string(name) +
             "' (use snr, offset, timing, dropouts, codec, fer, burst)";
    return false;
  }
  return true;
}

}  // namespace

bool parseChannel(std::string_view text, std::optional<tty::AudioLineSettings>* audio, std::string* error,
                  LineDelay* delay) {
  const std::string_view kind = text.substr(0, text.find(','));
  if (kind != "text" && kind != "audio") {
    *error = "unknown channel '" + std::string(text) +
             "' (use text or audio, with delay= and jitter=; audio with snr=, offset=, timing=, dropouts=, "
             "codec=, fer=, burst=)";
    return false;
  }
  ChannelSettings c;
  text.remove_prefix(kind.size());
  while (!text.empty()) {
    text.remove_prefix(1);  // the comma
    auto comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma);
    auto eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    if (name == "codec" && kind == "audio") {
      if (!parseCodec(value, c.audio, error)) return false;
      continue;
    }
    bool percent = !value.empty() && value.back() == '%';
    if (percent) value.remove_suffix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (eq == std::string_view::npos || value.empty() || ec != std::errc() ||
        end != value.data() + value.size() || !std::isfinite(v)) {
      *error = "expected NAME=NUMBER in the channel, got '" + std::string(item) + "'";
      return false;
    }
    if (!setNumber(kind, name, v, percent, delay != nullptr, c, error)) return false;
  }
  if (c.delay.jitter > c.delay.delay) {
    *error = "jitter must not be more than the delay";
    return false;
  }
  if (delay) *delay = c.delay;
  if (kind == "text") {
    audio->reset();
    return true;
  }
  tty::AudioLineSettings& a = c.audio;
  if ((c.fer || c.burst) && !a.codec) {
    *error = "fer= and burst= are the codec's frame erasures: give codec=amr-nb:MODE with them";
    return false;
  }
  if (a.codec) {
    if (c.fer) a.codec->erasures = *c.fer;
    if (c.burst) a.codec->burst = *c.burst;
  }
  *audio = a;
  return true;
}

Channel Channel::overAudio(const tty::AudioLineSettings& audio, std::uint64_t seed) {
  Channel c(ErrorRates{}, seed);
  std::string error;
  c.audio_ = tty::AudioLine::create(audio, seed, &error);
  // The settings were checked when parsed; only a codec the program lacks fails here.
  if (!c.audio_) throw std::runtime_error(error);
  return c;
}

void DelayLine::put(char c, double now) {
  const double drawn = delay_.delay + delay_.jitter * (2 * random_.uniform() - 1);
  lastArrival_ = std::max(now + std::max(drawn, 0.0), queue_.empty() ? now : lastArrival_);
  queue_.emplace_back(lastArrival_, c);
}

std::optional<double> DelayLine::nextArrival() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front().first;
}

std::optional<std::pair<double, char>> DelayLine::take(double now) {
  if (queue_.empty() || queue_.front().first > now) return std::nullopt;
  auto first = queue_.front();
  queue_.pop_front();
  return first;
}

std::string formatErrorRates(const ErrorRates& r) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "shift=%g,drop=%g,insert=%g,subst=%g", r.shift, r.drop, r.insert, r.subst);
  return buf;
}

// splitmix64: tiny, fast and fully defined.
std::uint64_t Random::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double Random::uniform() {
  return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

int Random::below(int n) {
  return static_cast<int>(next() % static_cast<std::uint64_t>(n));
}

char Channel::randomPrintable(baudot::Shift shift, int notCode) {
  for (;;) {
    int code = random_.below(32);
    if (code != notCode && baudot::isPrintable(code, shift)) return baudot::decode(code, shift);
  }
}

std::string Channel::pass(char c, double now) {
  using baudot::Shift;
  ++stats_.chars;
  if (audio_) return audio_->pass(c, now);
  auto code = baudot::encode(static_cast<unsigned char>(c));
  if (!code) return std::string(1, c);

  // The sender puts a shift code on the line when the character needs the other shift.
  if (code->shift != Shift::Both && code->shift != senderShift_) {
    senderShift_ = code->shift;
    if (random_.chance(rates_.shift)) {
      ++stats_.lostShifts;
    } else {
      receiverShift_ = code->shift;
    }
  }

  std::string out;
  if (random_.chance(rates_.insert)) {
    ++stats_.inserted;
    out += randomPrintable(receiverShift_, -1);
  }
  if (random_.chance(rates_.drop)) {
    ++stats_.dropped;
    return out;
  }
  if (code->shift != Shift::Both && random_.chance(rates_.subst)) {
    ++stats_.substituted;
    out += randomPrintable(receiverShift_, code->code);
    return out;
  }
  if (code->shift == Shift::Both || code->shift == receiverShift_) {
    out += c;  // arrives as sent, small letters included
  } else {
    out += baudot::decode(code->code, receiverShift_);  // the same code read in the wrong shift
  }
  return out;
}

}  // namespace ttysim
