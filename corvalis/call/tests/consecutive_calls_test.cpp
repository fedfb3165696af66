// SPDX-License-Identifier: Apache-2.0
// Calls one after another in one window, as an unattended lab runs them: each call starts from
// the same state, no call is wiped or mixed into another, and nothing of a call outlives it.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <filesystem>

#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

const std::string kRule(64, '=');

class Calls : public CallsTest {
 protected:
  void Flags(const char* autoAnswer, const char* autoHangUp, const char* autoSave) {
    form->AutoAnsBox->setChecked(autoAnswer[0] == '1');
    form->AutoHangUpBox->setChecked(autoHangUp[0] == '1');
    form->AutoSaveBox->setChecked(autoSave[0] == '1');
  }
  void StartCall() { form->StartCallButton->click(); }
  void EndCall() { form->EndCallButton->click(); }
  void Save() { form->RecordLogButton->click(); }
  // A call has begun and is not ended: End Call can end it.
  bool CallOpen() const { return form->EndCallButton->isEnabled(); }
  // The last call is saved (or discarded): nothing waits, a new call can start.
  bool NothingWaits() const {
    return !form->RecordLogButton->isEnabled() && !form->EndCallButton->isEnabled() &&
           form->StartCallButton->isEnabled();
  }
  // The call has ended and waits to be saved: its view frozen.
  bool WaitsToBeSaved() const {
    return form->RecordLogButton->isEnabled() && !form->EndCallButton->isEnabled() &&
           !form->MemoASCII->isEnabled();
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const BoxCall& c : boxes.calls) texts.push_back(c.title + ": " + c.text);
    return texts;
  }
};

