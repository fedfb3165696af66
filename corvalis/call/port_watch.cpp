// SPDX-License-Identifier: Apache-2.0
#include "call/port_watch.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "serial/comdevice.h"

namespace corvalis {

namespace {

// Errors that say nothing is behind the port's name (as opposed to busy or not allowed).
bool Absent(int Error) {
  return DeviceGoneError(Error) || Error == ENOENT || Error == ENOTDIR;
}

}  // namespace

std::string TPortWatch::PathText(const std::string& Name) const {
  const std::string path = ResolvePortPath(Name);
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    const auto target = std::filesystem::read_symlink(path, ec);
    if (!ec) return path + " -> " + target.string();
  }
  return path;
}

void TPortWatch::Open() {
  watched_ = false;
  try {
    Port.Open();
  } catch (const EComPort& e) {
    // Not there (yet): said by the caller; a device plugged in later is opened then.
    const int error = e.SystemErrorCode();
    if (Absent(error)) {
      watched_ = true;
      missing_ = true;
      watchError_ = error;
      goneAt_ = Env.Now();
    }
    throw;
  }
}

void TPortWatch::Opened() {
  int error = 0;
  device_ = System.DeviceIdentity(Port.PortNum(), error);
  openedAs_ = PathText(Port.PortNum());
}

void TPortWatch::Gone(int SystemError, const std::string& How) {
  if (watched_) return;  // said once
  watched_ = true;
  missing_ = false;
  watchError_ = SystemError;
  goneAt_ = Env.Now();
  const std::string name = Port.PortNum();
  // Said with the device the port had open: its link may be gone already.
  Env.Log(name + " = " + (openedAs_.empty() ? PathText(name) : openedAs_) + ": the device has gone (" + How +
          (SystemError > 0 ? ": " + std::string(std::strerror(SystemError)) : std::string()) +
          "); the port is closed and opened again when the device is back");
  Env.OnGone(name);
  Env.ClosePort();
}

void TPortWatch::Check() {
  const std::string name = Port.PortNum();
  if (!watched_) {
    if (!Port.IsOpen() || device_.empty() || device_ == "-") return;
    int error = 0;
    const std::string now = System.DeviceIdentity(name, error);
    if (now.empty())
      Gone(error, "its name leads nowhere");
    else if (now != device_)
      Gone(0, "its name leads to another device");
    return;
  }
  if (Port.IsOpen()) {  // opened again by the tester meanwhile (the Devices sheet)
    watched_ = false;
    return;
  }
  try {
    Port.Open();
  } catch (const EComPort& e) {
    // Still not there: already said. A device that is there but cannot be opened (busy, no rights)
    // is said once, for the tester to act on.
    const int error = e.SystemErrorCode();
    if (!Absent(error) && error != watchError_) {
      watchError_ = error;
      Env.Log(name + " = " + PathText(name) + ": still not usable (" + std::strerror(error > 0 ? error : EIO) +
              ")");
    }
    return;
  }
  watched_ = false;
  const double away = std::chrono::duration<double>(Env.Now() - goneAt_).count();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", away);
  Env.Log(name + " = " + PathText(name) + ": " +
          (missing_ ? "the device is there now, " + std::string(seconds) +
                          " s after the port could not be opened; the port is open"
                    : "the device is back, " + std::string(seconds) + " s after it went; the port is open again"));
  missing_ = false;
  Env.OnBack();
}

}  // namespace corvalis
