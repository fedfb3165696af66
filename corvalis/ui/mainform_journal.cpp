// SPDX-License-Identifier: Apache-2.0
// Call journal in the window: each unsaved call's record as it will be, written to a journal as the
// call goes on, removed when the call is saved or discarded, and recovered at the next start when the
// program ended without either (a kill, a crash, a power cut).
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/conversation_text.h"
#include "call/conversation_view.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::ViewAppend(const std::string& Bytes) {
  Conversation.Append(Bytes);
}

void TMainForm::ConversationChanged(TConversation::TChange Change, std::string_view Bytes) {
  switch (Change) {
    case TConversation::TChange::Appended:
      MemoASCII->AppendText(std::string(Bytes));
      if (journal_) journal_->Append(std::string(Bytes));
      break;
    case TConversation::TChange::Erased:
      MemoASCII->EraseLastCharacter();
      journalWhole_ = true;
      break;
    case TConversation::TChange::Replaced:
      // Whoever replaces the text says whether the journal takes it (a new call's does not).
      MemoASCII->SetText(std::string(Bytes));
      break;
  }
}

void TMainForm::JournalStart() {
  // A journal still open belongs to a call that was never saved or discarded: it stays on disk
  // and becomes a record at the next start.
  if (journal_) journal_->Close();
  journal_ = std::make_unique<TCallJournal>();
  journalWhole_ = false;
  if (int err = journal_->Create(JournalFolder(), State.CallStartTime); err != 0) {
    const std::string folder = JournalFolder();
    journal_.reset();
    if (journalFailure_.empty()) {
      journalFailure_ = std::strerror(err);
      Log().Write("the call journal cannot be made in " + folder + " (" + journalFailure_ +
                  "): a kill or a power cut during this call would lose it");
    }
    return;
  }
  // The journal reaches the storage on its own thread: received characters are timed meanwhile.
  JournalSync(true, TJournalSync::Later);
}

void TMainForm::JournalSync(bool Full, std::optional<TJournalSync> Sync) {
  if (!journal_) return;
  if (Full || journalWhole_) {
    journal_->SetConversation(Conversation.Text());
    journalWhole_ = false;
  }
  journal_->SetCapture(CaptureFilePath());
  journal_->SetValues(Settings);
  journal_->SetTurbo(State.TurboDetected);
  journal_->SetScriptCompleted(State.ScriptCompleted);
  journal_->SetCollisions(State.Collisions);
  if (const std::string chars = CallTimes.TakeJournalValue(); !chars.empty())
    journal_->AddLine("chars", chars);
  const TJournalSync sync = Sync.value_or(TJournalSync::None);
  if (!journal_->Pending() && sync == TJournalSync::None) return;
  // While the call goes on, each write says when: a call cut short ends at its journal's last write.
  if (State.Phase.Active()) journal_->At(Clock().Now());
  JournalWritten(journal_->Flush(sync));
}

void TMainForm::JournalWritten(int Error) {
  if (Error != 0 && journalFailure_.empty()) {
    journalFailure_ = std::strerror(Error);
    Log().Write("the call journal " + JournalPath() + " cannot be written (" + journalFailure_ +
                "): a kill or a power cut now would lose what the call says from here on");
  } else if (Error == 0 && !journalFailure_.empty()) {
    journalFailure_.clear();
    Log().Write("the call journal " + JournalPath() + " is written again");
  }
}

void TMainForm::JournalEnded() {
  if (!journal_) return;
  journal_->Ended(State.CallEndTime);
  JournalSync(true, TJournalSync::Now);
}

void TMainForm::JournalSaving() {
  if (!journal_) return;
  JournalSync(true);
  struct stat st {};
  const std::string path = CaptureFilePath();
  journal_->Saving(path, ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0);
  JournalWritten(journal_->Flush(true));
}

void TMainForm::JournalRemove() {
  if (!journal_) return;
  const std::string path = journal_->Path();
  if (int err = journal_->Remove(); err != 0)
    Log().Write("the call journal " + path + " could not be removed (" + std::strerror(err) +
                "): the next start finds the call saved already");
  journal_.reset();
}

std::string TMainForm::JournalPath() const {
  return journal_ ? journal_->Path() : std::string();
}

// A recovery of the journals left by the last run, on a thread of its own: the start waits for it
// a while, and no longer.
struct TMainForm::TRecoveryJob {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::vector<TRecovery> results;
  std::exception_ptr error;
  std::string folder, captures;
};

