// SPDX-License-Identifier: Apache-2.0
// Tones to text and back: every character, the impairments of a telephone path the decoder has
// to survive, what it must not take for characters, and what it measures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audio_line.h"
#include "baudot.h"
#include "codec.h"
#include "decoder.h"
#include "impair.h"
#include "tones.h"
#include "wav.h"

namespace tty {
namespace {

// What a receiver that heard everything prints for a text: shift codes print nothing.
std::string asReceived(const std::string& text) {
  std::string out;
  for (char c : text) {
    auto code = baudot::encode(static_cast<unsigned char>(c));
    if (!code || code->code == baudot::kFigs || code->code == baudot::kLtrs) continue;
    out += baudot::decode(
        code->code, code->shift == baudot::Shift::Figures ? baudot::Shift::Figures : baudot::Shift::Letters);
  }
  return out;
}

struct Result {
  std::string text;
  std::vector<Heard> heard;
  long rejected = 0;
};

Result decode(const std::vector<float>& audio, const Tones& tones) {
  Decoder d(tones);
  d.feed(audio);
  d.flush();
  Result r;
  r.heard = d.take();
  r.rejected = d.rejected();
  for (const Heard& h : r.heard) {
    if (!h.shift && !h.doubtful) r.text += h.ch;  // what is printed
  }
  return r;
}

// The text as one transmission with half a second of silence on either side.
std::vector<float> send(const std::string& text, const Tones& tones, const SenderQuirks& quirks = {}) {
  std::vector<float> audio(tones.rate / 2, 0.0f);
  auto tx = Encoder::transmission(text, tones, quirks);
  audio.insert(audio.end(), tx.begin(), tx.end());
  audio.resize(audio.size() + tones.rate / 2, 0.0f);
  return audio;
}

double tonePower(const Tones& t) {
  return t.amplitude * t.amplitude / 2;
}

const std::string kCall =
    "HELLO THIS IS THE FIELD TEST LAB CALLING. CAN YOU READ ME Q GA I HAVE 3 BARS AND IT IS 10:45 HERE. "
    "NUMBERS FOR THE TEST: 911 555-0142 AND 7 8 9 0 GA ";

TEST(Tones, EveryCharacterInBothShiftsComesBackAtEveryRateAndStopLength) {
  std::string all;
  for (int c = 1; c < 128; ++c) all += static_cast<char>(c);
  // Shifts between single characters, and small letters (sent as capitals).
  all += "A1B2C3 d4e5f6 !?&$'";
  const std::string expected = asReceived(all);
  ASSERT_GT(expected.size(), 80u);
  for (double baud : {45.45, 50.0}) {
    for (double stop : {1.5, 2.0}) {
      for (int rate : {8000, 44100}) {
        if (rate != 8000 && (baud != 45.45 || stop != 1.5)) continue;  // a sound card's rate once is enough
        Tones t{.rate = rate, .baud = baud, .stopBits = stop};
        EXPECT_EQ(decode(send(all, t), t).text, expected)
            << baud << " baud, " << stop << " stop, " << rate << " Hz";
      }
    }
  }
}

TEST(Tones, ATransmissionStartsWithMarkThenAShiftAndFiguresAfterASpaceGetFigsAgain) {
  Tones t;
  Encoder e(t);
  std::vector<float> audio;
  e.put('1', audio);
  const auto leadIn = static_cast<std::size_t>(t.leadIn * t.rate);
  // The lead-in, the FIGS code and the character: 0.15 s + 2 x 7.5 bits.
  EXPECT_NEAR(audio.size(), leadIn + 15 * t.samplesPerBit(), 2);
  Decoder d(t);
  d.feed(send("1 2 A 3", t));
  d.flush();
  std::vector<int> codes;
  for (const Heard& h : d.take()) codes.push_back(h.code);
  // FIGS 1 SP FIGS 2 SP LTRS A SP FIGS 3
  EXPECT_EQ(codes, (std::vector<int>{27, 23, 4, 27, 19, 4, 31, 3, 4, 27, 1}));
  // A receiver that was not listening learns the shift again from the next transmission.
  Encoder again(t);
  std::vector<float> first, second;
  again.put('5', first);
  again.carrierOff();
  again.put('6', second);
  Decoder late(t);
  late.feed(second);
  late.flush();
  auto heard = late.take();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1].ch, '6');
}

// One impairment of a telephone path, at a level the decoder must come through without an error.
struct Survivable {
  const char* name;
  SenderQuirks quirks;
  Impairments path;
  double stopBits = 1.5;
  double amplitude = 0.5;
};

