// SPDX-License-Identifier: Apache-2.0
// A line with a known delay, and the far end's own record of each call with its timing file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "channel.h"
#include "options.h"
#include "record.h"
#include "session.h"
#include "temp_dir.h"
#include "timing.h"

namespace ttysim {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

TEST(DelayLine, CharactersArriveAfterTheDelayGiveOrTakeTheJitterInTheOrderSent) {
  DelayLine line({.delay = 0.3, .jitter = 0.05}, 7), again({.delay = 0.3, .jitter = 0.05}, 7);
  std::vector<double> delays;
  for (int i = 0; i < 400; ++i) {
    const double sent = i * 0.2;  // far apart: the jitter never makes one wait for the one before
    line.put('A', sent);
    again.put('A', sent);
    ASSERT_EQ(line.nextArrival(), again.nextArrival());
    EXPECT_FALSE(line.take(sent + 0.249));
    auto arrived = line.take(sent + 0.351);
    ASSERT_TRUE(arrived);
    again.take(sent + 1);
    delays.push_back(arrived->first - sent);
  }
  std::sort(delays.begin(), delays.end());
  EXPECT_GE(delays.front(), 0.25);
  EXPECT_LE(delays.back(), 0.35);
  EXPECT_NEAR(delays[200], 0.3, 0.01);
  EXPECT_LT(delays.front(), 0.26) << "the jitter spreads the delays";

  // Sent faster than the jitter: none overtakes another.
  DelayLine busy({.delay = 0.3, .jitter = 0.2}, 3);
  for (int i = 0; i < 50; ++i) busy.put(static_cast<char>('A' + i % 26), i * 0.01);
  double last = 0;
  std::string order;
  while (auto a = busy.take(100)) {
    EXPECT_GE(a->first, last);
    last = a->first;
    order += a->second;
  }
  EXPECT_EQ(order, "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWX");
}

TEST(DelayLine, GivenWithTheChannel) {
  std::optional<tty::AudioLineSettings> audio;
  LineDelay delay;
  std::string error;
  ASSERT_TRUE(parseChannel("text,delay=300,jitter=50", &audio, &error, &delay)) << error;
  EXPECT_FALSE(audio);
  EXPECT_DOUBLE_EQ(delay.delay, 0.3);
  EXPECT_DOUBLE_EQ(delay.jitter, 0.05);
  ASSERT_TRUE(parseChannel("audio,snr=20,delay=120", &audio, &error, &delay)) << error;
  EXPECT_TRUE(audio);
  EXPECT_DOUBLE_EQ(delay.delay, 0.12);
  EXPECT_DOUBLE_EQ(delay.jitter, 0);
  ASSERT_TRUE(parseChannel("text", &audio, &error, &delay));
  EXPECT_FALSE(delay.any());
  for (const char* bad : {"text,", "text,snr=3", "text,delay=-1", "text,delay=10%",
                          "text,delay=100,jitter=150", "text,delay=70000", "text,delay", "texts,delay=3"}) {
    error.clear();
    EXPECT_FALSE(parseChannel(bad, &audio, &error, &delay)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_FALSE(parseChannel("text,delay=100", &audio, &error)) << "nowhere to put it";
}

// A call on a direct TTY through a line with a delay: the program's side is played here.
struct DelayedCall {
  explicit DelayedCall(LineDelay delay, ErrorRates errors = {}) : s(makeConfig(delay, errors)) {}
  static SessionConfig makeConfig(LineDelay delay, ErrorRates errors) {
    SessionConfig c;
    c.device = Device::CustomCompact;
    c.script = Script::parse("HELLO GA\r\n\r\nFINE THANKS GA\r\n\r\nBYE SK\r\n\r\n");
    c.side = Side::Even;
    c.cps = 10;
    c.quiet = 0.5;
    c.delay = delay;
    c.toFar = c.toProgram = errors;
    return c;
  }
  void runTo(Seconds t) {
    for (int i = 0; i < 100000 && !s.done(); ++i) {
      auto d = s.nextDeadline();
      if (!d || *d > t) break;
      now = std::max(now, *d);
      s.tick(now);
      take();
    }
    now = std::max(now, t);
    s.tick(now);
    take();
  }
  void program(const std::string& text) {
    for (char c : text) {
      s.fromProgram(std::string_view(&c, 1), now);
      take();
      runTo(now + 0.1);
    }
  }
  void take() {
    for (char c : s.out.toProgram) heard.push_back({now, c});
    s.out.toProgram.clear();
  }
  Session s;
  Seconds now = 0;
  std::vector<std::pair<Seconds, char>> heard;  // what reached the program, when
};

TEST(DelayedLine, TheFarEndHearsAndIsHeardTheDelayLaterWithTheSameErrors) {
  DelayedCall call({.delay = 0.4, .jitter = 0});
  call.s.attach(0);
  call.program("HELLO GA ");
  call.runTo(call.now + 5);
  const auto& line = call.s.out.farLine;
  // Every character the program wrote arrived 0.4 s after it was written (0.1 s apart from 0).
  std::vector<Seconds> arrived, typed;
  for (const auto& fc : line) (fc.sent ? typed : arrived).push_back(fc.at);
  ASSERT_EQ(arrived.size(), 9u);
  for (std::size_t i = 0; i < arrived.size(); ++i) EXPECT_NEAR(arrived[i], 0.1 * i + 0.4, 1e-9) << i;
  // The far end replied after hearing the last of it, and the program heard each character
  // 0.4 s after it was typed.
  ASSERT_EQ(typed.size(), 15u);
  EXPECT_GE(typed.front(), arrived.back() + 0.5);
  std::string reply;
  for (std::size_t i = 0; i < call.heard.size(); ++i) {
    reply += call.heard[i].second;
    EXPECT_NEAR(call.heard[i].first, typed[i] + 0.4, 1e-9) << i;
  }
  EXPECT_EQ(reply, "FINE THANKS GA ");

  // The errors of a seed do not depend on the delay.
  const ErrorRates errors{.shift = 0.1, .drop = 0.1, .insert = 0.05, .subst = 0.05};
  DelayedCall plain({}, errors), delayed({.delay = 0.25, .jitter = 0.2}, errors);
  for (DelayedCall* c : {&plain, &delayed}) {
    c->s.attach(0);
    c->program("HELLO GA ");
    c->runTo(c->now + 6);
  }
  EXPECT_EQ(delayed.s.out.farReceived, plain.s.out.farReceived);
  EXPECT_NE(plain.s.out.farReceived, "HELLO GA ");
}

TEST(DelayedLine, WhatIsOnItsWayWhenTheProgramHangsUpIsLost) {
  DelayedCall call({.delay = 2, .jitter = 0});
  call.s.attach(0);
  call.program("HELLO GA ");
  call.program("+++ATH\r");  // the direct TTY's hang-up: the call ends before HELLO arrives
  call.runTo(call.now + 5);
  EXPECT_EQ(call.s.out.farReceived, "");
  EXPECT_TRUE(call.s.out.farLine.empty());
}

class FarEndRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The dates of the records are local time: here UTC.
    setenv("TZ", "UTC", 1);
    tzset();
    config.folder = dir.path().string();
    config.computerId = "CAR1";
    config.direction = "Outgoing Call";
    config.scriptPath = "/scripts/day.txt";
    config.port = "3";
  }
  TempDir dir;
  RecordConfig config;
  // 14 October 2026, 14:05:07.250 UTC
  static constexpr long long kWall = 1791986707250;
};

TEST_F(FarEndRecordTest, ARecordAsTheProgramSavesOneAndItsTimesBesideIt) {
  config.values = {{"TYPE", "Wireless Calls (Moving)"}, {"SIGNAL", "Weak"}, {"DEVICE", "NXi modem"}};
  FarEndRecord record(config, kWall);
  record.callUp(10.0, true);
  record.add(false, 'H', 10.5);
  record.add(false, 'I', 10.7);
  record.add(false, '\r', 10.8);
  record.add(false, '\n', 10.9);
  record.add(true, 'O', 12.0);
  record.add(false, 0x1F, 12.05);  // not shown in the view, but timed
  record.add(true, 'K', 12.1);
  record.add(true, ' ', 12.2);
  ASSERT_EQ(record.callEnded(75.55, true), "");
  EXPECT_EQ(record.capturePath(), config.folder + "/1014-1405-CAR1.TXT");
  EXPECT_EQ(readFile(record.capturePath()),
            "================================================================\r\n"
            "Started at 10/14/26 14:05:17\r\n"
            "\r\n"
            "RECD: HI\xB1\xB2\r\n"
            "\r\n"
            "SEND: OK\r\n"
            "\r\n"
            "Ended at 10/14/26 14:06:22 (65.5 seconds)\r\n"
            "COMPUTERID: CAR1\r\n"
            "TYPE: Wireless Calls (Moving)\r\n"
            "DIRECTION: Outgoing Call\r\n"
            "SIGNAL: Weak\r\n"
            "CABLEID: \r\n"
            "PHONEMODEL: \r\n"
            "PHONETECH: \r\n"
            "USERNAME: far end\r\n"
            "LOCATION: ttysim\r\n"
            "NETWORKINFO: ttysim\r\n"
            "DEVICE: NXi modem\r\n"
            "PORT: 3\r\n"
            "TURBOCODEDETECTED: Yes\r\n"
            "DIAL#: \r\n"
            "SCRIPTCOMPLETED: Yes\r\n"
            "SCRIPTUSED: /scripts/day.txt\r\n"
            "\r\n");
  EXPECT_EQ(record.timingPath(), config.folder + "/1014-1405-CAR1.timing.csv");
  EXPECT_EQ(readFile(record.timingPath()),
            "started,start_ms,direction,ms,code,char\n"
            "10/14/26 14:05:17,1791986717250,received,500,72,H\n"
            "10/14/26 14:05:17,1791986717250,received,700,73,I\n"
            "10/14/26 14:05:17,1791986717250,received,800,13,\\x0D\n"
            "10/14/26 14:05:17,1791986717250,received,900,10,\\x0A\n"
            "10/14/26 14:05:17,1791986717250,sent,2000,79,O\n"
            "10/14/26 14:05:17,1791986717250,received,2050,31,\\x1F\n"
            "10/14/26 14:05:17,1791986717250,sent,2100,75,K\n"
            "10/14/26 14:05:17,1791986717250,sent,2200,32,\\x20\n");
}

TEST_F(FarEndRecordTest, AShiftedClockMovesEveryTimeOfTheRecordAndCallsOfOneMinuteShareTheFiles) {
  config.clockShift = -30;
  FarEndRecord record(config, kWall);
  for (Seconds start : {10.0, 20.0}) {
    record.callUp(start, false);
    record.add(false, 'A', start + 1);
    ASSERT_EQ(record.callEnded(start + 5, false), "");
  }
  const std::string capture = readFile(config.folder + "/1014-1404-CAR1.TXT");
  EXPECT_NE(capture.find("Started at 10/14/26 14:04:47\r\n"), std::string::npos) << capture;
  EXPECT_NE(capture.find("Started at 10/14/26 14:04:57\r\n"), std::string::npos) << capture;
  EXPECT_NE(capture.find("SCRIPTCOMPLETED: No\r\n"), std::string::npos);
  EXPECT_EQ(capture.find("DIAL#"), std::string::npos) << "the far end's device is no modem";
  const timing::TimingFile times =
      timing::readTimingFile(readFile(config.folder + "/1014-1404-CAR1.timing.csv"));
  ASSERT_EQ(times.records.size(), 2u);
  EXPECT_EQ(times.records[0].started, "10/14/26 14:04:47");
  EXPECT_EQ(times.records[0].startMs, kWall + 10000 - 30000);
  EXPECT_EQ(times.records[1].chars.at(0).ms, 1000);

  // A folder that cannot be written is said.
  config.folder = dir.file("gone");
  FarEndRecord lost(config, kWall);
  lost.callUp(1, false);
  EXPECT_NE(lost.callEnded(2, false).find("cannot write"), std::string::npos);
}

TEST(RecordOptions, TheFarEndsRecordAndClock) {
  auto r =
      parseOptions({"-d", "compact", "-s", "script.txt", "--side", "odd", "--record", "/rec", "--computer-id",
                    "CAR 2", "--record-value", "TYPE=Wireless Calls (Moving)", "--record-value",
                    "DIAL#=5550142", "--clock-shift", "-30.5", "--channel", "text,delay=250"},
                   std::string("/tmp/ports"));
  ASSERT_TRUE(r.options) << r.error;
  ASSERT_TRUE(r.options->record);
  const RecordConfig& c = *r.options->record;
  EXPECT_EQ(c.folder, "/rec");
  EXPECT_EQ(c.computerId, "CAR 2");
  EXPECT_EQ(c.direction, "Incoming Call");
  EXPECT_TRUE(c.scriptPath.ends_with("/script.txt"));
  EXPECT_EQ(c.port, "1");
  EXPECT_DOUBLE_EQ(c.clockShift, -30.5);
  ASSERT_EQ(c.values.size(), 2u);
  EXPECT_EQ(c.values[1].second, "5550142");
  EXPECT_DOUBLE_EQ(r.options->session.delay.delay, 0.25);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--computer-id", "A"},
                                       {"--record-value", "TYPE=x"},
                                       {"--record", "/r", "--computer-id", "A/B"},
                                       {"--record", "/r", "--record-value", "DIRECTION=Incoming Call"},
                                       {"--record", "/r", "--record-value", "TYPE"},
                                       {"--clock-shift", "soon"},
                                       {"--clock-shift", "1e9"}}) {
    bad.insert(bad.begin(), {"-d", "compact"});
    auto p = parseOptions(bad, std::string("/tmp/ports"));
    EXPECT_FALSE(p.options) << bad[2];
    EXPECT_FALSE(p.error.empty()) << bad[2];
  }
}

}  // namespace
}  // namespace ttysim
