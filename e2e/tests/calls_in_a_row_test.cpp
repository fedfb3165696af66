// SPDX-License-Identifier: Apache-2.0
// Three calls in a row through ttysim with nobody at the desk: the far end rings again after each
// hang-up and says something of its own in each call ({call} is typed as the call's number), and
// every call ends up in a record of its own, whole; also a day of eight on a modem that rings again
// the moment a call has been hung up.
#include <QPushButton>
#include <sstream>

#include "call/conversation_view.h"
#include "e2e_harness.h"
#include "fieldtext.h"

namespace e2e {
namespace {

constexpr int kCalls = 3;

std::string Numbered(std::string text, int call) {
  for (std::size_t at; (at = text.find("{call}")) != std::string::npos;)
    text.replace(at, 6, std::to_string(call));
  return text;
}

class CallsInARow : public FieldTest {
 protected:
  std::vector<std::string> Args(const std::string& device, const std::string& script, const std::string& side,
                                std::vector<std::string> more) {
    std::vector<std::string> args = {"--device", device, "--script",   script, "--side", side,
                                     "--calls",  "3",    "--call-gap", "0.5",  "--cps",  "30"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::vector<fieldtext::Record> Records() const { return fieldtext::readCapture(Captures()).records; }
  // Serves the calls until the last one is saved.
  void ServeTheCalls() {
    ASSERT_TRUE(ServeUntil([&] { return Records().size() == kCalls && form->StartCallButton->isEnabled(); }))
        << Boxes() << sim->Console() << Captures();
  }
  // Record n (from 1) holds call n's conversation: this side's turns and the far end's, with the
  // far end's words of that call, once.
  void ExpectRecords(const std::string& sent, const std::string& received, const std::string& device) {
    fieldtext::Capture capture = fieldtext::readCapture(Captures());
    EXPECT_TRUE(capture.broken.empty());
    ASSERT_EQ(capture.records.size(), static_cast<std::size_t>(kCalls)) << Captures();
    for (int n = 1; n <= kCalls; ++n) {
      SCOPED_TRACE("call " + std::to_string(n));
      const fieldtext::Record& record = capture.records[static_cast<std::size_t>(n - 1)];
      const std::string& conversation = record.conversation;
      // The view's last line loses its trailing spaces when the call ends.
      EXPECT_EQ(fieldtext::withoutTrailingSpaces(fieldtext::speakerText(conversation, "SEND: ")),
                fieldtext::withoutTrailingSpaces(sent))
          << conversation;
      EXPECT_EQ(fieldtext::withoutTrailingSpaces(fieldtext::speakerText(conversation, "RECD: ")),
                fieldtext::withoutTrailingSpaces(Numbered(received, n)))
          << conversation;
      ASSERT_TRUE(record.value("SCRIPTCOMPLETED") && record.value("DEVICE"));
      EXPECT_EQ(*record.value("SCRIPTCOMPLETED"), "Yes");
      EXPECT_EQ(*record.value("DEVICE"), device);
    }
    EXPECT_TRUE(sim->Said("next-call 3")) << sim->Console();
    EXPECT_EQ(Boxes(), "");
  }
};

// This side (answering) greets; the far end answers with the call's number and signs off.
const std::string kModemScript =
    "HELLO GA\r\n"
    "\r\n"
    "THIS IS CALL {call} SK\r\n"
    "\r\n";

TEST_F(CallsInARow, NxiModem) {
  Prepare("NXi modem", kModemScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(
      Args("nxi", scriptPath, "even", {"--ring-on-signal", "--quiet", kFarEndReplyPause, "--connect-delay", "0.3"})));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
  ASSERT_NO_FATAL_FAILURE(ServeTheCalls());
  ExpectRecords("HELLO GA ", "THIS IS CALL {call} SK ", "NXi modem");
  // Each call came up with turbo on its own answer, after the last one had hung up.
  // The records are held: the value found points into them.
  const std::vector<fieldtext::Record> records = Records();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kCalls));
  const std::string* turbo = records[2].value("TURBOCODEDETECTED");
  EXPECT_TRUE(turbo && *turbo == "Yes");
}

// What the program wrote to the modem while it was answering a call (after the answer command's CR,
// until the call came up or the answer was cut), one entry per answer that had any, as ttysim's log
// shows it; any character then cuts the answer, as on every modem. The log gives each read before
// what it made the modem do, so the read that ended the answer command may hold more after its CR.
std::vector<std::string> WrittenWhileAnswering(const std::string& simLog) {
  std::vector<std::string> found;
  bool answering = false;
  std::string written, lastRead;
  std::istringstream lines(simLog);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t rx = line.find(" rx ");
    if (line.find(" -> answering") != std::string::npos) {
      answering = true;
      const std::size_t cr = lastRead.rfind("\\r");
      written = cr == std::string::npos ? std::string() : lastRead.substr(cr + 2);
    } else if (answering && (line.find(" ev connect ") != std::string::npos ||
                             line.find(" ev aborted ") != std::string::npos)) {
      answering = false;
      if (!written.empty()) found.push_back(written);
    } else if (rx != std::string::npos) {
      lastRead = line.substr(rx + 4);
      if (answering) written += lastRead;
    }
  }
  return found;
}

// A caller waiting on the line: the modem rings for the next call as soon as the last one has been
// hung up, while the program is still ending that call. Each ring is answered, and nothing of the
// ended call's hang-up (its character, "+++", "ATH") follows the answer to the modem: every call of
// the day comes up and is saved.
class RingingAgainAtOnce : public CallsInARow {
 protected:
  static constexpr int kDay = 8;
  void ServeTheDay(const std::string& device, const std::string& simDevice, const std::string& lastInitCommand) {
    Prepare(device, kModemScript);
    ASSERT_NO_FATAL_FAILURE(StartSim({"--device", simDevice, "--script", scriptPath, "--side", "even", "--calls",
                                      std::to_string(kDay), "--call-gap", "0", "--cps", "30", "--ring-on-signal",
                                      "--quiet", kFarEndReplyPause, "--connect-delay", "0.3"}));
    ASSERT_NO_FATAL_FAILURE(OpenWindow());
    ASSERT_NO_FATAL_FAILURE(RingWhenInitialised(lastInitCommand));
    // A cut answer ends the day (the caller does not ring again): that is seen at once.
    ASSERT_TRUE(ServeUntil([&] {
      return sim->Said("aborted") || sim->Exited() ||
             (Records().size() == static_cast<std::size_t>(kDay) && form->StartCallButton->isEnabled());
    })) << sim->Console() << Captures();
    EXPECT_EQ(WrittenWhileAnswering(SimLog()), std::vector<std::string>{}) << SimLog();
    EXPECT_FALSE(sim->Said("aborted")) << sim->Console();
    const std::vector<fieldtext::Record> records = Records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kDay)) << sim->Console() << Captures();
    for (int n = 1; n <= kDay; ++n) {
      SCOPED_TRACE("call " + std::to_string(n));
      const fieldtext::Record& record = records[static_cast<std::size_t>(n - 1)];
      EXPECT_EQ(fieldtext::withoutTrailingSpaces(fieldtext::speakerText(record.conversation, "RECD: ")),
                "THIS IS CALL " + std::to_string(n) + " SK");
      ASSERT_TRUE(record.value("SCRIPTCOMPLETED"));
      EXPECT_EQ(*record.value("SCRIPTCOMPLETED"), "Yes");
    }
    EXPECT_EQ(Boxes(), "");
  }
};

