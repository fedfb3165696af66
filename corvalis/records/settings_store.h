// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings record in the registry key "\Software\Marrowfield\Orrin\Corvalis" under
// HKEY_LOCAL_MACHINE: 21 string values, read and written in a fixed order. No user interface here;
// the main window puts the values into its controls.
#include <array>
#include <bitset>
#include <optional>
#include <string>
#include <string_view>

#include "common/settings_record.h"
#include "records/registry.h"

namespace corvalis::records {

inline constexpr std::string_view kSettingsKey = "\\Software\\Marrowfield\\Orrin\\Corvalis";

struct SettingsValue {
  std::string_view name;               // the registry value name
  std::string TWindowSettings::*field;  // the record field it fills
};

// The 21 values in the order they are read and written.
extern const std::array<SettingsValue, 21> kSettingsValues;

// The values before the store is read: the fixed texts and flags, empty texts for the user's entries.
// DialNumber, CableID, PhoneModel and PhoneTech are left as they are.
void setSettingsDefaults(TWindowSettings& record);

// The user's home folder ($HOME, else the password database), the first log directory.
std::string homeDirectory();

// One bit for each of the 21 values, in their order.
using SettingsMask = std::bitset<21>;

// Reads the 21 values into the record, in order; an absent value reads as empty and replaces the field.
// Returns false, changing nothing, when the key cannot be opened (registry.problem() says why when it
// is more than an absent key). A value that is not a string raises RegistryError ("Invalid data type
// for '<name>'"); the values before it have then been read, and *valuesRead (when given) counts them.
// The key is closed on every path.
bool readSettings(Registry& registry, TWindowSettings& record, size_t* valuesRead = nullptr);

// Writes the 21 values as strings (nothing else is written, nothing deleted), creating the key when
// absent, in one replacement of the file; the values of leaveStored are not written and keep what the
// store holds. When the file was changed by someone else since this program last read or wrote it and
// the write goes over a value so changed, the file as found is first kept as Corvalis.reg.edited
// (".1", ".2", ... for later ones); registry.keptAside() says where and keptAsideText the log line. Returns
// false, writing nothing, when there is no settings folder at all. A key that cannot be opened or created
// raises RegistryError with the text of settingsProblemText; a refused write raises RegistryError ("Failed to
// set data for '<name>'") and leaves the stored values as they were. The key is closed on every path.
bool writeSettings(Registry& registry, const TWindowSettings& record, const SettingsMask& leaveStored = {});

// The log line for the file the last write kept aside (see Registry::keptAside); empty for none.
std::string keptAsideText(const Registry& registry);

// What the tester is told about a settings store that cannot be used as it should (empty for none).
std::string settingsProblemText(const RegistryProblem& problem);

// A flag is on only when it is exactly "1".
inline bool settingsFlagOn(const std::string& flag) {
  return flag == "1";
}

// The port button that Port selects: 1 to 6 for "1".."6", otherwise none (0).
int portButtonNumber(const std::string& port);

// The serial device name Port gives ("COM" + Port) when it starts with "1".."6"; otherwise the port's
// name stays as it is (nothing).
std::optional<std::string> portNameFor(const std::string& port);

}  // namespace corvalis::records
