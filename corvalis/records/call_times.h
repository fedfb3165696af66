// SPDX-License-Identifier: Apache-2.0
#pragma once
// The times of a call's characters: when each was written to the port and when the port delivered
// each one received, in milliseconds from the call's start. They are kept as the call goes on,
// carried by the call journal ("chars" lines) and saved with the record in the timing file beside
// the capture file (timing/timing.h, docs/timing.md).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings_record.h"
#include "timing.h"

namespace corvalis {

class TCallTimes {
 public:
  // A new call, started at Start on the wall clock while the monotonic clock read MonotonicMs: the
  // characters of the last call go.
  void Start(TDateTime Start, std::int64_t MonotonicMs);
  // Bytes written to the port (Sent) or delivered by it (Received) when the monotonic clock read
  // MonotonicMs.
  void Add(timing::Direction Direction, std::int64_t MonotonicMs, std::string_view Bytes);
  const std::vector<timing::CharTime>& Chars() const { return chars_; }
  // The call's times as its timing file holds them.
  timing::RecordTimes Record() const;
  // The characters added since the last take, as a journal line's value; empty when none.
  std::string TakeJournalValue();

 private:
  TDateTime start_{};
  std::int64_t startMonotonic_ = 0;
  std::vector<timing::CharTime> chars_;
  std::size_t journaled_ = 0;
};

// The times of a record that started at Start: the key of its lines is its "Started at" text.
timing::RecordTimes RecordTimesOf(TDateTime Start, std::vector<timing::CharTime> Chars);

// A journal line's value for characters: "s10112:72 r21548:89", direction (s sent, r received),
// milliseconds from the call's start, the byte.
std::string JournalCharsValue(std::span<const timing::CharTime> Chars);
// Appends the characters of such a value to Out; false (and nothing appended) when it does not read
// whole.
bool ParseJournalChars(std::string_view Value, std::vector<timing::CharTime>& Out);

// Appends a record's times to the timing file beside the capture file CapturePath. With Resume (a
// record recovered at start-up, whose save may have been cut short), the file is read first and only
// the characters it does not hold yet go: a record's times are there once however often the program
// ended during its save. "" or why they could not be saved.
std::string SaveRecordTimes(const std::string& CapturePath, const timing::RecordTimes& Times, bool Resume);

}  // namespace corvalis
