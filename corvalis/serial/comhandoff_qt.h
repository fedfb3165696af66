// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main-thread hand-off on Qt: requests are served from the Qt event loop of the thread
// that made the hand-off (the GUI thread), also inside nested loops such as modal dialogs.
#include <memory>

#include "comhandoff.h"

class QObject;

namespace corvalis {

class TQtHandoff : public TMainThreadHandoff {
 public:
  // Construct on the GUI thread, after the QCoreApplication exists.
  TQtHandoff();
  ~TQtHandoff() override;

  // Errors that escaped a handler reach OnError (set it to show the error box) on the GUI
  // thread, once each, also when the handler ran on the event thread (smNone).
  void ReportError(std::exception_ptr Error) override;

 protected:
  void Wake() override;

 private:
  std::unique_ptr<QObject> Receiver_;
};

}  // namespace corvalis
