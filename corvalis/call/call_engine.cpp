// SPDX-License-Identifier: Apache-2.0
// Receiving and sending: what one batch of received characters does, and how text goes out.
#include "call/call_engine.h"

#include <algorithm>

#include "call/modem_commands.h"
#include "common/conversation_text.h"

namespace corvalis {

// ---- receiving ------------------------------------------------------------------------------

void TCallEngine::Receive(std::int32_t Count) {
  ResetAutoHangUpTicks();
  // The capture file is named after the minute the conversation began.
  if (State.CallStartPending) Window.ConversationBegins();
  State.RxIdleTicks = 0;
  std::string S;
  try {
    ComPort.ReadText(S, Count);
  } catch (const EComPort& e) {
    if (!DeviceGoneError(e.SystemErrorCode())) throw;
    return Window.DeviceGone(e.SystemErrorCode(), "a read failed");
  }
  // When the bytes arrived: what held up this thread before it could read them is not the line's.
  const std::int64_t deliveredMs = Window.NowMs() - ComPort.RxWaitedMs();

  if (!State.AutoSendArmed && !State.AutoSendHeld && State.Phase.Active() && Window.AutoSendChosen() &&
      Window.TurnReady() && Window.ConversationOpen())
    State.AutoSendArmed = true;

  const bool nxi = Settings.DeviceType == kDeviceNXi;
  for (char c : S) {
    if (State.Phase.Active()) Window.Timed(timing::Direction::Received, deliveredMs, std::string_view(&c, 1));
    unsigned char ch = static_cast<unsigned char>(c);
    bool nxiCode = nxi && (ch == 18 || ch == 20 || ch == 30 || ch == 31);
    bool resultLineEnd = false;
    if (nxiCode) {
      if (ch == 31) Window.SoundLamp(true);
      if (ch == 30) Window.SoundLamp(false);
    } else {
      State.RxLineBuffer += static_cast<char>(ch);
      CheckLastLineAction();
      // The line end of a modem's result line counts no more than the line did.
      resultLineEnd = State.ResultLineEnding && (ch == 13 || ch == 10);
      if (!resultLineEnd) State.ResultLineEnding = false;
    }

    const bool never = nxiCode || ch == 0 || ch == 127 || ch == 128 || ch == 129 || State.Line.AwaitingConnect() ||
                       State.Phase.Frozen() || State.Line.HungUp();
    // The line end that follows the connection, before anything was exchanged.
    const bool atStart =
        (ch == 10 && State.CallStartPending && State.Line.OnLine() && (State.TurboDetected || nxi)) ||
        (ch == 13 && State.CallStartPending && State.Line.OnLine());
    bool suppressed = never || atStart || State.Sending;
    // What is not shown because this side is sending is counted (the echo rule): the lab is told. A line
    // end after far-end text that collided would have shown.
    if (State.Sending && !never && (!atStart || State.Collisions > 0) && State.Phase.Active() && !resultLineEnd) {
      ++State.Collisions;
      ++State.LineCollisions;
    }

    if (!suppressed && (DeviceTypeIsBiDirectional(Settings.DeviceType) || !Window.TypingWindowShown())) {
      BreakLines(false);
      State.CallStartPending = false;
    }
    if (ch == 10 || ch == 13) State.LineColumn = 1;

    if (State.Phase.Active()) {
      if (ch == 13) ch = static_cast<unsigned char>(kCrMark);
      if (ch == 10) ch = static_cast<unsigned char>(kLfMark);
    } else {
      if (ch == 13) Append("\r\n");
      if (ch == 13 || ch == 10) suppressed = true;
    }
    if (ch == 8) ch = static_cast<unsigned char>(kBsMark);

    if (suppressed) continue;
    if (ch != 10 && ch != 11 && ch != 12 && ch != 13) ++State.LineColumn;
    State.CallStartPending = false;
    Append(std::string(1, static_cast<char>(ch)));
    Window.ShowLatest();
    if (Window.TurnReady() && !resultLineEnd) {
      if (ch != ' ') PushRecentChar(State.RecentChars, static_cast<char>(ch));
      ++State.RxCharsSinceSend;
      ++State.LineRxChars;
    }
  }
  Window.ShowLatest();
  Window.Journal(false);
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

void TCallEngine::CheckLastLineAction() {
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

    // A modem's OK advances its command sequence without waiting for the timer.
    if (line.starts_with("OK")) Window.ModemSaidOk();
    if (DeviceIsModem() && EndsConnection(result)) Window.LineLost(result);
    if (Settings.AutoAnswer == "1" && !State.Line.OnLine() && line.starts_with("RING")) Window.AnswerRing();
    if (State.Line.AwaitingConnect() && line.starts_with("CONNECT T")) {
      if (line.starts_with("CONNECT TURBO")) State.TurboDetected = true;
      Window.ModemConnected();
      State.Line.StopAwaiting();
    }
    MarkLineStart();
  }
}

void TCallEngine::MarkLineStart() {
  State.LineRxChars = 0;
  State.LineStartRecentChars = State.RecentChars;
  State.LineCollisions = 0;
}

void TCallEngine::CleanUpLastLine() {
  Conversation.Replace(corvalis::CleanUpLastLine(Conversation.Text()));
  Window.Journal(true);
}

// ---- sending --------------------------------------------------------------------------------

void TCallEngine::SendText(const std::string& Str, bool NoEcho, std::uint32_t Sequence) {
  if (Str.empty()) return;
  if (State.CallStartPending) Window.ConversationBegins();
  BreakLines(true);
  // Received data, timer ticks and clicks run before each character. When one of them ends the
  // call this text belongs to (and perhaps starts the next), the rest of it goes neither to the
  // port nor into any conversation; so also when the device goes away with a character.
  // A step of a command sequence that was stopped meanwhile (a hang-up's "ATH" when the next ring
  // has been answered) stops too: it would cut the new call.
  const std::uint32_t call = State.Phase.Active() ? State.CallId : 0;
  auto sameCall = [this, call, Sequence] {
    if (Sequence != 0 && Sequence != State.CommandSequence) return false;
    return call == 0 || (State.Phase.Active() && State.CallId == call);
  };
  for (char c : Str) {
    Window.RunPendingEvents();
    if (!sameCall()) return;
    // A command begun outside a call (an answer) goes to the port whole, but a call that started
    // meanwhile does not show the rest of it.
    const bool joined = call == 0 && State.Phase.Active();
    unsigned char ch = static_cast<unsigned char>(c);
    if (IsDisplayable(ch) && !joined) {
      // Modems get a line break at the first space after column 60 and at column 70.
      if (DeviceIsModem() && State.Phase.Active() &&
          ((ch == ' ' && State.LineColumn > 60) || State.LineColumn >= 70 || State.CallStartPending)) {
        bool crOnly =
            Settings.DeviceType == kDeviceInteleModem300 || Settings.DeviceType == kDeviceInteleModem2400;
        WriteToPort(crOnly ? "\r" : "\r\n");
        if (!sameCall()) return;
        Append(std::string{kCrMark, kLfMark});
        State.LineColumn = 1;
      }
    }
    WriteToPort(std::string(1, c));
    if (!sameCall()) return;
    if (IsDisplayable(ch) && !NoEcho && !joined) Append(std::string(1, c));
    if (ch == 8) {
      // Never below 1 (the column is 0 before the first call).
      if (State.LineColumn > 1) --State.LineColumn;
    } else {
      ++State.LineColumn;
    }
  }
  Window.ShowLatest();
  State.CallStartPending = false;
  ResetAutoHangUpTicks();
  Window.Journal(false);
}

void TCallEngine::SendToPort(const std::string& Str) {
  Window.RunPendingEvents();
  WriteToPort(Str);
}

void TCallEngine::WriteToPort(const std::string& Str) {
  if (!ComPort.IsOpen()) return;
  try {
    const std::int32_t taken = ComPort.WriteText(Str);
    if (State.Phase.Active())
      Window.Timed(timing::Direction::Sent, Window.NowMs(),
                   std::string_view(Str).substr(0, static_cast<std::size_t>(std::max(taken, 0))));
  } catch (const EComPort& e) {
    // A device that has gone is said once and watched for; a write that failed otherwise is an error.
    if (!DeviceGoneError(e.SystemErrorCode())) throw;
    Window.DeviceGone(e.SystemErrorCode(), "a write failed");
  }
}

void TCallEngine::BreakLines(bool ForSend) {
  if (!State.Phase.Active()) return;
  if (ForSend && State.LastMark == kMarkSend) return;
  if (!ForSend && State.LastMark == kMarkRecd) return;
  if (!State.CallStartPending) Append("\r\n\r\n");
  Append(ForSend ? kSendMark : kRecdMark);
  State.LastMark = ForSend ? kMarkSend : kMarkRecd;
  Window.ShowLatest();
  State.CallStartPending = false;
}

// ---- the call's life ------------------------------------------------------------------------

void TCallEngine::BeginCall() {
  // A line hung up at the end of the last call, or its auto-send counters, must not hide or send
  // anything now.
  if (!State.Line.OnLine()) {
    // Not brought up by a dial or answer: no connection, so no turbo code and no count yet.
    State.TurboDetected = false;
    State.InactivityTicks = 0;
  }
  StopCommandSequence();
  State.AutoSendHeld = false;
  State.AutoSendArmed = false;
  State.RxIdleTicks = 0;
  State.RxCharsSinceSend = 0;
  State.RecentChars.clear();
  State.ScriptCompleted = false;
  State.Line.ComesUp();  // which ends a hang-up
  State.LastMark = kMarkNone;
  State.CallSeconds = 0;
  State.TickPhase = 0;
  State.Phase.Start();
  ++State.CallId;
  State.Collisions = 0;
  MarkLineStart();
  State.LineColumn = 70;
  State.CallStartPending = true;
}

bool TCallEngine::CloseCall() {
  // Nothing of the script may follow the call.
  State.ScriptStartTicks = 0;
  // Only a call going on or hung up is closed. An automatic ending (the script's end, the line
  // dropped) with no call open, or after its call has ended, has no record to offer for saving:
  // the ended call keeps its end time and its text, and a call never started leaves no record.
  if (!State.Phase.Open()) {
    State.Line.GoesDown();
    return false;
  }
  // Cleaned up while the call is still open: the journal takes it as the call's.
  CleanUpLastLine();
  State.Phase.Close();
  State.AutoSendArmed = false;
  return true;
}

void TCallEngine::NoConnection() {
  State.Line.NoConnection();
  State.AutoScriptPending = false;
  State.ScriptStartTicks = 0;
}

// ---- the modem -----------------------------------------------------------------------------

void TCallEngine::Dial(const std::string& Number) {
  StopCommandSequence();
  State.Line.EndHangUp();
  State.AutoScriptPending = false;
  State.TurboDetected = false;
  State.CallStartPending = true;
  SendText(DialCommand(Settings, Number), State.Phase.Frozen(), 0);
  State.Line.Dial(DeviceIsModem());
  ResetAutoHangUpTicks();
}

void TCallEngine::Answer() {
  StopCommandSequence();
  State.Line.EndHangUp();
  State.TurboDetected = false;
  SendText(AnswerCommand(Settings), State.Phase.Frozen(), 0);
  State.Line.Answer(DeviceIsModem());
  ResetAutoHangUpTicks();
  State.AutoScriptPending = DeviceIsModem() && Settings.AutoAnswer == "1";
  // The NXi modem's call starts with its CONNECT line; the others' at once.
  if (Settings.DeviceType != kDeviceNXi) Window.ModemConnected();
}

void TCallEngine::LineDown() {
  State.Phase.HangUp();
  State.Line.HangUp();
  State.AutoSendArmed = false;
  State.ScriptStartTicks = 0;  // no script start on a line that is down
}

void TCallEngine::HangUp() {
  State.Sending = false;
  // The characters that hang up at once, then the timed sequence. Sending lets events run: when the
  // next ring is answered meanwhile (which stops every command sequence), the hang-up is over, and
  // neither its character nor its commands may cut the new call's answer.
  const std::uint32_t sequence = State.CommandSequence;
  const std::string now = HangUpCharacters(Settings.DeviceType, State.CallStartPending);
  if (!now.empty()) SendText(now, CommandsQuiet(), sequence);
  if (sequence != State.CommandSequence) return;
  State.ATStep = HangUpFirstStep(Settings.DeviceType);
  Window.CommandTimer(true);
  ResetAutoHangUpTicks();
}

void TCallEngine::InitializeModem() {
  SendText(ResetCommand(Settings.DeviceType), CommandsQuiet(), 0);
  State.ATStep = InitFirstStep(Settings.DeviceType);
  Window.CommandTimer(true);
}

void TCallEngine::CommandStep() {
  Window.CommandTimer(false);
  const std::uint32_t sequence = State.CommandSequence;
  SendText(StepCommand(State.ATStep), CommandsQuiet(), sequence);
  // Stopped while the step was being sent: the sequence goes no further.
  if (sequence != State.CommandSequence || StepEndsSequence(State.ATStep)) return;
  ++State.ATStep;
  Window.CommandTimer(true);
}

void TCallEngine::StopCommandSequence() {
  // What is left of an AT command sequence (a hang-up's "+++" and "ATH", the last steps of an
  // initialisation) would go into the new call, and cut its line.
  Window.CommandTimer(false);
  ++State.CommandSequence;
}

// ---- the script ----------------------------------------------------------------------------

std::string TCallEngine::ReadTurn(bool SkipOdd, bool SkipEven, bool BiDi) {
  std::string typing;  // this side's turn for the typing window (any length)
  try {
    std::string L;
    bool TurnEnded = false;
    do {
      TScriptLine line = State.Script.Read(SkipOdd, SkipEven);
      if (line.FirstLongLine) Window.LongScriptLines();
      if (line.NewTurn) Window.TurnBegins();
      L = std::move(line.Text);
      TurnEnded = line.TurnEnded;
      if (!L.empty()) {
        if (BiDi) {
          State.SendQueue = L + " ";
          State.Sending = true;
        } else {
          std::erase(L, '~');
          typing += L;
          L.clear();
        }
      }
      // A turn still to be typed is shown first: the script ends once it has been typed.
      if (typing.empty()) CheckScriptEnd();
    } while (State.Script.IsOpen() && L.empty() && !TurnEnded);
  } catch (...) {
    // A failed read (or a failure in ending the script) leaves no half-open script.
    State.Script.Close();
    throw;
  }
  return typing;
}

void TCallEngine::CheckScriptEnd() {
  // A last line with no empty line after it is sent first: the end waits until it drains.
  if (!State.Script.IsOpen() || !State.Script.AtEnd() || !State.SendQueue.empty()) return;
  State.ScriptCompleted = true;
  Window.ScriptEnded();
  State.AutoSendArmed = false;
  // The far end's next words must not start the script again in this call.
  State.AutoSendHeld = true;
  State.Script.Close();
}

// ---- the main timer ------------------------------------------------------------------------

void TCallEngine::Tick() {
  if (State.ScriptStartTicks != 0) {
    ++State.ScriptStartTicks;
    if (State.ScriptStartTicks == 20) {
      State.ScriptStartTicks = 0;
      Window.SendTurn();
    }
  }

  if (State.Phase.Active() && State.Line.OnLine() && State.InactivityTicks != 0) {
    ++State.InactivityTicks;
    if (Settings.AutoHangUp == "1" && State.InactivityTicks > 150) {
      State.InactivityTicks = 0;
      if (DeviceIsModem())
        Window.HangUp();
      else
        Window.EndCall();  // saves the call when AutoSave is on
    }
  }

  if (State.AutoSendArmed && Window.TurnReady()) {
    ++State.RxIdleTicks;
    if (AutoSendDue(State.RxIdleTicks, State.RxCharsSinceSend, State.RecentChars)) {
      if (DeviceTypeIsBiDirectional(Settings.DeviceType))
        Window.SendTurn();
      else
        Window.TurnTyped();  // the last turn has been typed
    }
  }

  if (State.TickPhase == 0) {
    if (State.Phase.Active()) ++State.CallSeconds;
    Window.ShowClock(State.Phase.Active(), State.CallSeconds);
  }
  ++State.TickPhase;
  if (State.TickPhase > 4) State.TickPhase = 0;

  if (State.Sending && State.SendQueue.empty()) State.Sending = false;
  if (!State.Sending) return;
  const int n = State.TurboDetected ? 2 : 1;
  for (int i = 0; i < n; ++i) {
    if (State.SendQueue.empty()) break;
    const char ch = State.SendQueue.front();
    State.SendQueue.erase(0, 1);
    if (ch != '~') SendText(std::string(1, ch), false, 0);
  }
  if (!State.SendQueue.empty()) {
    Window.Sending(State.SendQueue.size());
    return;
  }
  const bool more = State.Script.TurnHasMore();
  if (more) Window.SendTurn();
  Window.LineSent(more);
}

}  // namespace corvalis
