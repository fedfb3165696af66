// SPDX-License-Identifier: Apache-2.0
// The settings in the window: loading them into the controls at start-up and saving them,
// the test conditions, the Devices sheet and the Files sheet's log directory.
#include <sys/resource.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>

#include "call/conversation_view.h"
#include "records/settings_store.h"
#include "ui/dirlist.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SettingsForm : public FormTest {
 protected:
  void Show() { form->FormShow(form.get()); }
  void Restart() {
    form.reset();
    form = std::make_unique<TMainForm>(services);
    Show();
  }
  void ShowSheet(QWidget* sheet) { form->TabControl->setCurrentWidget(sheet); }
  // Shown when its sheet is (the sheets of other tabs are hidden as a whole).
  static bool Visible(QWidget* w) { return !w->isHidden(); }
  // Whether closing the window goes ahead.
  bool Close() {
    QCloseEvent close;
    QApplication::sendEvent(form.get(), &close);
    return close.isAccepted();
  }
  std::vector<QRadioButton*> PortButtons() const {
    return {form->Com1Button, form->Com2Button, form->Com3Button,
            form->Com4Button, form->Com5Button, form->Com6Button};
  }
  int CheckedPort() const {
    int checked = 0;
    for (int i = 0; i < 6; ++i)
      if (PortButtons()[i]->isChecked()) checked = i + 1;
    return checked;
  }

  TempDir logs;
};

// ---- the store ------------------------------------------------------------------------------

TEST_F(SettingsForm, SettingsSurviveARestart) {
  fs::create_directory(logs.path() / "field");
  Show();
  form->TestTypeLabel5->click();
  form->CallDirectionLabel2->click();
  form->SignalLabel4->click();
  form->OtherEdit->setText("one bar");
  form->UserEdit->setText("Ann \"A\" \\ B");
  form->LocationEdit->setText("Lab 2");
  form->NetworkInfoEdit->setText("Carrier A");
  form->CableIDEdit->setText("C7");
  form->ModelEdit->setText("P1");
  form->TechEdit->setText("GSM");
  form->AutoSaveBox->click();
  form->AutoHangUpBox->click();
  form->AutoAnsBox->click();
  form->ComputerIDEdit->setText("LAB1");
  form->Settings.DialNumber = "5551234";
  ShowSheet(form->DevicesSheet);
  form->NXiButton->click();
  form->Com3Button->click();
  form->DeviceOkButton->click();
  form->DirectoryListBox->SetDirectory(QString::fromStdString((logs.path() / "field").string()));
  const TWindowSettings saved = form->Settings;
  EXPECT_TRUE(Close());
  EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].text;

  ports->opened.clear();
  Restart();
  EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].text;
  EXPECT_EQ(form->Settings, saved);
  EXPECT_EQ(form->Settings.LogDirectory, (logs.path() / "field").string());
  EXPECT_EQ(form->Settings.DeviceType, "NXi modem");
  EXPECT_TRUE(form->TestTypeLabel5->isChecked());
  EXPECT_FALSE(Visible(form->SignalStrengthBox));
  EXPECT_TRUE(form->CallDirectionLabel2->isChecked());
  EXPECT_TRUE(form->SignalLabel4->isChecked());
  EXPECT_EQ(form->UserEdit->text(), "Ann \"A\" \\ B");
  EXPECT_EQ(form->TechEdit->text(), "GSM");
  EXPECT_EQ(form->ComputerIDEdit->text(), "LAB1");
  EXPECT_TRUE(form->AutoSaveBox->isChecked() && form->AutoHangUpBox->isChecked() &&
              form->AutoAnsBox->isChecked());
  EXPECT_EQ(CheckedPort(), 3);
  // The port and line settings of the device come back too.
  EXPECT_EQ(ports->opened, std::vector<std::string>{"COM3"});
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(form->ComPort.BaudRate(), br9600);
  EXPECT_FALSE(form->MemoASCII->isReadOnly());
  EXPECT_EQ(form->DirectoryListBox->Directory().toStdString(), saved.LogDirectory);
}

