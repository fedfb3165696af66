#pragma once
// What a report holds: the scored records, the ones that could not be scored, the calls they
// make up and the summary by test condition. Built by fieldreport's main, read by the outputs.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fieldtext.h"
#include "scoring.h"

namespace fieldreport {

// One direction of a call: a record scored against the far end's turns of its script.
struct ScoredRecord {
  std::string file;  // the capture file, as found
  fieldtext::Record record;
  const Script* script = nullptr;
  fieldtext::Side farEnd = fieldtext::Side::Odd;
  Figures figures;
  Verdict verdict = Verdict::Fail;
  std::optional<long long> start;  // seconds on a common scale, when "Started at" can be read
};

// A record (or a whole file, record 0) that was not scored, and why.
struct Skipped {
  std::string file;
  int record = 0;
  std::string reason;
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
};

struct Interval {
  double low = 0, high = 0;
};

inline constexpr std::array<Rate, 4> kRates = {Rate::Pcer, Rate::Ccer, Rate::Tcer, Rate::Cer};

// The calls of one test condition: the records whose fields hold `values`.
struct Group {
  std::vector<std::string> values;   // one for each of Report::byFields
  std::vector<std::size_t> records;  // indices into Report::records
  int calls = 0, incomplete = 0, passes = 0;
  Sums sums;
  std::array<Interval, 4> intervals;  // 95 % for each of kRates, resampling whole calls
};

struct Report {
  int files = 0;  // capture files read
  std::vector<ScoredRecord> records;
  std::vector<Skipped> skipped;
  std::vector<Call> calls;
  std::vector<std::string> byFields;
  std::vector<Group> groups;
  std::vector<Limit> limits;
  bool handTyped = false;
};

}  // namespace fieldreport
