// SPDX-License-Identifier: Apache-2.0
// Whole calls through ttysim, one device family each: the call comes up as that device does,
// the script runs, and what crossed the line and what the capture file holds are checked.
#include <QPushButton>

#include "call/conversation_view.h"
#include "e2e_harness.h"
#include "fieldtext.h"

namespace e2e {
namespace {

using fieldtext::Side;

// Turn 3 has two lines and a pause; the far end has the last word.
const std::string kScript =
    "HELLO THIS IS THE LAB GA\r\n"
    "\r\n"
    "HI LAB I READ YOU GA\r\n"
    "\r\n"
    "NUMBERS 911 AND\r\n"
    "555-0142~ GA\r\n"
    "\r\n"
    "GOT THEM BYE SK\r\n"
    "\r\n";

std::string Turns(const std::string& script, Side side, std::string_view lineEnd = " ") {
  return fieldtext::sideText(fieldtext::readTurns(script), side, lineEnd);
}

// What ttysim read from the program, as its log shows it (bytes escaped).
std::string ReadFromProgram(const std::string& log) {
  std::string rx;
  std::size_t at = 0;
  while ((at = log.find(" rx ", at)) != std::string::npos) {
    std::size_t end = log.find('\n', at);
    rx += log.substr(at + 4, end - at - 4);
    at = end;
  }
  return rx;
}

// The events appear in ttysim's console in this order.
void ExpectInOrder(const std::string& console, const std::vector<std::string>& events) {
  std::size_t at = 0;
  for (const std::string& e : events) {
    std::size_t found = console.find(e, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << e << "\n" << console;
    at = found + e.size();
  }
}

class DeviceCall : public FieldTest {
 protected:
  // The call ran to its end: ttysim exited 0 after the program hung up, the call was saved.
  void ServeToTheEnd() {
    ASSERT_EQ(ServeUntilSimExits(), 0) << sim->Console();
    ASSERT_TRUE(ServeUntil([&] { return form->StartCallButton->isEnabled(); })) << Boxes();
  }

  // The capture holds one complete record with the conversation and the values expected.
  void ExpectCapture(const std::string& sent, const std::string& received,
                     const std::map<std::string, std::string>& values) {
    std::string capture = Capture();
    auto conversation = fieldtext::lastConversation(capture);
    ASSERT_TRUE(conversation) << capture;
    EXPECT_EQ(fieldtext::speakerText(*conversation, "SEND: "), sent) << *conversation;
    // The view's last line loses its trailing spaces when the call ends.
    EXPECT_EQ(fieldtext::withoutTrailingSpaces(fieldtext::speakerText(*conversation, "RECD: ")),
              fieldtext::withoutTrailingSpaces(received))
        << *conversation;
    for (auto& [key, value] : values) EXPECT_EQ(fieldtext::lastRecordValue(capture, key), value) << key;
    EXPECT_EQ(fieldtext::lastRecordValue(capture, "SCRIPTCOMPLETED"), "Yes");
    EXPECT_EQ(fieldtext::lastRecordValue(capture, "SCRIPTUSED"), scriptPath);
    EXPECT_EQ(fieldtext::lastRecordValue(capture, "DIAL#"), std::nullopt);
    EXPECT_EQ(fieldtext::lastRecordValue(capture, "USERNAME"), "e2e");
  }

  // One speaker's text in the conversation view so far.
  std::string Shown(std::string_view mark) const {
    return fieldtext::speakerText(form->MemoASCII->Text(), mark);
  }

  std::vector<std::string> ModemArgs(const std::string& device) {
    return {"--device", device, "--script", scriptPath, "--side",          "even", "--ring-on-signal",
            "--cps",    "30",   "--quiet",  kFarEndReplyPause,      "--connect-delay", "0.3"};
  }
};

TEST_F(DeviceCall, NxiModemAnswersTheRingWithTurboAndRunsTheScriptByItself) {
  Prepare("NXi modem", kScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(ModemArgs("nxi")));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  ExpectInOrder(sim->Console(),
                {"command ATZ -> OK", "command ATE0 -> OK", "command AT#T -> OK", "ring 1",
                 "command ATA -> answering", "connect CONNECT TURBO", "heard turn 1", "far-end typed turn 2",
                 "heard turn 3", "far-end typed turn 4", "hangup EOT", "command ATH -> OK", "done hung up"});
  // This side's turns went down the line (a modem's automatic line breaks aside), nothing else.
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()), Turns(kScript, Side::Odd));
  EXPECT_EQ(FarSent(), Turns(kScript, Side::Even));
  // The in-band sound codes went to the program around the far end's typing.
  EXPECT_NE(SimLog().find("tx \\x1f"), std::string::npos);
  EXPECT_NE(SimLog().find("\\x1e"), std::string::npos);
  ExpectCapture(Turns(kScript, Side::Odd), Turns(kScript, Side::Even),
                {{"DEVICE", "NXi modem"},
                 {"TURBOCODEDETECTED", "Yes"},
                 {"DIRECTION", "Incoming Call"},
                 {"PORT", "1"},
                 {"TYPE", "Landline Calls (Direct connection)"}});
  EXPECT_EQ(Boxes(), "");
}

class InteleModem2400 : public DeviceCall, public ::testing::WithParamInterface<bool> {};

TEST_P(InteleModem2400, AnswersWithTheTurboCodeAsSetAndHangsUpWithNakThenAth) {
  const bool turbo = GetParam();
  Prepare("Ultratec Intele-Modem 2400", kScript, {{"Enable Turbo Code", turbo ? "1" : "0"}});
  ASSERT_NO_FATAL_FAILURE(StartSim(ModemArgs("im2400")));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("ATX1E0"));
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  ExpectInOrder(sim->Console(),
                {"command ATZ0 -> OK", "ring 1",
                 turbo ? "command ATB7S15=3A -> answering" : "command ATB1S15=0A -> answering",
                 turbo ? "connect CONNECT TURBO" : "connect CONNECT TTY", "far-end typed turn 4",
                 "hangup NAK", "command ATH -> OK", "done hung up"});
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()), Turns(kScript, Side::Odd));
  // NAK at once, then ATH alone (no escape first).
  std::string rx = ReadFromProgram(SimLog());
  std::size_t nak = rx.find("\\x15");
  ASSERT_NE(nak, std::string::npos) << rx;
  EXPECT_EQ(rx.substr(nak).find("+++"), std::string::npos) << rx;
  EXPECT_TRUE(rx.ends_with("ATH\\r")) << rx;
  ExpectCapture(Turns(kScript, Side::Odd), Turns(kScript, Side::Even),
                {{"DEVICE", "Ultratec Intele-Modem 2400"}, {"TURBOCODEDETECTED", turbo ? "Yes" : "No"}});
  EXPECT_EQ(Boxes(), "");
}

