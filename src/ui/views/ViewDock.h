// The base of every dock beside the tables: a stable ASCII object name (what
// the saved layout refers to) and a Russian title, a capped repaint, its own
// options in the settings store, and "Сохранить изображение…" / "Копировать
// изображение" for its picture.
//
// Repaint: ScheduleRefresh() is cheap and may be called at any rate; a visible
// dock runs RefreshView() at most kMaxRefreshPerSecond times a second, a hidden
// one only remembers that it is stale and refreshes once when shown.
#pragma once

#include <QDockWidget>
#include <QElapsedTimer>
#include <QTimer>
#include <QVariant>

#include "PaintStyle.h"

class QAction;
class QPainter;

// A widget's font and palette as the painters of the line take them.
TPaintStyle PaintStyleOf(const QWidget& widget);

class TViewDock : public QDockWidget {
  Q_OBJECT
 public:
  static constexpr int kMaxRefreshPerSecond = 25;

  TViewDock(const QString& objectName, const QString& title, QWidget* parent = nullptr);

  void ScheduleRefresh();
  // RefreshView() calls so far (for tests and benchmarks).
  int RefreshCount() const { return FRefreshCount; }
  // Runs a pending refresh now (tests, benchmarks, the screenshot program).
  void FlushRefresh();

  // This dock's options, kept under "views/<object name>/<key>".
  QVariant Option(const QString& key, const QVariant& fallback) const;
  void SetOption(const QString& key, const QVariant& value);

  // The picture the image commands save and copy, drawn at `size`. By default
  // the dock's contents as they are on screen.
  virtual QSize ImageSize() const;
  virtual void RenderImage(QPainter& painter, const QSize& size);
  // Writes the picture to a .png or .svg file (by the name's extension; a
  // name without one gets .png); false when it could not be written.
  bool WriteImage(const QString& fileName);
  // Asks for a file name (PNG or SVG) and writes the picture there; a failure
  // is shown as a message.
  void SaveImage();
  void CopyImage();

  QAction* SaveImageAction() const { return FSaveImageAction; }
  QAction* CopyImageAction() const { return FCopyImageAction; }

 protected:
  // Sets the dock's contents; its context menu offers the image commands and
  // any actions added to it before or after.
  void SetContent(QWidget* content);
  // Brings the view up to date with its source. Runs on the UI thread.
  virtual void RefreshView() = 0;
  void showEvent(QShowEvent* event) override;

 private:
  void RunRefresh();

  QTimer FTimer;
  QElapsedTimer FSinceLast;
  bool FDirty = true;
  int FRefreshCount = 0;
  QAction* FSaveImageAction;
  QAction* FCopyImageAction;
};
