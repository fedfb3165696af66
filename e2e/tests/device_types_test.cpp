// SPDX-License-Identifier: Apache-2.0
// The device types as the program drives them and as ttysim plays them: the same six texts, each
// a modem or not and able to send or not on both sides, and a near miss refused by both. A type
// that drifted on one side would be played as another device than the one the program drives.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "call/engine_state.h"
#include "device.h"

namespace {

TEST(DeviceTypes, TheProgramAndTheSimulatorAgreeOnEveryTypeAndRefuseTheSameNearMisses) {
  const std::set<std::string> program = {corvalis::kDeviceQ90,      corvalis::kDeviceCustomCompact,
                                         corvalis::kDeviceNXi,      corvalis::kDeviceSupercom,
                                         corvalis::kDeviceInteleModem300, corvalis::kDeviceInteleModem2400};
  std::set<std::string> played;
  for (auto d : {ttysim::Device::Q90, ttysim::Device::CustomCompact, ttysim::Device::Nxi, ttysim::Device::Supercom,
                 ttysim::Device::InteleModem300, ttysim::Device::InteleModem2400}) {
    const std::string text(ttysim::deviceText(d));
    played.insert(text);
    SCOPED_TRACE(text);
    EXPECT_EQ(corvalis::DeviceTypeIsModem(text), ttysim::isModem(d));
    EXPECT_EQ(corvalis::DeviceTypeIsBiDirectional(text), ttysim::isBiDirectional(d));
    // A modem always sends what it is given.
    if (ttysim::isModem(d)) {
      EXPECT_TRUE(corvalis::DeviceTypeIsBiDirectional(text));
    }
  }
  EXPECT_EQ(played, program);

  for (const char* t : {"", "nxi modem", "NXi Modem ", "Ultratec custom compact", "NXi modem\r"}) {
    SCOPED_TRACE(t);
    EXPECT_FALSE(corvalis::DeviceTypeIsModem(t));
    EXPECT_FALSE(corvalis::DeviceTypeIsBiDirectional(t));
    EXPECT_FALSE(ttysim::parseDevice(t).has_value());
  }
}

}  // namespace
