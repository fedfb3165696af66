// SPDX-License-Identifier: Apache-2.0
#pragma once
// A main window for tests: offscreen, with a scripted serial device, message boxes that
// answer as told and record what they were asked, a clock the test sets, and timers that
// only tick when the test calls their handlers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "records/registry.h"
#include "records/settings_store.h"
#include "serial/comdevice.h"
#include "serial/comhandoff.h"
#include "temp_dir.h"
#include "ui/mainform.h"

namespace corvalis::testing {

// Makes the one QApplication of the test program. The settings and the call journals go to folders
// of the test program's own unless a test names others, never into the user's.
inline QApplication& App() {
  static kit::testing::TempDir registry;
  if (!std::getenv("CORVALIS_REGISTRY_DIR")) setenv("CORVALIS_REGISTRY_DIR", registry.path().c_str(), 1);
  // Call journals likewise.
  static kit::testing::TempDir state;
  if (!std::getenv("CORVALIS_STATE_DIR")) setenv("CORVALIS_STATE_DIR", state.path().c_str(), 1);
  static int argc = 1;
  static char name[] = "corvalis_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct BoxCall {
  std::string title;
  std::string text;
  TMsgButtons buttons;
  TMsgIcon icon;
};

class FakeBoxes : public IMessageBoxes {
 public:
  TMsgResult Show(const std::string& title, const std::string& text, TMsgButtons buttons,
                  TMsgIcon icon) override {
    calls.push_back({title, text, buttons, icon});
    if (onShow) onShow(calls.back());
    if (!answers.empty()) {
      TMsgResult r = answers.front();
      answers.pop_front();
      return r;
    }
    return buttons == TMsgButtons::YesNo ? TMsgResult::Yes : TMsgResult::Ok;
  }
  std::vector<BoxCall> calls;
  std::deque<TMsgResult> answers;  // then Ok or Yes
  std::function<void(const BoxCall&)> onShow;
};

// Keeps the lines the window logs (without the time) instead of writing them to standard error.
class FakeLog : public ILog {
 public:
  void Write(const std::string& line) override { lines.push_back(line); }
  // The lines that hold text.
  std::vector<std::string> With(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& l : lines)
      if (l.find(text) != std::string::npos) found.push_back(l);
    return found;
  }
  std::vector<std::string> lines;
};

class FakeClock : public IClock {
 public:
  TDateTime Now() override { return now; }
  TDateTime now = std::chrono::system_clock::from_time_t(1003413907);  // 2001-10-18 14:05:07 UTC
};

class FakeDesktop : public IDesktop {
 public:
  bool Open(const std::string& target) override {
    opened.push_back(target);
    return succeed;
  }
  std::vector<std::string> opened;
  bool succeed = true;
};

// A file dialog that returns what the test tells it, and records its preset.
class FakeFileDialogs : public IFileDialogs {
 public:
  std::string OpenFileName(const std::string& title, const std::string& preset,
                           const std::string& filter) override {
    (void)title;
    (void)filter;
    presets.push_back(preset);
    return answer;
  }
  std::vector<std::string> presets;
  std::string answer;  // empty: cancelled
};

// A serial device that records what is written and hands out what the test queues.
class FakeDevice : public TComDevice {
 public:
  int SetCommState(const TDcb& dcb) override {
    lastDcb = dcb;
    return 0;
  }
  int SetCommTimeouts(const TCommTimeouts&) override { return 0; }
  int SetupComm(std::uint32_t, std::uint32_t) override { return 0; }
  int PurgeComm(std::uint32_t) override { return 0; }
  int ClearCommError(std::uint32_t& errors, std::uint32_t& inQueue) override {
    errors = hungUp ? comdev::CE_IOE : 0;
    inQueue = static_cast<std::uint32_t>(incoming.size());
    return 0;
  }
  int GetCommModemStatus(std::uint32_t& status) override {
    status = 0;
    return 0;
  }
  int Write(const char* data, std::size_t size, std::size_t& done) override {
    if (writeError) return writeError;
    sent.append(data, size);
    done = size;
    return 0;
  }
  int Read(char* data, std::size_t size, std::size_t& done) override {
    done = std::min(size, incoming.size());
    incoming.copy(data, done);
    incoming.erase(0, done);
    return 0;
  }
  std::unique_ptr<TEventWaiter> CreateEventWaiter(std::uint32_t, int&) override {
    return std::make_unique<Waiter>();
  }

  std::string sent;      // every byte written to the port
  std::string incoming;  // bytes the next reads return
  int writeError = 0;    // errno for writes, 0: they succeed
  bool hungUp = false;   // the device has hung up or vanished (its error event says so)
  TDcb lastDcb;

 private:
  // Reports nothing; the test delivers received data by calling ComPortRxChar.
  class Waiter : public TEventWaiter {
   public:
    TWaitResult Wait(std::uint32_t&) override {
      WaitForStop();
      return TWaitResult::Stopped;
    }
    void WaitForStop() override {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopped_; });
    }
    void Stop() override {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      changed_.notify_all();
    }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
  };
};

class FakePorts : public TComSystem {
 public:
  std::shared_ptr<TComDevice> OpenDevice(const std::string& name, int& error) override {
    opened.push_back(name);
    if (onOpen) onOpen(name);
    if (!available || missing.count(name)) {
      error = 2;  // ENOENT
      return nullptr;
    }
    if (busy.count(name)) {
      error = 16;  // EBUSY
      return nullptr;
    }
    return device;
  }
  // A port that does not exist leads nowhere.
  std::string DeviceIdentity(const std::string& name, int& error) override {
    error = !available || missing.count(name) ? 2 : 0;
    return error ? std::string() : "fake " + name;
  }
  std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
  std::vector<std::string> opened;
  bool available = true;
  std::set<std::string> missing;  // ports that do not exist
  std::set<std::string> busy;     // ports someone holds exclusively
  std::function<void(const std::string&)> onOpen;
};

