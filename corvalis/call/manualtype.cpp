// SPDX-License-Identifier: Apache-2.0
#include "manualtype.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScreen>

#include "common/cp1252.h"

namespace corvalis {

TManualTypeForm::TManualTypeForm(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setObjectName("ManualTypeForm");
  setWindowTitle(QString());
  setFixedSize(356, 250);
  QFont font;
  font.setFamilies({"MS Sans Serif", "DejaVu Sans", "Liberation Sans", "Sans Serif"});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  setFont(font);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  Label1 = new QLabel("Please type:", this);
  Label1->setObjectName("Label1");
  Label1->move(24, 16);
  Label1->adjustSize();

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setGeometry(24, 32, 313, 169);
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  QFont memoFont = font;
  memoFont.setBold(true);
  memoFont.setPixelSize(16);
  Memo1->setFont(memoFont);
  QPalette memoPal = Memo1->palette();
  memoPal.setColor(QPalette::Base, QColor(0, 0, 128));
  memoPal.setColor(QPalette::Text, QColor(255, 255, 0));
  Memo1->setPalette(memoPal);

  Label2 = new QLabel("This Window will be automatically disappear after your \"GA\" is typed", this);
  Label2->setObjectName("Label2");
  // Two lines where the font is wider than the one the window was drawn for.
  Label2->setGeometry(24, 210, 321, 34);
  Label2->setWordWrap(true);
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TManualTypeForm::ShowTypingText(const std::string& Text) {
  Memo1->setPlainText(QString::fromStdString(Cp1252ToUtf8(Text)));
  if (!placed_) {
    // Centred on the screen the first time; after that it stays where the tester put it.
    placed_ = true;
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen) move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  show();
}

void TManualTypeForm::HideTypingWindow() {
  hide();
}

std::string TManualTypeForm::TypingText() const {
  return Utf8ToCp1252(Memo1->toPlainText().toStdString());
}

}  // namespace corvalis
