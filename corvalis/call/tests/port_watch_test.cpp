// SPDX-License-Identifier: Apache-2.0
// The port watch without a window: a device unplugged, replaced, busy and plugged in again, judged
// from the log lines, the port's state and what the owner is told.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <vector>

#include "call/port_watch.h"
#include "serial/comdevice.h"
#include "serial/tests/fake_device.h"
#include "serial/tests/test_handoff.h"

namespace corvalis {
namespace {

using testing::TFakeDevice;
using testing::TTestHandoff;

// Ports that can be plugged in, swapped, refused and pulled out.
class TPlugSystem : public TComSystem {
 public:
  std::shared_ptr<TComDevice> OpenDevice(const std::string& Name, int& Error) override {
    if (refusal != 0) {
      Error = refusal;
      return nullptr;
    }
    auto it = plugged.find(Name);
    if (it == plugged.end()) {
      Error = ENOENT;
      return nullptr;
    }
    return std::make_shared<TFakeDevice>();
  }
  std::string DeviceIdentity(const std::string& Name, int& Error) override {
    auto it = plugged.find(Name);
    Error = it == plugged.end() ? ENOENT : 0;
    return it == plugged.end() ? std::string() : it->second;
  }
  std::map<std::string, std::string> plugged;  // name -> what it leads to
  int refusal = 0;
};

struct WatchedPort {
  WatchedPort() {
    Port.SetPortNum("COM4");
    Port.OnOpen = [this](TComPort*) { Watch.Opened(); };
  }
  TTestHandoff Handoff;
  std::shared_ptr<TPlugSystem> System = std::make_shared<TPlugSystem>();
  TComPort Port{&Handoff, System};
  TDateTime now{};
  std::vector<std::string> log, told;
  TPortWatch Watch{Port, *System,
                   TPortWatch::TEnvironment{.Now = [this] { return now; },
                                            .Log = [this](const std::string& l) { log.push_back(l); },
                                            .OnGone = [this](const std::string& n) { told.push_back("gone " + n); },
                                            .OnBack = [this] { told.push_back("back"); },
                                            .ClosePort = [this] { Port.Close(); }}};
  void After(double seconds) { now += std::chrono::milliseconds(static_cast<int>(seconds * 1000)); }
};

TEST(PortWatch, ADeviceMissingReplacedBusyAndBackIsSaidOnceEachAndOpenedWhenItCan) {
  WatchedPort w;
  const std::string path = ResolvePortPath("COM4");

  // Missing at start: the error goes to the caller, the watch says nothing and waits for it.
  EXPECT_THROW(w.Watch.Open(), EComPort);
  EXPECT_TRUE(w.Watch.Watched());
  for (int i = 0; i < 3; ++i) {
    w.After(1);
    w.Watch.Check();
  }
  EXPECT_FALSE(w.Port.IsOpen());
  EXPECT_TRUE(w.log.empty());

  // Plugged in: opened at the next check, said once, and the owner sets it up.
  w.System->plugged["COM4"] = "usb-1";
  w.After(0.5);
  w.Watch.Check();
  EXPECT_TRUE(w.Port.IsOpen());
  EXPECT_FALSE(w.Watch.Watched());
  ASSERT_EQ(w.log.size(), 1u);
  EXPECT_EQ(w.log[0], "COM4 = " + path + ": the device is there now, 3.5 s after the port could not be opened; "
                                         "the port is open");
  EXPECT_EQ(w.told, std::vector<std::string>{"back"});

  // The same device behind the name: nothing happens.
  w.Watch.Check();
  EXPECT_EQ(w.log.size(), 1u);

  // Another device behind the name: the one that was opened has gone. Said once, however it is found
  // out again (its hang-up event), and the port is closed.
  w.System->plugged["COM4"] = "usb-2";
  w.Watch.Check();
  w.Watch.Gone(EIO, "it hung up");
  EXPECT_FALSE(w.Port.IsOpen());
  ASSERT_EQ(w.log.size(), 2u);
  EXPECT_EQ(w.log[1], "COM4 = " + path + ": the device has gone (its name leads to another device); the port is "
                                         "closed and opened again when the device is back");
  EXPECT_EQ(w.told, (std::vector<std::string>{"back", "gone COM4"}));

  // There but refused (another program has it): said once, however often it is tried.
  w.System->refusal = EBUSY;
  for (int i = 0; i < 3; ++i) {
    w.After(1);
    w.Watch.Check();
  }
  ASSERT_EQ(w.log.size(), 3u);
  EXPECT_EQ(w.log[2], "COM4 = " + path + ": still not usable (Device or resource busy)");

  // Let go of: opened again, with how long it was away.
  w.System->refusal = 0;
  w.After(1);
  w.Watch.Check();
  EXPECT_TRUE(w.Port.IsOpen());
  ASSERT_EQ(w.log.size(), 4u);
  EXPECT_EQ(w.log[3], "COM4 = " + path + ": the device is back, 4.0 s after it went; the port is open again");
  EXPECT_EQ(w.told, (std::vector<std::string>{"back", "gone COM4", "back"}));

  // Unplugged while open: its name leads nowhere.
  w.System->plugged.clear();
  w.Watch.Check();
  EXPECT_FALSE(w.Port.IsOpen());
  ASSERT_EQ(w.log.size(), 5u);
  EXPECT_EQ(w.log[4], "COM4 = " + path + ": the device has gone (its name leads nowhere: No such file or "
                                         "directory); the port is closed and opened again when the device is back");
}

}  // namespace
}  // namespace corvalis
