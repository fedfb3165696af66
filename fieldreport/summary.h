// SPDX-License-Identifier: Apache-2.0
#pragma once
// The summary by test condition: pooled rates, their intervals and a verdict for each condition.
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

struct Summary {
  std::vector<Group> groups;
  std::array<Dispersion, 4> dispersion;  // the day's, for each of kRates
};

// Groups the records by the values of `fields`, in the order of those values. A call counts in
// every group that holds one of its records; its verdict there is that of those records. Each
// rate's interval rests on the calls' counts and the day's dispersion of that rate, estimated
// from the complete calls of all groups (intervals.h). A group's verdict: fail when one of its calls is
// incomplete or an interval lies wholly above its limit; pass when every interval lies below its limit and it
// has at least kMinCallsToPass calls; otherwise undetermined. The intervals are found on `jobs`
// threads.
Summary summarize(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls,
                  const std::vector<std::string>& fields, const std::vector<Limit>& limits,
                  unsigned jobs = 1);

// A condition's verdict from its figures, and why in a few words.
GroupVerdict groupVerdict(const Group& group, const std::vector<Limit>& limits, std::string& why);

}  // namespace fieldreport
