// SPDX-License-Identifier: Apache-2.0
#include "wav.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace tty {
namespace {

std::uint32_t le32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
unsigned le16(const std::string& b, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(b[at])) |
         static_cast<unsigned>(static_cast<unsigned char>(b[at + 1])) << 8;
}
void put32(std::string& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& b, unsigned v) {
  b += static_cast<char>(v & 0xff);
  b += static_cast<char>((v >> 8) & 0xff);
}

}  // namespace

short toPcm(float x) {
  const float v = std::round(x * 32767.0f);
  return static_cast<short>(std::fmax(-32768.0f, std::fmin(32767.0f, v)));
}

short muLawToPcm(unsigned char code) {
  const int u = ~code & 0xff;
  const int t = (((u & 0x0f) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<short>((u & 0x80) ? 0x84 - t : t - 0x84);
}

short aLawToPcm(unsigned char code) {
  const int a = code ^ 0x55;
  int t = (a & 0x0f) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    t += 8;
  } else {
    t = (t + 0x108) << (segment - 1);
  }
  return static_cast<short>((a & 0x80) ? t : -t);
}

unsigned char pcmToMuLaw(short sample) {
  int v = sample;
  const int sign = v < 0 ? 0x80 : 0;
  v = std::min(std::abs(v), 32635) + 0x84;
  int exponent = 0;
  for (int rest = v >> 8; rest > 0 && exponent < 7; rest >>= 1) ++exponent;
  const int mantissa = (v >> (exponent + 3)) & 0x0f;
  return static_cast<unsigned char>(~(sign | exponent << 4 | mantissa));
}

unsigned char pcmToALaw(short sample) {
  int v = sample >> 3;  // 13 bits
  int mask = 0xd5;
  if (v < 0) {
    mask = 0x55;
    v = -v - 1;
  }
  int segment = 0;
  while (segment < 8 && v > (0x20 << segment) - 1) ++segment;
  if (segment >= 8) return static_cast<unsigned char>(0x7f ^ mask);
  const int value = segment << 4 | ((segment < 2 ? v >> 1 : v >> segment) & 0x0f);
  return static_cast<unsigned char>(value ^ mask);
}

std::unique_ptr<WavReader> WavReader::open(const std::string& path, std::string* error) {
  if (path == "-") return open(std::cin, "standard input", error);
  auto in = std::make_unique<std::ifstream>(path, std::ios::binary);
  if (!*in) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  auto r = open(*in, path, error);
  if (r) r->owned_ = std::move(in);
  return r;
}

std::unique_ptr<WavReader> WavReader::open(std::istream& in, const std::string& name, std::string* error) {
  std::unique_ptr<WavReader> r(new WavReader);
  r->in_ = &in;
  r->name_ = name;
  if (!r->readHeader(error)) return nullptr;
  return r;
}

bool WavReader::readHeader(std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = "'" + name_ + "' " + why;
    return false;
  };
  std::string b(12, '\0');
  in_->read(b.data(), 12);
  if (in_->gcount() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
    return fail("is not a WAV file");
  bool haveFormat = false;
  for (;;) {
    std::string head(8, '\0');
    in_->read(head.data(), 8);
    if (in_->gcount() < 8)
      return fail(haveFormat ? "is truncated (no audio data)" : "is truncated (no format chunk)");
    const std::string id = head.substr(0, 4);
    const std::uint32_t size = le32(head, 4);
    if (id == "data") {
      if (!haveFormat) return fail("has its data before its format");
      // A recorder writing to a stream cannot know the length: it leaves the largest there is, or
      // a placeholder near 2 GiB.
      streamed_ = size >= 0x7FFF0000u;
      declared_ = size;
      return true;
    }
    if (id != "fmt ") {
      // Another chunk (a list of tags, a fact chunk): skipped, with its padding byte.
      in_->ignore(static_cast<std::streamsize>(size) + (size & 1));
      if (in_->eof())
        return fail(haveFormat ? "is truncated (no audio data)" : "is truncated (no format chunk)");
      continue;
    }
    if (size < 16) return fail("is truncated (in its format chunk)");
    // The fields read are in its first 26 bytes; the rest (extensions) is skipped as it comes,
    // so that a size the file does not hold costs nothing but finding that out.
    const std::uint32_t kept = std::min<std::uint32_t>(size, 26);
    std::string f(26, '\0');
    in_->read(f.data(), kept);
    if (static_cast<std::uint32_t>(in_->gcount()) < kept) return fail("is truncated (in its format chunk)");
    const std::streamsize rest = static_cast<std::streamsize>(size - kept);
    if (rest > 0) {
      in_->ignore(rest);
      if (in_->gcount() < rest) return fail("is truncated (in its format chunk)");
    }
    if (size & 1) in_->ignore(1);
    unsigned format = le16(f, 0);
    channels_ = le16(f, 2);
    const std::uint32_t rate = le32(f, 4);
    const unsigned bits = le16(f, 14);
    // WAVE_FORMAT_EXTENSIBLE names the real format in its sub-format GUID.
    if (format == 0xFFFE && size >= 26) format = le16(f, 24);
    if (format == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
      kind_ = Kind::Pcm;
      formatName_ = std::to_string(bits) + "-bit PCM";
    } else if (format == 3 && bits == 32) {
      kind_ = Kind::Float;
      formatName_ = "32-bit float";
    } else if (format == 6 && bits == 8) {
      kind_ = Kind::ALaw;
      formatName_ = "G.711 A-law";
    } else if (format == 7 && bits == 8) {
      kind_ = Kind::MuLaw;
      formatName_ = "G.711 mu-law";
    } else {
      return fail(
          "has a format this program does not read (format " + std::to_string(format) + ", " +
          std::to_string(bits) +
          " bits; it reads PCM, 32-bit float, mu-law and A-law); convert it, for example with: sox IN -b "
          "16 -e signed-integer OUT.wav");
    }
    if (channels_ == 0) return fail("has no channels");
    if (channels_ > kMostChannels)
      return fail("has " + std::to_string(channels_) + " channels; it reads at most " +
                  std::to_string(kMostChannels));
    if (rate < 8000 || rate > 768000)
      return fail("has a sample rate of " + std::to_string(rate) + " Hz; 8000 Hz or more is needed");
    rate_ = static_cast<int>(rate);
    bytesPerSample_ = bits / 8;
    haveFormat = true;
  }
}

float WavReader::sample(const unsigned char* p) {
  switch (kind_) {
    case Kind::MuLaw:
      return static_cast<float>(muLawToPcm(*p)) / 32768.0f;
    case Kind::ALaw:
      return static_cast<float>(aLawToPcm(*p)) / 32768.0f;
    case Kind::Float: {
      float v = 0;
      std::memcpy(&v, p, 4);
      if (std::isfinite(v) && std::fabs(v) <= kLoudest) return v;
      if (clipped_.empty()) {
        char what[160];
        std::snprintf(what, sizeof what, "(the first, %g, %.3f s in)", static_cast<double>(v),
                      static_cast<double>(frames_) / rate_);
        clipped_ = "'" + name_ + "' has samples far beyond full scale or that are no number " + what +
                   ": clipped to " + std::to_string(static_cast<int>(kLoudest)) +
                   " times full scale, or silence";
      }
      return std::isfinite(v) ? std::clamp(v, -kLoudest, kLoudest) : 0.0f;
    }
    case Kind::Pcm:
      break;
  }
  switch (bytesPerSample_) {
    case 1:
      return static_cast<float>(static_cast<int>(p[0]) - 128) / 128.0f;
    case 2:
      return static_cast<float>(static_cast<std::int16_t>(p[0] | p[1] << 8)) / 32768.0f;
    case 3:
      return static_cast<float>(static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 |
                                                          static_cast<std::uint32_t>(p[1]) << 16 |
                                                          static_cast<std::uint32_t>(p[2]) << 24)) /
             2147483648.0f;
    default:
      return static_cast<float>(static_cast<std::int32_t>(
                 static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                 static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24)) /
             2147483648.0f;
  }
}

