// SPDX-License-Identifier: Apache-2.0
// WAV files as they come: the formats taken, and a clear refusal of the rest.
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

namespace tty {
namespace {

// A WAV header for the given format, followed by `data` as the data chunk (its declared size is
// `declared`, or the real size).
std::string wav(unsigned format, unsigned channels, unsigned rate, unsigned bits, const std::string& data,
                long declared = -1) {
  auto p32 = [](std::string& b, unsigned v) {
    for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  auto p16 = [](std::string& b, unsigned v) {
    b += static_cast<char>(v & 0xff);
    b += static_cast<char>((v >> 8) & 0xff);
  };
  std::string b = "RIFF";
  p32(b, 36 + static_cast<unsigned>(data.size()));
  b += "WAVEfmt ";
  p32(b, 16);
  p16(b, format);
  p16(b, channels);
  p32(b, rate);
  p32(b, rate * channels * bits / 8);
  p16(b, channels * bits / 8);
  p16(b, bits);
  b += "LIST";  // a chunk to skip
  p32(b, 3);
  b += "abc";
  b += '\0';  // padded to an even size
  b += "data";
  p32(b, declared >= 0 ? static_cast<unsigned>(declared) : static_cast<unsigned>(data.size()));
  return b + data;
}

TEST(Wav, ReadsWhatItWritesAndMixesChannels) {
  Audio a{16000, {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f}};
  std::string error;
  auto back = parseWav(wavBytes(a), "x", &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->rate, 16000);
  ASSERT_EQ(back->samples.size(), 6u);
  EXPECT_NEAR(back->samples[1], 0.5f, 1e-4);
  EXPECT_NEAR(back->samples[5], 1.0f, 1e-4);  // clipped
  // Stereo: left 0.5 and right -0.25 make 0.125.
  std::string stereo = {0x00, 0x40, 0x00, static_cast<char>(0xE0)};
  auto mixed = parseWav(wav(1, 2, 8000, 16, stereo), "x", &error);
  ASSERT_TRUE(mixed) << error;
  ASSERT_EQ(mixed->samples.size(), 1u);
  EXPECT_NEAR(mixed->samples[0], 0.125f, 1e-4);
}

TEST(Wav, RefusesWhatItCannotDecodeWithOneLine) {
  const std::string two(4, '\0');
  struct Case {
    std::string bytes, says;
  } cases[] = {
      {"hello", "is not a WAV file"},
      {wav(2, 1, 8000, 4, two), "has a format this program does not read (format 2, 4 bits"},
      {wav(3, 1, 8000, 64, two), "format 3, 64 bits"},
      {wav(7, 1, 8000, 16, two), "format 7, 16 bits"},
      {wav(1, 1, 6000, 16, two), "sample rate of 6000 Hz"},
      {wav(1, 0, 8000, 16, two), "has no channels"},
      {wav(1, 1, 8000, 16, two).substr(0, 30), "is truncated (in its format chunk)"},
      {wav(1, 1, 8000, 16, two).substr(0, 50), "is truncated (no audio data)"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parseWav(c.bytes, "f.wav", &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.rfind("'f.wav' ", 0), 0u) << error;
  }
}

TEST(Wav, ReadsWhatADamagedOrStreamedFileHoldsAndSaysSo) {
  const std::string samples = {0x00, 0x40, 0x00, static_cast<char>(0xC0), 0x00, 0x20};  // 0.5, -0.5, 0.25
  struct Case {
    std::string bytes;
    std::size_t count;
    std::string says;
  } cases[] = {
      // An interrupted recording: the header promised more.
      {wav(1, 1, 8000, 16, samples, 4000), 3, "'f.wav' is truncated: 6 of 4000 bytes of audio"},
      // Written while streaming: no length in the header, read to the end.
      {wav(1, 1, 8000, 16, samples, 0xFFFFFFFFL), 3, "written as a stream"},
      {wav(1, 1, 8000, 16, samples + "x"), 3, "ends in a partial sample: 1 bytes left out"},
      {wav(1, 1, 8000, 16, samples), 3, ""},
  };
  for (const auto& c : cases) {
    std::string error, warning;
    auto a = parseWav(c.bytes, "f.wav", &error, &warning);
    ASSERT_TRUE(a) << error;
    ASSERT_EQ(a->samples.size(), c.count) << c.says;
    EXPECT_NEAR(a->samples[0], 0.5f, 1e-4);
    EXPECT_NEAR(a->samples[2], 0.25f, 1e-4);
    if (c.says.empty()) {
      EXPECT_EQ(warning, "");
    } else {
      EXPECT_NE(warning.find(c.says), std::string::npos) << warning;
    }
  }
}

// A header's sizes and counts are claims: what is read is bounded by the bytes the file holds.
TEST(Wav, HeadersClaimingMoreThanTheFileHoldsGetOneLineAndCostNothing) {
  const std::string body(58000, '\x11');
  std::string bigFormat = wav(1, 1, 8000, 16, body);
  bigFormat.replace(16, 4, "\xfe\xff\xff\xff");  // a format chunk of 0xFFFFFFFE bytes
  std::string manyChannels = wav(3, 65535, 768000, 32, body, 0xFFFFFFFFL);
  struct Case {
    std::string bytes, says;
  } cases[] = {
      {bigFormat, "is truncated (in its format chunk)"},
      {manyChannels, "has 65535 channels; it reads at most 256"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parseWav(c.bytes, "f.wav", &error));
    EXPECT_EQ(error, "'f.wav' " + c.says);
  }
  // As many channels as are taken, at the highest rate, streamed: what is there is read.
  std::string error, warning;
  auto a = parseWav(wav(1, 256, 768000, 32, body, 0xFFFFFFFFL), "f.wav", &error, &warning);
  ASSERT_TRUE(a) << error;
  EXPECT_EQ(a->samples.size(), body.size() / (256 * 4));
  EXPECT_NE(warning.find("written as a stream"), std::string::npos) << warning;
}

TEST(Wav, ClipsFloatSamplesNoRecorderMakesAndSaysWhereTheFirstWas) {
  const float values[] = {0.5f,          1e6f, -3e38f, std::numeric_limits<float>::infinity(),
                          std::nanf(""), 1.5f, -0.25f};
  std::string f32(sizeof values, '\0');
  std::memcpy(f32.data(), values, sizeof values);
  std::string error;
  std::istringstream in(wav(3, 1, 8000, 32, f32));
  auto r = WavReader::open(in, "f.wav", &error);
  ASSERT_TRUE(r) << error;
  float out[16];
  ASSERT_EQ(r->read(out, 16), 7u);
  const float expected[] = {0.5f, 8, -8, 0, 0, 1.5f, -0.25f};  // infinity and NaN: silence
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], expected[i]) << i;
  EXPECT_EQ(r->clipped(),
            "'f.wav' has samples far beyond full scale or that are no number (the first, 1e+06, 0.000 s in): "
            "clipped to 8 times full scale, or silence");
}

TEST(Wav, ReadsTelephoneMuLawAndALawAndOtherSampleFormats) {
  // Known points of G.711: the codes for zero, and the largest values.
  EXPECT_EQ(muLawToPcm(0xFF), 0);
  EXPECT_EQ(muLawToPcm(0x80), 32124);
  EXPECT_EQ(muLawToPcm(0x00), -32124);
  EXPECT_EQ(aLawToPcm(0xD5), 8);
  EXPECT_EQ(aLawToPcm(0x55), -8);
  EXPECT_EQ(aLawToPcm(0xAA), 32256);
  EXPECT_EQ(aLawToPcm(0x2A), -32256);
  // Every code survives a round trip, and every sample comes back within its step.
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<unsigned char>(code);
    if (c != 0x7F) {  // 0x7F is the other zero
      EXPECT_EQ(pcmToMuLaw(muLawToPcm(c)), c) << code;
    }
    EXPECT_EQ(pcmToALaw(aLawToPcm(c)), c) << code;
  }
  for (int v = -32768; v < 32768; v += 7) {
    const auto s = static_cast<short>(v);
    const double step = std::max(16.0, std::abs(v) / 16.0);
    EXPECT_NEAR(muLawToPcm(pcmToMuLaw(s)), v, step) << v;
    EXPECT_NEAR(aLawToPcm(pcmToALaw(s)), v, step) << v;
  }
  const std::string mu = {static_cast<char>(pcmToMuLaw(16384)), static_cast<char>(pcmToMuLaw(-8192))};
  const std::string al = {static_cast<char>(pcmToALaw(16384)), static_cast<char>(pcmToALaw(-8192))};
  std::string u8 = {static_cast<char>(192), static_cast<char>(96)};
  std::string f32(8, '\0');
  const float fl[2] = {0.5f, -0.25f};
  std::memcpy(f32.data(), fl, 8);
  const std::string s24 = {0, 0, 0x40, 0, 0, static_cast<char>(0xE0)};
  struct Case {
    std::string bytes, format;
  } cases[] = {{wav(7, 1, 8000, 8, mu), "G.711 mu-law"},
               {wav(6, 1, 8000, 8, al), "G.711 A-law"},
               {wav(1, 1, 8000, 8, u8), "8-bit PCM"},
               {wav(3, 1, 8000, 32, f32), "32-bit float"},
               {wav(1, 1, 8000, 24, s24), "24-bit PCM"}};
  for (const auto& c : cases) {
    std::string error;
    auto a = parseWav(c.bytes, "t.wav", &error);
    ASSERT_TRUE(a) << c.format << ": " << error;
    ASSERT_EQ(a->samples.size(), 2u) << c.format;
    EXPECT_NEAR(a->samples[0], 0.5f, 0.02f) << c.format;
    EXPECT_NEAR(a->samples[1], -0.25f, 0.02f) << c.format;
  }
}
}  // namespace
}  // namespace tty