TEST_F(SettingsForm, AFileMadeByHandIsReadWithItsOddValues) {
  PutSettings(
      "\"Test Type\"=\"Landline Calls (Acoustic)\"\r\n"
      "; the signal was deleted by hand\r\n"
      "\"Device Type\"=\"Ultratec Custom Compact\"\r\n"
      "\"Username\"=\"Bob\"\r\n"
      "\"Log directory\"=\"" +
      logs.path().string() +
      "\"\r\n"
      "\"Port\"=\"7\"\r\n"
      "\"Auto save\"=\"yes\"\r\n"
      "\"Auto hang up\"=\"1\"\r\n");
  Show();
  EXPECT_TRUE(boxes.calls.empty()) << boxes.calls[0].text;
  // Port "7" selects no button and leaves the port's name as it was.
  EXPECT_EQ(CheckedPort(), 0);
  EXPECT_EQ(form->ComPort.PortNum(), "COM1");
  EXPECT_TRUE(form->ComPort.IsOpen());
  // Only "1" is on.
  EXPECT_FALSE(form->AutoSaveBox->isChecked());
  EXPECT_TRUE(form->AutoHangUpBox->isChecked());
  // The missing value reads as empty and selects no signal button.
  EXPECT_EQ(form->Settings.Signal, "");
  for (QRadioButton* b : {form->SignalLabel1, form->SignalLabel2, form->SignalLabel3, form->SignalLabel4})
    EXPECT_FALSE(b->isChecked());
  EXPECT_TRUE(form->TestTypeLabel6->isChecked());
  EXPECT_FALSE(Visible(form->CableIDEdit));
  EXPECT_EQ(form->ComPort.BaudRate(), br300);
  EXPECT_EQ(form->Settings.UserName, "Bob");

  // The save at start-up writes every value back, the missing one as an empty string, and keeps
  // the comment.
  EXPECT_EQ(Stored("Signal"), "");
  EXPECT_NE(readFile(KeyFile()).find("\"Signal\"=\"\"\n"), std::string::npos);
  EXPECT_NE(readFile(KeyFile()).find("; the signal was deleted by hand"), std::string::npos);
  EXPECT_EQ(Stored("Port"), "7");
  EXPECT_EQ(Stored("Auto save"), "yes");
}

TEST_F(SettingsForm, AValueOfAnotherTypeIsShownAndEndsTheStartUp) {
  PutSettings(
      "\"Test Type\"=\"Landline Calls (Acoustic)\"\r\n"
      "\"Port\"=dword:00000002\r\n");
  Show();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Invalid data type for 'Port'");
  EXPECT_EQ(boxes.calls[0].icon, TMsgIcon::Error);
  EXPECT_EQ(form->Settings.TestType, "Landline Calls (Acoustic)");  // read before the error
  EXPECT_FALSE(form->ComPort.IsOpen());
  EXPECT_TRUE(ports->opened.empty());
  // The tester can still pick a port on the Devices sheet; the next save mends the value.
  ShowSheet(form->DevicesSheet);
  form->Com2Button->click();
  form->DeviceOkButton->click();
  EXPECT_TRUE(form->ComPort.IsOpen());
  form->StartCallButton->click();
  EXPECT_EQ(Stored("Port"), "2");
}

TEST_F(SettingsForm, TheComputerIdIsStoredAtOnceTheUserNameAtTheNextSave) {
  Show();
  form->ComputerIDPanel->setPalette(QPalette(QColor(255, 255, 0)));
  QTest::keyClicks(form->ComputerIDEdit, "LAB9/X:long");
  EXPECT_EQ(form->ComputerIDEdit->text(), "LAB9/X:l");  // 8 characters of any kind
  EXPECT_EQ(Stored("Ending filename"), "LAB9/X:l");
  EXPECT_EQ(form->ComputerIDPanel->palette().color(QPalette::Window), QColor(0, 255, 128));

  QTest::keyClicks(form->UserEdit, "Ann");
  form->LocationEdit->setText("Lab 2");
  EXPECT_EQ(form->Settings.UserName, "Ann");
  EXPECT_EQ(Stored("Username"), "");
  form->StartCallButton->click();
  EXPECT_EQ(Stored("Username"), "Ann");
  EXPECT_EQ(Stored("Location"), "Lab 2");
}

