// SPDX-License-Identifier: Apache-2.0
// Endings that do not wait for the tester: the line dropped (a modem's NO CARRIER), the device gone,
// the program asked to close. Each ends the open call the orderly way and saves it, with one log
// line. A device that has gone is watched for, and opened again when it is back.
#include <QCheckBox>
#include <QPushButton>
#include <cerrno>
#include <cstring>

#include "call/conversation_view.h"
#include "records/calllog.h"
#include "serial/comdevice.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::EndOpenCall(const std::string& Why, bool SaveRegardless) {
  if (!State.Phase.Open()) return;
  const std::string started = FormatClockDateTime(State.CallStartTime);
  // Nothing more goes to the line or comes from it in this call, and nothing of its script follows.
  State.HungUp = true;
  State.AwaitingConnect = false;
  State.AutoScriptPending = false;
  CloseCall();  // saves it when Auto save is on
  if (State.Phase.Unsaved() && SaveRegardless && RecordLogButton->isEnabled())
    Guard([this] { RecordLogButtonClick(this); });
  std::string outcome;
  if (!State.Phase.Unsaved())
    outcome = "saved in " + CaptureFilePath();
  else if (Settings.AutoSave != "1" && !SaveRegardless)
    outcome = "waits to be saved (Auto save is off)";
  else
    outcome = "could not be saved" +
              (JournalPath().empty() ? std::string()
                                     : "; its journal " + JournalPath() + " keeps it for the next start");
  Log().Write("the call of " + started + " ended (" + Why + "): " + outcome);
}

void TMainForm::ConnectionLost(const std::string& Result) {
  if (State.Phase.Active() && State.OnLine) {
    EndOpenCall(Result, false);
    return;
  }
  // A dial or an answer that never connected: the line is down again.
  if (!State.AwaitingConnect) return;
  State.AwaitingConnect = false;
  State.AutoScriptPending = false;
  State.ScriptStartTicks = 0;
  State.OnLine = false;
  ResetCounter();
  Log().Write("no connection (" + Result + ")");
}

void TMainForm::ComPortError(TComPort*, TComErrors Errors) {
  if (Errors.Contains(erDeviceIO)) PortGone(EIO, "it hung up");
}

std::string TMainForm::PortPathText(const std::string& Name) const {
  const std::string path = ResolvePortPath(Name);
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    const auto target = std::filesystem::read_symlink(path, ec);
    if (!ec) return path + " -> " + target.string();
  }
  return path;
}

void TMainForm::OpenPort() {
  portWatched_ = false;
  try {
    ComPort.Open();
  } catch (const EComPort& e) {
    // Not there (yet): said by the error box; a device plugged in later is opened then.
    const int error = e.SystemErrorCode();
    if (DeviceGoneError(error) || error == ENOENT || error == ENOTDIR) {
      portWatched_ = true;
      portMissing_ = true;
      portWatchError_ = error;
      portGoneAt_ = Clock().Now();
    }
    throw;
  }
}

void TMainForm::PortGone(int SystemError, const std::string& How) {
  if (portWatched_) return;  // said once
  portWatched_ = true;
  portMissing_ = false;
  portWatchError_ = SystemError;
  portGoneAt_ = Clock().Now();
  const std::string name = ComPort.PortNum();
  // Said with the device the port had open: its link may be gone already.
  Log().Write(name + " = " + (portOpenedAs_.empty() ? PortPathText(name) : portOpenedAs_) +
              ": the device has gone (" + How +
              (SystemError > 0 ? ": " + std::string(std::strerror(SystemError)) : std::string()) +
              "); the port is closed and opened again when the device is back");
  // What the device was doing (a command sequence, a dial or answer) went with it.
  StopCommandSequence();
  if (State.Phase.Open()) {
    EndOpenCall(name + " gone", false);
  } else {
    State.AwaitingConnect = false;
    State.AutoScriptPending = false;
    State.ScriptStartTicks = 0;
    State.OnLine = false;
    ResetCounter();
  }
  Guard([this] { ComPort.Close(); });
}

void TMainForm::WatchPort() {
  const std::string name = ComPort.PortNum();
  if (!portWatched_) {
    if (!ComPort.IsOpen() || portDevice_.empty() || portDevice_ == "-") return;
    int error = 0;
    const std::string now = portSystem_->DeviceIdentity(name, error);
    if (now.empty())
      PortGone(error, "its name leads nowhere");
    else if (now != portDevice_)
      PortGone(0, "its name leads to another device");
    return;
  }
  if (ComPort.IsOpen()) {  // opened again by the tester meanwhile (the Devices sheet)
    portWatched_ = false;
    return;
  }
  try {
    ComPort.Open();
  } catch (const EComPort& e) {
    // Still not there: already said. A device that is there but cannot be opened (busy, no rights)
    // is said once, for the tester to act on.
    const int error = e.SystemErrorCode();
    const bool absent = DeviceGoneError(error) || error == ENOENT || error == ENOTDIR;
    if (!absent && error != portWatchError_) {
      portWatchError_ = error;
      Log().Write(name + " = " + PortPathText(name) + ": still not usable (" +
                  std::strerror(e.SystemErrorCode() > 0 ? e.SystemErrorCode() : EIO) + ")");
    }
    return;
  }
  portWatched_ = false;
  const double away = std::chrono::duration<double>(Clock().Now() - portGoneAt_).count();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", away);
  Log().Write(name + " = " + PortPathText(name) + ": " +
              (portMissing_ ? "the device is there now, " + std::string(seconds) +
                                  " s after the port could not be opened; the port is open"
                            : "the device is back, " + std::string(seconds) +
                                  " s after it went; the port is open again"));
  portMissing_ = false;
  // The device starts afresh: a dial or answer made while it was away never reached it.
  State.AwaitingConnect = false;
  State.AutoScriptPending = false;
  if (!State.Phase.Active()) {
    State.OnLine = false;
    State.ScriptStartTicks = 0;
    ResetCounter();
  }
  SetBaud();
  InitializeModem();
}

}  // namespace corvalis