INSTANTIATE_TEST_SUITE_P(Turbo, InteleModem2400, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "TurboOn" : "TurboOff"; });

TEST_F(DeviceCall, InteleModem300AnswersWithoutTurboAndHangsUpWithTheEscape) {
  Prepare("Ultratec Intele-Modem 300", kScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(ModemArgs("im300")));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("ATE0B1S13=255"));
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  ExpectInOrder(sim->Console(),
                {"command ATZ -> OK", "ring 1", "command ATA -> answering", "connect CONNECT TTY",
                 "far-end typed turn 4", "escape +++ -> OK", "command ATH -> ", "done hung up"});
  // No ESC: it hangs up only a call in which nothing was exchanged yet.
  EXPECT_EQ(ReadFromProgram(SimLog()).find("\\x1b"), std::string::npos);
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()), Turns(kScript, Side::Odd));
  ExpectCapture(Turns(kScript, Side::Odd), Turns(kScript, Side::Even),
                {{"DEVICE", "Ultratec Intele-Modem 300"}, {"TURBOCODEDETECTED", "No"}});
  EXPECT_EQ(Boxes(), "");
}

TEST_F(DeviceCall, DirectTtyAnswersTheRingAndRepliesWhenTheFarEndHasSpoken) {
  // The far end opens with a greeting that is not in this side's script; on a directly attached
  // TTY the script does not start by itself, only once the far end's turn has arrived.
  const std::string greeting = "HELLO LAB THIS IS CAR 2 GA\r\n\r\n";
  Prepare("Ultratec Custom Compact", kScript);
  std::string farScript = WriteScript("far-script.txt", greeting + kScript);
  const std::vector<std::string> args = {"--device", "compact",      "--script",      farScript, "--side",
                                         "odd",      "--ring-after", "0.3",           "--cps",   "30",
                                         "--quiet",  kFarEndReplyPause,          "--start-delay", "0.5"};
  ASSERT_NO_FATAL_FAILURE(StartSim(args));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  ExpectInOrder(sim->Console(),
                {"ring 1", "call-up answered", "far-end typed turn 1", "heard turn 2", "far-end typed turn 3",
                 "heard turn 4", "far-end typed turn 5", "hangup ATH", "done hung up"});
  // The answer command stayed in the TTY; the hang-up sequence went down the line after the turns.
  EXPECT_EQ(FarReceived(), Turns(kScript, Side::Odd) + "+++ATH\r");
  std::string farTurns = Turns(greeting + kScript, Side::Odd);
  EXPECT_EQ(FarSent(), farTurns);
  ExpectCapture(Turns(kScript, Side::Odd), farTurns,
                {{"DEVICE", "Ultratec Custom Compact"}, {"TURBOCODEDETECTED", "No"}});
  auto conversation = fieldtext::lastConversation(Capture());
  ASSERT_TRUE(conversation);
  EXPECT_TRUE(conversation->starts_with("RECD: ")) << *conversation;
  EXPECT_EQ(Boxes(), "");
}

