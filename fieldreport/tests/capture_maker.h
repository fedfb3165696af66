// SPDX-License-Identifier: Apache-2.0
#pragma once
// Capture files as corvalis writes them (through the capture library), made up for tests and
// benchmarks: random scripts, calls whose far-end turns crossed a channel with errors, and the
// texts each record should be scored on.
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace capture_maker {

using Turns = std::vector<std::vector<std::string>>;

// A script of `turns` turns of one to three lines of words, some of figures, some with a pause.
Turns makeTurns(std::mt19937_64& rng, int turns);
// The script file: lines ended by CR LF, an empty line after every turn.
std::string scriptFile(const Turns& turns);

// Errors of the line: per character substituted, dropped or followed by an extra one, and per
// word the chance that a shift code was lost (the word arrives in the other shift).
struct Channel {
  double subst = 0, drop = 0, insert = 0, shift = 0;
};
std::string garble(std::mt19937_64& rng, std::string_view text, const Channel& channel);

struct Conditions {
  std::string computer = "LAB1";
  std::string type = "Wireless Calls (Stationary)";
  std::string direction = "Incoming Call";
  std::string signal = "Strong";
  std::string device = "NXi modem";
  std::string phoneModel = "X100";
  std::string phoneTech = "GSM";
  std::string network = "Net A";
};

struct Call {
  std::string record;     // the call record's bytes
  std::string reference;  // the far end's turns as typed, no spaces at the end
  std::string received;   // what arrived after the RECD marks, without marks or spaces at the end
};

// One call record: this side's turns as sent, the far end's through the channel with the view's
// line-break marks sprinkled in. keepTurns: how many of the far end's turns arrived before the
// call dropped (-1: all).
Call makeCall(std::mt19937_64& rng, const Turns& turns, const std::string& scriptPath,
              const Conditions& conditions, long long startSeconds, double seconds, const Channel& channel,
              int keepTurns = -1);

// "MM/DD/YY HH:MM:SS" for seconds since 1970, as corvalis writes dates in the C locale.
std::string dateTime(long long seconds);

// A made-up day (or more) of field tests: three scripts, and calls under three test types, two
// devices and two signals, the channel worse when moving and on a weak signal.
struct DayOptions {
  int calls = 24;
  bool bothEnds = true;   // every other call saved at both ends (LAB1 and CAR1)
  int droppedEvery = 8;  // every n-th call drops after its first far-end turn (0: none)
  unsigned long long seed = 1;
};
struct CaptureFile {
  std::string path;
  std::string scriptPath;
  bool farEndEven = true;  // the far end's turns of the script are the even ones
};
// Writes DIR/scripts/*.txt and one capture file per call end in DIR/captures.
std::vector<CaptureFile> writeDay(const std::string& dir, const DayOptions& options);

}  // namespace capture_maker
