#include "services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <chrono>

namespace corvalis {

TMsgResult TQtMessageBoxes::Show(const std::string& title, const std::string& text, TMsgButtons buttons,
                                 TMsgIcon icon) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case TMsgIcon::None:
      break;
    case TMsgIcon::Information:
      qicon = QMessageBox::Information;
      break;
    case TMsgIcon::Warning:
      qicon = QMessageBox::Warning;
      break;
    case TMsgIcon::Error:
      qicon = QMessageBox::Critical;
      break;
    case TMsgIcon::Question:
      qicon = QMessageBox::Question;
      break;
  }
  QMessageBox::StandardButtons qbuttons = QMessageBox::Ok;
  if (buttons == TMsgButtons::OkCancel) qbuttons = QMessageBox::Ok | QMessageBox::Cancel;
  if (buttons == TMsgButtons::YesNo) qbuttons = QMessageBox::Yes | QMessageBox::No;
  QMessageBox box(qicon, QString::fromStdString(title), QString::fromStdString(text), qbuttons, parent_);
  switch (box.exec()) {
    case QMessageBox::Ok:
      return TMsgResult::Ok;
    case QMessageBox::Yes:
      return TMsgResult::Yes;
    case QMessageBox::No:
      return TMsgResult::No;
    default:
      return buttons == TMsgButtons::YesNo ? TMsgResult::No : TMsgResult::Cancel;
  }
}

TDateTime TSystemClock::Now() {
  return std::chrono::system_clock::now();
}

bool TQtDesktop::Open(const std::string& target) {
  QString t = QString::fromStdString(target);
  QUrl url = t.startsWith('/') ? QUrl::fromLocalFile(t) : QUrl(t);
  return url.isValid() && QDesktopServices::openUrl(url);
}

std::string TQtFileDialogs::OpenFileName(const std::string& title, const std::string& preset,
                                         const std::string& filter) {
  return QFileDialog::getOpenFileName(parent_, QString::fromStdString(title), QString::fromStdString(preset),
                                      QString::fromStdString(filter))
      .toStdString();
}

TTimer::TTimer(int intervalMs, bool enabled, bool live, std::function<void()> onTimer)
    : onTimer_(std::move(onTimer)), enabled_(false), live_(live) {
  timer_.setInterval(intervalMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] { onTimer_(); });
  SetEnabled(enabled);
}

void TTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (!live_ || enabled == timer_.isActive()) return;
  if (enabled)
    timer_.start();
  else
    timer_.stop();
}

}  // namespace corvalis
