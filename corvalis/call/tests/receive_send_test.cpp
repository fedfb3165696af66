// SPDX-License-Identifier: Apache-2.0
// The call engine's receiving and sending without a window: a scripted serial device, and a window
// that records what it is asked. Judged from the bytes on the line, the conversation and the
// characters timed.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "call/call_engine.h"
#include "call/modem_commands.h"
#include "common/conversation_text.h"
#include "serial/tests/fake_device.h"
#include "serial/tests/test_handoff.h"
#include "temp_dir.h"

namespace corvalis {
namespace {

using testing::TFakeDevice;
using testing::TFakeSystem;
using testing::TTestHandoff;

const char* const kDeviceTypes[] = {kDeviceQ90,      kDeviceCustomCompact,  kDeviceNXi,
                                    kDeviceSupercom, kDeviceInteleModem300, kDeviceInteleModem2400};

class TRecordingWindow : public ICallWindow {
 public:
  std::int64_t NowMs() const override { return 1000; }
  void Timed(timing::Direction Direction, std::int64_t, std::string_view Chars) override {
    (Direction == timing::Direction::Received ? timedIn : timedOut) += Chars;
  }
  void ConversationBegins() override {}
  void DeviceGone(int, const std::string& How) override { said.push_back("gone: " + How); }
  void RunPendingEvents() override {
    if (betweenCharacters) betweenCharacters();
  }
  void ShowLatest() override {}
  void Journal(bool) override {}
  bool AutoSendChosen() const override { return false; }
  bool TurnReady() const override { return true; }
  bool ConversationOpen() const override { return true; }
  bool TypingWindowShown() const override { return false; }
  void SoundLamp(bool On) override { said.push_back(On ? "lamp on" : "lamp off"); }
  void ModemSaidOk() override { said.push_back("OK"); }
  void LineLost(const std::string& Result) override { said.push_back("lost: " + Result); }
  void AnswerRing() override { said.push_back("answer"); }
  void ModemConnected() override { said.push_back("connected"); }
  void CommandTimer(bool On) override { commandTimer = On; }
  void SendTurn() override { said.push_back("send turn"); }
  void TurnTyped() override { said.push_back("turn typed"); }
  void HangUp() override { said.push_back("hang up"); }
  void EndCall() override { said.push_back("end call"); }
  void Sending(std::size_t) override {}
  void LineSent(bool TurnGoesOn) override { said.push_back(TurnGoesOn ? "line sent, more" : "line sent"); }
  void LongScriptLines() override { said.push_back("long lines"); }
  void TurnBegins() override { said.push_back("turn"); }
  void ScriptEnded() override { said.push_back("script ended"); }
  void ShowClock(bool CallGoesOn, std::int32_t Seconds) override {
    if (CallGoesOn) callClock.push_back(Seconds);
  }

  std::vector<std::int32_t> callClock;
  std::string timedIn, timedOut;
  std::vector<std::string> said;
  std::function<void()> betweenCharacters;
  bool commandTimer = false;
};

// A call in progress on a device of the given type, as the window starts one.
struct TCall {
  explicit TCall(const std::string& DeviceType) : Device(System->Add("COM1")) {
    Settings.DeviceType = DeviceType;
    Settings.AutoAnswer = "1";
    Port.Open();
    State.Phase.Start();
    State.Line.ComesUp();
    State.CallStartPending = true;
    State.LastMark = kMarkNone;
    State.LineColumn = 1;
    State.CallId = 1;
  }
  void Receive(const std::string& Bytes) {
    Device->Arrive(Bytes);
    Engine.Receive(static_cast<std::int32_t>(Bytes.size()));
  }

