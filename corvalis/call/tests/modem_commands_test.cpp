// SPDX-License-Identifier: Apache-2.0
// The modems' timed command sequences: each one that a hang-up or an initialisation starts ends,
// and says only what a modem takes.
#include "call/modem_commands.h"

#include <gtest/gtest.h>

#include "call/engine_state.h"

namespace corvalis {
namespace {

// The commands of the sequence from First to its last step, the steps that send nothing left out.
std::vector<std::string> Sequence(std::uint16_t First) {
  std::vector<std::string> said;
  for (std::uint16_t step = First;; ++step) {
    if (const std::string command = StepCommand(step); !command.empty()) said.push_back(command);
    if (StepEndsSequence(step)) return said;
    if (step > First + 8) return {"<does not end>"};
  }
}

TEST(ModemCommands, EveryDevicesHangUpAndInitialisationEndAndSayOnlyCommands) {
  for (const char* device : {kDeviceNXi, kDeviceInteleModem300, kDeviceInteleModem2400}) {
    SCOPED_TRACE(device);
    const auto hangUp = Sequence(HangUpFirstStep(device));
    ASSERT_FALSE(hangUp.empty());
    EXPECT_EQ(hangUp.back(), "ATH\r");
    const auto init = Sequence(InitFirstStep(device));
    for (const auto& command : init)
      EXPECT_TRUE(command.starts_with("AT") && command.ends_with("\r")) << command;
    EXPECT_TRUE(ResetCommand(device).starts_with("ATZ"));
  }
  // Only the Intele-Modem 2400 goes to ATH without the escape to command mode (it takes NAK at once).
  EXPECT_EQ(Sequence(HangUpFirstStep(kDeviceNXi)), (std::vector<std::string>{"+++", "ATH\r"}));
  EXPECT_EQ(Sequence(HangUpFirstStep(kDeviceInteleModem2400)), (std::vector<std::string>{"ATH\r"}));
  EXPECT_EQ(HangUpCharacters(kDeviceInteleModem2400, false), "\x15");
  EXPECT_EQ(HangUpCharacters(kDeviceInteleModem300, false), "");
  EXPECT_EQ(HangUpCharacters(kDeviceInteleModem300, true), "\x1B");
}

TEST(ModemCommands, OnlyTheInteleModem2400ChoosesTheTurboCodeInItsDialAndAnswer) {
  TWindowSettings settings;
  settings.TurboCode = "1";
  settings.DeviceType = kDeviceNXi;
  EXPECT_EQ(DialCommand(settings, "5551234"), "ATDT 5551234\r");
  EXPECT_EQ(AnswerCommand(settings), "ATA\r");
  settings.DeviceType = kDeviceInteleModem2400;
  EXPECT_EQ(DialCommand(settings, "5551234"), "ATB7S15=3DT 5551234\r");
  settings.TurboCode = "0";
  EXPECT_EQ(AnswerCommand(settings), "ATB1S15=0A\r");
}

}  // namespace
}  // namespace corvalis