TEST(Decoder, ComesThroughEachImpairmentWithoutAnError) {
  const std::vector<Survivable> cases = {
      {"quiet, 46 dB below full scale", {}, {}, 1.5, 0.005},
      {"loud, at full scale", {}, {}, 1.5, 1.0},
      {"bits 5 % short", {.timing = -0.05}, {}},
      {"bits 5 % long", {.timing = 0.05}, {}},
      {"1 stop bit", {}, {}, 1.0},
      {"2 stop bits", {}, {}, 2.0},
      {"a phase jump in one bit of three", {.phaseJumps = 0.3, .seed = 3}, {}},
      {"tones 40 Hz high", {.offsetHz = 40}, {}},
      {"tones 40 Hz low", {.offsetHz = -40}, {}},
      {"noise at 3 dB SNR", {}, {.snrDb = 3.0, .seed = 11}},
      {"noise at -3 dB SNR", {}, {.snrDb = -3.0, .seed = 12}},
      {"1 % of the audio frames lost", {}, {.snrDb = std::nullopt, .lost = 0.01, .seed = 5}},
      {"all at once, a little less",
       {.offsetHz = 25, .timing = 0.03, .phaseJumps = 0.1},
       {.snrDb = 10.0, .lost = 0.005, .seed = 2}},
  };
  const std::string expected = asReceived(kCall);
  for (const auto& c : cases) {
    Tones t{.stopBits = c.stopBits, .amplitude = c.amplitude};
    Tones listener;  // the receiver knows only the nominal signal
    auto audio = impair(send(kCall, t, c.quirks), c.path, t.rate, tonePower(t));
    auto r = decode(audio, listener);
    EXPECT_EQ(r.text, expected) << c.name;
  }
}

TEST(Decoder, LosesOnlyTheCharactersHitWhenFramesAreRepeatedOrDropped) {
  // A frame played twice or left out moves everything after it; the characters after the one hit
  // come through.
  Tones t;
  const std::string expected = asReceived(kCall);
  for (Impairments path : {Impairments{.snrDb = std::nullopt, .repeated = 0.01, .seed = 4},
                           Impairments{.snrDb = std::nullopt, .dropped = 0.01, .seed = 4}}) {
    Impairer imp(path, t.rate, tonePower(t));
    std::vector<float> audio;
    imp.process(send(kCall, t), audio);
    imp.finish(audio);
    auto r = decode(audio, t);
    const long hits = imp.stats().repeated + imp.stats().dropped;
    ASSERT_GT(hits, 0);
    long same = 0;
    for (std::size_t i = 0; i < std::min(r.text.size(), expected.size()); ++i)
      same += r.text[i] == expected[i];
    // Each hit costs at most the character it falls in (and its neighbour by alignment).
    EXPECT_GE(static_cast<long>(r.text.size()), static_cast<long>(expected.size()) - 2 * hits) << r.text;
    EXPECT_NE(r.text.find("NUMBERS"), std::string::npos) << r.text;
  }
}

TEST(Decoder, FramesACharacterWhoseStartBitWasLostWhereTheSendersSteadyPeriodHasItDue) {
  // A sender that holds its carrier a few bits after each character (ttysim's line holds 3 after
  // the 1.5-bit stop, as TTYs do with text typed ahead) sends at a steady period, as text sent
  // back to back does: a character whose start bit an audio frame took is framed where the period
  // has it due. Every fifth character loses 20 ms of audio from just before its start bit. (Letters
  // only: a shift code goes back to back with its character, off the steady period.)
  Tones t;
  const std::string sent = "HELLO THIS IS THE FIELD TEST LAB CALLING CAN YOU READ ME Q GA I HAVE THREE BARS GA ";
  const std::string expected = asReceived(sent);
  const double bit = t.samplesPerBit();
  for (double hold : {0.0, 1.5, 3.0, 4.5}) {
    Encoder e(t);
    std::vector<float> audio(t.rate / 2, 0.0f);
    int n = 0;
    for (char c : sent) {
      if (!e.put(static_cast<unsigned char>(c), audio)) continue;
      // The character's start bit began 7.5 bits before its end.
      if (++n % 5 == 0) {
        const auto from = static_cast<std::size_t>(static_cast<double>(audio.size()) - 7.5 * bit - 16);
        std::fill(audio.begin() + static_cast<long>(from), audio.begin() + static_cast<long>(from + 160), 0.0f);
      }
      e.hold(hold / t.baud, audio);
    }
    e.hold(0.3, audio);
    audio.resize(audio.size() + t.rate / 2, 0.0f);
    EXPECT_EQ(decode(audio, t).text, expected) << hold << " bits of carrier after each character";
  }
}

