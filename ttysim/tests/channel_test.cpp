// SPDX-License-Identifier: Apache-2.0
// The line's error model: Baudot shifts, rates and reproducibility.
#include "channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ttysim {
namespace {

std::string sendAll(Channel& ch, const std::string& text) {
  std::string out;
  for (char c : text) out += ch.pass(c);
  return out;
}

TEST(Baudot, CodesFollowTheTable) {
  EXPECT_EQ(baudot::encode('E')->code, 1);
  EXPECT_EQ(baudot::encode('3')->code, 1);
  EXPECT_EQ(baudot::encode('3')->shift, baudot::Shift::Figures);
  EXPECT_EQ(baudot::encode('q')->shift, baudot::Shift::Letters);
  EXPECT_EQ(baudot::encode(' ')->shift, baudot::Shift::Both);
  EXPECT_EQ(baudot::encode('@')->code, 29);
  EXPECT_FALSE(baudot::encode(27));
  EXPECT_FALSE(baudot::encode(0xC1));
  for (char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-'!:(\")$#,.;/?&\a")) {
    auto code = baudot::encode(static_cast<unsigned char>(c));
    ASSERT_TRUE(code) << c;
    EXPECT_EQ(baudot::decode(code->code, code->shift), c) << c;
  }
  for (char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-'!:(),.=/?+#&\a\x05")) {
    auto code = baudot::encode(static_cast<unsigned char>(c), baudot::Figures::Ita2);
    ASSERT_TRUE(code) << c;
    EXPECT_EQ(baudot::decode(code->code, code->shift, baudot::Figures::Ita2), c) << c;
  }
}

TEST(Baudot, TheUsTableHasDollarOnDAndHashOnHWhereIta2Differs) {
  using baudot::Figures;
  using baudot::Shift;
  const struct {
    char letter, us, ita2;
  } rows[] = {{'D', '$', '\x05'}, {'H', '#', '#'}, {'J', '\'', '\a'}, {'S', '\a', '\''},
              {'V', ';', '='},    {'Z', '"', '+'}, {'F', '!', '!'},   {'G', '&', '&'}};
  for (const auto& r : rows) {
    const int code = baudot::encode(static_cast<unsigned char>(r.letter))->code;
    EXPECT_EQ(baudot::decode(code, Shift::Figures), r.us) << r.letter;
    EXPECT_EQ(baudot::decode(code, Shift::Figures, Figures::Ita2), r.ita2) << r.letter;
  }
  // Characters with no figure of their own travel on the nearest one's code.
  EXPECT_EQ(baudot::encode('=')->code, baudot::encode('#')->code);
  EXPECT_FALSE(baudot::encode('$', Figures::Ita2));
  EXPECT_FALSE(baudot::encode(';', Figures::Ita2));
  EXPECT_EQ(baudot::parseFigures("ita2"), Figures::Ita2);
  EXPECT_FALSE(baudot::parseFigures("uk"));
}

TEST(Channel, WithoutErrorsEverythingArrivesAsSent) {
  Channel ch({}, 7);
  std::string text = "Hello 123, how are you? GA\r\n\x1b\x7f\xe9 SK";
  EXPECT_EQ(sendAll(ch, text), text);
}

TEST(Channel, ALostShiftTurnsFiguresIntoTheLettersOnTheirCodes) {
  Channel ch({.shift = 1}, 1);
  EXPECT_EQ(sendAll(ch, "CALL 911 NOW, 1-2"), "CALL OQQ NOWN QAW");
  EXPECT_EQ(ch.stats().lostShifts, 3);
}

TEST(Channel, LostShiftsGarbleBothWaysAndOnlyUntilTheNextShift) {
  Channel ch({.shift = 0.3}, 42);
  std::string text;
  for (int i = 0; i < 200; ++i) text += "AB 12 ";
  std::string got = sendAll(ch, text);
  ASSERT_EQ(got.size(), text.size());
  int lettersAsFigures = 0, figuresAsLetters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (got[i] == text[i]) continue;
    auto code = baudot::encode(static_cast<unsigned char>(text[i]));
    bool wasFigure = code->shift == baudot::Shift::Figures;
    EXPECT_EQ(got[i],
              baudot::decode(code->code, wasFigure ? baudot::Shift::Letters : baudot::Shift::Figures));
    (wasFigure ? figuresAsLetters : lettersAsFigures)++;
  }
  EXPECT_GT(lettersAsFigures, 10);
  EXPECT_GT(figuresAsLetters, 10);
}

