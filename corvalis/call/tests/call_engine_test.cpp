// SPDX-License-Identifier: Apache-2.0
// The call engine in the window: received and sent characters in the conversation view,
// and the call's lifecycle driven by main-timer ticks.
#include <QCheckBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <cerrno>

#include "common/conversation_text.h"
#include "call/manualtype.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

const std::string CR = "\xB1", LF = "\xB2", BS = "\xB7";

class CallEngine : public FormTest {
 protected:
  void StartCall() { form->StartCallButtonClick(form->StartCallButton); }
  void EndCall() { form->EndCallButtonClick(form->EndCallButton); }
  void Discard() { form->DontSaveButtonClick(form->DontSaveButton); }
  // A script named in the Files sheet, as the tester does it (which checks Auto Send).
  void UseScript(const std::string& text, const std::string& name = "script.txt") {
    form->ScriptFileNameEdit->setText(QString::fromStdString(scripts.write(name, text)));
  }
  void Incoming() { form->CallDirectionLabel2->setChecked(true); }
  void Outgoing() { form->CallDirectionLabel1->setChecked(true); }
  void Press() { form->SendNowButtonClick(form->SendNowButton); }
  std::string TakeSent() {
    std::string s = Sent();
    Sent().clear();
    return s;
  }
  // The call is open (going on, or hung up and not ended yet): End Call can end it.
  bool CallOpen() const { return form->EndCallButton->isEnabled(); }
  // The call has ended: the view is frozen until the call is saved or discarded.
  bool WaitsToBeSaved() const {
    return !form->EndCallButton->isEnabled() && form->RecordLogButton->isEnabled() &&
           !form->MemoASCII->isEnabled();
  }

  kit::testing::TempDir scripts, logs;
};

// ---- receive path --------------------------------------------------------------------------

TEST_F(CallEngine, ReceivedLineBreaksAreMarksInACallAndNewLinesOutside) {
  StartUp();
  Receive("HELLO\r\n");
  EXPECT_EQ(View(), "HELLO\r\n");  // outside a call: a new line, the LF not shown

  StartCall();
  Receive("HELLO\r\nBS\b!");
  EXPECT_EQ(View(), "RECD: HELLO" + CR + LF + "BS" + BS + "!");
}

TEST_F(CallEngine, SpeakerChangesOpenParagraphs) {
  StartUp();
  StartCall();
  Receive("HI");
  form->SendToMemoAndPort("YO", false);
  Receive("GA");
  Receive("!");
  form->SendToMemoAndPort("OK", false);
  EXPECT_EQ(View(), "RECD: HI\r\n\r\nSEND: YO\r\n\r\nRECD: GA!\r\n\r\nSEND: OK");
  EXPECT_EQ(Sent(), "YOOK");
}

TEST_F(CallEngine, AnEmptyReceiveEventResetsCountersAndArmsAutoSend) {
  StartUp();
  UseScript("HELLO GA\r\n\r\nTHEIRS\r\n\r\n");
  Incoming();
  form->AutoSendBox->setChecked(false);
  StartCall();
  Receive("HI");  // counted, but with Auto Send off nothing waits to answer it
  Tick(40);
  form->AutoSendBox->setChecked(true);
  Tick(40);
  EXPECT_EQ(Sent(), "");
  // A receive event arms Auto Send, an empty one too, and the silence is counted from the last.
  Receive("");
  Tick(20);
  Receive("");
  Tick(30);
  EXPECT_EQ(Sent(), "");
  Tick(1);  // 6 s after the last event, for the 2 characters received
  EXPECT_EQ(Sent(), "H");
  EXPECT_EQ(View(), "RECD: HI\r\n\r\nSEND: H");
  EndCall();
  Discard();

  // The inactivity count starts again at an empty event as at any other.
  form->Settings.AutoHangUp = "1";
  form->AutoSendBox->setChecked(false);
  StartCall();
  Receive("HI");
  Tick(100);
  Receive("");
  Tick(149);
  EXPECT_TRUE(CallOpen());
  Tick(1);
  EXPECT_TRUE(WaitsToBeSaved());
  EXPECT_EQ(View(), "RECD: HI");
}