  TTestHandoff Handoff;
  std::shared_ptr<TFakeSystem> System = std::make_shared<TFakeSystem>();
  std::shared_ptr<TFakeDevice> Device;
  TComPort Port{&Handoff, System};
  TWindowSettings Settings;
  TCallEngineState State;
  TConversation Conversation;
  TRecordingWindow Window;
  TCallEngine Engine{State, Conversation, Settings, Port, Window};
};

// What a far end and its modem send: words, line ends, backspaces, codes a TTY never shows, an
// NXi modem's status codes, and a modem's own result lines.
std::string FarEndBytes() {
  const auto pieces = *rc::gen::container<std::vector<std::string>>(rc::gen::element<std::string>(
      "HELLO", " ", "GA", "\r\n", "\r", "\n", "\b", std::string(1, '\0'), "\x7F", "\x1F", "\x1E", "\x12",
      "\r\nRING\r\n", "\r\nOK\r\n", "\r\nNO CARRIER\r\n", "\r\nCONNECT TURBO 2400\r\n"));
  std::string bytes;
  for (const auto& p : pieces) bytes += p;
  return bytes;
}

TEST(Receiving, TheConversationIsTheSameWhateverBatchesTheBytesArriveIn) {
  EXPECT_TRUE(rc::check("batches do not change what is shown, timed or acted on", [] {
    const std::string device =
        *rc::gen::elementOf(std::vector<std::string>(std::begin(kDeviceTypes), std::end(kDeviceTypes)));
    const std::string bytes = FarEndBytes();
    TCall whole(device), split(device);
    whole.Receive(bytes);
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = *rc::gen::inRange<std::size_t>(1, bytes.size() - at + 1);
      split.Receive(bytes.substr(at, n));
      at += n;
    }
    RC_ASSERT(split.Conversation.Text() == whole.Conversation.Text());
    RC_ASSERT(split.Window.said == whole.Window.said);
    // Every byte of the call is timed once, in order.
    RC_ASSERT(whole.Window.timedIn == bytes);
    RC_ASSERT(split.Window.timedIn == bytes);
    // No letter the far end (or its modem) sent is lost from the conversation.
    auto letters = [](const std::string& s) {
      return std::count_if(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    };
    std::string shown = whole.Conversation.Text();
    for (std::size_t at; (at = shown.find(kRecdMark)) != std::string::npos;) shown.erase(at, 6);
    RC_ASSERT(letters(shown) == letters(bytes));
  }));
}

TEST(Receiving, AModemsResultLinesGoToTheWindowAndAFarEndsWordsDoNot) {
  TCall call(kDeviceNXi);
  call.Receive("HELLO OK\r\n\x1FOK\r\nRING\r\nNO CARRIER\r\n");
  EXPECT_EQ(call.Window.said, (std::vector<std::string>{"lamp on", "OK", "lost: NO CARRIER"}));
  // RING during a call is not answered (the line is busy with it), and the status code is not shown.
  EXPECT_EQ(call.Conversation.Text(), "RECD: HELLO OK\xB1\xB2OK\xB1\xB2RING\xB1\xB2NO CARRIER\xB1\xB2");
}

// What a modem's line breaks put into the text: on the line CR LF (CR alone on an Intele-Modem), in
// the conversation the marks of one.
std::string WithoutBreaks(const std::string& s, const std::string& lineBreak) {
  std::string out;
  for (std::size_t at = 0; at < s.size();) {
    if (s.compare(at, lineBreak.size(), lineBreak) == 0) {
      at += lineBreak.size();
    } else {
      out += s[at++];
    }
  }
  return out;
}

TEST(Sending, WhatGoesDownTheLineIsWhatTheConversationShowsUpToWhereTheCallEnded) {
  EXPECT_TRUE(rc::check("the line and the conversation agree, and nothing goes past an ending", [] {
    const std::string device =
        *rc::gen::elementOf(std::vector<std::string>(std::begin(kDeviceTypes), std::end(kDeviceTypes)));
    const auto words = *rc::gen::container<std::vector<std::string>>(
        rc::gen::element<std::string>("HELLO", "GA", "THIS IS A LONGER WORD", " ", " ", "  "));
    std::string text;
    for (const auto& w : words) text += w;
    RC_PRE(!text.empty());
    // After how many characters something ends the text's call or its command sequence (or never).
    const std::size_t endsAfter = *rc::gen::inRange<std::size_t>(0, text.size() + 1);
    const int ending = *rc::gen::inRange(0, 4);  // hang-up, next call, sequence stopped, none
    const bool step = ending == 2;
    TCall call(device);
    std::size_t written = 0;
    call.Window.betweenCharacters = [&] {
      if (written++ != endsAfter) return;
      if (ending == 0) call.State.Phase.HangUp();
      if (ending == 1) ++call.State.CallId;
      if (ending == 2) ++call.State.CommandSequence;
    };
    call.Engine.SendText(text, false, step ? 1 : 0);
    const bool cut = ending != 3 && endsAfter < text.size();
    const std::string expected = cut ? text.substr(0, endsAfter) : text;

    const bool modem = DeviceTypeIsModem(device);
    const std::string lineBreak =
        device == kDeviceInteleModem300 || device == kDeviceInteleModem2400 ? "\r" : "\r\n";
    const std::string line = call.Device->Written();
    RC_ASSERT(WithoutBreaks(line, lineBreak) == expected);
    const std::string shown = call.Conversation.Text();
    RC_ASSERT(shown.starts_with(kSendMark));
    const std::string marks{kCrMark, kLfMark};
    RC_ASSERT(WithoutBreaks(shown.substr(6), marks) == expected);
    // The same breaks on the line as in the conversation, and a modem's lines at most 70 long.
    std::string shownAsSent = shown.substr(6);
    for (std::size_t at; (at = shownAsSent.find(marks)) != std::string::npos;)
      shownAsSent.replace(at, 2, lineBreak);
    RC_ASSERT(shownAsSent == line);
    if (modem) {
      std::size_t longest = 0, run = 0;
      for (char c : line) run = c == '\r' || c == '\n' ? 0 : run + 1, longest = std::max(longest, run);
      RC_ASSERT(longest <= 70u);
    } else {
      RC_ASSERT(line.find(lineBreak) == std::string::npos);
    }
    // Every character that went out was timed as sent, while the call was open.
    RC_ASSERT(WithoutBreaks(call.Window.timedOut, lineBreak).size() <= expected.size());
  }));
}

TEST(Sending, AFailedWriteGoesToTheWindowWhenTheDeviceHasGoneAndToTheCallerOtherwise) {
  TCall call(kDeviceCustomCompact);
  call.Device->Refuse("Write", EIO);
  call.Engine.SendText("HI", false, 0);
  EXPECT_EQ(call.Window.said, (std::vector<std::string>{"gone: a write failed", "gone: a write failed"}));
  call.Device->Refuse("Write", EINVAL);
  EXPECT_THROW(call.Engine.SendText("X", false, 0), EComPort);
}

// Ticks until the window is told Said (or Limit ticks); how many it took.
int TickUntil(TCall& call, const std::string& Said, int Limit) {
  for (int t = 1; t <= Limit; ++t) {
    call.Engine.Tick();
    if (std::find(call.Window.said.begin(), call.Window.said.end(), Said) != call.Window.said.end()) return t;
  }
  return -1;
}

TEST(Tick, AScriptLineGoesACharacterATickOrTwoOnTurboAndItsPausesTakeATickEach) {
  EXPECT_TRUE(rc::check("the line's characters, at the pace of the connection", [] {
    const std::string line = *rc::gen::container<std::string>(rc::gen::element('A', 'B', ' ', '~'));
    RC_PRE(!line.empty());
    const bool turbo = *rc::gen::arbitrary<bool>();
    TCall call(kDeviceCustomCompact);
    call.State.TurboDetected = turbo;
    call.State.SendQueue = line;
    call.State.Sending = true;
    const std::size_t perTick = turbo ? 2 : 1;
    std::string sent;
    std::size_t ticks = 0;
    while (call.Window.said.empty() && ticks < line.size() + 2) {
      call.Engine.Tick();
      ++ticks;
      const std::string now = call.Device->Written();
      RC_ASSERT(now.size() - sent.size() <= perTick);  // never faster than the connection
      sent = now;
    }
    std::string expected = line;
    std::erase(expected, '~');
    RC_ASSERT(WithoutBreaks(sent, "\r\n") == expected);
    RC_ASSERT(ticks == (line.size() + perTick - 1) / perTick);
    RC_ASSERT(call.Window.said == std::vector<std::string>{"line sent"});
  }));
}

TEST(Tick, TheScriptStartsNineteenTicksAfterAnAnswerAndASilentLineHangsUpAfterThirtySeconds) {
  TCall modem(kDeviceNXi);
  modem.State.ScriptStartTicks = 1;
  EXPECT_EQ(TickUntil(modem, "send turn", 100), 19);

  // Auto hang-up on: a modem is hung up, a directly attached TTY's call ended; the clock runs by
  // the second meanwhile. Off: the line stays up.
  for (const char* device : {kDeviceNXi, kDeviceCustomCompact}) {
    for (const char* autoHangUp : {"1", "0"}) {
      SCOPED_TRACE(std::string(device) + " auto hang-up " + autoHangUp);
      TCall call(device);
      call.Settings.AutoHangUp = autoHangUp;
      call.Engine.ResetAutoHangUpTicks();
      const std::string expected = DeviceTypeIsModem(device) ? "hang up" : "end call";
      EXPECT_EQ(TickUntil(call, expected, 400), autoHangUp == std::string("1") ? 150 : -1);
      ASSERT_GE(call.Window.callClock.size(), 30u);
      EXPECT_EQ(call.Window.callClock[29], 30);
    }
  }
  // No call going on: nothing is hung up.
  TCall idle(kDeviceNXi);
  idle.Settings.AutoHangUp = "1";
  idle.Engine.ResetAutoHangUpTicks();
  idle.State.Phase.HangUp();
  EXPECT_EQ(TickUntil(idle, "hang up", 400), -1);
}

TEST(Script, ThisSidesTurnsGoDownTheLineInOrderAndTheEndIsSaidOnceAfterTheLastLine) {
  kit::testing::TempDir dir;
  const std::string path =
      dir.write("script.txt", "HELLO GA\n\nFAR ONE\n\nSECOND LINE\nTHIRD ~LINE\n\nFAR TWO\n\nBYE SK\n");
  for (const bool turbo : {false, true}) {
    SCOPED_TRACE(turbo ? "turbo" : "plain");
    TCall call(kDeviceCustomCompact);
    call.State.TurboDetected = turbo;
    call.State.Script.Open(path);
    // The window's part: the next turn when the engine asks for it or the far end has answered.
    auto said = [&call](const std::string& what) {
      auto& s = call.Window.said;
      const auto it = std::find(s.begin(), s.end(), what);
      if (it == s.end()) return false;
      s.erase(it);
      return true;
    };
    // The answerer's side: the first turn is its own.
    EXPECT_EQ(call.Engine.ReadTurn(false, true, true), "");
    int ends = 0;
    for (int t = 0; t < 400; ++t) {
      call.Engine.Tick();
      if (said("send turn")) call.Engine.ReadTurn(false, true, true);
      if (said("line sent")) call.Engine.CheckScriptEnd();
      said("line sent, more");
      if (said("script ended")) ++ends;
      // The far end has answered: this side's next turn.
      if (!call.State.Sending && call.State.Script.IsOpen()) call.Engine.ReadTurn(false, true, true);
    }
    EXPECT_EQ(WithoutBreaks(call.Device->Written(), "\r\n"), "HELLO GA SECOND LINE THIRD LINE BYE SK ");
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(call.State.Script.IsOpen());
  }

  // A one-way device: the whole turn is for the tester to type, nothing goes to the line.
  TCall oneWay(kDeviceQ90);
  oneWay.State.Script.Open(path);
  EXPECT_EQ(oneWay.Engine.ReadTurn(false, true, false), "HELLO GA");
  EXPECT_EQ(oneWay.Engine.ReadTurn(false, true, false), "SECOND LINETHIRD LINE");
  EXPECT_EQ(oneWay.Device->Written(), "");
}

TEST(Modem, AnAnswerWhileAHangUpIsOnItsWayEndsTheHangUpThere) {
  // The next ring is answered just as the hang-up's character is to go (events run before each
  // character): neither that character nor the hang-up's timed sequence follows the answer.
  for (const char* device : {kDeviceNXi, kDeviceInteleModem300, kDeviceInteleModem2400}) {
    SCOPED_TRACE(device);
    TCall call(device);
    bool answered = false;
    call.Window.betweenCharacters = [&] {
      if (answered) return;
      answered = true;
      call.Engine.Answer();
    };
    call.Engine.LineDown();
    call.Engine.HangUp();
    ASSERT_TRUE(answered);
    EXPECT_EQ(call.Device->Written(), AnswerCommand(call.Settings));
    EXPECT_FALSE(call.Window.commandTimer);
    // Without the answer, the hang-up's sequence goes on a step a tick, and ends.
    TCall alone(device);
    alone.Engine.LineDown();
    alone.Engine.HangUp();
    int steps = 0;
    while (alone.Window.commandTimer && steps < 20) {
      alone.Engine.CommandStep();
      ++steps;
    }
    EXPECT_FALSE(alone.Window.commandTimer);
    EXPECT_LT(steps, 20);
  }
}

}  // namespace
}  // namespace corvalis
