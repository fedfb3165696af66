// SPDX-License-Identifier: Apache-2.0
// Modem control in the window: the AT commands of dial, answer and hang-up for each device,
// the timed command sequences and the modem's OK, RING and CONNECT lines, and the modem
// controls.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "records/journal.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

class Modem : public FormTest {
 protected:
  void UseDevice(const std::string& type, const std::string& turbo = "0") {
    StartUp(type);
    form->Settings.TurboCode = turbo;
    form->UpdateModemButtons();
  }
  // Runs the AT command timer's interval as if 2 s had passed.
  void Elapse() {
    ASSERT_TRUE(form->ATCommandTimer.Enabled());
    form->ATCommandTimer.Fire();
  }
  std::string TakeSent() {
    std::string s = Sent();
    Sent().clear();
    return s;
  }
  // A call has begun: End Call can end it.
  bool CallOpen() const { return form->EndCallButton->isEnabled(); }
  // Whether the journal of the call going on says it connected with the turbo code.
  bool JournalSaysTurbo() const { return ParseJournal(kit::testing::readFile(form->JournalPath())).Turbo; }
};

struct CommandCase {
  const char* device;
  const char* turbo;
  const char* dial;
  const char* answer;
};

class ModemCommands : public Modem, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ModemCommands, DialAndAnswer) {
  const CommandCase& c = GetParam();
  UseDevice(c.device, c.turbo);
  form->DialNumEdit->setText("123");
  EXPECT_EQ(form->Settings.DialNumber, "123");
  ASSERT_TRUE(form->DialButton->isEnabled());
  TakeSent();
  form->DialButtonClick(form->DialButton);
  EXPECT_EQ(TakeSent(), c.dial);
  EXPECT_TRUE(form->CallDirectionLabel1->isChecked());
  form->AnswerButtonClick(form->AnswerButton);
  EXPECT_EQ(TakeSent(), c.answer);
  EXPECT_TRUE(form->CallDirectionLabel2->isChecked());
}

INSTANTIATE_TEST_SUITE_P(
    EachModem, ModemCommands,
    ::testing::Values(CommandCase{kDeviceInteleModem2400, "1", "ATB7S15=3DT 123\r", "ATB7S15=3A\r"},
                      CommandCase{kDeviceInteleModem2400, "0", "ATB1S15=0DT 123\r", "ATB1S15=0A\r"},
                      CommandCase{kDeviceNXi, "1", "ATDT 123\r", "ATA\r"},
                      CommandCase{kDeviceInteleModem300, "1", "ATDT 123\r", "ATA\r"}));

TEST_F(Modem, DialNeedsANumberAndAModem) {
  UseDevice(kDeviceNXi);
  EXPECT_TRUE(form->NxiSoundPanel->isVisibleTo(form.get()));
  EXPECT_FALSE(form->DialButton->isEnabled());
  form->DialNumEdit->setText("5551234");
  EXPECT_TRUE(form->DialButton->isEnabled());
  form->Settings.DeviceType = kDeviceCustomCompact;
  form->UpdateModemButtons();
  EXPECT_FALSE(form->DialButton->isEnabled() || form->AnswerButton->isEnabled());
  EXPECT_FALSE(form->NxiSoundPanel->isVisibleTo(form.get()));
}

TEST_F(Modem, ADialWaitsForTheConnectLineWhichMayBeTurbo) {
  UseDevice(kDeviceInteleModem2400, "1");
  form->DialNumEdit->setText("123");
  form->DialButtonClick(form->DialButton);
  EXPECT_FALSE(CallOpen());
  Receive("\r\nCONNECT 300\r\n");
  EXPECT_FALSE(CallOpen());
  EXPECT_EQ(View().find("CONNECT"), std::string::npos) << View();  // nothing shows while the dial waits
  Receive("\r\nCONNECT TURBO 2400\r\n");
  EXPECT_TRUE(CallOpen());
  EXPECT_TRUE(JournalSaysTurbo());
  Receive("HI");
  EXPECT_EQ(View(), "RECD: HI");  // the turbo code's line end after the connection is hidden, LF too
}

