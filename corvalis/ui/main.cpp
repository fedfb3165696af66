// corvalis: the TTY field-test program. One main window and the manual typing window.
#include <QApplication>
#include <QStyleFactory>
#include <clocale>

#include "call/manualtype.h"
#include "serial/comhandoff_qt.h"
#include "ui/mainform.h"
#include "ui/termination.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("corvalis");
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  // Dates and times follow the user's locale; numbers stay as the program writes them.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");

  corvalis::TQtHandoff handoff;
  corvalis::TFormServices services;
  services.Handoff = &handoff;
  services.DownloadSite = CORVALIS_DOWNLOAD_SITE;
  corvalis::TMainForm mainForm(services);
  // Beside the main window and above it, never modal.
  corvalis::TManualTypeForm manualTypeForm(&mainForm);
  mainForm.ManualTypeForm = &manualTypeForm;
  // kill, a logout or Ctrl+C: the settings and a finished call are saved, then the program ends
  // normally.
  corvalis::TTerminationSignals termination([&mainForm](int Signal) {
    mainForm.CloseOnSignal(Signal);
    QCoreApplication::exit(0);
  });
  mainForm.show();
  QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
  return app.exec();
}
