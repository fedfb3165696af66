// SPDX-License-Identifier: Apache-2.0
// Script engine: reading this side's turns from the script file, the turn counter, the
// script controls, and the Files sheet's Browse and View File.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "records/calllog.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::SendNowButtonClick(QObject* Sender) {
  // The file is opened before anything else changes: a script that cannot be opened shows
  // its error once and leaves the window as it was. An automatic send that fails is not
  // retried at every tick: it waits for the far end's next turn.
  if (!State.Script.IsOpen()) {
    try {
      State.Script.Open(ScriptFileNameEdit->text().toStdString());
    } catch (...) {
      if (Sender != SendNowButton) State.AutoSendArmed = false;
      throw;
    }
  }

  const bool BiDi = DeviceIsBiDirectional();
  MemoASCII->setFocus();
  State.RxCharsSinceSend = 0;
  State.RxIdleTicks = 0;
  State.AutoSendArmed = AutoSendBox->isChecked() && !State.AutoSendHeld;
  State.RecentChars.clear();
  SendNowButton->setText("Send a line");
  if (BiDi) SendNowButton->setEnabled(false);

  std::string typing;  // this side's turn for the typing window (any length)
  try {
    typing = Engine.ReadTurn(CallDirectionLabel1->isChecked(), CallDirectionLabel2->isChecked(), BiDi);
  } catch (...) {
    // No button waiting for a line that will never drain.
    if (BiDi && State.SendQueue.empty()) SendNowButton->setEnabled(State.Line.OnLine());
    throw;
  }

  if (!typing.empty()) {
    BreakLinesInMemo(true);
    if (ManualTypeForm) ManualTypeForm->ShowTypingText(typing);
  }
  if (State.SendQueue.empty()) {
    // Not after the end of the script has ended the call.
    if (BiDi) SendNowButton->setEnabled(State.Line.OnLine());
    // A turn shown for typing is typed first: the main timer ends the script when its window
    // has gone (the tester signed GA).
    if (typing.empty()) CheckScriptEnd();
  }
}

void TMainForm::CheckScriptEnd() {
  Engine.CheckScriptEnd();
}

void TMainForm::ScriptEnded() {
  ResetCounter();
  // With auto end the call ends here, and End Call saves it when AutoSave is on (one attempt,
  // one message); otherwise the call goes on and is saved when it ends.
  if (Settings.AutoHangUp == "1") EndCallButtonClick(this);  // which hangs up: once
  if (Settings.AutoSave != "1")
    MessageBoxes().Show("Done!", "END OF FILE", TMsgButtons::Ok, TMsgIcon::Information);
}

void TMainForm::LongScriptLines() {
  MessageBoxes().Show("Warning", "This script file has long lines. It needs to have line breaks.", TMsgButtons::Ok,
                      TMsgIcon::Warning);
}

void TMainForm::TurnBegins() {
  UpdateCounter();
}

void TMainForm::UpdateCounter() {
  if (State.TurnTotal == 0)
    TotalLinesLabel->setText("Please choose script file");
  else
    TotalLinesLabel->setText(
        QString("Conversation turn #%1 of %2").arg(State.Script.TurnNumber()).arg(State.TurnTotal));
}

void TMainForm::ResetButtonClick(QObject*) {
  State.AutoSendHeld = false;
  ResetCounter();
}

void TMainForm::ResetCounter() {
  SendingInfoLine->clear();
  State.Script.Rewind();
  UpdateCounter();
  State.Sending = false;
  State.SendQueue.clear();
  SendNowButton->setEnabled(State.Line.OnLine());
  ResetButton->setEnabled(SendNowButton->isEnabled());
}

void TMainForm::UpdateTotalLines() {
  const std::string name = ScriptFileNameEdit->text().toStdString();
  // A script named anew is read from its start.
  if (TScriptReader::IsScriptFile(name)) State.Script.Close();
  State.TurnTotal = TScriptReader::CountTurns(name);
  UpdateCounter();
}

void TMainForm::ScriptFileNameEditChange(QObject*) {
  Settings.ScriptFileName = ScriptFileNameEdit->text().toStdString();
  SaveConfig();
  EnableDisableScriptBox(true);
  UpdateTotalLines();
}

void TMainForm::EnableDisableScriptBox(bool Enable) {
  const bool ScriptReady = Enable && TScriptReader::IsScriptFile(ScriptFileNameEdit->text().toStdString());
  ScriptFileNameEdit->setEnabled(Enable);
  ScriptFolderButton->setEnabled(Enable);
  AutoSendBox->setChecked(ScriptReady);
  AutoSendBox->setEnabled(Enable && DeviceIsBiDirectional());
  ViewScriptButton->setEnabled(ScriptReady);
  TotalLinesLabel->setEnabled(ScriptReady);
  // A line being sent keeps "Send a line" disabled until it has drained.
  SendNowButton->setEnabled(State.Line.OnLine() && !State.Sending);
  ResetButton->setEnabled(State.Line.OnLine());
  UpdateCounter();
}

void TMainForm::AutoSendBoxClick(QObject*) {
  const bool on = AutoSendBox->isChecked();
  Settings.AutoSend = FlagText(on);
  SendNowButton->setText(on ? "Start" : "Send a line");
  SaveConfig();
}

// ---- Files sheet: the script file ----------------------------------------------------------

void TMainForm::ScriptFolderButtonClick(QObject*) {
  std::string name =
      FileDialogs().OpenFileName("Open", Settings.ScriptFileName, "Text files (*.txt);;All files (*)");
  // Cancelling leaves the dialog's file name as it was preset.
  if (name.empty()) name = Settings.ScriptFileName;
  if (!name.empty()) ScriptFileNameEdit->setText(QString::fromStdString(name));
}

void TMainForm::ViewScriptButtonClick(QObject*) {
  std::string target = Settings.ScriptFileName;
  std::error_code ec;
  if (!target.empty()) {
    auto absolute = std::filesystem::absolute(target, ec);
    if (!ec) target = absolute.string();
  }
  if (target.empty() || !Desktop().Open(target))
    MessageBoxes().Show("Error", "Failed to load NOTEPAD", TMsgButtons::Ok, TMsgIcon::Error);
}

}  // namespace corvalis
