// Send path and the conversation view's speaker marks.
#include <QCoreApplication>

#include "call/conversation_text.h"
#include "call/conversation_view.h"
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::SendToMemoAndPort(const std::string& Str, bool NoEcho) {
  if (Str.empty()) return;
  if (State.CallStartPending) CreateFilePrefix();
  BreakLinesInMemo(true);
  // Received data, timer ticks and clicks run before each character. When one of them ends
  // the call this text belongs to, the rest of it goes neither to the port nor into the
  // finished conversation.
  const bool inCall = State.CallActive;
  for (char c : Str) {
    LetEventsRun();
    if (inCall && !State.CallActive) return;
    unsigned char ch = static_cast<unsigned char>(c);
    if (IsDisplayable(ch)) {
      // Modems get a line break at the first space after column 60 and at column 70.
      if (DeviceIsModem() && State.CallActive &&
          ((ch == ' ' && State.LineColumn > 60) || State.LineColumn >= 70 || State.CallStartPending)) {
        bool crOnly =
            Settings.DeviceType == kDeviceInteleModem300 || Settings.DeviceType == kDeviceInteleModem2400;
        WriteToPort(crOnly ? "\r" : "\r\n");
        MemoASCII->AppendText(std::string{kCrMark, kLfMark});
        State.LineColumn = 1;
      }
      if (!NoEcho) MemoASCII->AppendText(std::string(1, c));
    }
    WriteToPort(std::string(1, c));
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
  if (ComPort.IsOpen()) ComPort.WriteText(Str);
}

void TMainForm::BreakLinesInMemo(bool ForSend) {
  if (!State.CallActive) return;
  if (ForSend && State.LastMark == kMarkSend) return;
  if (!ForSend && State.LastMark == kMarkRecd) return;
  if (!State.CallStartPending) MemoASCII->AppendText("\r\n\r\n");
  MemoASCII->AppendText(ForSend ? kSendMark : kRecdMark);
  State.LastMark = ForSend ? kMarkSend : kMarkRecd;
  MakeMemoGoToEnd(MemoASCII);
  State.CallStartPending = false;
}

void TMainForm::MemoASCIIKeyPress(QObject*, char Key) {
  SendToMemoAndPort(std::string(1, Key), true);
}

void TMainForm::ClearButtonClick(QObject*) {
  MemoASCII->ClearText();
}

}  // namespace corvalis
