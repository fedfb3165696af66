// SPDX-License-Identifier: Apache-2.0
#include "calls.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

namespace fieldreport {
namespace {

// Seconds within which the two ends' starts, and their ends, of one call agree once the clocks
// are corrected; a clock difference is estimated from the calls within it.
constexpr double kAgreement = 20;
// Starts and ends may disagree by more than that (one tester pressed End Call later), but not by
// more than this for a call to tell the clocks apart.
constexpr double kEndAgreement = 40;
// Seconds added to the distance of two records from computers that do not take calls with each
// other across the day, in favour of those that do.
constexpr double kStrangerPenalty = 60;
constexpr int kRounds = 4;
// Calls with one partner that make a computer's partnership established.
constexpr int kEstablished = 3;

struct Candidate {
  std::size_t a, b;  // computer of a <= computer of b (by index); a before b when the same
  double starts;     // start of b - start of a, clocks corrected for the offsets given
  std::optional<double> ends;
  double middle() const { return ends ? (starts + *ends) / 2 : starts; }
  bool agrees() const { return !ends || std::fabs(starts - *ends) <= kEndAgreement; }
};

// The clock difference most candidates of a pair of computers agree on, when they clearly do.
std::optional<double> commonOffset(std::vector<double> middles) {
  if (middles.size() < 2) return std::nullopt;
  std::sort(middles.begin(), middles.end());
  auto window = [&](std::size_t i) {  // candidates within 2 x kAgreement from middles[i] on
    return static_cast<std::size_t>(std::upper_bound(middles.begin() + static_cast<std::ptrdiff_t>(i),
                                                     middles.end(), middles[i] + 2 * kAgreement) -
                                    middles.begin()) -
           i;
  };
  std::size_t best = 0, bestCount = 0;
  for (std::size_t i = 0; i < middles.size(); ++i) {
    const std::size_t count = window(i);
    const double centre = middles[i] + kAgreement, bestCentre = middles[best] + kAgreement;
    if (count > bestCount || (count == bestCount && std::fabs(centre) < std::fabs(bestCentre))) {
      best = i;
      bestCount = count;
    }
  }
  // The next most common difference, well away from the first.
  std::size_t second = 0;
  for (std::size_t i = 0; i < middles.size(); ++i)
    if (middles[i] + 2 * kAgreement < middles[best] - kAgreement ||
        middles[i] > middles[best] + 3 * kAgreement)
      second = std::max(second, window(i));
  if (bestCount < 2 || bestCount < 2 * second) return std::nullopt;
  std::vector<double> inside(middles.begin() + static_cast<std::ptrdiff_t>(best),
                             middles.begin() + static_cast<std::ptrdiff_t>(best + bestCount));
  return inside[inside.size() / 2];
}

}  // namespace

Pairing pairRecords(const std::vector<PairingRecord>& records, const ClockOffsets& given) {
  // Kept whole: its rounds share one set of indexes, candidates, clock offsets and partners.
  const std::size_t n = records.size();
  // Computers and scripts by number.
  std::map<std::string, int> computerIndex, scriptIndex;
  for (const auto& r : records) {
    computerIndex.try_emplace(r.computer, 0);
    scriptIndex.try_emplace(r.script, static_cast<int>(scriptIndex.size()));
  }
  std::vector<std::string> computers;
  for (auto& [name, index] : computerIndex) {
    index = static_cast<int>(computers.size());
    computers.push_back(name);
  }
  std::vector<int> computer(n), script(n);
  std::vector<double> start(n, 0);
  std::vector<std::optional<double>> end(n);
  std::vector<std::size_t> timed, untimed;
  for (std::size_t i = 0; i < n; ++i) {
    computer[i] = computerIndex[records[i].computer];
    script[i] = scriptIndex[records[i].script];
    if (!records[i].start) {
      untimed.push_back(i);
      continue;
    }
    const auto g = given.find(records[i].computer);
    start[i] = static_cast<double>(*records[i].start) - (g == given.end() ? 0.0 : g->second);
    if (records[i].seconds) end[i] = start[i] + *records[i].seconds;
    timed.push_back(i);
  }
  std::stable_sort(timed.begin(), timed.end(),
                   [&](std::size_t x, std::size_t y) { return start[x] < start[y]; });

  // Every two records that could be one call under some clock difference pairing would find.
  std::vector<Candidate> candidates;
  for (std::size_t x = 0; x < timed.size(); ++x)
    for (std::size_t y = x + 1;
         y < timed.size() && start[timed[y]] - start[timed[x]] <= kLargestOffset + kPairingSeconds; ++y) {
      std::size_t a = timed[x], b = timed[y];
      if (script[a] != script[b] || records[a].farEnd == records[b].farEnd) continue;
      if (computer[b] < computer[a]) std::swap(a, b);
      Candidate c{a, b, start[b] - start[a], std::nullopt};
      if (end[a] && end[b]) c.ends = *end[b] - *end[a];
      candidates.push_back(c);
    }

  using ComputerPair = std::pair<int, int>;
  auto pairOf = [&](const Candidate& c) { return ComputerPair{computer[c.a], computer[c.b]}; };
  auto isGiven = [&](const ComputerPair& p) {
    return given.count(computers[static_cast<std::size_t>(p.first)]) ||
           given.count(computers[static_cast<std::size_t>(p.second)]);
  };
  // The remaining clock difference of each pair of computers (after the given offsets): zero
  // for one computer with itself, for given ones and where nothing stands out.
  std::map<ComputerPair, double> offset;
  {
    std::map<ComputerPair, std::vector<double>> middles;
    for (const Candidate& c : candidates)
      if (c.agrees() && computer[c.a] != computer[c.b] && !isGiven(pairOf(c)))
        middles[pairOf(c)].push_back(c.middle());
    for (auto& [p, m] : middles)
      if (auto found = commonOffset(std::move(m))) offset[p] = *found;
  }
  auto offsetOf = [&](const ComputerPair& p) {
    const auto it = offset.find(p);
    return it == offset.end() ? 0.0 : it->second;
  };

  std::vector<std::ptrdiff_t> partner(n, -1);
  std::map<ComputerPair, int> together;  // calls between two computers in the last round
  for (int round = 0; round < kRounds; ++round) {
    // Each computer's calls with its most frequent partner, other than a given one.
    auto mostOther = [&](int c, int other) {
      int most = 0;
      for (const auto& [p, count] : together)
        if ((p.first == c && p.second != other) || (p.second == c && p.first != other))
          most = std::max(most, count);
      return most;
    };
    std::map<ComputerPair, std::pair<int, int>> mains;  // per pair: both computers' other partners
    for (const Candidate& c : candidates) {
      const ComputerPair p = pairOf(c);
      if (p.first != p.second && !mains.count(p))
        mains[p] = {mostOther(p.first, p.second), mostOther(p.second, p.first)};
    }
    struct Edge {
      double cost, distance;
      std::size_t candidate;
    };
    std::vector<Edge> edges;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      const Candidate& c = candidates[k];
      const ComputerPair p = pairOf(c);
      const double d = offsetOf(p);
      const double starts = std::fabs(c.starts - d);
      if (starts > kPairingSeconds) continue;
      // One computer cannot hold two calls at once: the two ends overlap in time.
      if (end[c.a] && end[c.b] && !(start[c.a] < *end[c.b] - d && start[c.b] - d < *end[c.a])) continue;
      const double distance = starts + (c.ends ? std::fabs(*c.ends - d) : starts);
      double penalty = 0;
      if (round > 0 && p.first != p.second) {
        // Computers that each take their calls with another, and hardly ever with each other, are
        // not paired: such a record is far more likely one whose own partner was not saved.
        const auto it = together.find(p);
        const int count = it == together.end() ? 0 : it->second;
        const auto [mainA, mainB] = mains[p];
        const int main = std::max(mainA, mainB);
        if (mainA >= kEstablished && mainB >= kEstablished && 4 * count < main) continue;
        if (main > 0) penalty = kStrangerPenalty * std::max(0.0, 1.0 - static_cast<double>(count) / main);
      }
      edges.push_back({distance + penalty, distance, k});
    }
    std::sort(edges.begin(), edges.end(), [&](const Edge& x, const Edge& y) {
      return std::tie(x.cost, x.distance, candidates[x.candidate].a, candidates[x.candidate].b) <
             std::tie(y.cost, y.distance, candidates[y.candidate].a, candidates[y.candidate].b);
    });
    std::vector<std::ptrdiff_t> next(n, -1);
    for (const Edge& e : edges) {
      const Candidate& c = candidates[e.candidate];
      if (next[c.a] >= 0 || next[c.b] >= 0) continue;
      next[c.a] = static_cast<std::ptrdiff_t>(c.b);
      next[c.b] = static_cast<std::ptrdiff_t>(c.a);
    }
    // The clock differences again, from the calls paired where starts and ends agree.
    std::map<ComputerPair, std::vector<double>> middles;
    together.clear();
    for (const Candidate& c : candidates) {
      if (next[c.a] != static_cast<std::ptrdiff_t>(c.b)) continue;
      ++together[pairOf(c)];
      if (c.agrees() && computer[c.a] != computer[c.b] && !isGiven(pairOf(c)))
        middles[pairOf(c)].push_back(c.middle());
    }
    for (auto& [p, m] : middles) {
      if (m.size() < 2) continue;
      std::sort(m.begin(), m.end());
      offset[p] = m[m.size() / 2];
    }
    const bool settled = next == partner;
    partner = std::move(next);
    if (settled && round > 0) break;
  }