TEST_F(CallEngine, SoundCodesOfTheNXiModemLightTheLampAndShowNothing) {
  StartUp(kDeviceNXi);
  StartCall();
  Receive(std::string("A\x1F", 2));
  EXPECT_EQ(form->SoundLightPanel->palette().color(QPalette::Window), QColor(255, 255, 0));
  Receive(
      std::string("\x1E\x12\x14"
                  "B",
                  4));
  EXPECT_EQ(form->SoundLightPanel->palette().color(QPalette::Window), QColor(128, 128, 128));
  EXPECT_EQ(View(), "RECD: AB");
  // Nor do they break the modem's lines: a NO CARRIER with a code inside it still ends the call.
  Receive("\r\nNO CAR\x1FRIER\r\n");
  EXPECT_TRUE(WaitsToBeSaved());
  EXPECT_EQ(log.With("ended (NO CARRIER)").size(), 1u);

  // Any other device shows the same codes as characters.
  Discard();
  form->Settings.DeviceType = kDeviceCustomCompact;
  StartCall();
  Receive("\x1F");
  EXPECT_EQ(View(), "RECD: \x1F");
}

TEST_F(CallEngine, NothingIsShownWhileSendingFrozenWaitingOrHungUp) {
  StartUp();
  // This side's turns 1 and 3.
  UseScript("HELLO GA\r\n\r\nTHEIRS\r\n\r\nMORE GA\r\n\r\n");
  Incoming();
  StartCall();
  Receive(std::string("\0\x7F\x80\x81", 4));  // never shown
  EXPECT_EQ(View(), "");

  // While this side's line is being sent: what collides with it is counted for the lab.
  Press();
  Tick(1);
  Receive("XYZ");
  Tick(20);
  EXPECT_EQ(Sent(), "HELLO GA ");
  EXPECT_EQ(View(), "SEND: HELLO GA ");
  // Once the call has ended, until it is saved.
  EndCall();
  EXPECT_EQ(log.With("3 characters from the far end arrived while this side was sending").size(), 1u);
  const std::string frozen = View();
  Receive("XYZ");
  EXPECT_EQ(View(), frozen);
  Discard();

  // A modem that answered: the call has begun, but nothing shows until the connection stands.
  form->Settings.DeviceType = kDeviceInteleModem300;
  form->AnswerButtonClick(form->AnswerButton);
  ASSERT_TRUE(CallOpen());
  Receive("XYZ");
  EXPECT_EQ(View(), "");
  Receive("\r\nCONNECT TTY\r\nHI");
  EXPECT_EQ(View(), "RECD: " + LF + "HI");
  // Hung up: the call stays open until End Call, but shows nothing more.
  form->HangUpButton1Click(form->HangUpButton1);
  Receive("XYZ");
  EXPECT_EQ(View(), "RECD: " + LF + "HI");
  EXPECT_TRUE(CallOpen());
  EndCall();
  Discard();

  // A modem's line is still recognised while nothing is shown: a connection line that arrives
  // while this side's line is being sent ends the wait (CONNECT 300 does not), and its turbo
  // code paces the rest of the line.
  form->Settings.DeviceType = kDeviceInteleModem2400;
  form->AnswerButtonClick(form->AnswerButton);
  TakeSent();
  Press();
  Receive("CONNECT 300\r\n");
  Tick(1);
  EXPECT_EQ(TakeSent(), "H");  // one a tick
  Tick(20);
  EXPECT_EQ(TakeSent(), "ELLO GA ");
  Receive("XYZ\r\n");
  EXPECT_EQ(View(), "SEND: HELLO GA ");  // still waiting for the connection
  Press();
  Receive("CONNECT TURBO 2400\r");
  Tick(1);
  EXPECT_EQ(TakeSent(), "MO");
  Tick(20);
  EXPECT_EQ(TakeSent(), "RE GA ");
  Receive("HI");
  EXPECT_EQ(View(), "SEND: HELLO GA MORE GA \r\n\r\nRECD: HI");
}

TEST_F(CallEngine, AFinishedCallStillTakesLineBreaksFromReceivedCRs) {
  StartUp();
  StartCall();
  Receive("BYE");
  form->EndCallButtonClick(form->EndCallButton);
  Receive("LATE\rMORE\r\n");
  EXPECT_EQ(View(), "RECD: BYE\r\n\r\n");
}

