// SPDX-License-Identifier: Apache-2.0
// The main window as it starts: layout, first showing, tabs, the About sheet, and what
// happens to errors raised inside a handler.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>

#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

using Startup = FormTest;

TEST_F(Startup, TheWindowAsCreated) {
  EXPECT_EQ(form->windowTitle(), "Kestrune - Version 1.11");
  EXPECT_EQ(form->size(), QSize(522, 414));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_EQ(form->TabControl->tabPosition(), QTabWidget::South);
  const char* captions[] = {"Conditions", "Devices", "Call Functions", "Files", "About"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(form->TabControl->tabText(i), captions[i]);
  EXPECT_EQ(form->TabControl->currentWidget(), form->AboutSheet);
  for (QWidget* sheet : {form->ConditionsSheet, form->DevicesSheet, form->InCallsSheet, form->FilesSheet})
    EXPECT_FALSE(form->TabHighlighted(sheet));
  EXPECT_TRUE(form->TabHighlighted(form->AboutSheet));

  EXPECT_TRUE(form->MainTimer.Enabled());
  EXPECT_EQ(form->MainTimer.Interval(), 200);
  EXPECT_FALSE(form->ATCommandTimer.Enabled());
  EXPECT_EQ(form->ATCommandTimer.Interval(), 2000);
  for (QWidget* w :
       {static_cast<QWidget*>(form->DontSaveButton), static_cast<QWidget*>(form->RecordLogButton),
        static_cast<QWidget*>(form->DeviceOkButton), static_cast<QWidget*>(form->DialButton),
        static_cast<QWidget*>(form->AnswerButton), static_cast<QWidget*>(form->HangUpButton1),
        static_cast<QWidget*>(form->HangUpButton2), static_cast<QWidget*>(form->SendNowButton),
        static_cast<QWidget*>(form->ResetButton), static_cast<QWidget*>(form->EndCallButton)})
    EXPECT_FALSE(w->isEnabled());
  EXPECT_TRUE(form->StartCallButton->isEnabled());
  EXPECT_EQ(form->StartCallButton->text(), "&Start Call");
  EXPECT_EQ(form->AutoAnsBox->text(), "Auto answer && start script");
  EXPECT_EQ(form->DontSaveButton->text(), "Don't Save ");
  EXPECT_TRUE(form->MemoASCII->isReadOnly());
  EXPECT_EQ(form->MemoASCII->BackgroundColour(), QColor(192, 192, 192));
  EXPECT_EQ(form->ComputerIDEdit->maxLength(), 8);
  EXPECT_EQ(form->TestTypeLabel6->text(), "Landline Calls (Acoustic)");
  EXPECT_EQ(form->Intelemodem2400Button->text(), "Ultratec Intele-Modem 2400");
  EXPECT_FALSE(form->SupercomButton->isVisibleTo(form.get()));
}

TEST_F(Startup, FirstShowingOpensThePortAndSetsItUp) {
  form->show();
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_TRUE(form->ComPort.IsOpen());
  EXPECT_EQ(ports->opened, std::vector<std::string>{"COM1"});
  EXPECT_EQ(form->ComPort.BaudRate(), br9600);  // the Q-90 until the settings say otherwise
  EXPECT_EQ(form->ComPort.FlowControl().ControlDTR(), dtrEnable);
  EXPECT_EQ(form->ComPort.FlowControl().ControlRTS(), rtsEnable);
  EXPECT_EQ(form->TabControl->currentWidget(), form->AboutSheet);
  EXPECT_TRUE(form->TabHighlighted(form->AboutSheet));
}

TEST_F(Startup, AMissingPortIsReportedOnceAndTheWindowStillWorks) {
  ports->available = false;
  form->show();
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "corvalis_test");
  EXPECT_EQ(boxes.calls[0].text, "Unable to open com port (win error code: 2)");
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->ComPort.IsOpen());
  form->StartCallButton->click();
  EXPECT_TRUE(form->EndCallButton->isEnabled());  // the call has begun
  EXPECT_FALSE(form->StartCallButton->isEnabled());
}

TEST_F(Startup, ChangingTheSheetMovesTheHighlight) {
  form->TabControl->setCurrentWidget(form->InCallsSheet);
  EXPECT_TRUE(form->TabHighlighted(form->InCallsSheet));
  EXPECT_FALSE(form->TabHighlighted(form->AboutSheet));
  EXPECT_EQ(form->TabControl->tabBar()->tabTextColor(2), QColor(0, 0, 128));
}

TEST_F(Startup, TheDownloadSiteOpensWithTheDesktop) {
  form->Label20Click(form->Label20);
  EXPECT_EQ(desktop.opened, std::vector<std::string>{"file:///kit/README.md"});
  EXPECT_TRUE(boxes.calls.empty());
  EXPECT_NE(form->Label20->text().indexOf("file:///kit/README.md"), -1);

  desktop.succeed = false;
  form->Label20Click(form->Label20);
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].text, "Failed to load web browswer");
  EXPECT_EQ(boxes.calls[0].buttons, TMsgButtons::Ok);
}

TEST_F(Startup, ControlsSetByCodeRunTheirHandlers) {
  form->AutoSaveBox->setChecked(true);
  form->AutoHangUpBox->setChecked(true);
  form->AutoAnsBox->setChecked(true);
  EXPECT_EQ(form->Settings.AutoSave, "1");
  EXPECT_EQ(form->Settings.AutoHangUp, "1");
  EXPECT_EQ(form->Settings.AutoAnswer, "1");
  form->AutoSaveBox->setChecked(false);
  EXPECT_EQ(form->Settings.AutoSave, "0");
  form->UserEdit->setText("Ann");
  form->ComputerIDEdit->setText("LAB1");
  form->TestTypeLabel5->setChecked(true);
  EXPECT_EQ(form->Settings.UserName, "Ann");
  EXPECT_EQ(form->Settings.ComputerID, "LAB1");
  EXPECT_EQ(form->Settings.TestType, "Landline Calls (Direct connection)");
  EXPECT_FALSE(form->SignalStrengthBox->isVisibleTo(form.get()));
}

TEST_F(Startup, AnErrorInAHandlerIsShownOnceAndGoesNoFurther) {
  EXPECT_FALSE(form->Guard([] { throw std::runtime_error("disk on fire"); }));
  EXPECT_FALSE(form->Guard([] { throw 42; }));
  ASSERT_EQ(boxes.calls.size(), 2u);
  EXPECT_EQ(boxes.calls[0].text, "disk on fire");
  EXPECT_EQ(boxes.calls[0].icon, TMsgIcon::Error);
  EXPECT_EQ(boxes.calls[1].text, "Unknown error");
}

}  // namespace
}  // namespace corvalis::testing