// A window as the tester has it after start-up: a direct bi-directional TTY on COM1 (the
// port open), the conditions of a wireless test filled in, the conversation in a
// temporary log folder.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    setenv("CORVALIS_REGISTRY_DIR", registryDir.path().c_str(), 1);
    setenv("CORVALIS_STATE_DIR", stateDir.path().c_str(), 1);
    // The folder list starts at home, and a shown Files sheet makes its folder the log folder: a
    // test's captures never land in the user's own home.
    if (const char* h = std::getenv("HOME")) home_ = h;
    setenv("HOME", homeDir.path().c_str(), 1);
    services.MessageBoxes = &boxes;
    services.Clock = &clock;
    services.Desktop = &desktop;
    services.Handoff = &handoff;
    services.PortSystem = ports;
    services.LiveTimers = false;
    services.DownloadSite = "file:///kit/README.md";
    services.FileDialogs = &fileDialogs;
    services.Log = &log;
    form = std::make_unique<TMainForm>(services);
    typing = std::make_unique<TManualTypeForm>();
    form->ManualTypeForm = typing.get();
  }
  void TearDown() override {
    form.reset();
    typing.reset();
    unsetenv("CORVALIS_REGISTRY_DIR");  // this test's folders go with it
    unsetenv("CORVALIS_STATE_DIR");
    if (home_) setenv("HOME", home_->c_str(), 1);
  }

  // The settings file of this test's store.
  std::filesystem::path KeyFile() const {
    return registryDir.path() / "HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin/Corvalis.reg";
  }
  void PutKeyFile(const std::string& bytes) const {
    std::filesystem::create_directories(KeyFile().parent_path());
    std::ofstream(KeyFile(), std::ios::binary) << bytes;
  }
  // A settings file as a tester prepares it by hand: the export header and the given lines.
  void PutSettings(const std::string& lines) const {
    PutKeyFile("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\r\n" + lines);
  }

  // A value as the store holds it now.
  std::string Stored(const std::string& name) const {
    records::Registry registry(records::RootKey::LocalMachine, registryDir.path());
    if (!registry.openKey(records::kSettingsKey, false)) return "<no key>";
    return registry.readString(name);
  }

  // FormShow, then the settings of a ready tester.
  void StartUp(const std::string& deviceType = kDeviceCustomCompact,
               const std::string& logDirectory = "/tmp") {
    form->FormShow(form.get());
    TWindowSettings& s = form->Settings;
    s.DeviceType = deviceType;
    s.LogDirectory = logDirectory;
    s.ComputerID = "LAB1";
    s.UserName = "Ann";
    s.Location = "Lab 2";
    s.NetworkInfo = "Net";
    s.CableID = "C7";
    s.PhoneModel = "P1";
    s.PhoneTech = "GSM";
    form->SetBaud();
  }

  // Characters arriving from the far end, delivered as one receive event.
  void Receive(const std::string& bytes) {
    ports->device->incoming += bytes;
    form->ComPortRxChar(&form->ComPort, static_cast<std::int32_t>(ports->device->incoming.size()));
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) form->MainTimerTimer(form.get());
  }
  std::string View() const { return form->MemoASCII->Text(); }
  std::string& Sent() { return ports->device->sent; }

  kit::testing::TempDir registryDir;  // the settings store of this test
  kit::testing::TempDir stateDir;     // and its call journals
  kit::testing::TempDir homeDir;      // HOME while the test runs
  std::optional<std::string> home_;
  FakeBoxes boxes;
  FakeClock clock;
  FakeDesktop desktop;
  FakeFileDialogs fileDialogs;
  FakeLog log;
  TPlainHandoff handoff;
  std::shared_ptr<FakePorts> ports = std::make_shared<FakePorts>();
  TFormServices services;
  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TManualTypeForm> typing;  // the program's typing window
};

// Whole calls in the window: captures in a log folder of the test's own, scripts beside it, the
// clock moving with the main timer's ticks.
class CallsTest : public FormTest {
 protected:
  // The device chosen and, for a modem, its initialisation run out; nothing of it left as sent.
  void Use(const std::string& device) {
    StartUp(device, logs.path().string());
    form->InitializeModem();
    for (int i = 0; i < 5 && form->ATCommandTimer.Enabled(); ++i) form->ATCommandTimer.Fire();
    Sent().clear();
  }
  void UseScript(const std::string& text) {
    form->ScriptFileNameEdit->setText(QString::fromStdString(scripts.write("script.txt", text)));
  }
  // Ticks of the main timer, the clock moving on with them, and the AT command timer's 2 s;
  // errors go to the error box as in the program.
  void Run(int ticks) {
    for (int i = 0; i < ticks; ++i) {
      clock.now += std::chrono::milliseconds(200);
      form->MainTimer.Fire();
      if (++sinceAt_ % 10 == 0 && form->ATCommandTimer.Enabled()) form->ATCommandTimer.Fire();
    }
  }
  // Received characters as the port delivers them.
  void Receive(const std::string& bytes) {
    ports->device->incoming += bytes;
    form->ComPort.OnRxChar(&form->ComPort, static_cast<std::int32_t>(ports->device->incoming.size()));
  }
  std::string TakeSent() {
    std::string s = Sent();
    Sent().clear();
    return s;
  }
  // Every capture file of the log folder, in name (date and time) order.
  std::string Captures() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(logs.path())) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files) all += kit::testing::readFile(f);
    return all;
  }
  static std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  kit::testing::TempDir logs, scripts;

 private:
  int sinceAt_ = 0;
};

}  // namespace corvalis::testing