TEST_F(CallEngine, LineBreakRightAfterTheConnectIsNotShown) {
  StartUp(kDeviceInteleModem2400);
  StartCall();  // on line, nothing exchanged yet
  Receive("\r\n");
  EXPECT_EQ(View(), "RECD: " + LF);  // the CR is hidden; the LF is shown without turbo
  Receive("\r\n");
  EXPECT_EQ(View(), "RECD: " + LF + CR + LF);  // once something was shown, both are
  EndCall();
  Discard();

  // With the turbo code the LF is hidden too, as many line ends as come before the first word.
  form->DialNumEdit->setText("123");
  form->DialButtonClick(form->DialButton);
  Receive("\r\nCONNECT TURBO 2400\r\n\r\nHI");
  EXPECT_EQ(View(), "RECD: HI");
  EndCall();
  Discard();

  // The NXi modem's LF is hidden without the turbo code.
  form->Settings.DeviceType = kDeviceNXi;
  form->AnswerButtonClick(form->AnswerButton);
  Receive("\r\nCONNECT TTY\r\n\r\nHI");
  EXPECT_EQ(View(), "RECD: HI");
}

// Auto Send answers the far end's words after 1.4 s when they end with the sign GA or SK (the last
// four characters shown, spaces not among them), else after 3 s for more than 3 characters, 6 s
// for fewer.
TEST_F(CallEngine, RecentCharsFollowTheShownCharacters) {
  StartUp();
  std::string script;
  for (char turn = 'A'; turn <= 'E'; ++turn) script += std::string("THEIRS\r\n\r\n") + turn + "\r\n\r\n";
  UseScript(script);
  Outgoing();
  StartCall();
  // Ticks from the far end's words until this side's next line starts on the port.
  auto ticksToAnswer = [this](const std::string& words) {
    TakeSent();
    Receive(words);
    for (int tick = 1; tick <= 100; ++tick) {
      Tick();
      if (!Sent().empty()) {
        Tick(5);  // the line goes
        return tick;
      }
    }
    return 0;
  };
  EXPECT_EQ(ticksToAnswer("xyzga"), 7);  // lower case is the sign too
  EXPECT_EQ(TakeSent(), "A ");
  EXPECT_EQ(ticksToAnswer("g a"), 31);    // GA that starts the run is not the sign
  EXPECT_EQ(ticksToAnswer("xy g a"), 7);  // spaces are not in the run
  EXPECT_EQ(ticksToAnswer("ab c"), 16);   // but count as characters received
  EXPECT_EQ(ticksToAnswer("GA\r\n"), 16);  // the marks of a line end end the run
  EXPECT_EQ(TakeSent(), "E ");
}

TEST_F(CallEngine, ReceivedTextFollowsTheTypingTurnWithoutAMark) {
  StartUp(kDeviceQ90);
  StartCall();
  form->BreakLinesInMemo(true);
  typing->ShowTypingText("HELLO GA");
  Receive("HELLO GA");
  EXPECT_EQ(View(), "SEND: HELLO GA");
  typing->HideTypingWindow();
  Receive("HI");
  EXPECT_EQ(View(), "SEND: HELLO GA\r\n\r\nRECD: HI");
}

TEST_F(CallEngine, CleanUpAtEndOfCallDropsTheModemEscape) {
  StartUp();
  StartCall();
  Receive("BYE SK +++ATH");
  form->EndCallButtonClick(form->EndCallButton);
  EXPECT_EQ(View(), "RECD: BYE SK");
}

// ---- send path -----------------------------------------------------------------------------

TEST_F(CallEngine, AnEmptyStringDoesNothing) {
  StartUp(kDeviceNXi);
  form->Settings.AutoHangUp = "1";
  StartCall();
  form->SendToMemoAndPort("", false);
  EXPECT_EQ(View(), "");
  EXPECT_EQ(Sent(), "");
  // The call's first character still starts a line on the modem...
  form->SendToMemoAndPort("A", false);
  EXPECT_EQ(TakeSent(), "\r\nA");
  // ...and the inactivity count goes on: 150 ticks after the A the modem is hung up.
  Tick(100);
  form->SendToMemoAndPort("", false);
  Tick(49);
  EXPECT_EQ(Sent(), "");
  Tick(1);
  EXPECT_EQ(Sent(), "\x04");
}

