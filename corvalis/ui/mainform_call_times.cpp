// SPDX-License-Identifier: Apache-2.0
// The times of the call's characters in the window: saved with the call's record into the timing
// file beside its capture file.
#include "records/call_times.h"
#include "ui/mainform.h"

namespace corvalis {

std::string TMainForm::SaveCallTimes() {
  const timing::RecordTimes times = CallTimes.Record();
  if (times.chars.empty()) return "";
  return SaveRecordTimes(CaptureFilePath(), times, false);
}

void TMainForm::ReportCallTimesFailure(const std::string& Why) {
  if (Why.empty()) return;
  const std::string text = "The call is saved, but the times of its characters could not be saved: " + Why;
  // A failure that comes back with every call (a file that is not a timing file) is shown once.
  if (callTimesFailuresShown_.insert(Why).second)
    loggedBoxes_->ShowWithDetail("Timing not saved", text, TMsgButtons::Ok, TMsgIcon::Warning, {});
  else
    Log().Write(text);
}

}  // namespace corvalis