TEST_F(SettingsForm, ClosingAlwaysWritesAlsoWhenTheCloseIsCancelled) {
  Show();
  form->StartCallButton->click();
  form->EndCallButton->click();
  form->UserEdit->setText("Ann");
  boxes.answers = {TMsgResult::Cancel};
  EXPECT_FALSE(Close());
  EXPECT_EQ(Stored("Username"), "Ann");
}

TEST_F(SettingsForm, AFileEditedWhileTheProgramRunsIsKeptAndLoggedAtStartCall) {
  PutSettings("\"Username\"=\"Ann\"\r\n\"Port\"=\"2\"\r\n");
  Show();
  form->ComputerIDEdit->setText("LAB1");  // the program's own saves are no edit
  EXPECT_FALSE(fs::exists(KeyFile().string() + ".edited"));
  // Edited by hand while the program runs: the window keeps what it shows, and the edit is kept.
  std::string hand = readFile(KeyFile());
  hand.replace(hand.find("\"Username\"=\"Ann\""), 16, "\"Username\"=\"Bea\"");
  PutKeyFile(hand);
  form->StartCallButton->click();
  EXPECT_EQ(Stored("Username"), "Ann");
  EXPECT_EQ(form->UserEdit->text(), "Ann");
  EXPECT_EQ(readFile(KeyFile().string() + ".edited"), hand);
  EXPECT_EQ(log.With("changed outside the program"),
            std::vector<std::string>{"the settings file was changed outside the program since it was read "
                                     "(Username); the window's settings are saved over it, and the changed "
                                     "file is kept as " +
                                     KeyFile().string() + ".edited"});
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(SettingsForm, AFailedSaveAtStartUpIsShownOnceAndThePortStillOpens) {
  // A stored record whose saving back needs a write (the signal is missing), too big for the disk.
  PutSettings("\"CustomSignal\"=\"" + std::string(4096, 'x') +
              "\"\r\n"
              "\"Auto save\"=\"1\"\r\n\"Auto hang up\"=\"1\"\r\n\"Ending filename\"=\"LAB1\"\r\n");
  const std::string before = readFile(KeyFile());
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Show();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Failed to set data for 'Test Type'");
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(readFile(KeyFile()), before);
}

// ---- test conditions ------------------------------------------------------------------------

TEST_F(SettingsForm, LandlineHidesTheWirelessRowsAndKeepsTheirContents) {
  PutSettings("\"Test Type\"=\"Wireless: Static\"\r\n\"PhoneModel\"=\"P1\"\r\n");
  Show();
  // A stored type that matches no button: none selected, every row shown.
  for (QRadioButton* b : {form->TestTypeLabel1, form->TestTypeLabel2, form->TestTypeLabel3,
                          form->TestTypeLabel4, form->TestTypeLabel5, form->TestTypeLabel6})
    EXPECT_FALSE(b->isChecked());
  std::vector<QWidget*> wireless = {form->CableLabel,       form->ModelLabel, form->TechLabel,
                                    form->CableIDEdit,      form->ModelEdit,  form->TechEdit,
                                    form->SignalStrengthBox};
  for (QWidget* w : wireless) EXPECT_TRUE(Visible(w));

  form->TestTypeLabel6->click();
  EXPECT_EQ(form->Settings.TestType, "Landline Calls (Acoustic)");
  for (QWidget* w : wireless) EXPECT_FALSE(Visible(w));
  EXPECT_TRUE(Visible(form->UserEdit));
  form->TestTypeLabel2->click();
  for (QWidget* w : wireless) EXPECT_TRUE(Visible(w));
  EXPECT_EQ(form->ModelEdit->text(), "P1");
  EXPECT_EQ(form->Settings.PhoneModel, "P1");

  // "Other" with nothing typed is an empty signal.
  form->SignalLabel4->click();
  EXPECT_EQ(form->Settings.Signal, "Other");
  EXPECT_EQ(form->Settings.CustomSignal, "");
}

// ---- Devices sheet --------------------------------------------------------------------------

TEST_F(SettingsForm, TheProbeShowsWhichPortsCanBeOpenedAndKeepsTheOwnPortEnabled) {
  Show();
  ShowSheet(form->DevicesSheet);
  form->Com2Button->click();
  form->DeviceOkButton->click();
  ASSERT_TRUE(form->ComPort.IsOpen());
  ASSERT_EQ(form->ComPort.PortNum(), "COM2");

  // A second exclusive open of COM2 fails now; COM5 is held by another program; COM4 and COM6
  // are missing.
  ports->busy = {"COM2", "COM5"};
  ports->missing = {"COM4", "COM6"};
  std::vector<std::string> labelWhileProbing;
  ports->onOpen = [&](const std::string&) {
    labelWhileProbing.push_back(form->DeviceLabel->text().toStdString());
  };
  ports->opened.clear();
  ShowSheet(form->ConditionsSheet);
  ShowSheet(form->DevicesSheet);
  EXPECT_EQ(ports->opened, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}));
  EXPECT_EQ(labelWhileProbing, std::vector<std::string>(6, "Working to get available ports list"));
  EXPECT_EQ(form->DeviceLabel->text(), "CURRENT DEVICE: Ameriphone Q-90 on COM2");
  const bool expected[6] = {true, true, true, false, false, false};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(PortButtons()[i]->isEnabled(), expected[i]) << "COM" << i + 1;
  EXPECT_TRUE(form->Com2Button->isChecked());
  EXPECT_TRUE(form->Q90Button->isChecked());
  EXPECT_FALSE(form->DeviceOkButton->isEnabled());
  EXPECT_FALSE(form->DeviceCancelButton->isEnabled());
  EXPECT_TRUE(boxes.calls.empty());

  // Each button tells which device it is and why it cannot be used.
  EXPECT_EQ(form->Com1Button->toolTip().toStdString(), ResolvePortPath("COM1"));
  EXPECT_EQ(form->Com2Button->toolTip().toStdString(), ResolvePortPath("COM2") + " (open in this program)");
  EXPECT_EQ(form->Com4Button->toolTip().toStdString(),
            ResolvePortPath("COM4") + " (No such file or directory)");
  EXPECT_EQ(form->Com5Button->toolTip().toStdString(),
            ResolvePortPath("COM5") + " (Device or resource busy)");

  // Once closed, the program's port is just another busy port.
  form->ComPort.Close();
  ShowSheet(form->ConditionsSheet);
  ShowSheet(form->DevicesSheet);
  EXPECT_FALSE(form->Com2Button->isEnabled());
  EXPECT_TRUE(form->Com2Button->isChecked());  // the selection stays
}