std::size_t WavReader::read(float* out, std::size_t n) {
  if (ended_ || n == 0) return 0;
  const std::size_t frame = std::size_t{bytesPerSample_} * channels_;
  const std::size_t perPiece = std::max<std::size_t>(1, kPiece / frame);
  std::size_t frames = 0;
  while (frames < n && !ended_) {
    std::uint64_t want = std::uint64_t{std::min(n - frames, perPiece)} * frame;
    if (!streamed_) want = std::min(want, declared_ - delivered_);
    buffer_.resize(static_cast<std::size_t>(want));
    in_->read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in_->gcount());
    const std::size_t whole = got / frame;
    for (std::size_t f = 0; f < whole; ++f, ++frames_) {
      float sum = 0;
      for (unsigned c = 0; c < channels_; ++c)
        sum += sample(buffer_.data() + f * frame + c * bytesPerSample_);
      out[frames + f] = sum / static_cast<float>(channels_);
    }
    frames += whole;
    delivered_ += got;
    if (got < want || (!streamed_ && delivered_ == declared_)) {
      ended_ = true;
      if (in_->bad()) {
        error_ = "reading '" + name_ + "' failed after " + std::to_string(delivered_) + " bytes of audio";
      } else if (streamed_) {
        warning_ = "'" + name_ + "' was written as a stream (no length in its header): read to its end, " +
                   std::to_string(delivered_) + " bytes of audio";
      } else if (delivered_ < declared_) {
        warning_ = "'" + name_ + "' is truncated: " + std::to_string(delivered_) + " of " +
                   std::to_string(declared_) + " bytes of audio; decoded what is there";
      }
      if (got % frame != 0 && warning_.empty() && error_.empty()) {
        warning_ =
            "'" + name_ + "' ends in a partial sample: " + std::to_string(got % frame) + " bytes left out";
      }
    }
  }
  return frames;
}

