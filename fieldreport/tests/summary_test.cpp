// Calls from records, verdicts, and the summary's pooled rates and intervals on hand-checked numbers.
#include "summary.h"

#include <gtest/gtest.h>

#include "calls.h"

namespace fieldreport {
namespace {

Figures figures(int total, int correct, int master = -1) {
  Figures f;
  f.masterChars = master < 0 ? total : master;
  f.pcer = {total, correct, 0, total - correct, 0};
  f.ccer = f.tcer = f.pcer;
  f.pcerRate = f.ccerRate = f.tcerRate = total ? 100.0 - 100.0 * correct / total : 100.0;
  f.cerErrors = total - correct;
  f.cerLength = f.masterChars;
  f.cerRate = f.cerLength ? 100.0 * f.cerErrors / f.cerLength : 0.0;
  f.coverage = f.masterChars ? 100.0 * total / f.masterChars : 100.0;
  return f;
}

ScoredRecord record(const Script* script, fieldtext::Side farEnd, std::optional<long long> start,
                    double seconds, const Figures& f = figures(100, 100), std::string device = "NXi modem") {
  ScoredRecord r;
  r.script = script;
  r.farEnd = farEnd;
  r.start = start;
  r.record.seconds = seconds;
  r.record.values = {{"TYPE", "Wireless Calls (Moving)"}, {"DEVICE", device}, {"PHONEMODEL", "X100"}};
  r.figures = f;
  r.verdict = verdictOf(f, {Limit{}});
  return r;
}

using fieldtext::Side;

TEST(Moments, TheLocalesDateFormsAgreeAndMidnightHasNoTime) {
  const auto expected = parseMoment("10/18/01 14:05:07");
  ASSERT_TRUE(expected);
  EXPECT_EQ(parseMoment("18.10.2001 14:05:07"), expected);
  EXPECT_EQ(parseMoment("2001-10-18 14:05:07"), expected);
  EXPECT_EQ(parseMoment("10/18/2001 02:05:07 PM"), expected);
  EXPECT_EQ(parseMoment("18/10/01 14:05:07"), expected);  // day first: 18 is no month
  EXPECT_EQ(*parseMoment("10/18/01") + 14 * 3600 + 5 * 60 + 7, *expected);
  EXPECT_EQ(*parseMoment("10/19/01 00:00:40") - *parseMoment("10/18/01 23:59:30"), 70);
  EXPECT_EQ(*parseMoment("03/01/04 00:00:00") - *parseMoment("02/28/04 00:00:00"), 2 * 86400);  // leap year
  for (const char* bad : {"", "yesterday", "13/13/01 10:00:00", "10/18/01 25:00:00", "10/18/01 13:00:00 PM"})
    EXPECT_EQ(parseMoment(bad), std::nullopt) << bad;
}

TEST(Calls, TheTwoEndsOfACallArePairedAndNothingElse) {
  Script s{"/a/script.txt", {}, "HELLO GA\n\n"}, copy{"/b/SCRIPT.TXT", {}, "HELLO GA\n\n"},
      other{"/o.txt", {}, "BYE\n\n"};
  std::vector<ScoredRecord> r = {
      record(&s, Side::Even, 1000, 60),         // 0: incoming...
      record(&copy, Side::Odd, 1030, 55),       // 1: ...and its far end, with its own copy of the script
      record(&s, Side::Even, 1200, 60),         // 2: no partner within two minutes...
      record(&s, Side::Odd, 1321, 60),          // 3: ...121 s later
      record(&s, Side::Even, 2000, 60),         // 4: same direction as 5
      record(&s, Side::Even, 2010, 60),         // 5
      record(&other, Side::Odd, 2020, 60),      // 6: another script
      record(&s, Side::Even, 5000, 30),         // 7: two calls one after the other on one machine
      record(&s, Side::Odd, 5040, 30),          // 8
      record(&s, Side::Odd, std::nullopt, 30),  // 9: start not readable
  };
  std::vector<std::vector<std::size_t>> calls;
  for (const Call& c : pairCalls(r)) calls.push_back(c.records);
  EXPECT_EQ(calls, (std::vector<std::vector<std::size_t>>{{0, 1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}}));

  // Each record pairs once, with the nearest start.
  r = {record(&s, Side::Even, 1000, 60), record(&s, Side::Odd, 1010, 60), record(&s, Side::Odd, 1020, 60)};
  calls.clear();
  for (const Call& c : pairCalls(r)) calls.push_back(c.records);
  EXPECT_EQ(calls, (std::vector<std::vector<std::size_t>>{{0, 1}, {2}}));
}

TEST(Verdicts, GoByTheFiguresAsPrintedAndAnIncompleteCallNeverPasses) {
  const std::vector<Limit> pcer1 = {{Rate::Pcer, 1.0}};
  EXPECT_EQ(verdictOf(figures(1000, 991), pcer1), Verdict::Pass);             // 0.90
  EXPECT_EQ(verdictOf(figures(1000, 990), pcer1), Verdict::Fail);             // 1.00 is not below 1.00
  EXPECT_EQ(verdictOf(figures(100000, 99004), pcer1), Verdict::Fail);         // 0.996 prints as 1.00
  EXPECT_EQ(verdictOf(figures(100, 100, 200), pcer1), Verdict::Incomplete);   // a dropped call: PCER 0.00
  EXPECT_EQ(verdictOf(figures(94996, 94996, 100000), pcer1), Verdict::Pass);  // 95.00 % counted
  EXPECT_EQ(verdictOf(figures(94994, 94994, 100000), pcer1), Verdict::Incomplete);
  // Every limit must hold.
  Figures f = figures(1000, 995);
  f.tcerRate = 0.2;
  EXPECT_EQ(verdictOf(f, {{Rate::Pcer, 1.0}, {Rate::Tcer, 0.1}}), Verdict::Fail);
  EXPECT_EQ(verdictOf(f, {{Rate::Pcer, 1.0}, {Rate::Tcer, 0.3}}), Verdict::Pass);

  Call both{{0, 1}, Verdict::Fail};
  std::vector<ScoredRecord> r = {record(nullptr, Side::Even, 0, 1),
                                 record(nullptr, Side::Odd, 0, 1, figures(50, 50, 100))};
  EXPECT_EQ(callVerdict(r, both), Verdict::Incomplete);
}

TEST(Summary, RatesArePooledFromTheCountsNotAveraged) {
  // 1 % of 100 and 3 % of 300 characters: 10 errors in 400, 2.50 %; the average of the rates is 2.
  std::vector<ScoredRecord> r = {
      record(nullptr, Side::Even, 0, 1, figures(100, 99)),
      record(nullptr, Side::Even, 500, 1, figures(300, 291)),
      record(nullptr, Side::Even, 900, 1, figures(50, 50, 100), "Ultratec Supercom")};
  const auto calls = pairCalls(r);
  const auto groups = summarize(r, calls, {"TYPE", "device"});
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].values, (std::vector<std::string>{"Wireless Calls (Moving)", "NXi modem"}));
  EXPECT_EQ(groups[0].calls, 2);
  EXPECT_EQ(groups[0].passes, 0);
  EXPECT_DOUBLE_EQ(groups[0].sums.rate(Rate::Pcer), 100.0 - 100.0 * 390 / 400);
  EXPECT_DOUBLE_EQ(groups[0].sums.rate(Rate::Cer), 100.0 * 10 / 400);
  EXPECT_EQ(groups[1].calls, 1);
  EXPECT_EQ(groups[1].incomplete, 1);
  EXPECT_DOUBLE_EQ(groups[1].sums.coverage(), 50.0);