TEST_F(CallEngine, NoEchoStillWritesTheMarks) {
  StartUp(kDeviceNXi);
  StartCall();
  form->SendToMemoAndPort("AB", true);
  EXPECT_EQ(View(), "SEND: " + CR + LF);
  EXPECT_EQ(Sent(), "\r\nAB");
}

TEST_F(CallEngine, ModemsBreakLongSentLines) {
  StartUp(kDeviceNXi);
  StartCall();
  form->SendToMemoAndPort("A", false);  // the first character of a call starts a line
  EXPECT_EQ(TakeSent(), "\r\nA");
  const std::string b58(58, 'B'), c68(68, 'C');
  form->SendToMemoAndPort(b58 + " ", false);
  EXPECT_EQ(TakeSent(), b58 + " ");  // the space at column 60: no break
  form->SendToMemoAndPort(" ", false);  // column 61
  EXPECT_EQ(TakeSent(), "\r\n ");
  form->SendToMemoAndPort(c68, false);  // up to column 70 without a space
  EXPECT_EQ(TakeSent(), c68);
  form->SendToMemoAndPort("X", false);
  EXPECT_EQ(TakeSent(), "\r\nX");
  EXPECT_EQ(View(), "SEND: " + CR + LF + "A" + b58 + " " + CR + LF + " " + c68 + CR + LF + "X");

  // What arrives from the far end moves the column too: a CR or LF starts the line, and each
  // character shown (the marks of CR, LF and BS among them) takes a column: 6 after this.
  Receive("HELLO\r\nBS\b!");
  form->SendToMemoAndPort(std::string(64, 'D') + "E", false);
  EXPECT_EQ(TakeSent(), std::string(64, 'D') + "\r\nE");

  // The Intele-Modems get CR alone; devices that are not modems never get a break.
  form->Settings.DeviceType = kDeviceInteleModem300;
  form->SendToMemoAndPort(std::string(68, 'F') + "Y", false);
  EXPECT_EQ(TakeSent(), std::string(68, 'F') + "\rY");
  form->Settings.DeviceType = kDeviceCustomCompact;
  form->SendToMemoAndPort(std::string(100, 'Z'), false);
  EXPECT_EQ(TakeSent(), std::string(100, 'Z'));
}

// Where a modem's line breaks shows the column: a BS takes one back, never below the first, and
// every other code moves it on.
TEST_F(CallEngine, ControlCodesAreSentNotShownAndMoveTheColumn) {
  StartUp(kDeviceNXi);
  StartCall();
  form->SendToMemoAndPort("A", false);  // a line break first, then A: column 2
  form->SendToMemoAndPort("\b\b", false);  // column 1, and 1 again
  form->SendToMemoAndPort("\r\n\x04\x15", false);  // column 5
  form->SendToMemoAndPort("\x1B\b", false);  // 6, then 5 again
  const std::string x65(65, 'X');
  form->SendToMemoAndPort(x65 + "Y", false);  // the X take it to 70: Y breaks the line
  EXPECT_EQ(Sent(), "\r\nA\b\b\r\n\x04\x15\x1B\b" + x65 + "\r\nY");
  EXPECT_EQ(View(), "SEND: " + CR + LF + "A\b\b\x1B\b" + x65 + CR + LF + "Y");
}

TEST_F(CallEngine, AClosedPortDropsWhatIsSentButTheViewShowsIt) {
  ports->available = false;
  StartUp();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Unable to open com port (win error code: 2)");
  StartCall();
  form->SendToMemoAndPort("HI", false);
  EXPECT_EQ(View(), "SEND: HI");
  EXPECT_EQ(boxes.calls.size(), 1u);
}

TEST_F(CallEngine, AFailedWriteIsShownOnceAndKeepsTheEcho) {
  StartUp();
  StartCall();
  ports->device->writeError = ETIMEDOUT;  // a line held up by flow control
  form->MemoASCII->OnKeyPress('H');
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "WriteFile function failed (win error code: 110)");
  EXPECT_EQ(boxes.calls[0].icon, TMsgIcon::Error);
  EXPECT_EQ(View(), "SEND: ");
}

