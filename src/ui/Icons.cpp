#include "Icons.h"

#include <QFile>

void InitUiResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(lim07_ui);
    return true;
  }();
  (void)done;
}

QIcon ActionIcon(const char* name) {
  InitUiResources();
  const QString path = QStringLiteral(":/icons/%1.png").arg(QLatin1String(name));
  return QFile::exists(path) ? QIcon(path) : QIcon();
}