TEST_F(Modem, AnswerStartsTheCallAtOnceExceptOnTheNXiModem) {
  UseDevice(kDeviceInteleModem300);
  form->AnswerButtonClick(form->AnswerButton);
  EXPECT_TRUE(CallOpen());
  Receive("ATA\r\nNOISE");
  EXPECT_EQ(View(), "");  // hidden until the connection stands
  Receive("\r\nCONNECT TTY\r\nHI");
  EXPECT_FALSE(JournalSaysTurbo());
  EXPECT_EQ(View(),
            "RECD: "
            "\xB2"
            "HI");

  form->EndCallButtonClick(form->EndCallButton);
  form->DontSaveButtonClick(form->DontSaveButton);
  form->Settings.DeviceType = kDeviceNXi;
  form->AnswerButtonClick(form->AnswerButton);
  EXPECT_FALSE(CallOpen());
  Receive("\r\nCONNECT TURBO\r\n");
  EXPECT_TRUE(CallOpen());
  EXPECT_TRUE(JournalSaysTurbo());
}

TEST_F(Modem, HangUpOnTheInteleModem2400SendsNakThenATH) {
  UseDevice(kDeviceInteleModem2400);
  form->AnswerButtonClick(form->AnswerButton);
  TakeSent();
  form->HangUpButton1Click(form->HangUpButton1);
  EXPECT_EQ(TakeSent(), "\x15");
  // Off line, the call's clock stopped; the call stays open until End Call.
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Tick(5);
  EXPECT_EQ(form->RecordLabel->text(), "");
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  Elapse();
  EXPECT_EQ(TakeSent(), "ATH\r");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
}

TEST_F(Modem, HangUpOnTheNXiModemGoesOnAtOnceWhenTheModemSaysOK) {
  UseDevice(kDeviceNXi);
  form->AnswerButtonClick(form->AnswerButton);
  Receive("\r\nCONNECT TURBO\r\n");
  TakeSent();
  form->HangUpButton2->setEnabled(true);
  form->HangUpButton2->click();
  EXPECT_EQ(TakeSent(), "\x04");
  Elapse();
  EXPECT_EQ(TakeSent(), "+++");
  Receive("\r\nOK\r\n");
  EXPECT_EQ(TakeSent(), "ATH\r");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
  Receive("\r\nOK\r\n");  // with the timer stopped an OK does nothing
  EXPECT_EQ(TakeSent(), "");
}

TEST_F(Modem, TheInteleModem300GetsEscOnlyBeforeAnythingWasExchanged) {
  UseDevice(kDeviceInteleModem300);
  form->AnswerButtonClick(form->AnswerButton);
  TakeSent();
  form->HangUpButton1Click(form->HangUpButton1);
  EXPECT_EQ(TakeSent(), "\x1B");
  Elapse();
  EXPECT_EQ(TakeSent(), "+++");
  Elapse();
  EXPECT_EQ(TakeSent(), "ATH\r");

  form->EndCallButtonClick(form->EndCallButton);
  form->DontSaveButtonClick(form->DontSaveButton);
  form->AnswerButtonClick(form->AnswerButton);
  Receive("\r\nCONNECT TTY\r\nHI");
  TakeSent();
  form->HangUpButton1Click(form->HangUpButton1);
  EXPECT_EQ(TakeSent(), "");
  Elapse();
  EXPECT_EQ(TakeSent(), "+++");
}

