// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which records are the two ends of one call, and how far apart the computers' clocks are.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fieldtext.h"
#include "report.h"

namespace fieldreport {

// What pairing needs of a record.
struct PairingRecord {
  std::string computer;            // COMPUTERID
  std::optional<long long> start;  // "Started at" in seconds, on the computer's own clock
  std::optional<double> seconds;   // the call's length, when its "Ended at" line gives it
  std::string script;              // equal for records that ran the same script
  fieldtext::Side farEnd = fieldtext::Side::Odd;
};

// Seconds that a computer's clock reads ahead of the lab's (negative: behind), as given with
// --clock-offset ID=SECONDS. Computers not named are taken to read the lab's time.
using ClockOffsets = std::map<std::string, double>;

struct Pairing {
  std::vector<Call> calls;  // in order of their start (on the lab's clock); records in start order
  // How far each partner's clock read ahead of the other's (computer < partner), for every pair
  // of computers with a call together: estimated from those calls, or as given.
  std::vector<ClockDifference> offsets;
};

// Largest clock difference between two computers that pairing finds by itself; larger ones are
// given with --clock-offset.
inline constexpr long long kLargestOffset = 900;
// Seconds between the two ends' starts (clocks corrected) within which they can be one call.
inline constexpr long long kPairingSeconds = 120;

// Puts the two ends of each call together. Two records can be the two ends of one call when they
// ran the same script in opposite directions and, with the clocks corrected, started within
// kPairingSeconds of each other and overlapped in time. Among all such candidates, the closest
// (their starts and their ends together) are paired first, each record at most once, so a record
// goes to its nearest partner and not to the first one found. The clock difference of each pair
// of computers is estimated from the calls whose starts and ends both agree with it (each record
// counted once), unless given, and applied; one name standing for several computers (two far
// ends left at one default name) gets one for each. Computers that take calls with each other
// across the day are preferred over others with a call at about the same time (two positions
// running the same script at once). Records without a readable start stay alone, after the
// others in input order.
Pairing pairRecords(const std::vector<PairingRecord>& records, const ClockOffsets& given = {});

// pairRecords on scored records (COMPUTERID, start, length, script and direction).
Pairing pairCalls(const std::vector<ScoredRecord>& records, const ClockOffsets& given = {});

// A call's verdict: incomplete when one of its directions is, else fail when one fails.
Verdict callVerdict(const std::vector<ScoredRecord>& records, const Call& call);

}  // namespace fieldreport