TEST_F(CallEngine, TypedKeysGoToThePortAndTheViewEditsThemselves) {
  StartUp();
  StartCall();
  form->MemoASCII->setFocus();
  auto type = [this](int key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(form->MemoASCII, &press);
  };
  type(Qt::Key_H, "H");
  type(Qt::Key_I, "I");
  type(Qt::Key_Return, "\r");
  type(Qt::Key_X, "x");
  type(Qt::Key_Backspace, "\b");
  type(Qt::Key_C, "c");
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, "\x03");
  QApplication::sendEvent(form->MemoASCII, &copy);
  EXPECT_EQ(Sent(), "HI\rx\bc");
  EXPECT_EQ(View(), "SEND: HI\r\nc");

  // Keys that are not sent change nothing; Shift+Enter is Enter.
  QKeyEvent shiftEnter(QEvent::KeyPress, Qt::Key_Return, Qt::ShiftModifier, "\r");
  QApplication::sendEvent(form->MemoASCII, &shiftEnter);
  QApplication::clipboard()->setText("PASTED");
  form->MemoASCII->selectAll();
  for (auto [key, mods] : {std::pair{Qt::Key_V, Qt::ControlModifier},
                           {Qt::Key_X, Qt::ControlModifier},
                           {Qt::Key_Return, Qt::ControlModifier},
                           {Qt::Key_Delete, Qt::NoModifier}}) {
    QKeyEvent edit(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(form->MemoASCII, &edit);
  }
  type(Qt::Key_D, "d");
  EXPECT_EQ(Sent(), "HI\rx\bc\rd");
  EXPECT_EQ(View(), "SEND: HI\r\nc\r\nd");

  // A device that cannot send: keys still go to the port, the view shows nothing.
  form->Settings.DeviceType = kDeviceQ90;
  form->SetBaud();
  type(Qt::Key_Z, "z");
  EXPECT_EQ(Sent(), "HI\rx\bc\rdz");
  EXPECT_EQ(View(), "SEND: HI\r\nc\r\nd");
}

// ---- call lifecycle and main timer ---------------------------------------------------------

TEST_F(CallEngine, StartAndEndCallSetTheWindowUp) {
  StartUp(kDeviceCustomCompact, logs.path().string());
  form->MemoASCII->SetText("before the call");
  form->SetActiveSheet(form->FilesSheet);
  form->Settings.LogDirectory = logs.path().string();  // the Files sheet chose its own folder
  StartCall();
  EXPECT_EQ(View(), "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());  // on line
  EXPECT_FALSE(form->TabVisible(form->DevicesSheet));
  EXPECT_FALSE(form->TabVisible(form->FilesSheet));
  EXPECT_FALSE(form->StartCallButton->isEnabled());
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  EXPECT_FALSE(form->ClearButton->isEnabled());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(Qt::white));
  EXPECT_EQ(form->MemoASCII->TextColour(), QColor(Qt::blue));
  Receive("HI");
  EXPECT_EQ(View(), "RECD: HI");  // the first words of the call open its first paragraph

  clock.now += std::chrono::seconds(70);
  form->EndCallButtonClick(form->EndCallButton);
  EXPECT_TRUE(boxes.calls.empty());  // not a modem: no question
  EXPECT_FALSE(form->SendNowButton->isEnabled());  // off line
  Receive("MORE");
  EXPECT_EQ(View(), "RECD: HI");  // frozen
  EXPECT_EQ(form->TabControl->currentWidget(), form->ConditionsSheet);
  EXPECT_TRUE(form->TabHighlighted(form->ConditionsSheet));
  EXPECT_FALSE(form->StartCallButton->isEnabled() || form->EndCallButton->isEnabled());
  EXPECT_TRUE(form->RecordLogButton->isEnabled() && form->DontSaveButton->isEnabled());
  EXPECT_FALSE(form->MemoASCII->isEnabled());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(192, 192, 192));
  EXPECT_EQ(form->RecordLabel->text(), "");
  // The record, in the file named after the minute the call began, says when it began and ended.
  form->RecordLogButtonClick(form->RecordLogButton);
  EXPECT_TRUE(boxes.calls.empty());
  const std::string capture = kit::testing::readFile(logs.path() / "1018-1405-LAB1.TXT");
  EXPECT_NE(capture.find("Started at 10/18/01 14:05:07\r\n"), std::string::npos) << capture;
  EXPECT_NE(capture.find("Ended at 10/18/01 14:06:17 (70.0 seconds)\r\n"), std::string::npos) << capture;
}

