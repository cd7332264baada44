// lim07: the service utility's window.
//   lim07                 starts as the system does: port COM1, closed
//   lim07 --demo          starts a virtual line of demo devices in this
//                         process, lists them and opens the port on it
//   lim07 --port PATH     starts with the port set to PATH
#include <QApplication>
#include <QLocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "DemoStart.h"
#include "MainForm.h"
#include "Translations.h"
#include "UiHooks.h"
#include "VirtualLine.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: lim07 [--demo | --port PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool demo = false;
  std::string port;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo") == 0) {
      demo = true;
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    } else {
      return Usage();
    }
  }

  if (demo && !port.empty()) {
    std::fprintf(stderr, "lim07: --demo brings its own line; leave out --port\n");
    return Usage();
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("lim07"));
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
  return app.exec();
}