void TMainForm::RecoverCalls() {
  auto job = std::make_shared<TRecoveryJob>();
  job->folder = JournalFolder();
  job->captures = Settings.LogDirectory;
  // Detached: storage that never answers (a hung network mount) holds this thread, not the program,
  // which can still end. The job is shared, so whichever ends last frees it.
  std::thread([job] {
    std::vector<TRecovery> results;
    std::exception_ptr error;
    try {
      results = RecoverJournals(job->folder, job->captures);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(job->m);
    job->results = std::move(results);
    job->error = error;
    job->done = true;
    job->cv.notify_all();
  }).detach();
  {
    std::unique_lock lock(job->m);
    if (!job->cv.wait_for(lock, std::chrono::milliseconds(recoveryWaitMs_), [&] { return job->done; })) {
      char waited[32];
      std::snprintf(waited, sizeof waited, "%.1f", recoveryWaitMs_ / 1000.0);
      Log().Write("the calls left by the last run are still being recovered from " + job->folder + " into " +
                  job->captures + ", whose storage has not answered in " + waited +
                  " s: the program goes on, and says what was recovered once it is done");
      recovery_ = job;
      RecoveryTimer.SetEnabled(true);
      return;
    }
  }
  ReportRecovery(*job);
}

void TMainForm::RecoveryTimerTimer() {
  if (!recovery_) return RecoveryTimer.SetEnabled(false);
  {
    std::lock_guard lock(recovery_->m);
    if (!recovery_->done) return;
  }
  RecoveryTimer.SetEnabled(false);
  const std::shared_ptr<TRecoveryJob> job = std::move(recovery_);
  ReportRecovery(*job);
}

void TMainForm::ReportRecovery(TRecoveryJob& Job) {
  if (Job.error) std::rethrow_exception(Job.error);
  for (const TRecovery& r : Job.results) {
    const TJournalContents& j = r.Contents;
    const std::string call = "the call of " + FormatClockDateTime(j.Start);
    switch (r.Result) {
      case TRecovery::Outcome::Recovered: {
        std::string line = "recovered " + call + " (" +
                           std::to_string(TrimConversationEnd(j.Conversation).size()) +
                           " characters, last written " +
                           FormatClockDateTime(j.End         ? *j.End
                                               : j.LastWrite ? *j.LastWrite
                                                             : j.Start) +
                           ") from " + r.Journal + " into " + r.Capture;
        Log().Write(line);
        if (!r.SetAside.empty())
          Log().Write("the call journal " + r.Journal +
                      " is damaged: what it holds beyond the record is kept in " + r.SetAside);
        // A call that ended before the program did has had its count logged then.
        if (j.Collisions > 0 && !j.End)
          Log().Write(std::to_string(j.Collisions) +
                      " characters from the far end arrived while this side was sending and are not in the "
                      "record");
        break;
      }
      case TRecovery::Outcome::AlreadySaved:
        if (r.SetAside.empty())
          Log().Write(call + " was saved in " + r.Capture + " before the program ended; its journal " +
                      r.Journal + " is removed");
        else
          Log().Write(call + " was saved in " + r.Capture + " before the program ended; its journal " +
                      r.Journal + " is damaged and kept in " + r.SetAside);
        break;
      case TRecovery::Outcome::Gone:
        break;  // another corvalis starting at the same time recovered it
      case TRecovery::Outcome::SetAside:
        Log().Write("the call journal " + r.Journal + " cannot become a record (" + r.Error +
                    "): it is kept in " + r.SetAside);
        break;
      case TRecovery::Outcome::Empty:
        Log().Write("removed the call journal " + r.Journal + ", which holds no call");
        break;
      case TRecovery::Outcome::InUse:
        Log().Write("the call journal " + r.Journal +
                    " belongs to another corvalis that is running: left alone");
        break;
      case TRecovery::Outcome::Failed:
        Log().Write((r.Read ? call + " in the journal " : std::string("the call journal ")) + r.Journal +
                    " could not be recovered" + (r.Capture.empty() ? std::string() : " into " + r.Capture) +
                    " (" + r.Error + "); it is kept for the next start");
        break;
    }
    if (!r.TimingError.empty())
      Log().Write("the times of the characters of " + call + " could not be saved beside its record in " +
                  r.Capture + ": " + r.TimingError);
  }
}

}  // namespace corvalis
