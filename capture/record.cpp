// SPDX-License-Identifier: Apache-2.0
// Writing a call record.
#include "capture.h"

namespace capture {

bool isLandline(std::string_view type) { return type == kLandlineDirect || type == kLandlineAcoustic; }

bool isModemDevice(std::string_view device) {
  return device == "NXi modem" || device == "Ultratec Intele-Modem 300" || device == "Ultratec Intele-Modem 2400";
}

const std::string* Record::value(std::string_view key) const {
  for (const auto& [k, v] : values)
    if (k == key) return &v;
  return nullptr;
}

std::vector<std::pair<std::string, std::string>> valueLines(const CallValues& v) {
  const bool landline = isLandline(v.type);
  std::vector<std::pair<std::string, std::string>> lines = {
      {"COMPUTERID", v.computerId},
      {"TYPE", v.type},
      {"DIRECTION", v.direction},
      {"SIGNAL", landline ? "N/A (Landline calls)" : v.signal},
      {"CABLEID", landline ? "N/A" : v.cableId},
      {"PHONEMODEL", landline ? "N/A" : v.phoneModel},
      {"PHONETECH", landline ? "N/A" : v.phoneTech},
      {"USERNAME", v.userName},
      {"LOCATION", v.location},
      {"NETWORKINFO", v.networkInfo},
      {"DEVICE", v.device},
      {"PORT", v.port},
      {"TURBOCODEDETECTED", v.turboDetected ? "Yes" : "No"}};
  if (v.direction == kOutgoingCall && isModemDevice(v.device)) lines.emplace_back("DIAL#", v.dialNumber);
  lines.emplace_back("SCRIPTCOMPLETED", v.scriptCompleted ? "Yes" : "No");
  lines.emplace_back("SCRIPTUSED", v.scriptUsed);
  return lines;
}

std::string endedText(std::string_view date, std::string_view seconds) {
  return std::string(date) + " (" + std::string(seconds) + " seconds)";
}

std::vector<std::string> recordLines(const Record& r) {
  std::vector<std::string> lines = {kRule, "Started at " + r.started, "", r.conversation, "", "Ended at " + r.ended};
  for (const auto& [key, value] : r.values) lines.push_back(key + ": " + value);
  lines.emplace_back();
  return lines;
}

std::string recordBytes(const Record& r) {
  std::string bytes;
  for (const std::string& line : recordLines(r)) bytes += line + "\r\n";
  return bytes;
}

}  // namespace capture