TEST(AudioLine, HandsOutTheAudioItsFarEndHeard) {
  // The benchmark decodes the line's audio with other receivers: it must be what the line's own
  // decoder heard (after the codec and its erasures), which another decoder reads alike.
  if (!amrAvailable()) GTEST_SKIP() << "built without the AMR-NB codec";
  AudioLineSettings settings;
  settings.codec = CodecSettings{.mode = 0, .erasures = 0.05};
  std::string error;
  auto line = AudioLine::create(settings, 11, &error);
  ASSERT_TRUE(line) << error;
  std::vector<float> heard;
  line->listen(&heard);
  std::string printed;
  for (char c : kCall) printed += line->pass(c);
  line->listen(nullptr);
  const std::size_t length = heard.size();
  line->pass('X');
  EXPECT_EQ(heard.size(), length) << "no longer listened to";
  ASSERT_GT(line->framesErased(), 0);
  EXPECT_NE(printed, asReceived(kCall));
  const Tones t;
  heard.resize(heard.size() + t.rate / 2, 0.0f);
  EXPECT_EQ(decode(heard, t).text, printed);
}

TEST(Decoder, SurvivesAudioFarBeyondAnythingItCanDecode) {
  // No crash, no hang, and a bounded amount of output on hopeless input.
  Tones t;
  std::vector<std::vector<float>> inputs;
  inputs.push_back({});
  inputs.push_back(std::vector<float>(3, 1.0f));
  inputs.push_back(std::vector<float>(t.rate, 0.0f));
  inputs.push_back(std::vector<float>(t.rate, 1.0f));  // DC at full scale
  auto loud = send(kCall, t, {.offsetHz = 150, .timing = 0.3, .phaseJumps = 1});
  for (float& x : loud) x = std::clamp(x * 40.0f, -1.0f, 1.0f);  // hard clipping
  inputs.push_back(loud);
  inputs.push_back(impair(send(kCall, t), {.snrDb = -15.0, .lost = 0.3, .repeated = 0.2, .dropped = 0.2},
                          t.rate, tonePower(t)));
  // A mobile codec losing a fifth of its frames: runs of characters full of doubtful places.
  std::string error;
  auto codec = Codec::create({.mode = 0, .erasures = 0.2, .seed = 4}, t.rate, &error);
  ASSERT_TRUE(codec) << error;
  inputs.emplace_back();
  codec->process(send(kCall, t), inputs.back());
  for (const auto& in : inputs) {
    auto r = decode(in, t);
    EXPECT_LE(r.heard.size(), kCall.size() * 2);
  }
}

TEST(Decoder, HearsNoCharactersInNoiseSpeechOrSilence) {
  Tones t;
  std::mt19937_64 rng(9);
  std::normal_distribution<float> gauss(0, 1);
  for (float sigma : {0.001f, 0.05f, 0.3f}) {
    std::vector<float> noise(60 * t.rate);
    for (float& x : noise) x = std::clamp(sigma * gauss(rng), -1.0f, 1.0f);
    auto r = decode(noise, t);
    EXPECT_EQ(r.heard.size(), 0u) << "noise " << sigma << ": " << r.text;
  }
  std::string error;
  auto speech = readWav(TTY_TEST_DATA "/speech.wav", &error);
  ASSERT_TRUE(speech) << error;
  for (float gain : {0.3f, 1.0f, 3.0f}) {
    std::vector<float> s = speech->samples;
    for (float& x : s) x = std::clamp(x * gain, -1.0f, 1.0f);
    // And with noise under it.
    for (float& x : s) x += 0.01f * gauss(rng);
    auto r = decode(s, t);
    EXPECT_EQ(r.heard.size(), 0u) << "speech at gain " << gain << ": " << r.text;
  }
  // A sine swept slowly across the telephone band, through both tones, loud and quiet.
  for (float amplitude : {0.5f, 0.005f}) {
    std::vector<float> sweep(60 * t.rate);
    double phase = 0;
    for (std::size_t i = 0; i < sweep.size(); ++i) {
      const double hz = 300 + 3100 * static_cast<double>(i) / static_cast<double>(sweep.size());
      phase += 2 * std::numbers::pi * hz / t.rate;
      sweep[i] = amplitude * static_cast<float>(std::sin(phase));
    }
    auto r = decode(sweep, t);
    EXPECT_EQ(r.text, "") << "sweep at " << amplitude;
  }
  // After a loud transmission has set the level, quieter noise and speech stay silent too.
  const std::string expected = asReceived(kCall);
  for (float sigma : {0.001f, 0.02f, 0.3f}) {
    auto audio = send(kCall, t);
    for (int i = 0; i < 30 * t.rate; ++i) audio.push_back(std::clamp(sigma * gauss(rng), -1.0f, 1.0f));
    audio.insert(audio.end(), speech->samples.begin(), speech->samples.end());
    EXPECT_EQ(decode(audio, t).text, expected) << "noise " << sigma << " after a transmission";
  }
}

