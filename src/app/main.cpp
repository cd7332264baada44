// lim07: the service utility's window.
//   lim07                 starts as the system does: port COM1, closed
//   lim07 FILE.l07        starts as above, then opens that configuration as
//                         the window's own "Открыть" does (the desktop's
//                         "open with" and a double click on a .l07 land here)
//   lim07 --demo          starts a virtual line of demo devices in this
//                         process, lists them and opens the port on it
//   lim07 --port PATH     starts with the port set to PATH
//   lim07 --version       the program version
#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "DemoStart.h"
#include "Lim07Version.h"
#include "MainForm.h"
#include "MainFormConfig.h"
#include "Translations.h"
#include "UiHooks.h"
#include "VirtualLine.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: lim07 [--demo | --port PATH | FILE.l07]\n       lim07 --version\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool demo = false;
  std::string port, config;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0) {
      demo = true;
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = argv[++i];
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("lim07 %s\n", LIM07_VERSION);
      return 0;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    } else if (argv[i][0] != '-' && config.empty()) {
      config = argv[i];
    } else {
      return Usage();
    }
  }

  if (demo && !port.empty()) {
    std::fprintf(stderr, "lim07: --demo brings its own line; leave out --port\n");
    return Usage();
  }
  if (!config.empty() && (demo || !port.empty())) {
    std::fprintf(stderr,
                 "lim07: a configuration brings its own port; leave out --demo and --port\n");
    return Usage();
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("lim07"));
  QApplication::setApplicationVersion(QStringLiteral(LIM07_VERSION));
  InstallToolkitTranslations(app);

  // The demo line lives as long as the window: declared first, freed last.
  std::unique_ptr<TVirtualLine> line;
  TMainForm form;
  if (demo) {
    line = StartDemo(form);
  } else if (!port.empty()) {
    form.ComPort().SetPort(port);
    form.RefreshPortDescription();
  }
  form.show();
  if (!config.empty()) {
    // Once the window is on screen, so that a message about the file has it
    // as its owner.
    const QString name = QString::fromLocal8Bit(config.c_str());
    QTimer::singleShot(0, &form, [&form, name] { OpenConfigurationAtStart(form, name); });
  }
  return app.exec();
}
