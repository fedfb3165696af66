// SPDX-License-Identifier: Apache-2.0
// rttmodem's impairments of the text it sends, judged by what the far end received: each packet
// twice, out of order, late, on a new SSRC; the text whole all the same. And rttmodem's own
// receiver given such a stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "far_end.h"
#include "proc.h"

namespace rttmodem::testing {
namespace {

using namespace std::chrono_literals;
const std::string kBin = RTTMODEM_BIN;
const std::string kText = "the quick brown fox jumps over the lazy dog, then does it again";

// rttmodem calls the far end with these options, types kText at 40 characters a second (a dozen
// packets or so), and hangs up once it has gone. The far end's packets, once the BYE came.
std::vector<RtpIn> typedThrough(FarEnd& far, std::vector<std::string> options) {
  std::vector<std::string> args = {"--dial", far.uri(), "--pace", "40"};
  args.insert(args.end(), options.begin(), options.end());
  auto p = std::make_unique<Proc>(kBin, args);
  EXPECT_TRUE(far.waitCall()) << p->err();
  p->write(kText);
  p->closeInput();
  EXPECT_TRUE(far.waitSip("<- BYE", 30s)) << p->err();
  EXPECT_EQ(p->wait(), 0) << p->err();
  // Everything had arrived when the BYE came: the hang-up waited for the impaired packets.
  EXPECT_EQ(far.atRequest("BYE").packets, far.packets().size()) << p->err();
  return far.packets();
}

std::map<std::uint16_t, int> copiesBySeq(const std::vector<RtpIn>& packets) {
  std::map<std::uint16_t, int> n;
  for (const RtpIn& p : packets) ++n[p.seq];
  return n;
}

int outOfOrder(const std::vector<RtpIn>& packets) {
  int n = 0;
  for (std::size_t i = 1; i < packets.size(); ++i)
    n += static_cast<std::uint16_t>(packets[i].seq - packets[i - 1].seq) >= 0x8000;
  return n;
}

TEST(Impaired, DuplicatedPacketsAllArriveTwiceAndTheTextOnce) {
  FarEnd far;
  const auto packets = typedThrough(far, {"--duplicate", "1"});
  const auto copies = copiesBySeq(packets);
  ASSERT_GE(copies.size(), 5u);
  for (auto [seq, n] : copies) EXPECT_EQ(n, 2) << "seq " << seq;
  EXPECT_EQ(far.received(), kText);
}

TEST(Impaired, ReorderedAndJitteredPacketsArriveOutOfOrderYetTheTextIsWhole) {
  for (std::vector<std::string> options : {std::vector<std::string>{"--reorder", "0.5", "--seed", "3"},
                                           std::vector<std::string>{"--jitter", "900", "--seed", "5"}}) {
    SCOPED_TRACE(options[0]);
    FarEnd far;
    const auto packets = typedThrough(far, options);
    EXPECT_GT(outOfOrder(packets), 0);
    // Each packet once: reordered, not lost or repeated.
    const auto copies = copiesBySeq(packets);
    for (auto [seq, n] : copies) EXPECT_EQ(n, 1) << "seq " << seq;
    const std::uint16_t span = static_cast<std::uint16_t>(copies.rbegin()->first - copies.begin()->first);
    EXPECT_EQ(span + 1u, copies.size()) << "no number missing";
    // Two generations of redundancy cover a swap, and a packet overtaken by two (900 ms of jitter
    // on packets 300 ms apart).
    EXPECT_EQ(far.received(), kText);
  }
}

TEST(Impaired, ADelayHoldsEveryPacketBackAtLeastThatLong) {
  FarEnd far;
  Proc p(kBin, {"--dial", far.uri(), "--delay", "1500"});
  ASSERT_TRUE(far.waitCall()) << p.err();
  const auto typedAt = std::chrono::steady_clock::now();
  p.write("late");
  ASSERT_TRUE(far.waitText("late")) << p.err();
  const auto packets = far.packets();
  const auto carrier = std::find_if(packets.begin(), packets.end(),
                                    [](const RtpIn& r) { return r.payload.find("late") != std::string::npos; });
  ASSERT_NE(carrier, packets.end());
  // Made after the text was typed, and held back 1.5 s after that: a bound that cannot flake.
  EXPECT_GE(carrier->at - typedAt, 1500ms);
  p.closeInput();
  EXPECT_EQ(p.wait(), 0) << p.err();
  EXPECT_EQ(far.received(), "late");
}

TEST(Impaired, AnSsrcChangeGivesTheFarEndANewStreamAndTheTextGoesOn) {
  FarEnd far;
  Proc p(kBin, {"--dial", far.uri(), "--ssrc-change", "1"});
  ASSERT_TRUE(far.waitCall()) << p.err();
  p.write("before ");
  ASSERT_TRUE(far.waitText("before ")) << p.err();
  ASSERT_TRUE(p.waitErr("stream-changed ")) << p.err();
  p.write("after");
  ASSERT_TRUE(far.waitText("before after")) << p.err();
  p.closeInput();
  EXPECT_EQ(p.wait(), 0) << p.err();
  const auto packets = far.packets();
  std::vector<std::uint32_t> sources;
  for (const RtpIn& r : packets)
    if (sources.empty() || sources.back() != r.ssrc) sources.push_back(r.ssrc);
  ASSERT_EQ(sources.size(), 2u) << "one change, and no packet of the old stream after it";
  char logged[16];
  std::snprintf(logged, sizeof logged, "%08x", static_cast<unsigned>(sources[1]));
  EXPECT_EQ(p.logValue("stream-changed", "ssrc"), logged);
  // The new stream's text came whole.
  EXPECT_EQ(far.received(), "before after");
}

TEST(Impaired, AReInviteMidCallIsAnsweredAndTheTextGoesOn) {
  FarEnd far;
  Proc p(kBin, {"--dial", far.uri(), "--reinvite", "1"});
  ASSERT_TRUE(far.waitCall()) << p.err();
  p.write("before ");
  ASSERT_TRUE(far.waitText("before ")) << p.err();
  // The call's INVITE, then the re-INVITE in its dialog, answered and acknowledged.
  ASSERT_TRUE(far.waitSip("<- INVITE", 10s, 2)) << p.err();
  ASSERT_TRUE(far.waitSip("<- ACK", 10s, 2)) << p.err();
  ASSERT_TRUE(p.waitErr("re-negotiated ")) << p.err();
  EXPECT_NE(far.lastRequest("INVITE").find("m=text "), std::string::npos);
  p.write("after");
  ASSERT_TRUE(far.waitText("before after")) << p.err();
  p.closeInput();
  EXPECT_EQ(p.wait(), 0) << p.err();
  EXPECT_EQ(far.requests("INVITE"), 2);
  EXPECT_EQ(far.received(), "before after");
}

// A far end that placed the call with numbers of its own finds them kept in our re-INVITE: a
// re-offer that renumbers the formats in force is allowed, but makes some phones start their
// text stream again and drop the text they had to repeat.
TEST(Impaired, AReInviteKeepsThePayloadTypeNumbersOfTheCall) {
  FarEnd::Config config;
  config.media.t140Pt = 97;
  config.media.redPt = 96;
  FarEnd far(config);
  Proc p(kBin, {"--listen", "0", "--reinvite", "1"});
  ASSERT_TRUE(p.waitErr(" ready ")) << p.err();
  ASSERT_TRUE(far.call("sip:rttmodem@127.0.0.1:" + p.logValue("ready", "sip-port"))) << p.err();
  p.write("before ");
  ASSERT_TRUE(far.waitText("before ")) << p.err();
  ASSERT_TRUE(far.waitSip("<- INVITE", 10s, 1)) << p.err();
  ASSERT_TRUE(p.waitErr("re-negotiated ")) << p.err();
  const std::string reoffer = far.lastRequest("INVITE");
  EXPECT_NE(reoffer.find("m=text "), std::string::npos) << reoffer;
  EXPECT_NE(reoffer.find("a=rtpmap:96 red/1000"), std::string::npos) << reoffer;
  EXPECT_NE(reoffer.find("a=rtpmap:97 t140/1000"), std::string::npos) << reoffer;
  EXPECT_NE(reoffer.find("a=fmtp:96 97/97"), std::string::npos) << reoffer;
  p.write("after");
  ASSERT_TRUE(far.waitText("before after")) << p.err();
  EXPECT_EQ(far.received(), "before after");
}

// --add-text: the call is placed with audio alone, text is added by a re-INVITE, and what was
// typed before goes then, whole.
TEST(Impaired, TextAddedToACallPlacedWithoutIt) {
  FarEnd far;
  far.setAnswer(FarEnd::Answer::AudioOnly);
  Proc p(kBin, {"--dial", far.uri(), "--add-text", "3"});
  p.write("typed early ");
  ASSERT_TRUE(far.waitCall()) << p.err();
  const std::string first = far.lastRequest("INVITE");
  EXPECT_NE(first.find("m=audio "), std::string::npos) << first;
  EXPECT_EQ(first.find("m=text"), std::string::npos) << first;
  far.setAnswer(FarEnd::Answer::Normal);
  ASSERT_TRUE(far.waitSip("<- INVITE", 10s, 2)) << p.err();
  const std::string added = far.lastRequest("INVITE");
  EXPECT_LT(added.find("m=audio "), added.find("m=text ")) << added;
  ASSERT_TRUE(far.waitText("typed early ")) << p.err();
  p.write("after");
  ASSERT_TRUE(far.waitText("typed early after")) << p.err();
  p.closeInput();
  EXPECT_EQ(p.wait(), 0) << p.err();
  EXPECT_EQ(far.received(), "typed early after");
}

// A call that ends before its text stream is added: what was typed for it is said to be lost.
TEST(Impaired, TextForACallThatNeverHadAStreamIsReportedLost) {
  FarEnd far;
  far.setAnswer(FarEnd::Answer::AudioOnly);
  Proc p(kBin, {"--dial", far.uri(), "--add-text", "60"});
  p.write("never sent");
  ASSERT_TRUE(far.waitCall()) << p.err();
  ASSERT_TRUE(p.waitErr(" connected ")) << p.err();
  far.bye();
  ASSERT_TRUE(p.waitErr("text-discarded chars=10 ")) << p.err();
  EXPECT_TRUE(p.waitErr("discarded=10")) << p.err();
  EXPECT_EQ(far.received(), "");
}

TEST(Impaired, OurReceiverTakesAStreamReorderedDuplicatedAndSwitchedWholeAndOnce) {
  FarEnd far;
  Proc p(kBin, {"--listen", "0"});
  ASSERT_TRUE(p.waitErr(" ready ")) << p.err();
  ASSERT_TRUE(far.call("sip:rttmodem@127.0.0.1:" + p.logValue("ready", "sip-port"))) << p.err();
  ASSERT_TRUE(p.waitErr(" connected ")) << p.err();
  far.setSsrc(0xAAAA, 100);
  const RtpOut a1 = far.nextPacket("one "), a2 = far.nextPacket("two "), a3 = far.nextPacket("three ");
  far.setSsrc(0xBBBB, 7);  // a new leg, while a3 is still on its way
  const RtpOut b1 = far.nextPacket("four "), b2 = far.nextPacket("five ");
  for (const RtpOut* o : {&a2, &a1, &a1, &b1, &a3, &a2, &b2, &b2}) far.sendRtp(*o);
  ASSERT_TRUE(p.waitOut("five ")) << p.out() << p.err();
  // Each text once, nothing marked lost; the latecomer's text where it came.
  EXPECT_EQ(p.out(), "one two four three five ") << p.err();
  far.bye();
  EXPECT_EQ(p.wait(), 0) << p.err();
}

}  // namespace
}  // namespace rttmodem::testing