  Pairing out;
  for (std::size_t i : timed) {
    if (partner[i] >= 0 && static_cast<std::size_t>(partner[i]) < i) continue;
    Call call;
    call.records.push_back(i);
    if (partner[i] >= 0) call.records.push_back(static_cast<std::size_t>(partner[i]));
    out.calls.push_back(std::move(call));
  }
  // In start order: the earlier end of each call decides.
  std::stable_sort(out.calls.begin(), out.calls.end(), [&](const Call& x, const Call& y) {
    auto first = [&](const Call& c) {
      double s = start[c.records[0]];
      for (std::size_t i : c.records) s = std::min(s, start[i]);
      return s;
    };
    return first(x) < first(y);
  });
  for (Call& call : out.calls)
    std::sort(call.records.begin(), call.records.end(),
              [&](std::size_t x, std::size_t y) { return std::tie(start[x], x) < std::tie(start[y], y); });
  for (std::size_t i : untimed) out.calls.push_back(Call{{i}, Verdict::Fail});

  for (const auto& [p, count] : together) {
    if (p.first == p.second) continue;
    const std::string& a = computers[static_cast<std::size_t>(p.first)];
    const std::string& b = computers[static_cast<std::size_t>(p.second)];
    auto clock = [&](const std::string& id) {
      const auto g = given.find(id);
      return g == given.end() ? 0.0 : g->second;
    };
    out.offsets.push_back({a, b, clock(b) - clock(a) + offsetOf(p), count, isGiven(p)});
  }
  return out;
}

Pairing pairCalls(const std::vector<ScoredRecord>& records, const ClockOffsets& given) {
  std::vector<PairingRecord> in;
  in.reserve(records.size());
  for (const ScoredRecord& r : records) {
    const std::string* id = r.record.value("COMPUTERID");
    in.push_back({id ? *id : std::string(), r.start, r.record.seconds,
                  r.script ? r.script->key : std::string(), r.farEnd});
  }
  Pairing pairing = pairRecords(in, given);
  for (Call& call : pairing.calls) call.verdict = callVerdict(records, call);
  return pairing;
}

Verdict callVerdict(const std::vector<ScoredRecord>& records, const Call& call) {
  Verdict verdict = Verdict::Pass;
  for (std::size_t i : call.records) {
    if (records[i].verdict == Verdict::Incomplete) return Verdict::Incomplete;
    if (records[i].verdict == Verdict::Fail) verdict = Verdict::Fail;
  }
  return verdict;
}

}  // namespace fieldreport