TEST_F(SettingsForm, TheToolTipFollowsAPortMappedByALink) {
  TempDir mapped;
  fs::create_symlink("/dev/null", mapped.path() / "COM3");
  ScopedEnv portDir("CORVALIS_PORT_DIR", mapped.path().string());
  Show();
  ShowSheet(form->DevicesSheet);
  EXPECT_EQ(form->Com3Button->toolTip().toStdString(), (mapped.path() / "COM3").string() + " -> /dev/null");
}

TEST_F(SettingsForm, CancelPutsTheSelectionBackButNotTheTurboTick) {
  Show();
  ShowSheet(form->DevicesSheet);
  EXPECT_FALSE(Visible(form->TurboCheckBox));
  form->Com3Button->click();
  EXPECT_TRUE(form->DeviceOkButton->isEnabled() && form->DeviceCancelButton->isEnabled());
  form->Intelemodem2400Button->click();
  EXPECT_TRUE(Visible(form->TurboCheckBox));
  form->TurboCheckBox->click();
  form->DeviceCancelButton->click();
  EXPECT_TRUE(form->Com1Button->isChecked());
  EXPECT_TRUE(form->Q90Button->isChecked());
  EXPECT_FALSE(form->DeviceOkButton->isEnabled() || form->DeviceCancelButton->isEnabled());
  EXPECT_FALSE(Visible(form->TurboCheckBox));
  EXPECT_TRUE(form->TurboCheckBox->isChecked());
  EXPECT_EQ(form->Settings.Port, "1");
  EXPECT_EQ(form->Settings.DeviceType, "Ameriphone Q-90");
  EXPECT_EQ(form->Settings.TurboCode, "0");
  EXPECT_EQ(form->ComPort.PortNum(), "COM1");
}

