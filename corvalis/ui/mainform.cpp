// SPDX-License-Identifier: Apache-2.0
// Main window: creation, layout of the five sheets, first showing, tabs, the About sheet.
#include "ui/mainform.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <chrono>
#include <csignal>
#include <thread>

#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "records/registry.h"
#include "serial/comdevice.h"
#include "ui/dirlist.h"

namespace corvalis {

namespace {

const QColor kNavy(0, 0, 128);
const QColor kDarkTeal(64, 128, 128);

// Test types, call directions, signal strengths and devices as the buttons show them.
const char* const kTestTypes[6] = {"Wireless: Static Direct Call",       "Wireless: In-Motion Direct Call",
                                   "Wireless: Relay Calls (Motion)",     "Wireless: Relay Calls (Non-Motion)",
                                   "Landline Calls (Direct connection)", "Landline Calls (Acoustic)"};
const char* const kSignals[4] = {"Strong", "Medium", "Weak", "Other"};

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, int w, int h = 17) {
  auto* l = new QLabel(text, parent);
  l->setGeometry(x, y, w, h);
  return l;
}

// Bold heading text over a 4-pixel navy bar.
QLabel* MakeHeading(QWidget* parent, const QString& text, int x, int y, int w) {
  QLabel* l = MakeLabel(parent, text, x, y, w, 16);
  QFont f = l->font();
  f.setBold(true);
  l->setFont(f);
  auto* bar = new QFrame(parent);
  bar->setGeometry(x, y + 16, w, 4);
  bar->setAutoFillBackground(true);
  QPalette p = bar->palette();
  p.setColor(QPalette::Window, kNavy);
  bar->setPalette(p);
  return l;
}

template <typename T>
T* Place(T* w, int x, int y, int width, int height) {
  w->setGeometry(x, y, width, height);
  return w;
}

QGroupBox* MakeGroup(QWidget* parent, const QString& title, int x, int y, int w, int h) {
  return Place(new QGroupBox(title, parent), x, y, w, h);
}

QFrame* MakeFramedLabelPanel(QLabel* label) {
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

// The project's own logo: a text telephone's keyboard under a handset, 50 x 60 pixels.
QPixmap DrawLogo() {
  QPixmap pm(50, 60);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(kNavy, 2));
  p.setBrush(QColor(255, 255, 128));
  p.drawRoundedRect(QRectF(3, 24, 44, 32), 5, 5);
  p.setBrush(kNavy);
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 5; ++col) p.drawRect(QRectF(8 + col * 7.5, 40 + row * 5, 4, 2.5));
  p.setBrush(QColor(0, 255, 128));
  p.drawRect(QRectF(9, 29, 32, 7));
  p.setPen(QPen(kNavy, 5, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(6, 4, 38, 26), 20 * 16, 140 * 16);
  p.setPen(QPen(kNavy, 2));
  p.setBrush(kNavy);
  p.drawEllipse(QRectF(4, 11, 9, 6));
  p.drawEllipse(QRectF(37, 11, 9, 6));
  return pm;
}

}  // namespace

