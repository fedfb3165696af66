// SPDX-License-Identifier: Apache-2.0
#pragma once
// The call engine: what the device delivers and what goes to it, into the conversation, the call's
// character times and the counts that decide when the far end's turn is over; the main timer's
// 200 ms tick (the script's start, the automatic hang-up and send, the clocks, the line being sent);
// this side's turns from the script and the script's end; dialling, answering, hanging up and the
// AT command sequences; a call's beginning and closing (its phase: call_phase.h). It works on the
// call's state, conversation and settings, which the window owns, and asks the window
// (ICallWindow) for what is the window's: its clock, its journal, the buttons the tester set, the
// boxes and the typing window, and the operations that end in them (saving, End Call).
//
// Errors: a port error that is not the device going away (EComPort) goes to the caller; a device
// that went away is handed to ICallWindow::DeviceGone and the operation ends. A script that cannot
// be read (TScriptFileError) goes to the caller with the script closed.
#include <cstdint>
#include <string>
#include <string_view>

#include "call/conversation.h"
#include "call/engine_state.h"
#include "serial/comport.h"
#include "timing.h"

namespace corvalis {

// What the engine needs of the window around it.
class ICallWindow {
 public:
  virtual ~ICallWindow() = default;
  // The window's steady clock, in milliseconds.
  virtual std::int64_t NowMs() const = 0;
  // Characters that went to the device or arrived from it during the call, and when.
  virtual void Timed(timing::Direction Direction, std::int64_t AtMs, std::string_view Chars) = 0;
  // The conversation's first character: the capture is named after this minute.
  virtual void ConversationBegins() = 0;
  // The device behind the port has gone (How: what found it out).
  virtual void DeviceGone(int SystemError, const std::string& How) = 0;
  // Received data, timer ticks and clicks run here, between two characters sent.
  virtual void RunPendingEvents() = 0;
  // The view shows the conversation's end.
  virtual void ShowLatest() = 0;
  // The journal follows the call (with Whole, the whole conversation again).
  virtual void Journal(bool Whole) = 0;
  // The tester's choices the auto-send rule reads: Auto send on, a turn ready to send, the
  // conversation open to typing.
  virtual bool AutoSendChosen() const = 0;
  virtual bool TurnReady() const = 0;
  virtual bool ConversationOpen() const = 0;
  // The manual typing window is up (what is received then is not shown from a one-way device).
  virtual bool TypingWindowShown() const = 0;
  // An NXi modem's sound lamp.
  virtual void SoundLamp(bool On) = 0;
  // A received line the modem said: OK, one that ends the connection, RING, CONNECT.
  virtual void ModemSaidOk() = 0;
  virtual void LineLost(const std::string& Result) = 0;
  virtual void AnswerRing() = 0;
  virtual void ModemConnected() = 0;
  // The AT command timer (2 s a step) runs or stops.
  virtual void CommandTimer(bool On) = 0;

  // What the tick does through the window's operations: this side's next turn from the script
  // (Send a line), a one-way device's turn typed (the far end has gone quiet after it), hanging up,
  // ending the call.
  virtual void SendTurn() = 0;
  virtual void TurnTyped() = 0;
  virtual void HangUp() = 0;
  virtual void EndCall() = 0;
  // The line being sent has Left characters to go; LineSent: it has all gone (TurnGoesOn: the turn
  // has more lines, which are being sent).
  virtual void Sending(std::size_t Left) = 0;
  virtual void LineSent(bool TurnGoesOn) = 0;
  // Once a second: the wall clock, and the call's own clock while a call goes on.
  virtual void ShowClock(bool CallGoesOn, std::int32_t CallSeconds) = 0;

  // What reading the script tells the window: the script has lines too long to be a TTY's (said
  // once a run), a turn of this side's has begun (the turn counter), the script has been sent to
  // its end (the counter goes back, the call ends when Auto hang-up is on).
  virtual void LongScriptLines() = 0;
  virtual void TurnBegins() = 0;
  virtual void ScriptEnded() = 0;
};

class TCallEngine {
 public:
  TCallEngine(TCallEngineState& State, TConversation& Conversation, const TWindowSettings& Settings,
              TComPort& ComPort, ICallWindow& Window)
      : State(State), Conversation(Conversation), Settings(Settings), ComPort(ComPort), Window(Window) {}

