#pragma once
// 16-bit PCM WAV files: read whole (any channel count, mixed to one) and written mono.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace softtty {

struct Audio {
  int rate = 8000;
  std::vector<float> samples;  // full scale 1
};

// Reads a WAV file ("-" for standard input). Fails, with a one-line reason in *error, on anything
// but 16-bit PCM, on a file cut short and on a sample rate below 8000 Hz.
std::optional<Audio> readWav(const std::string& path, std::string* error);
// Parses the bytes of a WAV file; `name` only for messages.
std::optional<Audio> parseWav(const std::string& bytes, const std::string& name, std::string* error);

// The bytes of a mono 16-bit WAV file; samples beyond full scale are clipped.
std::string wavBytes(const Audio& audio);
// Writes through a temporary file renamed into place ("-" for standard output).
bool writeWav(const std::string& path, const Audio& audio, std::string* error);

// A sample as 16 bits, clipped.
short toPcm(float x);

}  // namespace softtty
