// SPDX-License-Identifier: Apache-2.0
// The script engine in the window: which turns a press hands over, paced line by line or
// shown for typing, the end of the script, the turn counter and the script controls, the
// Files sheet's Browse and View File, and the manual typing window.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>

#include "call/manualtype.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

// Three turns: the answering side says turn 1 and 3, the calling side turn 2.
const char* const kThreeTurns =
    "HELLO GA\r\n"
    "\r\n"
    "LINE ONE\r\n"
    "LINE TWO GA\r\n"
    "\r\n"
    "BYE SK\r\n"
    "\r\n";

class Script : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    StartUp(kDeviceCustomCompact, dir.path().string());
  }
  // Writes a script and names it in the Files sheet, as the tester would.
  std::string UseScript(const std::string& bytes, const std::string& name = "script.txt") {
    std::string path = dir.write(name, bytes);
    form->ScriptFileNameEdit->setText(QString::fromStdString(path));
    return path;
  }
  void Outgoing() { form->CallDirectionLabel1->setChecked(true); }
  void Incoming() { form->CallDirectionLabel2->setChecked(true); }
  void StartCall() { form->StartCallButtonClick(form->StartCallButton); }
  void Press() { form->SendNowButtonClick(form->SendNowButton); }
  // Ticks until the line being sent (and the rest of its turn) has gone: "Send a line" is back.
  void Drain() {
    for (int i = 0; i < 500 && !form->SendNowButton->isEnabled(); ++i) Tick();
  }
  std::string Counter() const { return form->TotalLinesLabel->text().toStdString(); }
  // Ends the call and saves it: its record.
  std::string SavedRecord() {
    form->EndCallButtonClick(form->EndCallButton);
    form->RecordLogButtonClick(form->RecordLogButton);
    return readFile(dir.path() / "1018-1405-LAB1.TXT");
  }

  TempDir dir;
};

TEST_F(Script, AnOutgoingCallSkipsTurnOneAndSendsTurnTwoLineByLine) {
  UseScript(kThreeTurns);
  Outgoing();
  StartCall();
  EXPECT_EQ(Counter(), "Conversation turn #0 of 3");
  Press();
  EXPECT_EQ(Counter(), "Conversation turn #2 of 3");
  EXPECT_FALSE(form->SendNowButton->isEnabled());  // until the turn has gone

  Tick(9);
  EXPECT_EQ(Sent(), "LINE ONE ");
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Tick(1);
  EXPECT_EQ(Sent(), "LINE ONE L");  // the next line follows by itself
  Drain();
  EXPECT_EQ(Sent(), "LINE ONE LINE TWO GA ");
  EXPECT_EQ(View(), "SEND: LINE ONE LINE TWO GA ");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  EXPECT_TRUE(boxes.calls.empty());

  // The next press reads past turn 3 to the end of the file.
  Press();
  EXPECT_EQ(Sent(), "LINE ONE LINE TWO GA ");
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Done!");
  EXPECT_EQ(boxes.calls[0].text, "END OF FILE");
  EXPECT_EQ(Counter(), "Conversation turn #0 of 3");
  EXPECT_TRUE(form->EndCallButton->isEnabled());  // without auto end the call goes on
  // The script was closed at its end: a press reads it from the start again.
  Sent().clear();
  Press();
  EXPECT_EQ(Counter(), "Conversation turn #2 of 3");
  Tick(1);
  EXPECT_EQ(Sent(), "L");
  EXPECT_NE(SavedRecord().find("SCRIPTCOMPLETED: Yes\r\n"), std::string::npos);
}

TEST_F(Script, AnIncomingCallSendsTurnOneAndThenTurnThree) {
  UseScript(kThreeTurns);
  Incoming();
  StartCall();
  Press();
  EXPECT_EQ(Counter(), "Conversation turn #1 of 3");
  Drain();
  EXPECT_EQ(Sent(), "HELLO GA ");
  Press();
  Drain();
  EXPECT_EQ(Sent(), "HELLO GA BYE SK ");
  EXPECT_EQ(Counter(), "Conversation turn #0 of 3");  // the end of the script rewound it
  EXPECT_NE(SavedRecord().find("SCRIPTCOMPLETED: Yes\r\n"), std::string::npos);
}

