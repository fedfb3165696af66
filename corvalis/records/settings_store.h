#pragma once
// The settings record in the registry key "\Software\Marrowfield\Orrin\Corvalis" under
// HKEY_LOCAL_MACHINE: 21 string values, read and written in a fixed order. No user interface here;
// the main window puts the values into its controls.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "registry.h"
#include "settings_record.h"

namespace corvalis::records {

inline constexpr std::string_view kSettingsKey = "\\Software\\Marrowfield\\Orrin\\Corvalis";

struct SettingsValue {
  std::string_view name;               // the registry value name
  std::string SettingsRecord::*field;  // the record field it fills
};

// The 21 values in the order they are read and written.
extern const std::array<SettingsValue, 21> kSettingsValues;

// The values before the store is read: the fixed texts and flags, empty texts for the user's entries.
// DialNumber, CableID, PhoneModel and PhoneTech are left as they are.
void setSettingsDefaults(SettingsRecord& record);

// Reads the 21 values into the record, in order; an absent value reads as empty and replaces the field.
// Returns false, changing nothing, when the key cannot be opened. A value that is not a string raises
// RegistryError ("Invalid data type for '<name>'"); the values before it have then been read. The key
// is closed on every path.
bool readSettings(Registry& registry, SettingsRecord& record);

// Writes the 21 values as strings (nothing else is written, nothing deleted), creating the key when
// absent, in one replacement of the file. Returns false, writing nothing, when the key cannot be opened
// or created. A refused write raises RegistryError ("Failed to set data for '<name>'") and leaves the
// stored values as they were. The key is closed on every path.
bool writeSettings(Registry& registry, const SettingsRecord& record);

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