TEST_F(SettingsForm, OkAppliesTheDeviceWithItsSpeedAndAHiddenTurboTick) {
  Show();
  ShowSheet(form->DevicesSheet);
  form->NXiButton->click();
  EXPECT_FALSE(Visible(form->TurboCheckBox));
  form->TurboCheckBox->setChecked(true);  // ticked while hidden
  ports->opened.clear();
  form->DeviceOkButton->click();
  EXPECT_EQ(form->Settings.TurboCode, "1");
  EXPECT_EQ(form->Settings.DeviceType, "NXi modem");
  EXPECT_EQ(form->DeviceLabel->text(), "CURRENT DEVICE: NXi modem on COM1");
  EXPECT_EQ(ports->opened, std::vector<std::string>{"COM1"});  // closed and opened again
  EXPECT_EQ(form->ComPort.BaudRate(), br9600);
  EXPECT_EQ(form->ComPort.FlowControl().ControlDTR(), dtrEnable);
  EXPECT_EQ(form->ComPort.FlowControl().ControlRTS(), rtsEnable);
  EXPECT_FALSE(form->MemoASCII->isReadOnly());
  EXPECT_FALSE(form->DeviceOkButton->isEnabled());

  const struct {
    QRadioButton* button;
    TBaudRate baud;
    bool readOnly;
  } devices[] = {{form->CompactButton, br300, false},
                 {form->Intelemodem300Button, br300, false},
                 {form->Intelemodem2400Button, br9600, false},
                 {form->Q90Button, br9600, true}};
  for (const auto& d : devices) {
    d.button->click();
    form->DeviceOkButton->click();
    EXPECT_EQ(form->ComPort.BaudRate(), d.baud) << d.button->text().toStdString();
    EXPECT_EQ(form->MemoASCII->isReadOnly(), d.readOnly) << d.button->text().toStdString();
  }
  // Ok changes the record in memory only.
  EXPECT_EQ(Stored("Device Type"), "Ameriphone Q-90");
  EXPECT_EQ(Stored("Enable Turbo Code"), "0");
}

TEST_F(SettingsForm, OkOnAPortThatCannotBeOpenedShowsTheErrorAndKeepsTheChoice) {
  Show();
  ShowSheet(form->DevicesSheet);
  form->Com5Button->click();
  form->CompactButton->click();
  ports->missing = {"COM5"};  // unplugged after the probe
  form->DeviceOkButton->click();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Unable to open com port (win error code: 2)");
  EXPECT_FALSE(form->ComPort.IsOpen());
  EXPECT_EQ(form->Settings.Port, "5");
  EXPECT_EQ(form->Settings.DeviceType, "Ultratec Custom Compact");
  EXPECT_EQ(form->DeviceLabel->text(), "CURRENT DEVICE: Ultratec Custom Compact on COM5");
  EXPECT_EQ(form->ComPort.BaudRate(), br9600);  // SetBaud did not run
  EXPECT_TRUE(form->MemoASCII->isReadOnly());

  // Plugged in again: choosing it once more opens it.
  ports->missing.clear();
  form->Com1Button->click();
  form->Com5Button->click();
  form->DeviceOkButton->click();
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(form->ComPort.BaudRate(), br300);
}

// ---- Files sheet ------------------------------------------------------------------------------

