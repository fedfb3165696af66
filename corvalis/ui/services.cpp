// SPDX-License-Identifier: Apache-2.0
#include "services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace corvalis {

std::string PathDetail(const std::string& Path, int SystemError, const std::string& Where) {
  std::string detail = Path;
  if (!Where.empty()) detail += (detail.empty() ? "" : ", ") + Where;
  if (SystemError > 0) detail += (detail.empty() ? "" : ": ") + std::string(std::strerror(SystemError));
  return detail;
}

TMsgResult UnattendedAnswer(TMsgButtons buttons) {
  return buttons == TMsgButtons::YesNo ? TMsgResult::Yes : TMsgResult::Ok;
}

void TStderrLog::Write(const std::string& line) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  // One write for the whole line, so that lines from two threads do not mix.
  std::string out = std::string(stamp) + " corvalis: " + line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

TMsgResult TLoggedMessageBoxes::ShowWithDetail(const std::string& title, const std::string& text,
                                               TMsgButtons buttons, TMsgIcon icon,
                                               const std::string& detail) {
  // The log keeps one line per box: line breaks in the text become " / ".
  std::string oneLine;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n')
      oneLine += " / ";
    else
      oneLine += c;
  }
  std::string line = "box \"" + title + "\": " + oneLine;
  if (!detail.empty()) line += " [" + detail + "]";
  const bool show = CanShow();
  if (!show) {
    const char* answer = UnattendedAnswer(buttons) == TMsgResult::Yes ? "Yes" : "OK";
    line += unattended_ ? std::string(" (not shown, closing: taken as ") + answer + ")"
                        : std::string(" (not shown, no display: taken as ") + answer + ")";
  }
  try {
    log_.Write(line);
  } catch (...) {
    // A log that cannot be written must not keep the box from its answer.
  }
  return show ? inner_.Show(title, text, buttons, icon) : UnattendedAnswer(buttons);
}

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

bool TQtMessageBoxes::CanShow() const {
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal";
}

TDateTime TSystemClock::Now() {
  return std::chrono::system_clock::now();
}

std::int64_t TSystemClock::MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
