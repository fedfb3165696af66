#pragma once
// A TTY modem as the program sees it on the serial line: AT command lines in command mode, a
// connection after ATA or ATD, the "+++" escape with guard times, and each model's immediate
// hang-up character.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "pacing.h"

namespace ttysim {

enum class TurboMode { Auto, On, Off };

struct ModemConfig {
  Device device = Device::Nxi;
  TurboMode turbo = TurboMode::Auto;
  std::string plainConnect = "CONNECT TTY";
  std::string turboConnect = "CONNECT TURBO";
  Seconds connectDelay = 1.0;  // from ATA or ATD to the CONNECT line
  Seconds guard = 1.0;         // silence needed before and after "+++"
};

struct ModemEvent {
  enum class Kind {
    Command,  // an AT command line was carried out: text is the line, detail the result
    Connect,  // the connection stands: text is the CONNECT line
    Hangup,   // the connection ended: text says what ended it
    Abort,    // a dial or answer was aborted by a character before it connected
    Escape,   // "+++" took the modem to online command mode
  };
  Kind kind;
  std::string text;
  std::string detail;
  bool hookCommand = false;  // Command: the line held H or Z
};

class Modem {
 public:
  enum class State { Command, Connecting, Online, OnlineCommand };

  struct Output {
    std::string toProgram;  // echo and result lines
    std::string toLine;     // data for the far end
    std::vector<ModemEvent> events;
  };

  explicit Modem(ModemConfig config);

  // One character written by the program.
  void fromProgram(char c, Seconds now, Output& out);
  // Runs what is due by now (the CONNECT after the delay, the end of an escape guard).
  void tick(Seconds now, Output& out);
  std::optional<Seconds> nextDeadline() const;

  State state() const { return state_; }
  bool online() const { return state_ == State::Online; }
  bool connected() const { return state_ == State::Online || state_ == State::OnlineCommand; }
  bool turbo() const { return turbo_; }
  bool echo() const { return echo_; }
  // A RING line, sent only while the modem is idle in command mode.
  bool ring(Output& out);
  // The far end's carrier is lost while connected: NO CARRIER, and idle in command mode.
  bool dropCarrier(Output& out);
  // The power went (the device was pulled out): idle, with the settings of power-on.
  void powerOff();

 private:
  void reset();
  void commandChar(char c, Seconds now, Output& out);
  void runLine(const std::string& line, Seconds now, Output& out);
  void onlineChar(char c, Seconds now, Output& out);
  void releasePluses(Output& out);
  void hangUp(const std::string& why, Output& out);
  bool wantsTurbo() const;
  static std::string resultLine(const std::string& text) { return "\r\n" + text + "\r\n"; }

  ModemConfig config_;
  State state_ = State::Command;
  std::string line_;
  bool lineOverflow_ = false;
  bool echo_ = true;
  int bMode_ = 1;
  bool hashT_ = false;
  std::map<int, int> sRegs_;
  bool turbo_ = false;
  Seconds connectAt_ = 0;
  Seconds lastOnlineByte_ = 0;
  int pluses_ = 0;
  Seconds lastPlus_ = 0;
};

}  // namespace ttysim
