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
  CallDirectionLabel1->setChecked(true);
  Engine.Dial(Utf8ToCp1252(Settings.DialNumber));
}

void TMainForm::AnswerButtonClick(QObject* Sender) {
  // An automatic answer (a RING) waits silently; a press says why nothing happens.
  if (!ReadyForNewCall(Sender == AnswerButton)) return;
  CallDirectionLabel2->setChecked(true);
  Engine.Answer();
}

void TMainForm::AnsweringPart2() {
  // A connection does not start a call over one that is neither saved nor discarded (decided
  // before the line counts as up, so that ending the old call does not hang up the new line).
  if (!State.Phase.Active() && !ReadyForNewCall(false)) {
    State.Line.ComesUp();
    State.AutoScriptPending = false;
    return;
  }
  State.Line.ComesUp();
  if (State.AutoScriptPending) {
    CallDirectionLabel2->setChecked(true);
    AutoSendBox->setChecked(true);
    State.ScriptStartTicks = 1;  // the main timer starts the script 19 ticks later
    State.AutoScriptPending = false;
  }
  if (!State.Phase.Active()) StartCallButtonClick(this);
}

void TMainForm::HangUpButton1Click(QObject*) {
  Engine.LineDown();
  ResetButtonClick(this);
  Engine.HangUp();
}

void TMainForm::ATCommandTimerTimer(QObject*) {
  Engine.CommandStep();
}

void TMainForm::InitializeModem() {
  UpdateModemButtons();
  if (!ComPort.IsOpen() || !DeviceIsModem()) return;
  Engine.InitializeModem();
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
