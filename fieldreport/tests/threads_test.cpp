// Scoring and the summary on several threads give what they give on one.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "calls.h"
#include "capture_maker.h"
#include "summary.h"

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
