// SPDX-License-Identifier: Apache-2.0
// Saving or discarding a finished call from the window, and the capture file it writes.
#include <sys/stat.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QFrame>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>

#include "ui/tests/held_storage.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

const std::string kRule(64, '=');

class SaveCall : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    StartUp(kDeviceCustomCompact, dir.path().string() + "/");
  }
  // A short call: the far end says hello, this side answers, 125.3 seconds.
  void RunCall() {
    form->StartCallButtonClick(form->StartCallButton);
    Receive("HELLO\r\n");
    form->SendToMemoAndPort("HI GA", false);
    clock.now += std::chrono::milliseconds(125300);
    form->EndCallButtonClick(form->EndCallButton);
  }
  // As the tester presses the button (errors go to the error box).
  void Save() { form->RecordLogButton->click(); }
  std::string CaptureFile() const { return dir.file("1018-1405-LAB1.TXT"); }
  bool Idle() const {
    return !form->RecordLogButton->isEnabled() && !form->DontSaveButton->isEnabled() &&
           form->StartCallButton->isEnabled() &&
           form->MemoASCII->isEnabled() && form->ClearButton->isEnabled() &&
           form->TabVisible(form->DevicesSheet) && form->TabVisible(form->FilesSheet) && View().empty();
  }
  // The ended call is still there to be saved or discarded, its conversation frozen in the view.
  bool Kept() const {
    return form->RecordLogButton->isEnabled() && form->DontSaveButton->isEnabled() &&
           !form->StartCallButton->isEnabled() && !form->MemoASCII->isEnabled() && !View().empty();
  }

  TempDir dir;
};

TEST_F(SaveCall, WritesTheCallRecordAndReturnsToIdle) {
  form->Settings.ScriptFileName = "/scripts/t1.txt";
  RunCall();
  Save();
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_EQ(readFile(CaptureFile()), kRule +
                                         "\r\n"
                                         "Started at 10/18/01 14:05:07\r\n"
                                         "\r\n"
                                         "RECD: HELLO\xB1\xB2\r\n"
                                         "\r\n"
                                         "SEND: HI GA\r\n"
                                         "\r\n"
                                         "Ended at 10/18/01 14:07:12 (125.3 seconds)\r\n"
                                         "COMPUTERID: LAB1\r\n"
                                         "TYPE: Wireless: Static Direct Call\r\n"
                                         "DIRECTION: Outgoing Call\r\n"
                                         "SIGNAL: Strong\r\n"
                                         "CABLEID: C7\r\n"
                                         "PHONEMODEL: P1\r\n"
                                         "PHONETECH: GSM\r\n"
                                         "USERNAME: Ann\r\n"
                                         "LOCATION: Lab 2\r\n"
                                         "NETWORKINFO: Net\r\n"
                                         "DEVICE: Ultratec Custom Compact\r\n"
                                         "PORT: 1\r\n"
                                         "TURBOCODEDETECTED: No\r\n"
                                         "SCRIPTCOMPLETED: No\r\n"
                                         "SCRIPTUSED: /scripts/t1.txt\r\n"
                                         "\r\n");
  EXPECT_TRUE(Idle());
}

// The record says whether its call connected with the turbo code; the next call is without it.
TEST_F(SaveCall, TheTurboCodeIsRecordedForItsOwnCallOnly) {
  form->Settings.DeviceType = kDeviceNXi;
  form->AnswerButtonClick(form->AnswerButton);
  Receive("\r\nCONNECT TURBO\r\nHELLO");
  form->EndCallButtonClick(form->EndCallButton);
  Save();
  form->StartCallButtonClick(form->StartCallButton);
  Receive("HELLO");
  form->EndCallButtonClick(form->EndCallButton);
  Save();
  const std::string file = readFile(CaptureFile());
  const std::size_t second = file.find(kRule, 1);  // where the second record begins
  ASSERT_NE(second, std::string::npos) << file;
  EXPECT_NE(file.substr(0, second).find("TURBOCODEDETECTED: Yes\r\n"), std::string::npos) << file;
  EXPECT_NE(file.substr(second).find("TURBOCODEDETECTED: No\r\n"), std::string::npos) << file;
}

TEST_F(SaveCall, TwoCallsInOneMinuteShareOneFile) {
  RunCall();
  Save();
  clock.now -= std::chrono::milliseconds(125300);
  RunCall();
  Save();
  std::string file = readFile(CaptureFile());
  EXPECT_EQ(file.find(kRule, 1), file.size() / 2);
  EXPECT_EQ(file.substr(0, file.size() / 2), file.substr(file.size() / 2));
}

