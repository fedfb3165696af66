// SPDX-License-Identifier: Apache-2.0
// softtty: a TTY in software. Baudot tones through a sound card (or files), presented as a serial
// port, and the tools to make and analyse such tones.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio.h"
#include "device.h"
#include "files.h"
#include "options.h"

int main(int argc, char** argv) {
  using namespace softtty;
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env = std::getenv("CORVALIS_PORT_DIR");
  auto parsed = parseOptions(args, env ? std::optional<std::string>(env) : std::nullopt);
  if (!parsed.options) {
    std::fprintf(stderr, "softtty: %s\nTry 'softtty --help' for more.\n", parsed.error.c_str());
    return 1;
  }
  const Options& o = *parsed.options;
  switch (o.mode) {
    case Mode::Help:
      std::fputs(usageText().c_str(), stdout);
      return 0;
    case Mode::Version:
      std::puts("softtty (TTY field-test kit) " KIT_VERSION);
      return 0;
    case Mode::Encode:
      return runEncode(o);
    case Mode::Decode:
      return runDecode(o);
    case Mode::ListDevices: {
      std::string text, error;
      if (!listSoundDevices(&text, &error)) {
        std::fprintf(stderr, "softtty: %s\n", error.c_str());
        return 1;
      }
      std::fputs(text.c_str(), stdout);
      return 0;
    }
    case Mode::Device:
      return runDevice(o);
  }
  return 1;
}