TMainForm::TMainForm(const TFormServices& services, QWidget* parent)
    : QWidget(parent),
      MainTimer(200, true, services.LiveTimers, [this] { MainTimerEntry(); }),
      ATCommandTimer(2000, false, services.LiveTimers,
                     [this] { Guard([this] { ATCommandTimerTimer(this); }); }),
      RecoveryTimer(500, false, services.LiveTimers, [this] { Guard([this] { RecoveryTimerTimer(); }); }),
      ComPort(services.Handoff, services.PortSystem),
      downloadSite_(services.DownloadSite) {
  recoveryWaitMs_ = services.RecoveryWaitMs;
  if (!services.MessageBoxes) ownMessageBoxes_ = std::make_unique<TQtMessageBoxes>(this);
  if (!services.Clock) ownClock_ = std::make_unique<TSystemClock>();
  if (!services.Desktop) ownDesktop_ = std::make_unique<TQtDesktop>();
  if (!services.Log) ownLog_ = std::make_unique<TStderrLog>();
  log_ = services.Log ? services.Log : ownLog_.get();
  loggedBoxes_ = std::make_unique<TLoggedMessageBoxes>(
      services.MessageBoxes ? *services.MessageBoxes : *ownMessageBoxes_, *log_);
  messageBoxes_ = loggedBoxes_.get();
  clock_ = services.Clock ? services.Clock : ownClock_.get();
  desktop_ = services.Desktop ? services.Desktop : ownDesktop_.get();
  portSystem_ = services.PortSystem ? services.PortSystem : TComSystem::Linux();
  portWatch_ = std::make_unique<TPortWatch>(
      ComPort, *portSystem_,
      TPortWatch::TEnvironment{.Now = [this] { return Clock().Now(); },
                               .Log = [this](const std::string& Line) { Log().Write(Line); },
                               .OnGone = [this](const std::string& Name) { DeviceWentAway(Name); },
                               .OnBack = [this] { DeviceCameBack(); },
                               .ClosePort = [this] { Guard([this] { ComPort.Close(); }); }});
  if (!services.FileDialogs) ownFileDialogs_ = std::make_unique<TQtFileDialogs>(this);
  fileDialogs_ = services.FileDialogs ? services.FileDialogs : ownFileDialogs_.get();

  setObjectName("MainForm");
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(522, 414);
  QFont font;
  font.setFamilies({"MS Sans Serif", "DejaVu Sans", "Liberation Sans", "Sans Serif"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);
  QPalette pal = palette();
  // Disabled controls keep the style's grey, so that a port that cannot be opened shows as such.
  for (auto group : {QPalette::Active, QPalette::Inactive})
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
      pal.setColor(group, role, kDarkTeal);
  setPalette(pal);

  BuildLayout();

  // The serial port as the program uses it: the component's defaults (9600 baud, 8 data
  // bits, no parity, one stop bit, no flow control, DTR and RTS off until SetBaud, reads
  // returning at once), all events, delivered on the main thread.
  ComPort.Name = "ComPort";
  ComPort.SetSyncMethod(smThreadSync);
  ComPort.OnRxChar = [this](TComPort* Sender, std::int32_t Count) {
    Guard([&] { ComPortRxChar(Sender, Count); });
  };
  // A device that hangs up or vanishes reports it as an error event, once.
  ComPort.OnError = [this](TComPort* Sender, TComErrors Errors) {
    Guard([&] { ComPortError(Sender, Errors); });
  };
  // What the port's name leads to as it is opened: a different device later means this one went.
  ComPort.OnOpen = [this](TComPort*) { portWatch_->Opened(); };
  if (services.Handoff && !services.Handoff->OnError)
    services.Handoff->OnError = [this](std::exception_ptr e) { ShowError(e); };

  ConnectHandlers();
  Guard([this] { FormCreate(this); });
}

TMainForm::~TMainForm() {
  // Stop deliveries before the controls they touch go away.
  try {
    ComPort.Close();
  } catch (...) {
  }
  ComPort.OnRxChar = nullptr;
  ComPort.OnError = nullptr;
  ComPort.OnOpen = nullptr;
}

void TMainForm::BuildLayout() {
  TabControl = Place(new QTabWidget(this), 9, 2, 504, 284);
  TabControl->setObjectName("TabControl");
  TabControl->setTabPosition(QTabWidget::South);
  struct SheetDef {
    QWidget** sheet;
    const char* name;
    const char* caption;
    QColor colour;
  };
  const SheetDef sheets[] = {
      {&ConditionsSheet, "ConditionsSheet", "Conditions", QColor(255, 255, 128)},
      {&DevicesSheet, "DevicesSheet", "Devices", QColor(128, 255, 255)},
      {&InCallsSheet, "InCallsSheet", "Call Functions", QColor(255, 128, 128)},
      {&FilesSheet, "FilesSheet", "Files", QColor(0, 255, 128)},
      {&AboutSheet, "AboutSheet", "About", QColor(192, 192, 192)},
  };
  for (const SheetDef& d : sheets) {
    auto* w = new QWidget;
    w->setObjectName(d.name);
    SetPanelColour(w, d.colour);
    TabControl->addTab(w, d.caption);
    *d.sheet = w;
  }
  BuildConditionsSheet();
  BuildDevicesSheet();
  BuildInCallsSheet();
  BuildFilesSheet();
  BuildAboutSheet();
  BuildCallRow();
}

void TMainForm::BuildConditionsSheet() {
  QWidget* s = ConditionsSheet;
  QGroupBox* types = MakeGroup(s, "Test type on this end:", 4, 2, 238, 126);
  QRadioButton** typeButtons[6] = {&TestTypeLabel1, &TestTypeLabel2, &TestTypeLabel3,
                                   &TestTypeLabel4, &TestTypeLabel5, &TestTypeLabel6};
  for (int i = 0; i < 6; ++i) {
    *typeButtons[i] = Place(new QRadioButton(types), 8, 17 + 17 * i, 226, 17);
    (*typeButtons[i])->setObjectName(QString("TestTypeLabel%1").arg(i + 1));
  }
  QGroupBox* direction = MakeGroup(s, "Call direction on this end:", 4, 130, 238, 42);
  CallDirectionLabel1 = Place(new QRadioButton(direction), 8, 18, 110, 17);
  CallDirectionLabel2 = Place(new QRadioButton(direction), 122, 18, 110, 17);
  SignalStrengthBox = MakeGroup(s, "Signal Strength:", 4, 174, 238, 60);
  SignalStrengthBox->setObjectName("SignalStrengthBox");
  SignalLabel1 = Place(new QRadioButton(SignalStrengthBox), 8, 17, 70, 17);
  SignalLabel2 = Place(new QRadioButton(SignalStrengthBox), 82, 17, 70, 17);
  SignalLabel3 = Place(new QRadioButton(SignalStrengthBox), 156, 17, 70, 17);
  SignalLabel4 = Place(new QRadioButton(SignalStrengthBox), 8, 36, 56, 17);
  OtherEdit = Place(new QLineEdit(SignalStrengthBox), 66, 35, 164, 19);

  QGroupBox* info = MakeGroup(s, "General Info:", 248, 2, 246, 170);
  QLabel* labels[6];
  QLineEdit** edits[6] = {&UserEdit, &LocationEdit, &NetworkInfoEdit, &CableIDEdit, &ModelEdit, &TechEdit};
  const char* texts[6] = {"User:", "Location:", "Network Info:", "Cable ID:", "Phone Model:", "Trans. Tech:"};
  for (int i = 0; i < 6; ++i) {
    labels[i] = MakeLabel(info, texts[i], 8, 20 + 24 * i, 78);
    *edits[i] = Place(new QLineEdit(info), 88, 18 + 24 * i, 150, 20);
  }
  CableLabel = labels[3];
  ModelLabel = labels[4];
  TechLabel = labels[5];

  DontSaveButton = Place(new QPushButton("Don't Save ", s), 248, 188, 120, 28);
  RecordLogButton = Place(new QPushButton("Save this call", s), 374, 188, 120, 28);
  DontSaveButton->setEnabled(false);
  RecordLogButton->setEnabled(false);
}

void TMainForm::BuildDevicesSheet() {
  QWidget* s = DevicesSheet;
  MakeHeading(s, "Devices", 4, 2, 490);
  DeviceLabel = MakeLabel(s, "", 4, 26, 490);
  DeviceLabel->setObjectName("DeviceLabel");
  QGroupBox* devices = MakeGroup(s, "Device:", 4, 46, 240, 150);
  QRadioButton** buttons[6] = {&CompactButton,         &Q90Button,     &NXiButton, &Intelemodem300Button,
                               &Intelemodem2400Button, &SupercomButton};
  for (int i = 0; i < 6; ++i) *buttons[i] = Place(new QRadioButton(devices), 8, 18 + 20 * i, 226, 18);
  SupercomButton->setVisible(false);
  SerialPortBox = MakeGroup(s, "Serial Port:", 250, 46, 244, 66);
  SerialPortBox->setObjectName("SerialPortBox");
  QRadioButton** ports[6] = {&Com1Button, &Com2Button, &Com3Button, &Com4Button, &Com5Button, &Com6Button};
  for (int i = 0; i < 6; ++i) {
    *ports[i] = Place(new QRadioButton(QString("Com %1").arg(i + 1), SerialPortBox), 8 + (i % 3) * 78,
                      18 + (i / 3) * 22, 74, 18);
    (*ports[i])->setObjectName(QString("Com%1Button").arg(i + 1));
  }
  TurboCheckBox = Place(new QCheckBox("Enable Turbo Code", s), 254, 120, 200, 18);
  TurboCheckBox->setVisible(false);
  DeviceOkButton = Place(new QPushButton("Ok", s), 250, 168, 90, 26);
  DeviceCancelButton = Place(new QPushButton("Cancel", s), 346, 168, 90, 26);
  DeviceOkButton->setEnabled(false);
}

void TMainForm::BuildInCallsSheet() {
  QWidget* s = InCallsSheet;
  MakeHeading(s, "Modem Functions", 4, 2, 490);
  QLabel* outgoing = MakeLabel(s, "OUTGOING", 8, 26, 200);
  QLabel* incoming = MakeLabel(s, "INCOMING ", 254, 26, 200);
  for (QLabel* l : {outgoing, incoming}) {
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }
  MakeLabel(s, "Dial number:", 8, 47, 74);
  DialNumEdit = Place(new QLineEdit(s), 84, 45, 150, 20);
  DialButton = Place(new QPushButton("Dial Now", s), 8, 70, 110, 24);
  HangUpButton1 = Place(new QPushButton("Hang Up", s), 124, 70, 110, 24);
  AutoAnsBox = Place(new QCheckBox("Auto answer && start script", s), 254, 46, 236, 18);
  AnswerButton = Place(new QPushButton("Answer Now", s), 254, 70, 110, 24);
  HangUpButton2 = Place(new QPushButton("Hang Up", s), 370, 70, 110, 24);

  MakeHeading(s, "Auto-Call Functions", 4, 100, 490);
  AutoSaveBox = Place(new QCheckBox("Auto save calls to log file", s), 8, 124, 250, 18);
  AutoHangUpBox =
      Place(new QCheckBox("Auto end calls (script ended or 30 secs inactivity)", s), 8, 143, 330, 18);
  SendingInfoLine = MakeLabel(s, "", 300, 125, 190);
  SendingInfoLine->setObjectName("SendingInfoLine");

  MakeHeading(s, "Script Functions", 4, 166, 490);
  AutoSendBox = Place(new QCheckBox("Auto Send", s), 8, 192, 88, 18);
  TotalLinesLabel = MakeLabel(s, "Total Lines: ", 100, 193, 196);
  SendNowButton = Place(new QPushButton("Send a line", s), 300, 188, 100, 26);
  ResetButton = Place(new QPushButton("Reset", s), 406, 188, 84, 26);
  for (QWidget* w : {static_cast<QWidget*>(DialButton), static_cast<QWidget*>(AnswerButton),
                     static_cast<QWidget*>(HangUpButton1), static_cast<QWidget*>(HangUpButton2),
                     static_cast<QWidget*>(SendNowButton), static_cast<QWidget*>(ResetButton)})
    w->setEnabled(false);
}

void TMainForm::BuildFilesSheet() {
  QWidget* s = FilesSheet;
  MakeHeading(s, "Files", 4, 2, 490);
  MakeLabel(s, "Script Filename:", 8, 29, 88);
  ScriptFileNameEdit = Place(new QLineEdit(s), 98, 27, 222, 20);
  ScriptFolderButton = Place(new QPushButton("Browse", s), 326, 26, 80, 22);
  ViewScriptButton = Place(new QPushButton("View File", s), 410, 26, 80, 22);
  for (QWidget* w : {static_cast<QWidget*>(ScriptFileNameEdit), static_cast<QWidget*>(ScriptFolderButton),
                     static_cast<QWidget*>(ViewScriptButton)})
    w->setEnabled(false);

  MakeHeading(s, "Save Captured Data Files To:", 4, 54, 490);
  LogDirectoryCaption = MakeLabel(s, "", 8, 78, 416);
  LogDirectoryCaption->setObjectName("LogDirectoryCaption");
  QFont bold = LogDirectoryCaption->font();
  bold.setBold(true);
  LogDirectoryCaption->setFont(bold);
  QPalette navy = LogDirectoryCaption->palette();
  navy.setColor(QPalette::WindowText, kNavy);
  LogDirectoryCaption->setPalette(navy);
  DriveComboBox1 = Place(new TDriveComboBox(s), 8, 98, 176, 20);
  DriveComboBox1->setObjectName("DriveComboBox1");
  DirectoryListBox = Place(new TDirectoryListBox(s), 8, 121, 176, 106);
  DirectoryListBox->setObjectName("DirectoryListBox");
  DirectoryListBox->DirLabel = LogDirectoryCaption;

  ComputerIDPanel = Place(new QFrame(s), 192, 121, 298, 106);
  ComputerIDPanel->setObjectName("ComputerIDPanel");
  ComputerIDPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  SetPanelColour(ComputerIDPanel, QColor(0, 255, 128));
  MakeLabel(ComputerIDPanel, "Computer ID:", 10, 14, 76);
  ComputerIDEdit = Place(new QLineEdit(ComputerIDPanel), 88, 12, 90, 20);
  ComputerIDEdit->setMaxLength(8);
  QLabel* note = MakeLabel(ComputerIDPanel, "(Filename format will be in DATE-TIME-COMPUTERID.TXT form)", 10,
                           44, 280, 34);
  note->setWordWrap(true);
}

void TMainForm::BuildAboutSheet() {
  QWidget* s = AboutSheet;
  TitleVersionString = MakeLabel(s, "Kestrune - Version 1.11", 8, 6, 480, 30);
  TitleVersionString->setObjectName("TitleVersionString");
  QFont title = TitleVersionString->font();
  title.setBold(true);
  title.setPixelSize(24);
  TitleVersionString->setFont(title);
  QPalette navy = TitleVersionString->palette();
  navy.setColor(QPalette::WindowText, kNavy);
  TitleVersionString->setPalette(navy);
  MakeLabel(s, "October 18, 2001 (Beta build 101)", 8, 38, 480);
  auto* bar = Place(new QFrame(s), 8, 58, 480, 4);
  SetPanelColour(bar, kNavy);
  QLabel* logo = Place(new QLabel(s), 8, 70, 50, 60);
  logo->setPixmap(DrawLogo());
  MakeLabel(s, "TTY field-test kit", 70, 72, 410);
  MakeLabel(s, "Text telephone calls over mobile and landline networks", 70, 90, 410);
  MakeLabel(s, "Capture, script and scoring tools for test labs", 70, 108, 410);
  MakeLabel(s, "Software by the TTY field-test kit developers", 70, 136, 410);
  MakeLabel(s, "Download site:", 8, 176, 84);
  Label20 = MakeLabel(s, "", 96, 176, 394);
  Label20->setObjectName("Label20");
  QString site = QString::fromStdString(downloadSite_).toHtmlEscaped();
  Label20->setText(
      QString("<a href=\"%1\" style=\"color:#000080; text-decoration:underline\">%1</a>").arg(site));
  Label20->setTextFormat(Qt::RichText);
  Label20->setOpenExternalLinks(false);
  Label20->setCursor(Qt::PointingHandCursor);
}

void TMainForm::BuildCallRow() {
  const int y = 290;
  ClearButton = Place(new QPushButton("Clear Screen", this), 9, y, 80, 25);
  ClockString = Place(new QLabel(this), 93, y, 140, 25);
  ClockString->setObjectName("ClockString");
  MakeFramedLabelPanel(ClockString);
  RecordLabel = Place(new QLabel(this), 237, y, 70, 25);
  RecordLabel->setObjectName("RecordLabel");
  MakeFramedLabelPanel(RecordLabel);
  NxiSoundPanel = Place(new QFrame(this), 311, y, 60, 25);
  NxiSoundPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  SoundLEDLabel = MakeLabel(NxiSoundPanel, "Sound", 6, 4, 34);
  SoundLightPanel = Place(new QFrame(NxiSoundPanel), 40, 7, 12, 12);
  SoundLightPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  SetPanelColour(SoundLightPanel, QColor(128, 128, 128));
  NxiSoundPanel->setVisible(false);
  StartCallButton = Place(new QPushButton("&Start Call", this), 375, y, 70, 25);
  EndCallButton = Place(new QPushButton("&End Call", this), 449, y, 64, 25);
  EndCallButton->setEnabled(false);
  MemoASCII = Place(new TMemo(this), 10, 322, 502, 73);
  MemoASCII->setObjectName("MemoASCII");
  MemoASCII->SetColours(QColor(192, 192, 192), Qt::black);
  MemoASCII->setReadOnly(true);
}

void TMainForm::SetPanelColour(QWidget* Panel, const QColor& Colour) {
  Panel->setAutoFillBackground(true);
  QPalette p = Panel->palette();
  p.setColor(QPalette::Window, Colour);
  Panel->setPalette(p);
}

void TMainForm::ConnectHandlers() {
  auto click = [this](QPushButton* b, void (TMainForm::*h)(QObject*)) {
    connect(b, &QPushButton::clicked, this, [this, b, h] { Guard([&] { (this->*h)(b); }); });
  };
  // Check boxes run their handler whenever their state changes, also when set by code.
  auto toggle = [this](QCheckBox* b, void (TMainForm::*h)(QObject*)) {
    connect(b, &QCheckBox::toggled, this, [this, b, h] { Guard([&] { (this->*h)(b); }); });
  };
  auto edit = [this](QLineEdit* e, void (TMainForm::*h)(QObject*)) {
    connect(e, &QLineEdit::textChanged, this, [this, e, h] { Guard([&] { (this->*h)(e); }); });
  };
  auto radio = [this](QRadioButton* b, void (TMainForm::*h)(QRadioButton*)) {
    connect(b, &QRadioButton::toggled, this, [this, b, h](bool on) {
      if (on) Guard([&] { (this->*h)(b); });
    });
  };

  connect(TabControl, &QTabWidget::currentChanged, this,
          [this] { Guard([this] { TabControlChange(TabControl); }); });
  click(StartCallButton, &TMainForm::StartCallButtonClick);
  click(EndCallButton, &TMainForm::EndCallButtonClick);
  click(ClearButton, &TMainForm::ClearButtonClick);
  click(RecordLogButton, &TMainForm::RecordLogButtonClick);
  click(DontSaveButton, &TMainForm::DontSaveButtonClick);
  click(SendNowButton, &TMainForm::SendNowButtonClick);
  click(ResetButton, &TMainForm::ResetButtonClick);
  click(DialButton, &TMainForm::DialButtonClick);
  click(AnswerButton, &TMainForm::AnswerButtonClick);
  click(HangUpButton1, &TMainForm::HangUpButton1Click);
  click(HangUpButton2, &TMainForm::HangUpButton1Click);
  click(ScriptFolderButton, &TMainForm::ScriptFolderButtonClick);
  click(ViewScriptButton, &TMainForm::ViewScriptButtonClick);
  click(DeviceOkButton, &TMainForm::DeviceOkButtonClick);
  click(DeviceCancelButton, &TMainForm::DeviceCancelButtonClick);
  toggle(AutoAnsBox, &TMainForm::AutoAnsBoxClick);
  toggle(AutoHangUpBox, &TMainForm::AutoHangUpBoxClick);
  toggle(AutoSaveBox, &TMainForm::AutoSaveBoxClick);
  toggle(AutoSendBox, &TMainForm::AutoSendBoxClick);
  edit(DialNumEdit, &TMainForm::DialNumEditChange);
  edit(ScriptFileNameEdit, &TMainForm::ScriptFileNameEditChange);
  edit(UserEdit, &TMainForm::UserEditChange);
  edit(LocationEdit, &TMainForm::LocationEditChange);
  edit(NetworkInfoEdit, &TMainForm::NetworkInfoEditChange);
  edit(CableIDEdit, &TMainForm::CableIDEditChange);
  edit(ModelEdit, &TMainForm::ModelEditChange);
  edit(TechEdit, &TMainForm::TechEditChange);
  edit(OtherEdit, &TMainForm::OtherEditChange);
  edit(ComputerIDEdit, &TMainForm::ComputerIDEditChange);
  ComputerIDEdit->installEventFilter(this);
  for (QRadioButton* b :
       {TestTypeLabel1, TestTypeLabel2, TestTypeLabel3, TestTypeLabel4, TestTypeLabel5, TestTypeLabel6})
    radio(b, &TMainForm::TestTypeLabelClick);
  for (QRadioButton* b : {CallDirectionLabel1, CallDirectionLabel2})
    radio(b, &TMainForm::CallDirectionLabelClick);
  for (QRadioButton* b : {SignalLabel1, SignalLabel2, SignalLabel3, SignalLabel4})
    radio(b, &TMainForm::SignalLabelClick);
  for (QRadioButton* b :
       {CompactButton, Q90Button, NXiButton, Intelemodem300Button, Intelemodem2400Button, SupercomButton,
        Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button})
    connect(b, &QRadioButton::toggled, this, [this, b](bool on) {
      if (on) Guard([&] { DeviceButtonClick(b); });
    });
  connect(TurboCheckBox, &QCheckBox::toggled, this,
          [this] { Guard([this] { DeviceButtonClick(TurboCheckBox); }); });
  // The drive list and the directory list follow each other; a new directory is stored.
  connect(DriveComboBox1, &QComboBox::activated, this, [this] {
    Guard([this] {
      QString drive = DriveComboBox1->Drive();
      if (!drive.isEmpty() && DriveOf(DriveComboBox1->Drives(), DirectoryListBox->Directory()) != drive)
        DirectoryListBox->SetDirectory(drive);
    });
  });
  connect(DirectoryListBox, &QListWidget::itemActivated, this, [this](QListWidgetItem* Item) {
    Guard([&] { DirectoryListBox->OpenItem(DirectoryListBox->row(Item)); });
  });
  DirectoryListBox->OnChange = [this] {
    DriveComboBox1->SelectDriveOf(DirectoryListBox->Directory());
    DirectoryListBoxChange(DirectoryListBox);
  };
  connect(Label20, &QLabel::linkActivated, this, [this] { Guard([this] { Label20Click(Label20); }); });
  // A typed key is sent and applied to the conversation, which the view then shows: the view never
  // edits itself.
  MemoASCII->OnKeyPress = [this](char Key) {
    Guard([&] { MemoASCIIKeyPress(MemoASCII, Key); });
    return false;
  };
  Conversation.SetListener(
      [this](TConversation::TChange Change, std::string_view Bytes) { ConversationChanged(Change, Bytes); });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ComputerIDEdit && event->type() == QEvent::KeyPress)
    Guard([this] { ComputerIDEditKeyPress(ComputerIDEdit); });
  return QWidget::eventFilter(watched, event);
}

