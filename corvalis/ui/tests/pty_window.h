// SPDX-License-Identifier: Apache-2.0
#pragma once
// A window whose COM1 is one side of a pseudo-terminal: the test plays the device on the other
// side, through the real serial port layer and the hand-off to the main thread.
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <filesystem>

#include "serial/comhandoff_qt.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {

// Runs the event loop until the condition holds; false after a generous limit.
template <typename Condition>
bool ServeUntil(Condition done) {
  QElapsedTimer limit;
  limit.start();
  while (!done()) {
    if (limit.elapsed() > 20000) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// COM1 in a folder of port names of the test's own, linked to the slave side of a new
// pseudo-terminal; the device's side is Master. Closed, and the folder forgotten, at the end.
class PtyPort {
 public:
  explicit PtyPort(const std::filesystem::path& folder) : ports_(folder / "ports") {}
  ~PtyPort() {
    if (Slave >= 0) close(Slave);
    if (Master >= 0) close(Master);
    unsetenv("CORVALIS_PORT_DIR");
  }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  bool Open() {
    if (openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0) return false;
    std::filesystem::create_directory(ports_);
    std::filesystem::create_symlink(ttyname(Slave), ports_ / "COM1");
    setenv("CORVALIS_PORT_DIR", ports_.c_str(), 1);
    return true;
  }

  int Master = -1;
  int Slave = -1;

 private:
  std::filesystem::path ports_;
};

// The window's services for a real port: the hand-off on Qt's event loop, the rest answered by the
// test, the timers ticked by the test.
struct PtyServices {
  PtyServices() {
    services.MessageBoxes = &boxes;
    services.Clock = &clock;
    services.Desktop = &desktop;
    services.FileDialogs = &fileDialogs;
    services.Handoff = &handoff;
    services.LiveTimers = false;
  }
  PtyServices(const PtyServices&) = delete;
  PtyServices& operator=(const PtyServices&) = delete;

  FakeBoxes boxes;
  FakeClock clock;
  FakeDesktop desktop;
  FakeFileDialogs fileDialogs;
  TQtHandoff handoff;
  TFormServices services;
};

}  // namespace corvalis::testing