TEST_F(DeviceCall, ManualTypingShowsEachTurnAndHidesItAfterTheTesterTypedGa) {
  // The tester at the device types what the typing window shows; the far end answers. Both wait 3 s
  // after the other's turn: time for the window to go (1.2 s after GA) and for Send a line.
  Prepare("Ameriphone Q-90", kScript);
  const std::vector<std::string> args = {"--device", "q90", "--script", scriptPath, "--side",        "even",
                                         "--cps",    "30",  "--quiet",  "3",        "--start-delay", "2"};
  ASSERT_NO_FATAL_FAILURE(StartSim(args));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_FALSE(typing->isVisible());
  form->StartCallButton->click();
  form->SendNowButton->click();
  ASSERT_TRUE(typing->isVisible());
  EXPECT_EQ(typing->TypingText(), "HELLO THIS IS THE LAB GA");
  // The device reports the tester's keys; after GA and a pause the window goes.
  ASSERT_TRUE(ServeUntil([&] { return !typing->isVisible(); })) << sim->Console();
  EXPECT_TRUE(sim->Said("local typed turn 1")) << sim->Console();

  // The tester reads the far end's whole turn, then asks for the next.
  ASSERT_TRUE(ServeUntil([&] { return Shown("RECD: ") == "HI LAB I READ YOU GA "; }))
      << form->MemoASCII->Text();
  form->SendNowButton->click();
  ASSERT_TRUE(typing->isVisible());
  EXPECT_EQ(typing->TypingText(), "NUMBERS 911 AND555-0142 GA");
  ASSERT_TRUE(ServeUntil([&] { return !typing->isVisible(); })) << sim->Console();

  // After the far end's last turn, the next press finds the end of the script.
  ASSERT_TRUE(ServeUntil([&] { return Shown("RECD: ") == Turns(kScript, Side::Even); }))
      << form->MemoASCII->Text();
  form->SendNowButton->click();
  EXPECT_FALSE(typing->isVisible());
  ASSERT_NO_FATAL_FAILURE(ServeToTheEnd());

  ExpectInOrder(sim->Console(), {"local typing turn 1", "local typed turn 1", "far-end typed turn 2",
                                 "local typed turn 3", "far-end typed turn 4", "hangup ATH", "done hung up"});
  // What the program writes goes nowhere on this device: only the tester's keys went down the line.
  std::string shown = Turns(kScript, Side::Odd, "");
  EXPECT_EQ(FarReceived(), shown);
  ExpectCapture(shown, Turns(kScript, Side::Even), {{"DEVICE", "Ameriphone Q-90"}});
  EXPECT_EQ(Boxes(), "");
}

}  // namespace
}  // namespace e2e
