// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a report holds: the scored records, what could not be read or scored, the calls they make
// up, the clocks of the computers, and the summary by test condition. Built by a Day (day.h),
// read by the outputs.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fieldtext.h"
#include "verdict_report.h"
#include "intervals.h"
#include "scoring.h"

namespace fieldreport {

// The times of one turn of a call, as one record sees it (docs/fieldreport.md defines each).
struct TurnTiming {
  int turn = 0;       // in the script, from 1
  bool near = false;  // the record's own turn; else the far end's
  std::optional<int> charsSent, charsReceived, lostAtStart;
  std::optional<double> replyDelay, cps;  // seconds; characters per second
  std::vector<double> delays;             // one-way delay of each matched character, seconds
};

// How far the second record's computer's clock read ahead of the first's, for a call's times.
struct CallClock {
  enum class From { None, Characters, Computers, Given };
  std::optional<double> seconds;
  From from = From::None;
};

// The clock difference of two computers as the times of their calls give it.
struct TimingClock {
  std::string computer, partner;          // the partner's clock read `seconds` ahead of the computer's
  double seconds = 0, low = 0, high = 0;  // the median of the calls' estimates, and their range
  int calls = 0;                          // calls whose characters gave an estimate
  bool given = false;                     // --clock-offset
  std::optional<double> characters;       // when given: what the characters would have estimated
};

// One direction of a call: a record scored against the far end's turns of its script.
struct ScoredRecord {
  std::string file;  // the capture file, as found
  fieldtext::Record record;
  const Script* script = nullptr;
  fieldtext::Side farEnd = fieldtext::Side::Odd;
  Figures figures;
  Verdict verdict = Verdict::Fail;
  std::optional<long long> start;  // seconds on the computer's own clock, when "Started at" can be read
  bool handTyped = false;          // the far end typed its turns by hand (lines joined)
  std::optional<int> callNumber;   // the number {call} in the script was typed as
  std::string cut;                 // why the record is not whole, when it was scored all the same
  std::string texts;               // the base name of its texts in the texts folder, when written
  bool timed = false;              // its timing file holds its times
  std::vector<TurnTiming> timing;  // every turn, when this record or its far end's has times
};

// A record (or a whole file, record 0) that was not read or not scored, and why.
struct Skipped {
  std::string file;
  int record = 0;
  std::string reason;
  fieldtext::Record known;  // what was read of the record, for the CSV file
};

// Something the reader should know about a record or file that was read and scored all the same.
struct Note {
  std::string file;
  int record = 0;
  std::string text;
};

// One call: one record, or the two ends' records of the same call.
struct Call {
  std::vector<std::size_t> records;  // indices into Report::records, in start order
  Verdict verdict = Verdict::Fail;
};

// Sums over records, from which pooled rates are computed.
struct Sums {
  long long pcerTotal = 0, pcerCorrect = 0, ccerTotal = 0, ccerCorrect = 0, tcerTotal = 0, tcerCorrect = 0;
  long long cerErrors = 0, cerLength = 0, masterChars = 0;
  long long added = 0, missed = 0, changed = 0;  // score's plain set

  void add(const Figures& f);
  void add(const Sums& other);
  // Rates as the scorers compute them, from the summed counts.
  double rate(Rate which) const;
  double coverage() const;
  // The errors and characters counted for a rate, for its interval.
  CallCount count(Rate which) const;
};

// Per cent, like the rates.
struct Interval {
  double low = 0, high = 0;
};

inline constexpr std::array<Rate, 4> kRates = {Rate::Pcer, Rate::Ccer, Rate::Tcer, Rate::Cer};

// What a condition's calls say against the limits.
enum class GroupVerdict { Pass, Fail, Undetermined };
const char* groupVerdictName(GroupVerdict verdict);

// A condition is not passed on fewer calls than this, whatever their figures.
inline constexpr int kMinCallsToPass = 3;

// The most further calls a report works out as needed to settle a condition; beyond it, "more
// than" (kTooManyCalls).
inline constexpr int kMostCallsNeeded = 10000, kTooManyCalls = -1;

// The calls of one test condition: the records whose fields hold `values`.
struct Group {
  std::vector<std::string> values;   // one for each of Report::byFields
  std::vector<std::size_t> records;  // indices into Report::records
  int calls = 0, complete = 0, passed = 0;
  Sums sums;
  std::array<Interval, 4> intervals;  // 95 % for each of kRates
  GroupVerdict verdict = GroupVerdict::Undetermined;
  std::string why;  // what decided the verdict, in a few words
  // Undetermined: how many more calls like its own (at its pooled rates and dispersion) would
  // likely settle it, pass or fail; kTooManyCalls when more than kMostCallsNeeded; 0 when settled.
  int callsNeeded = 0;
  // The one-way delays of the characters its records received and the reply delays of their
  // own turns, seconds, sorted.
  std::vector<double> delays, replyDelays;
};

// A file read: a capture file or a script, with what identifies its contents.
struct InputFile {
  std::string path;
  long long size = 0;
  std::string sha256;
};

// How far the clock of `partner` read ahead of that of `computer`.
struct ClockDifference {
  std::string computer, partner;
  double seconds = 0;
  int calls = 0;
  bool given = false;
};

struct Report {
  std::string version;              // the program's
  std::string commandLine;          // the options and arguments as given
  std::vector<InputFile> captures;  // capture files read, in order
  std::vector<InputFile> scripts;   // scripts read
  std::vector<ScoredRecord> records;
  std::vector<Skipped> skipped;     // not read or not scored
  std::vector<Skipped> duplicates;  // read, and the same as an earlier record: counted once
  std::vector<Note> notes;
  std::vector<Call> calls;
  std::vector<ClockDifference> clocks;
  std::vector<std::string> byFields;
  std::vector<Group> groups;
  std::vector<Limit> limits;
  std::array<Dispersion, 4> dispersion;  // the common figures, for each of kRates
  std::vector<long long> days;           // the days of the calls (days since 1970), in order
  std::string textsFolder;               // where the texts were written, relative to the page
  bool handTyped = false;                // --hand-typed: every record
  // Timing: whether any record had its times, the timing files read, the computers' clocks as
  // the times give them, and the delay limit of the page's charts (seconds).
  bool timing = false;
  std::vector<InputFile> timingFiles;
  std::vector<TimingClock> timingClocks;
  std::vector<CallClock> callClocks;  // for each call: the clocks for its characters' times
  double delayLimit = 1.0;
  // Real-time text calls: the wire traces read, and each call's far end judged against the RTT
  // rules (the verdicts rttcheck gives).
  std::vector<InputFile> traces;
  std::vector<rttmodem::trace::CallReport> rttCalls;
};

}  // namespace fieldreport
