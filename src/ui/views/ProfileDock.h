// "Профиль температуры": the temperatures along the cable of one device, the
// one the views show (the selected device, or the one under the data table's
// cursor while polling). One point per sensor, the sensor number on the
// vertical axis and the temperature on the horizontal one; a sensor with a
// fault word is a cross at its place with no value, a sensor without data is
// a gap in the line. The title names the device, its plant number, its level
// H and the time of the reading. Which end of the cable is at the top is an
// option (sensor 1 at the top by default).
#pragma once

#include <QWidget>
#include <vector>

#include "TemperatureScale.h"
#include "ViewDock.h"
#include "ViewHub.h"

// One sensor of a profile.
struct TProfilePoint {
  enum TKind { Value, Fault, NoData };
  int Sensor = 1;  // 1 …
  TKind Kind = NoData;
  double Celsius = 0;  // for Value
};

// The points of a reading, sensor 1 first.
std::vector<TProfilePoint> ProfilePoints(const TDeviceReading& reading);

class TProfileView : public QWidget {
  Q_OBJECT
 public:
  explicit TProfileView(QWidget* parent = nullptr);

  // The reading to show (none: an empty view with its reason), and the
  // snapshot's time.
  void SetReading(const TDeviceReading* reading, std::int64_t timeMs, const QString& emptyText);
  void SetSensorOneAtTop(bool top);
  bool SensorOneAtTop() const { return FSensorOneAtTop; }

  const std::vector<TProfilePoint>& Points() const { return FPoints; }
  QString Title() const { return FTitle; }
  // Where a sensor's point (or fault mark) is drawn in the widget now.
  QPointF PointPosition(int sensor) const;
  // The temperature range of the horizontal axis.
  double AxisMin() const { return FMin; }
  double AxisMax() const { return FMax; }

  void Paint(QPainter& painter) const;
  QSize sizeHint() const override { return {320, 420}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRectF PlotArea() const;
  double X(double celsius, const QRectF& area) const;
  double Y(int sensor, const QRectF& area) const;

  std::vector<TProfilePoint> FPoints;
  QString FTitle, FSubtitle, FEmptyText;
  bool FFailed = false;
  bool FSensorOneAtTop = true;
  double FMin = 0, FMax = 30, FStep = 5;
};

class TProfileDock : public TViewDock {
  Q_OBJECT
 public:
  TProfileDock(TViewHub* hub, QWidget* parent = nullptr);
  TProfileView* View() const { return FView; }
  void SetSensorOneAtTop(bool top);

  QSize ImageSize() const override;
  void RenderImage(QPainter& painter, const QSize& size) override;

 protected:
  void RefreshView() override;

 private:
  TViewHub* FHub;
  TProfileView* FView;
  QAction* FSensorOneAtBottom;
};
