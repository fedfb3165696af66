// SPDX-License-Identifier: Apache-2.0
#pragma once
// What is said to the TTY modems: the dial and answer commands, the characters that hang up at
// once, and the timed AT command sequences (hang-up, initialisation), one step per tick of the
// command timer. A step is a number; each sequence runs from its first step to its last.
//
// Errors: none; a step without a command sends nothing.
#include <cstdint>
#include <string>

#include "common/settings_record.h"

namespace corvalis {

// The dial command for the number (its text already in Windows-1252).
std::string DialCommand(const TWindowSettings& Settings, const std::string& Number);
std::string AnswerCommand(const TWindowSettings& Settings);

// A hang-up: the characters the device takes at once (CallStartPending: nothing was exchanged
// yet), and the step its timed sequence starts at.
std::string HangUpCharacters(const std::string& DeviceType, bool CallStartPending);
std::uint16_t HangUpFirstStep(const std::string& DeviceType);

// Initialisation: the reset command sent at once, and the step its timed sequence starts at.
std::string ResetCommand(const std::string& DeviceType);
std::uint16_t InitFirstStep(const std::string& DeviceType);

// What a step sends ("" for a step that only waits), and whether the sequence ends with it.
std::string StepCommand(std::uint16_t Step);
bool StepEndsSequence(std::uint16_t Step);

}  // namespace corvalis
