// SPDX-License-Identifier: Apache-2.0
// What an unattended run leaves to diagnose it: every box in the log, settings store faults reported
// once and nothing in the store lost, and termination signals that close the window the orderly way.
#include <sys/resource.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "call/conversation_view.h"
#include "records/settings_store.h"
#include "ui/termination.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

class Unattended : public FormTest {
 protected:
  bool Close() {
    QCloseEvent close;
    QApplication::sendEvent(form.get(), &close);
    return close.isAccepted();
  }
  // Raises the signal with the termination handlers of the program in place, and serves events
  // until the window has handled it.
  void Terminate(int signal) {
    bool handled = false;
    TTerminationSignals termination([&](int s) {
      EXPECT_EQ(s, signal);
      form->CloseOnSignal(s);
      handled = true;
    });
    ASSERT_EQ(std::raise(signal), 0);
    QElapsedTimer waited;
    waited.start();
    while (!handled && waited.elapsed() < 30000)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    ASSERT_TRUE(handled);
    // A second signal would now end the program at once.
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const BoxCall& b : boxes.calls) texts.push_back(b.text);
    return texts;
  }
};

TEST_F(Unattended, EveryBoxIsLoggedWithThePathAndReasonOfPortAndFileErrors) {
  ports->missing = {"COM1"};
  form->FormShow(form.get());
  ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Unable to open com port (win error code: 2)"});
  EXPECT_EQ(log.lines, std::vector<std::string>{
                           "box \"corvalis_test\": Unable to open com port (win error code: 2) [COM1 = " +
                           ResolvePortPath("COM1") + ": No such file or directory]"});

  // A question, and a capture file that cannot be written.
  StartUp(kDeviceCustomCompact, "/no/such/folder");
  form->Settings.UserName.clear();
  form->StartCallButton->click();
  form->EndCallButton->click();
  form->RecordLogButton->click();
  form->Settings.UserName = "Ann";
  form->RecordLogButton->click();
  EXPECT_EQ(log.With("box \"No name\": Please enter your name at the USER: field").size(), 1u);
  const std::string capture = form->CaptureFilePath();
  EXPECT_EQ(log.With("File not found (" + capture + ") [" + capture + ": No such file or directory]").size(),
            1u);
  EXPECT_EQ(log.lines.size(), boxes.calls.size());

  // With no display a box is not shown and is answered as OK (or Yes) would be.
  TQtMessageBoxes qtBoxes;
  ASSERT_FALSE(qtBoxes.CanShow());  // offscreen
  TLoggedMessageBoxes logged(qtBoxes, log);
  EXPECT_EQ(logged.Show("Unsaved Data", "Discard this call?", TMsgButtons::OkCancel, TMsgIcon::None),
            TMsgResult::Ok);
  EXPECT_EQ(logged.Show("Still on the line", "Hang up this call?", TMsgButtons::YesNo, TMsgIcon::Question),
            TMsgResult::Yes);
  EXPECT_EQ(log.lines.back(),
            "box \"Still on the line\": Hang up this call? (not shown, no display: taken as Yes)");
}

TEST_F(Unattended, AnUnreadableSettingsFileIsReportedOnceAndKeptAside) {
  const std::string junk[] = {"Test Type=Landline\nPort=2\n", std::string("\x7f\x01\0\xff\xfe junk\n", 10)};
  for (const std::string& bytes : junk) {
    PutKeyFile(bytes);
    fs::remove(KeyFile().string() + ".unreadable");
    boxes.calls.clear();
    form = std::make_unique<TMainForm>(services);
    form->FormShow(form.get());
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text,
              "The settings file is not readable (no REGEDIT4 header): " + KeyFile().string() +
                  "\nThe program starts on its defaults; the file is kept as "
                  "Corvalis.reg.unreadable.");
    // The start-up went on with the defaults; the file was kept before the first save replaced it.
    EXPECT_TRUE(form->ComPort.IsOpen());
    EXPECT_EQ(form->Settings.DeviceType, "Ameriphone Q-90");
    EXPECT_EQ(readFile(KeyFile().string() + ".unreadable"), bytes);
    EXPECT_EQ(Stored("Test Type"), "Wireless: Static Direct Call");
    EXPECT_EQ(readFile(KeyFile()).find("junk"), std::string::npos);
    form->ComputerIDEdit->setText("LAB1");
    EXPECT_TRUE(Close());
    EXPECT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(Stored("Ending filename"), "LAB1");
  }
}

