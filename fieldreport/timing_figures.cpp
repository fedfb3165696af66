// SPDX-License-Identifier: Apache-2.0
#include "timing_figures.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <thread>

#include "alignment.h"

namespace fieldreport {
namespace {

template <typename F>
void forEachIndex(std::size_t n, unsigned jobs, F f) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < n;) f(i);
  };
  const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(std::max(jobs, 1u), n));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
}

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One side's turns of the script as typed (each line followed by the line end, "~" dropped,
// {call} as the number), trimmed of spaces at the end as a reference is, with each character's
// turn.
std::pair<std::string, std::vector<int>> turnsText(const Script& script, fieldtext::Side side, bool handTyped,
                                                   std::optional<int> callNumber) {
  std::string text;
  std::vector<int> turnOf;
  for (std::size_t i = 0; i < script.turns.size(); ++i) {
    if ((i % 2 == 0) != (side == fieldtext::Side::Odd)) continue;
    std::string typed;
    for (const std::string& line : script.turns[i]) {
      for (char c : line)
        if (c != '~') typed += c;
      if (!handTyped) typed += ' ';
    }
    if (callNumber) {
      const std::string number = std::to_string(*callNumber);
      for (std::size_t at = 0; (at = typed.find(kCallMark, at)) != std::string::npos; at += number.size())
        typed.replace(at, kCallMark.size(), number);
    }
    text += typed;
    turnOf.insert(turnOf.end(), typed.size(), static_cast<int>(i + 1));
  }
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
    turnOf.pop_back();
  }
  return {text, turnOf};
}

fieldtext::Side otherSide(fieldtext::Side s) {
  return s == fieldtext::Side::Odd ? fieldtext::Side::Even : fieldtext::Side::Odd;
}

// A reference in score's kept characters, with each one's turn.
struct Reference {
  KeptText kept;
  std::vector<int> turn;
};

Reference referenceOf(const std::string& text, const std::pair<std::string, std::vector<int>>& turns) {
  Reference r;
  r.kept = keptText(text);
  const bool known = turns.first == text;
  for (int from : r.kept.from) r.turn.push_back(known ? turns.second[static_cast<std::size_t>(from)] : 0);
  return r;
}

// Characters of one direction of a record's times, as score keeps them, with their times.
// Control codes (below 32) are left out: a modem's in-band codes (the NXi's 18, 20, 30 and 31,
// its carrier lamps) are on the line but never in the capture's text, and some of them share a
// Baudot code with a space, so the alignment would give a turn's last space the time of the next
// turn's first code.
struct Events {
  std::string text;
  std::vector<long long> ms;
};
Events eventsOf(const timing::RecordTimes& times, timing::Direction direction) {
  Events e;
  for (const timing::CharTime& c : times.chars) {
    if (c.direction != direction || c.code < 32) continue;
    const std::string kept = keptText(std::string(1, static_cast<char>(c.code))).text;
    if (kept.empty()) continue;
    e.text += kept;
    e.ms.push_back(c.ms);
  }
  return e;
}

// A record's received direction: the scorer's alignment of its texts, which turn each received
// character belongs to, and when it arrived (from the record's times).
struct Received {
  const TimingInput* in = nullptr;
  Reference ref;
  KeptText recv;
  std::vector<std::pair<int, int>> pairs;  // kept reference, kept received
  std::vector<int> recvTurn;               // 0: before anything matched
  std::vector<std::optional<long long>> recvMs;

  // When the last matched character of the turn other than a space (normally the A of its GA)
  // arrived here, in ms from this record's start.
  std::optional<long long> lastOfTurn(int turn) const {
    for (auto p = pairs.rbegin(); p != pairs.rend(); ++p) {
      const auto i = static_cast<std::size_t>(p->first), j = static_cast<std::size_t>(p->second);
      if (ref.turn[i] == turn && ref.kept.text[i] != ' ' && recvMs[j]) return recvMs[j];
    }
    return std::nullopt;
  }
};