TEST_F(Modem, InitialisationSequences) {
  UseDevice(kDeviceNXi);
  TakeSent();
  form->InitializeModem();
  EXPECT_EQ(TakeSent(), "ATZ\r");
  Elapse();
  EXPECT_EQ(TakeSent(), "ATE0\r");
  Elapse();
  EXPECT_EQ(TakeSent(), "AT#T\r");
  Elapse();
  EXPECT_EQ(TakeSent(), "AT#L1\r");
  Elapse();
  EXPECT_EQ(TakeSent(), "");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());

  // The modem's OK brings each next step at once.
  form->Settings.DeviceType = kDeviceInteleModem300;
  form->InitializeModem();
  EXPECT_EQ(TakeSent(), "ATZ\r");
  Receive("OK\r\n");
  EXPECT_EQ(TakeSent(), "ATE0B1S13=255\r");
  Receive("OK\r\n");
  EXPECT_EQ(TakeSent(), "");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());

  form->Settings.DeviceType = kDeviceInteleModem2400;
  form->InitializeModem();
  EXPECT_EQ(TakeSent(), "ATZ0\r");
  Elapse();
  EXPECT_EQ(TakeSent(), "ATX1E0\r");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());

  // Nothing for a TTY attached directly, nor on a port that is not open.
  form->Settings.DeviceType = kDeviceCustomCompact;
  form->InitializeModem();
  form->Settings.DeviceType = kDeviceNXi;
  form->ComPort.Close();
  form->InitializeModem();
  EXPECT_EQ(TakeSent(), "");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
}

TEST_F(Modem, RingWithAutoAnswerOnAModemStartsTheScript19TicksAfterTheCall) {
  kit::testing::TempDir dir;
  UseDevice(kDeviceNXi);
  form->ScriptFileNameEdit->setText(
      QString::fromStdString(dir.write("s.txt", "HELLO GA\r\n\r\nHI GA\r\n\r\n")));
  form->CallDirectionLabel1->setChecked(true);
  form->AutoSendBox->setChecked(false);
  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "");  // not without auto answer
  form->AutoAnsBox->setChecked(true);
  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "ATA\r");
  EXPECT_TRUE(form->CallDirectionLabel2->isChecked());
  EXPECT_FALSE(CallOpen());  // the NXi modem waits for its CONNECT line
  Receive("\r\nCONNECT TURBO\r\n");
  EXPECT_TRUE(CallOpen());
  EXPECT_TRUE(form->AutoSendBox->isChecked());

  Tick(18);
  EXPECT_EQ(TakeSent(), "");
  Tick(1);
  // Turbo: two characters a tick.
  EXPECT_EQ(TakeSent(), "HE");
  Tick(3);
  EXPECT_EQ(TakeSent(), "LLO GA");
  Tick(1);
  EXPECT_EQ(TakeSent(), " ");

  Receive("\r\nRING\r\n");  // on line: no second answer
  EXPECT_EQ(TakeSent(), "");
  EXPECT_TRUE(CallOpen());
}

TEST_F(Modem, RingWithAutoAnswerOnADirectTTYAnswersAndStartsTheCallAtOnce) {
  kit::testing::TempDir dir;
  UseDevice(kDeviceCustomCompact);
  form->ScriptFileNameEdit->setText(QString::fromStdString(dir.write("s.txt", "HELLO GA\r\n\r\n")));
  form->CallDirectionLabel1->setChecked(true);
  form->AutoAnsBox->setChecked(true);
  Receive("RING\r\n");
  EXPECT_EQ(TakeSent(), "ATA\r");
  EXPECT_TRUE(CallOpen());
  Tick(40);  // the script waits for the tester
  EXPECT_EQ(TakeSent(), "");
  Receive("HI");  // and no connection for the call to wait for
  EXPECT_TRUE(View().ends_with("HI")) << View();
}

TEST_F(Modem, TheEndOfTheScriptHangsUpOnce) {
  // A second hang-up character, a moment after the first, aborts the answer to a modem that rings
  // again at once.
  kit::testing::TempDir dir;
  UseDevice(kDeviceNXi);
  form->Settings.AutoHangUp = "1";
  form->ScriptFileNameEdit->setText(QString::fromStdString(dir.write("s.txt", "HI GA\r\n\r\nBYE SK\r\n")));
  form->DialNumEdit->setText("5551234");
  form->DialButtonClick(form->DialButton);
  Receive("\r\nCONNECT TTY\r\n");
  ASSERT_TRUE(CallOpen());
  Receive("HI GA");
  TakeSent();
  form->SendNowButton->click();
  Tick(12);
  EXPECT_EQ(TakeSent(), "BYE SK \x04");
  EXPECT_FALSE(CallOpen());
  Elapse();
  Elapse();
  EXPECT_EQ(TakeSent(), "+++ATH\r");
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
}

}  // namespace
}  // namespace corvalis::testing
