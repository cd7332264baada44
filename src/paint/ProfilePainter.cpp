#include "ProfilePainter.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QLocale>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "TrendSource.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

const QColor kLineColor(0x1F, 0x4E, 0x9A);
const QColor kFaultMarkColor(0xC6, 0x28, 0x28);

// A round step for about `ticks` ticks over `span` degrees.
double NiceStep(double span, int ticks) {
  const double raw = span / std::max(1, ticks);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (raw <= m * magnitude) return m * magnitude;
  return 10 * magnitude;
}

}  // namespace

std::vector<TProfilePoint> ProfilePoints(const TDeviceReading& reading) {
  std::vector<TProfilePoint> points;
  for (std::size_t i = 0; i < reading.Temperatures.size(); ++i) {
    const std::uint16_t word = reading.Temperatures[i];
    TProfilePoint p;
    p.Sensor = static_cast<int>(i) + 1;
    if (word == kFaultTemperatureA || word == kFaultTemperatureB)
      p.Kind = TProfilePoint::Fault;
    else if (word == kNoDataTemperature)
      p.Kind = TProfilePoint::NoData;
    else {
      p.Kind = TProfilePoint::Value;
      p.Celsius = TemperatureValue(word);
    }
    points.push_back(p);
  }
  return points;
}

void TProfilePainter::SetReading(const TDeviceReading* reading, std::int64_t timeMs,
                                 const QString& emptyText) {
  FPoints.clear();
  FTitle.clear();
  FSubtitle.clear();
  FFailed = false;
  FEmptyText = emptyText;
  if (reading) {
    FPoints = ProfilePoints(*reading);
    const QString level =
        reading->Ok() || reading->LevelConfirmed ? Tr("%1 дм").arg(reading->Level) : Tr("—");
    FTitle =
        Tr("%1, зав. № %2").arg(QString::fromStdString(reading->Name)).arg(reading->PlantNumber);
    const QString time =
        QDateTime::fromMSecsSinceEpoch(timeMs).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    FSubtitle = Tr("H = %1, %2").arg(level, time);
    if (reading->Outcomes.empty()) {
      FSubtitle = Tr("Не опрашивался");
    } else if (!reading->Ok()) {
      FFailed = true;
      FSubtitle += Tr(". ") + QString::fromStdString(reading->FailureText());
    }
    if (FPoints.empty() && FEmptyText.isEmpty()) FEmptyText = Tr("У прибора нет датчиков");
  }
  // The axis: the values with a margin, at least 5 degrees wide, on round ticks.
  double lo = 1e9, hi = -1e9;
  for (const TProfilePoint& p : FPoints)
    if (p.Kind == TProfilePoint::Value) {
      lo = std::min(lo, p.Celsius);
      hi = std::max(hi, p.Celsius);
    }
  if (lo > hi) lo = 0, hi = 30;
  if (hi - lo < 5) {
    const double mid = (lo + hi) / 2;
    lo = mid - 2.5;
    hi = mid + 2.5;
  }
  FStep = NiceStep(hi - lo, 5);
  FMin = std::floor(lo / FStep) * FStep;
  FMax = std::ceil(hi / FStep) * FStep;
  if (FMax - FMin < FStep) FMax = FMin + FStep;
}

QRectF TProfilePainter::PlotArea(const QSizeF& size) const {
  const QFontMetricsF fm(FStyle.Font);
  const double line = std::ceil(fm.height());
  const double top = 3 * line + 14;  // title, subtitle, axis names
  const double left = std::ceil(fm.horizontalAdvance(QStringLiteral("32"))) + 16;
  const double bottom = line + 10;
  return QRectF(left, top, std::max(10.0, size.width() - left - 16),
                std::max(10.0, size.height() - top - bottom));
}

double TProfilePainter::X(double celsius, const QRectF& a) const {
  return a.left() + (celsius - FMin) / (FMax - FMin) * a.width();
}

double TProfilePainter::Y(int sensor, const QRectF& a) const {
  const int n = std::max<int>(1, static_cast<int>(FPoints.size()));
  const double step = a.height() / n;
  const int row = FSensorOneAtTop ? sensor - 1 : n - sensor;
  return a.top() + (row + 0.5) * step;
}

QPointF TProfilePainter::PointPosition(const QSizeF& size, int sensor) const {
  const QRectF a = PlotArea(size);
  if (sensor < 1 || sensor > static_cast<int>(FPoints.size())) return {};
  const TProfilePoint& p = FPoints[static_cast<std::size_t>(sensor - 1)];
  return {p.Kind == TProfilePoint::Value ? X(p.Celsius, a) : a.left(), Y(sensor, a)};
}

