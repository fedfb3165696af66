// SPDX-License-Identifier: Apache-2.0
#include "files.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "audio.h"
#include "decoder.h"
#include "report.h"
#include "wav.h"

namespace softtty {

int runEncode(const Options& o) {
  std::string text(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>{});
  Audio audio;
  audio.rate = o.tones.rate;
  audio.samples = Encoder::transmission(text, o.tones);
  std::string error;
  if (!o.wavOut.empty()) {
    if (o.wavOut == "-" && isatty(STDOUT_FILENO)) {
      std::fprintf(stderr, "softtty: not writing audio to a terminal; give --output FILE.wav\n");
      return 1;
    }
    if (!writeWav(o.wavOut, audio, &error)) {
      std::fprintf(stderr, "softtty: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  auto out = openSoundOutput(o.outputDevice, audio.rate, &error);
  if (!out || !out->write(audio.samples.data(), audio.samples.size(), &error) || !out->drain(&error)) {
    std::fprintf(stderr, "softtty: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int runDecode(const Options& o) {
  std::string error;
  auto wav = WavReader::open(o.wavIn, &error);
  if (!wav) {
    std::fprintf(stderr, "softtty: %s\n", error.c_str());
    return 1;
  }
  Tones tones = o.tones;
  tones.rate = wav->rate();
  Decoder decoder(tones);
  Summary summary;
  if (!o.quiet) std::fputs(reportHeader().c_str(), stderr);
  auto report = [&] {
    auto changes = decoder.takeCarrierChanges();
    auto heard = decoder.take();
    std::size_t c = 0;
    std::string text;
    for (const Heard& h : heard) {
      for (; c < changes.size() && changes[c].time <= h.time; ++c) {
        summary.addCarrier(changes[c]);
        if (!o.quiet) std::fputs(reportCarrier(changes[c]).c_str(), stderr);
      }
      summary.add(h);
      if (!o.quiet) std::fputs(reportLine(h).c_str(), stderr);
      if (!h.shift && !h.doubtful) text += h.ch;
    }
    for (; c < changes.size(); ++c) {
      summary.addCarrier(changes[c]);
      if (!o.quiet) std::fputs(reportCarrier(changes[c]).c_str(), stderr);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
  };
  // A second at a time, so that memory stays the same however long the recording.
  std::vector<float> block(static_cast<std::size_t>(wav->rate()));
  std::uint64_t samples = 0;
  bool clipTold = false;
  while (std::size_t n = wav->read(block.data(), block.size())) {
    if (!clipTold && !wav->clipped().empty()) {
      std::fprintf(stderr, "softtty: %s\n", wav->clipped().c_str());
      clipTold = true;
    }
    decoder.feed(block.data(), n);
    samples += n;
    report();
  }
  decoder.flush();
  report();
  std::fflush(stdout);
  if (!wav->warning().empty()) std::fprintf(stderr, "softtty: %s\n", wav->warning().c_str());
  const double seconds = static_cast<double>(samples) / wav->rate();
  std::fprintf(stderr, "softtty: %s\n", summary.text(seconds, decoder.rejected()).c_str());
  if (!wav->error().empty()) {
    std::fprintf(stderr, "softtty: %s\n", wav->error().c_str());
    return 1;
  }
  if (std::ferror(stdout)) {
    std::fprintf(stderr, "softtty: cannot write the text to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace softtty