TEST_F(Script, ExtraEmptyLinesAfterOurTurnCostAPressAndAfterTheirsAreSkipped) {
  UseScript("A GA\r\n\r\n\r\nB GA\r\n\r\n\r\nC GA\r\n\r\n\r\nD SK\r\n\r\n");
  Incoming();
  StartCall();
  Press();
  Drain();
  EXPECT_EQ(Sent(), "A GA ");
  Press();  // reads only the second empty line
  Tick(5);
  EXPECT_EQ(Sent(), "A GA ");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  EXPECT_EQ(Counter(), "Conversation turn #1 of 4");
  Press();  // turn 2 and both empty lines after it are the other side's
  EXPECT_EQ(Counter(), "Conversation turn #3 of 4");
  Drain();
  EXPECT_EQ(Sent(), "A GA C GA ");
}

TEST_F(Script, AFileStartingWithAnEmptyLine) {
  UseScript("\r\nA GA\r\n\r\nB GA\r\n\r\n");
  Outgoing();
  StartCall();
  Press();  // the empty line ends "turn 0", which is this side's
  Tick(5);
  EXPECT_EQ(Sent(), "");
  EXPECT_EQ(Counter(), "Conversation turn #0 of 2");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  Press();
  Drain();
  EXPECT_EQ(Sent(), "B GA ");

  form->ResetButtonClick(form->ResetButton);
  Sent().clear();
  Incoming();
  Press();  // skipped on an incoming call
  Drain();
  EXPECT_EQ(Sent(), "A GA ");
}

TEST_F(Script, LongLinesAreWarnedAboutOncePerRunAndSentWhole) {
  const std::string line90(90, 'X'), line91(91, 'Y');
  UseScript(line90 + "\r\n\r\nGA\r\n\r\n", "first.txt");
  Incoming();
  StartCall();
  Press();
  EXPECT_TRUE(boxes.calls.empty());

  UseScript(line91 + "\r\n\r\nGA\r\n\r\n", "second.txt");
  form->ResetButtonClick(form->ResetButton);
  Sent().clear();
  Press();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Warning");
  EXPECT_EQ(boxes.calls[0].text, "This script file has long lines. It needs to have line breaks.");
  Drain();
  EXPECT_EQ(Sent(), line91 + " ");

  UseScript(line91 + "Z\r\n\r\nGA\r\n\r\n", "third.txt");
  form->ResetButtonClick(form->ResetButton);
  Press();
  EXPECT_EQ(boxes.calls.size(), 1u);
}

TEST_F(Script, ADeviceThatCannotSendShowsTheWholeTurnForTyping) {
  form->Settings.DeviceType = kDeviceQ90;
  UseScript("HELLO\r\nHOW ARE YOU~ GA\r\n\r\nFINE GA\r\n\r\n");
  Incoming();
  StartCall();
  EXPECT_FALSE(typing->isVisible());
  Press();
  EXPECT_TRUE(typing->isVisible());
  EXPECT_EQ(typing->TypingText(), "HELLOHOW ARE YOU GA");
  EXPECT_EQ(Sent(), "");
  EXPECT_EQ(View(), "SEND: ");
  EXPECT_TRUE(form->SendNowButton->isEnabled());

  // The tester types the turn on the device, which reports it; GA and a pause hide the window.
  Receive("HELLOHOW ARE YOU GA");
  EXPECT_EQ(View(), "SEND: HELLOHOW ARE YOU GA");
  Tick(6);
  EXPECT_TRUE(typing->isVisible());
  Tick(1);
  EXPECT_FALSE(typing->isVisible());
  EXPECT_EQ(Sent(), "");  // nothing of the script goes to the port
  Receive("FINE GA");
  EXPECT_EQ(View(), "SEND: HELLOHOW ARE YOU GA\r\n\r\nRECD: FINE GA");
}

TEST_F(Script, ATurnOfAnyLengthIsShownForTypingWhole) {
  form->Settings.DeviceType = kDeviceSupercom;
  std::string turn, expected;
  for (int i = 0; i < 60; ++i) {
    std::string line(79, static_cast<char>('A' + i % 26));
    turn += line + "\r\n";
    expected += line;
  }
  UseScript(turn + "\r\nGA\r\n\r\n");
  Incoming();
  StartCall();
  Press();
  EXPECT_EQ(typing->TypingText().size(), 60u * 79u);
  EXPECT_EQ(typing->TypingText(), expected);
}

