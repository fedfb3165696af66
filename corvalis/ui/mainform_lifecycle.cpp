// SPDX-License-Identifier: Apache-2.0
// Call lifecycle: Start Call, End Call, and the 200 ms main timer.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <vector>

#include "common/conversation_text.h"
#include "call/conversation_view.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::StartCallButtonClick(QObject*) {
  // A call never starts over one that is neither saved nor discarded.
  if (State.Phase.Unsaved() && !ReadyForNewCall(false)) return;
  Engine.BeginCall();
  CreateFilePrefix();

  SetTabVisible(DevicesSheet, false);
  SetTabVisible(FilesSheet, false);
  TabHighlights();

  ResetCounter();
  State.CallStartTime = Clock().Now();
  CallTimes.Start(State.CallStartTime, Clock().MonotonicMs());
  Conversation.Clear();

  StartCallButton->setEnabled(false);
  EndCallButton->setEnabled(true);
  RecordLogButton->setEnabled(false);
  DontSaveButton->setEnabled(false);
  ClearButton->setEnabled(false);

  JournalStart();
  SaveConfig();
  MemoASCII->SetColours(Qt::white, Qt::blue);
}

void TMainForm::EndCallButtonClick(QObject*) {
  if (Settings.AutoHangUp == "1") {
    HangUpButton1Click(this);
  } else if (State.Line.OnLine() && DeviceIsModem()) {
    if (MessageBoxes().Show("Still on the line", "Hang up this call?", TMsgButtons::YesNo,
                            TMsgIcon::Question) == TMsgResult::Yes)
      HangUpButton1Click(this);
  }
  CloseCall();
}

void TMainForm::CloseCall() {
  // No turn to type after the call.
  HideTypingWindow();
  if (!Engine.CloseCall()) {
    ResetCounter();
    return;
  }

  RecordLabel->clear();
  SetActiveSheet(ConditionsSheet);
  TabHighlights();
  State.CallEndTime = Clock().Now();

  StartCallButton->setEnabled(false);
  EndCallButton->setEnabled(false);
  RecordLogButton->setEnabled(true);
  DontSaveButton->setEnabled(true);

  MemoASCII->setEnabled(false);
  MemoASCII->SetColours(QColor(192, 192, 192), Qt::black);
  if (State.Collisions > 0)
    Log().Write(State.Collisions == 1
                    ? std::string("1 character from the far end arrived while this side was "
                                  "sending and is not in the record")
                    : std::to_string(State.Collisions) +
                          " characters from the far end arrived while this side was "
                          "sending and are not in the record");
  // The call's end is on disk before anything else is tried.
  JournalEnded();

  if (Settings.AutoSave == "1") AutoSaveCall();
  State.Line.GoesDown();
  ResetCounter();
}

void TMainForm::StopCommandSequence() {
  Engine.StopCommandSequence();
}

void TMainForm::AutoSaveCall() {
  // A failed save is shown once; the call stays unsaved for another try, and the operation that
  // saved goes on. Each ring tries again: the same failure again is not shown (nor logged) again;
  // the log says when saving works again.
  const TSaveResult saved = SaveCall();
  std::string failure;
  if (saved.Outcome == TSaveOutcome::MissingField) {
    failure = saved.Missing.Title + ": " + saved.Missing.Text + "\n";
  } else if (saved.Outcome == TSaveOutcome::FileError) {
    try {
      std::rethrow_exception(saved.Error);
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "?";
    }
  }
  if (failure.empty()) return;  // saved, or nothing to save (the call is not ended)
  const bool repeated = failure == autoSaveFailure_;
  if (saved.Outcome == TSaveOutcome::MissingField) AskForField(saved.Missing, !repeated);
  if (repeated) {
    ++autoSaveRepeats_;
    return;
  }
  autoSaveFailure_ = failure;
  autoSaveRepeats_ = 0;
  if (saved.Error) ShowError(saved.Error);
}

void TMainForm::AutoSaveSucceeded() {
  if (autoSaveFailure_.empty()) return;
  std::string failure = autoSaveFailure_;
  while (!failure.empty() && failure.back() == '\n') failure.pop_back();
  for (char& c : failure)
    if (c == '\n') c = ' ';
  Log().Write("saving works again: the call is saved in " + CaptureFilePath() + " (it failed " +
              std::to_string(autoSaveRepeats_ + 1) + (autoSaveRepeats_ ? " times" : " time") + ": " +
              failure + ")");
  autoSaveFailure_.clear();
  autoSaveRepeats_ = 0;
}

bool TMainForm::ReadyForNewCall(bool ByHand) {
  if (!State.Phase.Unsaved()) return true;
  if (Settings.AutoSave != "1") {
    if (ByHand)
      MessageBoxes().Show("Unsaved Data", "Save or discard the last call first.", TMsgButtons::Ok,
                          TMsgIcon::Warning);
    return false;
  }
  if (State.Phase.Frozen())
    AutoSaveCall();
  else if (State.Line.OnLine())
    EndCallButtonClick(this);  // saves it
  else
    CloseCall();  // the line is down already: no second hang-up, which would cut the next call
  return !State.Phase.Unsaved();
}

void TMainForm::MainTimerEntry() {
  if (!Guard([this] { MainTimerTimer(this); })) {
    // A failed send must not stop the clock or repeat its error at every tick: the line
    // being sent is dropped and the timer goes on.
    State.Sending = false;
    State.SendQueue.clear();
    SendingInfoLine->clear();
    if (State.Line.OnLine() && DeviceIsBiDirectional()) SendNowButton->setEnabled(true);
    MainTimer.SetEnabled(true);
  }
}

void TMainForm::MainTimerTimer(QObject*) {
  MainTimer.SetEnabled(false);
  // Once a second: the journal of the call going on is on disk with the time it was written, and
  // the port's device is looked after.
  // Once a second the journal goes to the storage, on its own thread: slow storage does not hold up
  // the timing of what arrives meanwhile.
  JournalSync(false, State.TickPhase == 0 ? std::optional(TJournalSync::Later) : std::nullopt);
  if (State.TickPhase == 0) WatchPort();

  Engine.Tick();

  MainTimer.SetEnabled(true);
}

void TMainForm::AutoAnsBoxClick(QObject*) {
  Settings.AutoAnswer = FlagText(AutoAnsBox->isChecked());
  SaveConfig();
}

void TMainForm::AutoHangUpBoxClick(QObject*) {
  Settings.AutoHangUp = FlagText(AutoHangUpBox->isChecked());
  SaveConfig();
}

}  // namespace corvalis