TEST(Channel, RatesAreRoughlyKeptAndTheSameSeedGivesTheSameErrors) {
  ErrorRates rates{.shift = 0, .drop = 0.05, .insert = 0.02, .subst = 0.03};
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "HELLO WORLD ";
  Channel a(rates, 9), b(rates, 9), c(rates, 10);
  std::string ga = sendAll(a, text), gb = sendAll(b, text), gc = sendAll(c, text);
  EXPECT_EQ(ga, gb);
  EXPECT_NE(ga, gc);
  const long n = a.stats().chars;
  EXPECT_NEAR(a.stats().dropped, n * 0.05, n * 0.01);
  EXPECT_NEAR(a.stats().inserted, n * 0.02, n * 0.01);
  // Substitution leaves spaces alone, so its share is of the letters.
  EXPECT_NEAR(a.stats().substituted, n * (1 - 0.05) * 0.03 * 10 / 12, n * 0.01);
  EXPECT_EQ(static_cast<long>(ga.size()), n - a.stats().dropped + a.stats().inserted);
  for (char ch : ga) EXPECT_TRUE(ch == ' ' || (ch >= 'A' && ch <= 'Z')) << int(ch);
}

TEST(ErrorRates, ParsesFractionsAndPercentagesAndRejectsTheRest) {
  std::string why;
  auto r = parseErrorRates("shift=0.02,drop=1%,insert=0,subst=0.5", &why);
  ASSERT_TRUE(r) << why;
  EXPECT_DOUBLE_EQ(r->shift, 0.02);
  EXPECT_DOUBLE_EQ(r->drop, 0.01);
  EXPECT_DOUBLE_EQ(r->subst, 0.5);
  for (const char* bad : {"", "shift", "shift=", "shift=x", "shift=1.5", "drop=-0.1", "lose=0.1", "drop=5%%",
                          "drop=0.1,", "drop=nan"}) {
    EXPECT_FALSE(parseErrorRates(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
}
}  // namespace
}  // namespace ttysim

namespace ttysim {
namespace {

std::string sendTimed(Channel& ch, const std::string& text, double cps) {
  std::string out;
  double t = 0;
  for (char c : text) {
    out += ch.pass(c, t);
    t += 1 / cps;
  }
  return out;
}

TEST(AudioChannel, ACleanLineOfTonesDeliversCapitalsAndDropsWhatHasNoBaudotForm) {
  Channel ch = Channel::overAudio({}, 3);
  // A pause longer than the carrier's hold in the middle: the carrier drops and comes back.
  std::string out;
  double t = 0;
  for (char c : std::string("Call 911 now, GA\x1b\r\n")) {
    out += ch.pass(c, t);
    t += c == ',' ? 5 : 0.15;
  }
  EXPECT_EQ(out, "CALL 911 NOW, GA\r\n");
}

TEST(AudioChannel, ImpairmentsGarbleTheTextTheSameWayForTheSameSeed) {
  const std::string text =
      "I HAVE 3 BARS AND IT IS 10:45 HERE. WE ARE MOVING AT ABOUT 35 MPH GA THANK YOU. NOW SOME NUMBERS "
      "FOR THE TEST: 911 555-0142 AND 7 8 9 0 GA ";
  tty::AudioLineSettings bad{.snrDb = -6, .offsetHz = 30, .timing = 0.04, .dropouts = 0.05};
  std::string error;
  std::optional<tty::AudioLineSettings> parsed;
  ASSERT_TRUE(parseChannel("audio,snr=-6,offset=30,timing=4,dropouts=5%", &parsed, &error)) << error;
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->snrDb, bad.snrDb);
  EXPECT_DOUBLE_EQ(parsed->timing, bad.timing);
  EXPECT_DOUBLE_EQ(parsed->dropouts, bad.dropouts);

  Channel a = Channel::overAudio(*parsed, 7), b = Channel::overAudio(*parsed, 7),
          c = Channel::overAudio(*parsed, 8);
  const std::string first = sendTimed(a, text, 6);
  EXPECT_EQ(sendTimed(b, text, 6), first);
  EXPECT_NE(sendTimed(c, text, 6), first);
  EXPECT_NE(first, text);
  // Garbled rather than lost: about as many characters arrive as were sent.
  EXPECT_NEAR(static_cast<double>(first.size()), static_cast<double>(text.size()), text.size() * 0.3)
      << first;

  // A mild line delivers everything.
  Channel mild = Channel::overAudio({.snrDb = 20, .offsetHz = -15, .timing = -0.02, .dropouts = 0}, 1);
  EXPECT_EQ(sendTimed(mild, text, 6), text);
}

TEST(AudioChannel, SettingsOutsideTheirRangeOrUnknownAreRefused) {
  std::optional<tty::AudioLineSettings> a;
  std::string error;
  EXPECT_TRUE(parseChannel("text", &a, &error));
  EXPECT_FALSE(a);
  EXPECT_TRUE(parseChannel("audio", &a, &error));
  EXPECT_TRUE(a);
  for (const char* bad :
       {"tones", "audio,", "audio,snr", "audio,snr=x", "audio,offset=500", "audio,timing=50",
        "audio,dropouts=2", "audio,volume=3", "audio;snr=3", "audio,codec=gsm", "audio,codec=amr-nb:13",
        "audio,fer=1%", "audio,codec=amr-nb,fer=2", "audio,codec=amr-nb,burst=0.5"}) {
    error.clear();
    EXPECT_FALSE(parseChannel(bad, &a, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

// The share of the reference's characters that arrived in order (longest common subsequence).
double delivered(const std::string& reference, const std::string& got) {
  std::vector<std::size_t> row(got.size() + 1, 0), next(got.size() + 1, 0);
  for (char r : reference) {
    for (std::size_t j = 1; j <= got.size(); ++j)
      next[j] = r == got[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
    row.swap(next);
  }
  return static_cast<double>(row.back()) / static_cast<double>(reference.size());
}

TEST(AudioChannel, TheAmrCodecPassesTheTonesAndItsErasuresGarbleThemAsOnAMobileCall) {
  const std::string text = "ROOM 12 ON FLOOR 3, CALL 911 NOW. THE CODE IS 4471 GA ";
  std::string error;
  std::optional<tty::AudioLineSettings> a;
  ASSERT_TRUE(parseChannel("audio,codec=amr-nb:4.75", &a, &error)) << error;
  ASSERT_TRUE(a && a->codec);
  EXPECT_EQ(a->codec->mode, 0);
  EXPECT_EQ(a->codec->erasures, 0);
  // Without erasures the codec passes the tones at its lowest and highest rate.
  for (const char* channel : {"audio,codec=amr-nb:4.75", "audio,codec=amr-nb:12.2,snr=20"}) {
    ASSERT_TRUE(parseChannel(channel, &a, &error)) << error;
    Channel ch = Channel::overAudio(*a, 3);
    EXPECT_EQ(sendTimed(ch, text, 6), text) << channel;
  }
  // A survivable erasure rate loses little; a hopeless one most, in runs as asked.
  std::string hopeless;
  for (int repeat = 0; repeat < 4; ++repeat) hopeless += text;
  ASSERT_TRUE(parseChannel("audio,codec=amr-nb:12.2,fer=0.2%", &a, &error)) << error;
  Channel survivable = Channel::overAudio(*a, 5);
  EXPECT_GT(delivered(hopeless, sendTimed(survivable, hopeless, 6)), 0.9);
  ASSERT_TRUE(parseChannel("audio,codec=amr-nb:12.2,fer=40%,burst=3", &a, &error)) << error;
  EXPECT_DOUBLE_EQ(a->codec->erasures, 0.4);
  EXPECT_DOUBLE_EQ(a->codec->burst, 3);
  Channel lost = Channel::overAudio(*a, 5), again = Channel::overAudio(*a, 5);
  const std::string got = sendTimed(lost, hopeless, 6);
  EXPECT_LT(delivered(hopeless, got), 0.6) << got;
  EXPECT_EQ(sendTimed(again, hopeless, 6), got);
}

TEST(Codec, ErasesTheAskedShareOfFramesAloneOrInRuns) {
  std::vector<float> silence(8000 * 60, 0.0f), out;
  for (double burst : {1.0, 4.0}) {
    std::string error;
    auto codec =
        tty::Codec::create({.mode = 7, .erasures = 0.1, .burst = burst, .seed = 2}, 8000, &error);
    ASSERT_TRUE(codec) << error;
    out.clear();
    codec->process(silence, out);
    EXPECT_EQ(out.size(), silence.size());
    EXPECT_EQ(codec->stats().frames, 3000);
    EXPECT_NEAR(codec->stats().erased, 300, 75) << burst;
  }
  std::string error;
  EXPECT_FALSE(tty::Codec::create({}, 16000, &error));
  EXPECT_NE(error.find("8000 Hz"), std::string::npos) << error;
}

}  // namespace
}  // namespace ttysim