TEST_F(Script, ResetDuringSendingRewindsAndStopsTheLine) {
  UseScript(kThreeTurns);
  Incoming();
  StartCall();
  Press();
  Tick(3);
  EXPECT_EQ(form->SendingInfoLine->text(), "Sending... (6 chars left)");
  form->ResetButtonClick(form->ResetButton);
  EXPECT_EQ(Counter(), "Conversation turn #0 of 3");
  EXPECT_EQ(form->SendingInfoLine->text(), "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  Tick(20);
  EXPECT_EQ(Sent(), "HEL");
  Press();  // from the start again
  Drain();
  EXPECT_EQ(Sent(), "HELHELLO GA ");
}

TEST_F(Script, ALastLineWithoutAnEmptyLineAfterItIsSentBeforeTheEnd) {
  form->Settings.AutoHangUp = "1";
  form->Settings.AutoSave = "1";
  UseScript("HI GA\n\nBYE NOW\nSK");  // LF line ends, no line end at all after SK
  Outgoing();
  StartCall();
  Press();
  Drain();
  EXPECT_EQ(Sent(), "BYE NOW SK ");
  // The end of the script then hung up (the TTY gets the hang-up sequence), ended the call and
  // saved it.
  EXPECT_FALSE(form->RecordLogButton->isEnabled() || form->EndCallButton->isEnabled());
  EXPECT_FALSE(form->SendNowButton->isEnabled());  // the call is over
  EXPECT_TRUE(boxes.calls.empty());
  std::string capture = readFile(dir.path() / "1018-1405-LAB1.TXT");
  EXPECT_NE(capture.find("\r\nSEND: BYE NOW SK\r\n"), std::string::npos) << capture;
  EXPECT_NE(capture.find("SCRIPTCOMPLETED: Yes\r\n"), std::string::npos);
  form->ATCommandTimer.Fire();
  form->ATCommandTimer.Fire();
  EXPECT_EQ(Sent(), "BYE NOW SK +++ATH\r");
}

TEST_F(Script, RefreshingTheControlsWhileALineIsSentKeepsSendALineDisabled) {
  UseScript(kThreeTurns);
  Incoming();
  StartCall();
  Press();
  Tick(2);
  form->DialNumEdit->setText("5551234");  // refreshes the script controls
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  // A press would read the next line over the rest of this one.
  form->SendNowButton->click();
  Drain();
  EXPECT_EQ(Sent(), "HELLO GA ");
}

TEST_F(Script, SendingWithoutAUsableScriptShowsTheErrorOnceAndChangesNothing) {
  StartCall();
  EXPECT_EQ(Counter(), "Please choose script file");
  EXPECT_FALSE(form->AutoSendBox->isChecked());
  // Pressed as the tester does: the error goes to the error box.
  auto press = [this] { form->SendNowButton->click(); };
  press();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "File not found");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  EXPECT_EQ(form->SendNowButton->text(), "Send a line");

  form->ScriptFileNameEdit->setText(QString::fromStdString(dir.file("missing.txt")));
  EXPECT_EQ(Counter(), "Please choose script file");
  press();
  ASSERT_EQ(boxes.calls.size(), 2u);
  EXPECT_EQ(boxes.calls[1].text, "File not found");

  // A folder is no script either.
  form->ScriptFileNameEdit->setText(QString::fromStdString(dir.path().string()));
  EXPECT_FALSE(form->ViewScriptButton->isEnabled());
  press();
  ASSERT_EQ(boxes.calls.size(), 3u);
  EXPECT_EQ(boxes.calls[2].text, "File access denied");

  // An automatic send that fails is not tried again at every tick, only after the far end's
  // next turn.
  auto fire = [this](int n) {
    for (int i = 0; i < n; ++i) form->MainTimer.Fire();
  };
  form->AutoSendBox->setChecked(true);
  Receive("QQGA");
  fire(7);
  EXPECT_EQ(boxes.calls.size(), 4u);
  fire(100);
  EXPECT_EQ(boxes.calls.size(), 4u);
  Receive("QQGA");
  fire(7);
  EXPECT_EQ(boxes.calls.size(), 5u);
  EXPECT_TRUE(form->MainTimer.Enabled());

  // The failed sends changed nothing: once a usable script is named, the far end's turn they left
  // (its Q Q G A) is answered at once, not 6 s after the next character.
  UseScript("HI GA\r\n\r\n", "good.txt");
  Incoming();
  Receive(" ");
  fire(6);
  EXPECT_EQ(Sent(), "");
  fire(1);
  EXPECT_EQ(Sent(), "H");
  EXPECT_EQ(boxes.calls.size(), 5u);
}

