// SPDX-License-Identifier: Apache-2.0
#include "records/call_times.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "records/calllog.h"

namespace corvalis {

void TCallTimes::Start(TDateTime Start, std::int64_t MonotonicMs) {
  start_ = Start;
  startMonotonic_ = MonotonicMs;
  chars_.clear();
  journaled_ = 0;
}

void TCallTimes::Add(timing::Direction Direction, std::int64_t MonotonicMs, std::string_view Bytes) {
  // A byte that arrived before the call began (and was read after) is timed at its start.
  const std::int64_t ms = std::max<std::int64_t>(0, MonotonicMs - startMonotonic_);
  for (char c : Bytes) chars_.push_back({Direction, ms, static_cast<unsigned char>(c)});
}

timing::RecordTimes TCallTimes::Record() const {
  return RecordTimesOf(start_, chars_);
}

std::string TCallTimes::TakeJournalValue() {
  const std::span<const timing::CharTime> fresh(chars_.data() + journaled_, chars_.size() - journaled_);
  journaled_ = chars_.size();
  return JournalCharsValue(fresh);
}

timing::RecordTimes RecordTimesOf(TDateTime Start, std::vector<timing::CharTime> Chars) {
  timing::RecordTimes times;
  times.started = FormatCaptureDateTime(Start);
  times.startMs = std::chrono::floor<std::chrono::milliseconds>(Start.time_since_epoch()).count();
  times.chars = std::move(Chars);
  return times;
}

std::string JournalCharsValue(std::span<const timing::CharTime> Chars) {
  std::string value;
  for (const timing::CharTime& c : Chars) {
    if (!value.empty()) value += ' ';
    value += c.direction == timing::Direction::Sent ? 's' : 'r';
    value += std::to_string(c.ms);
    value += ':';
    value += std::to_string(c.code);
  }
  return value;
}

bool ParseJournalChars(std::string_view Value, std::vector<timing::CharTime>& Out) {
  std::vector<timing::CharTime> read;
  while (!Value.empty()) {
    const std::size_t space = Value.find(' ');
    const std::string_view item = Value.substr(0, space);
    Value = space == std::string_view::npos ? std::string_view() : Value.substr(space + 1);
    const std::size_t colon = item.find(':');
    if (item.size() < 4 || (item[0] != 's' && item[0] != 'r') || colon == std::string_view::npos)
      return false;
    long long ms = 0;
    int code = -1;
    const char* msEnd = item.data() + colon;
    const char* codeEnd = item.data() + item.size();
    auto [m, e1] = std::from_chars(item.data() + 1, msEnd, ms);
    auto [k, e2] = std::from_chars(msEnd + 1, codeEnd, code);
    if (e1 != std::errc() || m != msEnd || e2 != std::errc() || k != codeEnd || code < 0 || code > 255)
      return false;
    read.push_back({item[0] == 's' ? timing::Direction::Sent : timing::Direction::Received, ms,
                    static_cast<unsigned char>(code)});
  }
  Out.insert(Out.end(), read.begin(), read.end());
  return true;
}

std::string SaveRecordTimes(const std::string& CapturePath, const timing::RecordTimes& Times, bool Resume) {
  const std::string path = timing::timingPathFor(CapturePath);
  if (!Resume) return timing::appendRecord(path, Times);
  // The lines of this record already there are its first characters, in order (a save writes them
  // in one go; one cut short leaves a beginning, and at most one torn line that readers drop).
  // A record is known by its start in UTC: its "started" text depends on the time zone and locale it
  // was written under, and the rest of its lines go on with the text it has.
  std::size_t there = 0;
  std::string started = Times.started;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::ostringstream bytes;
    bytes << in.rdbuf();
    for (const timing::RecordTimes& r : timing::readTimingFile(bytes.str()).records)
      if (r.startMs == Times.startMs) {
        there = r.chars.size();
        started = r.started;
      }
  } else if (std::error_code ec; std::filesystem::exists(path, ec) || ec) {
    return "cannot read " + path;
  }
  if (there >= Times.chars.size()) return "";
  timing::RecordTimes rest = Times;
  rest.chars.erase(rest.chars.begin(), rest.chars.begin() + static_cast<std::ptrdiff_t>(there));
  rest.started = started;
  return timing::appendRecord(path, rest);
}

}  // namespace corvalis