TEST_F(RingingAgainAtOnce, NxiModem) {
  ServeTheDay("NXi modem", "nxi", "AT#L1");
}

TEST_F(RingingAgainAtOnce, InteleModem2400) {
  ServeTheDay("Ultratec Intele-Modem 2400", "im2400", "ATX1E0");
}

TEST_F(CallsInARow, InteleModem2400) {
  Prepare("Ultratec Intele-Modem 2400", kModemScript);
  ASSERT_NO_FATAL_FAILURE(StartSim(
      Args("im2400", scriptPath, "even", {"--ring-on-signal", "--quiet", kFarEndReplyPause, "--connect-delay", "0.3"})));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("ATX1E0"));
  ASSERT_NO_FATAL_FAILURE(ServeTheCalls());
  ExpectRecords("HELLO GA ", "THIS IS CALL {call} SK ", "Ultratec Intele-Modem 2400");
}

TEST_F(CallsInARow, DirectTtyEndingEachCallByItself) {
  // On a directly attached TTY the script waits for the far end: it greets first (a turn that is
  // not in this side's script), this side signs off, and the call ends with the script.
  const std::string script = "BYE SK\r\n\r\n";
  Prepare("Ultratec Custom Compact", script);
  std::string farScript = WriteScript("far-script.txt", "THIS IS CALL {call} GA\r\n\r\n" + script);
  ASSERT_NO_FATAL_FAILURE(StartSim(
      Args("compact", farScript, "odd", {"--ring-after", "0.3", "--quiet", kFarEndReplyPause, "--start-delay", "0.5"})));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  ASSERT_NO_FATAL_FAILURE(ServeTheCalls());
  ExpectRecords("BYE SK ", "THIS IS CALL {call} GA ", "Ultratec Custom Compact");
  // Each call's end sent the TTY the hang-up sequence before the next call rang.
  EXPECT_EQ(fieldtext::withoutLineEnds(FarReceived()).find("BYE SK +++ATHBYE SK +++ATHBYE SK "), 0u)
      << FarReceived();
}

TEST_F(CallsInARow, TypingDeviceWithThisSideHavingTheLastTurn) {
  // The tester at the Q-90 types what the typing window shows; the call ends (and is saved) once
  // the last turn has been typed, not when it is shown.
  const std::string script =
      "HELLO GA\r\n"
      "\r\n"
      "THIS IS CALL {call} GA\r\n"
      "\r\n"
      "BYE SK\r\n"
      "\r\n";
  Prepare("Ameriphone Q-90", script);
  ASSERT_NO_FATAL_FAILURE(StartSim(
      Args("q90", scriptPath, "even", {"--ring-after", "0.3", "--quiet", "2.5", "--start-delay", "1.5"})));
  ASSERT_NO_FATAL_FAILURE(OpenWindow());
  for (int n = 1; n <= kCalls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    // The ring is answered by itself; the tester asks for each turn of this side.
    ASSERT_TRUE(ServeUntil([&] { return form->EndCallButton->isEnabled() && form->SendNowButton->isEnabled(); }))
        << sim->Console();
    form->SendNowButton->click();
    ASSERT_TRUE(typing->isVisible());
    const std::string farTurn = "THIS IS CALL " + std::to_string(n) + " GA ";
    ASSERT_TRUE(ServeUntil([&] {
      return fieldtext::speakerText(form->MemoASCII->Text(), "RECD: ") == farTurn;
    })) << form->MemoASCII->Text();
    form->SendNowButton->click();
    ASSERT_TRUE(typing->isVisible());
    EXPECT_EQ(typing->TypingText(), "BYE SK");
    ASSERT_TRUE(ServeUntil([&] { return Records().size() == static_cast<std::size_t>(n); }))
        << sim->Console() << Boxes();
    EXPECT_FALSE(typing->isVisible());
  }
  ExpectRecords("HELLO GABYE SK", "THIS IS CALL {call} GA ", "Ameriphone Q-90");
}

}  // namespace
}  // namespace e2e