// ---- creation and first showing ----------------------------------------------------------

void TMainForm::FormCreate(QObject*) {
  setWindowTitle(TitleVersionString->text());
  State.Phase = TCallPhase();
  State.Line.Reset();

  QRadioButton* types[6] = {TestTypeLabel1, TestTypeLabel2, TestTypeLabel3,
                            TestTypeLabel4, TestTypeLabel5, TestTypeLabel6};
  for (int i = 0; i < 6; ++i) types[i]->setText(kTestTypes[i]);
  CallDirectionLabel1->setText(kOutgoingCall);
  CallDirectionLabel2->setText("Incoming Call");
  QRadioButton* signalButtons[4] = {SignalLabel1, SignalLabel2, SignalLabel3, SignalLabel4};
  for (int i = 0; i < 4; ++i) signalButtons[i]->setText(kSignals[i]);
  CompactButton->setText(kDeviceCustomCompact);
  Q90Button->setText(kDeviceQ90);
  NXiButton->setText(kDeviceNXi);
  Intelemodem300Button->setText(kDeviceInteleModem300);
  Intelemodem2400Button->setText(kDeviceInteleModem2400);
  SupercomButton->setText(kDeviceSupercom);

  State.Script.Rewind();
  State.Sending = false;
  State.SendQueue.clear();
  State.RxLineBuffer.clear();
  State.LastRxLine.clear();
  State.ATStep = 0;

  SetActiveSheet(AboutSheet);
  TabHighlights();

  State.Line.Reset();
  State.ScriptStartTicks = 0;
  ResetAutoHangUpTicks(this);
  State.FilePrefix.clear();
  ResetCounter();
}

