// "Обзор линии": the whole line at a glance. One column per listed device in
// the order of the list, one cell per sensor, coloured on one temperature
// scale for the whole line (TTemperatureScale, with its legend); fault and
// no-data cells are black and white, a device whose last read failed is grey
// with its result text as tooltip; the level of each device is a mark across
// its column, on a scale shared by the line. A click on a column selects that
// device in the table and the other views.
//
// Painting is TLineOverviewPainter's, shared with the report. Columns narrow
// to one pixel; below that the view scrolls instead of losing devices.
#pragma once

#include <QWidget>

#include "OverviewPainter.h"
#include "TemperatureScale.h"
#include "ViewDock.h"
#include "ViewHub.h"

class QScrollArea;

class TLineOverview : public QWidget {
  Q_OBJECT
 public:
  explicit TLineOverview(QWidget* parent = nullptr);

  // What to show: the snapshot (may be null), the device the views show.
  void SetData(TSnapshotPtr snapshot, int current);
  void SetScale(const TTemperatureScale& scale);
  void SetSensorOneAtTop(bool top);
  // Places to mark as in alarm.
  void SetAlarms(TAlarmCells alarms);
  const TTemperatureScale& Scale() const { return FPainter.Scale(); }
  const TLineOverviewPainter& Painter() const { return FPainter; }

  // The device column at a point of the widget, -1 outside the columns.
  int ColumnAt(const QPoint& pos) const;
  // The sensor number (1 …) at a point, 0 outside the cells.
  int SensorAt(const QPoint& pos) const;
  // The centre of a cell (device index, sensor number), for tests and tools.
  QPoint CellCentre(int device, int sensor) const;
  // The colour a cell is drawn with (the cell image), invalid outside.
  QColor CellColor(int device, int sensor) const;
  // The tooltip text for a point.
  QString ToolTipAt(const QPoint& pos) const;
  // The level scale in decimetres (the top of every column).
  int LevelScaleDm() const { return FPainter.LevelScaleDm(); }

  // Draws the view; `vector` draws every cell as a rectangle of its own (for
  // a vector file) instead of one scaled image.
  void Paint(QPainter& painter, bool vector = false) const;

  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 signals:
  void ColumnClicked(int device);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Restyle();

  TLineOverviewPainter FPainter;
};

class TOverviewDock : public TViewDock {
  Q_OBJECT
 public:
  TOverviewDock(TViewHub* hub, QWidget* parent = nullptr);
  TLineOverview* View() const { return FView; }
  // Sets and stores the thresholds; false (nothing changed) unless they rise.
  bool SetThresholds(const std::array<double, 3>& thresholds);
  void SetSensorOneAtTop(bool top);

  QSize ImageSize() const override;
  void RenderImage(QPainter& painter, const QSize& size) override;

 protected:
  void RefreshView() override;

 private:
  void EditThresholds();

  TViewHub* FHub;
  TLineOverview* FView;
  QScrollArea* FScroll;
  QAction* FSensorOneAtBottom;
};
