// SPDX-License-Identifier: Apache-2.0
// Verdicts of calls and conditions, and the summary's pooled rates, on hand-checked numbers.
#include "summary.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "calls.h"
#include "outputs.h"
#include "sha256.h"

namespace fieldreport {
namespace {

Figures figures(int total, int correct, int master = -1, int cerErrors = -1) {
  Figures f;
  f.masterChars = master < 0 ? total : master;
  f.pcer = {total, correct, 0, total - correct, 0};
  f.ccer = f.tcer = f.pcer;
  f.pcerRate = f.ccerRate = f.tcerRate = total ? 100.0 - 100.0 * correct / total : 100.0;
  f.cerErrors = cerErrors < 0 ? total - correct : cerErrors;
  f.cerLength = f.masterChars;
  f.cerRate = f.cerLength ? 100.0 * f.cerErrors / f.cerLength : 0.0;
  f.coverage = f.masterChars ? 100.0 * total / f.masterChars : 100.0;
  return f;
}

const std::vector<Limit> kDefaultLimits = {{Rate::Pcer, 1.0}, {Rate::Cer, 1.0}};

ScoredRecord record(long long start, const Figures& f, std::string device = "NXi modem",
                    fieldtext::Side farEnd = fieldtext::Side::Even, std::string computer = "LAB1") {
  ScoredRecord r;
  r.farEnd = farEnd;
  r.start = start;
  r.record.seconds = 60;
  r.record.values = {{"COMPUTERID", computer}, {"TYPE", "Wireless Calls (Moving)"}, {"DEVICE", device}};
  r.figures = f;
  r.verdict = verdictOf(f, kDefaultLimits);
  return r;
}

TEST(Verdicts, GoByTheFiguresAsPrintedAndAnIncompleteCallNeverPasses) {
  const std::vector<Limit> pcer1 = {{Rate::Pcer, 1.0}};
  EXPECT_EQ(verdictOf(figures(1000, 991), pcer1), Verdict::Pass);             // 0.90
  EXPECT_EQ(verdictOf(figures(1000, 990), pcer1), Verdict::Fail);             // 1.00 is not below 1.00
  EXPECT_EQ(verdictOf(figures(100000, 99004), pcer1), Verdict::Fail);         // 0.996 prints as 1.00
  EXPECT_EQ(verdictOf(figures(100, 100, 200), pcer1), Verdict::Incomplete);   // a dropped call: PCER 0.00
  EXPECT_EQ(verdictOf(figures(94996, 94996, 100000), pcer1), Verdict::Pass);  // 95.00 % counted
  EXPECT_EQ(verdictOf(figures(94994, 94994, 100000), pcer1), Verdict::Incomplete);
  // By default added characters count too: 41 letters of garbage in 216 leave PCER at 0.00.
  EXPECT_EQ(verdictOf(figures(216, 216, 216, 41), pcer1), Verdict::Pass);
  EXPECT_EQ(verdictOf(figures(216, 216, 216, 41), kDefaultLimits), Verdict::Fail);

  std::vector<ScoredRecord> r = {record(0, figures(100, 100)), record(0, figures(50, 50, 100))};
  EXPECT_EQ(callVerdict(r, Call{{0, 1}, Verdict::Fail}), Verdict::Incomplete);
}

TEST(Summary, RatesArePooledFromTheCountsNotAveraged) {
  // 1 % of 100 and 3 % of 300 characters: 10 errors in 400, 2.50 %; the average of the rates is 2.
  std::vector<ScoredRecord> r = {record(0, figures(100, 99)), record(500, figures(300, 291)),
                                 record(900, figures(50, 50, 100), "Ultratec Supercom")};
  const Summary s = summarize(r, pairCalls(r).calls, {"TYPE", "device"}, kDefaultLimits);
  ASSERT_EQ(s.groups.size(), 2u);
  const Group& nxi = s.groups[0];
  EXPECT_EQ(nxi.values, (std::vector<std::string>{"Wireless Calls (Moving)", "NXi modem"}));
  EXPECT_EQ(nxi.calls, 2);
  EXPECT_EQ(nxi.complete, 2);
  EXPECT_EQ(nxi.passed, 0);
  EXPECT_DOUBLE_EQ(nxi.sums.rate(Rate::Pcer), 100.0 - 100.0 * 390 / 400);
  EXPECT_DOUBLE_EQ(nxi.sums.rate(Rate::Cer), 100.0 * 10 / 400);
  EXPECT_LT(nxi.intervals[0].low, 2.5);
  EXPECT_GT(nxi.intervals[0].high, 2.5);
  EXPECT_EQ(s.groups[1].calls, 1);
  EXPECT_EQ(s.groups[1].complete, 0);
  EXPECT_DOUBLE_EQ(s.groups[1].sums.coverage(), 50.0);
}

Group group(int calls, int complete, double low, double high) {
  Group g;
  g.calls = calls;
  g.complete = complete;
  for (Interval& i : g.intervals) i = {low, high};
  return g;
}

TEST(Summary, AConditionPassesFailsOrIsUndetermined) {
  std::string why;
  EXPECT_EQ(groupVerdict(group(5, 5, 0.10, 0.90), kDefaultLimits, why), GroupVerdict::Pass);
  EXPECT_EQ(groupVerdict(group(5, 5, 1.10, 4.00), kDefaultLimits, why), GroupVerdict::Fail);
  EXPECT_EQ(why, "PCER above 1.00 %");
  EXPECT_EQ(groupVerdict(group(5, 5, 0.50, 1.50), kDefaultLimits, why), GroupVerdict::Undetermined);
  EXPECT_EQ(why, "PCER interval includes 1.00 %");
  // Interval below the limit, but too few calls to pass the condition on.
  EXPECT_EQ(groupVerdict(group(2, 2, 0.10, 0.90), kDefaultLimits, why), GroupVerdict::Undetermined);
  EXPECT_EQ(why, "fewer than 3 calls");
  // One clean call: its interval is wide because it is one call; the reason is the count.
  EXPECT_EQ(groupVerdict(group(1, 1, 0.0, 4.30), kDefaultLimits, why), GroupVerdict::Undetermined);
  EXPECT_EQ(why, "fewer than 3 calls");
  // Wholly above the limit fails on any number of calls.
  EXPECT_EQ(groupVerdict(group(1, 1, 2.0, 9.0), kDefaultLimits, why), GroupVerdict::Fail);
  EXPECT_EQ(why, "PCER above 1.00 %");
  // A dropped or incomplete call fails the condition whatever its rates.
  EXPECT_EQ(groupVerdict(group(6, 2, 0.0, 0.90), kDefaultLimits, why), GroupVerdict::Fail);
  EXPECT_EQ(why, "4 calls dropped or incomplete");
  // The upper end as printed must be below the limit.
  EXPECT_EQ(groupVerdict(group(5, 5, 0.10, 0.999), kDefaultLimits, why), GroupVerdict::Undetermined);
}

TEST(Summary, TwoCompleteFailingCallsAndFourDroppedOnesFailTheCondition) {
  // Dropped halfway, a call scores 0.00 on what arrived: pooled, the condition looks good.
  std::vector<ScoredRecord> r;
  for (int c = 0; c < 2; ++c) r.push_back(record(c * 1000, figures(216, 213)));  // 1.39 %
  for (int c = 2; c < 6; ++c) r.push_back(record(c * 1000, figures(108, 108, 216)));
  const Summary s = summarize(r, pairCalls(r).calls, {"TYPE"}, kDefaultLimits);
  ASSERT_EQ(s.groups.size(), 1u);
  EXPECT_LT(s.groups[0].sums.rate(Rate::Pcer), 1.0);
  EXPECT_EQ(s.groups[0].calls, 6);
  EXPECT_EQ(s.groups[0].complete, 2);
  EXPECT_EQ(s.groups[0].passed, 0);
  EXPECT_EQ(s.groups[0].verdict, GroupVerdict::Fail);
}

TEST(Summary, NothingReceivedIsACerOfAtMostOneHundredPerCent) {
  // Three calls of which nothing arrived: every character of the reference missed, none added.
  std::vector<ScoredRecord> r;
  for (int c = 0; c < 3; ++c) r.push_back(record(c * 1000, figures(0, 0, 216, 216)));
  const Summary s = summarize(r, pairCalls(r).calls, {"TYPE"}, kDefaultLimits);
  ASSERT_EQ(s.groups.size(), 1u);
  EXPECT_DOUBLE_EQ(s.groups[0].sums.rate(Rate::Cer), 100.0);
  for (std::size_t i = 0; i < kRates.size(); ++i) {
    EXPECT_LE(s.groups[0].intervals[i].high, 100.0) << rateName(kRates[i]);
    EXPECT_LE(s.groups[0].intervals[i].low, s.groups[0].intervals[i].high) << rateName(kRates[i]);
  }
}

// A day of five conditions: 40 and 10 clean calls, three of 20 calls with a few errors, and in
// one of these a call that faded (half its text garbled).
std::vector<ScoredRecord> dayWithAFadedCall(bool faded) {
  std::vector<ScoredRecord> r;
  long long start = 0;
  for (int c = 0; c < 40; ++c) r.push_back(record(start += 600, figures(216, 216), "NXi modem"));
  for (int c = 0; c < 10; ++c) r.push_back(record(start += 600, figures(216, 216), "Ultratec Supercom"));
  for (const char* device : {"Q-90", "Compact/C", "Uniphone"})
    for (int c = 0; c < 20; ++c) {
      const int chars = 150 + 37 * c;
      r.push_back(record(start += 600, figures(chars, chars - c % 3), device));
    }
  if (faded) r.push_back(record(start += 600, figures(300, 150), "Q-90"));
  return r;
}

TEST(Summary, OneConditionsFadedCallLeavesTheOtherConditionsIntervalsAlone) {
  const std::vector<ScoredRecord> calm = dayWithAFadedCall(false), faded = dayWithAFadedCall(true);
  const Summary before = summarize(calm, pairCalls(calm).calls, {"device"}, kDefaultLimits);
  const Summary after = summarize(faded, pairCalls(faded).calls, {"device"}, kDefaultLimits);
  ASSERT_EQ(after.groups.size(), 5u);
  const Group& forty = after.groups[1];  // NXi modem
  const Group& ten = after.groups[3];    // Ultratec Supercom
  ASSERT_EQ(forty.calls, 40);
  ASSERT_EQ(ten.calls, 10);
  for (std::size_t r = 0; r < kRates.size(); ++r) {
    std::printf("%s: 40 clean calls [%.2f-%.2f] -> [%.2f-%.2f]; 10 clean calls [%.2f-%.2f] -> [%.2f-%.2f]\n",
                rateName(kRates[r]), before.groups[1].intervals[r].low, before.groups[1].intervals[r].high,
                forty.intervals[r].low, forty.intervals[r].high, before.groups[3].intervals[r].low,
                before.groups[3].intervals[r].high, ten.intervals[r].low, ten.intervals[r].high);
    // The faded call is its own condition's spread: the clean conditions' intervals borrow from
    // it only a bounded share (they were [0-9.95] and [0-43.89] when one day-level figure took
    // it whole).
    EXPECT_LT(forty.intervals[r].high, 2 * before.groups[1].intervals[r].high) << rateName(kRates[r]);
    EXPECT_LT(ten.intervals[r].high, 2 * before.groups[3].intervals[r].high) << rateName(kRates[r]);
    EXPECT_LT(forty.intervals[r].high, 1.0) << rateName(kRates[r]);
    EXPECT_LT(ten.intervals[r].high, 4.0) << rateName(kRates[r]);
  }
  EXPECT_EQ(forty.verdict, GroupVerdict::Pass) << forty.why;
  // The condition with the faded call is the one whose interval widens.
  EXPECT_GT(after.groups[2].intervals[0].high, 2 * before.groups[2].intervals[0].high);
}

TEST(Summary, CallsOfSeveralDaysGiveIntervalsForTheLongRunRateAndSaySo) {
  // The same twelve calls of two conditions, made on one day or spread over three.
  auto calls = [](long long dayLength) {
    std::vector<ScoredRecord> r;
    for (int c = 0; c < 12; ++c) {
      const long long start = 1'000'000'000 + (c % 3) * dayLength + c * 600;
      const int chars = 200 + 40 * c;
      r.push_back(record(start, figures(chars, chars - 1 - c % 4), "NXi modem"));
      r.push_back(record(start + 300, figures(chars, chars - (c % 2)), "Q-90"));
    }
    return r;
  };
  const std::vector<ScoredRecord> oneDay = calls(0), threeDays = calls(86400);
  const Summary one = summarize(oneDay, pairCalls(oneDay).calls, {"device"}, kDefaultLimits);
  const Summary three = summarize(threeDays, pairCalls(threeDays).calls, {"device"}, kDefaultLimits);
  ASSERT_EQ(one.days.size(), 1u);
  ASSERT_EQ(three.days.size(), 3u);
  EXPECT_EQ(one.dispersion[0].betweenDays, 0.0);
  EXPECT_GT(three.dispersion[0].betweenDays, 0.0);
  ASSERT_EQ(one.groups.size(), 2u);
  ASSERT_EQ(three.groups.size(), 2u);
  for (std::size_t g = 0; g < 2; ++g) {
    // Same rates; the long-run interval is the wider one.
    EXPECT_EQ(one.groups[g].sums.rate(Rate::Pcer), three.groups[g].sums.rate(Rate::Pcer));
    EXPECT_GT(three.groups[g].intervals[0].high, one.groups[g].intervals[0].high);
    EXPECT_LE(three.groups[g].intervals[0].low, one.groups[g].intervals[0].low);
  }
  Report report;
  report.dispersion = one.dispersion;
  report.days = one.days;
  EXPECT_NE(dispersionText(report).find("for the rate of calls like these on the day tested (2001-09-09)"),
            std::string::npos)
      << dispersionText(report);
  // A session past midnight is one day of testing.
  std::vector<ScoredRecord> lateNight;
  for (int c = 0; c < 12; ++c) lateNight.push_back(record(1'000'000'000 - 4 * 3600 + c * 1800, figures(300, 298)));
  EXPECT_EQ(summarize(lateNight, pairCalls(lateNight).calls, {"device"}, kDefaultLimits).days.size(), 1u);
  report.dispersion = three.dispersion;
  report.days = three.days;
  EXPECT_NE(dispersionText(report).find("for each condition's long-run rate over days like the 3 tested "
                                        "(2001-09-09 to 2001-09-11): they allow for rates varying"),
            std::string::npos)
      << dispersionText(report);
}

TEST(Summary, AnUndeterminedConditionSaysHowManyMoreCallsWouldSettleItAndASettledOneNone) {
  std::vector<ScoredRecord> r;
  for (int c = 0; c < 4; ++c) r.push_back(record(1000 + c * 600, figures(300, 300 - 2 * (c % 2)), "NXi modem"));
  for (int c = 0; c < 3; ++c) r.push_back(record(9000 + c * 600, figures(300, 240), "Q-90"));
  const Summary s = summarize(r, pairCalls(r).calls, {"device"}, kDefaultLimits);
  ASSERT_EQ(s.groups.size(), 2u);
  const Group& near = s.groups[0];  // 0.33 %, four calls: undetermined
  const Group& bad = s.groups[1];   // 20 %: fails
  EXPECT_EQ(near.verdict, GroupVerdict::Undetermined) << near.why;
  EXPECT_GT(near.callsNeeded, 0);
  EXPECT_EQ(callsNeededText(near), std::to_string(near.callsNeeded) + " more calls would likely settle it");
  EXPECT_EQ(bad.verdict, GroupVerdict::Fail);
  EXPECT_EQ(bad.callsNeeded, 0);
  EXPECT_EQ(callsNeededText(bad), "");
  // A rate right at the limit never settles: said as more than the most worked out.
  std::array<std::vector<CallCount>, 4> atLimit;
  for (int c = 0; c < 5; ++c) atLimit[0].push_back({3, 300});
  atLimit[3] = atLimit[0];
  EXPECT_EQ(callsToSettle(atLimit, s.dispersion, kDefaultLimits, 5), kTooManyCalls);
  Group g;
  g.callsNeeded = kTooManyCalls;
  EXPECT_EQ(callsNeededText(g), "more than 10,000 more calls would be needed to settle it");
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // 55 and 56 bytes: the length fits in the last block or needs another.
  EXPECT_EQ(sha256Hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256Hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

}  // namespace
}  // namespace fieldreport