TEST_F(SettingsForm, ChoosingAFolderStoresItAtOnce) {
  for (const char* d : {"b", "A", ".hidden"}) fs::create_directory(logs.path() / d);
  PutSettings("\"Log directory\"=\"" + logs.path().string() + "\"\r\n");
  Show();
  TDirectoryListBox* list = form->DirectoryListBox;
  const QString base = QString::fromStdString(logs.path().string());
  ASSERT_EQ(list->Directory(), base);
  // The path from the root down, then the subfolders in name order, hidden ones left out.
  const int here = list->CurrentDirectoryRow();
  EXPECT_EQ(list->item(0)->text(), "/");
  EXPECT_EQ(list->item(here)->text().toStdString(), logs.path().filename().string());
  ASSERT_EQ(list->count(), here + 3);
  EXPECT_EQ(list->item(here + 1)->text(), "A");
  EXPECT_EQ(list->item(here + 2)->text(), "b");
  EXPECT_EQ(form->DriveComboBox1->Drive(), DriveOf(form->DriveComboBox1->Drives(), base));

  emit list->itemActivated(list->item(here + 2));
  EXPECT_EQ(form->Settings.LogDirectory, (logs.path() / "b").string());
  EXPECT_EQ(Stored("Log directory"), (logs.path() / "b").string());
  EXPECT_EQ(form->LogDirectoryCaption->toolTip(), base + "/b");

  // Showing the Files sheet reads the folders again.
  fs::create_directory(logs.path() / "b" / "new");
  ShowSheet(form->FilesSheet);
  EXPECT_EQ(list->item(list->count() - 1)->text(), "new");
  EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(SettingsForm, AMissingLogDirectoryFallsBackToTheHomeFolderForThisRunOnly) {
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path().string());
  const std::string usb = (logs.path() / "usb").string();  // the capture drive, not mounted
  PutSettings("\"Log directory\"=\"" + usb + "\"\r\n");
  Show();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Log directory: Folder not found: " + usb +
                                     "\nCaptures of this run are saved to " + home.path().string() +
                                     "; the next start looks for " + usb + " again.");
  EXPECT_TRUE(form->ComPort.IsOpen());  // the start-up went on
  EXPECT_EQ(form->Settings.LogDirectory, home.path().string());
  // The settings keep the capture folder, also when they are written again during the run.
  EXPECT_EQ(Stored("Log directory"), usb);
  form->SaveConfig();
  EXPECT_EQ(Stored("Log directory"), usb);

  // The drive is back: the next start uses it.
  fs::create_directory(usb);
  boxes.calls.clear();
  Restart();
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_EQ(form->Settings.LogDirectory, usb);

  // A folder removed while the program runs is noticed when the Files sheet is shown.
  fs::create_directory(logs.path() / "gone");
  form->DirectoryListBox->SetDirectory(QString::fromStdString((logs.path() / "gone").string()));
  EXPECT_EQ(Stored("Log directory"), (logs.path() / "gone").string());
  fs::remove(logs.path() / "gone");
  ShowSheet(form->FilesSheet);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(form->Settings.LogDirectory, home.path().string());
  EXPECT_EQ(Stored("Log directory"), (logs.path() / "gone").string());
  // A folder the tester then chooses is stored as usual.
  form->DirectoryListBox->SetDirectory(QString::fromStdString(usb));
  EXPECT_EQ(Stored("Log directory"), usb);

  // A path from another machine's settings is no folder here either.
  boxes.calls.clear();
  PutSettings("\"Log directory\"=\"C:\\\\captures\"\r\n");
  Restart();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text.rfind("Log directory: Not a full path: C:\\captures\n", 0), 0u);
  EXPECT_EQ(form->Settings.LogDirectory, home.path().string());
}

// ---- the drive list and the directory list on their own ---------------------------------------

