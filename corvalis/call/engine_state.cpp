// SPDX-License-Identifier: Apache-2.0
#include "engine_state.h"

namespace corvalis {

bool DeviceTypeIsModem(const std::string& deviceType) {
  return deviceType == kDeviceInteleModem300 || deviceType == kDeviceInteleModem2400 ||
         deviceType == kDeviceNXi;
}

bool DeviceTypeIsBiDirectional(const std::string& deviceType) {
  return DeviceTypeIsModem(deviceType) || deviceType == kDeviceCustomCompact;
}

}  // namespace corvalis
