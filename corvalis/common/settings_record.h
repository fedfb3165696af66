// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tester's choices: 21 strings kept by the main window and persisted in the registry.
// Flags hold "1" (on) or "0" (off).
#include <chrono>
#include <string>

namespace corvalis {

// The settings record: what the window shows and the call engine reads, and the settings store
// (records/settings_store.h) keeps.
struct TWindowSettings {
  std::string TestType;
  std::string CallDirection;
  std::string Signal;
  std::string UserName;
  std::string Location;
  std::string NetworkInfo;
  std::string LogDirectory;
  std::string ScriptFileName;
  std::string DeviceType;
  std::string Port;
  std::string DialNumber;
  std::string CableID;
  std::string PhoneModel;
  std::string PhoneTech;
  std::string AutoAnswer;
  std::string AutoHangUp;
  std::string AutoSend;
  std::string ComputerID;
  std::string AutoSave;
  std::string CustomSignal;
  std::string TurboCode;

  bool operator==(const TWindowSettings&) const = default;
};

// A moment of the wall clock (a call's start and end, a journal's writes).
using TDateTime = std::chrono::system_clock::time_point;

}  // namespace corvalis
