// SPDX-License-Identifier: Apache-2.0
#include "comhandoff_qt.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

namespace corvalis {

TQtHandoff::TQtHandoff() : Receiver_(std::make_unique<QObject>()) {}

TQtHandoff::~TQtHandoff() = default;

void TQtHandoff::Wake() {
  // Queued to the GUI thread's event loop; nested loops (modal dialogs) serve it too.
  QMetaObject::invokeMethod(
      Receiver_.get(), [this] { ServePending(); }, Qt::QueuedConnection);
}

void TQtHandoff::ReportError(std::exception_ptr Error) {
  if (IsMainThread()) {
    TMainThreadHandoff::ReportError(Error);
    return;
  }
  QMetaObject::invokeMethod(
      Receiver_.get(), [this, Error] { TMainThreadHandoff::ReportError(Error); }, Qt::QueuedConnection);
}

}  // namespace corvalis