TEST_F(Unattended, FolderAndFileMixUpsAreReportedOnceWithPathAndReason) {
  TempDir other;
  const std::string notAFolder = other.write("registry", "a file");
  struct Case {
    std::function<void()> arrange;
    std::string path;
    std::string text;
    std::string reason;
  } cases[] = {
      {[&] { setenv("CORVALIS_REGISTRY_DIR", notAFolder.c_str(), 1); }, notAFolder, " is not a folder.",
       "Not a directory"},
      {[&] { fs::create_directories(KeyFile()); }, KeyFile().string(), " is a folder, not a file.",
       "Is a directory"},
  };
  for (const Case& c : cases) {
    c.arrange();
    boxes.calls.clear();
    log.lines.clear();
    form = std::make_unique<TMainForm>(services);
    form->FormShow(form.get());
    // Typing, a call and closing save the settings again and again: one report in all.
    QTest::keyClicks(form->ComputerIDEdit, "LAB1");
    form->StartCallButton->click();
    form->EndCallButton->click();
    form->DontSaveButton->click();
    Close();
    ASSERT_EQ(BoxTexts().size(), 2u) << ::testing::PrintToString(BoxTexts());  // and "Discard this call?"
    EXPECT_EQ(boxes.calls[0].text, "The settings cannot be read or saved: " + c.path + c.text);
    EXPECT_EQ(log.With("[" + c.path + ": " + c.reason + "]").size(), 1u);
    EXPECT_TRUE(form->ComPort.IsOpen());
    setenv("CORVALIS_REGISTRY_DIR", registryDir.path().c_str(), 1);
  }
}

TEST_F(Unattended, AHandTypedWindowsPathDoesNotStopTheStartUp) {
  PutSettings("\"Log directory\"=\"c:\\\"\r\n\"Port\"=\"2\"\r\n\"Auto save\"=\"1\"\r\n");
  form->FormShow(form.get());
  for (const std::string& text : BoxTexts())
    EXPECT_EQ(text.find("Invalid data type"), std::string::npos) << text;
  EXPECT_EQ(form->ComPort.PortNum(), "COM2");
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_TRUE(form->AutoSaveBox->isChecked());
}

TEST_F(Unattended, AStoppedStartUpLosesNoStoredValue) {
  for (int closing : {0, SIGHUP}) {
    PutSettings(
        "\"Test Type\"=\"Landline Calls (Acoustic)\"\r\n\"Call Direction\"=dword:00000001\r\n"
        "\"Signal\"=\"Weak\"\r\n\"Device Type\"=\"NXi modem\"\r\n\"Location\"=\"Lab 9\"\r\n\"Port\"=\"3\"\r\n"
        "\"CableID\"=\"C7\"\r\n\"Auto save\"=\"1\"\r\n\"Ending filename\"=\"LAB1\"\r\n");
    boxes.calls.clear();
    log.lines.clear();
    form = std::make_unique<TMainForm>(services);
    form->FormShow(form.get());
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Invalid data type for 'Call Direction'"});
    EXPECT_EQ(log.lines[0], "box \"corvalis_test\": Invalid data type for 'Call Direction' [" +
                                KeyFile().string() + ", line 5: a dword value, not a string]");
    // The tester chooses a signal (the default one) and types a network; a call starts and the
    // program is closed. The values the start-up did not reach stay as stored.
    form->SignalLabel1->click();
    form->NetworkInfoEdit->setText("Net 2");
    form->StartCallButton->click();
    if (closing)
      Terminate(closing);
    else
      Close();
    EXPECT_EQ(Stored("Test Type"), "Landline Calls (Acoustic)");
    EXPECT_EQ(Stored("Call Direction"), "Outgoing Call");  // the bad value is written back as a string
    EXPECT_EQ(Stored("Signal"), "Strong");
    EXPECT_EQ(Stored("NetworkInfo"), "Net 2");
    EXPECT_EQ(Stored("Device Type"), "NXi modem");
    EXPECT_EQ(Stored("Location"), "Lab 9");
    EXPECT_EQ(Stored("Port"), "3");
    EXPECT_EQ(Stored("CableID"), "C7");
    EXPECT_EQ(Stored("Auto save"), "1");
    EXPECT_EQ(Stored("Ending filename"), "LAB1");
  }
}

TEST_F(Unattended, AStoreThatCannotBeWrittenIsReportedOnceAndStartCallCompletes) {
  // A full disk: the store is read, but no save fits.
  PutSettings("\"CustomSignal\"=\"" + std::string(4096, 'x') +
              "\"\r\n\"Device Type\"=\"Ultratec Custom Compact\"\r\n");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  form->FormShow(form.get());
  QTest::keyClicks(form->ComputerIDEdit, "LAB1");
  form->AutoSaveBox->click();
  form->StartCallButton->click();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Failed to set data for 'Test Type'"});
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "box \"corvalis_test\": Failed to set data for 'Test Type' [" + KeyFile().string() +
                              ": File too large]");
  // The call's journal does not fit either: the lab is told that a kill now would lose the call.
  EXPECT_TRUE(log.lines[1].starts_with("the call journal " + (stateDir.path() / "journal").string()));
  EXPECT_TRUE(
      log.lines[1].ends_with(" cannot be written (File too large): a kill or a power cut now would "
                             "lose what the call says from here on"))
      << log.lines[1];
  // The program goes on with what the tester set, and the call started completely.
  EXPECT_EQ(form->Settings.ComputerID, "LAB1");
  EXPECT_TRUE(form->EndCallButton->isEnabled());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(Qt::white));
  EXPECT_EQ(form->MemoASCII->TextColour(), QColor(Qt::blue));
  // The far end's first words open the call's first paragraph, as in any call just begun.
  Receive("HI");
  EXPECT_EQ(View(), "RECD: HI");
  // With room again, the next save stores everything.
  form->EndCallButton->click();
  EXPECT_EQ(Stored("Ending filename"), "");
  form->ComputerIDEdit->setText("LAB2");
  EXPECT_EQ(Stored("Ending filename"), "LAB2");
  EXPECT_EQ(Stored("Auto save"), "1");
}