TEST_F(CallEngine, EndCallOnAModemStillOnLineAsksToHangUp) {
  StartUp(kDeviceInteleModem2400);
  StartCall();
  TakeSent();
  boxes.answers = {TMsgResult::No};
  form->EndCallButtonClick(form->EndCallButton);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Still on the line");
  EXPECT_EQ(boxes.calls[0].text, "Hang up this call?");
  EXPECT_EQ(boxes.calls[0].buttons, TMsgButtons::YesNo);
  EXPECT_TRUE(WaitsToBeSaved());  // No ends the call all the same
  EXPECT_EQ(Sent(), "");          // without a hang-up

  // With auto hang-up on, nothing is asked.
  form->DontSaveButtonClick(form->DontSaveButton);
  form->Settings.AutoHangUp = "1";
  StartCall();
  TakeSent();
  form->EndCallButtonClick(form->EndCallButton);
  EXPECT_EQ(boxes.calls.size(), 2u);  // the Don't Save question only
  EXPECT_EQ(Sent(), "\x15");          // and the modem is hung up
}

TEST_F(CallEngine, InactivityEndsADirectCallAfter150Ticks) {
  StartUp();
  form->Settings.AutoHangUp = "1";
  StartCall();
  Tick(400);  // nothing exchanged yet: the count has not started
  EXPECT_TRUE(CallOpen());
  Receive("HI");
  Tick(149);
  EXPECT_TRUE(CallOpen());
  Tick(1);
  EXPECT_TRUE(WaitsToBeSaved());
}

TEST_F(CallEngine, InactivityOnlyHangsUpAModemAndNeverActsWithoutAutoHangUp) {
  StartUp(kDeviceNXi);
  form->Settings.AutoHangUp = "1";
  StartCall();
  Receive("HI");
  TakeSent();
  Tick(149);
  EXPECT_EQ(Sent(), "");
  Tick(1);
  EXPECT_EQ(Sent(), "\x04");  // the modem's hang-up ("+++" and "ATH" follow on the command timer)
  EXPECT_FALSE(form->SendNowButton->isEnabled());  // off line
  Receive("MORE");
  EXPECT_EQ(View(), "RECD: HI");
  // The call stays open until End Call, and is hung up once.
  EXPECT_TRUE(form->MemoASCII->isEnabled());
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  Tick(1000);
  EXPECT_EQ(Sent(), "\x04");

  form->EndCallButtonClick(form->EndCallButton);
  form->DontSaveButtonClick(form->DontSaveButton);
  form->Settings.AutoHangUp = "0";
  StartCall();
  Receive("HI");
  TakeSent();
  Tick(1000);
  EXPECT_EQ(Sent(), "");
  EXPECT_TRUE(CallOpen() && form->SendNowButton->isEnabled());
  Receive(" THERE");
  EXPECT_EQ(View(), "RECD: HI THERE");
}

TEST_F(CallEngine, AMessageBoxInATickStopsTheTimerUntilItCloses) {
  StartUp();
  form->Settings.AutoHangUp = "1";
  form->Settings.AutoSave = "1";
  form->Settings.UserName.clear();
  StartCall();
  Receive("HI");
  std::vector<bool> timerDuringBox;
  boxes.onShow = [&](const BoxCall&) { timerDuringBox.push_back(form->MainTimer.Enabled()); };
  for (int i = 0; i < 150; ++i) form->MainTimer.Fire();
  // The inactivity end runs End Call, whose automatic save asks for the missing name once.
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "No name");
  EXPECT_EQ(timerDuringBox, (std::vector<bool>{false}));
  EXPECT_TRUE(form->MainTimer.Enabled());
  EXPECT_TRUE(form->RecordLogButton->isEnabled());  // waits for a manual save
}

