// SPDX-License-Identifier: Apache-2.0
// The settings record in the window: loading it from the store into the controls and saving
// it, the test conditions, the device and port selection, and the Files sheet's log directory.
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstring>

#include "call/conversation_view.h"
#include "records/settings_store.h"
#include "serial/comdevice.h"
#include "ui/dirlist.h"
#include "ui/mainform.h"

namespace corvalis {

namespace {

// Checks the button whose text equals Value, or none when no text matches.
void SelectByText(std::initializer_list<QRadioButton*> Buttons, const QString& Value) {
  QRadioButton* match = nullptr;
  for (QRadioButton* b : Buttons)
    if (b->text() == Value) match = b;
  if (match) {
    match->setChecked(true);
    return;
  }
  for (QRadioButton* b : Buttons) {
    b->setAutoExclusive(false);
    b->setChecked(false);
    b->setAutoExclusive(true);
  }
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

// ---- settings store ----------------------------------------------------------------------

void TMainForm::LoadConfig() {
  // The handlers that run as the values go into the controls ask for saves; they are made once
  // at the end, so that a store that cannot be written is reported once.
  struct HoldSaves {
    TMainForm& form;
    explicit HoldSaves(TMainForm& f) : form(f) { form.loadingConfig_ = true; }
    ~HoldSaves() { form.loadingConfig_ = form.saveHeld_ = false; }
  } hold(*this);

  records::setSettingsDefaults(Settings);
  LogDirectoryCaption->setText(ShortenPath(Q(Settings.LogDirectory), LogDirectoryCaption->fontMetrics(),
                                           LogDirectoryCaption->width()));

  // A value that is not a string raises here and ends the start-up. The values after it were not
  // read: the saves leave them as stored, so that a stopped start-up loses nothing.
  records::Registry registry;
  size_t valuesRead = 0;
  bool opened = false;
  try {
    opened = records::readSettings(registry, Settings, &valuesRead);
  } catch (const records::RegistryError&) {
    notLoaded_.reset();
    for (size_t i = valuesRead + 1; i < notLoaded_.size(); ++i) notLoaded_.set(i);
    notLoadedValues_ = Settings;
    throw;
  }
  // A file that cannot be read, or a file and a folder in each other's place: the program runs on
  // the defaults and says why.
  if (const records::RegistryProblem& problem = registry.problem(); !opened && problem) {
    std::string why;
    if (problem.kind == records::RegistryProblem::Kind::NoHeader)
      why = "its first line is neither REGEDIT4 nor \"Windows Registry Editor Version 5.00\"";
    ReportStoreFault(records::settingsProblemText(problem), problem.path, problem.systemError, why);
  }

  const TWindowSettings s = Settings;  // the controls' handlers write into Settings as they go

  QRadioButton* ports[6] = {Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button};
  int port = records::portButtonNumber(s.Port);
  if (port)
    ports[port - 1]->setChecked(true);
  else
    SelectByText({Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button}, QString());
  if (std::optional<std::string> name = records::portNameFor(s.Port)) ComPort.SetPortNum(*name);

  SelectByText(
      {TestTypeLabel1, TestTypeLabel2, TestTypeLabel3, TestTypeLabel4, TestTypeLabel5, TestTypeLabel6},
      Q(s.TestType));
  SelectByText({CallDirectionLabel1, CallDirectionLabel2}, Q(s.CallDirection));
  SelectByText({SignalLabel1, SignalLabel2, SignalLabel3, SignalLabel4}, Q(s.Signal));

  AutoAnsBox->setChecked(records::settingsFlagOn(s.AutoAnswer));
  AutoHangUpBox->setChecked(records::settingsFlagOn(s.AutoHangUp));
  AutoSendBox->setChecked(records::settingsFlagOn(s.AutoSend));
  AutoSaveBox->setChecked(records::settingsFlagOn(s.AutoSave));
  TurboCheckBox->setChecked(records::settingsFlagOn(s.TurboCode));

  CableIDEdit->setText(Q(s.CableID));
  ModelEdit->setText(Q(s.PhoneModel));
  TechEdit->setText(Q(s.PhoneTech));
  UserEdit->setText(Q(s.UserName));
  LocationEdit->setText(Q(s.Location));
  NetworkInfoEdit->setText(Q(s.NetworkInfo));
  OtherEdit->setText(Q(s.CustomSignal));
  LogDirectoryCaption->setText(
      ShortenPath(Q(s.LogDirectory), LogDirectoryCaption->fontMetrics(), LogDirectoryCaption->width()));
  DialNumEdit->setText(Q(s.DialNumber));
  ComputerIDEdit->setText(Q(s.ComputerID));
  ScriptFileNameEdit->setText(Q(s.ScriptFileName));

  UpdateTotalLines();
  CableIDEdit->setText(Q(s.CableID));
  ModelEdit->setText(Q(s.PhoneModel));
  TechEdit->setText(Q(s.PhoneTech));
  UpdateModemButtons();

  ApplyLogDirectory(s.LogDirectory);

  loadingConfig_ = false;
  if (saveHeld_) {
    saveHeld_ = false;
    // A failed save is shown; the start-up goes on and opens the port.
    Guard([this] { SaveConfig(); });
  }
}

void TMainForm::SaveConfig() {
  if (loadingConfig_) {
    saveHeld_ = true;
    return;
  }
  std::bitset<21> leaveStored;
  for (size_t i = 0; i < notLoaded_.size(); ++i) {
    if (!notLoaded_[i]) continue;
    auto field = records::kSettingsValues[i].field;
    if (Settings.*field == notLoadedValues_.*field)
      leaveStored.set(i);
    else
      notLoaded_.reset(i);  // changed by the tester: from now on the record's value counts
  }
  records::Registry registry;
  // While captures go to a fallback folder, the settings keep the log directory for the next start.
  TWindowSettings stored = Settings;
  if (keptLogDirectory_) stored.LogDirectory = *keptLogDirectory_;
  try {
    records::writeSettings(registry, stored, leaveStored);
    lastSaveFailed_ = false;
    if (!registry.keptAside().empty()) Log().Write(records::keptAsideText(registry));
  } catch (const records::RegistryError& e) {
    // Shown once per run, not at every key typed; the program goes on with what the tester set,
    // and the caller (Start Call, closing) completes its steps.
    lastSaveFailed_ = true;
    if (saveFailureShown_) return;
    saveFailureShown_ = true;
    ReportStoreFault(e.what(), e.path(), e.systemError(), e.detail());
  }
}

void TMainForm::ReportStoreFault(const std::string& Message, const std::filesystem::path& Path,
                                 int SystemError, const std::string& Detail) {
  if (!storeFaultsShown_.insert(Path.string() + "\n" + std::to_string(SystemError)).second) return;
  ShowException(Message, PathDetail(Path.string(), SystemError, Detail));
}

void TMainForm::SettingChosen(std::string TWindowSettings::*Field) {
  for (size_t i = 0; i < notLoaded_.size(); ++i)
    if (records::kSettingsValues[i].field == Field) notLoaded_.reset(i);
}

// ---- test conditions -----------------------------------------------------------------------

void TMainForm::TestTypeLabelClick(QRadioButton* Button) {
  Settings.TestType = Button->text().toStdString();
  SettingChosen(&TWindowSettings::TestType);
  ToggleWirelessFields();
}

void TMainForm::CallDirectionLabelClick(QRadioButton* Button) {
  Settings.CallDirection = Button->text().toStdString();
  SettingChosen(&TWindowSettings::CallDirection);
}
void TMainForm::SignalLabelClick(QRadioButton* Button) {
  Settings.Signal = Button->text().toStdString();
  SettingChosen(&TWindowSettings::Signal);
}
void TMainForm::UserEditChange(QObject*) {
  Settings.UserName = UserEdit->text().toStdString();
}
void TMainForm::LocationEditChange(QObject*) {
  Settings.Location = LocationEdit->text().toStdString();
}
void TMainForm::NetworkInfoEditChange(QObject*) {
  Settings.NetworkInfo = NetworkInfoEdit->text().toStdString();
}
void TMainForm::CableIDEditChange(QObject*) {
  Settings.CableID = CableIDEdit->text().toStdString();
}
void TMainForm::ModelEditChange(QObject*) {
  Settings.PhoneModel = ModelEdit->text().toStdString();
}
void TMainForm::TechEditChange(QObject*) {
  Settings.PhoneTech = TechEdit->text().toStdString();
}
void TMainForm::OtherEditChange(QObject*) {
  Settings.CustomSignal = OtherEdit->text().toStdString();
}

void TMainForm::ComputerIDEditChange(QObject*) {
  Settings.ComputerID = ComputerIDEdit->text().toStdString();
  SaveConfig();
}

void TMainForm::ComputerIDEditKeyPress(QObject*) {
  SetPanelColour(ComputerIDPanel, QColor(0, 255, 128));
}

void TMainForm::ToggleWirelessFields() {
  bool wireless = !TestTypeLabel5->isChecked() && !TestTypeLabel6->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(CableLabel), static_cast<QWidget*>(ModelLabel),
                     static_cast<QWidget*>(TechLabel), static_cast<QWidget*>(CableIDEdit),
                     static_cast<QWidget*>(ModelEdit), static_cast<QWidget*>(TechEdit),
                     static_cast<QWidget*>(SignalStrengthBox)})
    w->setVisible(wireless);
}

// ---- device and port selection -------------------------------------------------------------

void TMainForm::SetBaud() {
  const std::string& d = Settings.DeviceType;
  bool fast = d == kDeviceQ90 || d == kDeviceNXi || d == kDeviceInteleModem2400 || d == kDeviceSupercom;
  ComPort.SetBaudRate(fast ? br9600 : br300);
  ComPort.FlowControl().SetControlDTR(dtrEnable);
  ComPort.FlowControl().SetControlRTS(rtsEnable);
  bool typing = d == kDeviceInteleModem300 || d == kDeviceInteleModem2400 || d == kDeviceNXi ||
                d == kDeviceCustomCompact;
  MemoASCII->setReadOnly(!typing);
}

void TMainForm::DevicesWinUpdate() {
  DeviceLabel->setText("Working to get available ports list");
  DeviceLabel->repaint();
  QRadioButton* ports[6] = {Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button};
  SelectByText({Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button},
               "Com " + Q(Settings.Port));
  for (int n = 1; n <= 6; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const bool usable = TestComPort(name);
    ports[n - 1]->setEnabled(usable);
    ports[n - 1]->setToolTip(Q(PortToolTip(name, usable)));
  }
  SelectByText(
      {CompactButton, Q90Button, NXiButton, Intelemodem300Button, Intelemodem2400Button, SupercomButton},
      Q(Settings.DeviceType));
  DeviceButtons(false);
  DeviceLine();
}

bool TMainForm::TestComPort(const std::string& Name) {
  // An exclusive open, closed again at once.
  int error = 0;
  if (portSystem_->OpenDevice(Name, error)) {
    lastProbeError_ = 0;
    return true;
  }
  lastProbeError_ = error;
  // The program's own open port cannot be opened a second time, yet it is usable.
  return Name.size() >= 4 && Name.substr(3, 1) == Settings.Port && ComPort.IsOpen();
}

std::string TMainForm::PortToolTip(const std::string& Name, bool Usable) const {
  const std::string path = ResolvePortPath(Name);
  std::string tip = path;
  QFileInfo link(Q(path));
  if (link.isSymLink()) {
    QString target = link.canonicalFilePath();
    tip += " -> " + (target.isEmpty() ? link.symLinkTarget() : target).toStdString();
  }
  if (Usable && lastProbeError_)
    tip += " (open in this program)";
  else if (!Usable)
    tip += " (" + std::string(lastProbeError_ ? std::strerror(lastProbeError_) : "cannot be opened") + ")";
  return tip;
}

void TMainForm::DeviceLine() {
  DeviceLabel->setText(Q("CURRENT DEVICE: " + Settings.DeviceType + " on COM" + Settings.Port));
}

void TMainForm::DeviceButtons(bool Changed) {
  DeviceOkButton->setEnabled(Changed);
  DeviceCancelButton->setEnabled(Changed);
  TurboCheckBox->setVisible(Intelemodem2400Button->isChecked());
}

void TMainForm::DeviceButtonClick(QObject*) {
  DeviceButtons(true);
}

void TMainForm::DeviceOkButtonClick(QObject*) {
  // What the old device was doing (an AT sequence, a dial or answer waiting for its
  // connection) ends with it; the new device starts with the line down.
  StopCommandSequence();
  State.ATStep = 0;
  if (!State.Phase.Active()) {
    Engine.NoConnection();
    ResetCounter();
  }
  DeviceButtons(false);
  QRadioButton* ports[6] = {Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button};
  for (int n = 1; n <= 6; ++n)
    if (ports[n - 1]->isChecked()) Settings.Port = std::to_string(n);
  for (QRadioButton* b :
       {CompactButton, Q90Button, NXiButton, Intelemodem300Button, Intelemodem2400Button, SupercomButton})
    if (b->isChecked()) Settings.DeviceType = b->text().toStdString();
  Settings.TurboCode = FlagText(TurboCheckBox->isChecked());
  for (auto field : {&TWindowSettings::Port, &TWindowSettings::DeviceType, &TWindowSettings::TurboCode})
    SettingChosen(field);
  DeviceLine();
  if (ComPort.IsOpen()) ComPort.Close();
  ComPort.SetPortNum("COM" + Settings.Port);
  OpenPort();
  SetBaud();
  InitializeModem();
}

void TMainForm::DeviceCancelButtonClick(QObject*) {
  DevicesWinUpdate();
}

// ---- Files sheet ---------------------------------------------------------------------------

void TMainForm::ApplyLogDirectory(const std::string& Path) {
  QString home = Q(records::homeDirectory());
  QString fallback = QDir::isAbsolutePath(home) && QFileInfo(home).isDir() ? home : QString("/");
  // No folder stored (a settings file made by hand): the first one, as on a first run.
  if (Path.empty()) return DirectoryListBox->SetDirectory(fallback);
  try {
    DirectoryListBox->SetDirectory(Q(Path));
  } catch (const TDirectoryError& e) {
    // A capture folder that has gone (an unplugged disk, a path from another machine) must not
    // also stop the start-up: captures go to the home folder until the tester chooses another.
    // The settings keep the folder, so that the next start uses it when it is back.
    keptLogDirectory_ = Path;
    fallbackLogDirectory_ = fallback.toStdString();
    ShowException("Log directory: " + std::string(e.what()) + "\nCaptures of this run are saved to " +
                  fallbackLogDirectory_ + "; the next start looks for " + Path + " again.");
    DirectoryListBox->SetDirectory(fallback);
  }
}

void TMainForm::FilesUpdate() {
  const QString listed = DirectoryListBox->Directory();
  if (listed.isEmpty() || !QFileInfo(listed).isDir())
    ApplyLogDirectory(listed.isEmpty() ? Settings.LogDirectory : listed.toStdString());
  else
    DirectoryListBox->Update();
  DriveComboBox1->Update(DirectoryListBox->Directory());
  DirectoryListBoxChange(DirectoryListBox);
}

void TMainForm::DirectoryListBoxChange(QObject*) {
  if (DirectoryListBox->Directory().isEmpty()) return;
  Settings.LogDirectory = DirectoryListBox->Directory().toStdString();
  // A folder the tester chooses replaces the one kept for the next start.
  if (keptLogDirectory_ && Settings.LogDirectory != fallbackLogDirectory_) keptLogDirectory_.reset();
  SaveConfig();
}

}  // namespace corvalis
