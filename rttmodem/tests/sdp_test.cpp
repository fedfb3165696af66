// SPDX-License-Identifier: Apache-2.0
#include "sdp.h"

#include <gtest/gtest.h>

#include "loss.h"
#include "result.h"
#include "uri.h"

namespace rttmodem::sip {
namespace {

LocalMedia ours(int generations = 2) {
  LocalMedia m;
  m.address = "127.0.0.1";
  m.audioPort = 20000;
  m.textPort = 20002;
  m.generations = generations;
  return m;
}

TEST(Sdp, OfferPutsAudioFirstAndNamesTheRedundancy) {
  const std::string offer = buildOffer(ours());
  const std::size_t audio = offer.find("m=audio 20000 RTP/AVP 0 8\r\n");
  const std::size_t text = offer.find("m=text 20002 RTP/AVP 100 98\r\n");
  ASSERT_NE(audio, std::string::npos);
  ASSERT_NE(text, std::string::npos);
  EXPECT_LT(audio, text);
  EXPECT_NE(offer.find("a=rtpmap:100 red/1000\r\na=fmtp:100 98/98/98\r\na=rtpmap:98 t140/1000\r\n"),
            std::string::npos);
  const std::string plain = buildOffer(ours(0));
  EXPECT_NE(plain.find("m=text 20002 RTP/AVP 98\r\n"), std::string::npos);
  EXPECT_EQ(plain.find("red"), std::string::npos);
}

TEST(Sdp, AnswersWithTheOffersNumbersAndRefusesWhatItDoesNotCarry) {
  // A far end with its own numbers, a video line, and text before audio.
  const char* offer =
      "v=0\r\no=- 1 1 IN IP4 10.0.0.9\r\ns=-\r\nc=IN IP4 10.0.0.9\r\nt=0 0\r\n"
      "m=text 7000 RTP/AVP 111 112\r\na=rtpmap:111 red/1000\r\na=fmtp:111 112/112/112\r\n"
      "a=rtpmap:112 t140/1000\r\n"
      "m=video 7002 RTP/AVP 96\r\na=rtpmap:96 VP8/90000\r\n"
      "m=audio 7004 RTP/AVP 8 101\r\nc=IN IP4 10.0.0.10\r\na=rtpmap:101 telephone-event/8000\r\n";
  std::string error, answer;
  auto parsed = parseSdp(offer, &error);
  ASSERT_TRUE(parsed) << error;
  auto n = answerOffer(*parsed, ours(), &answer, &error);
  ASSERT_TRUE(n) << error;
  EXPECT_EQ(n->textAddress, "10.0.0.9");
  EXPECT_EQ(n->textPort, 7000);
  EXPECT_EQ(n->sendT140Pt, 112);
  EXPECT_EQ(n->recvRedPt, 111);
  EXPECT_EQ(n->generations, 2);
  EXPECT_EQ(n->audioAddress, "10.0.0.10");  // the media's own connection line
  EXPECT_EQ(n->audioPt, 8);
  // Same order as the offer; video refused with port 0.
  const std::size_t t = answer.find("m=text 20002 RTP/AVP 111 112\r\n"),
                    v = answer.find("m=video 0 RTP/AVP 96\r\n"),
                    a = answer.find("m=audio 20000 RTP/AVP 8\r\n");
  ASSERT_NE(t, std::string::npos);
  ASSERT_NE(v, std::string::npos);
  ASSERT_NE(a, std::string::npos);
  EXPECT_LT(t, v);
  EXPECT_LT(v, a);
  EXPECT_NE(answer.find("a=fmtp:111 112/112/112\r\n"), std::string::npos);
  // Our own answer to our own offer settles the same media from the offerer's side.
  std::string ourAnswer;
  auto ourOffer = parseSdp(buildOffer(ours()), &error);
  ASSERT_TRUE(answerOffer(*ourOffer, ours(1), &ourAnswer, &error));
  auto back = readAnswer(*parseSdp(ourAnswer, &error), ours(), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->sendRedPt, 100);
  EXPECT_EQ(back->recvT140Pt, 98);
  EXPECT_EQ(back->textPort, 20002);
}

TEST(Sdp, WithoutRedundancyTheTextIsPlainT140) {
  const char* offer = "v=0\r\nc=IN IP4 1.2.3.4\r\nm=text 5000 RTP/AVP 98\r\na=rtpmap:98 t140/1000\r\n";
  std::string error, answer;
  auto n = answerOffer(*parseSdp(offer, &error), ours(), &answer, &error);
  ASSERT_TRUE(n) << error;
  EXPECT_EQ(n->generations, 0);
  EXPECT_EQ(n->recvRedPt, -1);
  EXPECT_EQ(n->audioPort, 0);
  EXPECT_EQ(answer.find("red"), std::string::npos);
}

TEST(Sdp, RefusesOffersWithoutUsableText) {
  std::string error, answer;
  auto audioOnly = parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 5000 RTP/AVP 0\r\n", &error);
  ASSERT_TRUE(audioOnly);
  EXPECT_FALSE(answerOffer(*audioOnly, ours(), &answer, &error));
  EXPECT_EQ(error, "the far end offers no text");
  auto noT140 =
      parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=text 5000 RTP/AVP 99\r\na=rtpmap:99 x-foo/1000\r\n", &error);
  EXPECT_FALSE(answerOffer(*noT140, ours(), &answer, &error));
  EXPECT_EQ(error, "the far end offers text without T.140");
  auto refused =
      parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=text 0 RTP/AVP 98\r\na=rtpmap:98 t140/1000\r\n", &error);
  EXPECT_FALSE(answerOffer(*refused, ours(), &answer, &error));
  // An answer that refuses our text.
  auto noText =
      parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 5000 RTP/AVP 0\r\nm=text 0 RTP/AVP 98\r\n", &error);
  ASSERT_TRUE(noText);
  EXPECT_FALSE(readAnswer(*noText, ours(), &error));
  EXPECT_EQ(error, "the far end refused text");
}

TEST(Sdp, MalformedDescriptionsAreRefusedWithTheReason) {
  std::string error;
  EXPECT_FALSE(parseSdp("", &error));
  EXPECT_FALSE(parseSdp("hello world", &error));
  EXPECT_FALSE(parseSdp("v=1\r\n", &error));
  EXPECT_FALSE(parseSdp("v=0\r\nm=text abc RTP/AVP 98\r\n", &error));
  EXPECT_NE(error.find("media line"), std::string::npos);
  EXPECT_FALSE(parseSdp("v=0\r\nm=text 5000 RTP/AVP 98\r\n", &error));  // no address anywhere
  EXPECT_FALSE(parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=text 5000 RTP/AVP 98\r\na=rtpmap:98 t140\r\n", &error));
  EXPECT_FALSE(parseSdp("v=0\r\nc=IN\r\n", &error));
  EXPECT_FALSE(parseSdp("v=0\r\nc=IN IP4 1.2.3.4\r\nm=text 99999 RTP/AVP 98\r\n", &error));
  EXPECT_FALSE(parseSdp(std::string("v=0\r\n\0\0\0", 8), &error));
}

TEST(Sdp, HoldIsAnsweredTheOtherWayAndAnswersMustMatchTheOffersLines) {
  std::string error, answer;
  auto held = parseSdp(
      "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 0\r\na=sendonly\r\n"
      "m=text 4002 RTP/AVP 98\r\na=rtpmap:98 t140/1000\r\na=sendonly\r\n",
      &error);
  ASSERT_TRUE(held) << error;
  auto n = answerOffer(*held, ours(), &answer, &error);
  ASSERT_TRUE(n);
  EXPECT_FALSE(n->sendText);
  EXPECT_TRUE(n->receiveText);
  EXPECT_NE(answer.find("a=recvonly"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("a=sendrecv"), std::string::npos) << answer;
  // An address that is not one, in an offer or an answer.
  EXPECT_FALSE(parseSdp("v=0\r\nc=IN IP4 host.invalid\r\nm=text 4002 RTP/AVP 98\r\n", &error));
  EXPECT_FALSE(parseSdp("v=0\r\nc=IN IP4 999.1.1.1\r\nm=text 4002 RTP/AVP 98\r\n", &error));
  EXPECT_TRUE(parseSdp("v=0\r\nc=IN IP6 ::1\r\nm=text 4002 RTP/AVP 98\r\n", &error)) << error;
  // Answers to an audio-then-text offer: text first, or audio only, do not match it.
  const std::string textLine = "m=text 4002 RTP/AVP 98\r\na=rtpmap:98 t140/1000\r\n";
  for (const std::string& body : {"v=0\r\nc=IN IP4 127.0.0.1\r\n" + textLine + "m=audio 4000 RTP/AVP 0\r\n",
                                  std::string("v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 0\r\n")}) {
    auto a = parseSdp(body, &error);
    ASSERT_TRUE(a) << error;
    EXPECT_FALSE(readAnswer(*a, ours(), &error)) << body;
  }
  // A delayed offer keeps the call's own order of lines.
  const std::string reoffer = buildOffer(ours(), {"text", "video", "audio"});
  EXPECT_LT(reoffer.find("m=text"), reoffer.find("m=video 0"));
  EXPECT_LT(reoffer.find("m=video 0"), reoffer.find("m=audio"));
}

TEST(DialUri, OnlyPlainAddressesAreCalled) {
  std::string why;
  for (const char* good : {"sip:far@127.0.0.1:5060", "sip:far@example.org", "sip:5551234@[::1]:5070",
                           "sip:a.b-c@host;transport=tcp", "sip:%23x@h"})
    EXPECT_TRUE(checkDialUri(good, &why)) << good << ": " << why;
  for (const char* bad : {"sip:a b@h", "sip:far@h>;evil=1", "sip:far@h?X-Evil=1", "sip:far@h:0", "sip:far@h:99999",
                          "sip:far@999.1.1.1", "sip:far:pw@h", "sip:far@h;lr", "sip:far@[::g]", "tel:123", "sip:"}) {
    EXPECT_FALSE(checkDialUri(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
  EXPECT_EQ(hostOf("sip:u@[::1]:5070"), "::1");
  EXPECT_EQ(portOf("sip:u@h"), 5060);
  EXPECT_EQ(portOf("sip:u@h:5070;transport=tcp"), 5070);
}

TEST(Results, FollowTheDocumentedMapping) {
  using call::ModemResult;
  for (int s : {486, 600, 603}) EXPECT_EQ(call::resultForFailure(s), ModemResult::Busy) << s;
  for (int s : {408, 480, 487}) EXPECT_EQ(call::resultForFailure(s), ModemResult::NoAnswer) << s;
  for (int s : {0, 403, 404, 488, 500, 503})
    EXPECT_EQ(call::resultForFailure(s), ModemResult::NoCarrier) << s;
}

TEST(Loss, ParsesAndKeepsItsLongRunRate) {
  std::string error;
  auto plain = rtt::parseLoss("10", &error);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->burst, 0);
  auto bursty = rtt::parseLoss("20,burst=4", &error);
  ASSERT_TRUE(bursty);
  for (const char* bad : {"", "x", "-1", "101", "10,", "10,burst=0", "10,burst=x", "10,size=2", "nan"})
    EXPECT_FALSE(rtt::parseLoss(bad, &error)) << bad;
  for (auto pattern : {*plain, *bursty}) {
    rtt::LossModel m(pattern, 7);
    int lost = 0, runs = 0;
    bool prev = false;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
      const bool l = m.drop();
      lost += l;
      runs += l && !prev;
      prev = l;
    }
    EXPECT_NEAR(100.0 * lost / n, pattern.percent, 0.5);
    if (pattern.burst > 0) {
      EXPECT_NEAR(static_cast<double>(lost) / runs, pattern.burst, 0.2);
    }
  }
  // The same seed gives the same losses.
  rtt::LossModel a(*plain, 3), b(*plain, 3);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a.drop(), b.drop());
}

TEST(Sdp, TheFarEndsCpsIsReadFromItsT140FormatOrIsThirty) {
  for (auto [fmtp, cps] : std::vector<std::pair<std::string, int>>{
           {"", 30}, {"cps=100", 100}, {"cps=45;foo=1", 45}, {"foo=1; cps=12", 12}, {"cps=0", 30},
           {"cps=-5", 30}, {"cps=x", 30}, {"xcps=5", 30}, {"cps=5x", 30}}) {
    SdpFormat f;
    f.fmtp = fmtp;
    EXPECT_EQ(cpsOf(f), cps) << fmtp;
  }
}

}  // namespace
}  // namespace rttmodem::sip
