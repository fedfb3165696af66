// The settings record in the window: loading it into the controls, the test conditions,
// the device and port selection, and the Files sheet. Reading and writing the settings
// store, the directory list and the script file controls come with their own work; their
// operations are in place here.
#include <QCheckBox>
#include <QDir>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "call/conversation_view.h"
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
  Settings.TestType = "Wireless: Static Direct Call";
  Settings.CallDirection = "Outgoing Call";
  Settings.Signal = "Strong";
  Settings.LogDirectory = QDir::homePath().toStdString();
  Settings.DeviceType = kDeviceQ90;
  Settings.Port = "1";
  Settings.AutoAnswer = Settings.AutoHangUp = Settings.AutoSend = Settings.AutoSave = Settings.TurboCode =
      "0";
  Settings.UserName.clear();
  Settings.Location.clear();
  Settings.NetworkInfo.clear();
  Settings.CustomSignal.clear();
  Settings.ScriptFileName.clear();
  Settings.ComputerID.clear();
  LogDirectoryCaption->setText(Q(Settings.LogDirectory));

  // Reading the stored values comes with the settings store.
  TWindowSettings s = Settings;  // the controls' handlers write into Settings as they go

  SelectByText({Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button}, "Com " + Q(s.Port));
  if (!s.Port.empty() && s.Port[0] >= '1' && s.Port[0] <= '6') ComPort.SetPortNum("COM" + s.Port);
  SelectByText(
      {TestTypeLabel1, TestTypeLabel2, TestTypeLabel3, TestTypeLabel4, TestTypeLabel5, TestTypeLabel6},
      Q(s.TestType));
  SelectByText({CallDirectionLabel1, CallDirectionLabel2}, Q(s.CallDirection));
  SelectByText({SignalLabel1, SignalLabel2, SignalLabel3, SignalLabel4}, Q(s.Signal));
  AutoAnsBox->setChecked(s.AutoAnswer == "1");
  AutoHangUpBox->setChecked(s.AutoHangUp == "1");
  AutoSendBox->setChecked(s.AutoSend == "1");
  AutoSaveBox->setChecked(s.AutoSave == "1");
  TurboCheckBox->setChecked(s.TurboCode == "1");
  CableIDEdit->setText(Q(s.CableID));
  ModelEdit->setText(Q(s.PhoneModel));
  TechEdit->setText(Q(s.PhoneTech));
  UserEdit->setText(Q(s.UserName));
  LocationEdit->setText(Q(s.Location));
  NetworkInfoEdit->setText(Q(s.NetworkInfo));
  OtherEdit->setText(Q(s.CustomSignal));
  LogDirectoryCaption->setText(Q(s.LogDirectory));
  DialNumEdit->setText(Q(s.DialNumber));
  ComputerIDEdit->setText(Q(s.ComputerID));
  ScriptFileNameEdit->setText(Q(s.ScriptFileName));
  UpdateTotalLines();
  UpdateModemButtons();
  FilesUpdate();
}

void TMainForm::SaveConfig() {}

// ---- test conditions -----------------------------------------------------------------------

void TMainForm::TestTypeLabelClick(QRadioButton* Button) {
  Settings.TestType = Button->text().toStdString();
  ToggleWirelessFields();
}

void TMainForm::CallDirectionLabelClick(QRadioButton* Button) {
  Settings.CallDirection = Button->text().toStdString();
}
void TMainForm::SignalLabelClick(QRadioButton* Button) {
  Settings.Signal = Button->text().toStdString();
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
  for (int n = 1; n <= 6; ++n) ports[n - 1]->setEnabled(TestComPort("COM" + std::to_string(n)));
  SelectByText(
      {CompactButton, Q90Button, NXiButton, Intelemodem300Button, Intelemodem2400Button, SupercomButton},
      Q(Settings.DeviceType));
  DeviceButtons(false);
  DeviceLine();
}

bool TMainForm::TestComPort(const std::string& Name) {
  if (PortCanBeOpened(Name)) return true;
  // The program's own open port cannot be opened a second time, yet it is usable.
  return Name.size() >= 4 && Name.substr(3, 1) == Settings.Port && ComPort.IsOpen();
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
  State.ATStep = 0;
  DeviceButtons(false);
  QRadioButton* ports[6] = {Com1Button, Com2Button, Com3Button, Com4Button, Com5Button, Com6Button};
  for (int n = 1; n <= 6; ++n)
    if (ports[n - 1]->isChecked()) Settings.Port = std::to_string(n);
  for (QRadioButton* b :
       {CompactButton, Q90Button, NXiButton, Intelemodem300Button, Intelemodem2400Button, SupercomButton})
    if (b->isChecked()) Settings.DeviceType = b->text().toStdString();
  Settings.TurboCode = FlagText(TurboCheckBox->isChecked());
  DeviceLine();
  if (ComPort.IsOpen()) ComPort.Close();
  ComPort.SetPortNum("COM" + Settings.Port);
  ComPort.Open();
  SetBaud();
  InitializeModem();
}

void TMainForm::DeviceCancelButtonClick(QObject*) {
  DevicesWinUpdate();
}

// ---- Files sheet ---------------------------------------------------------------------------

void TMainForm::FilesUpdate() {
  QFontMetrics metrics(LogDirectoryCaption->font());
  LogDirectoryCaption->setText(metrics.elidedText(Q(Settings.LogDirectory), Qt::ElideMiddle, 416));
}

void TMainForm::DirectoryListBoxChange(QObject*) {}

}  // namespace corvalis