namespace {

// All the audio of an opened file; nothing, with the reason, when reading it failed.
std::optional<Audio> readAll(WavReader& r, std::string* error, std::string* warning) {
  Audio a;
  a.rate = r.rate();
  std::vector<float> block(65536);
  while (std::size_t n = r.read(block.data(), block.size()))
    a.samples.insert(a.samples.end(), block.data(), block.data() + n);
  if (!r.error().empty()) {
    *error = r.error();
    return std::nullopt;
  }
  if (warning) *warning = r.warning();
  return a;
}

}  // namespace

std::optional<Audio> readWav(const std::string& path, std::string* error, std::string* warning) {
  auto r = WavReader::open(path, error);
  if (!r) return std::nullopt;
  return readAll(*r, error, warning);
}

std::optional<Audio> parseWav(const std::string& bytes, const std::string& name, std::string* error,
                              std::string* warning) {
  std::istringstream in(bytes);
  auto r = WavReader::open(in, name, error);
  if (!r) return std::nullopt;
  return readAll(*r, error, warning);
}

std::string wavBytes(const Audio& audio) {
  const std::uint32_t data = static_cast<std::uint32_t>(audio.samples.size() * 2);
  std::string b = "RIFF";
  put32(b, 36 + data);
  b += "WAVEfmt ";
  put32(b, 16);
  put16(b, 1);
  put16(b, 1);
  put32(b, static_cast<std::uint32_t>(audio.rate));
  put32(b, static_cast<std::uint32_t>(audio.rate * 2));
  put16(b, 2);
  put16(b, 16);
  b += "data";
  put32(b, data);
  b.reserve(b.size() + data);
  for (float x : audio.samples) put16(b, static_cast<unsigned short>(toPcm(x)));
  return b;
}

bool writeWav(const std::string& path, const Audio& audio, std::string* error) {
  const std::string bytes = wavBytes(audio);
  if (path == "-") {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    if (!std::cout) {
      *error = "cannot write the audio to standard output";
      return false;
    }
    return true;
  }
  const std::string tmp = path + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = "cannot write '" + path + "': " + std::strerror(errno);
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      *error = "cannot write '" + path + "' (disk full?)";
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace tty
