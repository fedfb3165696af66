// corvalis: the TTY field-test program. One main window and the manual typing window.
#include <QApplication>
#include <QStyleFactory>
#include <clocale>

#include "call/manualtype.h"
#include "serial/comhandoff_qt.h"
#include "ui/mainform.h"

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
  mainForm.show();
  QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
  return app.exec();
}
