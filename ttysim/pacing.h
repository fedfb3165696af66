// SPDX-License-Identifier: Apache-2.0
#pragma once
// Timing of a person at a TTY: typing at a steady pace, and deciding that the other side's turn is
// over. Times are seconds on one monotonic clock.
#include <optional>
#include <string>

namespace ttysim {

using Seconds = double;

// Types a text one character per slot; a "~" takes a slot and types nothing.
class Typist {
 public:
  // Starts typing text; the first character is due at `now`.
  void start(std::string text, double charsPerSecond, Seconds now);
  void stop() {
    text_.clear();
    pos_ = 0;
  }
  bool busy() const { return pos_ < text_.size(); }
  // When the next character (or pause) is due; nothing when idle.
  std::optional<Seconds> nextDue() const;
  // Takes at most one due slot: its character, a pause (empty string) or nothing when not yet due.
  // The next slot is due one slot later, or now when we are running late.
  std::optional<std::string> poll(Seconds now);

 private:
  std::string text_;
  std::size_t pos_ = 0;
  Seconds slot_ = 0;
  Seconds due_ = 0;
};

// Listens to what arrives from the other side and decides that its turn is over: the text ends in
// GA or SK (spaces and line breaks after it aside) and nothing has arrived for `quiet` seconds, or
// anything arrived and then nothing for `giveUp` seconds (the sign was garbled or never typed).
class TurnDetector {
 public:
  TurnDetector(Seconds quiet, Seconds giveUp) : quiet_(quiet), giveUp_(giveUp) {}
  void hear(char c, Seconds now);
  void reset();
  bool heardAnything() const { return heard_ > 0; }
  bool endsWithSign() const;
  bool turnOver(Seconds now) const;
  // When turnOver may next become true; nothing when nothing has been heard.
  std::optional<Seconds> nextCheck() const;

 private:
  Seconds quiet_, giveUp_;
  long heard_ = 0;
  Seconds last_ = 0;
  std::string tail_;  // last two characters that are not blanks, upper case
};

}  // namespace ttysim
