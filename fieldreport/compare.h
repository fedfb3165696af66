// SPDX-License-Identifier: Apache-2.0
#pragma once
// Two sets of captures side by side: for each condition found in both, how far B's PCER and CER
// lie from A's, with a 95 % interval for the difference, and whether B is worse, better, or no
// different as far as these calls can tell.
#include <array>
#include <string>
#include <vector>

#include "intervals.h"
#include "report.h"

namespace fieldreport {

// A 95 % interval for rate B − rate A from each rate and its own 95 % interval (any units, the
// same for all four): each end of the difference combines the distances of the two single
// intervals' ends on the side that end moves toward, root of the sum of squares (the method of
// variance estimates recovered from the single intervals). The single intervals already carry
// the calls' clustering, the runs of errors and the day-to-day term, so the difference does too.
RateInterval differenceInterval(double rateA, RateInterval a, double rateB, RateInterval b);

// The smallest rise a comparison whose 95 % interval reaches `below` under its estimate would
// likely (80 %) have detected: that half-width times (z(0.975) + z(0.80)) / z(0.975).
double detectableDifference(double below);

// The comparison of one rate in one condition, per cent; the difference B − A in points.
struct RateComparison {
  double a = 0, b = 0, diff = 0, low = 0, high = 0;
};

enum class CompareVerdict { Worse, Better, NoDifference, OnlyInA, OnlyInB };

struct ConditionComparison {
  std::vector<std::string> values;  // as Group::values
  int callsA = 0, callsB = 0;
  RateComparison pcer, cer;
  CompareVerdict verdict = CompareVerdict::NoDifference;
  double missed = 0;  // NoDifference: the smallest difference it would likely have detected, points
};

// A condition's verdict from its two rates' differences: Worse when either interval lies wholly
// above 0 (a rise in either rate is a loss), Better when one lies wholly below 0 and neither
// above, else NoDifference.
CompareVerdict compareVerdict(const RateComparison& pcer, const RateComparison& cer);

// What the verdict cell says: "B worse", "B better",
// "no difference detected (could have missed 0.84 points)", "only in A", "only in B".
std::string compareVerdictText(const ConditionComparison& c);

// The conditions of A and B (grouped by the same fields) in order of their values. A condition
// found on both sides has its compareVerdict; with no difference detected, the larger of the two
// rates' detectable rises (at most 100 points): how much worse B could be unseen.
std::vector<ConditionComparison> compareReports(const Report& a, const Report& b);

// The conditions of one run whose last --by field (its index `field` in byFields) holds `value`
// (as UTF-8), without that field: one side of --compare FIELD=A,B. Only the by-fields and the
// groups are filled in.
Report conditionsWith(const Report& day, std::size_t field, const std::string& value);

inline constexpr char kCompareCsvHeader[] =
    "group,calls_a,calls_b,pcer_a,pcer_b,pcer_diff,pcer_diff_low,pcer_diff_high,cer_a,cer_b,cer_diff,"
    "cer_diff_low,cer_diff_high,verdict";

// One row per condition under kCompareCsvHeader (CR LF, as the other CSV files); a condition
// on one side only has that side's figures and the other's cells empty.
std::string compareCsvText(const std::vector<ConditionComparison>& rows);

// The comparison for the terminal: which captures A and B are, then one line per condition.
std::string compareTable(const Report& a, const Report& b, const std::string& nameA, const std::string& nameB,
                         const std::vector<ConditionComparison>& rows);

// One run behind a comparison, for what the page says it was made from: a name ("A: june/") and
// the run's report (its captures and what it could not read).
struct ComparedRun {
  std::string name;
  const Report* report = nullptr;
};

// The comparison as one self-contained web page (no chart library): what it was made from, the
// table of conditions with each verdict marked, and how to read it.
std::string comparePage(const std::vector<ComparedRun>& runs, const std::string& nameA, const std::string& nameB,
                        const std::vector<ConditionComparison>& rows, const std::string& version,
                        const std::string& commandLine);

}  // namespace fieldreport