void TMainForm::FormShow(QObject*) {
  // The first error ends the sequence; the window is shown all the same.
  Guard([this] {
    LoadConfig();
    OpenPort();
    SetBaud();
    InitializeModem();
    ResetCounter();
    EnableDisableScriptBox(true);
    TabHighlights();
  });
  // Calls that a kill, a crash or a power cut left unsaved.
  Guard([this] { RecoverCalls(); });
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (QScreen* screen = this->screen()) {
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
  }
  FormShow(this);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  Guard([&] { FormCloseQuery(this, canClose); });
  if (canClose) {
    // The typing window goes with the main window.
    if (ManualTypeForm) ManualTypeForm->hide();
    event->accept();
  } else {
    event->ignore();
  }
}

// ---- tabs ---------------------------------------------------------------------------------

void TMainForm::TabHighlights() {
  QWidget* active = TabControl->currentWidget();
  for (int i = 0; i < TabControl->count(); ++i) {
    bool on = TabControl->widget(i) == active;
    tabHighlighted_[i] = on;
    TabControl->tabBar()->setTabTextColor(i, on ? kNavy : kDarkTeal);
  }
}

bool TMainForm::TabHighlighted(QWidget* Sheet) const {
  int i = TabControl->indexOf(Sheet);
  return i >= 0 && tabHighlighted_[i];
}