  // ---- receiving ----
  // Reads Count characters the port has and does what each one does.
  void Receive(std::int32_t Count);
  // Acts on each whole received line (a modem's result lines).
  void CheckLastLineAction();
  // Where a received line begins, for the counts a modem's result line takes back.
  void MarkLineStart();
  // The modem escape and what follows it, and trailing spaces, go from the conversation's last line.
  void CleanUpLastLine();

  // ---- sending ----
  // Writes Str to the port a character at a time, letting events run between them, and shows it
  // (unless NoEcho) after the speaker mark; Sequence is the AT command sequence it is a step of,
  // or 0. Text whose call ended meanwhile goes no further.
  void SendText(const std::string& Str, bool NoEcho, std::uint32_t Sequence);
  // Lets pending events run, then writes (nothing when the port is closed).
  void SendToPort(const std::string& Str);
  void WriteToPort(const std::string& Str);
  // The speaker mark before this side's (ForSend) or the far end's words, once per turn.
  void BreakLines(bool ForSend);

  // ---- the call's life ----
  // A call begins (Start Call, or a connection): every call starts from the same state, whatever
  // the last one did; the line is up.
  void BeginCall();
  // The call goes to Ended (call_phase.h): its last line cleaned up, no script started after it.
  // False when no call was open: nothing is closed, and the line is down all the same.
  bool CloseCall();
  // A dial or answer that never connected, or a device that went or was changed with no call
  // going on: the line is down and nothing of a script starts.
  void NoConnection();

  // ---- the modem ----
  // Dials Number (in Windows-1252) or answers: what a command sequence was doing ends, and the line
  // counts as coming up (a modem's CONNECT brings it up; another device's answer at once, through
  // ICallWindow::ModemConnected).
  void Dial(const std::string& Number);
  void Answer();
  // This side hangs up: the line and the call's script go down (LineDown), then the characters that
  // hang up at once go and the timed sequence starts (HangUp). Between the two the window puts the
  // script back to its start.
  void LineDown();
  void HangUp();
  // The modem put back and set up: its reset command at once, the rest a step a tick.
  void InitializeModem();
  // One tick of the AT command timer: the sequence's next step.
  void CommandStep();
  // What is left of a running command sequence goes no further.
  void StopCommandSequence();
  // Commands stay out of the conversation while the view holds a call that is not saved.
  bool CommandsQuiet() const { return State.Phase.Unsaved(); }

  // ---- the script ----
  // Reads this side's next turn from the open script, passing over the far end's turns (SkipOdd,
  // SkipEven as TScriptReader::Read takes them). On a bi-directional device (BiDi) its
  // first line goes into the send queue, which the tick sends; on the others the whole turn is
  // returned, for the tester to type. A failed read closes the script and goes to the caller.
  std::string ReadTurn(bool SkipOdd, bool SkipEven, bool BiDi);
  // Ends the script once it has been read and sent to its end: the call's record says so, and the
  // far end's next words do not start it again in this call.
  void CheckScriptEnd();

  // ---- the main timer ----
  // One 200 ms tick: the script's start 19 ticks after an automatic answer; the automatic hang-up
  // after 30 s of silence (Auto hang-up on); the automatic send once the far end's turn is over
  // (Auto send on); the clocks once a second; the line being sent, a character a tick (two on a
  // turbo connection).
  void Tick();

  // The automatic hang-up counts from now.
  void ResetAutoHangUpTicks() { State.InactivityTicks = State.Line.OnLine() ? 1 : 0; }

 private:
  bool DeviceIsModem() const { return DeviceTypeIsModem(Settings.DeviceType); }
  void Append(const std::string& Bytes) { Conversation.Append(Bytes); }

  TCallEngineState& State;
  TConversation& Conversation;
  const TWindowSettings& Settings;
  TComPort& ComPort;
  ICallWindow& Window;
};

}  // namespace corvalis