// On a device that cannot send, Auto Send takes the turn shown for typing away once the tester has
// typed it (the device reports the keys).
TEST_F(CallEngine, AutoSendActsOnSilenceOrASign) {
  StartUp(kDeviceQ90);
  UseScript("ONE\r\n\r\nX\r\n\r\nTWO\r\n\r\nX\r\n\r\nTHREE\r\n\r\nX\r\n\r\nFOUR\r\n\r\n");
  Incoming();
  StartCall();
  Press();
  ASSERT_TRUE(typing->isVisible());
  Receive("QQGA");
  Tick(6);
  EXPECT_TRUE(typing->isVisible());
  Tick(1);  // more than 1.2 s after Q Q G A
  EXPECT_FALSE(typing->isVisible());

  // G A alone is not the sign: the 6 s rule applies.
  Press();
  ASSERT_EQ(typing->TypingText(), "TWO");
  Receive("GA");
  Tick(30);
  EXPECT_TRUE(typing->isVisible());
  Tick(1);
  EXPECT_FALSE(typing->isVisible());

  // Never while "Send a line" is disabled.
  Press();
  form->SendNowButton->setEnabled(false);
  Receive("QQGA");
  Tick(50);
  EXPECT_TRUE(typing->isVisible());
}

TEST_F(CallEngine, TheCallClockCountsSecondsInMinutes) {
  StartUp();
  StartCall();
  Tick(1);
  EXPECT_EQ(form->RecordLabel->text(), "0:01 Min");
  EXPECT_EQ(form->ClockString->text(), "10/18/01 14:05:07");
  Tick(4);
  EXPECT_EQ(form->RecordLabel->text(), "0:01 Min");  // once a second
  Tick(1 + 5 * 63);
  EXPECT_EQ(form->RecordLabel->text(), "1:05 Min");
  Tick(5 * 535);
  EXPECT_EQ(form->RecordLabel->text(), "10:00 Min");
  // A new call counts from 0.
  EndCall();
  Discard();
  StartCall();
  Tick(1);
  EXPECT_EQ(form->RecordLabel->text(), "0:01 Min");
}

TEST_F(CallEngine, PacedSendingSendsOneCharacterATickAndTwoWithTurbo) {
  StartUp();
  UseScript("AB~C\r\n\r\nTHEIRS\r\n\r\nMORE\r\n\r\n", "first.txt");
  Incoming();
  StartCall();
  Press();  // the line and a space after it
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Tick(1);
  EXPECT_EQ(form->SendingInfoLine->text(), "Sending... (4 chars left)");
  Tick(2);
  EXPECT_EQ(Sent(), "AB");  // the "~" took a slot
  Tick(1);
  EXPECT_EQ(Sent(), "ABC");
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Tick(1);
  EXPECT_EQ(Sent(), "ABC ");
  EXPECT_EQ(form->SendingInfoLine->text(), "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  Tick(5);
  EXPECT_EQ(Sent(), "ABC ");
  EXPECT_EQ(View(), "SEND: ABC ");
  EndCall();
  Discard();

  // A modem that connected with the turbo code.
  form->Settings.DeviceType = kDeviceNXi;
  UseScript("0123456789\r\n\r\nTHEIRS\r\n\r\n", "second.txt");
  form->AnswerButtonClick(form->AnswerButton);
  Receive("\r\nCONNECT TURBO\r\n");
  TakeSent();
  Press();
  Tick(4);
  EXPECT_EQ(TakeSent(), "01234567");
  Tick(1);
  EXPECT_EQ(TakeSent(), "89");
  Tick(1);
  EXPECT_EQ(TakeSent(), " ");
}

TEST_F(CallEngine, APortFailureInATickIsShownOnceAndTheTimerGoesOn) {
  StartUp();
  UseScript("HELLO\r\n\r\nTHEIRS\r\n\r\n");
  Incoming();
  StartCall();
  Press();
  ASSERT_FALSE(form->SendNowButton->isEnabled());
  ports->device->writeError = ETIMEDOUT;
  form->MainTimer.Fire();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "WriteFile function failed (win error code: 110)");
  EXPECT_EQ(form->SendingInfoLine->text(), "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  EXPECT_TRUE(form->MainTimer.Enabled());
  // The line is dropped: nothing more of it is tried, not even once the port writes again.
  form->MainTimer.Fire();
  EXPECT_EQ(boxes.calls.size(), 1u);
  ports->device->writeError = 0;
  for (int i = 0; i < 4; ++i) form->MainTimer.Fire();
  EXPECT_EQ(Sent(), "");
  EXPECT_EQ(form->RecordLabel->text(), "0:02 Min");  // the clock goes on
}

}  // namespace
}  // namespace corvalis::testing