TEST_F(SaveCall, TheFileIsNamedAfterTheFirstExchangedCharacter) {
  form->StartCallButtonClick(form->StartCallButton);
  clock.now += std::chrono::minutes(2);
  Receive("A");
  clock.now += std::chrono::minutes(2);
  Receive("B");
  form->EndCallButtonClick(form->EndCallButton);
  Save();
  EXPECT_TRUE(std::filesystem::exists(dir.file("1018-1407-LAB1.TXT")));
}

TEST_F(SaveCall, TheEndOfTheConversationIsTrimmed) {
  form->StartCallButtonClick(form->StartCallButton);
  form->SendToMemoAndPort("BYE SK", false);
  Receive("\r\n");  // shown as marks; then a bare mark after a blank line
  form->Conversation.Append("\r\n\r\nRECD: \r\n\r\n");
  form->EndCallButtonClick(form->EndCallButton);
  Save();
  std::string file = readFile(CaptureFile());
  EXPECT_NE(file.find("\r\n\r\nSEND: BYE SK\r\n\r\nRECD: \xB1\xB2\r\n\r\nEnded at"), std::string::npos)
      << file;
}

TEST_F(SaveCall, EachMissingConditionIsAskedForAndNothingIsWritten) {
  struct Case {
    std::string TWindowSettings::*field;
    const char* title;
    const char* text;
    TMsgIcon icon;
  };
  const Case cases[] = {
      {&TWindowSettings::ComputerID, "No Computer ID", "Please enter this computer's ID", TMsgIcon::Warning},
      {&TWindowSettings::UserName, "No name", "Please enter your name at the USER: field", TMsgIcon::Warning},
      {&TWindowSettings::Location, "No location", "Please enter this location at the LOCATION: field",
       TMsgIcon::Warning},
      {&TWindowSettings::CableID, "No cable info", "Please enter Cable ID", TMsgIcon::None},
      {&TWindowSettings::PhoneModel, "No phone model info", "Please enter a phone model", TMsgIcon::Warning},
      {&TWindowSettings::PhoneTech, "No phone technology info", "Please enter a phone technology",
       TMsgIcon::Warning},
  };
  RunCall();
  for (const Case& c : cases) {
    std::string kept = form->Settings.*c.field;
    form->Settings.*c.field = "";
    boxes.calls.clear();
    Save();
    ASSERT_EQ(boxes.calls.size(), 1u) << c.title;
    EXPECT_EQ(boxes.calls[0].title, c.title);
    EXPECT_EQ(boxes.calls[0].text, c.text);
    EXPECT_EQ(boxes.calls[0].buttons, TMsgButtons::Ok);
    EXPECT_EQ(boxes.calls[0].icon, c.icon);
    EXPECT_TRUE(Kept());
    EXPECT_FALSE(std::filesystem::exists(CaptureFile()));
    form->Settings.*c.field = kept;
  }
}

TEST_F(SaveCall, AMissingComputerIdShowsTheFilesSheet) {
  RunCall();
  form->Settings.ComputerID = "";
  Save();
  EXPECT_EQ(form->TabControl->currentWidget(), form->FilesSheet);
  EXPECT_TRUE(form->TabVisible(form->FilesSheet));
  EXPECT_TRUE(form->TabHighlighted(form->FilesSheet));
  EXPECT_EQ(form->ComputerIDPanel->palette().color(QPalette::Window), QColor(255, 255, 0));
}

TEST_F(SaveCall, ALandlineCallNeedsNoPhoneDetails) {
  form->Settings.TestType = "Landline Calls (Direct connection)";
  form->Settings.CableID = form->Settings.PhoneModel = form->Settings.PhoneTech = "";
  form->Settings.CallDirection = "Incoming Call";
  RunCall();
  Save();
  EXPECT_TRUE(boxes.calls.empty());
  std::string file = readFile(CaptureFile());
  EXPECT_NE(
      file.find("SIGNAL: N/A (Landline calls)\r\nCABLEID: N/A\r\nPHONEMODEL: N/A\r\nPHONETECH: N/A\r\n"),
      std::string::npos);
}

TEST_F(SaveCall, ATestTypeEditedByHandIsLandlineOnlyWhenTheRecordSaysSo) {
  // A settings file edited by hand can hold a test type that merely mentions a landline. The
  // record then writes the phone's details, so saving asks for them as for any wireless call:
  // a record is never written with the lines it holds left empty.
  form->Settings.TestType = "Wireless Calls via a Landline adapter";
  form->Settings.CableID = form->Settings.PhoneModel = form->Settings.PhoneTech = "";
  RunCall();
  Save();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "No cable info");
  EXPECT_FALSE(std::filesystem::exists(CaptureFile()));
  form->Settings.CableID = "C7";
  form->Settings.PhoneModel = "X100";
  form->Settings.PhoneTech = "GSM";
  boxes.calls.clear();
  Save();
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_NE(readFile(CaptureFile()).find("CABLEID: C7\r\nPHONEMODEL: X100\r\nPHONETECH: GSM\r\n"), std::string::npos);
}

