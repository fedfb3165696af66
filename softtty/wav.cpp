#include "wav.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace softtty {
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

std::optional<Audio> parseWav(const std::string& b, const std::string& name, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Audio> {
    *error = "'" + name + "' " + why;
    return std::nullopt;
  };
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
    return fail("is not a WAV file");
  std::size_t at = 12;
  bool haveFormat = false;
  unsigned channels = 0, bits = 0;
  std::uint32_t rate = 0;
  while (at + 8 <= b.size()) {
    const std::string id = b.substr(at, 4);
    const std::uint32_t size = le32(b, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt ") {
      if (size < 16 || body + 16 > b.size()) return fail("is truncated (in its format chunk)");
      unsigned format = le16(b, body);
      channels = le16(b, body + 2);
      rate = le32(b, body + 4);
      bits = le16(b, body + 14);
      // WAVE_FORMAT_EXTENSIBLE names the real format in its sub-format GUID.
      if (format == 0xFFFE && size >= 40 && body + 26 <= b.size()) format = le16(b, body + 24);
      if (format != 1 || bits != 16) {
        return fail("is not 16-bit PCM (format " + std::to_string(format) + ", " + std::to_string(bits) +
                    " bits); convert it, for example with: sox IN -b 16 -e signed-integer OUT.wav");
      }
      if (channels == 0) return fail("has no channels");
      if (rate < 8000)
        return fail("has a sample rate of " + std::to_string(rate) + " Hz; at least 8000 Hz is needed");
      haveFormat = true;
    } else if (id == "data") {
      if (!haveFormat) return fail("has its data before its format");
      if (body + size > b.size()) {
        return fail("is truncated (" + std::to_string(b.size() - body) + " of " + std::to_string(size) +
                    " bytes of audio)");
      }
      const std::size_t frame = 2 * channels;
      if (size % frame != 0) return fail("is truncated (a partial sample at the end)");
      Audio a;
      a.rate = static_cast<int>(rate);
      a.samples.reserve(size / frame);
      for (std::size_t f = body; f + frame <= body + size; f += frame) {
        long sum = 0;
        for (unsigned c = 0; c < channels; ++c) sum += static_cast<short>(le16(b, f + 2 * c));
        a.samples.push_back(static_cast<float>(sum) / (32768.0f * channels));
      }
      return a;
    }
    at = body + size + (size & 1);
  }
  return fail(haveFormat ? "is truncated (no audio data)" : "is truncated (no format chunk)");
}

std::optional<Audio> readWav(const std::string& path, std::string* error) {
  std::string bytes;
  if (path == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      *error = "cannot read '" + path + "': " + std::strerror(errno);
      return std::nullopt;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
      *error = "cannot read '" + path + "'";
      return std::nullopt;
    }
  }
  return parseWav(bytes, path == "-" ? "standard input" : path, error);
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

}  // namespace softtty
