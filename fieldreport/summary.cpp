#include "summary.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <map>
#include <thread>

#include "calls.h"

namespace fieldreport {

void Sums::add(const Figures& f) {
  pcerTotal += f.pcer.total;
  pcerCorrect += f.pcer.correct;
  ccerTotal += f.ccer.total;
  ccerCorrect += f.ccer.correct;
  tcerTotal += f.tcer.total;
  tcerCorrect += f.tcer.correct;
  cerErrors += f.cerErrors;
  cerLength += f.cerLength;
  masterChars += f.masterChars;
  added += f.pcer.added;
  missed += f.pcer.missed;
  changed += f.pcer.changed;
}

void Sums::add(const Sums& o) {
  pcerTotal += o.pcerTotal;
  pcerCorrect += o.pcerCorrect;
  ccerTotal += o.ccerTotal;
  ccerCorrect += o.ccerCorrect;
  tcerTotal += o.tcerTotal;
  tcerCorrect += o.tcerCorrect;
  cerErrors += o.cerErrors;
  cerLength += o.cerLength;
  masterChars += o.masterChars;
  added += o.added;
  missed += o.missed;
  changed += o.changed;
}

namespace {

// score's rate: nothing counted is everything lost, unless there was nothing to count.
double scoreRate(long long total, long long correct, long long master) {
  if (total == 0) return master == 0 ? 0.0 : 100.0;
  return 100.0 - (100.0 * static_cast<double>(correct)) / static_cast<double>(total);
}

}  // namespace

double Sums::rate(Rate which) const {
  switch (which) {
    case Rate::Pcer:
      return scoreRate(pcerTotal, pcerCorrect, masterChars);
    case Rate::Ccer:
      return scoreRate(ccerTotal, ccerCorrect, masterChars);
    case Rate::Tcer:
      return scoreRate(tcerTotal, tcerCorrect, masterChars);
    case Rate::Cer:
      if (cerLength > 0) return static_cast<double>(cerErrors) * 100.0 / static_cast<double>(cerLength);
      return cerErrors > 0 ? 100.0 : 0.0;
  }
  return 0;
}

double Sums::coverage() const {
  return masterChars > 0 ? 100.0 * static_cast<double>(pcerTotal) / static_cast<double>(masterChars) : 100.0;
}

std::string fieldKey(std::string_view field) {
  std::string key;
  for (char c : field)
    if (c != '_') key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

std::string fieldValue(const fieldtext::Record& record, std::string_view field) {
  const std::string* value = record.value(fieldKey(field));
  return value ? *value : std::string();
}

namespace {

// What a resample needs of a call, small enough that the calls of a large group stay in the cache.
struct CallCounts {
  std::int32_t pcerTotal, pcerCorrect, ccerTotal, ccerCorrect, tcerTotal, tcerCorrect, cerErrors, cerLength,
      masterChars;
};

// SplitMix64: a small, fast generator; the same sequence on every machine.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t operator()() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

}  // namespace

std::array<Interval, 4> callBootstrap(const std::vector<Sums>& calls, int resamples) {
  std::array<Interval, 4> intervals{};
  if (calls.empty()) return intervals;
  std::vector<CallCounts> counts;
  counts.reserve(calls.size());
  for (const Sums& c : calls) {
    auto i32 = [](long long v) { return static_cast<std::int32_t>(v); };
    counts.push_back({i32(c.pcerTotal), i32(c.pcerCorrect), i32(c.ccerTotal), i32(c.ccerCorrect),
                      i32(c.tcerTotal), i32(c.tcerCorrect), i32(c.cerErrors), i32(c.cerLength),
                      i32(c.masterChars)});
  }
  SplitMix rng(20011018);
  std::array<std::vector<double>, 4> rates;
  for (auto& r : rates) r.reserve(static_cast<std::size_t>(resamples));
  const std::uint64_t n = counts.size();
  for (int b = 0; b < resamples; ++b) {
    Sums sample;
    for (std::uint64_t k = 0; k < n; ++k) {
      const CallCounts& c = counts[rng() % n];
      sample.pcerTotal += c.pcerTotal;
      sample.pcerCorrect += c.pcerCorrect;
      sample.ccerTotal += c.ccerTotal;
      sample.ccerCorrect += c.ccerCorrect;
      sample.tcerTotal += c.tcerTotal;
      sample.tcerCorrect += c.tcerCorrect;
      sample.cerErrors += c.cerErrors;
      sample.cerLength += c.cerLength;
      sample.masterChars += c.masterChars;
    }
    for (std::size_t r = 0; r < kRates.size(); ++r) rates[r].push_back(sample.rate(kRates[r]));
  }
  // The 2.5th and 97.5th percentiles: as many resamples below the one as above the other.
  const std::size_t tail = static_cast<std::size_t>(resamples) / 40;
  for (std::size_t r = 0; r < kRates.size(); ++r) {
    std::sort(rates[r].begin(), rates[r].end());
    intervals[r] = {rates[r][tail], rates[r][rates[r].size() - 1 - tail]};
  }
  return intervals;
}

std::vector<Group> summarize(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls,
                             const std::vector<std::string>& fields, unsigned jobs) {
  std::vector<Group> groups;
  std::map<std::vector<std::string>, std::size_t> index;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::vector<std::string> values;
    for (const auto& f : fields) values.push_back(fieldValue(records[i].record, f));
    auto [it, added] = index.try_emplace(values, groups.size());
    if (added) groups.push_back(Group{values, {}, 0, 0, 0, {}, {}});
    groups[it->second].records.push_back(i);
  }
  std::vector<std::size_t> callOf(records.size());
  for (std::size_t c = 0; c < calls.size(); ++c)
    for (std::size_t i : calls[c].records) callOf[i] = c;

  std::vector<std::vector<Sums>> perCallOf(groups.size());
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    Group& g = groups[gi];
    std::vector<Sums>& perCall = perCallOf[gi];
    // Each call's records in this group, in call order.
    std::map<std::size_t, Call> parts;
    for (std::size_t i : g.records) parts[callOf[i]].records.push_back(i);
    for (auto& [c, part] : parts) {
      Sums s;
      for (std::size_t i : part.records) s.add(records[i].figures);
      perCall.push_back(s);
      g.sums.add(s);
      const Verdict verdict = callVerdict(records, part);
      g.incomplete += verdict == Verdict::Incomplete;
      g.passes += verdict == Verdict::Pass;
    }
    g.calls = static_cast<int>(parts.size());
  }
  // The groups' resamplings are independent: one thread each, `jobs` at a time.
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t gi; (gi = next++) < groups.size();) groups[gi].intervals = callBootstrap(perCallOf[gi]);
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::min<std::size_t>(jobs, groups.size()); ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  // Like conditions next to each other.
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.values < b.values; });
  return groups;
}

}  // namespace fieldreport
