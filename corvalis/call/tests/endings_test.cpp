// SPDX-License-Identifier: Apache-2.0
// The ways a lab day ends a call without the tester: the program killed (the journal becomes the
// record at the next start), the modem's NO CARRIER, the device pulled out and put back, a click
// handled in the middle of a character; and what the far end said while this side was sending.
// Judged from the capture files, the journal files, the log and the bytes on the port.
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cerrno>
#include <filesystem>

#include "common/conversation_text.h"
#include "call/conversation_view.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"
#include "ui/tests/held_storage.h"

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

const std::string kRule(64, '=');
const std::string CR = "\xB1", LF = "\xB2";

class Endings : public CallsTest {
 protected:
  void Flags(bool autoAnswer, bool autoHangUp, bool autoSave) {
    form->AutoAnsBox->setChecked(autoAnswer);
    form->AutoHangUpBox->setChecked(autoHangUp);
    form->AutoSaveBox->setChecked(autoSave);
  }
  fs::path JournalFolder() const { return stateDir.path() / "journal"; }
  std::vector<fs::path> Journals() const {
    std::vector<fs::path> found;
    if (fs::exists(JournalFolder()))
      for (const auto& e : fs::directory_iterator(JournalFolder())) found.push_back(e.path());
    return found;
  }
  // The one journal there is, read back.
  TJournalContents TheJournal() const {
    auto all = Journals();
    if (all.size() != 1) {
      ADD_FAILURE() << all.size() << " journals";
      return {};
    }
    return ParseJournal(readFile(all[0]));
  }
  // A new window in this test's folders, as the program starts again after it ended.
  void Restart() {
    form = std::make_unique<TMainForm>(services);
    form->ManualTypeForm = typing.get();
    form->FormShow(form.get());
  }
  // A fresh start of the program on the device, in empty folders, the port there.
  void FreshStart(const std::string& device) {
    form.reset();
    for (const fs::path& folder : {logs.path(), JournalFolder()})
      if (fs::exists(folder))
        for (const auto& e : fs::directory_iterator(folder)) fs::remove(e.path());
    ports->device->hungUp = false;
    ports->missing.clear();
    form = std::make_unique<TMainForm>(services);
    form->ManualTypeForm = typing.get();
    Use(device);
  }
  // The modem answered a ring and connected.
  void Answered() {
    Receive("\r\nRING\r\n");
    ASSERT_TRUE(form->EndCallButton->isEnabled());  // the call has begun
    Receive("\r\nCONNECT TTY\r\n");
    TakeSent();
  }
};

// ---- the journal ------------------------------------------------------------------------------

TEST_F(Endings, TheJournalHoldsTheCallAsItGoesAndGoesWithTheSaveOrTheDiscard) {
  Use(kDeviceCustomCompact);
  EXPECT_TRUE(Journals().empty());
  form->StartCallButton->click();
  Receive("HELLO GA\r\n");
  EXPECT_EQ(TheJournal().Conversation, View());  // written with each batch, not only each second
  // The tester types; the view edits itself and the journal follows at the next tick.
  QKeyEvent key(QEvent::KeyPress, Qt::Key_H, Qt::NoModifier, "H");
  QApplication::sendEvent(form->MemoASCII, &key);
  ASSERT_EQ(View(), "RECD: HELLO GA" + CR + LF + "\r\n\r\nSEND: H");
  Run(1);
  TJournalContents j = TheJournal();
  EXPECT_EQ(j.Conversation, View());
  EXPECT_EQ(j.Capture, form->CaptureFilePath());
  EXPECT_EQ(j.Values.UserName, "Ann");
  form->UserEdit->setText("Bob");
  Run(1);
  EXPECT_EQ(TheJournal().Values.UserName, "Bob");

  const TDateTime ended = clock.now;
  form->EndCallButton->click();  // Auto save is off: the call waits, its journal with it
  j = TheJournal();
  ASSERT_TRUE(j.End);
  EXPECT_EQ(*j.End, ended);
  form->RecordLogButton->click();
  EXPECT_TRUE(Journals().empty());
  EXPECT_EQ(Count(Captures(), kRule), 1u);

  form->StartCallButton->click();
  Receive("NOT WANTED");
  form->EndCallButton->click();
  EXPECT_EQ(Journals().size(), 1u);
  boxes.answers = {TMsgResult::Ok};
  form->DontSaveButton->click();
  EXPECT_TRUE(Journals().empty());
  EXPECT_EQ(Count(Captures(), kRule), 1u);
}