TEST(DriveList, OffersTheRootTheHomeDriveAndStorageButNotTheSystemsMounts) {
  TempDir dir;
  for (const char* d : {"usb", "share", "homes/ann", "run-user"}) fs::create_directories(dir.path() / d);
  auto at = [&](const char* d) { return QString::fromStdString((dir.path() / d).string()); };
  std::vector<TMountEntry> mounts = {
      {"/", "overlay", "overlay", ""},
      {"/proc", "proc", "proc", ""},
      {"/dev/shm", "shm", "tmpfs", ""},
      {"/sys/fs/cgroup", "cgroup", "cgroup2", ""},
      {"/etc/hosts", "/dev/sda1", "ext4", ""},  // a file bound into a container
      {"/run/user/1000/doc", "portal", "fuse.portal", ""},
      {at("usb"), "/dev/sdb1", "vfat", "STICK"},
      {at("share"), "server:/export", "nfs4", ""},
      {at("homes"), "tmpfs", "tmpfs", ""},
      {at("run-user"), "tmpfs", "tmpfs", ""},
      {at("usb"), "/dev/sdb1", "vfat", "STICK"},
  };
  std::vector<TDrive> drives = ChooseDrives(mounts, at("homes/ann"));
  std::vector<TDrive> expected = {{"/", ""}, {at("homes"), ""}, {at("share"), ""}, {at("usb"), "STICK"}};
  std::sort(expected.begin(), expected.end(),
            [](const TDrive& a, const TDrive& b) { return a.Root < b.Root; });
  EXPECT_EQ(drives, expected);
  EXPECT_EQ(DriveOf(drives, at("homes/ann/captures")), at("homes"));
  EXPECT_EQ(DriveOf(drives, at("usbx")), "/");  // a name beginning alike is not below it
  EXPECT_EQ(DriveOf(drives, "/"), "/");

  // This machine's list has at least "/" and the home folder's drive.
  App();
  std::vector<TDrive> here = MountedDrives();
  EXPECT_EQ(DriveOf(here, "/"), "/");
  EXPECT_FALSE(DriveOf(here, QDir::homePath()).isEmpty());
}

TEST(DirectoryList, ShortensLongPathsInTheMiddle) {
  App();
  QFont font;
  font.setPixelSize(11);
  QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance("/home/tester/captures/2001/october");
  EXPECT_EQ(ShortenPath("/home/tester/captures", metrics, width), "/home/tester/captures");
  QString shortened = ShortenPath("/home/tester/field/tests/captures/2001/october", metrics, width);
  EXPECT_TRUE(shortened.startsWith("/home/.../")) << shortened.toStdString();
  EXPECT_TRUE(shortened.endsWith("/2001/october")) << shortened.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(shortened), width);
  QString one = ShortenPath("/" + QString(200, 'x') + "y", metrics, width);
  EXPECT_TRUE(one.startsWith("/xx") && one.contains("...") && one.endsWith("xy")) << one.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(one), width);
}

TEST(DirectoryList, RefusesWhatIsNoFolderAndKeepsItsDirectory) {
  App();
  TempDir dir;
  TDirectoryListBox list;
  int changes = 0;
  list.OnChange = [&] { ++changes; };
  list.SetDirectory(QString::fromStdString(dir.path().string() + "/./"));
  EXPECT_EQ(list.Directory().toStdString(), dir.path().string());
  EXPECT_EQ(changes, 1);
  list.SetDirectory(QString::fromStdString(dir.path().string()));
  EXPECT_EQ(changes, 1);  // the same folder is no change
  const std::string file = dir.write("notes.txt", "x");
  EXPECT_THROW(list.SetDirectory(QString::fromStdString(file)), TDirectoryError);
  EXPECT_THROW(list.SetDirectory("relative/path"), TDirectoryError);
  EXPECT_EQ(list.Directory().toStdString(), dir.path().string());
  list.SetDirectory("/");
  EXPECT_EQ(list.item(0)->text(), "/");
  EXPECT_EQ(list.CurrentDirectoryRow(), 0);
  EXPECT_EQ(list.ItemPath(1).count('/'), 1);
}

}  // namespace
}  // namespace corvalis::testing
