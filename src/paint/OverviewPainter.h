// The picture of the whole line: one column per listed device in the order
// of the list, one cell per sensor, coloured on one temperature scale for the
// line (TTemperatureScale, with its legend above); fault and no-data cells
// are black and white (a cross and a stroke where there is room), a device
// whose last read failed is grey, one never read light grey; the level of
// each device is a mark across its column on a scale shared by the line.
// Alarmed cells get a frame, an alarmed device a bar above its column.
//
// Paints into any QPainter at any size. On screen (an untransformed raster
// painter) what does not change between cycles, the legend and the labels,
// is kept as an image, and the cells, grid lines and level marks are written
// as pixels into a second image of the cell area: a cycle costs two image
// copies and a few lines. For vector output (PDF, SVG, print) every run of
// equal cells is a rectangle.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>

#include "PaintStyle.h"
#include "TemperatureScale.h"

class TLineOverviewPainter {
 public:
  enum TMode { Auto, Vector };

  void SetSnapshot(TSnapshotPtr snapshot);
  const TSnapshotPtr& Snapshot() const { return FSnapshot; }
  // The device the views show (a frame and a mark), -1 none.
  void SetCurrent(int index) { FCurrent = index; }
  int Current() const { return FCurrent; }
  void SetScale(const TTemperatureScale& scale);
  const TTemperatureScale& Scale() const { return FScale; }
  void SetSensorOneAtTop(bool top);
  bool SensorOneAtTop() const { return FSensorOneAtTop; }
  void SetAlarms(TAlarmCells alarms);
  const TAlarmCells& Alarms() const { return FAlarms; }
  void SetStyle(const TPaintStyle& style);
  const TPaintStyle& Style() const { return FStyle; }

  int Columns() const;
  int Rows() const { return FRows; }
  // The level scale in decimetres (the top of every column).
  int LevelScaleDm() const { return FLevelScaleDm; }
  // The smallest picture that keeps a pixel a device.
  QSizeF MinimumSize() const;

  // Geometry of a picture of `size` drawn at (0, 0).
  QRectF CellArea(const QSizeF& size) const;
  // The device column at a point, -1 outside the columns.
  int ColumnAt(const QSizeF& size, const QPointF& pos) const;
  // The sensor number (1 …) at a point, 0 outside the cells.
  int SensorAt(const QSizeF& size, const QPointF& pos) const;
  QPointF CellCentre(const QSizeF& size, int device, int sensor) const;
  // The colour of a cell (before marks), invalid outside.
  QColor CellColor(int device, int sensor) const;

  // Paints the picture into `target`.
  void Paint(QPainter& painter, const QRectF& target, TMode mode = Auto) const;

 private:
  void Rebuild();
  // Row of the cell table for a sensor number (1 …), by the orientation.
  int RowOf(int sensor) const { return FSensorOneAtTop ? sensor - 1 : FRows - sensor; }
  void PaintVectorCells(QPainter& p, const QRectF& a) const;
  void PaintRasterCells(QPainter& p, const QRectF& a) const;
  void PaintMarks(QPainter& p, const QRectF& a, bool levels) const;
  void PaintLegend(QPainter& p) const;
  void PaintLabels(QPainter& p, const QRectF& a) const;
  void PaintFrame(QPainter& p, const QSizeF& size) const;
  bool Alarmed(const TDeviceReading& d, int sensor) const {
    return !FAlarms.empty() && FAlarms.count({d.PlantNumber, sensor}) > 0;
  }

  TSnapshotPtr FSnapshot;
  int FCurrent = -1;
  TTemperatureScale FScale;
  bool FSensorOneAtTop = true;
  TAlarmCells FAlarms;
  TPaintStyle FStyle;
  QImage FCells;  // a pixel per cell: column = device, row = RowOf(sensor)
  int FRows = 1;
  int FLevelScaleDm = 10;
  std::uint64_t FGeneration = 0;  // changes with every change of the cells

  // The raster caches: the frame (background, legend, labels) and the cells
  // at their size on the device.
  struct TFrameKey {
    QSize Size;
    qreal Ratio = 0;
    std::uint64_t Generation = 0;
    bool operator==(const TFrameKey&) const = default;
  };
  mutable QImage FFrameImage, FCellImage;
  mutable TFrameKey FFrameKey, FCellKey;
  std::uint64_t FLabelGeneration = 0;  // changes when a label or the legend would
};
