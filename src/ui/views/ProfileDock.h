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

#include "ProfilePainter.h"
#include "TemperatureScale.h"
#include "ViewDock.h"
#include "ViewHub.h"

class TProfileView : public QWidget {
  Q_OBJECT
 public:
  explicit TProfileView(QWidget* parent = nullptr);

  // The reading to show (none: an empty view with its reason), and the
  // snapshot's time.
  void SetReading(const TDeviceReading* reading, std::int64_t timeMs, const QString& emptyText);
  void SetSensorOneAtTop(bool top);
  bool SensorOneAtTop() const { return FPainter.SensorOneAtTop(); }
  // Sensors (1 …) of the shown device to mark as in alarm.
  void SetAlarmedSensors(std::set<int> sensors);

  const std::vector<TProfilePoint>& Points() const { return FPainter.Points(); }
  QString Title() const { return FPainter.Title(); }
  // Where a sensor's point (or fault mark) is drawn in the widget now.
  QPointF PointPosition(int sensor) const { return FPainter.PointPosition(size(), sensor); }
  // The temperature range of the horizontal axis.
  double AxisMin() const { return FPainter.AxisMin(); }
  double AxisMax() const { return FPainter.AxisMax(); }

  void Paint(QPainter& painter) const;
  QSize sizeHint() const override { return {320, 420}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Restyle();

  TProfilePainter FPainter;
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
