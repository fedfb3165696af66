// SPDX-License-Identifier: Apache-2.0
// The call engine in the window: received and sent characters in the conversation view,
// and the call's lifecycle driven by main-timer ticks.
#include <QCheckBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <cerrno>

#include "call/conversation_text.h"
#include "call/manualtype.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

const std::string CR = "\xB1", LF = "\xB2", BS = "\xB7";

class CallEngine : public FormTest {
 protected:
  void StartCall() { form->StartCallButtonClick(form->StartCallButton); }
};

// ---- receive path --------------------------------------------------------------------------

TEST_F(CallEngine, ReceivedLineBreaksAreMarksInACallAndNewLinesOutside) {
  StartUp();
  Receive("HELLO\r\n");
  EXPECT_EQ(View(), "HELLO\r\n");  // outside a call: a new line, the LF not shown

  StartCall();
  Receive("HELLO\r\nBS\b!");
  EXPECT_EQ(View(), "RECD: HELLO" + CR + LF + "BS" + BS + "!");
  // A CR or LF sets the column to 1 and, shown as a mark, moves it on: 2 after the LF,
  // then B, S, the BS mark and ! take it to 6.
  EXPECT_EQ(form->State.LineColumn, 6);
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
  StartCall();
  form->AutoSendBox->setChecked(true);
  form->SendNowButton->setEnabled(true);
  form->State.RxIdleTicks = 9;
  form->State.InactivityTicks = 40;
  Receive("");
  EXPECT_EQ(form->State.RxIdleTicks, 0);
  EXPECT_EQ(form->State.InactivityTicks, 1);
  EXPECT_TRUE(form->State.AutoSendArmed);
  EXPECT_EQ(View(), "");
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
  EXPECT_EQ(form->State.RxLineBuffer.find('\x1F'), std::string::npos);

  // Any other device shows the same codes as characters.
  form->Settings.DeviceType = kDeviceCustomCompact;
  Receive("\x1F");
  EXPECT_EQ(View(), "RECD: AB\x1F");
}

TEST_F(CallEngine, NothingIsShownWhileSendingFrozenWaitingOrHungUp) {
  StartUp();
  StartCall();
  for (bool TCallEngineState::*flag : {&TCallEngineState::Sending, &TCallEngineState::AwaitingConnect,
                                       &TCallEngineState::HungUp, &TCallEngineState::DisplayFrozen}) {
    form->State.*flag = true;
    Receive("XYZ");
    form->State.*flag = false;
  }
  Receive(std::string("\0\x7F\x80\x81", 4));
  EXPECT_EQ(View(), "");

  // A modem's line is still recognised while nothing is shown.
  form->State.AwaitingConnect = true;
  form->State.Sending = true;
  Receive("CONNECT 300\r\n");
  EXPECT_TRUE(form->State.AwaitingConnect);
  Receive("CONNECT TURBO 2400\r");
  EXPECT_FALSE(form->State.AwaitingConnect);
  EXPECT_TRUE(form->State.TurboDetected);
  EXPECT_EQ(form->State.LastRxLine, "CONNECT TURBO 2400");
  EXPECT_EQ(View(), "");
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
  StartCall();  // OnLine and CallStartPending set
  Receive("\r\n");
  EXPECT_EQ(View(), "RECD: " + LF);  // the CR is hidden; the LF is shown without turbo

  form->State.CallStartPending = true;
  form->State.TurboDetected = true;
  Receive("\r\nHI");
  EXPECT_EQ(View(), "RECD: " + LF + "HI");

  form->Settings.DeviceType = kDeviceNXi;
  form->State.TurboDetected = false;
  form->State.CallStartPending = true;
  Receive("\r\n");
  EXPECT_EQ(View(), "RECD: " + LF + "HI");
}

TEST_F(CallEngine, RecentCharsFollowTheShownCharacters) {
  StartUp();
  Receive("g a");
  EXPECT_EQ(form->State.RecentChars, "");  // only while "Send a line" is enabled
  form->SendNowButton->setEnabled(true);
  Receive("g a");
  EXPECT_EQ(form->State.RecentChars, "GA");
  EXPECT_EQ(form->State.RxCharsSinceSend, 3);
  Receive("xyzga");
  EXPECT_EQ(form->State.RecentChars, "YZGA");
  StartCall();
  form->SendNowButton->setEnabled(true);
  Receive("GA\r\n");
  EXPECT_EQ(form->State.RecentChars, "GA" + CR + LF);
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
  StartUp();
  StartCall();
  form->State.InactivityTicks = 33;
  form->SendToMemoAndPort("", false);
  EXPECT_EQ(View(), "");
  EXPECT_EQ(Sent(), "");
  EXPECT_EQ(form->State.InactivityTicks, 33);
  EXPECT_TRUE(form->State.CallStartPending);
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
  EXPECT_EQ(Sent(), "\r\nA");
  form->State.LineColumn = 60;
  Sent().clear();
  form->SendToMemoAndPort(" ", false);
  EXPECT_EQ(Sent(), " ");  // column 60: no break
  Sent().clear();
  form->SendToMemoAndPort(" ", false);  // column 61
  EXPECT_EQ(Sent(), "\r\n ");
  EXPECT_EQ(form->State.LineColumn, 2);
  form->State.LineColumn = 70;
  Sent().clear();
  form->SendToMemoAndPort("X", false);
  EXPECT_EQ(Sent(), "\r\nX");
  EXPECT_EQ(View(), "SEND: " + CR + LF + "A " + CR + LF + " " + CR + LF + "X");

  // The Intele-Modems get CR alone; devices that are not modems never get a break.
  form->Settings.DeviceType = kDeviceInteleModem300;
  form->State.LineColumn = 70;
  Sent().clear();
  form->SendToMemoAndPort("Y", false);
  EXPECT_EQ(Sent(), "\rY");
  form->Settings.DeviceType = kDeviceCustomCompact;
  form->State.LineColumn = 90;
  Sent().clear();
  form->SendToMemoAndPort("Z", false);
  EXPECT_EQ(Sent(), "Z");
}

