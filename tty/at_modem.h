// SPDX-License-Identifier: Apache-2.0
#pragma once
// A TTY modem as the program sees it on the serial line: AT command lines in command mode, a
// connection after ATA or ATD, the "+++" escape with guard times, and a model's immediate hang-up
// character.
//
// The telephone line behind it is pluggable. Without a ModemLine the line is a simulated far end
// that answers every dial and every answer after a delay. With one, the modem hands it the dial
// string, the answer and each hang-up, and the line reports back: the call connected or failed, a
// call is coming in, the carrier was lost, text arrived.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tty {

using Seconds = double;  // one monotonic clock

enum class TurboMode { Auto, On, Off };
// The command with which a program asks a model for turbo code (Auto): none, "#T", or "B7".
enum class TurboCommand { None, HashT, B7 };
// How a call that did not come up ended, as the program is told.
enum class LineFailure { Busy, NoAnswer, NoCarrier };

struct ModemConfig {
  std::string identity;  // what ATI shows
  int hangUpChar = -1;   // connected, this character hangs up at once (EOT, NAK or ESC); -1: none
  TurboCommand turboCommand = TurboCommand::None;
  TurboMode turbo = TurboMode::Auto;
  std::string plainConnect = "CONNECT TTY";
  std::string turboConnect = "CONNECT TURBO";
  Seconds connectDelay = 1.0;  // without a ModemLine: from ATA or ATD to the CONNECT line
  Seconds guard = 1.0;         // silence needed before and after "+++"
  Seconds ringInterval = 6;    // after incoming(): a RING line this often
  // The S-registers' power-on values (ATZ restores them); the others read 0. With a ModemLine,
  // S0 is the rings before answering by itself (0: never), S7 the seconds a dial or an answer may
  // take before it is given up with NO CARRIER (0: no limit).
  std::map<int, int> registers;
};

struct ModemEvent {
  enum class Kind {
    Command,  // an AT command line was carried out: text is the line, detail the result
    Connect,  // the connection stands: text is the CONNECT line
    Hangup,   // the connection ended: text says what ended it
    Abort,    // a dial or answer was aborted by a character before it connected
    Escape,   // "+++" took the modem to online command mode
    Failed,   // a dial or answer did not come up: text is the result line (BUSY, NO ANSWER, ...)
  };
  Kind kind;
  std::string text;
  std::string detail;
  bool hookCommand = false;  // Command: the line held H or Z
};

// The telephone line behind the modem. The modem calls these; the line's answers go to the
// modem's connected(), failed(), carrierLost(), incoming(), ringingStopped() and fromLine().
class ModemLine {
 public:
  virtual ~ModemLine() = default;
  // ATD: the dial string as typed after the D (dial modifiers such as T included), spaces
  // trimmed at both ends.
  virtual void dial(const std::string& number) = 0;
  // ATA, or the answer after S0 rings.
  virtual void answer() = 0;
  // Our side ends or refuses the call: `why` is "ATH", "ATZ", the hang-up character's name,
  // "DTR", "aborted" (a key during a dial or answer), "timeout" (S7), "ATD" (a dial while a call
  // was ringing) or "power".
  virtual void hangUp(const std::string& why) = 0;
};

class AtModem {
 public:
  enum class State { Command, Connecting, Online, OnlineCommand };

  struct Output {
    std::string toProgram;  // echo and result lines
    std::string toLine;     // data for the far end
    std::vector<ModemEvent> events;
  };

  // `line` (not owned, may be null: the simulated line) must outlive the modem.
  explicit AtModem(ModemConfig config, ModemLine* line = nullptr);

  // One character written by the program.
  void fromProgram(char c, Seconds now, Output& out);
  // Runs what is due by now (the CONNECT after the delay, the end of an escape guard, a RING, the
  // answer timeout).
  void tick(Seconds now, Output& out);
  std::optional<Seconds> nextDeadline() const;

  State state() const { return state_; }
  bool online() const { return state_ == State::Online; }
  bool connected() const { return state_ == State::Online || state_ == State::OnlineCommand; }
  bool turbo() const { return turbo_; }
  bool echo() const { return echo_; }
  // A RING line, sent only while the modem is idle in command mode.
  bool ring(Output& out);
  // The far end's carrier is lost: NO CARRIER, and idle in command mode. A dial or answer in
  // progress fails the same way.
  bool carrierLost(Output& out);
  // The power went (the device was pulled out): idle, with the settings of power-on.
  void powerOff();

  // What a ModemLine reports.
  // The call being dialled or answered stands: the CONNECT line.
  void connected(Seconds now, Output& out);
  // The call being dialled or answered did not come up: BUSY, NO ANSWER or NO CARRIER.
  void failed(LineFailure why, Output& out);
  // A call is coming in: RING now and every ringInterval until it is answered (ATA, or by itself
  // after S0 rings) or ringingStopped().
  void incoming(Seconds now, Output& out);
  void ringingStopped();
  // The far end's text: passed to the program only while online, dropped otherwise.
  void fromLine(std::string_view bytes, Output& out);
  // The program dropped DTR: a call in progress or standing is hung up.
  void dtrDropped(Output& out);

 private:
  struct CommandLine;
  void reset();
  void commandChar(char c, Seconds now, Output& out);
  void runLine(const std::string& line, Seconds now, Output& out);
  bool runCommand(char k, CommandLine& cl, Seconds now, Output& out);
  void startCall(char k, CommandLine& cl, Seconds now);
  void returnOnline(CommandLine& cl, Seconds now, Output& out);
  void registerCommand(CommandLine& cl);
  void onlineChar(char c, Seconds now, Output& out);
  void releasePluses(Output& out);
  // Ends a standing connection; the line is told unless it was the line that ended it.
  void hangUp(const std::string& why, Output& out, bool tellLine = true);
  void goOnline(Seconds now, Output& out);
  void sendRing(Seconds now, Output& out);
  void lineHangUp(const std::string& why);
  int reg(int n) const;
  bool wantsTurbo() const;
  static std::string resultLine(const std::string& text) { return "\r\n" + text + "\r\n"; }

  ModemConfig config_;
  ModemLine* line_;
  State state_ = State::Command;
  std::string typed_;  // the command line being typed
  bool lineOverflow_ = false;
  bool echo_ = true;
  int bMode_ = 1;
  bool hashT_ = false;
  std::map<int, int> sRegs_;
  bool turbo_ = false;
  std::optional<Seconds> connectAt_;  // the simulated line's CONNECT, or the answer timeout
  Seconds lastOnlineByte_ = 0;
  int pluses_ = 0;
  Seconds lastPlus_ = 0;
  bool ringing_ = false;  // incoming() and not yet answered or stopped
  Seconds nextRing_ = 0;
  int rings_ = 0;
};

}  // namespace tty