TEST(Decoder, HearsAQuieterSenderAfterALoudOne) {
  Tones loud{.amplitude = 0.5};  // -6 dBFS
  const std::string expected = asReceived(kCall);
  // The level drops halfway through a transmission: what comes after the drop is read, all but
  // the characters sent while the decoder follows it down (two at most).
  for (double stepDb : {-14.0, -20.0, -30.0, -40.0}) {
    auto audio = send(kCall, loud);
    const std::size_t middle = audio.size() / 2;
    for (std::size_t i = middle; i < audio.size(); ++i)
      audio[i] *= static_cast<float>(std::pow(10, stepDb / 20));
    const std::string text = decode(audio, loud).text;
    const std::string tail = expected.substr(expected.size() / 2 + 8);
    ASSERT_GE(text.size(), tail.size()) << stepDb << " dB: " << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << stepDb << " dB: " << text;
    EXPECT_NEAR(static_cast<double>(text.size()), static_cast<double>(expected.size()), 3) << stepDb << " dB";
  }
  // Both sides of a call in one recording: a loud turn, a quiet one, a loud one, with the decoder
  // of a file and of a port (which starts afresh after it has sent) alike.
  for (double quietDbfs : {-20.0, -46.0}) {
    Tones quiet{.amplitude = std::pow(10, quietDbfs / 20)};
    std::vector<float> audio;
    for (const Tones* t : {&loud, &quiet, &loud}) {
      auto turn = send(kCall, *t);
      audio.insert(audio.end(), turn.begin(), turn.end());
    }
    EXPECT_EQ(decode(audio, loud).text, expected + expected + expected) << quietDbfs << " dBFS";
    Decoder port(loud);
    std::string printed;
    for (const Tones* t : {&loud, &quiet}) {
      port.feed(send(kCall, *t));
      for (const Heard& h : port.take()) {
        if (!h.shift && !h.doubtful) printed += h.ch;
      }
      port.restart();
    }
    EXPECT_EQ(printed, expected + expected) << quietDbfs << " dBFS, restarted between turns";
  }
}

TEST(Decoder, HearsQuietTonesAfterALongRunOfLoudAudioOrAbsurdSamples) {
  // Twenty minutes of loud noise as a 16-bit recording has it (whose squares a float rounds up more
  // often than down), then a quiet transmission straight after it.
  Tones t;
  Tones quiet{.amplitude = std::pow(10, -50.0 / 20)};
  const std::string expected = asReceived(kCall);
  auto text = [](Decoder& d) {
    d.flush();
    std::string printed;
    for (const Heard& h : d.take()) {
      if (!h.shift && !h.doubtful) printed += h.ch;
    }
    return printed;
  };
  {
    Decoder d(t);
    std::mt19937_64 rng(17);
    std::normal_distribution<float> gauss(0, 0.3f);
    std::vector<float> block(t.rate);
    for (int second = 0; second < 20 * 60; ++second) {
      for (float& x : block) x = std::round(std::clamp(gauss(rng), -1.0f, 1.0f) * 32767) / 32768;
      d.feed(block);
    }
    d.take();
    auto tx = Encoder::transmission(kCall, quiet);
    d.feed(tx);
    EXPECT_EQ(text(d), expected) << "after 20 minutes of noise";
  }
  // Samples no line delivers, from a damaged file: what follows them is heard.
  for (float absurd : {1e6f, -3e38f, std::numeric_limits<float>::infinity(), std::nanf("")}) {
    Decoder d(t);
    auto audio = send(kCall, t);
    audio.insert(audio.begin() + t.rate / 4, absurd);
    auto after = send(kCall, quiet);
    audio.insert(audio.end(), after.begin(), after.end());
    d.feed(audio);
    EXPECT_EQ(text(d), expected + expected) << absurd;
  }
}

TEST(Decoder, MeasuresLevelFrequencyErrorSnrAndBitLength) {
  for (double offset : {-30.0, 0.0, 17.0}) {
    for (double snr : {10.0, 25.0}) {
      Tones t{.amplitude = 0.1};
      auto audio = impair(send(kCall, t, {.offsetHz = offset, .timing = 0.04}), {.snrDb = snr, .seed = 8},
                          t.rate, tonePower(t));
      auto r = decode(audio, Tones{});
      ASSERT_EQ(r.text, asReceived(kCall));
      double level = 0, freq = 0, measured = 0, bit = 0;
      for (const Heard& h : r.heard) {
        level += h.levelDb;
        freq += h.freqErrorHz;
        measured += h.snrDb;
        bit += h.bitMs;
        EXPECT_GT(h.confidence, 0.3);
      }
      const double n = static_cast<double>(r.heard.size());
      // Tone and noise together: 20 dB below full scale and the noise on top.
      const double expectedLevel = -20 + 10 * std::log10(1 + std::pow(10, -snr / 10));
      EXPECT_NEAR(level / n, expectedLevel, 0.7) << offset << " Hz, " << snr << " dB";
      EXPECT_NEAR(freq / n, offset, 2) << offset << " Hz, " << snr << " dB";
      EXPECT_NEAR(measured / n, snr, 2.5) << offset << " Hz, " << snr << " dB";
      EXPECT_NEAR(bit / n, 1000 / 45.45 * 1.04, 0.5) << offset << " Hz, " << snr << " dB";
    }
  }
}