TEST_F(SaveCall, AutoSaveSavesAtEndCall) {
  form->Settings.AutoSave = "1";
  RunCall();
  EXPECT_TRUE(std::filesystem::exists(CaptureFile()));
  EXPECT_TRUE(Idle());
  form->RecordLogButtonClick(form.get());  // a second automatic save does nothing
  EXPECT_EQ(readFile(CaptureFile()).find(kRule, 1), std::string::npos);
}

TEST_F(SaveCall, DontSaveAsksFirst) {
  RunCall();
  boxes.answers = {TMsgResult::Cancel};
  form->DontSaveButtonClick(form->DontSaveButton);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Unsaved Data");
  EXPECT_EQ(boxes.calls[0].text, "Discard this call?");
  EXPECT_EQ(boxes.calls[0].buttons, TMsgButtons::OkCancel);
  EXPECT_TRUE(Kept());
  form->DontSaveButtonClick(form->DontSaveButton);
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(std::filesystem::exists(CaptureFile()));
}

TEST_F(SaveCall, ClosingWithAnUnsavedCallAsks) {
  RunCall();
  boxes.answers = {TMsgResult::Cancel};
  QCloseEvent close;
  QApplication::sendEvent(form.get(), &close);
  EXPECT_FALSE(close.isAccepted());
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Discard this call?");
  QCloseEvent again;
  QApplication::sendEvent(form.get(), &again);
  EXPECT_TRUE(again.isAccepted());

  form->DontSaveButtonClick(form->DontSaveButton);
  boxes.calls.clear();
  QCloseEvent idle;
  QApplication::sendEvent(form.get(), &idle);
  EXPECT_TRUE(idle.isAccepted());
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(SaveCall, AFailedSaveKeepsTheCallForAnotherTry) {
  form->Settings.LogDirectory = dir.file("not-yet");
  RunCall();
  std::string conversation = View();
  Save();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].icon, TMsgIcon::Error);
  EXPECT_NE(boxes.calls[0].text.find("File not found"), std::string::npos) << boxes.calls[0].text;
  EXPECT_TRUE(Kept());
  EXPECT_EQ(View(), conversation);

  // The tester makes the folder and saves again: one whole record.
  ASSERT_EQ(mkdir(dir.file("not-yet").c_str(), 0755), 0);
  Save();
  EXPECT_EQ(boxes.calls.size(), 1u);
  std::string file = readFile(dir.file("not-yet/1018-1405-LAB1.TXT"));
  EXPECT_EQ(file.rfind(kRule), 0u);
  EXPECT_TRUE(Idle());
}

TEST_F(SaveCall, AFullDiskLeavesNoHalfRecord) {
  std::filesystem::create_symlink("/dev/full", CaptureFile());
  RunCall();
  Save();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_NE(boxes.calls[0].text.find("Disk full"), std::string::npos) << boxes.calls[0].text;
  EXPECT_TRUE(Kept());
}

TEST_F(SaveCall, AComputerIdCannotLeadTheFileIntoAnotherFolder) {
  std::filesystem::create_directory(dir.file("x"));
  form->Settings.ComputerID = "x/../Y";
  RunCall();
  Save();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_NE(boxes.calls[0].text.find("Invalid filename"), std::string::npos);
  EXPECT_TRUE(Kept());
}

// Storage that hangs for the whole call (a stuck USB stick, a sleeping SD card): the window receives,
// times and sends as on a fast disk, the journal has every line the call said, and only the call's
// end waits for the storage.
TEST_F(SaveCall, StorageThatHangsHoldsUpNothingDuringTheCall) {
  HeldStorage storage;
  storage.Install();
  form->StartCallButtonClick(form->StartCallButton);
  for (int second = 0; second < 3; ++second) {
    Receive("LINE " + std::to_string(second) + "\r\n");
    Tick(5);  // a second: the journal is synced once
  }
  form->SendToMemoAndPort("HI GA", false);
  std::string journal;
  for (const auto& e : std::filesystem::directory_iterator(stateDir.path() / "journal"))
    journal += readFile(e.path());
  EXPECT_NE(journal.find("LINE 2"), std::string::npos) << journal;
  storage.Allow(100);
  form->EndCallButtonClick(form->EndCallButton);
  Save();
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_NE(readFile(CaptureFile()).find("LINE 2"), std::string::npos);
  std::lock_guard lock(storage.m);
  EXPECT_FALSE(storage.stuck);
  EXPECT_GE(storage.started, 1);
}

}  // namespace
}  // namespace corvalis::testing
