#include "files.h"

#include <unistd.h>

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
  auto audio = readWav(o.wavIn, &error);
  if (!audio) {
    std::fprintf(stderr, "softtty: %s\n", error.c_str());
    return 1;
  }
  Tones tones = o.tones;
  tones.rate = audio->rate;
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
      if (!h.shift) text += h.ch;
    }
    for (; c < changes.size(); ++c) {
      summary.addCarrier(changes[c]);
      if (!o.quiet) std::fputs(reportCarrier(changes[c]).c_str(), stderr);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
  };
  const std::size_t chunk = static_cast<std::size_t>(audio->rate);  // a second at a time
  for (std::size_t at = 0; at < audio->samples.size(); at += chunk) {
    decoder.feed(audio->samples.data() + at, std::min(chunk, audio->samples.size() - at));
    report();
  }
  decoder.flush();
  report();
  std::fflush(stdout);
  const double seconds = static_cast<double>(audio->samples.size()) / audio->rate;
  std::fprintf(stderr, "softtty: %s\n", summary.text(seconds, decoder.rejected()).c_str());
  if (std::ferror(stdout)) {
    std::fprintf(stderr, "softtty: cannot write the text to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace softtty
