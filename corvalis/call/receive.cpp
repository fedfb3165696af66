// SPDX-License-Identifier: Apache-2.0
// Receive path: what one batch of received characters does.
#include <QCheckBox>
#include <QPushButton>
#include <algorithm>

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
  try {
    ComPort.ReadText(S, Count);
  } catch (const EComPort& e) {
    if (!DeviceGoneError(e.SystemErrorCode())) throw;
    return PortGone(e.SystemErrorCode(), "a read failed");
  }
  // When the bytes arrived: what held up this thread before it could read them is not the line's.
  const std::int64_t deliveredMs = Clock().MonotonicMs() - ComPort.RxWaitedMs();

  if (!State.AutoSendArmed && !State.AutoSendHeld && State.CallActive && AutoSendBox->isChecked() &&
      SendNowButton->isEnabled() && MemoASCII->isEnabled())
    State.AutoSendArmed = true;

  const bool nxi = Settings.DeviceType == kDeviceNXi;
  for (char c : S) {
    if (State.CallActive) CallTimes.Add(timing::Direction::Received, deliveredMs, std::string_view(&c, 1));
    unsigned char ch = static_cast<unsigned char>(c);
    bool nxiCode = nxi && (ch == 18 || ch == 20 || ch == 30 || ch == 31);
    bool resultLineEnd = false;
    if (nxiCode) {
      if (ch == 31) SetLampColour(SoundLightPanel, QColor(255, 255, 0));
      if (ch == 30) SetLampColour(SoundLightPanel, QColor(128, 128, 128));
    } else {
      State.RxLineBuffer += static_cast<char>(ch);
      CheckLastLineAction();
      // The line end of a modem's result line counts no more than the line did.
      resultLineEnd = State.ResultLineEnding && (ch == 13 || ch == 10);
      if (!resultLineEnd) State.ResultLineEnding = false;
    }

    const bool never = nxiCode || ch == 0 || ch == 127 || ch == 128 || ch == 129 || State.AwaitingConnect ||
                       State.DisplayFrozen || State.HungUp;
    // The line end that follows the connection, before anything was exchanged.
    const bool atStart =
        (ch == 10 && State.CallStartPending && State.OnLine && (State.TurboDetected || nxi)) ||
        (ch == 13 && State.CallStartPending && State.OnLine);
    bool suppressed = never || atStart || State.Sending;
    // What is not shown because this side is sending is counted (the echo rule): the lab is told. A line
    // end after far-end text that collided would have shown.
    if (State.Sending && !never && (!atStart || State.Collisions > 0) && State.CallActive && !resultLineEnd) {
      ++State.Collisions;
      ++State.LineCollisions;
    }

    if (!suppressed && (DeviceIsBiDirectional() || !TypingWindowVisible())) {
      BreakLinesInMemo(false);
      State.CallStartPending = false;
    }
    if (ch == 10 || ch == 13) State.LineColumn = 1;

    if (State.CallActive) {
      if (ch == 13) ch = static_cast<unsigned char>(kCrMark);
      if (ch == 10) ch = static_cast<unsigned char>(kLfMark);
    } else {
      if (ch == 13) ViewAppend("\r\n");
      if (ch == 13 || ch == 10) suppressed = true;
    }
    if (ch == 8) ch = static_cast<unsigned char>(kBsMark);

    if (suppressed) continue;
    if (ch != 10 && ch != 11 && ch != 12 && ch != 13) ++State.LineColumn;
    State.CallStartPending = false;
    ViewAppend(std::string(1, static_cast<char>(ch)));
    MakeMemoGoToEnd(MemoASCII);
    if (SendNowButton->isEnabled() && !resultLineEnd) {
      if (ch != ' ') PushRecentChar(State.RecentChars, static_cast<char>(ch));
      ++State.RxCharsSinceSend;
      ++State.LineRxChars;
    }
  }
  MakeMemoGoToEnd(MemoASCII);
  JournalSync();
}

namespace {

// A modem's result line that ends a connection, or an attempt at one.
bool EndsConnection(const std::string& line) {
  return line == "NO CARRIER" || line == "BUSY" || line == "NO ANSWER" || line == "NO DIALTONE" ||
         line == "NO DIAL TONE";
}

// A modem's result line: not the far end's words. (A far end typing one of these alone on a line
// is taken for the modem too; it still shows.)
bool ResultLine(const std::string& line) {
  return EndsConnection(line) || line == "RING" || line == "OK" || line == "ERROR" ||
         line.starts_with("CONNECT");
}

}  // namespace

void TMainForm::CheckLastLineAction() {
  std::string& buffer = State.RxLineBuffer;
  while (buffer.find('\r') != std::string::npos) {
    size_t pair = buffer.find("\r\n");
    if (pair != std::string::npos) buffer.erase(pair, 2);
    size_t p = buffer.find('\r');
    if (p == std::string::npos) continue;
    buffer.erase(p, 1);
    if (p == 0) {  // an empty line: the CR is simply dropped
      MarkLineStart();
      continue;
    }

    std::string line = buffer.substr(0, p);
    buffer.erase(0, p);
    std::erase(line, '\r');
    std::erase(line, '\n');
    State.LastRxLine = line;
    std::string result = line;
    while (!result.empty() && result.back() == ' ') result.pop_back();
    if ((DeviceIsModem() && ResultLine(result)) || result == "RING") {
      // The modem (or a TTY reporting a ring) said it, not the far end: it does not count as the far
      // end's turn, nor as text that collided with this side's.
      if (State.RxCharsSinceSend >= State.LineRxChars) {
        State.RxCharsSinceSend = static_cast<std::uint16_t>(State.RxCharsSinceSend - State.LineRxChars);
        State.RecentChars = State.LineStartRecentChars;
      } else {  // this side sent meanwhile: all that counts since is the modem's
        State.RxCharsSinceSend = 0;
        State.RecentChars.clear();
      }
      State.Collisions = std::max(0, State.Collisions - State.LineCollisions);
      State.ResultLineEnding = true;
    }

    if (ATCommandTimer.Enabled() && line.starts_with("OK")) {
      // A modem's OK advances the command sequence without waiting for the timer.
      ATCommandTimer.SetEnabled(false);
      ATCommandTimer.SetEnabled(true);
      ATCommandTimerTimer(this);
    }
    if (DeviceIsModem() && EndsConnection(result)) ConnectionLost(result);
    if (Settings.AutoAnswer == "1" && !State.OnLine && line.starts_with("RING")) AnswerButtonClick(this);
    if (State.AwaitingConnect && line.starts_with("CONNECT T")) {
      if (line.starts_with("CONNECT TURBO")) State.TurboDetected = true;
      AnsweringPart2();
      State.AwaitingConnect = false;
    }
    MarkLineStart();
  }
}

void TMainForm::MarkLineStart() {
  State.LineRxChars = 0;
  State.LineStartRecentChars = State.RecentChars;
  State.LineCollisions = 0;
}

void TMainForm::CleanUpLastMemoLine() {
  Conversation.Replace(CleanUpLastLine(Conversation.Text()));
  JournalSync(true);
}

void TMainForm::MakeMemoGoToEnd(TMemo* Memo) {
  Memo->GoToEnd();
}

}  // namespace corvalis
