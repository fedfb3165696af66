// SPDX-License-Identifier: Apache-2.0
// Renders each tab sheet of the main window, in the middle of a call, to a PNG file:
//   corvalis_screenshots OUTPUT_FOLDER
// The window runs without a serial port, on a fixed clock, with no message boxes.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPixmap>
#include <QRadioButton>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "serial/comdevice.h"
#include "serial/comhandoff.h"
#include "ui/dirlist.h"
#include "ui/mainform.h"

namespace {

class SilentBoxes : public corvalis::IMessageBoxes {
 public:
  // The pictures are made without a port: its open error is expected and not shown.
  corvalis::TMsgResult Show(const std::string&, const std::string&, corvalis::TMsgButtons,
                            corvalis::TMsgIcon) override {
    return corvalis::TMsgResult::Ok;
  }
};

class FixedClock : public corvalis::IClock {
 public:
  corvalis::TDateTime Now() override {
    std::tm t{};
    t.tm_year = 2001 - 1900;
    t.tm_mon = 9;
    t.tm_mday = 18;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 7;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
  }
};

// A device the Devices sheet's probe opens and closes again; nothing else uses it.
class ProbedDevice : public corvalis::TComDevice {
 public:
  int SetCommState(const corvalis::TDcb&) override { return 5; }
  int SetCommTimeouts(const corvalis::TCommTimeouts&) override { return 5; }
  int SetupComm(std::uint32_t, std::uint32_t) override { return 5; }
  int PurgeComm(std::uint32_t) override { return 5; }
  int ClearCommError(std::uint32_t&, std::uint32_t&) override { return 5; }
  int GetCommModemStatus(std::uint32_t&) override { return 5; }
  int Write(const char*, std::size_t, std::size_t&) override { return 5; }
  int Read(char*, std::size_t, std::size_t&) override { return 5; }
  std::unique_ptr<corvalis::TEventWaiter> CreateEventWaiter(std::uint32_t, int& Error) override {
    Error = 5;
    return nullptr;
  }
};

// A device layer whose port the window cannot open; once the window is up, the probe finds
// COM1 and COM2 and nothing else.
class PicturePorts : public corvalis::TComSystem {
 public:
  std::shared_ptr<corvalis::TComDevice> OpenDevice(const std::string& Name, int& Error) override {
    if (probing && (Name == "COM1" || Name == "COM2")) return std::make_shared<ProbedDevice>();
    Error = 2;
    return nullptr;
  }
  bool probing = false;
};

// A folder tree of fixed names for the Files sheet.
std::string MakeLogFolders() {
  const std::filesystem::path home = "/tmp/corvalis-screenshots/tester";
  for (const char* d : {"captures/city-drive", "captures/lab-bench", "captures/relay"})
    std::filesystem::create_directories(home / d);
  return home.string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: corvalis_screenshots OUTPUT_FOLDER\n");
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("corvalis");
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  std::string out = argv[1];
  // Settings of their own, nothing of the user's read or changed.
  QTemporaryDir registry;
  setenv("CORVALIS_REGISTRY_DIR", registry.path().toUtf8().constData(), 1);
  setenv("CORVALIS_STATE_DIR", registry.path().toUtf8().constData(), 1);
  const std::string home = MakeLogFolders();
  setenv("HOME", home.c_str(), 1);

  SilentBoxes boxes;
  FixedClock clock;
  corvalis::TPlainHandoff handoff;
  corvalis::TFormServices services;
  services.MessageBoxes = &boxes;
  services.Clock = &clock;
  services.Handoff = &handoff;
  auto ports = std::make_shared<PicturePorts>();
  services.PortSystem = ports;
  services.LiveTimers = false;
  services.DownloadSite = "file:///usr/share/doc/corvalis/README.md";
  corvalis::TMainForm form(services);
  form.show();
  ports->probing = true;

  // A tester's conditions and a call in progress with a few turns.
  form.Settings.DeviceType = corvalis::kDeviceCustomCompact;
  form.DirectoryListBox->SetDirectory(QString::fromStdString(home + "/captures"));
  form.UserEdit->setText("Ann");
  form.LocationEdit->setText("Lab 2, bench 3");
  form.NetworkInfoEdit->setText("Carrier A, band 5");
  form.CableIDEdit->setText("C-07");
  form.ModelEdit->setText("Handset 9");
  form.TechEdit->setText("GSM");
  form.ComputerIDEdit->setText("LAB1");
  form.AutoSaveBox->setChecked(true);
  form.AutoSendBox->setChecked(true);
  form.DialNumEdit->setText("5551234");
  form.CompactButton->setChecked(true);
  form.Com1Button->setChecked(true);
  form.DeviceLine();
  form.DeviceButtons(false);
  form.FilesUpdate();
  form.StartCallButtonClick(&form);
  form.SendToMemoAndPort("HELLO THIS IS THE LAB CALLING GA", false);
  form.BreakLinesInMemo(false);
  form.Conversation.Append(
      "HI LAB I READ YOU FINE\xB1\xB2"
      "HOW IS THE SIGNAL GA");
  form.SendToMemoAndPort("SIGNAL IS STRONG HERE GA", false);
  form.State.CallSeconds = 64;
  form.MainTimerTimer(&form);
  form.MemoASCII->GoToEnd();

  struct Sheet {
    QWidget* widget;
    const char* file;
  };
  // The Devices and Files sheets are hidden during a call: show them for the pictures.
  form.SetTabVisible(form.DevicesSheet, true);
  form.SetTabVisible(form.FilesSheet, true);
  const Sheet sheets[] = {{form.ConditionsSheet, "conditions.png"},
                          {form.DevicesSheet, "devices.png"},
                          {form.InCallsSheet, "call-functions.png"},
                          {form.FilesSheet, "files.png"},
                          {form.AboutSheet, "about.png"}};
  int failures = 0;
  for (const Sheet& s : sheets) {
    form.TabControl->setCurrentWidget(s.widget);
    if (s.widget == form.DevicesSheet) form.DeviceLine();
    QApplication::processEvents();
    std::string path = out + "/" + s.file;
    if (!form.grab().save(QString::fromStdString(path))) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      ++failures;
    } else {
      std::printf("%s\n", path.c_str());
    }
  }

  // The typing window with a turn of the sample script, as a Q-90 call shows it.
  corvalis::TManualTypeForm typing;
  typing.ShowTypingText("GOOD. PLEASE TELL ME YOUR SIGNAL BARSAND THE TIME ON YOUR PHONE GA");
  QApplication::processEvents();
  std::string path = out + "/typing-window.png";
  if (!typing.grab().save(QString::fromStdString(path))) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    ++failures;
  } else {
    std::printf("%s\n", path.c_str());
  }
  return failures ? 1 : 0;
}