void TProfilePainter::Paint(QPainter& p, const QRectF& target) const {
  p.save();
  p.translate(target.topLeft());
  const QSizeF size = target.size();
  const QFontMetricsF fm(FStyle.Font);
  const double lineHeight = fm.height();
  p.setClipRect(QRectF(QPointF(0, 0), size), Qt::IntersectClip);
  p.fillRect(QRectF(QPointF(0, 0), size), FStyle.Base);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QColor text = FStyle.Text;
  // Title: the device, then its level and the time of the reading.
  QFont bold = FStyle.Font;
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(text);
  p.drawText(QRectF(6, 4, size.width() - 12, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
             QFontMetricsF(bold).elidedText(FTitle, Qt::ElideRight, size.width() - 12));
  p.setFont(FStyle.Font);
  p.setPen(FFailed ? kFaultMarkColor : text);
  p.drawText(QRectF(6, 6 + lineHeight, size.width() - 12, lineHeight),
             Qt::AlignLeft | Qt::AlignVCenter,
             fm.elidedText(FSubtitle, Qt::ElideRight, size.width() - 12));
  const QRectF a = PlotArea(size);
  if (FPoints.empty()) {
    p.setPen(text);
    p.drawText(a, Qt::AlignCenter | Qt::TextWordWrap, FEmptyText);
    p.restore();
    return;
  }
  // Grid and axes: temperature ticks below, sensor numbers on the left.
  const QColor grid(0xE0, 0xE0, 0xE0);
  p.setPen(QPen(grid, 1));
  for (double t = FMin; t <= FMax + FStep / 2; t += FStep)
    p.drawLine(QPointF(X(t, a), a.top()), QPointF(X(t, a), a.bottom()));
  if (FMin < 0 && FMax > 0) {
    p.setPen(QPen(QColor(0xA0, 0xA0, 0xA0), 1));
    p.drawLine(QPointF(X(0, a), a.top()), QPointF(X(0, a), a.bottom()));
  }
  p.setPen(text);
  p.drawRect(a);
  for (double t = FMin; t <= FMax + FStep / 2; t += FStep) {
    const double x = X(t, a);
    p.drawText(QRectF(x - 30, a.bottom() + 2, 60, lineHeight), Qt::AlignHCenter | Qt::AlignTop,
               QLocale().toString(t, 'g', 4));
  }
  // The axis names above the plot: sensor number on the left, degrees on the right.
  p.drawText(QRectF(0, a.top() - lineHeight - 2, a.left() - 2, lineHeight),
             Qt::AlignRight | Qt::AlignBottom, Tr("№"));
  p.drawText(QRectF(a.right() - 60, a.top() - lineHeight - 2, 60, lineHeight),
             Qt::AlignRight | Qt::AlignBottom, Tr("°C"));
  const int n = static_cast<int>(FPoints.size());
  const int labelStep =
      std::max(1, static_cast<int>(std::ceil((lineHeight + 1) / (a.height() / n))));
  for (int s = 1; s <= n; ++s) {
    // Every labelStep-th sensor, and the last one where it does not crowd.
    if ((s - 1) % labelStep != 0 && (s != n || (s - 1) % labelStep < labelStep / 2 + 1)) continue;
    p.drawText(QRectF(0, Y(s, a) - lineHeight / 2.0, a.left() - 6, lineHeight),
               Qt::AlignRight | Qt::AlignVCenter, QString::number(s));
  }
  // The line, broken at every sensor without a value.
  QPainterPath path;
  bool open = false;
  for (const TProfilePoint& pt : FPoints) {
    if (pt.Kind != TProfilePoint::Value) {
      open = false;
      continue;
    }
    const QPointF at(X(pt.Celsius, a), Y(pt.Sensor, a));
    if (open)
      path.lineTo(at);
    else
      path.moveTo(at);
    open = true;
  }
  p.setPen(QPen(kLineColor, 2));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
  const double r = std::clamp(a.height() / n / 4, 2.0, 4.5);
  for (const TProfilePoint& pt : FPoints) {
    const QPointF at = PointPosition(size, pt.Sensor);
    if (FAlarmed.count(pt.Sensor)) {
      p.setPen(QPen(kAlarmMarkColor, 2));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(at, r + 3, r + 3);
    }
    if (pt.Kind == TProfilePoint::Value) {
      p.setPen(QPen(kLineColor, 1));
      p.setBrush(Qt::white);
      p.drawEllipse(at, r, r);
    } else if (pt.Kind == TProfilePoint::Fault) {
      // At its place on the cable, on the axis: a red cross, "****" beside it.
      p.setPen(QPen(kFaultMarkColor, 2));
      const double c = r + 1.5;
      const QPointF m = at + QPointF(c + 2, 0);
      p.drawLine(m + QPointF(-c, -c), m + QPointF(c, c));
      p.drawLine(m + QPointF(-c, c), m + QPointF(c, -c));
      p.drawText(QRectF(m.x() + c + 3, m.y() - lineHeight / 2.0, 60, lineHeight),
                 Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("****"));
    }
  }
  p.restore();
}
