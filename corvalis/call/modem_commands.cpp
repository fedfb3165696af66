// SPDX-License-Identifier: Apache-2.0
#include "call/modem_commands.h"

#include "call/engine_state.h"

namespace corvalis {

namespace {

const std::string CR = "\r";

// The Intele-Modem 2400 chooses the turbo code (or plain TTY) in the dial and answer
// commands; the other modems take no option.
std::string TurboOption(const TWindowSettings& Settings) {
  if (Settings.DeviceType != kDeviceInteleModem2400) return "";
  return Settings.TurboCode == "1" ? "B7S15=3" : "B1S15=0";
}

}  // namespace

std::string DialCommand(const TWindowSettings& Settings, const std::string& Number) {
  return "AT" + TurboOption(Settings) + "DT " + Number + CR;
}

std::string AnswerCommand(const TWindowSettings& Settings) {
  return "AT" + TurboOption(Settings) + "A" + CR;
}

std::string HangUpCharacters(const std::string& DeviceType, bool CallStartPending) {
  // The Intele-Modem 300's escape only before anything was exchanged.
  if (DeviceType == kDeviceInteleModem300) return CallStartPending ? "\x1B" : "";
  if (DeviceType == kDeviceNXi) return "\x04";
  if (DeviceType == kDeviceInteleModem2400) return "\x15";
  return "";
}

std::uint16_t HangUpFirstStep(const std::string& DeviceType) {
  // The Intele-Modem 2400 needs no escape to command mode: it goes straight to ATH.
  return DeviceType == kDeviceInteleModem2400 ? 2 : 1;
}

std::string ResetCommand(const std::string& DeviceType) {
  return (DeviceType == kDeviceInteleModem2400 ? "ATZ0" : "ATZ") + CR;
}

std::uint16_t InitFirstStep(const std::string& DeviceType) {
  if (DeviceType == kDeviceInteleModem2400) return 30;
  return DeviceType == kDeviceInteleModem300 ? 10 : 20;
}

std::string StepCommand(std::uint16_t Step) {
  switch (Step) {
    case 1:
      return "+++";
    case 2:
      return "ATH" + CR;
    case 10:
      return "ATE0B1S13=255" + CR;
    case 20:
      return "ATE0" + CR;
    case 21:
      return "AT#T" + CR;
    case 22:
      return "AT#L1" + CR;
    case 30:
      return "ATX1E0" + CR;
    default:
      return "";
  }
}

bool StepEndsSequence(std::uint16_t Step) {
  return Step == 2 || Step == 11 || Step == 23 || Step == 30;
}

}  // namespace corvalis
