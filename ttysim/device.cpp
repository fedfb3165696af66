// SPDX-License-Identifier: Apache-2.0
#include "device.h"

#include <array>

namespace ttysim {
namespace {

struct Entry {
  Device device;
  std::string_view text;
  std::string_view alias;
};

constexpr std::array<Entry, 6> kDevices{{
    {Device::Q90, "Ameriphone Q-90", "q90"},
    {Device::CustomCompact, "Ultratec Custom Compact", "compact"},
    {Device::Nxi, "NXi modem", "nxi"},
    {Device::Supercom, "Ultratec Supercom", "supercom"},
    {Device::InteleModem300, "Ultratec Intele-Modem 300", "im300"},
    {Device::InteleModem2400, "Ultratec Intele-Modem 2400", "im2400"},
}};

}  // namespace

std::string_view deviceText(Device d) {
  for (const auto& e : kDevices) {
    if (e.device == d) return e.text;
  }
  return {};
}

std::optional<Device> parseDevice(std::string_view text) {
  for (const auto& e : kDevices) {
    if (text == e.text || text == e.alias) return e.device;
  }
  return std::nullopt;
}

std::string deviceNamesHelp(std::string_view indent) {
  std::string s;
  for (const auto& e : kDevices) {
    s += indent;
    s += "\"";
    s += e.text;
    s += "\" (or ";
    s += e.alias;
    s += ")\n";
  }
  return s;
}

bool isModem(Device d) {
  return d == Device::Nxi || d == Device::InteleModem300 || d == Device::InteleModem2400;
}

bool isBiDirectional(Device d) {
  return isModem(d) || d == Device::CustomCompact;
}

void setModel(tty::ModemConfig& config, Device d) {
  config.identity = std::string(deviceText(d));
  switch (d) {
    case Device::Nxi:
      config.hangUpChar = 4;  // EOT
      config.turboCommand = tty::TurboCommand::HashT;
      break;
    case Device::InteleModem2400:
      config.hangUpChar = 21;  // NAK
      config.turboCommand = tty::TurboCommand::B7;
      break;
    case Device::InteleModem300:
      config.hangUpChar = 27;  // ESC
      config.turboCommand = tty::TurboCommand::None;
      break;
    default:
      config.hangUpChar = -1;
      config.turboCommand = tty::TurboCommand::None;
      break;
  }
}

}  // namespace ttysim
