// The temperature profile of one device: one point per sensor, the sensor
// number on the vertical axis and the temperature on the horizontal one; a
// sensor with a fault word is a red cross at its place with no value, a
// sensor without data a gap in the line. The title names the device and its
// plant number, the line below its level H and the time of the reading (or
// why there is none). Which end of the cable is at the top is an option.
// Alarmed sensors get a ring. Paints into any QPainter at any size.
#pragma once

#include <QPainter>
#include <QRectF>
#include <set>
#include <vector>

#include "PaintStyle.h"

// One sensor of a profile.
struct TProfilePoint {
  enum TKind { Value, Fault, NoData };
  int Sensor = 1;  // 1 …
  TKind Kind = NoData;
  double Celsius = 0;  // for Value
};

// The points of a reading, sensor 1 first.
std::vector<TProfilePoint> ProfilePoints(const TDeviceReading& reading);

class TProfilePainter {
 public:
  // The reading to show (none: an empty picture with its reason), and the
  // time of the reading.
  void SetReading(const TDeviceReading* reading, std::int64_t timeMs, const QString& emptyText);
  void SetSensorOneAtTop(bool top) { FSensorOneAtTop = top; }
  bool SensorOneAtTop() const { return FSensorOneAtTop; }
  // Sensors (1 …) to mark as in alarm.
  void SetAlarmedSensors(std::set<int> sensors) { FAlarmed = std::move(sensors); }
  void SetStyle(const TPaintStyle& style) { FStyle = style; }
  const TPaintStyle& Style() const { return FStyle; }

  const std::vector<TProfilePoint>& Points() const { return FPoints; }
  QString Title() const { return FTitle; }
  QString Subtitle() const { return FSubtitle; }
  // Where a sensor's point (or fault mark) is drawn in a picture of `size`.
  QPointF PointPosition(const QSizeF& size, int sensor) const;
  // The temperature range of the horizontal axis.
  double AxisMin() const { return FMin; }
  double AxisMax() const { return FMax; }

  void Paint(QPainter& painter, const QRectF& target) const;

 private:
  QRectF PlotArea(const QSizeF& size) const;
  double X(double celsius, const QRectF& area) const;
  double Y(int sensor, const QRectF& area) const;

  std::vector<TProfilePoint> FPoints;
  QString FTitle, FSubtitle, FEmptyText;
  bool FFailed = false;
  bool FSensorOneAtTop = true;
  std::set<int> FAlarmed;
  TPaintStyle FStyle;
  double FMin = 0, FMax = 30, FStep = 5;
};
