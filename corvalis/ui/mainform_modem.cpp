// SPDX-License-Identifier: Apache-2.0
// Modem control: AT commands to dial, answer, hang up and initialise the TTY modems, the
// timed command sequences, and the modem controls.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "call/manualtype.h"
#include "call/modem_commands.h"
#include "common/cp1252.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::DialButtonClick(QObject*) {
  if (!ReadyForNewCall(true)) return;
  StopCommandSequence();
  State.HungUp = false;
  State.AutoScriptPending = false;
  State.TurboDetected = false;
  State.CallStartPending = true;
  CallDirectionLabel1->setChecked(true);
  SendToMemoAndPort(DialCommand(Settings, Utf8ToCp1252(Settings.DialNumber)), State.Phase.Frozen());
  State.OnLine = true;
  ResetAutoHangUpTicks(this);
  State.AwaitingConnect = DeviceIsModem();
}

void TMainForm::AnswerButtonClick(QObject* Sender) {
  // An automatic answer (a RING) waits silently; a press says why nothing happens.
  if (!ReadyForNewCall(Sender == AnswerButton)) return;
  StopCommandSequence();
  State.HungUp = false;
  State.TurboDetected = false;
  CallDirectionLabel2->setChecked(true);
  SendToMemoAndPort(AnswerCommand(Settings), State.Phase.Frozen());
  State.AwaitingConnect = DeviceIsModem();
  ResetAutoHangUpTicks(this);
  State.AutoScriptPending = DeviceIsModem() && Settings.AutoAnswer == "1";
  // The NXi modem's call starts with its CONNECT line; the others' at once.
  if (Settings.DeviceType != kDeviceNXi) AnsweringPart2();
}

void TMainForm::AnsweringPart2() {
  // A connection does not start a call over one that is neither saved nor discarded (decided
  // before the line counts as up, so that ending the old call does not hang up the new line).
  if (!State.Phase.Active() && !ReadyForNewCall(false)) {
    State.OnLine = true;
    State.AutoScriptPending = false;
    return;
  }
  State.OnLine = true;
  if (State.AutoScriptPending) {
    CallDirectionLabel2->setChecked(true);
    AutoSendBox->setChecked(true);
    State.ScriptStartTicks = 1;  // the main timer starts the script 19 ticks later
    State.AutoScriptPending = false;
  }
  if (!State.Phase.Active()) StartCallButtonClick(this);
}

void TMainForm::HangUpButton1Click(QObject*) {
  State.OnLine = false;
  State.Phase.HangUp();
  State.HungUp = true;
  State.AwaitingConnect = false;
  State.AutoSendArmed = false;
  State.ScriptStartTicks = 0;  // no script start on a line that is down
  ResetButtonClick(this);
  State.Sending = false;
  // The characters that hang up at once, then the timed sequence. Sending lets events run: when the
  // next ring is answered meanwhile (which stops every command sequence), the hang-up is over, and
  // neither its character nor its commands may cut the new call's answer.
  const std::uint32_t sequence = commandSequence_;
  const std::string now = HangUpCharacters(Settings.DeviceType, State.CallStartPending);
  if (!now.empty()) SendCommandStep(now, CommandsQuiet());
  if (sequence != commandSequence_) return;
  State.ATStep = HangUpFirstStep(Settings.DeviceType);
  ATCommandTimer.SetEnabled(true);
  ResetAutoHangUpTicks(this);
}

bool TMainForm::CommandsQuiet() const {
  // The view holds a call not yet saved (going on, or hung up and still open until it is ended):
  // what this side says to its modem (a hang-up's "+++" and "ATH", a modem put back and set up
  // again) goes to the port only, never into the call's text.
  return State.Phase.Unsaved();
}

void TMainForm::ATCommandTimerTimer(QObject*) {
  ATCommandTimer.SetEnabled(false);
  const std::uint32_t sequence = commandSequence_;
  SendCommandStep(StepCommand(State.ATStep), CommandsQuiet());
  // Stopped while the step was being sent: the sequence goes no further.
  if (sequence != commandSequence_ || StepEndsSequence(State.ATStep)) return;
  ++State.ATStep;
  ATCommandTimer.SetEnabled(true);
}

void TMainForm::InitializeModem() {
  UpdateModemButtons();
  if (!ComPort.IsOpen() || !DeviceIsModem()) return;
  SendToMemoAndPort(ResetCommand(Settings.DeviceType), CommandsQuiet());
  State.ATStep = InitFirstStep(Settings.DeviceType);
  ATCommandTimer.SetEnabled(true);
}

void TMainForm::UpdateModemButtons() {
  const bool IsModem = DeviceIsModem();
  EnableDisableModemBox(IsModem);
  EnableDisableScriptBox(true);
  DialButton->setEnabled(!DialNumEdit->text().isEmpty() && IsModem);
  NxiSoundPanel->setVisible(Settings.DeviceType == kDeviceNXi);
}

void TMainForm::EnableDisableModemBox(bool Enable) {
  for (QWidget* w : {static_cast<QWidget*>(DialNumEdit), static_cast<QWidget*>(DialButton),
                     static_cast<QWidget*>(HangUpButton1), static_cast<QWidget*>(HangUpButton2),
                     static_cast<QWidget*>(AnswerButton), static_cast<QWidget*>(SoundLEDLabel),
                     static_cast<QWidget*>(SoundLightPanel)})
    w->setEnabled(Enable);
}

void TMainForm::DialNumEditChange(QObject*) {
  Settings.DialNumber = DialNumEdit->text().toStdString();
  UpdateModemButtons();
}

bool TMainForm::TypingWindowVisible() const {
  return ManualTypeForm && ManualTypeForm->isVisible();
}

void TMainForm::HideTypingWindow() {
  if (ManualTypeForm) ManualTypeForm->HideTypingWindow();
}

}  // namespace corvalis