TEST_F(Calls, ADirectTtyCapturesEveryCallAfterOneEndedAutomatically) {
  Use(kDeviceCustomCompact);
  Flags("0", "1", "1");
  UseScript("HELLO GA\r\n\r\nHI GA\r\n\r\nBYE SK\r\n\r\n");
  form->CallDirectionLabel1->setChecked(true);  // the far end speaks first
  for (int call = 1; call <= 3; ++call) {
    SCOPED_TRACE(call);
    StartCall();
    Receive("HELLO GA");
    EXPECT_EQ(View(), "RECD: HELLO GA");
    Run(7);  // auto-send answers the far end's GA
    Run(20);
    EXPECT_EQ(TakeSent(), "HI GA ");
    EndCall();  // auto end: the TTY still gets the modem's hang-up
    Run(20);
    EXPECT_EQ(TakeSent(), "+++ATH\r");
    EXPECT_TRUE(NothingWaits());  // saved
  }
  EXPECT_EQ(Count(Captures(), "RECD: HELLO GA\r\n\r\nSEND: HI GA\r\n"), 3u);
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(Calls, AutoAnswerWithAutoSaveSavesTheCallLeftOpenFirst) {
  Use(kDeviceInteleModem2400);
  Flags("1", "1", "1");
  UseScript("HELLO GA\r\n\r\nHI GA\r\n\r\nBYE SK\r\n\r\n");
  Receive("\r\nRING\r\n");
  ASSERT_TRUE(CallOpen());
  Receive("\r\nCONNECT TTY\r\nFIRST CALL");
  Run(40);  // this side says its first turn
  ASSERT_NE(TakeSent().find("HELLO GA "), std::string::npos);
  Run(151);  // 30 s of silence hang a modem up; the call stays open
  ASSERT_TRUE(TakeSent().starts_with("\x15"));  // the modem's hang-up
  ASSERT_TRUE(CallOpen() && !form->RecordLogButton->isEnabled());
  Run(20);
  TakeSent();

  Receive("\r\nRING\r\n");
  // The first call is saved, and only then the second answered; no second hang-up goes first.
  EXPECT_EQ(TakeSent(), "ATB1S15=0A\r");
  EXPECT_TRUE(CallOpen());
  EXPECT_EQ(View(), "");
  std::string file = Captures();
  EXPECT_EQ(Count(file, kRule), 1u);
  EXPECT_NE(file.find("FIRST CALL\r\n\r\nSEND: HELLO GA"), std::string::npos) << file;

  Receive("\r\nCONNECT TTY\r\nSECOND CALL");
  EndCall();
  file = Captures();
  EXPECT_EQ(Count(file, kRule), 2u);
  EXPECT_NE(file.find("SECOND CALL\r\n"), std::string::npos) << file;
  EXPECT_EQ(Count(file, "FIRST CALL"), 1u);
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(Calls, AFailedAutomaticSaveKeepsTheCallAndAnswersNothing) {
  Use(kDeviceInteleModem2400);
  Flags("1", "1", "1");
  const std::string folder = logs.path().string();
  form->Settings.LogDirectory = folder + "/unplugged";
  Receive("\r\nRING\r\n\r\nCONNECT TTY\r\nFIRST CALL");
  EndCall();  // the save fails: shown once
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_NE(boxes.calls[0].text.find("File not found"), std::string::npos);
  Run(40);
  TakeSent();

  // Each ring tries again; the same failure is neither shown nor logged again, and nothing is answered.
  const std::size_t logged = log.lines.size();
  for (int ring = 0; ring < 3; ++ring) Receive("\r\nRING\r\n");
  EXPECT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(log.lines.size(), logged);
  EXPECT_EQ(TakeSent(), "");
  EXPECT_TRUE(WaitsToBeSaved());
  EXPECT_NE(View().find("FIRST CALL"), std::string::npos);

  fs::create_directory(folder + "/unplugged");  // the drive is back
  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "ATB1S15=0A\r");
  EXPECT_TRUE(CallOpen());
  EXPECT_EQ(boxes.calls.size(), 1u);
  const std::string file = folder + "/unplugged/1018-1405-LAB1.TXT";
  EXPECT_NE(readFile(file).find("FIRST CALL"), std::string::npos);
  // The end of the failure is logged once, with what it was.
  ASSERT_EQ(log.lines.size(), logged + 1);
  EXPECT_EQ(log.lines.back(), "saving works again: the call is saved in " + file +
                                  " (it failed 4 times: File not found (" + file + "))");
}

// A field the record needs is asked for once, whatever the rings that try again; filled in, the
// next ring saves the call and answers.
TEST_F(Calls, AnAutomaticSaveLackingAFieldAsksForItOnce) {
  Use(kDeviceInteleModem2400);
  Flags("1", "1", "1");
  form->Settings.Location.clear();
  Receive("\r\nRING\r\n\r\nCONNECT TTY\r\nFIRST CALL");
  EndCall();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Please enter this location at the LOCATION: field");
  Run(40);
  TakeSent();
  for (int ring = 0; ring < 2; ++ring) Receive("\r\nRING\r\n");
  EXPECT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(TakeSent(), "");

  form->Settings.Location = "Route 9";
  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "ATB1S15=0A\r");
  const std::string file = logs.path().string() + "/1018-1405-LAB1.TXT";
  EXPECT_NE(readFile(file).find("FIRST CALL"), std::string::npos);
  EXPECT_EQ(log.lines.back(), "saving works again: the call is saved in " + file +
                                  " (it failed 3 times: No location: Please enter this location at the LOCATION: field)");
}

TEST_F(Calls, WithoutAutoSaveNothingStartsOverAnUnsavedCall) {
  Use(kDeviceNXi);
  Flags("1", "0", "0");
  form->DialNumEdit->setText("5551234");
  form->DialButton->click();
  Receive("\r\nCONNECT TURBO\r\nFIRST CALL");
  ASSERT_TRUE(CallOpen());
  form->HangUpButton1->click();
  Run(40);
  TakeSent();
  clock.now += std::chrono::minutes(5);

  // Neither a ring nor the buttons start a call while the first one is open and unsaved.
  Receive("\r\nRING\r\n");
  form->DialButton->click();
  form->AnswerButton->click();
  EXPECT_EQ(TakeSent(), "");
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Unsaved Data: Save or discard the last call first.",
                                                  "Unsaved Data: Save or discard the last call first."}));
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  EndCall();
  Save();
  // Named after the minute the call began, not the minute it was saved.
  EXPECT_NE(readFile(logs.path() / "1018-1405-LAB1.TXT").find("RECD: FIRST CALL"), std::string::npos);

  // A dial, a call started by hand before the connection, ended without hanging up: the
  // connection that comes after it starts no call over the unsaved one.
  form->DialButton->click();
  StartCall();
  form->SendToMemoAndPort("HELLO?", false);
  boxes.answers = {TMsgResult::No};  // "Hang up this call?"
  EndCall();
  ASSERT_TRUE(WaitsToBeSaved());
  Receive("\r\nCONNECT TURBO\r\n");
  EXPECT_FALSE(CallOpen());
  EXPECT_TRUE(WaitsToBeSaved());
  EXPECT_NE(View().find("HELLO?"), std::string::npos);
}

