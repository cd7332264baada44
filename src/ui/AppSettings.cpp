#include "AppSettings.h"

#include <QSettings>
#include <QTemporaryDir>

namespace {

const char* const kVersionKey = "version";
const char* const kServiceModeKey = "window/serviceMode";
const char* const kWindowStateKey = "window/state";

std::unique_ptr<QSettings>& Instance() {
  static std::unique_ptr<QSettings> store;
  return store;
}

QString ViewKey(const QString& view, const QString& key) {
  return QStringLiteral("views/") + view + QLatin1Char('/') + key;
}

}  // namespace

QSettings& TAppSettings::Store() {
  auto& store = Instance();
  if (!store) {
    // LIM07_SETTINGS names another INI file; ":temporary:" gives each process
    // a fresh one of its own (the tests, so they neither read nor change the
    // user's choices nor each other's).
    const QString chosen = qEnvironmentVariable("LIM07_SETTINGS");
    if (chosen == QLatin1String(":temporary:")) {
      static QTemporaryDir folder;
      store = std::make_unique<QSettings>(folder.filePath(QStringLiteral("lim07.ini")),
                                          QSettings::IniFormat);
    } else if (!chosen.isEmpty()) {
      store = std::make_unique<QSettings>(chosen, QSettings::IniFormat);
    } else {
      store = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                          QStringLiteral("lim07"), QStringLiteral("lim07"));
    }
    Migrate(*store);
  }
  return *store;
}

void TAppSettings::UseFile(const QString& path) {
  auto& store = Instance();
  if (store) store->sync();
  store.reset();
  if (path.isEmpty()) return;
  store = std::make_unique<QSettings>(path, QSettings::IniFormat);
  Migrate(*store);
}

void TAppSettings::Migrate(QSettings& store) {
  const int version = store.value(kVersionKey, 0).toInt();
  // Version 1 is the first layout: nothing older to carry forward. A store
  // written by a newer program keeps its version and its keys.
  if (version < kVersion) store.setValue(kVersionKey, kVersion);
}

bool TAppSettings::ServiceMode() {
  return Store().value(kServiceModeKey, false).toBool();
}

void TAppSettings::SetServiceMode(bool on) {
  Store().setValue(kServiceModeKey, on);
}

QByteArray TAppSettings::WindowState() {
  return Store().value(kWindowStateKey).toByteArray();
}

void TAppSettings::SetWindowState(const QByteArray& state) {
  Store().setValue(kWindowStateKey, state);
}

QVariant TAppSettings::ViewValue(const QString& view, const QString& key,
                                 const QVariant& fallback) {
  return Store().value(ViewKey(view, key), fallback);
}

void TAppSettings::SetViewValue(const QString& view, const QString& key, const QVariant& value) {
  Store().setValue(ViewKey(view, key), value);
}

bool TAppSettings::HistoryEnabled() {
  return Store().value(QStringLiteral("history/enabled"), true).toBool();
}

void TAppSettings::SetHistoryEnabled(bool on) {
  Store().setValue(QStringLiteral("history/enabled"), on);
}

QString TAppSettings::HistoryFile() {
  return Store().value(QStringLiteral("history/file")).toString();
}

void TAppSettings::SetHistoryFile(const QString& path) {
  Store().setValue(QStringLiteral("history/file"), path);
}

int TAppSettings::HistoryIntervalSeconds() {
  return std::max(0, Store().value(QStringLiteral("history/intervalSeconds"), 60).toInt());
}

void TAppSettings::SetHistoryIntervalSeconds(int seconds) {
  Store().setValue(QStringLiteral("history/intervalSeconds"), seconds);
}

int TAppSettings::HistoryRetentionDays() {
  return std::max(1, Store().value(QStringLiteral("history/retentionDays"), 730).toInt());
}

void TAppSettings::SetHistoryRetentionDays(int days) {
  Store().setValue(QStringLiteral("history/retentionDays"), days);
}
