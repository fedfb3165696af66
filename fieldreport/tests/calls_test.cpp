// SPDX-License-Identifier: Apache-2.0
// The moments records give, and which records are the two ends of one call: single cases, and
// made-up days of two positions running the same script at once with the far ends' clocks off.
#include "calls.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "moments.h"

namespace fieldreport {
namespace {

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
  for (const char* bad : {"", "yesterday", "13/13/01 10:00:00", "10/18/01 25:00:00", "10/18/01 13:00:00 PM",
                          "02/30/01 10:00:00", "31.04.2001 10:00:00"})
    EXPECT_EQ(parseMoment(bad), std::nullopt) << bad;
}

TEST(Moments, TheFilesNameTellsWhetherTheDayOrTheMonthComesFirst) {
  // 3 April 2026 written day first (en_GB, fr_FR) in 0403-1405-LAB1.TXT.
  const auto name = monthDayOfName("0403-1405-LAB1.TXT");
  ASSERT_TRUE(name);
  EXPECT_EQ(orderFromName("03/04/2026 14:05:07", *name), DateOrder::DayFirst);
  EXPECT_EQ(orderFromName("04/03/2026 14:05:07", *name), DateOrder::MonthFirst);
  EXPECT_EQ(*parseMoment("03/04/2026 14:05:07", DateOrder::DayFirst), *parseMoment("2026-04-03 14:05:07"));
  EXPECT_EQ(*parseMoment("03/04/2026 14:05:07", DateOrder::MonthFirst), *parseMoment("2026-03-04 14:05:07"));
  // A call started before midnight whose first character came after it: the name is a day on.
  EXPECT_EQ(orderFromName("02/04/2026 23:59:50", *name), DateOrder::DayFirst);
  // Names that say nothing, and dates that read the same either way.
  EXPECT_FALSE(monthDayOfName("capture.TXT"));
  EXPECT_FALSE(monthDayOfName("1340-1405-LAB1.TXT"));
  EXPECT_EQ(orderFromName("04/04/2026 10:00:00", *monthDayOfName("0404-1000-X.TXT")), DateOrder::Unknown);
  EXPECT_EQ(orderFromName("2026-04-03 14:05:07", *name), DateOrder::Unknown);
  EXPECT_TRUE(ambiguousDate("03/04/2026 14:05:07"));
  EXPECT_FALSE(ambiguousDate("03/14/2026 14:05:07"));
  EXPECT_FALSE(ambiguousDate("2026-04-03 14:05:07"));
  EXPECT_FALSE(ambiguousDate("04/04/26"));
}

PairingRecord end(const std::string& computer, long long start, double seconds, Side farEnd,
                  const std::string& script = "S") {
  return {computer, start, seconds, script, farEnd};
}

std::vector<std::vector<std::size_t>> callsOf(const Pairing& p) {
  std::vector<std::vector<std::size_t>> out;
  for (const Call& c : p.calls) out.push_back(c.records);
  return out;
}

TEST(Calls, TwoRecordsAreOneCallOnlyWithTheSameScriptOppositeDirectionsAndOverlappingTimes) {
  std::vector<PairingRecord> r = {
      end("LAB1", 1000, 60, Side::Even),           // 0: incoming...
      end("CAR1", 1030, 55, Side::Odd),            // 1: ...and its far end
      end("LAB1", 1200, 60, Side::Even),           // 2: no partner within two minutes...
      end("CAR1", 1321, 60, Side::Odd),            // 3: ...121 s later
      end("LAB1", 2000, 60, Side::Even),           // 4: the same direction as 5
      end("CAR1", 2010, 60, Side::Even),           // 5
      end("CAR2", 2020, 60, Side::Odd, "T"),       // 6: another script
      end("LAB1", 5000, 30, Side::Even),           // 7: two calls one after the other on one machine
      end("LAB1", 5040, 30, Side::Odd),            // 8
      {"LAB1", std::nullopt, 30, "S", Side::Odd},  // 9: start not readable
  };
  EXPECT_EQ(callsOf(pairRecords(r)),
            (std::vector<std::vector<std::size_t>>{{0, 1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}}));
}

TEST(Calls, EachRecordGoesToItsNearestPartnerNotTheFirstFound) {
  // A far end that started in the same second as its partner, with another record of the other
  // direction 34 s before: the first record found was taken before.
  std::vector<PairingRecord> r = {end("CAR2", 966, 90, Side::Odd), end("LAB1", 990, 60, Side::Even),
                                  end("CAR1", 1000, 60, Side::Odd)};
  EXPECT_EQ(callsOf(pairRecords(r)), (std::vector<std::vector<std::size_t>>{{0}, {1, 2}}));
}

TEST(Calls, AGivenClockOffsetIsAppliedAndReported) {
  // CAR1's clock reads 500 s ahead: beyond what pairing finds by itself from one call.
  std::vector<PairingRecord> r = {end("LAB1", 1000, 60, Side::Even), end("CAR1", 1502, 58, Side::Odd)};
  EXPECT_EQ(callsOf(pairRecords(r)), (std::vector<std::vector<std::size_t>>{{0}, {1}}));
  const Pairing given = pairRecords(r, {{"CAR1", 500}});
  EXPECT_EQ(callsOf(given), (std::vector<std::vector<std::size_t>>{{0, 1}}));
  ASSERT_EQ(given.offsets.size(), 1u);
  EXPECT_EQ(given.offsets[0].computer, "CAR1");
  EXPECT_EQ(given.offsets[0].partner, "LAB1");
  EXPECT_EQ(given.offsets[0].seconds, -500);
  EXPECT_TRUE(given.offsets[0].given);
}

// A made-up day of two positions, LAB1 with CAR1 and LAB2 with CAR2, running the same script
// from about the same moment, calls alternating in direction, of 60 to 200 s with gaps of 20 to
// 120 s; each end starts within 10 s and ends within 15 s of the call; one end in twelve not
// saved. The far ends' clocks are off by up to `skew` seconds either way.
struct Day {
  std::vector<PairingRecord> records;
  std::vector<int> call;  // the true call of each record
  double skew1 = 0, skew2 = 0;
};

Day makeDay(std::mt19937_64& rng, double skew, int calls) {
  std::uniform_real_distribution<double> u(0, 1);
  Day day;
  day.skew1 = (2 * u(rng) - 1) * skew;
  day.skew2 = (2 * u(rng) - 1) * skew;
  int id = 0;
  for (int position = 1; position <= 2; ++position) {
    const double clock = position == 1 ? day.skew1 : day.skew2;
    double t = 1'790'000'000 + 5 * u(rng);
    for (int k = 0; k < calls; ++k) {
      const double length = 60 + 140 * u(rng);
      const bool labIncoming = k % 2 == 0;
      ++id;
      for (const std::string side : {"LAB", "CAR"}) {
        if (u(rng) < 1.0 / 12) continue;
        const double start = t + 10 * u(rng), stop = t + length + 15 * u(rng);
        const bool lab = side == "LAB";
        day.records.push_back({side + std::to_string(position),
                               static_cast<long long>(start + (lab ? 0 : clock)), stop - start, "S",
                               lab == labIncoming ? Side::Even : Side::Odd});
        day.call.push_back(id);
      }
      t += length + 20 + 100 * u(rng);
    }
  }
  return day;
}

struct Tally {
  int pairs = 0, found = 0, wrong = 0, missed = 0;
};

Tally tally(const Day& day, const Pairing& pairing) {
  std::vector<std::ptrdiff_t> partner(day.records.size(), -1);
  for (const Call& c : pairing.calls)
    if (c.records.size() == 2) {
      partner[c.records[0]] = static_cast<std::ptrdiff_t>(c.records[1]);
      partner[c.records[1]] = static_cast<std::ptrdiff_t>(c.records[0]);
    }
  Tally t;
  for (std::size_t i = 0; i < day.records.size(); ++i) {
    std::ptrdiff_t truth = -1;
    for (std::size_t j = 0; j < day.records.size(); ++j)
      if (j != i && day.call[j] == day.call[i]) truth = static_cast<std::ptrdiff_t>(j);
    if (truth > static_cast<std::ptrdiff_t>(i)) ++t.pairs;
    if (partner[i] > static_cast<std::ptrdiff_t>(i) && partner[i] == truth) ++t.found;
    if (partner[i] >= 0 && partner[i] != truth) ++t.wrong;
    if (truth >= 0 && partner[i] < 0) ++t.missed;
  }
  return t;
}

TEST(Calls, TwoPositionsAtOnceWithTheFarEndsClocksOffArePairedWithoutAMistake) {
  std::mt19937_64 rng(20011018);
  for (const double skew : {20.0, 60.0, 120.0, 600.0}) {
    Tally all;
    double estimateError = 0;
    const int days = 25;
    for (int d = 0; d < days; ++d) {
      const Day day = makeDay(rng, skew, 30);
      const Pairing pairing = pairRecords(day.records);
      const Tally t = tally(day, pairing);
      all.pairs += t.pairs, all.found += t.found, all.wrong += t.wrong, all.missed += t.missed;
      // The clock differences found are those of the far ends (within the ends' own spread).
      for (const ClockDifference& o : pairing.offsets) {
        if (o.computer == "CAR1" && o.partner == "LAB1")
          estimateError = std::max(estimateError, std::fabs(-o.seconds - day.skew1));
        if (o.computer == "CAR2" && o.partner == "LAB2")
          estimateError = std::max(estimateError, std::fabs(-o.seconds - day.skew2));
      }
      EXPECT_EQ(pairing.offsets.size(), 2u) << "skew " << skew << ", day " << d;
    }
    std::printf(
        "clocks off by up to %.0f s: %d days of 2 x 30 calls, %d calls saved at both ends, %d paired right, "
        "%d records paired wrong, %d left unpaired; clock differences found within %.1f s\n",
        skew, days, all.pairs, all.found, all.wrong, all.missed, estimateError);
    EXPECT_EQ(all.wrong, 0) << skew;
    EXPECT_EQ(all.missed, 0) << skew;
    EXPECT_EQ(all.found, all.pairs) << skew;
    EXPECT_LT(estimateError, 15) << skew;
  }
}

TEST(Calls, CallsOfTheOtherPositionThatAgreeByChanceOverALongRunMakeNoClockDifference) {
  // Weeks of two positions without a break: some calls of LAB1 and CAR2 agree in start and length
  // by chance, under differences of their own, and must not be taken for a clock.
  std::mt19937_64 rng(1018);
  const Day day = makeDay(rng, 120, 2000);
  const Pairing pairing = pairRecords(day.records);
  const Tally t = tally(day, pairing);
  EXPECT_EQ(t.wrong, 0);
  EXPECT_EQ(t.found, t.pairs);
  EXPECT_EQ(pairing.offsets.size(), 2u);
}

}  // namespace
}  // namespace fieldreport
