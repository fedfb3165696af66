// SPDX-License-Identifier: Apache-2.0
// corvalis: the TTY field-test program. One main window and the manual typing window.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QStyleFactory>
#include <QUrl>
#include <clocale>
#include <cstdio>
#include <string>
#include <string_view>

#include "call/manualtype.h"
#include "serial/comhandoff_qt.h"
#include "ui/mainform.h"
#include "ui/termination.h"

namespace {

constexpr const char* kUsage = "Usage: corvalis [--help | --version]\n";

constexpr const char* kHelp =
    "Usage: corvalis [--help | --version]\n"
    "\n"
    "The TTY field-test program: drives a text telephone (TTY) or TTY modem on a serial port,\n"
    "runs scripted test calls and saves each call into a capture file. Everything is chosen in\n"
    "its window and kept in its settings; it takes no other options.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Environment:\n"
    "  CORVALIS_PORT_DIR      the folder whose entries COM1 to COM16 are the serial ports\n"
    "                         (default ${XDG_CONFIG_HOME:-$HOME/.config}/corvalis/ports/COMn when\n"
    "                         there, else /dev/ttyS0 for COM1, /dev/ttyS1 for COM2, ...)\n"
    "  CORVALIS_REGISTRY_DIR  the folder of the settings registry\n"
    "                         (default ${XDG_CONFIG_HOME:-$HOME/.config}/corvalis/registry)\n"
    "  CORVALIS_STATE_DIR     the folder of the call journals (in its journal folder; default\n"
    "                         ${XDG_STATE_HOME:-$HOME/.local/state}/corvalis)\n"
    "\n"
    "More in corvalis(1).\n";

// The command line is looked at before Qt sees it, so that --help, --version and a mistake
// need no display. Returns the exit status, or -1 to go on and open the window.
int HandleCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("corvalis (TTY field-test kit) " KIT_VERSION);
      return 0;
    }
  }
  if (argc > 1) {
    std::string_view arg = argv[1];
    std::fprintf(stderr, "corvalis: %s '%s'\n%sTry 'corvalis --help' for more.\n",
                 arg.starts_with('-') ? "unknown option" : "unexpected argument", argv[1], kUsage);
    return 1;
  }
  return -1;
}

// The About sheet's link: the README installed with the program (found from the program's folder,
// so that a moved install still finds it); else, for a program run from a build folder inside
// the source tree (build/bin/corvalis), the source tree's; else where the prefix installs it.
std::string DownloadSite() {
  const QString dir = QCoreApplication::applicationDirPath();
  QFileInfo readme(dir + "/" CORVALIS_INSTALLED_README);
  if (!readme.isFile() && QFileInfo(dir + "/../CMakeCache.txt").isFile())
    readme.setFile(dir + "/../../README.md");
  if (!readme.isFile()) readme.setFile(CORVALIS_PREFIX_README);
  return QUrl::fromLocalFile(QDir::cleanPath(readme.absoluteFilePath())).toString().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  if (int status = HandleCommandLine(argc, argv); status >= 0) return status;

  // Qt gets the program name only: it has no options of its own to take either.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setApplicationName("corvalis");
  QApplication::setApplicationVersion(KIT_VERSION);
  // Desktops find the menu entry, and with it the icon, by this name.
  QGuiApplication::setDesktopFileName("corvalis");
  QApplication::setWindowIcon(QIcon(":/icons/corvalis.png"));
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  // Dates and times follow the user's locale; numbers stay as the program writes them.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");

  corvalis::TQtHandoff handoff;
  corvalis::TFormServices services;
  services.Handoff = &handoff;
  services.DownloadSite = DownloadSite();
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