TEST(Decoder, GivesTheSameCharactersWhateverTheChunksItIsFedIn) {
  Tones t;
  auto audio =
      impair(send(kCall, t, {.offsetHz = 12}), {.snrDb = 6.0, .lost = 0.01, .seed = 3}, t.rate, tonePower(t));
  auto whole = decode(audio, t);
  std::mt19937 rng(1);
  Decoder d(t);
  for (std::size_t at = 0; at < audio.size();) {
    std::size_t n = std::min<std::size_t>(rng() % 700, audio.size() - at);
    d.feed(audio.data() + at, n);
    at += n;
  }
  d.flush();
  auto pieces = d.take();
  ASSERT_EQ(pieces.size(), whole.heard.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i].code, whole.heard[i].code);
    EXPECT_EQ(pieces[i].time, whole.heard[i].time);
  }
}

TEST(Decoder, PrintsNothingFromTenMinutesOfNoiseInTheTonesBand) {
  // Noise confined to 1200-2000 Hz looks most like tones; the codes it makes are all doubtful.
  Tones t;
  std::vector<float> silence(600 * t.rate, 0.0f);
  for (double level : {0.1}) {
    auto noise =
        impair(silence, {.snrDb = 0.0, .noiseLowHz = 1200, .noiseHighHz = 2000, .seed = 21}, t.rate, level);
    Decoder d(t);
    d.feed(noise);
    d.flush();
    std::string printed;
    for (const Heard& h : d.take()) {
      if (!h.doubtful) printed += h.ch;
    }
    EXPECT_EQ(printed, "") << "noise at " << level;
    EXPECT_GT(d.doubtful(), 100) << "noise at " << level;  // it did look like characters
  }
}

// A TTY as another maker builds it, written here from the US TTY code chart alone: 45.45 bit/s,
// 2 stop bits, continuous phase, and unshift-on-space: after a space it takes the receiver to be in
// letters, sending no LTRS before a letter and FIGS again before a figure.
std::vector<float> otherTty(const std::string& text, int rate) {
  using namespace std::string_literals;
  const std::string letters = "\0E\nA SIU\rDRJNFCKTZLWHYPQOBG\x1bMXV\x1f"s;
  const std::string figures = "\0"s + "3\n- \a87\r$4',!:(5\")2#6019?&\x1b./;\x1f";
  std::vector<float> out(static_cast<std::size_t>(0.3 * rate), 0.0f);
  double phase = 0, clock = 0;
  auto tone = [&](bool mark, double bits) {
    const double hz = mark ? 1400 : 1800;
    for (clock += bits * rate / 45.45; static_cast<double>(out.size()) < clock;
         phase += 2 * std::numbers::pi * hz / rate)
      out.push_back(static_cast<float>(0.3 * std::sin(phase)));
  };
  auto code = [&](int c) {
    tone(false, 1);
    for (int b = 0; b < 5; ++b) tone((c >> b) & 1, 1);
    tone(true, 2);
  };
  tone(true, 0.2 * 45.45);
  bool inFigures = false;
  code(31);
  for (char ch : text) {
    const auto l = letters.find(ch), f = figures.find(ch);
    if (ch == ' ') {
      code(4);
      inFigures = false;
    } else if (l != std::string::npos && l != 0) {
      if (inFigures) code(31);
      inFigures = false;
      code(static_cast<int>(l));
    } else if (f != std::string::npos && f != 0) {
      if (!inFigures) code(27);
      inFigures = true;
      code(static_cast<int>(f));
    }
  }
  tone(true, 0.5 * 45.45);
  out.resize(out.size() + rate / 2, 0.0f);
  return out;
}

// Edits (insertions, deletions, substitutions) that turn b into a.
std::size_t edits(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1), next(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    next[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j)
      next[j] = std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    row.swap(next);
  }
  return row[b.size()];
}

