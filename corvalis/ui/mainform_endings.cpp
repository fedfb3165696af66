// SPDX-License-Identifier: Apache-2.0
// Endings that do not wait for the tester: the line dropped (a modem's NO CARRIER), the device gone,
// the program asked to close. Each ends the open call the orderly way and saves it, with one log
// line. The device's going and coming back are found out by the port watch (call/port_watch.h).
#include <QCheckBox>
#include <QPushButton>
#include <cerrno>

#include "call/conversation_view.h"
#include "records/calllog.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::EndOpenCall(const std::string& Why, bool SaveRegardless) {
  if (!State.Phase.Open()) return;
  const std::string started = FormatClockDateTime(State.CallStartTime);
  // Nothing more goes to the line or comes from it in this call, and nothing of its script follows.
  State.Line.HangUp();
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
  if (State.Phase.Active() && State.Line.OnLine()) {
    EndOpenCall(Result, false);
    return;
  }
  // A dial or an answer that never connected: the line is down again.
  if (!State.Line.AwaitingConnect()) return;
  Engine.NoConnection();
  ResetCounter();
  Log().Write("no connection (" + Result + ")");
}

void TMainForm::ComPortError(TComPort*, TComErrors Errors) {
  if (Errors.Contains(erDeviceIO)) PortGone(EIO, "it hung up");
}

void TMainForm::OpenPort() {
  portWatch_->Open();
}

void TMainForm::PortGone(int SystemError, const std::string& How) {
  portWatch_->Gone(SystemError, How);
}

void TMainForm::WatchPort() {
  portWatch_->Check();
}

void TMainForm::DeviceWentAway(const std::string& Name) {
  // What the device was doing (a command sequence, a dial or answer) went with it.
  StopCommandSequence();
  if (State.Phase.Open()) {
    EndOpenCall(Name + " gone", false);
  } else {
    Engine.NoConnection();
    ResetCounter();
  }
}

void TMainForm::DeviceCameBack() {
  // The device starts afresh: a dial or answer made while it was away never reached it.
  State.Line.StopAwaiting();
  State.AutoScriptPending = false;
  if (!State.Phase.Active()) {
    State.Line.GoesDown();
    State.ScriptStartTicks = 0;
    ResetCounter();
  }
  SetBaud();
  InitializeModem();
}

}  // namespace corvalis