TEST_F(CallEngine, ControlCodesAreSentNotShownAndMoveTheColumn) {
  StartUp();
  StartCall();
  form->State.CallStartPending = false;
  form->State.LastMark = kMarkSend;
  form->State.LineColumn = 1;
  form->SendToMemoAndPort("\b", false);
  EXPECT_EQ(form->State.LineColumn, 1);
  form->SendToMemoAndPort("\r\n\x04\x15", false);
  EXPECT_EQ(form->State.LineColumn, 5);
  form->SendToMemoAndPort("\x1B\b", false);
  EXPECT_EQ(form->State.LineColumn, 5);
  EXPECT_EQ(View(), "\b\x1B\b");
  EXPECT_EQ(Sent(), "\b\r\n\x04\x15\x1B\b");
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
  StartUp();
  form->MemoASCII->SetText("before the call");
  form->SetActiveSheet(form->FilesSheet);
  StartCall();
  EXPECT_EQ(View(), "");
  EXPECT_TRUE(form->State.CallActive && form->State.OnLine && form->State.UnsavedCall);
  EXPECT_FALSE(form->TabVisible(form->DevicesSheet));
  EXPECT_FALSE(form->TabVisible(form->FilesSheet));
  EXPECT_FALSE(form->StartCallButton->isEnabled());
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  EXPECT_FALSE(form->ClearButton->isEnabled());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(Qt::white));
  EXPECT_EQ(form->MemoASCII->TextColour(), QColor(Qt::blue));
  EXPECT_EQ(form->State.LineColumn, 70);
  EXPECT_EQ(form->State.LastMark, kMarkNone);
  EXPECT_EQ(form->State.FilePrefix, "1018-1405");
  EXPECT_EQ(form->State.CallStartTime, clock.now);

  clock.now += std::chrono::seconds(70);
  form->EndCallButtonClick(form->EndCallButton);
  EXPECT_TRUE(boxes.calls.empty());  // not a modem: no question
  EXPECT_FALSE(form->State.CallActive || form->State.OnLine);
  EXPECT_TRUE(form->State.DisplayFrozen);
  EXPECT_EQ(form->TabControl->currentWidget(), form->ConditionsSheet);
  EXPECT_TRUE(form->TabHighlighted(form->ConditionsSheet));
  EXPECT_FALSE(form->StartCallButton->isEnabled() || form->EndCallButton->isEnabled());
  EXPECT_TRUE(form->RecordLogButton->isEnabled() && form->DontSaveButton->isEnabled());
  EXPECT_FALSE(form->MemoASCII->isEnabled());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(192, 192, 192));
  EXPECT_EQ(form->RecordLabel->text(), "");
  EXPECT_EQ(form->State.CallEndTime, clock.now);
}

TEST_F(CallEngine, EndCallOnAModemStillOnLineAsksToHangUp) {
  StartUp(kDeviceInteleModem2400);
  StartCall();
  boxes.answers = {TMsgResult::No};
  form->EndCallButtonClick(form->EndCallButton);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Still on the line");
  EXPECT_EQ(boxes.calls[0].text, "Hang up this call?");
  EXPECT_EQ(boxes.calls[0].buttons, TMsgButtons::YesNo);
  EXPECT_TRUE(form->State.DisplayFrozen);  // No ends the call all the same

  // With auto hang-up on, nothing is asked.
  form->DontSaveButtonClick(form->DontSaveButton);
  form->Settings.AutoHangUp = "1";
  StartCall();
  form->EndCallButtonClick(form->EndCallButton);
  EXPECT_EQ(boxes.calls.size(), 2u);  // the Don't Save question only
}

