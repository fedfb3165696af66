// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window's working state: the tester's settings record, the call-engine state
// shared by the call engine's operations, and the classification of the device types.
#include <chrono>
#include <cstdint>
#include <string>

#include "call/call_phase.h"
#include "call/line_state.h"
#include "call/script_reader.h"
#include "common/settings_record.h"

namespace corvalis {

// The six device types, compared exactly and case-sensitively.
inline constexpr const char* kDeviceQ90 = "Ameriphone Q-90";
inline constexpr const char* kDeviceCustomCompact = "Ultratec Custom Compact";
inline constexpr const char* kDeviceNXi = "NXi modem";
inline constexpr const char* kDeviceSupercom = "Ultratec Supercom";
inline constexpr const char* kDeviceInteleModem300 = "Ultratec Intele-Modem 300";
inline constexpr const char* kDeviceInteleModem2400 = "Ultratec Intele-Modem 2400";

// A modem is driven with AT commands; the other types are TTYs attached directly.
bool DeviceTypeIsModem(const std::string& deviceType);
// A bi-directional device sends what the program writes to the port.
bool DeviceTypeIsBiDirectional(const std::string& deviceType);

// A flag of the settings record: "1" on, "0" off.
inline std::string FlagText(bool on) {
  return std::string(on ? "1" : "0");
}

// Speaker mark last written in this call.
enum : std::uint8_t { kMarkSend = 0, kMarkRecd = 1, kMarkNone = 2 };

// The variables with which the call engine's operations coordinate a call. The values
// here are those at program start.
struct TCallEngineState {
  // From Start Call to the record saved or discarded (call_phase.h).
  TCallPhase Phase;
  // The line to the far end (line_state.h).
  TLineState Line;
  bool TurboDetected = false;
  bool AutoScriptPending = false;
  std::uint16_t ScriptStartTicks = 0;
  std::uint16_t InactivityTicks = 0;
  bool AutoSendArmed = false;
  // The script has ended in this call: auto-send stays off until the next call or Reset.
  bool AutoSendHeld = false;
  std::uint16_t RxIdleTicks = 0;
  std::uint16_t RxCharsSinceSend = 0;
  std::string RecentChars;  // at most 4 characters
  std::uint16_t LineColumn = 0;
  bool CallStartPending = false;
  std::uint8_t LastMark = 0;
  std::int32_t CallSeconds = 0;
  std::uint8_t TickPhase = 0;
  TDateTime CallStartTime{};
  TDateTime CallEndTime{};
  bool ScriptCompleted = false;

  // The script, read a line at a time as this side sends it, and its number of turns.
  TScriptReader Script;
  std::uint16_t TurnTotal = 0;
  bool Sending = false;
  std::string SendQueue;

  // Each call's number, from 1: what is queued for one call never goes into another.
  std::uint32_t CallId = 0;
  // Characters from the far end that arrived while this side was sending and are not shown.
  std::int32_t Collisions = 0;
  // What the received line being read has added to the auto-send counts and the collisions: a
  // modem's result line (RING, NO CARRIER) takes it back out.
  std::uint16_t LineRxChars = 0;
  std::string LineStartRecentChars;
  std::int32_t LineCollisions = 0;
  // The line just read was a modem's result line: its CR LF does not count either.
  bool ResultLineEnding = false;

  // The AT command sequence's next step, and the number of the sequence running: a stop counts
  // one up, so that a step begun before it goes no further.
  std::uint16_t ATStep = 0;
  std::uint32_t CommandSequence = 1;
  std::string RxLineBuffer;
  std::string LastRxLine;
  std::string FilePrefix;
};

}  // namespace corvalis
