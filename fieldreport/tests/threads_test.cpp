// SPDX-License-Identifier: Apache-2.0
// Scoring and the summary on several threads give what they give on one.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "calls.h"
#include "capture_maker.h"
#include "summary.h"
#include "timing_figures.h"

namespace fieldreport {
namespace {

bool same(const Figures& a, const Figures& b) {
  auto counts = [](const Counts& c) { return std::tuple(c.total, c.correct, c.added, c.missed, c.changed); };
  return a.masterChars == b.masterChars && counts(a.pcer) == counts(b.pcer) &&
         counts(a.ccer) == counts(b.ccer) && counts(a.tcer) == counts(b.tcer) && a.pcerRate == b.pcerRate &&
         a.ccerRate == b.ccerRate && a.tcerRate == b.tcerRate && a.cerErrors == b.cerErrors &&
         a.cerLength == b.cerLength && a.cerRate == b.cerRate && a.coverage == b.coverage;
}

TEST(Threads, ScoringAndSummaryOnManyThreadsMatchOne) {
  std::mt19937_64 rng(7);
  std::vector<std::pair<std::string, std::string>> texts;
  for (int i = 0; i < 48; ++i) {
    const std::string reference = capture_maker::scriptFile(capture_maker::makeTurns(rng, 4));
    texts.emplace_back(reference, capture_maker::garble(rng, reference, {0.03, 0.02, 0.01, 0.2}));
  }
  std::vector<Figures> serial, parallel(texts.size());
  for (const auto& [ref, rec] : texts) serial.push_back(scoreTexts(ref, rec));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < texts.size(); i += 4)
        parallel[i] = scoreTexts(texts[i].first, texts[i].second);
    });
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_TRUE(same(serial[i], parallel[i])) << i;

  std::vector<ScoredRecord> records(texts.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].figures = serial[i];
    // Eight conditions, so that the threads find intervals at the same time.
    records[i].record.values = {{"DEVICE", i % 3 ? "NXi modem" : "Ultratec Supercom"},
                                {"SIGNAL", "Signal " + std::to_string(i % 4)}};
    records[i].start = static_cast<long long>(i) * 600;
  }
  const auto calls = pairCalls(records).calls;
  const std::vector<Limit> limits = {{Rate::Pcer, 1.0}};
  const auto one = summarize(records, calls, {"DEVICE", "SIGNAL"}, limits, 1).groups;
  const auto many = summarize(records, calls, {"DEVICE", "SIGNAL"}, limits, 4).groups;
  ASSERT_EQ(one.size(), 8u);
  ASSERT_EQ(many.size(), one.size());
  for (std::size_t g = 0; g < one.size(); ++g)
    for (std::size_t r = 0; r < kRates.size(); ++r) {
      EXPECT_EQ(one[g].intervals[r].low, many[g].intervals[r].low);
      EXPECT_EQ(one[g].intervals[r].high, many[g].intervals[r].high);
      EXPECT_EQ(one[g].verdict, many[g].verdict);
    }
}

}  // namespace
}  // namespace fieldreport

namespace fieldreport {
namespace {

TEST(Threads, TimingFiguresOnManyThreadsMatchOne) {
  std::mt19937_64 rng(9);
  Script script;
  for (const auto& turn : capture_maker::makeTurns(rng, 6)) script.turns.push_back(turn);
  // Calls with both ends' times: one end's clock 5 s ahead of the other's, each end sending a
  // character every 100 ms, and the characters that arrived (some lost, garbled or added on the
  // way) received 100 ms apart from 300 ms on.
  constexpr int kCalls = 24;
  std::vector<Texts> texts(2 * kCalls);
  std::vector<timing::RecordTimes> times(2 * kCalls);
  std::vector<TimingInput> inputs(2 * kCalls);
  std::vector<Call> calls;
  for (int c = 0; c < kCalls; ++c) {
    for (int end = 0; end < 2; ++end) {
      const std::size_t i = static_cast<std::size_t>(2 * c + end);
      const fieldtext::Side far = end == 0 ? fieldtext::Side::Even : fieldtext::Side::Odd;
      texts[i].reference = fieldtext::withoutTrailingSpaces(fieldtext::sideText(script.turns, far));
      texts[i].received = capture_maker::garble(rng, texts[i].reference, {0.02, 0.02, 0.01, 0.05});
      times[i].startMs = 1'000'000 + end * 5000;
      const std::string own = fieldtext::sideText(
          script.turns, far == fieldtext::Side::Even ? fieldtext::Side::Odd : fieldtext::Side::Even);
      for (std::size_t k = 0; k < own.size(); ++k)
        times[i].chars.push_back(
            {timing::Direction::Sent, static_cast<long long>(100 * k), static_cast<unsigned char>(own[k])});
      for (std::size_t k = 0; k < texts[i].received.size(); ++k)
        times[i].chars.push_back({timing::Direction::Received, static_cast<long long>(100 * k + 300),
                                  static_cast<unsigned char>(texts[i].received[k])});
      inputs[i] = {&texts[i], &script, far, false, std::nullopt, false, &times[i], end ? "CAR" : "LAB"};
    }
    calls.push_back({{static_cast<std::size_t>(2 * c), static_cast<std::size_t>(2 * c + 1)}, Verdict::Pass});
  }
  const TimingFigures one = timingFigures(inputs, calls, {}, 1), many = timingFigures(inputs, calls, {}, 4);
  ASSERT_EQ(one.turns.size(), many.turns.size());
  for (std::size_t i = 0; i < one.turns.size(); ++i) {
    ASSERT_EQ(one.turns[i].size(), script.turns.size()) << i;
    ASSERT_EQ(one.turns[i].size(), many.turns[i].size()) << i;
    for (std::size_t t = 0; t < one.turns[i].size(); ++t) {
      const TurnTiming &a = one.turns[i][t], &b = many.turns[i][t];
      EXPECT_TRUE(a.turn == b.turn && a.near == b.near && a.charsSent == b.charsSent &&
                  a.charsReceived == b.charsReceived && a.lostAtStart == b.lostAtStart &&
                  a.replyDelay == b.replyDelay && a.cps == b.cps && a.delays == b.delays)
          << i << " " << t;
    }
  }
  for (std::size_t c = 0; c < calls.size(); ++c) {
    EXPECT_EQ(one.calls[c].seconds, many.calls[c].seconds);
    ASSERT_TRUE(one.calls[c].seconds);
    EXPECT_NEAR(*one.calls[c].seconds, 5.0, 0.5) << c;  // the received times follow losses loosely
  }
}

}  // namespace
}  // namespace fieldreport
