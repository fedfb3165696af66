// Live audio through the sound server (PulseAudio, or PipeWire through its PulseAudio service).
#include "audio.h"

namespace softtty {

std::unique_ptr<AudioOut> openSoundOutput(const std::string&, int, std::string* error) {
  *error = "live audio is not done yet";
  return nullptr;
}
std::unique_ptr<AudioIn> openSoundInput(const std::string&, int, std::string* error) {
  *error = "live audio is not done yet";
  return nullptr;
}
bool listSoundDevices(std::string*, std::string* error) {
  *error = "live audio is not done yet";
  return false;
}

}  // namespace softtty