void TMainForm::TabControlChange(QObject*) {
  TabHighlights();
  if (TabControl->currentWidget() == DevicesSheet) DevicesWinUpdate();
  if (TabControl->currentWidget() == FilesSheet) FilesUpdate();
}

void TMainForm::SetTabVisible(QWidget* Sheet, bool Visible) {
  TabControl->setTabVisible(TabControl->indexOf(Sheet), Visible);
}

bool TMainForm::TabVisible(QWidget* Sheet) const {
  return TabControl->isTabVisible(TabControl->indexOf(Sheet));
}

void TMainForm::SetActiveSheet(QWidget* Sheet) {
  TabControl->setCurrentWidget(Sheet);
}

// ---- About sheet ---------------------------------------------------------------------------

void TMainForm::Label20Click(QObject*) {
  if (!Desktop().Open(downloadSite_))
    MessageBoxes().Show("Error", "Failed to load web browswer", TMsgButtons::Ok, TMsgIcon::Error);
}

// ---- errors -------------------------------------------------------------------------------

void TMainForm::ShowError(std::exception_ptr Error) noexcept {
  std::string message = "Unknown error";
  std::string detail;
  try {
    try {
      std::rethrow_exception(Error);
    } catch (const EComPort& e) {
      message = e.what();
      // The device behind the port's name and why the system refused it.
      const std::string name = ComPort.PortNum();
      detail = name + " = " + PathDetail(ResolvePortPath(name), e.SystemErrorCode(), {});
    } catch (const records::RegistryError& e) {
      message = e.what();
      detail = PathDetail(e.path().string(), e.systemError(), e.detail());
    } catch (const TFileError& e) {
      message = e.what();
      detail = PathDetail(e.Path(), e.SystemError(), {});
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
    }
  } catch (...) {
    // Building the detail failed; the message alone is shown.
  }
  ShowException(message, detail);
}