Received analyse(const TimingInput& in) {
  Received r;
  r.in = &in;
  r.ref = referenceOf(in.texts->reference, turnsText(*in.script, in.farEnd, in.handTyped, in.callNumber));
  r.recv = keptText(in.texts->received);
  r.pairs = alignedPairs(r.ref.kept.text, r.recv.text);
  // A received character belongs to the turn of the matched one at or before it (extra
  // characters after a turn go with that turn), or of the first matched one after it.
  r.recvTurn.assign(r.recv.text.size(), 0);
  for (const auto& [i, j] : r.pairs)
    r.recvTurn[static_cast<std::size_t>(j)] = r.ref.turn[static_cast<std::size_t>(i)];
  int turn = 0;
  for (int& t : r.recvTurn) t = t ? (turn = t) : turn;
  if (!r.pairs.empty()) {
    const int first = r.ref.turn[static_cast<std::size_t>(r.pairs.front().first)];
    for (int& t : r.recvTurn) t = t ? t : first;
  }
  r.recvMs.assign(r.recv.text.size(), std::nullopt);
  if (in.times) {
    const Events e = eventsOf(*in.times, timing::Direction::Received);
    for (const auto& [j, k] : alignedPairs(r.recv.text, e.text))
      r.recvMs[static_cast<std::size_t>(j)] = e.ms[static_cast<std::size_t>(k)];
  }
  return r;
}

// A sender's characters against the reference of its turns: when each reference character was
// sent, and per turn the first one's time and how many were sent from the first matched one to
// the last.
struct Sent {
  std::vector<std::optional<long long>> ms;        // per kept reference character
  std::map<int, std::pair<int, long long>> turns;  // turn -> characters sent, first one's time
};

Sent sentAgainst(const Reference& ref, const timing::RecordTimes& times) {
  Sent s;
  s.ms.assign(ref.kept.text.size(), std::nullopt);
  const Events e = eventsOf(times, timing::Direction::Sent);
  std::map<int, std::pair<int, int>> span;  // turn -> first and last matched event
  for (const auto& [i, k] : alignedPairs(ref.kept.text, e.text)) {
    s.ms[static_cast<std::size_t>(i)] = e.ms[static_cast<std::size_t>(k)];
    const int turn = ref.turn[static_cast<std::size_t>(i)];
    auto [it, added] = span.try_emplace(turn, k, k);
    it->second.second = k;
  }
  for (const auto& [turn, fl] : span)
    s.turns[turn] = {fl.second - fl.first + 1, e.ms[static_cast<std::size_t>(fl.first)]};
  return s;
}

// One direction of a call: the sender's turns as the receiver's record and both ends' times
// give them, with the raw delays (the receiver's clock less the sender's) of the matched
// characters, in ms.
struct Direction {
  std::vector<TurnTiming> turns;
  std::vector<std::vector<long long>> raw;  // per turn
  std::vector<long long> all() const {
    std::vector<long long> v;
    for (const auto& r : raw) v.insert(v.end(), r.begin(), r.end());
    return v;
  }
};

Direction assemble(const Received* sender, const Received* receiver, const Script& script,
                   fieldtext::Side senderSide) {
  Direction d;
  const timing::RecordTimes* sent = sender ? sender->in->times : nullptr;
  const timing::RecordTimes* got = receiver ? receiver->in->times : nullptr;
  // The sender's turns as the receiver scored them; without a receiver, as the sender types them.
  Reference own;
  if (!receiver && sent) {
    const TimingInput& in = *sender->in;
    const auto turns = turnsText(script, senderSide, in.ownHandTyped, std::nullopt);
    own = referenceOf(turns.first, turns);
  }
  const Reference* ref = receiver ? &receiver->ref : sent ? &own : nullptr;
  std::optional<Sent> times;
  if (sent && ref) times = sentAgainst(*ref, *sent);

  for (std::size_t i = 0; i < script.turns.size(); ++i) {
    if ((i % 2 == 0) != (senderSide == fieldtext::Side::Odd)) continue;
    const int k = static_cast<int>(i + 1);
    TurnTiming t;
    t.turn = k;
    std::vector<long long> raw;
    if (receiver) {
      const Received& r = *receiver;
      const auto b = std::find(r.ref.turn.begin(), r.ref.turn.end(), k) - r.ref.turn.begin();
      const auto e = std::find_if(r.ref.turn.begin() + b, r.ref.turn.end(), [k](int x) { return x != k; }) -
                     r.ref.turn.begin();
      std::optional<long long> firstMatched;
      for (const auto& [ri, rj] : r.pairs)
        if (ri >= b && ri < e) {
          firstMatched = ri;
          break;
        }
      t.lostAtStart = static_cast<int>((firstMatched ? *firstMatched : e) - b);
      int count = 0, timed = 0;
      long long first = 0, last = 0;
      for (std::size_t j = 0; j < r.recvTurn.size(); ++j) {
        if (r.recvTurn[j] != k) continue;
        ++count;
        if (!r.recvMs[j]) continue;
        first = timed ? std::min(first, *r.recvMs[j]) : *r.recvMs[j];
        last = timed ? std::max(last, *r.recvMs[j]) : *r.recvMs[j];
        ++timed;
      }
      t.charsReceived = count;
      if (got && timed >= 2 && last > first)
        t.cps = (timed - 1) / (static_cast<double>(last - first) / 1000.0);
      if (times && got)
        for (const auto& [ri, rj] : r.pairs) {
          const auto si = static_cast<std::size_t>(ri), sj = static_cast<std::size_t>(rj);
          if (r.ref.turn[si] != k || !times->ms[si] || !r.recvMs[sj]) continue;
          raw.push_back((got->startMs + *r.recvMs[sj]) - (sent->startMs + *times->ms[si]));
        }
    }
    if (times) {
      const auto turn = times->turns.find(k);
      t.charsSent = turn == times->turns.end() ? 0 : turn->second.first;
      if (turn != times->turns.end() && k > 1)
        if (const auto ga = sender->lastOfTurn(k - 1))
          t.replyDelay = static_cast<double>(turn->second.second - *ga) / 1000.0;
    }
    d.turns.push_back(t);
    d.raw.push_back(std::move(raw));
  }
  return d;
}

