// The window's remembered choices, per user (QSettings): one class names every
// key and its default, and carries the store's version for migrations. The
// line and its devices stay in the .l07; nothing here changes what a
// configuration file holds.
//
// Keys are grouped by owner: "window/…" for the main window, "views/<object
// name>/…" for each dock's own options (a dock reads and writes only its own
// group through Value/SetValue).
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <memory>

class QSettings;

class TAppSettings {
 public:
  // Version of the key layout; older stores are migrated forward on first use.
  static constexpr int kVersion = 1;

  // The store in use: the program's per-user INI file unless UseFile chose
  // another (tests, screenshots). Migrated to kVersion when first opened.
  static QSettings& Store();
  // Switches to the INI file at `path` (created when missing); empty = back to
  // the per-user default.
  static void UseFile(const QString& path);

  // ---- main window
  // "Настройка → Сервисный режим": shows the hidden service commands.
  static bool ServiceMode();  // default false
  static void SetServiceMode(bool on);
  // The dock layout (QMainWindow::saveState) and its layout version.
  static QByteArray WindowState();  // default empty: the built-in layout
  static void SetWindowState(const QByteArray& state);

  // ---- the history database ("Настройка → История…")
  // Recording of the polling cycles; on by default, into HistoryFile().
  static bool HistoryEnabled();
  static void SetHistoryEnabled(bool on);
  // The database file; empty: the per-user default (DefaultHistoryPath).
  static QString HistoryFile();
  static void SetHistoryFile(const QString& path);
  static int HistoryIntervalSeconds();  // default 60; 0: every cycle
  static void SetHistoryIntervalSeconds(int seconds);
  static int HistoryRetentionDays();  // default 730
  static void SetHistoryRetentionDays(int days);

  // ---- a view's own options, under "views/<view>/<key>"
  static QVariant ViewValue(const QString& view, const QString& key, const QVariant& fallback);
  static void SetViewValue(const QString& view, const QString& key, const QVariant& value);

 private:
  static void Migrate(QSettings& store);
};
