#include "ProfileDock.h"

#include <QAction>
#include <QDateTime>
#include <QPainter>
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

TProfileView::TProfileView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ProfileView"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  FEmptyText = Tr("Нет выбранного прибора");
}

void TProfileView::SetReading(const TDeviceReading* reading, std::int64_t timeMs,
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
  update();
}

void TProfileView::SetSensorOneAtTop(bool top) {
  FSensorOneAtTop = top;
  update();
}

QRectF TProfileView::PlotArea() const {
  const QFontMetrics fm = fontMetrics();
  const double top = 3 * fm.height() + 14;  // title, subtitle, axis names
  const double left = fm.horizontalAdvance(QStringLiteral("32")) + 16;
  const double bottom = fm.height() + 10;
  return QRectF(left, top, std::max(10.0, width() - left - 16),
                std::max(10.0, height() - top - bottom));
}

double TProfileView::X(double celsius, const QRectF& a) const {
  return a.left() + (celsius - FMin) / (FMax - FMin) * a.width();
}

double TProfileView::Y(int sensor, const QRectF& a) const {
  const int n = std::max<int>(1, static_cast<int>(FPoints.size()));
  const double step = a.height() / n;
  const int row = FSensorOneAtTop ? sensor - 1 : n - sensor;
  return a.top() + (row + 0.5) * step;
}

QPointF TProfileView::PointPosition(int sensor) const {
  const QRectF a = PlotArea();
  if (sensor < 1 || sensor > static_cast<int>(FPoints.size())) return {};
  const TProfilePoint& p = FPoints[static_cast<std::size_t>(sensor - 1)];
  return {p.Kind == TProfilePoint::Value ? X(p.Celsius, a) : a.left(), Y(sensor, a)};
}

void TProfileView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Paint(p);
}

void TProfileView::Paint(QPainter& p) const {
  const QFontMetrics fm = fontMetrics();
  p.fillRect(rect(), palette().color(QPalette::Base));
  p.setRenderHint(QPainter::Antialiasing, true);
  const QColor text = palette().color(QPalette::WindowText);
  // Title: the device, then its level and the time of the reading.
  QFont bold = font();
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(text);
  p.drawText(QRectF(6, 4, width() - 12, fm.height()), Qt::AlignLeft | Qt::AlignVCenter, FTitle);
  p.setFont(font());
  p.setPen(FFailed ? kFaultMarkColor : text);
  p.drawText(QRectF(6, 6 + fm.height(), width() - 12, fm.height()),
             Qt::AlignLeft | Qt::AlignVCenter,
             fm.elidedText(FSubtitle, Qt::ElideRight, width() - 12));
  const QRectF a = PlotArea();
  if (FPoints.empty()) {
    p.setPen(text);
    p.drawText(a, Qt::AlignCenter | Qt::TextWordWrap, FEmptyText);
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
    p.drawText(QRectF(x - 30, a.bottom() + 2, 60, fm.height()), Qt::AlignHCenter | Qt::AlignTop,
               QLocale().toString(t, 'g', 4));
  }
  // The axis names above the plot: sensor number on the left, degrees on the right.
  p.drawText(QRectF(0, a.top() - fm.height() - 2, a.left() - 2, fm.height()),
             Qt::AlignRight | Qt::AlignBottom, Tr("№"));
  p.drawText(QRectF(a.right() - 60, a.top() - fm.height() - 2, 60, fm.height()),
             Qt::AlignRight | Qt::AlignBottom, Tr("°C"));
  const int n = static_cast<int>(FPoints.size());
  const int labelStep =
      std::max(1, static_cast<int>(std::ceil((fm.height() + 1) / (a.height() / n))));
  for (int s = 1; s <= n; ++s) {
    if ((s - 1) % labelStep != 0 && s != n) continue;
    p.drawText(QRectF(0, Y(s, a) - fm.height() / 2.0, a.left() - 6, fm.height()),
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
    const QPointF at = PointPosition(pt.Sensor);
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
      p.drawText(QRectF(m.x() + c + 3, m.y() - fm.height() / 2.0, 60, fm.height()),
                 Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("****"));
    }
  }
  p.setBrush(Qt::NoBrush);
}

// --- the dock ------------------------------------------------------------------------

TProfileDock::TProfileDock(TViewHub* hub, QWidget* parent)
    : TViewDock(QStringLiteral("ProfileDock"), Tr("Профиль температуры"), parent), FHub(hub) {
  FView = new TProfileView(this);
  FSensorOneAtBottom = new QAction(Tr("Датчик 1 внизу"), this);
  FSensorOneAtBottom->setObjectName(QStringLiteral("ProfileSensorOneAtBottomAction"));
  FSensorOneAtBottom->setCheckable(true);
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  FView->addActions({separator, FSensorOneAtBottom});
  SetContent(FView);
  connect(FSensorOneAtBottom, &QAction::toggled, this,
          [this](bool bottom) { SetSensorOneAtTop(!bottom); });
  FSensorOneAtBottom->setChecked(!Option(QStringLiteral("sensorOneAtTop"), true).toBool());
  connect(FHub, &TViewHub::SnapshotReady, this, &TViewDock::ScheduleRefresh);
  connect(FHub, &TViewHub::CurrentChanged, this, &TViewDock::ScheduleRefresh);
}

void TProfileDock::SetSensorOneAtTop(bool top) {
  SetOption(QStringLiteral("sensorOneAtTop"), top);
  FView->SetSensorOneAtTop(top);
  if (FSensorOneAtBottom->isChecked() == top) FSensorOneAtBottom->setChecked(!top);
}

void TProfileDock::RefreshView() {
  const TSnapshotPtr snapshot = FHub->Latest();
  const int index = FHub->CurrentIndex();
  if (!snapshot || index < 0 || index >= static_cast<int>(snapshot->Devices.size())) {
    FView->SetReading(nullptr, 0,
                      index < 0 ? Tr("Нет выбранного прибора") : Tr("Нет данных опроса"));
    return;
  }
  FView->SetReading(&snapshot->Devices[static_cast<std::size_t>(index)], snapshot->TimeMs,
                    QString());
}

QSize TProfileDock::ImageSize() const {
  return FView->size().isEmpty() ? QSize(360, 480) : FView->size();
}

void TProfileDock::RenderImage(QPainter& painter, const QSize& size) {
  if (FView->size() != size) FView->resize(size);
  FView->Paint(painter);
}