TEST(Decoder, HearsTonesUnderNoiseOutsideTheirBandAtAnySampleRate) {
  const std::string expected = asReceived(kCall);
  // At 48 kHz with white noise up to 24 kHz as strong as the tones within the telephone band's
  // 4 kHz: what is outside the tones' band does not count against them.
  Tones wide{.rate = 48000};
  const double sixBands = 10 * std::log10(6.0);
  for (double inBand : {0.0, -3.0}) {
    auto audio =
        impair(send(kCall, wide), {.snrDb = inBand - sixBands, .seed = 31}, wide.rate, tonePower(wide));
    EXPECT_EQ(decode(audio, wide).text, expected) << inBand << " dB in the telephone band";
  }
  // Far below the noise the text degrades a character at a time instead of vanishing.
  Tones t;
  for (std::uint64_t seed : {41, 42}) {
    auto audio = impair(send(kCall + kCall, t), {.snrDb = -9.0, .seed = seed}, t.rate, tonePower(t));
    const std::string got = decode(audio, t).text;
    EXPECT_LE(edits(expected + expected, got), expected.size() * 2 / 5) << got;  // at most 20 %
  }
  // Noise alone, whatever the band it spreads over, makes no codes at all.
  for (int rate : {8000, 48000}) {
    Tones r{.rate = rate};
    std::vector<float> silence(static_cast<std::size_t>(60 * rate), 0.0f);
    auto noise = impair(silence, {.snrDb = 0.0, .seed = 33}, rate, tonePower(r));
    EXPECT_EQ(decode(noise, r).heard.size(), 0u) << rate << " Hz";
  }
}

TEST(Decoder, ReadsTextFarBelowTheNoiseWithoutLosingTheCarrier) {
  // A long text 6 dB below white noise over the whole band, and as strong as noise confined to the
  // tones' band (1200-2000 Hz): the bits are decided from their tones over the whole bit, each
  // character stays on the timing its run of characters has, and the carrier, once on within the
  // first characters, stays on until the last. Summed over several seeds, so that no one lucky
  // file decides.
  const std::string text = kCall + kCall;
  const std::string expected = asReceived(text);
  Tones t;
  struct Case {
    const char* name;
    Impairments path;
    std::size_t most;  // edits allowed over all seeds
  };
  const Case cases[] = {{"white noise at -6 dB", {.snrDb = -6.0}, 4},
                        {"in-band noise at 0 dB", {.snrDb = 0.0, .noiseLowHz = 1200, .noiseHighHz = 2000}, 20}};
  for (const Case& c : cases) {
    std::size_t total = 0;
    int unsteady = 0;
    for (std::uint64_t seed = 71; seed <= 76; ++seed) {
      Impairments path = c.path;
      path.seed = seed;
      Decoder d(t);
      d.feed(impair(send(text, t), path, t.rate, tonePower(t)));
      d.flush();
      std::string got;
      double last = 0;
      for (const Heard& h : d.take()) {
        if (!h.shift && !h.doubtful) got += h.ch;
        last = h.time;
      }
      total += edits(expected, got);
      // On once, within the first characters, and off once, after the last.
      const auto changes = d.takeCarrierChanges();
      const bool steady = changes.size() == 2 && changes[0].on && changes[0].time < 2.0 && !changes[1].on &&
                          changes[1].time > last;
      if (!steady) ++unsteady;
    }
    EXPECT_LE(total, c.most) << c.name;
    EXPECT_EQ(unsteady, 0) << c.name << ": files whose carrier came late or went off within the text";
  }
}

// A sender whose character period varies: each character's stop is drawn from [stopFrom, stopTo]
// bits, and each change between bits lands up to `jitterMs` either side of where it is due (a
// sender that times its bits off a coarse clock).
std::vector<float> unevenTty(const std::string& text, double stopFrom, double stopTo, double jitterMs,
                             std::uint64_t seed, int rate = 8000) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> stop(stopFrom, stopTo), jitter(-jitterMs, jitterMs);
  const double bit = rate / 45.45;
  std::vector<float> out(static_cast<std::size_t>(0.3 * rate), 0.0f);
  double phase = 0, clock = static_cast<double>(out.size());
  auto tone = [&](bool mark, double until) {
    const double hz = mark ? 1400 : 1800;
    for (; static_cast<double>(out.size()) < until; phase += 2 * std::numbers::pi * hz / rate)
      out.push_back(static_cast<float>(0.4 * std::sin(phase)));
  };
  auto code = [&](int c) {
    const double start = clock;
    for (int j = 0; j < 6; ++j) {
      const bool mark = j > 0 && ((c >> (j - 1)) & 1) != 0;
      tone(mark, start + (j + 1) * bit + jitter(rng) * rate / 1000);
    }
    clock = start + (6 + stop(rng)) * bit;
    tone(true, clock + jitter(rng) * rate / 1000);
  };
  tone(true, clock + 0.2 * rate);
  clock = static_cast<double>(out.size());
  for (int c : baudot::codesOf(text)) code(c);
  tone(true, clock + 0.3 * rate);
  out.resize(out.size() + rate / 2, 0.0f);
  return out;
}

