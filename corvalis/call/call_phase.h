// SPDX-License-Identifier: Apache-2.0
#pragma once
// A call's phase, from Start Call to its record saved or discarded:
//
//              Start               HangUp
//   NoCall ------------> InCall ------------> LineDown
//     ^                    |                     |
//     |                    | Close               | Close
//     |   Finish           v                     |
//     +---------------- Ended <------------------+
//     (saved or discarded)
//
// - NoCall: no call is open; what the device says before a call (a modem's RING, CONNECT) is not
//   part of one.
// - InCall: the call goes on: what arrives and what is sent is its conversation, its clock runs,
//   its journal follows it, the script sends.
// - LineDown: this side has hung up and the call is still open: its conversation waits for End
//   Call (or the next call) to close it.
// - Ended: the call is closed; its conversation is frozen and waits to be saved or discarded.
//   Nothing starts over it.
//
// A step the diagram does not have changes nothing and returns false: closing a call that has
// ended already would move its end, and closing when no call was started would leave a record to
// save of a call that never was.
#include <cstdint>

namespace corvalis {

class TCallPhase {
 public:
  enum class Value : std::uint8_t { NoCall, InCall, LineDown, Ended };

  Value Now() const { return value_; }

  bool Start() { return Step(Value::NoCall, Value::InCall); }
  bool HangUp() { return Step(Value::InCall, Value::LineDown); }
  bool Close() { return Step(Value::InCall, Value::Ended) || Step(Value::LineDown, Value::Ended); }
  bool Finish() { return Step(Value::Ended, Value::NoCall); }

  // The call goes on.
  bool Active() const { return value_ == Value::InCall; }
  // The call is going on or hung up, and not closed yet.
  bool Open() const { return value_ == Value::InCall || value_ == Value::LineDown; }
  // The call is closed and its conversation frozen until it is saved or discarded.
  bool Frozen() const { return value_ == Value::Ended; }
  // A call has started and is neither saved nor discarded.
  bool Unsaved() const { return value_ != Value::NoCall; }

 private:
  bool Step(Value from, Value to) {
    if (value_ != from) return false;
    value_ = to;
    return true;
  }
  Value value_ = Value::NoCall;
};

}  // namespace corvalis
