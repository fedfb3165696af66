// SPDX-License-Identifier: Apache-2.0
#pragma once
// One simulated device with the far-end person behind it, driven by what the program writes, by
// timers and by signals; everything it produces is collected in an outbox for the caller to write.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "at_modem.h"
#include "channel.h"
#include "device.h"
#include "pacing.h"
#include "script.h"

namespace ttysim {

using tty::AtModem;
using tty::ModemConfig;
using tty::ModemEvent;
using tty::TurboMode;

struct SessionConfig {
  Device device = Device::Nxi;
  std::optional<Script> script;      // nothing: the far end only listens
  Side side = Side::Even;            // the turns the far end types
  double cps = 6;                    // typing pace, characters per second
  bool cpsGiven = false;             // false: a turbo connection doubles the pace
  std::string lineEnd = " ";         // typed after each script line
  Seconds startDelay = 3;            // from the call coming up to the first turn, when ours
  Seconds quiet = 1.5;               // silence after GA or SK before the reply
  Seconds giveUp = 6;                // silence after anything before the reply
  std::optional<Seconds> ringAfter;  // ring this long after the program first opens the port
  bool ringOnSignal = false;         // ring on request (SIGUSR1)
  int rings = 0;                     // RING lines before giving up; 0: until answered
  Seconds ringInterval = 6;
  ModemConfig modem;  // the model's own fields (ATI, hang-up character, turbo command) come from device
  ErrorRates toFar, toProgram;
  std::optional<tty::AudioLineSettings> audio;  // a line of tones both ways instead of the rates
  LineDelay delay;                              // both ways
  std::uint64_t seed = 1;
  Seconds linger = 8;                // after the call, exit once the line is this quiet
  Seconds hangUpGrace = 1;           // after the program's final "ATH", exit once the line is this quiet
  int calls = 1;                     // calls in a row: after one has been hung up, the next one comes
  Seconds callGap = 2;               // from the hang-up to the next call's first ring
  std::optional<Seconds> dropAfter;  // a modem loses the carrier this long into the first call
  std::optional<Seconds> pullAfter;  // the device is pulled out this long into the first call
  Seconds pullFor = 4;               // and is back after this long
};

struct Outbox {
  std::string toProgram;    // bytes to write to the port
  std::string farReceived;  // what arrived at the far end (its own capture)
  std::string farSent;      // what the far end typed
  // The far end's characters with the moments it typed them and they arrived, for its record.
  struct FarChar {
    Seconds at;
    bool sent;  // typed by the far end; else arrived there
    char c;
  };
  std::vector<FarChar> farLine;
  std::vector<std::string> events;
};

class Session {
 public:
  explicit Session(SessionConfig config);

  void attach(Seconds now);  // the program opened the port
  void detach(Seconds now);  // the program closed it
  void fromProgram(std::string_view bytes, Seconds now);
  void ringSignal(Seconds now);
  void tick(Seconds now);
  // When tick next has something to do; nothing when only input can move things on.
  std::optional<Seconds> nextDeadline() const;

  bool done() const { return done_; }
  // The device has been pulled out: the caller takes its port away until it is back.
  bool away() const { return away_; }
  const std::string& doneReason() const { return doneReason_; }
  bool callUp() const { return callUp_; }
  Seconds callUpAt() const { return callUpAt_; }
  bool turbo() const { return modem_ && modem_->turbo(); }  // the connection is in turbo code
  int call() const { return call_; }
  int turn() const { return turn_; }
  const Channel& channelToFar() const { return toFar_; }
  const Channel& channelToProgram() const { return toProgram_; }

  Outbox out;

 private:
  enum class Speaker { Far, Local, Program };
  Speaker speakerOf(int turn) const;
  TurnDetector& earOf(Speaker s) { return s == Speaker::Far ? farEar_ : localEar_; }
  Typist& typistOf(Speaker s) { return s == Speaker::Far ? farTypist_ : localTypist_; }

  void event(std::string text);
  void programChar(char c, Seconds now);
  void handle(AtModem::Output& o, Seconds now);
  void bringCallUp(Seconds now, const std::string& why);
  void endCall(Seconds now, const std::string& why);
  void noteHangUpCommand(Seconds now);
  void toFarEnd(char c, Seconds now);
  void farEndHears(char c, Seconds at);
  void deliverDelayed(Seconds now);
  void deviceToProgram(char c, Seconds now);
  void nextCall(Seconds now);
  void runRinging(Seconds now);
  void runConversation(Seconds now);
  void runTypists(Seconds now);
  void checkDone(Seconds now);
  bool finished() const;

  SessionConfig config_;
  std::optional<AtModem> modem_;
  Channel toFar_, toProgram_;
  DelayLine toFarDelay_, toProgramDelay_;
  Typist farTypist_, localTypist_;
  TurnDetector farEar_, localEar_;

  bool attached_ = false;
  bool everAttached_ = false;
  int call_ = 1;  // the call being played, from 1
  bool callUp_ = false;
  bool everUp_ = false;  // this call has come up
  Seconds callUpAt_ = 0;
  std::optional<Seconds> nextCallAt_;  // when the next call of a run rings (or comes up)
  bool waitForAnswer_ = false;         // a direct TTY comes up only when the program answers a ring
  bool swallowAnswer_ = false;         // the answer command line is not sent down the line
  std::string directLine_;

  bool ringing_ = false;
  // The modem is answering this call's ring: an answer that stops short rings again.
  bool answering_ = false;
  void answerStopped(Seconds now, const std::string& why);
  Seconds nextRing_ = 0;
  int ringsSent_ = 0;

  int turn_ = 1;
  bool speaking_ = false;
  bool soundOn_ = false;
  bool scriptDone_ = false;
  bool hungUp_ = false;
  bool hangUpCommand_ = false;
  Seconds hangUpCommandAt_ = 0;
  Seconds lastActivity_ = 0;
  bool done_ = false;
  std::string doneReason_;

  // Faults of the first call: the carrier lost, the device pulled out and put back.
  void runFaults(Seconds now);
  bool dropped_ = false;
  bool pulled_ = false;
  bool away_ = false;
  bool backAttach_ = false;  // the device is back: the next call waits for the program to open it
  Seconds backAt_ = 0;
};

}  // namespace ttysim
