// SPDX-License-Identifier: Apache-2.0
#pragma once
// The far end's own record of each call, as the program would have saved it at that end: the
// call record appended to the capture file of the far end's computer and the minute the call
// came up, and the times of its characters appended to the timing file beside it.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pacing.h"
#include "timing.h"

namespace ttysim {

// The value lines of the far end's record that --record-value may set.
bool isRecordValueKey(const std::string& key);

struct RecordConfig {
  std::string folder;                 // where the capture files go
  std::string computerId = "FAREND";  // COMPUTERID, and the end of the files' names
  double clockShift = 0;              // seconds the far end's clock reads ahead of this one's
  std::string direction;              // "Incoming Call" (the far end types the odd turns) or "Outgoing Call"
  std::string scriptPath;             // SCRIPTUSED
  std::string port = "1";             // PORT
  std::vector<std::pair<std::string, std::string>> values;  // --record-value KEY=VALUE, in order
};

// "MM/DD/YY HH:MM:SS" of a moment in local time, the time left out at exactly midnight, as the
// program writes its dates in the C locale.
std::string recordDate(long long epochSeconds);
// "MMDD-HHMM" of a moment in local time: the start of a capture file's name.
std::string filePrefix(long long epochSeconds);

class FarEndRecord {
 public:
  // wallMsAtZero: the wall-clock reading (ms since 1970) at second 0 of the run's clock.
  FarEndRecord(RecordConfig config, long long wallMsAtZero);

  // A call came up at `at` (seconds on the run's clock).
  void callUp(Seconds at, bool turbo);
  // A character the far end typed (sent) or that arrived at it, at `at`.
  void add(bool sent, char c, Seconds at);
  bool inCall() const { return up_.has_value(); }
  // The call has ended: its record and its times are appended to the files. Returns "" or why
  // they could not be written. Nothing is done when no call is up.
  std::string callEnded(Seconds at, bool scriptCompleted);

  // The capture file and timing file written last (empty before the first record).
  const std::string& capturePath() const { return capturePath_; }
  const std::string& timingPath() const { return timingPath_; }

  // The record's text, as appended (for tests): CR LF line ends, Windows-1252.
  std::string recordText(Seconds end, bool scriptCompleted) const;

 private:
  long long wallMs(Seconds at) const;
  std::string value(const std::string& key, const std::string& otherwise) const;
  std::string conversation() const;

  RecordConfig config_;
  long long wallMsAtZero_;
  std::optional<Seconds> up_;
  bool turbo_ = false;
  struct LineChar {
    Seconds at;
    bool sent;
    char c;
  };
  std::vector<LineChar> chars_;
  std::string capturePath_, timingPath_;
};

}  // namespace ttysim
