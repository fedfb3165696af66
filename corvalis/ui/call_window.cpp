// SPDX-License-Identifier: Apache-2.0
// The window around the call engine: the handlers that hand receiving and sending to it, the
// conversation view's own handlers, and what the engine asks of the window.
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include "call/conversation_view.h"
#include "common/conversation_text.h"
#include "records/calllog.h"
#include "ui/mainform.h"

namespace corvalis {

// ---- receiving and sending, handed to the engine ---------------------------------------------

void TMainForm::ComPortRxChar(TComPort*, std::int32_t Count) {
  Engine.Receive(Count);
}

void TMainForm::CheckLastLineAction() {
  Engine.CheckLastLineAction();
}

void TMainForm::MarkLineStart() {
  Engine.MarkLineStart();
}

void TMainForm::CleanUpLastMemoLine() {
  Engine.CleanUpLastLine();
}

void TMainForm::SendToMemoAndPort(const std::string& Str, bool NoEcho) {
  Engine.SendText(Str, NoEcho, 0);
}

void TMainForm::SendText(const std::string& Str, bool NoEcho, std::uint32_t Sequence) {
  Engine.SendText(Str, NoEcho, Sequence);
}

void TMainForm::SendToPort(const std::string& Str) {
  Engine.SendToPort(Str);
}

void TMainForm::WriteToPort(const std::string& Str) {
  Engine.WriteToPort(Str);
}

void TMainForm::BreakLinesInMemo(bool ForSend) {
  Engine.BreakLines(ForSend);
}

void TMainForm::ResetAutoHangUpTicks(QObject*) {
  Engine.ResetAutoHangUpTicks();
}

// ---- the conversation view --------------------------------------------------------------------

void TMainForm::MemoASCIIKeyPress(QObject*, char Key) {
  SendToMemoAndPort(std::string(1, Key), true);
  // Sending lets events run: a call that ended meanwhile takes nothing more, and a view that does
  // not take typing (a device that cannot send) shows nothing.
  if (!MemoASCII->isEnabled() || MemoASCII->isReadOnly()) return;
  Conversation.Type(Key);
  MakeMemoGoToEnd(MemoASCII);
}

void TMainForm::ClearButtonClick(QObject*) {
  Conversation.Clear();
}

void TMainForm::MakeMemoGoToEnd(TMemo* Memo) {
  Memo->GoToEnd();
}

void TMainForm::LetEventsRun() {
  // Received data, timer ticks and clicks may run here, between two characters.
  QCoreApplication::processEvents();
}

// ---- what the engine asks of the window ------------------------------------------------------

std::int64_t TMainForm::NowMs() const {
  return clock_->MonotonicMs();
}

void TMainForm::Timed(timing::Direction Direction, std::int64_t AtMs, std::string_view Chars) {
  CallTimes.Add(Direction, AtMs, Chars);
}

void TMainForm::ConversationBegins() {
  CreateFilePrefix();
}

void TMainForm::DeviceGone(int SystemError, const std::string& How) {
  PortGone(SystemError, How);
}

void TMainForm::RunPendingEvents() {
  LetEventsRun();
}

void TMainForm::ShowLatest() {
  MakeMemoGoToEnd(MemoASCII);
}

void TMainForm::Journal(bool Whole) {
  JournalSync(Whole);
}

bool TMainForm::AutoSendChosen() const {
  return AutoSendBox->isChecked();
}

bool TMainForm::TurnReady() const {
  return SendNowButton->isEnabled();
}

bool TMainForm::ConversationOpen() const {
  return MemoASCII->isEnabled();
}

bool TMainForm::TypingWindowShown() const {
  return TypingWindowVisible();
}

void TMainForm::SoundLamp(bool On) {
  QPalette p = SoundLightPanel->palette();
  p.setColor(QPalette::Window, On ? QColor(255, 255, 0) : QColor(128, 128, 128));
  SoundLightPanel->setPalette(p);
}

void TMainForm::ModemSaidOk() {
  // The OK advances a running command sequence without waiting for the timer.
  if (!ATCommandTimer.Enabled()) return;
  ATCommandTimer.SetEnabled(false);
  ATCommandTimer.SetEnabled(true);
  ATCommandTimerTimer(this);
}

void TMainForm::LineLost(const std::string& Result) {
  ConnectionLost(Result);
}

void TMainForm::AnswerRing() {
  AnswerButtonClick(this);
}

void TMainForm::ModemConnected() {
  AnsweringPart2();
}

void TMainForm::CommandTimer(bool On) {
  ATCommandTimer.SetEnabled(On);
}

void TMainForm::SendTurn() {
  SendNowButtonClick(this);
}

void TMainForm::TurnTyped() {
  HideTypingWindow();
  CheckScriptEnd();  // the last turn has been typed
}

void TMainForm::HangUp() {
  HangUpButton1Click(this);
}

void TMainForm::EndCall() {
  EndCallButtonClick(this);
}

void TMainForm::Sending(std::size_t Left) {
  SendingInfoLine->setText(QString("Sending... (%1 chars left)").arg(Left));
}

void TMainForm::LineSent(bool TurnGoesOn) {
  if (!TurnGoesOn) SendNowButton->setEnabled(State.Line.OnLine());  // not when the call ended during the send
  CheckScriptEnd();
  SendingInfoLine->clear();
}

void TMainForm::ShowClock(bool CallGoesOn, std::int32_t CallSeconds) {
  ClockString->setText(QString::fromStdString(FormatClockDateTime(Clock().Now())));
  if (CallGoesOn) RecordLabel->setText(QString::fromStdString(CallClockText(CallSeconds)));
}

}  // namespace corvalis