TEST_F(Unattended, ATerminationSignalSavesTheFinishedCallAndTheSettingsAndClosesThePort) {
  TempDir logs;
  StartUp(kDeviceCustomCompact, logs.path().string());
  form->StartCallButtonClick(form->StartCallButton);
  Receive("HELLO GA\r\n");
  form->EndCallButtonClick(form->EndCallButton);
  ASSERT_TRUE(form->RecordLogButton->isEnabled());  // waits to be saved
  form->UserEdit->setText("Bob");  // not saved yet
  Terminate(SIGTERM);
  // Nobody was asked anything; the call and the settings are saved; the port is closed.
  EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].text;
  EXPECT_FALSE(form->RecordLogButton->isEnabled());
  const std::string capture = readFile(form->CaptureFilePath());
  EXPECT_NE(capture.find("RECD: HELLO GA"), std::string::npos) << capture;
  EXPECT_NE(capture.find("USERNAME: Bob"), std::string::npos) << capture;
  EXPECT_EQ(Stored("Username"), "Bob");
  EXPECT_FALSE(form->ComPort.IsOpen());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"SIGTERM: closing the window",
                                                 "the finished call is saved in " + form->CaptureFilePath(),
                                                 "closed; settings saved"}));

  // A call that cannot be saved is not asked about either: its reason is logged.
  form = std::make_unique<TMainForm>(services);
  StartUp(kDeviceCustomCompact, logs.path().string());
  form->Settings.Location.clear();
  form->StartCallButtonClick(form->StartCallButton);
  form->EndCallButtonClick(form->EndCallButton);
  boxes.calls.clear();
  log.lines.clear();
  Terminate(SIGINT);
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_EQ(log.With("(not shown, closing: taken as OK)").size(), 2u);  // "No location", "Discard this call?"
  EXPECT_EQ(log.With("the finished call could not be saved").size(), 1u);
}

// A shutdown mid-call, and after a modem hung up on silence (the call still open): nobody can be
// asked, so each call is ended and saved, also with Auto save off.
TEST_F(Unattended, ATerminationSignalEndsAndSavesTheCallGoingOnAlsoWithAutoSaveOff) {
  TempDir logs;
  StartUp(kDeviceCustomCompact, logs.path().string());
  form->AutoSaveBox->setChecked(false);
  form->StartCallButtonClick(form->StartCallButton);
  Receive("IN THE MIDDLE OF A");
  log.lines.clear();
  Terminate(SIGTERM);
  EXPECT_TRUE(boxes.calls.empty());
  const std::string capture = readFile(form->CaptureFilePath());
  EXPECT_NE(capture.find("RECD: IN THE MIDDLE OF A\r\n\r\nEnded at "), std::string::npos) << capture;
  EXPECT_NE(capture.find("SCRIPTCOMPLETED: No\r\n"), std::string::npos);
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_TRUE(log.lines[1].starts_with("the call of ")) << log.lines[1];
  EXPECT_TRUE(log.lines[1].ends_with(" ended (SIGTERM): saved in " + form->CaptureFilePath()))
      << log.lines[1];
  EXPECT_TRUE(fs::is_empty(stateDir.path() / "journal"));

  // A modem hung up by 30 s of silence keeps its call open until the next ring: a shutdown saves it.
  form = std::make_unique<TMainForm>(services);
  StartUp(kDeviceInteleModem2400, logs.path().string());
  form->UpdateModemButtons();
  form->AutoHangUpBox->setChecked(true);
  form->AutoSaveBox->setChecked(true);
  form->AnswerButton->click();
  Receive("\r\nCONNECT TTY\r\nLAST WORDS");
  for (int i = 0; i < 155; ++i) form->MainTimerTimer(form.get());
  ASSERT_TRUE(ports->device->sent.ends_with("\x15"));  // hung up
  for (int i = 0; i < 5 && form->ATCommandTimer.Enabled(); ++i) form->ATCommandTimer.Fire();
  ASSERT_TRUE(ports->device->sent.ends_with("\x15" "ATH\r"));  // and told its modem so
  Receive("\r\nOK\r\n");
  ASSERT_TRUE(form->EndCallButton->isEnabled());
  Terminate(SIGHUP);
  // The far end's words and nothing of this side's commands to its modem.
  const std::string saved = readFile(form->CaptureFilePath());
  EXPECT_NE(saved.find("RECD: \xB2LAST WORDS\r\n\r\nEnded at "), std::string::npos) << saved;
  EXPECT_EQ(saved.find("ATH"), std::string::npos) << saved;
  EXPECT_EQ(log.With("ended (SIGHUP): saved in ").size(), 1u);
}

}  // namespace
}  // namespace corvalis::testing