TEST_F(Endings, AKilledProgramsCallBecomesItsRecordAtTheNextStartOnce) {
  Use(kDeviceCustomCompact);
  const std::string started = FormatCaptureDateTime(clock.now);
  form->StartCallButton->click();
  Receive("HELLO GA\r\n");
  Run(5);
  const TDateTime lastWrite = clock.now;
  Receive("AND MORE");
  const std::string capture = form->CaptureFilePath();
  clock.now += std::chrono::minutes(5);
  form.reset();  // killed: nothing closes the call

  Restart();
  const std::string file = readFile(capture);
  EXPECT_NE(file.find(kRule + "\r\nStarted at " + started + "\r\n\r\nRECD: HELLO GA" + CR + LF +
                      "AND MORE\r\n\r\nEnded at " + FormatCaptureDateTime(lastWrite) + " (1.0 seconds)\r\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("\r\nSCRIPTCOMPLETED: No\r\n"), std::string::npos);
  ASSERT_EQ(log.With("recovered the call of ").size(), 1u);
  EXPECT_TRUE(log.With("recovered the call of ")[0].ends_with(" into " + capture)) << log.lines.back();
  EXPECT_TRUE(Journals().empty());

  Restart();
  EXPECT_EQ(readFile(capture), file);
  EXPECT_EQ(log.With("recovered").size(), 1u);
}

// Storage that does not answer (a hung network mount) holds up the recovery of the last run's call,
// not the start: the window comes up and takes a call, and the recovered call is logged, and in its
// capture, once the storage answers.
TEST_F(Endings, AStartWhoseRecoveryHangsGoesOnWithoutIt) {
  Use(kDeviceCustomCompact);
  form->StartCallButton->click();
  Receive("LEFT BEHIND");
  const std::string capture = form->CaptureFilePath();
  form.reset();  // killed

  HeldStorage storage;
  storage.Install();
  services.RecoveryWaitMs = 200;
  Restart();
  ASSERT_EQ(log.With("are still being recovered").size(), 1u) << log.lines.back();
  EXPECT_TRUE(log.With("recovered the call of ").empty());
  form->StartCallButton->click();
  Receive("A NEW CALL");
  EXPECT_NE(View().find("A NEW CALL"), std::string::npos) << View();

  storage.Allow(1000);
  for (int i = 0; i < 2000 && log.With("recovered the call of ").empty(); ++i) {
    form->RecoveryTimer.Fire();
    std::unique_lock lock(storage.m);
    storage.cv.wait_for(lock, std::chrono::milliseconds(10));
  }
  ASSERT_EQ(log.With("recovered the call of ").size(), 1u);
  EXPECT_NE(readFile(capture).find("LEFT BEHIND"), std::string::npos);
  EXPECT_FALSE(form->RecoveryTimer.Enabled());
}

TEST_F(Endings, AnotherRunningInstancesCallIsLeftAlone) {
  Use(kDeviceCustomCompact);
  form->StartCallButton->click();
  Receive("STILL TALKING");
  TMainForm other(services);  // a second program on the same state folder starts meanwhile
  other.FormShow(&other);
  EXPECT_EQ(log.With("belongs to another corvalis that is running: left alone").size(), 1u);
  EXPECT_FALSE(fs::exists(form->CaptureFilePath()));
  form->EndCallButton->click();
  form->RecordLogButton->click();
  EXPECT_EQ(Count(Captures(), "STILL TALKING"), 1u);
  EXPECT_TRUE(Journals().empty());
}

// ---- the line dropped -------------------------------------------------------------------------

TEST_F(Endings, NoCarrierEndsTheCallWhichIsSavedAndTheNextRingStartsANewOne) {
  Use(kDeviceInteleModem2400);
  Flags(true, true, true);
  UseScript("THIS IS US GA\r\n\r\nTHEM GA\r\n\r\nBYE SK\r\n\r\n");
  Answered();
  Run(20);  // the script starts by itself
  Run(20);
  EXPECT_EQ(TakeSent(), "THIS IS US GA ");
  Receive("THIS IS CALL 1 GA");
  Receive("\r\nNO CARRIER\r\n");
  // The call is saved as it stands, and nothing more of the script goes into the dead line.
  std::string file = Captures();
  EXPECT_NE(file.find("\r\n\r\nRECD: THIS IS CALL 1 GA" + CR + LF + "NO CARRIER\r\n\r\nEnded at "),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("SCRIPTCOMPLETED: No\r\n"), std::string::npos);
  EXPECT_EQ(log.With("ended (NO CARRIER): saved in " + form->CaptureFilePath()).size(), 1u);
  Run(60);
  EXPECT_EQ(TakeSent(), "");

  Receive("\r\nRING\r\n");
  EXPECT_EQ(TakeSent(), "ATB1S15=0A\r");
  Receive("\r\nCONNECT TTY\r\nTHIS IS CALL 2 GA");
  EXPECT_EQ(View(), "RECD: " + LF + "THIS IS CALL 2 GA");
  EXPECT_EQ(Count(Captures(), kRule), 1u);
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(Endings, AModemsResultLineIsNotTheFarEndsTurn) {
  Use(kDeviceInteleModem2400);
  Flags(false, true, false);
  UseScript("ONE GA\r\n\r\nTWO GA\r\n\r\nTHREE GA\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  form->AnswerButton->click();
  Receive("\r\nCONNECT TTY\r\n");
  form->SendNowButton->click();
  Run(10);
  TakeSent();
  Receive("\r\nRING\r\n");  // shown, but said by the modem
  Run(40);
  EXPECT_EQ(TakeSent(), "");
  EXPECT_NE(View().find("RING"), std::string::npos);
  Receive("\r\nTWO\r\n");  // the far end's words of the same length are a turn after 3 s
  Run(20);
  EXPECT_TRUE(TakeSent().starts_with("THR"));
}

// A modem hung up by 30 s of silence keeps its call open until something ends it; what this side then
// says to the modem ("+++", "ATH", its start-up when it is back) goes to the port, never into the call.
TEST_F(Endings, AModemsCommandsAfterASilentHangUpAreNeverTheFarEndsText) {
  for (const std::string device : {kDeviceInteleModem2400, kDeviceInteleModem300, kDeviceNXi}) {
    for (const std::string ending : {"the next ring", "the device gone", "the device gone and back"}) {
      SCOPED_TRACE(device + ", ended by " + ending);
      FreshStart(device);
      Flags(true, true, true);
      Receive("\r\nRING\r\n");
      Receive("\r\nCONNECT TTY\r\n");
      ASSERT_TRUE(form->EndCallButton->isEnabled());
      Receive("HELLO GA");
      const std::string heard = View();  // the far end's words as the view shows them
      ASSERT_NE(heard.find("RECD: "), std::string::npos);
      ASSERT_TRUE(heard.ends_with("HELLO GA"));
      TakeSent();
      Run(200);  // 30 s of silence, then the hang-up and its command sequence run out
      const std::string hangUp = TakeSent();
      EXPECT_TRUE(hangUp.ends_with("ATH\r")) << hangUp;
      if (device != kDeviceInteleModem2400) {
        EXPECT_NE(hangUp.find("+++"), std::string::npos) << hangUp;
      }
      EXPECT_EQ(View(), heard);
      Receive("\r\nOK\r\n");
      if (ending == "the next ring") {
        Receive("\r\nRING\r\n");
        EXPECT_NE(TakeSent().find("A\r"), std::string::npos);  // the new call is answered
      } else {
        ports->device->hungUp = true;
        ports->missing.insert("COM1");
        form->ComPort.NotifyError();
        ASSERT_EQ(log.With("ended (COM1 gone): saved in ").size(), 1u);
        if (ending == "the device gone and back") {
          ports->missing.clear();
          ports->device->hungUp = false;
          Run(5);
          EXPECT_TRUE(TakeSent().starts_with("ATZ"));
        }
      }
      std::string capture, timing;
      for (const auto& e : fs::directory_iterator(logs.path()))
        (e.path().string().ends_with(".timing.csv") ? timing : capture) += readFile(e.path());
      EXPECT_EQ(Count(capture, kRule), 1u);
      EXPECT_NE(capture.find("\r\n\r\n" + heard + "\r\n\r\nEnded at "), std::string::npos)
          << capture;
      EXPECT_EQ(Count(capture, "ATH"), 0u) << capture;
      EXPECT_EQ(Count(capture, "ATZ"), 0u) << capture;
      EXPECT_EQ(Count(capture, "+++"), 0u) << capture;
      // The times hold what the far end sent in the call, and nothing of this side.
      EXPECT_NE(timing.find(",received,0,65,A\n"), std::string::npos) << timing;
      EXPECT_EQ(Count(timing, ",sent,"), 0u) << timing;
      log.lines.clear();
    }
  }
}

// The next ring comes while the hang-up's command is on its way to the modem: the ring is answered,
// and nothing more of the hang-up follows the answer (it would hang up the new call), then or later.
TEST_F(Endings, TheNextRingDuringAHangUpsCommandStopsTheRestOfTheHangUp) {
  for (const std::string device : {kDeviceInteleModem2400, kDeviceNXi}) {
    SCOPED_TRACE(device);
    FreshStart(device);
    Flags(true, true, true);
    Receive("\r\nRING\r\n");
    Receive("\r\nCONNECT TTY\r\n");
    Receive("HELLO GA");
    const std::string first = View();
    Run(155);  // hung up by silence
    TakeSent();
    QMetaObject::invokeMethod(
        form.get(), [this] { Receive("\r\nRING\r\n"); }, Qt::QueuedConnection);
    form->ATCommandTimer.Fire();  // "ATH" (the Intele-Modem 2400) or "+++" (the NXi) begins
    const std::string answer = TakeSent();
    EXPECT_TRUE(answer.starts_with("AT") && answer.ends_with("A\r")) << answer;
    EXPECT_EQ(Count(answer, "ATH"), 0u) << answer;
    EXPECT_EQ(Count(answer, "+"), 0u) << answer;
    Receive("\r\nCONNECT TTY\r\nSECOND CALL");
    const std::string second = View();
    Run(60);
    EXPECT_EQ(Count(TakeSent(), "AT"), 0u);  // the hang-up does not go on in the new call
    form->EndCallButton->click();

    const std::string capture = Captures();
    EXPECT_EQ(Count(capture, kRule), 2u);
    EXPECT_NE(capture.find(" (31.0 seconds)"), std::string::npos) << capture;
    EXPECT_NE(capture.find("\r\n\r\n" + first + "\r\n\r\nEnded at "), std::string::npos) << capture;
    EXPECT_TRUE(second.ends_with("SECOND CALL"));
    EXPECT_NE(capture.find("\r\n\r\n" + second + "\r\n\r\nEnded at "), std::string::npos) << capture;
    EXPECT_EQ(Count(capture, "\r\n\r\n\r\n"), 0u) << capture;  // no empty lines at a call's start
  }
}

TEST_F(Endings, ADialThatFindsTheLineBusyLeavesTheLineDown) {
  Use(kDeviceNXi);
  form->DialNumEdit->setText("5551234");
  form->DialButton->click();
  TakeSent();
  Receive("\r\nBUSY\r\n");
  EXPECT_EQ(log.With("no connection (BUSY)").size(), 1u);
  EXPECT_FALSE(form->SendNowButton->isEnabled());
  Receive("\r\nCONNECT TTY\r\n");  // a stray line later starts nothing
  EXPECT_FALSE(form->EndCallButton->isEnabled());
}

// ---- the device pulled out and put back -------------------------------------------------------

TEST_F(Endings, ADevicePulledMidCallIsSaidOnceItsCallSavedAndTheDeviceOpenedAgainWhenBack) {
  Use(kDeviceInteleModem2400);
  Flags(true, true, true);
  Answered();
  Receive("HELLO GA");
  // The adapter is pulled: the device hangs up and its node goes.
  ports->device->hungUp = true;
  ports->missing.insert("COM1");
  form->ComPort.NotifyError();
  const std::string port = "COM1 = " + ResolvePortPath("COM1");
  ASSERT_EQ(log.With(": the device has gone").size(), 1u);
  EXPECT_TRUE(log.With(": the device has gone")[0].starts_with(port)) << log.lines.back();
  EXPECT_TRUE(log.With(": the device has gone")[0].ends_with(
      ": the device has gone (it hung up: Input/output error); the port is closed and opened again when the "
      "device is back"));
  EXPECT_FALSE(form->ComPort.IsOpen());
  std::string file = Captures();
  EXPECT_NE(file.find("HELLO GA\r\n\r\nEnded at "), std::string::npos) << file;
  EXPECT_NE(file.find("SCRIPTCOMPLETED: No\r\n"), std::string::npos);
  EXPECT_EQ(log.With("ended (COM1 gone): saved in ").size(), 1u);
  EXPECT_TRUE(boxes.calls.empty());

  const std::size_t lines = log.lines.size();
  ports->opened.clear();
  Run(20);  // 4 s away: looked for each second, said nothing more
  EXPECT_EQ(log.lines.size(), lines);
  EXPECT_EQ(ports->opened.size(), 4u);
  ports->missing.clear();
  ports->device->hungUp = false;
  Run(5);
  EXPECT_TRUE(form->ComPort.IsOpen());
  ASSERT_EQ(log.lines.size(), lines + 1);
  EXPECT_TRUE(log.lines.back().starts_with(port + ": the device is back, 4.")) << log.lines.back();
  EXPECT_TRUE(log.lines.back().ends_with(" s after it went; the port is open again"));
  EXPECT_EQ(TakeSent(), "ATZ0\r");  // its own start-up again
  Receive("\r\nOK\r\n");
  EXPECT_EQ(TakeSent(), "ATX1E0\r");

  Answered();
  Receive("SECOND CALL");
  form->EndCallButton->click();

  EXPECT_NE(Captures().find("SECOND CALL\r\n"), std::string::npos);
  EXPECT_EQ(Count(Captures(), kRule), 2u);
}

TEST_F(Endings, AWriteToAVanishedDeviceIsSaidOnceNotAsAnErrorAtEveryCharacter) {
  Use(kDeviceCustomCompact);
  Flags(false, false, false);
  UseScript("A LONG LINE OF OURS GA\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  form->StartCallButton->click();
  Receive("HI");
  form->SendNowButton->click();
  Run(3);
  ports->device->writeError = EIO;
  Run(10);
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_EQ(log.With("the device has gone (a write failed: Input/output error)").size(), 1u);
  // Auto save is off: the call waits for the tester, what was sent in it and no more.
  EXPECT_EQ(log.With("ended (COM1 gone): waits to be saved (Auto save is off)").size(), 1u);
  EXPECT_EQ(View(), "RECD: HI\r\n\r\nSEND: A L");
  EXPECT_TRUE(form->RecordLogButton->isEnabled());
}

TEST_F(Endings, ADeviceThatGoesBetweenCallsIsSaidAndWatchedFor) {
  Use(kDeviceCustomCompact);
  ports->missing.insert("COM1");  // the link removed; the device says nothing
  Run(5);
  EXPECT_EQ(log.With("the device has gone (its name leads nowhere: No such file or directory)").size(), 1u);
  EXPECT_FALSE(form->ComPort.IsOpen());
  ports->missing.clear();
  Run(5);
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(log.With("the device is back, ").size(), 1u);
}

TEST_F(Endings, ADeviceMissingAtStartUpIsOpenedWhenItComes) {
  ports->missing.insert("COM1");
  StartUp(kDeviceCustomCompact, logs.path().string());
  ASSERT_EQ(boxes.calls.size(), 1u);  // "Unable to open com port", once
  Run(10);
  EXPECT_EQ(boxes.calls.size(), 1u);
  EXPECT_FALSE(form->ComPort.IsOpen());
  ports->missing.clear();
  Run(5);
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(log.With("the device is there now").size(), 1u);
}

// ---- a click in the middle of a character -----------------------------------------------------

TEST_F(Endings, ACharacterOfOneCallNeverGoesIntoTheNext) {
  Use(kDeviceCustomCompact);
  Flags(false, false, true);
  UseScript("HELLO GA\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  form->StartCallButton->click();
  form->SendNowButton->click();
  Run(2);
  ASSERT_EQ(TakeSent(), "HE");
  // End Call (saved) and Start Call, and the far end's words, handled while the next character is
  // on its way.
  QMetaObject::invokeMethod(
      form.get(), [this] { form->EndCallButton->click(); }, Qt::QueuedConnection);
  QMetaObject::invokeMethod(
      form.get(), [this] { form->StartCallButton->click(); }, Qt::QueuedConnection);
  QMetaObject::invokeMethod(
      form.get(), [this] { Receive("NEW CALL"); }, Qt::QueuedConnection);
  Run(1);
  EXPECT_EQ(TakeSent(), "");
  EXPECT_EQ(View(), "RECD: NEW CALL");
  Run(20);  // the new call's own script, from its start
  EXPECT_TRUE(TakeSent().starts_with("HELLO"));
  EXPECT_NE(Captures().find("\r\nSEND: HE\r\n\r\nEnded at "), std::string::npos) << Captures();
}

// ---- what collided with this side's sending ---------------------------------------------------

TEST_F(Endings, WhatArrivesWhileThisSideSendsIsCountedForTheCall) {
  Use(kDeviceNXi);
  Flags(false, false, false);
  UseScript("A TURN OF OURS GA\r\n\r\n");
  form->CallDirectionLabel2->setChecked(true);
  form->StartCallButtonClick(form->StartCallButton);
  form->SendNowButton->click();
  Run(2);
  Receive("FAR TEXT");  // 8 characters
  Run(2);
  Receive("\r\nRING\r\n");  // the modem's line is no collision
  Receive("GA\r\n");        // 4
  Run(30);
  Receive("SHOWN");
  form->EndCallButton->click();
  EXPECT_EQ(View().find("FAR"), std::string::npos);
  EXPECT_NE(View().find("RECD: SHOWN"), std::string::npos);
  EXPECT_EQ(TheJournal().Collisions, 12);
  EXPECT_EQ(log.With("12 characters from the far end arrived while this side was sending and are not in the "
                     "record")
                .size(),
            1u);
  form->RecordLogButton->click();
  form->StartCallButtonClick(form->StartCallButton);
  Receive("NOTHING COLLIDED");
  form->EndCallButton->click();
  EXPECT_EQ(log.With("arrived while this side was sending").size(), 1u);
}

}  // namespace
}  // namespace corvalis::testing