TEST(Decoder, FramesEachCharacterByItsOwnStartBitWhateverTheStopBeforeIt) {
  // Codes with long runs of space (T, O, M, V) are the ones a framing even slightly late misreads.
  const std::string text = asReceived(kCall) + " TOM MOVED TO VOTE ON MOTTO TOO";
  struct Mix {
    double from, to, jitterMs;
  };
  Tones t;
  for (const Mix& m :
       {Mix{1.0, 2.0, 0}, Mix{1.5, 2.5, 0}, Mix{1.5, 3.0, 0}, Mix{1.0, 3.0, 1.0}, Mix{1.5, 1.5, 1.0}}) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
      EXPECT_EQ(decode(unevenTty(text, m.from, m.to, m.jitterMs, seed, t.rate), t).text, text)
          << "stop " << m.from << "-" << m.to << " bits, jitter " << m.jitterMs << " ms, seed " << seed;
    }
  }
  // And at another sample rate.
  Tones wide{.rate = 48000};
  EXPECT_EQ(decode(unevenTty(text, 1.0, 3.0, 1.0, 9, wide.rate), wide).text, text);
}

TEST(Decoder, ReadsCharactersThatStartStraightOutOfSilence) {
  // A sender with no lead-in: each character's start bit follows a second of silence. The first
  // change from mark to space after it is between its data bits; taken for a start bit, it would
  // give a confident wrong character.
  for (double timing : {0.0, 0.07, -0.07}) {
    Tones t;
    const double bit = t.samplesPerBit() * (1 + timing);
    std::vector<float> audio;
    std::vector<int> sent;
    double phase = 0;
    for (int code = 0; code < 32; ++code) {
      audio.resize(audio.size() + t.rate, 0.0f);
      const double start = static_cast<double>(audio.size());
      for (int j = 0; j < 7; ++j) {
        const bool mark = j == 6 || (j > 0 && ((code >> (j - 1)) & 1) != 0);
        const double hz = mark ? t.markHz : t.spaceHz;
        for (const double end = start + (j + (j == 6 ? 1.5 : 1)) * bit;
             static_cast<double>(audio.size()) < end; phase += 2 * std::numbers::pi * hz / t.rate)
          audio.push_back(static_cast<float>(0.3 * std::sin(phase)));
      }
      sent.push_back(code);
    }
    audio.resize(audio.size() + t.rate, 0.0f);
    std::vector<int> heard;
    for (const Heard& h : decode(audio, t).heard) {
      if (!h.doubtful) heard.push_back(h.code);
    }
    EXPECT_EQ(heard, sent) << "bits " << timing * 100 << " % long";
  }
}

// Each of the 32 codes alone after a second of silence, with no lead-in, from a sender whose bits
// are `timing` off their length and whose tones are `offsetHz` off; `starts` gets each start (s).
std::vector<float> loneCharacters(double timing, double offsetHz, std::vector<double>& starts) {
  Tones t;
  const double bit = t.samplesPerBit() * (1 + timing);
  std::vector<float> audio;
  double phase = 0;
  for (int code = 0; code < 32; ++code) {
    audio.resize(audio.size() + t.rate, 0.0f);
    const double start = static_cast<double>(audio.size());
    starts.push_back(start / t.rate);
    for (int j = 0; j < 7; ++j) {
      const bool mark = j == 6 || (j > 0 && ((code >> (j - 1)) & 1) != 0);
      const double hz = (mark ? t.markHz : t.spaceHz) + offsetHz;
      for (const double end = start + (j + (j == 6 ? 1.5 : 1)) * bit; static_cast<double>(audio.size()) < end;
           phase += 2 * std::numbers::pi * hz / t.rate)
        audio.push_back(static_cast<float>(0.3 * std::sin(phase)));
    }
  }
  audio.resize(audio.size() + t.rate, 0.0f);
  return audio;
}

TEST(Decoder, GivesFewWrongCharactersFromLoneCharactersItCannotFrame) {
  // Tones 100 Hz off reach the correlators only through their skirts, and bits 15 % long fit no
  // framing tried: what is printed of such characters sent one at a time out of silence is mostly
  // nothing rather than a wrong character. A character counts as right where it was sent with
  // the code sent, within half a bit.
  auto wrong = [](double timing, double offsetHz) {
    std::vector<double> starts;
    const auto audio = loneCharacters(timing, offsetHz, starts);
    int count = 0;
    for (const Heard& h : decode(audio, Tones{}).heard) {
      if (h.doubtful) continue;
      const auto k = std::min_element(starts.begin(), starts.end(), [&](double a, double b) {
        return std::fabs(a - h.time) < std::fabs(b - h.time);
      });
      if (std::fabs(*k - h.time) > 0.011 || h.code != k - starts.begin()) ++count;
    }
    return count;
  };
  for (double timing : {-0.07, 0.0, 0.07}) {
    for (double offsetHz : {-100.0, 100.0}) {
      EXPECT_EQ(wrong(timing, offsetHz), 0) << "bits " << timing * 100 << " % long, tones " << offsetHz << " Hz off";
    }
  }
  // Bits beyond the framings tried: a character framed from its start on bits of the wrong length
  // is still read wrong, but none from the changes between its data bits after that.
  for (double offsetHz : {-60.0, 0.0, 60.0}) EXPECT_LE(wrong(0.15, offsetHz), 20) << offsetHz << " Hz off";
  // Within them, as on frequency, every character.
  for (double offsetHz : {-60.0, 60.0}) EXPECT_EQ(wrong(0.0, offsetHz), 0) << offsetHz << " Hz off";
}