// Applies a clock difference to a direction's raw delays: `ahead` is how far the receiver's
// clock read ahead of the sender's, in ms.
void applyClock(Direction& d, double ahead) {
  for (std::size_t t = 0; t < d.turns.size(); ++t) {
    d.turns[t].delays.clear();
    for (long long raw : d.raw[t]) d.turns[t].delays.push_back((static_cast<double>(raw) - ahead) / 1000.0);
  }
}

double medianOf(const std::vector<long long>& v) {
  std::vector<double> d(v.begin(), v.end());
  return medianOf(std::move(d));
}

}  // namespace

std::optional<Spread> spreadOf(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  Spread s;
  s.count = values.size();
  s.median = medianOf(values);
  const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(values.size())));
  s.p95 = values[std::max<std::size_t>(rank, 1) - 1];
  s.max = values.back();
  return s;
}

TimingFigures timingFigures(const std::vector<TimingInput>& records, const std::vector<Call>& calls,
                            const ClockOffsets& given, unsigned jobs) {
  // Kept whole: its steps hand each other the analysed records and directions of every call.
  TimingFigures out;
  out.turns.resize(records.size());
  out.calls.resize(calls.size());

  // The records of calls with times at either end.
  std::vector<char> needed(records.size(), 0);
  for (const Call& call : calls) {
    bool timed = false;
    for (std::size_t i : call.records) timed = timed || records[i].times;
    if (timed)
      for (std::size_t i : call.records) needed[i] = 1;
  }
  std::vector<Received> received(records.size());
  forEachIndex(records.size(), jobs, [&](std::size_t i) {
    if (needed[i] && records[i].texts && records[i].script) received[i] = analyse(records[i]);
  });

  // Each call's directions: [0] into its first record (from the second, or from nobody), [1]
  // into the second, or out of a lone record.
  std::vector<std::vector<Direction>> directions(calls.size());
  forEachIndex(calls.size(), jobs, [&](std::size_t c) {
    const Call& call = calls[c];
    if (!needed[call.records.front()]) return;
    const TimingInput& a = records[call.records[0]];
    auto analysed = [&](std::size_t i) { return received[i].in ? &received[i] : nullptr; };
    const Received* ra = analysed(call.records[0]);
    if (!ra) return;
    if (call.records.size() == 1) {
      directions[c].push_back(assemble(nullptr, ra, *a.script, a.farEnd));
      directions[c].push_back(assemble(ra, nullptr, *a.script, otherSide(a.farEnd)));
      return;
    }
    const TimingInput& b = records[call.records[1]];
    const Received* rb = analysed(call.records[1]);
    if (!rb) return;
    directions[c].push_back(assemble(rb, ra, *a.script, a.farEnd));
    directions[c].push_back(assemble(ra, rb, *b.script, b.farEnd));
  });

  // The clocks: each call's own estimate, then the computers' median for the calls without one.
  auto computers = [&](const Call& call) {
    return std::pair{records[call.records[0]].computer, records[call.records[1]].computer};
  };
  std::map<std::pair<std::string, std::string>, std::vector<double>> estimates;       // names in order
  std::map<std::pair<std::string, std::string>, std::vector<double>> givenEstimates;  // shown, not used
  for (std::size_t c = 0; c < calls.size(); ++c) {
    if (calls[c].records.size() != 2 || directions[c].empty()) continue;
    const auto [ca, cb] = computers(calls[c]);
    CallClock& clock = out.calls[c];
    const bool isGiven = given.count(ca) || given.count(cb);
    if (isGiven) {
      auto g = [&](const std::string& id) { return given.count(id) ? given.at(id) : 0.0; };
      clock = {g(cb) - g(ca), CallClock::From::Given};
    }
    const std::vector<long long> intoA = directions[c][0].all(), intoB = directions[c][1].all();
    if (intoA.empty() || intoB.empty()) continue;
    // Into b: delay + (b's clock - a's); into a: delay - (b's clock - a's).
    const double ahead = (medianOf(intoB) - medianOf(intoA)) / 2 / 1000.0;
    if (!isGiven) clock = {ahead, CallClock::From::Characters};
    auto& list = isGiven ? givenEstimates : estimates;
    if (ca <= cb) {
      list[{ca, cb}].push_back(ahead);
    } else {
      list[{cb, ca}].push_back(-ahead);
    }
  }
  std::map<std::pair<std::string, std::string>, double> typical;
  for (const auto& [pair, values] : estimates) {
    const double m = medianOf(values);
    typical[pair] = m;
    out.clocks.push_back({pair.first, pair.second, m, *std::min_element(values.begin(), values.end()),
                          *std::max_element(values.begin(), values.end()), static_cast<int>(values.size()),
                          false, std::nullopt});
  }
  std::map<std::pair<std::string, std::string>, int> givenCalls;
  for (std::size_t c = 0; c < calls.size(); ++c) {
    if (calls[c].records.size() != 2 || directions[c].empty()) continue;
    const auto [ca, cb] = computers(calls[c]);
    CallClock& clock = out.calls[c];
    if (clock.from == CallClock::From::Given) ++givenCalls[ca <= cb ? std::pair{ca, cb} : std::pair{cb, ca}];
    if (clock.seconds) continue;
    const bool inOrder = ca <= cb;
    const auto it = typical.find(inOrder ? std::pair{ca, cb} : std::pair{cb, ca});
    if (it != typical.end()) clock = {inOrder ? it->second : -it->second, CallClock::From::Computers};
  }
  for (const auto& [pair, count] : givenCalls) {
    auto g = [&](const std::string& id) { return given.count(id) ? given.at(id) : 0.0; };
    const double s = g(pair.second) - g(pair.first);
    out.clocks.push_back({pair.first, pair.second, s, s, s, count, true, std::nullopt});
    if (const auto e = givenEstimates.find(pair); e != givenEstimates.end())
      out.clocks.back().characters = medianOf(e->second);
  }

  for (std::size_t c = 0; c < calls.size(); ++c) {
    if (directions[c].empty()) continue;
    const Call& call = calls[c];
    std::vector<Direction>& d = directions[c];
    if (call.records.size() == 2 && out.calls[c].seconds) {
      const double ahead = *out.calls[c].seconds * 1000.0;  // b's clock less a's
      applyClock(d[0], -ahead);
      applyClock(d[1], ahead);
    }
    // A record's far-end turns come in, its own go out.
    auto rows = [](const Direction& far, const Direction& near) {
      std::vector<TurnTiming> turns = far.turns;
      for (TurnTiming t : near.turns) {
        t.near = true;
        turns.push_back(std::move(t));
      }
      std::sort(turns.begin(), turns.end(),
                [](const TurnTiming& x, const TurnTiming& y) { return x.turn < y.turn; });
      return turns;
    };
    out.turns[call.records[0]] = rows(d[0], d[1]);
    if (call.records.size() == 2) out.turns[call.records[1]] = rows(d[1], d[0]);
  }
  return out;
}

std::vector<double> receivedDelays(const ScoredRecord& record) {
  std::vector<double> v;
  for (const TurnTiming& t : record.timing)
    if (!t.near) v.insert(v.end(), t.delays.begin(), t.delays.end());
  return v;
}

std::vector<double> ownReplyDelays(const ScoredRecord& record) {
  std::vector<double> v;
  for (const TurnTiming& t : record.timing)
    if (t.near && t.replyDelay) v.push_back(*t.replyDelay);
  return v;
}

}  // namespace fieldreport
