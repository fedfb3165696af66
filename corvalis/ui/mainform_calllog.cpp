// SPDX-License-Identifier: Apache-2.0
// Call log: saving or discarding a finished call, and the capture file it goes into.
#include <QCheckBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <chrono>

#include "common/conversation_text.h"
#include "call/conversation_view.h"
#include "records/calllog.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::RecordLogButtonClick(QObject*) {
  const TSaveResult saved = SaveCall();
  if (saved.Outcome == TSaveOutcome::MissingField) AskForField(saved.Missing, true);
  // The application's standard error box says why the record could not be written.
  if (saved.Outcome == TSaveOutcome::FileError) std::rethrow_exception(saved.Error);
}

void TMainForm::AskForField(const TMissingField& Missing, bool Box) {
  if (Missing.ComputerID) {
    SetActiveSheet(FilesSheet);
    SetTabVisible(FilesSheet, true);
    TabHighlights();
    SetPanelColour(ComputerIDPanel, QColor(255, 255, 0));
  }
  if (Box) MessageBoxes().Show(Missing.Title, Missing.Text, TMsgButtons::Ok, Missing.Icon);
  if (Missing.ComputerID) ComputerIDEdit->setFocus();
}

TMainForm::TSaveResult TMainForm::SaveCall() {
  TSaveResult result;
  if (!RecordLogButton->isEnabled()) return result;  // no call has ended

  // The record writer's rule: a landline call's record leaves out what is asked for here.
  const bool wireless = !capture::isLandline(Settings.TestType);
  auto missing = [&result](const char* title, const char* text, TMsgIcon icon, bool computerId = false) {
    result.Outcome = TSaveOutcome::MissingField;
    result.Missing = {title, text, icon, computerId};
    return result;
  };
  if (Settings.ComputerID.empty())
    return missing("No Computer ID", "Please enter this computer's ID", TMsgIcon::Warning, true);
  if (Settings.UserName.empty())
    return missing("No name", "Please enter your name at the USER: field", TMsgIcon::Warning);
  if (Settings.Location.empty())
    return missing("No location", "Please enter this location at the LOCATION: field", TMsgIcon::Warning);
  if (wireless && Settings.CableID.empty()) return missing("No cable info", "Please enter Cable ID", TMsgIcon::None);
  if (wireless && Settings.PhoneModel.empty())
    return missing("No phone model info", "Please enter a phone model", TMsgIcon::Warning);
  if (wireless && Settings.PhoneTech.empty())
    return missing("No phone technology info", "Please enter a phone technology", TMsgIcon::Warning);

  // Write the record first: a call whose record could not be written stays unsaved, with
  // its conversation, so that the tester can remove the cause and save it again.
  std::string conversation = TrimConversationEnd(Conversation.Text());
  TCallRecordInput record;
  record.settings = &Settings;
  record.conversation = conversation;
  record.startTime = State.CallStartTime;
  record.endTime = State.CallEndTime;
  record.turboDetected = State.TurboDetected;
  record.scriptCompleted = State.ScriptCompleted;
  std::string timesFailure;
  try {
    // One append for the whole record: the lines joined, the last one ended by AddToFile.
    JournalSaving();
    AddToFile(JoinLines(BuildCallRecord(record)));
    // The times go beside the record once it is saved; their failure is said when the call is done.
    timesFailure = SaveCallTimes();
    JournalRemove();
  } catch (...) {
    result.Outcome = TSaveOutcome::FileError;
    result.Error = std::current_exception();
    return result;
  }
  AutoSaveSucceeded();

  SetTabVisible(DevicesSheet, true);
  SetTabVisible(FilesSheet, true);
  State.Phase.Finish();
  RecordLogButton->setEnabled(false);
  DontSaveButton->setEnabled(false);
  StartCallButton->setEnabled(true);
  MemoASCII->setEnabled(true);
  ClearButton->setEnabled(true);

  Conversation.Clear();
  State.TurboDetected = false;
  ReportCallTimesFailure(timesFailure);
  result.Outcome = TSaveOutcome::Saved;
  return result;
}

void TMainForm::DontSaveButtonClick(QObject*) {
  if (MessageBoxes().Show("Unsaved Data", "Discard this call?", TMsgButtons::OkCancel, TMsgIcon::None) !=
      TMsgResult::Ok)
    return;
  JournalRemove();
  autoSaveFailure_.clear();
  autoSaveRepeats_ = 0;
  State.Phase.Finish();
  Conversation.Clear();
  RecordLogButton->setEnabled(false);
  DontSaveButton->setEnabled(false);
  StartCallButton->setEnabled(true);
  MemoASCII->setEnabled(true);
  ClearButton->setEnabled(true);
  SetTabVisible(DevicesSheet, true);
  SetTabVisible(FilesSheet, true);
}

void TMainForm::FormCloseQuery(QObject*, bool& CanClose) {
  // A settings store that cannot be written is reported, but never keeps the window open.
  Guard([this] { SaveConfig(); });
  if (!State.Phase.Unsaved()) {
    CanClose = true;
    return;
  }
  // Only the tester discards a call: a box nobody could see leaves its journal for the next start.
  const bool asked = MessageBoxes().CanShow();
  CanClose = MessageBoxes().Show("Unsaved Data", "Discard this call?", TMsgButtons::OkCancel,
                                 TMsgIcon::None) == TMsgResult::Ok;
  if (CanClose && asked) JournalRemove();
}

void TMainForm::CreateFilePrefix() {
  std::time_t t = std::chrono::system_clock::to_time_t(Clock().Now());
  std::tm local{};
  localtime_r(&t, &local);
  State.FilePrefix = MakeFilePrefix(local);
}

std::string TMainForm::CaptureFilePath() const {
  return CapturePath(Settings.LogDirectory, State.FilePrefix, Settings.ComputerID);
}

void TMainForm::AddToFile(const std::string& Line) {
  std::string path = CaptureFilePath();
  // The computer ID is part of the name: it must not lead the file into another folder.
  if (Settings.ComputerID.find('/') != std::string::npos)
    throw TCaptureFileError("Invalid filename (" + path + ")");
  AppendLineToFile(path, Line);
}

void TMainForm::AutoSaveBoxClick(QObject*) {
  Settings.AutoSave = FlagText(AutoSaveBox->isChecked());
  SaveConfig();
}

}  // namespace corvalis
