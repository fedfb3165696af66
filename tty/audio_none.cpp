// SPDX-License-Identifier: Apache-2.0
// Live audio when the program was built without the sound server's client library.
#include "audio.h"

namespace tty {
namespace {
const char* kMissing = "built without live audio (libpulse-dev was missing); use WAV files or --input-file";
}

std::unique_ptr<AudioOut> openSoundOutput(const std::string&, int, std::string* error) {
  *error = kMissing;
  return nullptr;
}
std::unique_ptr<AudioIn> openSoundInput(const std::string&, int, std::string* error) {
  *error = kMissing;
  return nullptr;
}
bool listSoundDevices(std::string*, std::string* error) {
  *error = kMissing;
  return false;
}

}  // namespace tty