void TMainForm::ShowException(const std::string& Message, const std::string& Detail) noexcept {
  try {
    QString app = QCoreApplication::applicationName();
    loggedBoxes_->ShowWithDetail(app.isEmpty() ? "corvalis" : app.toStdString(), Message, TMsgButtons::Ok,
                                 TMsgIcon::Error, Detail);
  } catch (...) {
    // Nowhere left to show it.
  }
}

void TMainForm::CloseOnSignal(int Signal) {
  const char* name = Signal == SIGTERM  ? "SIGTERM"
                     : Signal == SIGHUP ? "SIGHUP"
                     : Signal == SIGINT ? "SIGINT"
                                        : "signal";
  Log().Write(std::string(name) + ": closing the window");
  loggedBoxes_->SetUnattended(true);
  // Nobody may be there to answer "Discard this call?": a call going on (or hung up and still open)
  // is ended and saved, with Auto save off too; a finished call is saved rather than lost. A call that
  // cannot be saved stays in its journal for the next start.
  if (State.Phase.Open()) {
    // What has reached the port belongs to the call, and so do the bytes still on their way through
    // the device (a UART's or a USB adapter's buffer, a pty's): they are read until the line has
    // been quiet for 100 ms, for half a second at the most.
    Guard([this] {
      using Clock = std::chrono::steady_clock;
      const Clock::time_point start = Clock::now();
      Clock::time_point heard = start;
      while (ComPort.IsOpen() && Clock::now() - heard < std::chrono::milliseconds(100) &&
             Clock::now() - start < std::chrono::milliseconds(500)) {
        if (const std::int32_t queued = ComPort.QueuedInput(); queued > 0) {
          ComPortRxChar(&ComPort, queued);
          heard = Clock::now();
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    });
    EndOpenCall(name, true);
  } else if (State.Phase.Unsaved() && RecordLogButton->isEnabled()) {
    Guard([this] { RecordLogButtonClick(this); });
    if (State.Phase.Unsaved())
      Log().Write("the finished call could not be saved");
    else
      Log().Write("the finished call is saved in " + CaptureFilePath());
  }
  close();  // FormCloseQuery saves the settings
  Guard([this] { ComPort.Close(); });
  Log().Write(lastSaveFailed_ ? std::string("closed; the settings could not be saved")
                              : std::string("closed; settings saved"));
}

}  // namespace corvalis
