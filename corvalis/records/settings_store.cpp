#include "settings_store.h"

#include <utility>
#include <vector>

namespace corvalis::records {

const std::array<SettingsValue, 21> kSettingsValues = {{
    {"Test Type", &SettingsRecord::TestType},
    {"Call Direction", &SettingsRecord::CallDirection},
    {"Signal", &SettingsRecord::Signal},
    {"Device Type", &SettingsRecord::DeviceType},
    {"Username", &SettingsRecord::UserName},
    {"Location", &SettingsRecord::Location},
    {"NetworkInfo", &SettingsRecord::NetworkInfo},
    {"Log directory", &SettingsRecord::LogDirectory},
    {"Script filename", &SettingsRecord::ScriptFileName},
    {"Port", &SettingsRecord::Port},
    {"Dial number", &SettingsRecord::DialNumber},
    {"CableID", &SettingsRecord::CableID},
    {"PhoneModel", &SettingsRecord::PhoneModel},
    {"PhoneTech", &SettingsRecord::PhoneTech},
    {"Auto answer", &SettingsRecord::AutoAnswer},
    {"Auto hang up", &SettingsRecord::AutoHangUp},
    {"Auto send", &SettingsRecord::AutoSend},
    {"Ending filename", &SettingsRecord::ComputerID},
    {"Auto save", &SettingsRecord::AutoSave},
    {"CustomSignal", &SettingsRecord::CustomSignal},
    {"Enable Turbo Code", &SettingsRecord::TurboCode},
}};

namespace {
// Closes the key however the caller leaves.
struct KeyCloser {
  Registry& registry;
  ~KeyCloser() { registry.closeKey(); }
};
}  // namespace

void setSettingsDefaults(SettingsRecord& record) {
  record.TestType = "Wireless: Static Direct Call";
  record.CallDirection = "Outgoing Call";
  record.Signal = "Strong";
  record.UserName.clear();
  record.Location.clear();
  record.NetworkInfo.clear();
  record.LogDirectory = "c:\\";
  record.ScriptFileName.clear();
  record.DeviceType = "Ameriphone Q-90";
  record.Port = "1";
  record.AutoAnswer = "0";
  record.AutoHangUp = "0";
  record.AutoSend = "0";
  record.ComputerID.clear();
  record.AutoSave = "0";
  record.CustomSignal.clear();
  record.TurboCode = "0";
}

bool readSettings(Registry& registry, SettingsRecord& record) {
  if (!registry.openKey(kSettingsKey, false)) return false;
  KeyCloser closer{registry};
  for (const SettingsValue& v : kSettingsValues) record.*v.field = registry.readString(v.name);
  return true;
}

bool writeSettings(Registry& registry, const SettingsRecord& record) {
  if (!registry.openKey(kSettingsKey, true)) return false;
  KeyCloser closer{registry};
  std::vector<std::pair<std::string, std::string>> values;
  for (const SettingsValue& v : kSettingsValues) values.emplace_back(v.name, record.*v.field);
  registry.writeStrings(values);
  return true;
}

int portButtonNumber(const std::string& port) {
  return port.size() == 1 && port[0] >= '1' && port[0] <= '6' ? port[0] - '0' : 0;
}

std::optional<std::string> portNameFor(const std::string& port) {
  if (port.empty() || port[0] < '1' || port[0] > '6') return std::nullopt;
  return "COM" + port;
}

}  // namespace corvalis::records
