// SPDX-License-Identifier: Apache-2.0
#pragma once
// WAV files: read as a stream (any channel count, mixed to one), written mono 16-bit.
//
// Read: PCM of 8, 16, 24 or 32 bits, 32-bit float, and 8-bit G.711 mu-law and A-law (how
// telephone recordings usually come). A file cut short (an interrupted recording) or written
// while streaming (its length 0xFFFFFFFF, not known when the header was written) is read as far
// as it goes, with a warning that gives the byte counts.
#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tty {

struct Audio {
  int rate = 8000;
  std::vector<float> samples;  // full scale 1
};

class WavReader {
 public:
  // Reads the header of a WAV file ("-" for standard input). Nothing, with a one-line reason in
  // *error, when the file cannot be read, is no WAV file, has a format that is not taken, or a
  // sample rate below 8000 Hz.
  static std::unique_ptr<WavReader> open(const std::string& path, std::string* error);
  // The same from any stream (kept alive by the caller); `name` only for messages.
  static std::unique_ptr<WavReader> open(std::istream& in, const std::string& name, std::string* error);

  int rate() const { return rate_; }
  const std::string& format() const { return formatName_; }
  // Up to n samples, mixed to one channel; fewer only at the end of the audio (0 after it).
  std::size_t read(float* out, std::size_t n);
  // After the end: why the audio ended early or how a stream ended ("" for a whole file), and the
  // reason when reading failed (the audio then ends there too).
  const std::string& warning() const { return warning_; }
  const std::string& error() const { return error_; }
  // Float samples beyond kLoudest times full scale (no recorder makes them: a damaged file) are
  // clipped to it, and ones that are no number taken as silence. Once there was one: where the
  // first was, to be said once; "" before.
  const std::string& clipped() const { return clipped_; }

  static constexpr float kLoudest = 8;
  // More channels than this are refused: no telephone recording has them.
  static constexpr unsigned kMostChannels = 256;

 private:
  WavReader() = default;
  bool readHeader(std::string* error);
  float sample(const unsigned char* p);

  std::unique_ptr<std::istream> owned_;
  std::istream* in_ = nullptr;
  std::string name_;
  int rate_ = 0;
  unsigned channels_ = 0, bytesPerSample_ = 0;
  enum class Kind { Pcm, Float, MuLaw, ALaw } kind_ = Kind::Pcm;
  std::string formatName_;
  bool streamed_ = false;        // the header gave no length: read to the end
  std::uint64_t declared_ = 0;   // bytes of audio the header promised
  std::uint64_t delivered_ = 0;  // bytes of audio read so far
  bool ended_ = false;
  std::uint64_t frames_ = 0;  // samples (of each channel) read so far
  // At most this many bytes are read at a time: the buffer never grows with what the header says.
  static constexpr std::size_t kPiece = 65536;
  std::vector<unsigned char> buffer_;
  std::string warning_, error_, clipped_;
};

// Reads a whole WAV file; a damaged or streamed file's warning goes to *warning when given.
std::optional<Audio> readWav(const std::string& path, std::string* error, std::string* warning = nullptr);
// Parses the bytes of a WAV file; `name` only for messages.
std::optional<Audio> parseWav(const std::string& bytes, const std::string& name, std::string* error,
                              std::string* warning = nullptr);

// G.711 sample values (16-bit range) of an 8-bit code, and the code of a sample (for tests and
// for writing telephone-style files).
short muLawToPcm(unsigned char code);
short aLawToPcm(unsigned char code);
unsigned char pcmToMuLaw(short sample);
unsigned char pcmToALaw(short sample);

// The bytes of a mono 16-bit WAV file; samples beyond full scale are clipped.
std::string wavBytes(const Audio& audio);
// Writes through a temporary file renamed into place ("-" for standard output).
bool writeWav(const std::string& path, const Audio& audio, std::string* error);

// A sample as 16 bits, clipped.
short toPcm(float x);

}  // namespace tty
