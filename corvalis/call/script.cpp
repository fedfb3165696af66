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

namespace {

// A script file that cannot be opened or read, with the runtime's message.
class TScriptFileError : public TFileError {
 public:
  using TFileError::TFileError;
};

// A name that can serve as a script: an existing regular file (a folder, a pipe or a device
// would fail to read or never end).
bool IsScriptFile(const std::string& Name) {
  std::error_code ec;
  return !Name.empty() && std::filesystem::is_regular_file(Name, ec);
}

// Opens the named script for reading from its start, as bytes.
void OpenScriptFile(std::ifstream& File, const std::string& Name) {
  std::error_code ec;
  auto status = std::filesystem::status(Name, ec);
  if (Name.empty() || !std::filesystem::exists(status))
    throw TScriptFileError(FileErrorText(ENOENT), Name, ENOENT);
  if (!std::filesystem::is_regular_file(status))
    throw TScriptFileError(FileErrorText(EACCES), Name, std::filesystem::is_directory(status) ? EISDIR : 0);
  File.close();
  File.clear();
  errno = 0;
  File.open(Name, std::ios::in | std::ios::binary);
  const int err = errno ? errno : EACCES;
  if (!File.is_open()) throw TScriptFileError(FileErrorText(err), Name, err);
}

// The next line without its line end (CR LF or LF); an empty line at the end of the file.
std::string ReadScriptLine(std::ifstream& File) {
  std::string line;
  if (!std::getline(File, line) && File.bad()) throw TScriptFileError("Disk read error");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool ScriptAtEnd(std::ifstream& File) {
  return !File.is_open() || File.peek() == std::ifstream::traits_type::eof();
}

constexpr std::size_t kLongLine = 90;

}  // namespace

void TMainForm::SendNowButtonClick(QObject* Sender) {
  // The file is opened before anything else changes: a script that cannot be opened shows
  // its error once and leaves the window as it was. An automatic send that fails is not
  // retried at every tick: it waits for the far end's next turn.
  if (!State.ScriptOpen) {
    try {
      OpenScriptFile(State.ScriptFile, ScriptFileNameEdit->text().toStdString());
    } catch (...) {
      if (Sender != SendNowButton) State.AutoSendArmed = false;
      throw;
    }
    State.ScriptOpen = true;
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
    std::string L;
    bool TurnEnded = false;
    do {
      L = ReadScriptLine(State.ScriptFile);
      if (L.size() > kLongLine && !State.LongLineWarned) {
        State.LongLineWarned = true;
        MessageBoxes().Show("Warning", "This script file has long lines. It needs to have line breaks.",
                            TMsgButtons::Ok, TMsgIcon::Warning);
      }
      if (!L.empty() && State.AtTurnStart) {
        State.AtTurnStart = false;
        ++State.TurnNumber;
        UpdateCounter();
      }
      TurnEnded = false;
      if (L.empty()) {
        State.AtTurnStart = true;
        State.TurnHasMore = false;
        TurnEnded = true;
      }
      // The other side's turns are read past, the empty line that closes them too.
      const bool odd = State.TurnNumber % 2 != 0;
      if ((odd && CallDirectionLabel1->isChecked()) || (!odd && CallDirectionLabel2->isChecked())) {
        L.clear();
        TurnEnded = false;
      }
      if (!L.empty()) {
        State.AtTurnStart = false;
        State.TurnHasMore = true;
        if (BiDi) {
          State.SendQueue = L + " ";
          State.Sending = true;
        } else {
          std::erase(L, '~');
          typing += L;
          L.clear();
        }
      }
      // A turn still to be typed is shown first: the script ends once it has been typed.
      if (typing.empty()) CheckScriptEnd();
    } while (State.ScriptOpen && L.empty() && !TurnEnded);
  } catch (...) {
    // A failed read (or a failure in ending the script) leaves no half-open script and no
    // button waiting for a line that will never drain.
    if (State.ScriptOpen) State.ScriptFile.close();
    State.ScriptOpen = false;
    if (BiDi && State.SendQueue.empty()) SendNowButton->setEnabled(State.OnLine);
    throw;
  }

  if (!typing.empty()) {
    BreakLinesInMemo(true);
    if (ManualTypeForm) ManualTypeForm->ShowTypingText(typing);
  }
  if (State.SendQueue.empty()) {
    // Not after the end of the script has ended the call.
    if (BiDi) SendNowButton->setEnabled(State.OnLine);
    // A turn shown for typing is typed first: the main timer ends the script when its window
    // has gone (the tester signed GA).
    if (typing.empty()) CheckScriptEnd();
  }
}

void TMainForm::CheckScriptEnd() {
  // A last line with no empty line after it is sent first: the end waits until it drains.
  if (!State.ScriptOpen || !ScriptAtEnd(State.ScriptFile) || !State.SendQueue.empty()) return;
  State.ScriptCompleted = true;
  ResetCounter();
  // With auto end the call ends here, and End Call saves it when AutoSave is on (one attempt,
  // one message); otherwise the call goes on and is saved when it ends.
  if (Settings.AutoHangUp == "1") {
    HangUpButton1Click(this);
    EndCallButtonClick(this);
  }
  if (Settings.AutoSave != "1")
    MessageBoxes().Show("Done!", "END OF FILE", TMsgButtons::Ok, TMsgIcon::Information);
  State.AutoSendArmed = false;
  // The far end's next words must not start the script again in this call.
  State.AutoSendHeld = true;
  if (State.ScriptOpen) State.ScriptFile.close();
  State.ScriptOpen = false;
}

void TMainForm::UpdateCounter() {
  if (State.TurnTotal == 0)
    TotalLinesLabel->setText("Please choose script file");
  else
    TotalLinesLabel->setText(
        QString("Conversation turn #%1 of %2").arg(State.TurnNumber).arg(State.TurnTotal));
}

void TMainForm::ResetButtonClick(QObject*) {
  State.AutoSendHeld = false;
  ResetCounter();
}

void TMainForm::ResetCounter() {
  SendingInfoLine->clear();
  State.TurnNumber = 0;
  UpdateCounter();
  State.Sending = false;
  State.SendQueue.clear();
  SendNowButton->setEnabled(State.OnLine);
  ResetButton->setEnabled(SendNowButton->isEnabled());
  if (State.ScriptOpen) State.ScriptFile.close();
  State.ScriptOpen = false;
  State.TurnHasMore = false;
  State.AtTurnStart = true;
}

void TMainForm::UpdateTotalLines() {
  State.TurnTotal = 0;
  const std::string name = ScriptFileNameEdit->text().toStdString();
  if (IsScriptFile(name)) {
    if (State.ScriptOpen) State.ScriptFile.close();
    State.ScriptOpen = false;
    std::ifstream file(name, std::ios::in | std::ios::binary);
    std::string line;
    bool afterEmpty = true;  // the first line counts as following an empty one
    unsigned turns = 0;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && afterEmpty) ++turns;
      afterEmpty = line.empty();
    }
    State.TurnTotal = static_cast<std::uint16_t>(std::min(turns, 65535u));
  }
  UpdateCounter();
}

void TMainForm::ScriptFileNameEditChange(QObject*) {
  Settings.ScriptFileName = ScriptFileNameEdit->text().toStdString();
  SaveConfig();
  EnableDisableScriptBox(true);
  UpdateTotalLines();
}

void TMainForm::EnableDisableScriptBox(bool Enable) {
  const bool ScriptReady = Enable && IsScriptFile(ScriptFileNameEdit->text().toStdString());
  ScriptFileNameEdit->setEnabled(Enable);
  ScriptFolderButton->setEnabled(Enable);
  AutoSendBox->setChecked(ScriptReady);
  AutoSendBox->setEnabled(Enable && DeviceIsBiDirectional());
  ViewScriptButton->setEnabled(ScriptReady);
  TotalLinesLabel->setEnabled(ScriptReady);
  // A line being sent keeps "Send a line" disabled until it has drained.
  SendNowButton->setEnabled(State.OnLine && !State.Sending);
  ResetButton->setEnabled(State.OnLine);
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
