// Modem control: AT commands to dial, answer, hang up and initialise the TTY modems. The
// operations are in place for the window and the receive path; their bodies come with
// modem control.
#include "call/manualtype.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::DialButtonClick(QObject*) {}
void TMainForm::AnswerButtonClick(QObject*) {}
void TMainForm::HangUpButton1Click(QObject*) {}
void TMainForm::AnsweringPart2() {}
void TMainForm::ATCommandTimerTimer(QObject*) {
  ATCommandTimer.SetEnabled(false);
}
void TMainForm::InitializeModem() {
  UpdateModemButtons();
}
void TMainForm::UpdateModemButtons() {}
void TMainForm::EnableDisableModemBox(bool) {}
void TMainForm::DialNumEditChange(QObject*) {}

bool TMainForm::TypingWindowVisible() const {
  return ManualTypeForm && ManualTypeForm->isVisible();
}

void TMainForm::HideTypingWindow() {
  if (ManualTypeForm) ManualTypeForm->HideTypingWindow();
}

}  // namespace corvalis