  // Resampling the two calls: {1 %, 1 %} a quarter of the time, {3 %, 3 %} a quarter: the 2.5th
  // and 97.5th percentiles are those two.
  EXPECT_DOUBLE_EQ(groups[0].intervals[0].low, 1.0);
  EXPECT_DOUBLE_EQ(groups[0].intervals[0].high, 3.0);
  // One call: nothing to resample.
  EXPECT_DOUBLE_EQ(groups[1].intervals[0].low, 0.0);
  EXPECT_DOUBLE_EQ(groups[1].intervals[0].high, 0.0);
}

TEST(Summary, TheIntervalResamplesWholeCallsNotTheirDirections) {
  // Three calls of two directions each, one of them 20 % wrong in both. All three resampled calls
  // are that one in 1 of 27 resamples (3.7 %, above the 2.5 % tail), so the interval reaches 20;
  // resampling the six directions alone it would not (1 in 729).
  Script s{"/s.txt", {}, "X\n\n"};
  std::vector<ScoredRecord> r;
  for (int call = 0; call < 3; ++call) {
    const Figures f = call == 2 ? figures(100, 80) : figures(100, 100);
    r.push_back(record(&s, Side::Even, call * 1000, 60, f));
    r.push_back(record(&s, Side::Odd, call * 1000 + 5, 60, f));
  }
  const auto calls = pairCalls(r);
  ASSERT_EQ(calls.size(), 3u);
  const auto groups = summarize(r, calls, {"TYPE"});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].calls, 3);
  EXPECT_EQ(groups[0].passes, 2);
  EXPECT_NEAR(groups[0].sums.rate(Rate::Pcer), 6.6667, 1e-4);
  EXPECT_DOUBLE_EQ(groups[0].intervals[0].low, 0.0);
  EXPECT_DOUBLE_EQ(groups[0].intervals[0].high, 20.0);
}

}  // namespace
}  // namespace fieldreport