TEST(Decoder, ReadsAnUnshiftOnSpaceSenderWithUsFiguresRight) {
  const std::string text = "ROOM 12 ON FLOOR 3, PAY $5 AT GATE #6 (NOT 7) CALL 911 NOW GA";
  Tones t;
  auto r = decode(otherTty(text, t.rate), t);
  EXPECT_EQ(r.text, text);
  // A receiver that keeps figures across a space reads the words after each number as figures:
  // the option is there for senders that never rely on it.
  Tones keep;
  keep.unshiftOnSpace = false;
  EXPECT_EQ(decode(otherTty("ROOM 12 ON FLOOR 3", t.rate), keep).text, "ROOM 12 9, !)994 3");
  // ITA2's figures on the same codes.
  Tones ita2;
  ita2.figures = baudot::Figures::Ita2;
  EXPECT_EQ(decode(otherTty("$5 #6 ;\"", t.rate), ita2).text,
            "\x05"
            "5 #6 =+");
  // And softtty's own sending, US figures included, comes back whole.
  EXPECT_EQ(decode(send(text, t), t).text, text);
}

TEST(Decoder, PrintsNothingFromTheMarkOrTheSpaceToneAlone) {
  // A line stuck on one tone, loud or quiet, short or long, from silence or straight after a
  // transmission: the space tone's onset looks like a start bit, but no stop ever follows.
  Tones t;
  const std::string expected = asReceived(kCall);
  auto tone = [&t](double hz, double dbfs, double seconds, std::vector<float>& audio) {
    const double amplitude = std::pow(10, dbfs / 20);
    for (int i = 0; i < static_cast<int>(seconds * t.rate); ++i)
      audio.push_back(static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / t.rate + 1)));
    audio.resize(audio.size() + static_cast<std::size_t>(t.rate / 2), 0.0f);
  };
  for (double hz : {t.markHz, t.spaceHz}) {
    for (double dbfs : {-6.0, -26.0, -46.0}) {
      for (double seconds : {0.4, 6.0}) {
        std::vector<float> audio(static_cast<std::size_t>(t.rate / 2), 0.0f);
        tone(hz, dbfs, seconds, audio);
        const Result r = decode(audio, t);
        EXPECT_EQ(r.text, "") << hz << " Hz at " << dbfs << " dBFS for " << seconds << " s";
      }
      auto audio = send(kCall, t);
      tone(hz, dbfs, 6.0, audio);
      EXPECT_EQ(decode(audio, t).text, expected) << hz << " Hz at " << dbfs << " dBFS after a transmission";
    }
  }
}

TEST(Decoder, LosesOnlyTheCharactersNearSamplesDeletedOrInserted) {
  // A buffer on the path that slips: samples left out, or the ones before played again, or
  // silence put in, at four points of the text. A slip of up to 10 ms (under half a bit) costs
  // nothing; a longer one costs the characters it falls in, and the text after it comes back.
  Tones t;
  const std::string expected = asReceived(kCall);
  enum class Kind { Delete, Repeat, Silence };
  for (Kind kind : {Kind::Delete, Kind::Repeat, Kind::Silence}) {
    for (int n : {10, 40, 80, 160, 240}) {
      auto audio = send(kCall, t);
      const std::size_t from = static_cast<std::size_t>((0.5 + t.leadIn) * t.rate), to = audio.size() - t.rate;
      for (int e = 3; e >= 0; --e) {
        // Spread over the text, each at another point of its bit.
        const auto p = audio.begin() + static_cast<std::ptrdiff_t>(from + (to - from) * (2 * e + 1) / 8 + 37 * e);
        if (kind == Kind::Repeat) {
          const std::vector<float> again(p - n, p);
          audio.insert(p, again.begin(), again.end());
        } else if (kind == Kind::Silence) {
          audio.insert(p, static_cast<std::size_t>(n), 0.0f);
        } else {
          audio.erase(p, p + n);
        }
      }
      const std::string got = decode(audio, t).text;
      const std::size_t lost = edits(got, expected);
      const auto label = ::testing::Message() << n << " samples, kind " << static_cast<int>(kind) << ": " << got;
      if (n <= 80) {
        EXPECT_EQ(lost, 0u) << label;
      } else {
        EXPECT_LE(lost, 4u * 3u) << label;  // three characters at most at each
      }
      const std::string end = expected.substr(expected.size() - 12);
      ASSERT_GE(got.size(), end.size()) << label;
      EXPECT_EQ(got.substr(got.size() - end.size()), end) << label;
    }
  }
}

}  // namespace
}  // namespace tty
