// Receive path: what one batch of received characters does.
#include <QCheckBox>
#include <QPushButton>

#include "call/conversation_text.h"
#include "call/conversation_view.h"
#include "ui/mainform.h"

namespace corvalis {

namespace {

void SetLampColour(QWidget* lamp, const QColor& colour) {
  QPalette p = lamp->palette();
  p.setColor(QPalette::Window, colour);
  lamp->setPalette(p);
}

}  // namespace

void TMainForm::ComPortRxChar(TComPort*, std::int32_t Count) {
  ResetAutoHangUpTicks(this);
  // The capture file is named after the minute the conversation began.
  if (State.CallStartPending) CreateFilePrefix();
  State.RxIdleTicks = 0;
  std::string S;
  ComPort.ReadText(S, Count);

  if (!State.AutoSendArmed && !State.AutoSendHeld && State.CallActive && AutoSendBox->isChecked() &&
      SendNowButton->isEnabled() && MemoASCII->isEnabled())
    State.AutoSendArmed = true;

  const bool nxi = Settings.DeviceType == kDeviceNXi;
  for (char c : S) {
    unsigned char ch = static_cast<unsigned char>(c);
    bool nxiCode = nxi && (ch == 18 || ch == 20 || ch == 30 || ch == 31);
    if (nxiCode) {
      if (ch == 31) SetLampColour(SoundLightPanel, QColor(255, 255, 0));
      if (ch == 30) SetLampColour(SoundLightPanel, QColor(128, 128, 128));
    } else {
      State.RxLineBuffer += static_cast<char>(ch);
      CheckLastLineAction();
    }

    bool suppressed = nxiCode || ch == 0 || ch == 127 || ch == 128 || ch == 129 || State.AwaitingConnect ||
                      State.DisplayFrozen || State.Sending || State.HungUp ||
                      (ch == 10 && State.CallStartPending && State.OnLine && (State.TurboDetected || nxi)) ||
                      (ch == 13 && State.CallStartPending && State.OnLine);

    if (!suppressed && (DeviceIsBiDirectional() || !TypingWindowVisible())) {
      BreakLinesInMemo(false);
      State.CallStartPending = false;
    }
    if (ch == 10 || ch == 13) State.LineColumn = 1;

    if (State.CallActive) {
      if (ch == 13) ch = static_cast<unsigned char>(kCrMark);
      if (ch == 10) ch = static_cast<unsigned char>(kLfMark);
    } else {
      if (ch == 13) MemoASCII->AddEmptyLine();
      if (ch == 13 || ch == 10) suppressed = true;
    }
    if (ch == 8) ch = static_cast<unsigned char>(kBsMark);

    if (suppressed) continue;
    if (ch != 10 && ch != 11 && ch != 12 && ch != 13) ++State.LineColumn;
    State.CallStartPending = false;
    MemoASCII->AppendText(std::string(1, static_cast<char>(ch)));
    MakeMemoGoToEnd(MemoASCII);
    if (SendNowButton->isEnabled()) {
      if (ch != ' ') PushRecentChar(State.RecentChars, static_cast<char>(ch));
      ++State.RxCharsSinceSend;
    }
  }
  MakeMemoGoToEnd(MemoASCII);
}

void TMainForm::CheckLastLineAction() {
  std::string& buffer = State.RxLineBuffer;
  while (buffer.find('\r') != std::string::npos) {
    size_t pair = buffer.find("\r\n");
    if (pair != std::string::npos) buffer.erase(pair, 2);
    size_t p = buffer.find('\r');
    if (p == std::string::npos) continue;
    buffer.erase(p, 1);
    if (p == 0) continue;  // an empty line: the CR is simply dropped

    std::string line = buffer.substr(0, p);
    buffer.erase(0, p);
    std::erase(line, '\r');
    std::erase(line, '\n');
    State.LastRxLine = line;

    if (ATCommandTimer.Enabled() && line.starts_with("OK")) {
      // A modem's OK advances the command sequence without waiting for the timer.
      ATCommandTimer.SetEnabled(false);
      ATCommandTimer.SetEnabled(true);
      ATCommandTimerTimer(this);
    }
    if (Settings.AutoAnswer == "1" && !State.OnLine && line.starts_with("RING")) AnswerButtonClick(this);
    if (State.AwaitingConnect && line.starts_with("CONNECT T")) {
      if (line.starts_with("CONNECT TURBO")) State.TurboDetected = true;
      AnsweringPart2();
      State.AwaitingConnect = false;
    }
  }
}

void TMainForm::CleanUpLastMemoLine() {
  MemoASCII->SetText(CleanUpLastLine(MemoASCII->Text()));
}

void TMainForm::MakeMemoGoToEnd(TMemo* Memo) {
  Memo->GoToEnd();
}

}  // namespace corvalis
