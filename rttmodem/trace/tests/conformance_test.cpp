// SPDX-License-Identifier: Apache-2.0
// The rules against a far end of our own: a well-behaved one passes every rule (and puts every
// rule to the test), and each fault seen in real phones and gateways is flagged by exactly the
// rule for it, with evidence that names where, while every other rule still passes.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "conformance.h"
#include "far_end_double.h"

namespace rttmodem::trace {
namespace {

using testing::Faults;
using testing::farEndDay;

struct DayVerdicts {
  std::map<std::string, Verdict> verdict;             // the worst over the day's calls
  std::map<std::string, std::vector<std::string>> evidence;
  std::map<std::string, std::string> summaries;
};

DayVerdicts judgeDay(const std::vector<Trace>& day) {
  DayVerdicts d;
  for (const Trace& t : day) {
    for (const RuleResult& r : judge(t)) {
      const std::string id(r.rule->id);
      d.verdict[id] = worst(d.verdict.count(id) ? d.verdict[id] : Verdict::NotExercised, r.verdict);
      d.summaries[id] += r.summary + "; ";
      for (const std::string& e : r.evidence) d.evidence[id].push_back(e);
    }
  }
  return d;
}

std::string describe(const DayVerdicts& d) {
  std::string s;
  for (const auto& [id, v] : d.verdict) {
    s += "  " + id + ": " + std::string(verdictName(v)) + " - " + d.summaries.at(id) + "\n";
    if (d.evidence.count(id))
      for (const std::string& e : d.evidence.at(id)) s += "      " + e + "\n";
  }
  return s;
}

TEST(Conformance, AWellBehavedFarEndPassesEveryRuleAndEachIsPutToTheTest) {
  const DayVerdicts d = judgeDay(farEndDay({}));
  ASSERT_EQ(d.verdict.size(), rules().size());
  for (const Rule& rule : rules())
    EXPECT_EQ(d.verdict.at(std::string(rule.id)), Verdict::Pass) << rule.id << "\n" << describe(d);
}

struct KnownFault {
  const char* name;
  Faults faults;
  const char* rule;
  const char* evidence;                      // found in the failing rule's evidence
  std::set<std::string> moot = {};           // rules the fault leaves with nothing to judge
};

std::vector<KnownFault> knownFaults() {
  auto with = [](auto set) {
    Faults f;
    set(f);
    return f;
  };
  return {
      {"RedNegotiatedButNotSent", with([](Faults& f) { f.redNotSent = true; }), "red.sent", "none of the far end's",
       {"red.equal"}},
      {"TwoInterleavedStreams", with([](Faults& f) { f.twoStreams = true; }), "stream.single",
       "T.140 and red packets in one stream"},
      {"AnswerAlwaysClaimsTwoGenerations", with([](Faults& f) { f.fixedLevel2Answer = true; }), "sdp.answer",
       "claims 2 redundant generations, the offer 1"},
      {"NoMarkerBitAfterIdle", with([](Faults& f) { f.noMarkerAfterIdle = true; }), "rtp.marker",
       "of silence without the marker bit"},
      {"SendsEvery700ms", with([](Faults& f) { f.intervalMs = 700; }), "timing.interval", "700 ms after"},
      {"TextClockAt8000Hz", with([](Faults& f) { f.clockHz = 8000; }), "rtp.clock", "about 8000 Hz"},
      {"NoOpeningBom", with([](Faults& f) { f.noOpeningBom = true; }), "stream.bom", "opens with \"H"},
      {"RefusesAnOfferWithTextAndAudio", with([](Faults& f) { f.refuseMixedOffers = true; }), "sdp.no-488",
       "488 Not Acceptable Here", {"sdp.add-text", "call.audio-hold"}},
      {"TextLostAfterAReinvite", with([](Faults& f) { f.textLostAfterReinvite = true; }), "call.reinvite",
       "the far side showed none"},
      {"TextStoppedByInactiveAudio", with([](Faults& f) { f.textStoppedByHold = true; }), "call.audio-hold",
       "the far end sent nothing"},
      // Faults beyond those seen in the field, one for each remaining rule.
      {"RepeatsTextAfterAReinvite", with([](Faults& f) { f.repeatsAfterReinvite = true; }), "text.delivery",
       "arrived twice"},
      {"Latin1InItsText", with([](Faults& f) { f.invalidUtf8 = true; }), "text.utf8", "(0xE9) is not UTF-8"},
      {"FloodsFasterThanTheCps", with([](Faults& f) { f.floods = true; }), "rate.cps", "(cps 30: 300)"},
      {"GarbledRedundancy", with([](Faults& f) { f.garbledRedundancy = true; }), "red.equal", "holds \"XX\""},
  };
}

void PrintTo(const KnownFault& k, std::ostream* os) { *os << k.name; }

class KnownFaults : public ::testing::TestWithParam<KnownFault> {};

TEST_P(KnownFaults, AreFlaggedByExactlyTheirRule) {
  const KnownFault& k = GetParam();
  const DayVerdicts d = judgeDay(farEndDay(k.faults));
  for (const Rule& rule : rules()) {
    const std::string id(rule.id);
    const Verdict v = d.verdict.at(id);
    if (id == k.rule) {
      EXPECT_EQ(v, Verdict::Fail) << id << "\n" << describe(d);
      std::string all;
      for (const std::string& e : d.evidence.count(id) ? d.evidence.at(id) : std::vector<std::string>()) all += e + "\n";
      EXPECT_NE(all.find(k.evidence), std::string::npos) << "evidence of " << id << ":\n" << all;
      EXPECT_TRUE(all.find("packet") != std::string::npos || all.find("cseq") != std::string::npos)
          << "the evidence names no packet or message:\n" << all;
    } else if (k.moot.count(id)) {
      EXPECT_EQ(v, Verdict::NotExercised) << id << "\n" << describe(d);
    } else {
      EXPECT_EQ(v, Verdict::Pass) << id << "\n" << describe(d);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FarEnd, KnownFaults, ::testing::ValuesIn(knownFaults()),
                         [](const ::testing::TestParamInfo<KnownFault>& info) { return std::string(info.param.name); });

// ---- what the rules must not take for a fault ---------------------------------------------------

const RuleResult& resultOf(const std::vector<RuleResult>& results, std::string_view id) {
  for (const RuleResult& r : results)
    if (r.rule->id == id) return r;
  throw std::logic_error("no rule " + std::string(id));
}

TEST(Conformance, NetworkJitterIsNotTakenForTheFarEndsPace) {
  // Every far-end packet arrives up to 45 ms late, at random: its own timestamps keep the pace.
  Trace call = farEndDay({}).front();
  unsigned state = 7;
  for (Event& e : call.events)
    if (auto* p = std::get_if<RtpPacket>(&e); p && p->dir == Direction::In) {
      state = state * 1103515245u + 12345u;
      p->us += (state >> 16) % 45000;
    }
  const auto results = judge(call);
  for (std::string_view id : {"timing.interval", "rtp.marker", "rtp.clock", "rate.cps"})
    EXPECT_EQ(resultOf(results, id).verdict, Verdict::Pass) << id << ": " << resultOf(results, id).summary;
}

TEST(Conformance, ASsrcChangeIsASwitchOnlyWhenTheOldStreamStops) {
  Trace call = farEndDay({}).front();
  // From the session refresh on (its answer at 50.08 s), the far end sends under a new SSRC.
  auto change = [&](std::int64_t fromUs) {
    Trace t = call;
    for (Event& e : t.events)
      if (auto* p = std::get_if<RtpPacket>(&e); p && p->dir == Direction::In && p->us >= fromUs) p->ssrc = 0xB2B0A000;
    return t;
  };
  auto single = [](const Trace& t) { return resultOf(judge(t), "stream.single"); };
  EXPECT_EQ(single(change(50'100'000)).verdict, Verdict::Pass) << single(change(50'100'000)).summary;
  // The same change with no session change before it: allowed, but worth a look.
  const RuleResult unannounced = single(change(40'000'000));
  EXPECT_EQ(unannounced.verdict, Verdict::Warn);
  ASSERT_FALSE(unannounced.evidence.empty());
  EXPECT_NE(unannounced.evidence[0].find("with no session change"), std::string::npos);
  // Packets of the old SSRC after the new one began: two streams.
  Trace both = change(40'000'000);
  int n = 0;
  for (Event& e : both.events)
    if (auto* p = std::get_if<RtpPacket>(&e); p && p->dir == Direction::In && p->us >= 40'000'000 && n++ % 2)
      p->ssrc = 0x5eed0001;
  EXPECT_EQ(single(both).verdict, Verdict::Fail);
}

TEST(Conformance, NothingFromTheFarEndLeavesItsRulesNotExercised) {
  // The far end answers but never sends a packet: no rule about its packets can pass.
  Trace call = farEndDay({}).back();
  std::erase_if(call.events, [](const Event& e) {
    auto* p = std::get_if<RtpPacket>(&e);
    return p && p->dir == Direction::In;
  });
  const auto results = judge(call);
  for (std::string_view id : {"red.sent", "red.equal", "stream.single", "stream.bom", "rtp.marker", "rtp.clock",
                              "timing.interval", "rate.cps", "text.utf8"})
    EXPECT_EQ(resultOf(results, id).verdict, Verdict::NotExercised) << id << ": " << resultOf(results, id).summary;
  EXPECT_EQ(resultOf(results, "sdp.text-only").verdict, Verdict::Pass);
}

TEST(Conformance, ALossTheFarEndFilledFromItsRedundancyIsNoFault) {
  // Two packets in a row lost on the way: the generations after them carry their text.
  Trace call = farEndDay({}).front();
  int textPackets = 0;
  std::erase_if(call.events, [&](const Event& e) {
    auto* p = std::get_if<RtpPacket>(&e);
    if (!p || p->dir != Direction::In || p->text.empty()) return false;
    ++textPackets;
    return textPackets == 5 || textPackets == 6;
  });
  const auto results = judge(call);
  for (const RuleResult& r : results)
    EXPECT_NE(r.verdict, Verdict::Fail) << r.rule->id << ": " << (r.evidence.empty() ? r.summary : r.evidence[0]);
}

}  // namespace
}  // namespace rttmodem::trace

namespace rttmodem::trace {
namespace {

TEST(Conformance, AHugeHostileCallIsJudgedAllTheSame) {
  // 40,000 packets, every other one under an SSRC of its own, 2,000 re-INVITEs, 100,000 characters
  // typed at the far side and other text arriving: each rule comes to a verdict (the comparison of
  // the texts as far as its steps allow), none takes the time of every pair of packets or messages.
  Trace t;
  const std::string body = "v=0\r\nm=audio 9 RTP/AVP 0\r\nm=text 9 RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\n"
                           "a=fmtp:100 98/98/98\r\na=rtpmap:98 t140/1000\r\n";
  for (int i = 0; i < 2000; ++i) {
    SipMessage invite;
    invite.us = i * 200'000LL;
    invite.dir = Direction::Out;
    invite.method = "INVITE";
    invite.cseq = static_cast<std::uint32_t>(i + 1);
    invite.sdp = SdpRole::Offer;
    invite.body = body;
    SipMessage ok = invite;
    ok.us += 1000;
    ok.dir = Direction::In;
    ok.method.clear();
    ok.status = 200;
    ok.cseqMethod = "INVITE";
    ok.sdp = SdpRole::Answer;
    t.events.push_back(invite);
    t.events.push_back(ok);
  }
  unsigned state = 1;
  for (int i = 0; i < 40000; ++i) {
    RtpPacket p;
    p.us = i * 10'000LL + 5000;
    p.ssrc = i % 2 ? static_cast<std::uint32_t>(i) : 7u;
    p.seq = static_cast<std::uint16_t>(i);
    p.ts = static_cast<std::uint32_t>(i * 10);
    p.pt = 100;
    p.kind = PayloadKind::Red;
    p.primaryPt = 98;
    p.generations = {{98, 10, "q"}, {98, 20, "r"}};
    state = state * 1103515245u + 12345u;
    p.text = std::string(1, static_cast<char>('a' + (state >> 16) % 26));
    t.events.push_back(std::move(p));
  }
  std::string typed;
  for (int i = 0; i < 100000; ++i) typed += static_cast<char>('a' + (i * 7) % 26);
  t.events.push_back(TextEvent{1'000'000, TextEvent::Kind::Typed, "far", typed});

  const auto results = judge(t);
  ASSERT_EQ(results.size(), rules().size());
  EXPECT_EQ(resultOf(results, "stream.single").verdict, Verdict::Fail);
  EXPECT_EQ(resultOf(results, "rate.cps").verdict, Verdict::Fail);
  const RuleResult& delivery = resultOf(results, "text.delivery");
  EXPECT_NE(delivery.verdict, Verdict::NotExercised);
  EXPECT_NE(delivery.summary.find("compared up to character"), std::string::npos) << delivery.summary;
}

}  // namespace
}  // namespace rttmodem::trace
