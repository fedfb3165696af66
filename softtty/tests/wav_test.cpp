// WAV files as they come: the formats taken, and a clear refusal of the rest.
#include "wav.h"

#include <gtest/gtest.h>

#include <string>

namespace softtty {
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
      {wav(1, 1, 8000, 8, two), "is not 16-bit PCM"},
      {wav(3, 1, 8000, 32, two), "is not 16-bit PCM"},
      {wav(1, 1, 6000, 16, two), "sample rate of 6000 Hz"},
      {wav(1, 1, 8000, 16, two, 4000), "is truncated (4 of 4000 bytes"},
      {wav(1, 1, 8000, 16, "abc"), "partial sample"},
      {wav(1, 1, 8000, 16, two).substr(0, 30), "is truncated"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parseWav(c.bytes, "f.wav", &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.rfind("'f.wav' ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace softtty
