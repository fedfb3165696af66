// SPDX-License-Identifier: Apache-2.0
#include "records/settings_store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace corvalis::records {

const std::array<SettingsValue, 21> kSettingsValues = {{
    {"Test Type", &TWindowSettings::TestType},
    {"Call Direction", &TWindowSettings::CallDirection},
    {"Signal", &TWindowSettings::Signal},
    {"Device Type", &TWindowSettings::DeviceType},
    {"Username", &TWindowSettings::UserName},
    {"Location", &TWindowSettings::Location},
    {"NetworkInfo", &TWindowSettings::NetworkInfo},
    {"Log directory", &TWindowSettings::LogDirectory},
    {"Script filename", &TWindowSettings::ScriptFileName},
    {"Port", &TWindowSettings::Port},
    {"Dial number", &TWindowSettings::DialNumber},
    {"CableID", &TWindowSettings::CableID},
    {"PhoneModel", &TWindowSettings::PhoneModel},
    {"PhoneTech", &TWindowSettings::PhoneTech},
    {"Auto answer", &TWindowSettings::AutoAnswer},
    {"Auto hang up", &TWindowSettings::AutoHangUp},
    {"Auto send", &TWindowSettings::AutoSend},
    {"Ending filename", &TWindowSettings::ComputerID},
    {"Auto save", &TWindowSettings::AutoSave},
    {"CustomSignal", &TWindowSettings::CustomSignal},
    {"Enable Turbo Code", &TWindowSettings::TurboCode},
}};

namespace {
// Closes the key however the caller leaves.
struct KeyCloser {
  Registry& registry;
  ~KeyCloser() { registry.closeKey(); }
};

// The settings file's text as this program last read or wrote it, by registry folder (an absent
// file reads as empty). A save compares the file with it to find changes made by someone else meanwhile: a
// hand edit, another copy of the program. The program has one settings store, so this lives as long as the
// process.
class KnownTexts {
 public:
  void set(const Registry& registry, std::string text) {
    std::lock_guard lock(mutex_);
    texts_[registry.rootDir()] = std::move(text);
  }
  std::optional<std::string> get(const Registry& registry) const {
    std::lock_guard lock(mutex_);
    auto it = texts_.find(registry.rootDir());
    if (it == texts_.end()) return std::nullopt;
    return it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::filesystem::path, std::string> texts_;
};

KnownTexts& knownTexts() {
  static KnownTexts texts;
  return texts;
}
}  // namespace

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

void setSettingsDefaults(TWindowSettings& record) {
  record.TestType = "Wireless: Static Direct Call";
  record.CallDirection = "Outgoing Call";
  record.Signal = "Strong";
  record.UserName.clear();
  record.Location.clear();
  record.NetworkInfo.clear();
  // Captures go to the tester's home folder until another is chosen.
  record.LogDirectory = homeDirectory();
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

bool readSettings(Registry& registry, TWindowSettings& record, size_t* valuesRead) {
  if (valuesRead) *valuesRead = 0;
  if (!registry.openKey(kSettingsKey, false)) {
    // Nothing read: whatever the file holds at the first save was not seen by this program.
    knownTexts().set(registry, {});
    return false;
  }
  KeyCloser closer{registry};
  knownTexts().set(registry, registry.currentKeyText());
  for (const SettingsValue& v : kSettingsValues) {
    record.*v.field = registry.readString(v.name);
    if (valuesRead) ++*valuesRead;
  }
  return true;
}

bool writeSettings(Registry& registry, const TWindowSettings& record, const SettingsMask& leaveStored) {
  if (!registry.openKey(kSettingsKey, true)) {
    const RegistryProblem& problem = registry.problem();
    if (!problem) return false;
    throw RegistryError(settingsProblemText(problem), problem.path, problem.systemError);
  }
  KeyCloser closer{registry};
  std::vector<std::pair<std::string, std::string>> values;
  for (size_t i = 0; i < kSettingsValues.size(); ++i) {
    if (!leaveStored[i]) values.emplace_back(kSettingsValues[i].name, record.*kSettingsValues[i].field);
  }
  const std::optional<std::string> known = knownTexts().get(registry);
  registry.writeStrings(values, known ? &*known : nullptr);
  knownTexts().set(registry, registry.currentKeyText());
  return true;
}

std::string keptAsideText(const Registry& registry) {
  const std::filesystem::path& copy = registry.keptAside();
  if (copy.empty()) return {};
  if (registry.keptAsideWhy() == Registry::KeptAsideWhy::Unreadable)
    return "the settings file that could not be read is kept as " + copy.string();
  std::string names;
  for (const std::string& name : registry.overwrittenEdits()) names += (names.empty() ? "" : ", ") + name;
  return "the settings file was changed outside the program since it was read (" + names +
         "); the window's settings are saved over it, and the changed file " +
         (registry.keptEarlier() ? "was already kept as " : "is kept as ") + copy.string();
}

std::string settingsProblemText(const RegistryProblem& problem) {
  const std::string path = problem.path.string();
  switch (problem.kind) {
    case RegistryProblem::Kind::None:
      return {};
    case RegistryProblem::Kind::NotAFolder:
      return "The settings cannot be read or saved: " + path + " is not a folder.";
    case RegistryProblem::Kind::NotAFile:
      return "The settings cannot be read or saved: " + path + " is a folder, not a file.";
    case RegistryProblem::Kind::CannotRead:
      return "The settings file cannot be read: " + path;
    case RegistryProblem::Kind::CannotCreate:
      return "The settings folder cannot be made: " + path;
    case RegistryProblem::Kind::NoHeader:
      return "The settings file is not readable (no REGEDIT4 header): " + path +
             "\nThe program starts on its defaults; the file is kept as " +
             unreadableCopyPath(problem.path).filename().string() + ".";
  }
  return {};
}

int portButtonNumber(const std::string& port) {
  return port.size() == 1 && port[0] >= '1' && port[0] <= '6' ? port[0] - '0' : 0;
}

std::optional<std::string> portNameFor(const std::string& port) {
  if (port.empty() || port[0] < '1' || port[0] > '6') return std::nullopt;
  return "COM" + port;
}

}  // namespace corvalis::records
