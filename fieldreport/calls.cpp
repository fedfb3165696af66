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
// Computers under one name whose clocks pairing tells apart.
constexpr std::size_t kMostClocks = 4;
// The least share of the records of a pair of computer names a clock difference explains (1 in).
constexpr std::size_t kFairShare = 4;

struct Candidate {
  std::size_t a, b;  // computer of a <= computer of b (by index); a before b when the same
  double starts;     // start of b - start of a, clocks corrected for the offsets given
  std::optional<double> ends;
  double middle() const { return ends ? (starts + *ends) / 2 : starts; }
  bool agrees() const { return !ends || std::fabs(starts - *ends) <= kEndAgreement; }
};

// The clock differences of one pair of computer names that the records agree on, when they clearly
// do. Each candidate's middle is tried as the difference: the records are put together one to
// one where both their starts and their ends agree with it within kAgreement (closest first), so
// a record counts once and two calls of clearly different lengths never agree. The difference
// whose calls agree best wins (each call weighs 1 when its ends agree exactly, less the further
// apart they are); its value is the median of those calls' middles. It must win clearly (twice)
// over any other that would pair the same records among themselves. Then the records it explains
// are set aside and the rest tried again: one name may stand for several computers (two far ends
// both left at ttysim's default name, two positions on one lab computer), each with its own
// clock; a further difference needs kEstablished calls. Each must explain at least one in
// kFairShare of the records of the computer with fewer of them.
std::vector<double> consistentOffsets(std::vector<Candidate> cs, std::size_t records) {
  // Over a long day a few calls of other positions agree with some difference by chance.
  std::set<std::size_t> firsts, seconds;
  for (const Candidate& c : cs) {
    firsts.insert(c.a);
    seconds.insert(c.b);
  }
  const std::size_t fewer = std::min(firsts.size(), seconds.size());
  std::erase_if(cs, [](const Candidate& c) { return !c.ends || !c.agrees(); });
  std::sort(cs.begin(), cs.end(),
            [](const Candidate& x, const Candidate& y) { return x.middle() < y.middle(); });
  struct Found {
    double weight = 0, offset = 0;
    std::vector<double> middles, weights;
    std::vector<std::size_t> records;  // the two of each call
  };
  std::vector<double> out;
  std::vector<char> used(records, 0), explained(records, 0);
  std::vector<std::pair<double, std::size_t>> near;
  while (out.size() < kMostClocks) {
    std::erase_if(cs, [&](const Candidate& c) { return explained[c.a] || explained[c.b]; });
    std::vector<double> tried;
    for (const Candidate& c : cs) {
      const double d = std::round(c.middle());
      if (tried.empty() || tried.back() != d) tried.push_back(d);
    }
    std::vector<Found> found;
    for (const double d : tried) {
      near.clear();
      auto it = std::lower_bound(cs.begin(), cs.end(), d - kAgreement,
                                 [](const Candidate& c, double v) { return c.middle() < v; });
      for (; it != cs.end() && it->middle() <= d + kAgreement; ++it) {
        const double s = std::fabs(it->starts - d), e = std::fabs(*it->ends - d);
        if (s <= kAgreement && e <= kAgreement)
          near.emplace_back(s + e, static_cast<std::size_t>(it - cs.begin()));
      }
      std::sort(near.begin(), near.end());
      Found f;
      f.offset = d;
      for (const auto& [cost, k] : near) {
        const Candidate& c = cs[k];
        if (used[c.a] || used[c.b]) continue;
        used[c.a] = used[c.b] = 1;
        f.weights.push_back(1 - cost / (2 * kAgreement));
        f.weight += f.weights.back();
        f.middles.push_back(c.middle());
        f.records.insert(f.records.end(), {c.a, c.b});
      }
      for (const auto& [cost, k] : near) used[cs[k].a] = used[cs[k].b] = 0;
      if (!f.middles.empty()) found.push_back(std::move(f));
    }
    if (found.empty()) break;
    const Found& best = *std::min_element(found.begin(), found.end(), [](const Found& x, const Found& y) {
      if (x.weight != y.weight) return x.weight > y.weight;
      return std::fabs(x.offset) < std::fabs(y.offset);
    });
    if (best.middles.size() < (out.empty() ? 2u : static_cast<std::size_t>(kEstablished)) ||
        best.middles.size() * kFairShare < fewer)
      break;
    // Another difference, well away from it, that would put the same records together otherwise
    // (a call each one later, say); its calls with records of the other computers under these
    // names do not count against it.
    for (std::size_t i : best.records) used[i] = 1;
    double rival = 0;
    for (const Found& f : found) {
      if (std::fabs(f.offset - best.offset) <= 2 * kAgreement) continue;
      double weight = 0;
      for (std::size_t k = 0; k < f.weights.size(); ++k)
        if (used[f.records[2 * k]] && used[f.records[2 * k + 1]]) weight += f.weights[k];
      rival = std::max(rival, weight);
    }
    for (std::size_t i : best.records) used[i] = 0;
    if (best.weight < 2 * rival) break;
    std::vector<double> m = best.middles;
    std::sort(m.begin(), m.end());
    out.push_back(m[m.size() / 2]);
    for (std::size_t i : best.records) explained[i] = 1;
  }
  return out;
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
  // The remaining clock differences of each pair of computers (after the given offsets): none
  // (zero) for one computer with itself, for given ones and where nothing stands out; more than
  // one where a name stands for several computers.
  std::map<ComputerPair, std::vector<double>> offset;
  // Pairs of computers whose calls agree on their clock differences: their two ends of one call
  // started within kEndAgreement of each other once the difference is applied.
  std::set<ComputerPair> consistent;
  {
    std::map<ComputerPair, std::vector<Candidate>> byPair;
    for (const Candidate& c : candidates)
      if (computer[c.a] != computer[c.b] && !isGiven(pairOf(c))) byPair[pairOf(c)].push_back(c);
    for (auto& [p, cs] : byPair) {
      std::vector<double> found = consistentOffsets(std::move(cs), n);
      if (found.empty()) continue;
      offset[p] = std::move(found);
      consistent.insert(p);
    }
  }
  // The clock difference of a candidate's pair of computers that it agrees with best, by number.
  auto clockOf = [&](const Candidate& c) -> std::ptrdiff_t {
    const auto it = offset.find(pairOf(c));
    if (it == offset.end()) return -1;
    std::ptrdiff_t best = 0;
    double closest = 0;
    for (std::size_t i = 0; i < it->second.size(); ++i) {
      const double d = it->second[i];
      const double distance = std::fabs(c.starts - d) + (c.ends ? std::fabs(*c.ends - d) : 0.0);
      if (i == 0 || distance < closest) {
        best = static_cast<std::ptrdiff_t>(i);
        closest = distance;
      }
    }
    return best;
  };
  auto offsetOf = [&](const Candidate& c) {
    const std::ptrdiff_t i = clockOf(c);
    return i < 0 ? 0.0 : offset[pairOf(c)][static_cast<std::size_t>(i)];
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
      if (!mains.count(p)) mains[p] = {mostOther(p.first, p.second), mostOther(p.second, p.first)};
    }
    struct Edge {
      double cost, distance;
      std::size_t candidate;
    };
    std::vector<Edge> edges;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      const Candidate& c = candidates[k];
      const ComputerPair p = pairOf(c);
      const double d = offsetOf(c);
      const double starts = std::fabs(c.starts - d);
      if (starts > (consistent.count(p) ? kEndAgreement : static_cast<double>(kPairingSeconds))) continue;
      // One computer cannot hold two calls at once: the two ends overlap in time.
      if (end[c.a] && end[c.b] && !(start[c.a] < *end[c.b] - d && start[c.b] - d < *end[c.a])) continue;
      const double distance = starts + (c.ends ? std::fabs(*c.ends - d) : starts);
      double penalty = 0;
      if (round > 0) {
        // Computers that each take their calls with another, and hardly ever with each other, are
        // not paired: such a record is far more likely one whose own partner was not saved. So
        // too two records of one computer that takes its calls with others: two far ends under
        // one name, each with its own position.
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
    // Closest first can take one good pair at the cost of two: two calls whose four records,
    // taken the other way round, agree better in sum are swapped.
    {
      std::map<std::pair<std::size_t, std::size_t>, double> costOf;
      for (const Edge& e : edges) {
        const Candidate& c = candidates[e.candidate];
        costOf.try_emplace({std::min(c.a, c.b), std::max(c.a, c.b)}, e.cost);
      }
      auto cost = [&](std::size_t x, std::size_t y) -> std::optional<double> {
        const auto it = costOf.find({std::min(x, y), std::max(x, y)});
        if (it == costOf.end()) return std::nullopt;
        return it->second;
      };
      std::vector<std::size_t> firsts;  // the first record of each call, by start
      for (std::size_t i : timed)
        if (next[i] > static_cast<std::ptrdiff_t>(i)) firsts.push_back(i);
      for (bool swapped = true; swapped;) {
        swapped = false;
        for (std::size_t x = 0; x < firsts.size(); ++x)
          for (std::size_t y = x + 1;
               y < firsts.size() && start[firsts[y]] - start[firsts[x]] <= 2 * kPairingSeconds; ++y) {
            const std::size_t a = firsts[x], b = static_cast<std::size_t>(next[a]);
            const std::size_t c = firsts[y], d = static_cast<std::size_t>(next[c]);
            const double now = *cost(a, b) + *cost(c, d);
            for (const auto& [p, q] : {std::pair{c, d}, std::pair{d, c}}) {
              const auto ap = cost(a, p), bq = cost(b, q);
              if (!ap || !bq || *ap + *bq >= now - 1e-9) continue;
              next[a] = static_cast<std::ptrdiff_t>(p), next[p] = static_cast<std::ptrdiff_t>(a);
              next[b] = static_cast<std::ptrdiff_t>(q), next[q] = static_cast<std::ptrdiff_t>(b);
              swapped = true;
              break;
            }
          }
        firsts.clear();
        for (std::size_t i : timed)
          if (next[i] > static_cast<std::ptrdiff_t>(i)) firsts.push_back(i);
      }
    }
    // The clock differences again, from the calls paired where starts and ends agree.
    // (each of a pair's differences from the calls closest to it).
    std::map<std::pair<ComputerPair, std::ptrdiff_t>, std::vector<double>> middles;
    together.clear();
    for (const Candidate& c : candidates) {
      if (next[c.a] != static_cast<std::ptrdiff_t>(c.b)) continue;
      ++together[pairOf(c)];
      if (c.agrees() && computer[c.a] != computer[c.b] && !isGiven(pairOf(c)))
        middles[{pairOf(c), std::max<std::ptrdiff_t>(clockOf(c), 0)}].push_back(c.middle());
    }
    for (auto& [key, m] : middles) {
      if (m.size() < 2) continue;
      std::sort(m.begin(), m.end());
      std::vector<double>& d = offset[key.first];
      if (d.empty()) d.push_back(0);
      d[static_cast<std::size_t>(key.second)] = m[m.size() / 2];
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

  // Each pair of computers' clock differences with the calls that agree with each; one name's
  // several computers each get a line.
  std::map<std::pair<ComputerPair, std::ptrdiff_t>, int> byClock;
  for (const Candidate& c : candidates)
    if (partner[c.a] == static_cast<std::ptrdiff_t>(c.b) && computer[c.a] != computer[c.b])
      ++byClock[{pairOf(c), std::max<std::ptrdiff_t>(clockOf(c), 0)}];
  for (const auto& [key, count] : byClock) {
    const ComputerPair& p = key.first;
    const std::string& a = computers[static_cast<std::size_t>(p.first)];
    const std::string& b = computers[static_cast<std::size_t>(p.second)];
    auto clock = [&](const std::string& id) {
      const auto g = given.find(id);
      return g == given.end() ? 0.0 : g->second;
    };
    const auto it = offset.find(p);
    const double d = it == offset.end() ? 0.0 : it->second[static_cast<std::size_t>(key.second)];
    out.offsets.push_back({a, b, clock(b) - clock(a) + d, count, isGiven(p)});
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