TEST_F(Calls, HangUpAndEndCallCancelTheScriptsDelayedStart) {
  Use(kDeviceInteleModem2400);
  Flags("1", "1", "0");
  UseScript("HELLO GA\r\n\r\nHI GA\r\n\r\n");
  Receive("\r\nRING\r\n");  // answers and arms the script's start 3.8 s later
  Run(5);
  EndCall();
  const std::string frozen = View();
  Run(60);
  EXPECT_EQ(TakeSent().find("HELLO"), std::string::npos);
  EXPECT_EQ(View(), frozen);
  form->DontSaveButton->click();

  Receive("\r\nRING\r\n");
  Run(5);
  form->HangUpButton1->click();
  Run(60);
  EXPECT_EQ(TakeSent().find("HELLO"), std::string::npos);
  EndCall();
  form->DontSaveButton->click();

  // Left alone, a ring's script starts.
  Receive("\r\nRING\r\n");
  Run(60);
  EXPECT_NE(TakeSent().find("HELLO"), std::string::npos);
}

TEST_F(Calls, AfterTheEndOfTheScriptAutoSendStaysOffUntilResetOrTheNextCall) {
  Use(kDeviceCustomCompact);
  UseScript("HELLO GA\r\n\r\nBYE SK\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);  // this side speaks first
  StartCall();
  form->SendNowButton->click();
  Run(20);
  Receive("BYE SK");
  Run(7);  // auto-send reads the far end's turn and finds the end
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Done!: END OF FILE"}));
  EXPECT_EQ(TakeSent(), "HELLO GA ");

  Receive("ONE MORE THING GA");
  Run(60);
  EXPECT_EQ(TakeSent(), "");  // the script does not start again

  form->ResetButton->click();
  Receive("AGAIN GA");
  Run(20);
  EXPECT_EQ(TakeSent(), "HELLO GA ");
}

TEST_F(Calls, TheLastTurnOnATypingDeviceIsTypedBeforeTheScriptEnds) {
  Use(kDeviceQ90);
  Flags("0", "1", "1");
  UseScript("HI GA\r\n\r\nHELLO GA\r\n\r\nBYE SK\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);  // turns 1 and 3 are this side's
  StartCall();
  form->SendNowButton->click();
  Receive("HI GA");  // the tester types the turn; the device reports the keys
  Run(7);
  ASSERT_FALSE(typing->isVisible());
  Receive("HELLO GA");
  form->SendNowButton->click();
  EXPECT_TRUE(typing->isVisible());
  EXPECT_EQ(typing->TypingText(), "BYE SK");
  EXPECT_TRUE(CallOpen());  // not ended before the turn is typed
  Receive("BYE SK");
  Run(6);
  EXPECT_TRUE(CallOpen());
  Run(1);
  EXPECT_FALSE(typing->isVisible());
  EXPECT_TRUE(NothingWaits());  // ended and saved with the last turn in it
  std::string file = Captures();
  EXPECT_NE(file.find("\r\nSEND: HI GA\r\n\r\nRECD: HELLO GA\r\n\r\nSEND: BYE SK\r\n"), std::string::npos)
      << file;
  EXPECT_NE(file.find("SCRIPTCOMPLETED: Yes"), std::string::npos);

  // Without auto end, the end of the script is told once the last turn has been typed.
  form->AutoHangUpBox->setChecked(false);
  form->AutoSaveBox->setChecked(false);
  StartCall();
  form->SendNowButton->click();
  Receive("HI GA");
  Run(7);
  Receive("HELLO GA");
  form->SendNowButton->click();
  EXPECT_TRUE(boxes.calls.empty());
  Receive("BYE SK");
  Run(7);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Done!: END OF FILE"}));
}

// A click handled while a character is being sent (the send lets events run first).
class ClickDuringSend : public Calls, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClickDuringSend, EndCallStopsTheLineAndSendALineStaysOff) {
  Use(GetParam());
  Flags("0", "1", "0");
  UseScript("HELLO THERE GA\r\n\r\nBYE SK\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  StartCall();
  form->SendNowButton->click();
  QMetaObject::invokeMethod(
      form.get(), [this] { EndCall(); }, Qt::QueuedConnection);
  Run(1);
  ASSERT_TRUE(WaitsToBeSaved());
  const std::string frozen = View();
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Run(30);
  EXPECT_EQ(View(), frozen);
  // Only the hang-up went out after the call ended, not even the line's first character.
  EXPECT_EQ(TakeSent(), GetParam() == std::string(kDeviceNXi) ? "\x04+++ATH\r" : "+++ATH\r");
  EXPECT_EQ(frozen.find('H'), std::string::npos) << frozen;
  form->SendNowButton->click();
  Run(30);
  EXPECT_EQ(View(), frozen);
  EXPECT_EQ(TakeSent(), "");
}

INSTANTIATE_TEST_SUITE_P(Devices, ClickDuringSend, ::testing::Values(kDeviceCustomCompact, kDeviceNXi),
                         [](const auto& info) { return info.index == 0 ? "DirectTty" : "Modem"; });

TEST_F(Calls, TheEndOfTheScriptAndTheInactivityRuleAskForAMissingNameOnce) {
  Use(kDeviceCustomCompact);
  Flags("0", "1", "1");
  form->Settings.UserName.clear();
  UseScript("HELLO GA\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  StartCall();
  form->SendNowButton->click();
  Run(20);  // the line drains; the script ends and ends the call
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"No name: Please enter your name at the USER: field"}));
  form->DontSaveButton->click();
}