TEST_F(Script, TheScriptNameCountsTurnsAndSwitchesAutoSend) {
  // Turns begin at a non-empty line after an empty one; a line of spaces is not empty.
  std::string path = UseScript("\r\n\r\nA\r\n  \r\nB\r\n\r\n\r\nC\r\n");
  EXPECT_EQ(form->Settings.ScriptFileName, path);
  EXPECT_EQ(Counter(), "Conversation turn #0 of 2");
  EXPECT_TRUE(form->AutoSendBox->isChecked());
  EXPECT_TRUE(form->AutoSendBox->isEnabled());
  EXPECT_EQ(form->Settings.AutoSend, "1");
  EXPECT_EQ(form->SendNowButton->text(), "Start");
  EXPECT_TRUE(form->ViewScriptButton->isEnabled());
  EXPECT_TRUE(form->ScriptFolderButton->isEnabled());

  StartCall();
  Press();
  EXPECT_EQ(form->SendNowButton->text(), "Send a line");  // every press
  EXPECT_EQ(form->Settings.AutoSend, "1");

  form->ScriptFileNameEdit->clear();
  EXPECT_EQ(Counter(), "Please choose script file");
  EXPECT_FALSE(form->AutoSendBox->isChecked());
  EXPECT_EQ(form->Settings.AutoSend, "0");
  EXPECT_FALSE(form->ViewScriptButton->isEnabled());

  // A device that cannot send keeps the box as the script says, but not for the tester.
  form->Settings.DeviceType = kDeviceQ90;
  UseScript("A\r\n\r\n");
  EXPECT_TRUE(form->AutoSendBox->isChecked());
  EXPECT_FALSE(form->AutoSendBox->isEnabled());
}

TEST_F(Script, BrowseAndViewFile) {
  std::string path = UseScript(kThreeTurns);
  fileDialogs.answer.clear();  // cancelled
  form->ScriptFolderButtonClick(form->ScriptFolderButton);
  EXPECT_EQ(fileDialogs.presets, std::vector<std::string>{path});
  EXPECT_EQ(form->ScriptFileNameEdit->text().toStdString(), path);

  std::string other = dir.write("other.txt", "X\r\n\r\n");
  fileDialogs.answer = other;
  form->ScriptFolderButtonClick(form->ScriptFolderButton);
  EXPECT_EQ(form->Settings.ScriptFileName, other);
  EXPECT_EQ(Counter(), "Conversation turn #0 of 1");

  form->ViewScriptButtonClick(form->ViewScriptButton);
  EXPECT_EQ(desktop.opened, std::vector<std::string>{other});
  EXPECT_TRUE(boxes.calls.empty());
  desktop.succeed = false;
  form->ViewScriptButtonClick(form->ViewScriptButton);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Failed to load NOTEPAD");
  EXPECT_EQ(form->Settings.ScriptFileName, other);
}

TEST_F(Script, ATurnShownAgainReplacesTheTextWhereTheWindowStands) {
  TManualTypeForm window;
  EXPECT_FALSE(window.isVisible());
  window.ShowTypingText("FIRST TURN GA");
  EXPECT_TRUE(window.isVisible());
  window.move(window.pos() + QPoint(17, 9));
  QPoint placed = window.pos();
  window.ShowTypingText("SECOND TURN \xB1 GA");
  EXPECT_EQ(window.TypingText(), "SECOND TURN \xB1 GA");
  EXPECT_EQ(window.pos(), placed);
  window.HideTypingWindow();
  window.HideTypingWindow();
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace corvalis::testing
