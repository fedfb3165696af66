#pragma once
// The summary by test condition: pooled rates and their confidence intervals.
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace fieldreport {

// The record's value for a field named as on its value line (TYPE, DEVICE, PHONEMODEL), in any
// case and with or without underscores (phone_model); "" when the record has no such line.
std::string fieldValue(const fieldtext::Record& record, std::string_view field);

// The key a field name stands for: PHONEMODEL for phone_model.
std::string fieldKey(std::string_view field);

// A 95 % interval of the pooled rate of each of kRates, by resampling whole calls: the errors of
// one call come in bursts (a lost shift garbles a run of characters, a fade a stretch of text),
// so characters are not independent, calls are. `calls` holds each call's sums. The resampling is
// seeded, so a report comes out the same every time.
std::array<Interval, 4> callBootstrap(const std::vector<Sums>& calls, int resamples = 2000);

// Groups the records by the values of `fields`, in the order of those values. A call counts in
// every group that holds one of its records; its verdict there is that of those records. The
// intervals are found on `jobs` threads.
std::vector<Group> summarize(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls,
                             const std::vector<std::string>& fields, unsigned jobs = 1);

}  // namespace fieldreport