TEST_F(Calls, OkOnTheDevicesSheetStopsTheSequenceOfTheOldDevice) {
  Use(kDeviceNXi);
  form->HangUpButton1->click();  // EOT now, "+++" and "ATH" to follow
  EXPECT_EQ(TakeSent(), "\x04");
  form->SetActiveSheet(form->DevicesSheet);
  form->CompactButton->click();
  form->DeviceOkButton->click();
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
  Run(60);
  EXPECT_EQ(TakeSent(), "");  // a plain TTY gets nothing of the modem's sequence

  // The same for an initialisation still running.
  form->NXiButton->click();
  form->DeviceOkButton->click();
  Run(10);
  EXPECT_EQ(TakeSent(), "ATZ\rATE0\r");
  form->Q90Button->click();
  form->DeviceOkButton->click();
  Run(60);
  EXPECT_EQ(TakeSent(), "");

  // A dial waiting for its connection ends with its device: the line is down, nothing to send.
  form->Intelemodem300Button->click();
  form->DeviceOkButton->click();
  Run(20);
  form->DialNumEdit->setText("5551234");
  form->DialButton->click();
  ASSERT_TRUE(TakeSent().ends_with("ATDT 5551234\r"));
  form->Q90Button->click();
  form->DeviceOkButton->click();
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  // A connection line now starts no call, and a ring finds the line free.
  Receive("\r\nCONNECT TTY\r\n");
  EXPECT_FALSE(CallOpen());
  form->AutoAnsBox->setChecked(true);
  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "ATA\r");
}

TEST_F(Calls, TheNextCallStopsWhatIsLeftOfTheLastHangUp) {
  Use(kDeviceNXi);
  Flags("1", "1", "1");
  Receive("\r\nRING\r\n\r\nCONNECT TURBO\r\nFIRST CALL");
  EndCall();  // EOT at once; "+++" and "ATH" would follow at 2 s steps
  Run(5);
  EXPECT_EQ(TakeSent(), "ATA\r\x04");
  Receive("\r\nRING\r\n\r\nCONNECT TURBO\r\nSECOND CALL");
  Run(60);
  EXPECT_EQ(TakeSent(), "ATA\r");  // nothing of the old hang-up cuts the new call
  EXPECT_TRUE(CallOpen());
  EXPECT_NE(View().find("SECOND CALL"), std::string::npos);
  EndCall();
  TakeSent();

  // Nor does the rest of an initialisation that a ring came in the middle of.
  form->SetActiveSheet(form->DevicesSheet);
  form->Intelemodem300Button->click();
  form->DeviceOkButton->click();
  Receive("\r\nRING\r\n");
  Run(60);
  EXPECT_EQ(TakeSent(), "ATZ\rATA\r");
  EXPECT_EQ(View().find("ATE0"), std::string::npos);
}

}  // namespace
}  // namespace corvalis::testing
