// SPDX-License-Identifier: Apache-2.0
#pragma once
// The six device types a tester can attach, by their exact texts.
#include <optional>
#include <string>
#include <string_view>

#include "at_modem.h"

namespace ttysim {

enum class Device { Q90, CustomCompact, Nxi, Supercom, InteleModem300, InteleModem2400 };

// The exact device text, for example "NXi modem".
std::string_view deviceText(Device d);
// A device from its exact text (case-sensitive) or a short alias (q90, compact, nxi, supercom,
// im300, im2400).
std::optional<Device> parseDevice(std::string_view text);
// The list of accepted names, for error messages and --help.
std::string deviceNamesHelp(std::string_view indent = "  ");

bool isModem(Device d);
// A bi-directional device sends what the program writes to the port; the others only show it.
bool isBiDirectional(Device d);

// Gives a modem the model's ATI text, immediate hang-up character and turbo command.
void setModel(tty::ModemConfig& config, Device d);

}  // namespace ttysim
