#pragma once
// Which records are the two ends of one call, and the moments that tell.
#include <optional>
#include <string_view>
#include <vector>

#include "report.h"

namespace fieldreport {

// A "Started at" or "Ended at" moment as seconds on a common scale. The program writes the
// locale's short date and long time: 10/18/01 14:05:07 (month first), 18.10.2001 14:05:07 (day
// first), 2001-10-18 14:05:07, with or without AM/PM; the time is left out at midnight. A
// month-first date whose month is over 12 is read day first. Nothing when it cannot be read.
std::optional<long long> parseMoment(std::string_view text);

// Seconds between two starts within which two records can be the two ends of one call.
inline constexpr long long kPairingSeconds = 120;

// Groups the records into calls. Two records are the two ends of one call when they were scored
// against the same script, in opposite directions, started within two minutes of each other and,
// when both lengths are known, overlap in time (one computer cannot hold two calls at once, so
// two calls made one after the other on one machine are not taken for one). Each record pairs
// at most once, with the nearest start. Calls come out in start order; records without a
// readable start come last, in input order.
std::vector<Call> pairCalls(const std::vector<ScoredRecord>& records);

// A call's verdict: incomplete when one of its directions is, else fail when one fails.
Verdict callVerdict(const std::vector<ScoredRecord>& records, const Call& call);

}  // namespace fieldreport
