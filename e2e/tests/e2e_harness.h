// SPDX-License-Identifier: Apache-2.0
#pragma once
// A field test end to end in one test program: ttysim plays the device and the far end on a
// pseudo-terminal, and a real main window (offscreen, live timers, the real serial port and
// settings store) runs the call. Waits are on events (ttysim's console, the window's state)
// with generous limits; nothing waits a fixed time.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "call/manualtype.h"
#include "child_process.h"
#include "serial/comhandoff_qt.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

class QSocketNotifier;

namespace e2e {

// Long enough for a call on a busy 2-core machine under the sanitizers.
inline constexpr int kWaitSeconds = 120;

// How long the far end waits after this side's GA before it replies. The program keeps showing
// nothing it receives until the main timer's tick after its last scripted character, and a test
// machine running many suites at once can hold that tick back by most of a second: a faster far
// end collides with the end of the turn (the program counts and reports it) and the test fails for
// the load, not for a fault. A person at a TTY takes longer than this.
inline constexpr const char* kFarEndReplyPause = "1.5";

// ttysim as a child process; its console is read as the test serves the window's events.
class Ttysim {
 public:
  explicit Ttysim(std::vector<std::string> args);
  // Another of the kit's programs with the same console (a ready line, then one line an event):
  // rttmodem, softtty.
  Ttysim(const std::string& program, std::vector<std::string> args);
  ~Ttysim();
  Ttysim(const Ttysim&) = delete;
  Ttysim& operator=(const Ttysim&) = delete;

  // Reads what the console has said so far (also done as it arrives while events are served).
  void Pump();
  // The fields of the ready line (link, device, ...); empty until it has come.
  const std::map<std::string, std::string>& Ready() const { return ready_; }
  // Whether the console has a line holding text, such as "far-end typed turn 2".
  bool Said(const std::string& text) const;
  bool Exited();
  pid_t Pid() const { return child_.pid(); }
  // Exit status once exited (128 + signal when killed), -1 before.
  int ExitStatus() const { return child_.status(); }
  const std::string& Console() const { return child_.output(); }

 private:
  void ParseReady(const std::string& line);
  kit::testing::ChildProcess child_;
  std::unique_ptr<QSocketNotifier> notifier_;  // reads the console as it arrives
  std::map<std::string, std::string> ready_;
};

// The window's log: kept for the test, and on standard error as the program would write it.
class EchoLog : public corvalis::ILog {
 public:
  void Write(const std::string& line) override;
  // The lines holding text.
  std::vector<std::string> With(const std::string& text) const;
  std::vector<std::string> lines;
};

// One call: the folders and files of a field test in a temporary directory.
class FieldTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The script both sides read; returns its path.
  std::string WriteScript(const std::string& name, const std::string& text);
  // The settings store of a tester ready for an automatic call on port 1, with the given values
  // on top (registry value names, such as "Device Type").
  void WriteSettings(const std::map<std::string, std::string>& values);
  // The settings of an automatic call on the device with the script (written as scriptPath),
  // and more values on top.
  void Prepare(const std::string& device, const std::string& script,
               std::map<std::string, std::string> more = {});
  // Starts ttysim with the folder, files and limits of this test added to args, and waits for
  // its ready line.
  void StartSim(std::vector<std::string> args);
  // The main window and the typing window, as the program makes them; showing the window
  // loads the settings, opens the port and initialises the device.
  void OpenWindow();
  // Serves the window's events and reads ttysim's console until done() holds; false after
  // kWaitSeconds.
  bool ServeUntil(const std::function<bool()>& done);
  // Serves until ttysim has exited; its exit status.
  int ServeUntilSimExits();
  // For a modem: serves until the program has initialised it (ttysim answered the last command
  // with OK), then makes it ring.
  void RingWhenInitialised(const std::string& lastInitCommand);
  // The one capture file in the log folder, whole (the timing files beside the captures aside).
  std::string Capture() const;
  // Every capture file of the log folder in name (date and time) order, one after another: a
  // day's calls go into the file of the minute each began.
  std::string Captures() const;
  std::string FarReceived() const;
  std::string FarSent() const;
  std::string SimLog() const;
  // The error boxes and questions the window showed, one line each.
  std::string Boxes() const;

  kit::testing::TempDir dir;
  std::string portDir, logDir, registryDir, stateDir;
  std::string scriptPath;  // written by Prepare
  std::unique_ptr<Ttysim> sim;
  corvalis::testing::FakeBoxes boxes;
  EchoLog log;
  std::unique_ptr<corvalis::TQtHandoff> handoff;
  std::unique_ptr<corvalis::TMainForm> form;
  corvalis::TManualTypeForm* typing = nullptr;  // owned by the form
};

}  // namespace e2e