TEST_F(CallEngine, InactivityEndsADirectCallAfter150Ticks) {
  StartUp();
  form->Settings.AutoHangUp = "1";
  StartCall();
  Tick(400);  // nothing exchanged yet: the count has not started
  EXPECT_TRUE(form->State.CallActive);
  Receive("HI");
  Tick(149);
  EXPECT_TRUE(form->State.CallActive);
  Tick(1);
  EXPECT_FALSE(form->State.CallActive);
  EXPECT_TRUE(form->State.DisplayFrozen);
}

TEST_F(CallEngine, InactivityOnlyHangsUpAModemAndNeverActsWithoutAutoHangUp) {
  StartUp(kDeviceNXi);
  form->Settings.AutoHangUp = "1";
  StartCall();
  Receive("HI");
  Tick(149);
  EXPECT_FALSE(form->State.HungUp);
  Tick(1);
  EXPECT_EQ(form->State.InactivityTicks, 0);
  EXPECT_TRUE(form->State.HungUp);
  EXPECT_FALSE(form->State.OnLine);
  // The call stays open until End Call.
  EXPECT_FALSE(form->State.DisplayFrozen);
  EXPECT_TRUE(form->EndCallButton->isEnabled());

  form->EndCallButtonClick(form->EndCallButton);
  form->DontSaveButtonClick(form->DontSaveButton);
  form->Settings.AutoHangUp = "0";
  StartCall();
  Receive("HI");
  Tick(1000);
  EXPECT_TRUE(form->State.CallActive && form->State.OnLine);
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
  EXPECT_TRUE(form->State.UnsavedCall);  // waits for a manual save
  EXPECT_TRUE(form->RecordLogButton->isEnabled());
}

TEST_F(CallEngine, AutoSendActsOnSilenceOrASign) {
  StartUp(kDeviceQ90);
  StartCall();
  form->AutoSendBox->setChecked(true);
  form->SendNowButton->setEnabled(true);
  Receive("QQGA");
  ASSERT_TRUE(form->State.AutoSendArmed);
  typing->show();
  Tick(6);
  EXPECT_TRUE(typing->isVisible());
  Tick(1);  // more than 1.2 s after Q Q G A
  EXPECT_FALSE(typing->isVisible());

  // G A alone is not the sign: the 6 s rule applies.
  form->State.RecentChars.clear();
  form->State.RxCharsSinceSend = 0;
  Receive("GA");
  typing->show();
  Tick(30);
  EXPECT_TRUE(typing->isVisible());
  Tick(1);
  EXPECT_FALSE(typing->isVisible());

  // Never while "Send a line" is disabled.
  form->SendNowButton->setEnabled(false);
  Receive("QQGA");
  typing->show();
  Tick(50);
  EXPECT_TRUE(typing->isVisible());
}

TEST_F(CallEngine, TheCallClockCountsSecondsInMinutes) {
  StartUp();
  StartCall();
  form->State.CallSeconds = 64;
  Tick(1);
  EXPECT_EQ(form->RecordLabel->text(), "1:05 Min");
  EXPECT_EQ(form->ClockString->text(), "10/18/01 14:05:07");
  Tick(4);
  EXPECT_EQ(form->RecordLabel->text(), "1:05 Min");  // once a second
  form->State.CallSeconds = 599;
  Tick(1);
  EXPECT_EQ(form->RecordLabel->text(), "10:00 Min");
}

TEST_F(CallEngine, PacedSendingSendsOneCharacterATickAndTwoWithTurbo) {
  StartUp();
  StartCall();
  form->State.SendQueue = "AB~C";
  form->State.Sending = true;
  Tick(1);
  EXPECT_EQ(form->SendingInfoLine->text(), "Sending... (3 chars left)");
  Tick(2);
  EXPECT_EQ(Sent(), "AB");  // the "~" took a slot
  Tick(1);
  EXPECT_EQ(Sent(), "ABC");
  EXPECT_EQ(form->SendingInfoLine->text(), "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  Tick(1);
  EXPECT_FALSE(form->State.Sending);
  EXPECT_EQ(View(), "SEND: ABC");

  Sent().clear();
  form->State.TurboDetected = true;
  form->State.SendQueue = "0123456789";
  form->State.Sending = true;
  Tick(4);
  EXPECT_EQ(Sent(), "01234567");
  Tick(1);
  EXPECT_EQ(Sent(), "0123456789");
}

TEST_F(CallEngine, APortFailureInATickIsShownOnceAndTheTimerGoesOn) {
  StartUp();
  StartCall();
  ports->device->writeError = ETIMEDOUT;
  form->SendNowButton->setEnabled(false);
  form->State.SendQueue = "HELLO";
  form->State.Sending = true;
  form->MainTimer.Fire();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "WriteFile function failed (win error code: 110)");
  EXPECT_FALSE(form->State.Sending);
  EXPECT_EQ(form->State.SendQueue, "");
  EXPECT_TRUE(form->SendNowButton->isEnabled());
  EXPECT_TRUE(form->MainTimer.Enabled());
  form->MainTimer.Fire();
  EXPECT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(form->RecordLabel->text(), "0:01 Min");  // the clock goes on
}

}  // namespace
}  // namespace corvalis::testing
