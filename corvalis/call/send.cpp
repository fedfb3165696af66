// SPDX-License-Identifier: Apache-2.0
// Send path and the conversation view's speaker marks.
#include <QCoreApplication>
#include <algorithm>

#include "call/conversation_text.h"
#include "call/conversation_view.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::SendToMemoAndPort(const std::string& Str, bool NoEcho) {
  SendText(Str, NoEcho, 0);
}

void TMainForm::SendCommandStep(const std::string& Str, bool NoEcho) {
  SendText(Str, NoEcho, commandSequence_);
}

void TMainForm::SendText(const std::string& Str, bool NoEcho, std::uint32_t Sequence) {
  if (Str.empty()) return;
  if (State.CallStartPending) CreateFilePrefix();
  BreakLinesInMemo(true);
  // Received data, timer ticks and clicks run before each character. When one of them ends the
  // call this text belongs to (and perhaps starts the next), the rest of it goes neither to the
  // port nor into any conversation; so also when the device goes away with a character.
  // A step of a command sequence that was stopped meanwhile (a hang-up's "ATH" when the next ring
  // has been answered) stops too: it would cut the new call.
  const std::uint32_t call = State.CallActive ? State.CallId : 0;
  auto sameCall = [this, call, Sequence] {
    if (Sequence != 0 && Sequence != commandSequence_) return false;
    return call == 0 || (State.CallActive && State.CallId == call);
  };
  for (char c : Str) {
    LetEventsRun();
    if (!sameCall()) return;
    // A command begun outside a call (an answer) goes to the port whole, but a call that started
    // meanwhile does not show the rest of it.
    const bool joined = call == 0 && State.CallActive;
    unsigned char ch = static_cast<unsigned char>(c);
    if (IsDisplayable(ch) && !joined) {
      // Modems get a line break at the first space after column 60 and at column 70.
      if (DeviceIsModem() && State.CallActive &&
          ((ch == ' ' && State.LineColumn > 60) || State.LineColumn >= 70 || State.CallStartPending)) {
        bool crOnly =
            Settings.DeviceType == kDeviceInteleModem300 || Settings.DeviceType == kDeviceInteleModem2400;
        WriteToPort(crOnly ? "\r" : "\r\n");
        if (!sameCall()) return;
        ViewAppend(std::string{kCrMark, kLfMark});
        State.LineColumn = 1;
      }
    }
    WriteToPort(std::string(1, c));
    if (!sameCall()) return;
    if (IsDisplayable(ch) && !NoEcho && !joined) ViewAppend(std::string(1, c));
    if (ch == 8) {
      // Never below 1 (the column is 0 before the first call).
      if (State.LineColumn > 1) --State.LineColumn;
    } else {
      ++State.LineColumn;
    }
  }
  MakeMemoGoToEnd(MemoASCII);
  State.CallStartPending = false;
  ResetAutoHangUpTicks(this);
  JournalSync();
}

void TMainForm::SendToPort(const std::string& Str) {
  LetEventsRun();
  WriteToPort(Str);
}

void TMainForm::LetEventsRun() {
  // Received data, timer ticks and clicks may run here, between two characters.
  QCoreApplication::processEvents();
}

void TMainForm::WriteToPort(const std::string& Str) {
  if (!ComPort.IsOpen()) return;
  try {
    const std::int32_t taken = ComPort.WriteText(Str);
    if (State.CallActive)
      CallTimes.Add(timing::Direction::Sent, Clock().MonotonicMs(),
                    std::string_view(Str).substr(0, static_cast<std::size_t>(std::max(taken, 0))));
  } catch (const EComPort& e) {
    // A device that has gone is said once and watched for; a write that failed otherwise is an error.
    if (!DeviceGoneError(e.SystemErrorCode())) throw;
    PortGone(e.SystemErrorCode(), "a write failed");
  }
}

void TMainForm::BreakLinesInMemo(bool ForSend) {
  if (!State.CallActive) return;
  if (ForSend && State.LastMark == kMarkSend) return;
  if (!ForSend && State.LastMark == kMarkRecd) return;
  if (!State.CallStartPending) ViewAppend("\r\n\r\n");
  ViewAppend(ForSend ? kSendMark : kRecdMark);
  State.LastMark = ForSend ? kMarkSend : kMarkRecd;
  MakeMemoGoToEnd(MemoASCII);
  State.CallStartPending = false;
}

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

}  // namespace corvalis
