// The painters of the line's pictures drawn into plain images: the screen
// path (cached images) and the vector path give the same cells, the caches
// follow every change, alarms are marked only where given.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "GuiTestSupport.h"
#include "OverviewPainter.h"
#include "ProfilePainter.h"

namespace {

// Levels at the bottom, where they cover no sampled cell.
TSnapshotPtr Line(std::vector<TDeviceReading> devices) {
  for (TDeviceReading& d : devices) d.Level = 0;
  auto s = std::make_shared<TLineSnapshot>();
  s->TimeMs = 1'700'000'000'000;
  s->Cycle = 1;
  s->Devices = std::move(devices);
  return s;
}

QImage Draw(const TLineOverviewPainter& painter, QSize size, TLineOverviewPainter::TMode mode) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::magenta);
  QPainter p(&image);
  painter.Paint(p, QRectF(QPointF(0, 0), size), mode);
  return image;
}

int CountColor(const QImage& image, const QColor& color) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) n += image.pixelColor(x, y) == color;
  return n;
}

}  // namespace

TEST(Painters, OverviewCellsAreTheSameOnScreenAndAsVectorsAndFollowEveryChange) {
  GuiApp();
  TLineOverviewPainter painter;
  painter.SetStyle(TPaintStyle::FromApplication());
  TDeviceReading never = MadeReading("Бункер 3", 1203, 3, {0x0100, 0x0100});
  never.Outcomes.clear();
  painter.SetSnapshot(
      Line({MadeReading("Силос 1", 1201, 1, {0x009F, 0x00A0, 0x01E0, 0xAAAA, 0xDDDD}),
            MadeReading("Силос 2", 1202, 2, {0xDDDD, 0xDDDD}, false), never}));
  const auto& bands = TTemperatureScale::kBandColors;
  struct {
    int Device, Sensor;
    QColor Color;
  } const cells[] = {{0, 1, bands[0]},
                     {0, 2, bands[1]},
                     {0, 3, bands[3]},
                     {1, 1, TTemperatureScale::kFailedColor},
                     {2, 2, TTemperatureScale::kNotReadColor}};
  for (const QSize size : {QSize(640, 360), QSize(300, 200), QSize(1200, 300)}) {
    for (auto mode : {TLineOverviewPainter::Auto, TLineOverviewPainter::Vector}) {
      SCOPED_TRACE(
          QStringLiteral("%1x%2 %3").arg(size.width()).arg(size.height()).arg(mode).toStdString());
      const QImage image = Draw(painter, size, mode);
      EXPECT_EQ(CountColor(image, Qt::magenta), 0);  // every pixel painted
      for (const auto& c : cells) {
        EXPECT_EQ(painter.CellColor(c.Device, c.Sensor), c.Color);
        const QPointF at = painter.CellCentre(size, c.Device, c.Sensor) + QPointF(2, 2);
        EXPECT_EQ(image.pixelColor(at.toPoint()), c.Color) << c.Device << " " << c.Sensor;
      }
    }
  }
  // The cached picture follows a new scale, a turned cable and new data.
  const QSize size(640, 360);
  TTemperatureScale warm;
  warm.Thresholds = {5, 9.5, 10};
  painter.SetScale(warm);
  EXPECT_EQ(Draw(painter, size, TLineOverviewPainter::Auto)
                .pixelColor(painter.CellCentre(size, 0, 1).toPoint() + QPoint(2, 2)),
            bands[2]);
  painter.SetSensorOneAtTop(false);
  EXPECT_GT(painter.CellCentre(size, 0, 1).y(), painter.CellCentre(size, 0, 2).y());
  EXPECT_EQ(Draw(painter, size, TLineOverviewPainter::Auto)
                .pixelColor(painter.CellCentre(size, 0, 2).toPoint() + QPoint(2, 2)),
            bands[3]);
  painter.SetSnapshot(Line({MadeReading("Силос 1", 1201, 1, {0x0300})}));
  EXPECT_EQ(Draw(painter, size, TLineOverviewPainter::Auto)
                .pixelColor(painter.CellCentre(size, 0, 1).toPoint()),
            bands[3]);

  // Alarms: a frame in the alarm colour around the cell, a legend entry;
  // none without alarms.
  painter.SetSnapshot(Line({MadeReading("Силос 1", 1201, 1, {0x0100, 0x0100, 0x0100}),
                            MadeReading("Силос 2", 1202, 2, {0x0100, 0x0100, 0x0100})}));
  for (auto mode : {TLineOverviewPainter::Auto, TLineOverviewPainter::Vector}) {
    painter.SetAlarms({});
    EXPECT_EQ(CountColor(Draw(painter, size, mode), kAlarmMarkColor), 0);
    painter.SetAlarms({{1202, 2}, {1201, 0}});
    const QImage marked = Draw(painter, size, mode);
    EXPECT_GT(CountColor(marked, kAlarmMarkColor), 100);
    const QPointF centre = painter.CellCentre(size, 1, 2);
    const QRectF area = painter.CellArea(size);
    const double half = area.width() / 4;  // half a column
    int framed = 0;
    for (int dx = -static_cast<int>(half); dx <= static_cast<int>(half); ++dx)
      framed +=
          marked.pixelColor(QPointF(centre.x() + dx, centre.y()).toPoint()) == kAlarmMarkColor;
    EXPECT_GE(framed, 2);  // the frame's left and right sides
  }
}

TEST(Painters, ProfilePlacesEverySensorInAnyRectangle) {
  GuiApp();
  TProfilePainter painter;
  painter.SetStyle(TPaintStyle::FromApplication());
  const TDeviceReading r =
      MadeReading("Силос 1", 1201, 1, {0x0191, 0xFF60, 0xAAAA, 0xDDDD, 0x55AA, 0x0010});
  painter.SetReading(&r, 1'700'000'000'000, QString());
  ASSERT_EQ(painter.Points().size(), 6u);
  EXPECT_LE(painter.AxisMin(), -10.0);
  EXPECT_GE(painter.AxisMax(), 25.0625);
  EXPECT_TRUE(painter.Title().contains(QStringLiteral("1201")));
  for (const QSize size : {QSize(200, 260), QSize(400, 600)}) {
    EXPECT_GT(painter.PointPosition(size, 1).x(), painter.PointPosition(size, 2).x());
    EXPECT_LT(painter.PointPosition(size, 1).y(), painter.PointPosition(size, 6).y());
    EXPECT_LT(painter.PointPosition(size, 6).y(), size.height());
    // Drawn at an offset it stays inside its rectangle.
    QImage image(size + QSize(100, 100), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter p(&image);
    painter.SetAlarmedSensors({1});
    painter.Paint(p, QRectF(QPointF(50, 50), QSizeF(size)));
    p.end();
    EXPECT_EQ(image.pixelColor(49, 49), QColor(Qt::magenta));
    EXPECT_EQ(image.pixelColor(50 + size.width(), 50 + size.height()), QColor(Qt::magenta));
    EXPECT_EQ(image.pixelColor(50, 50), painter.Style().Base);
    EXPECT_GT(CountColor(image, kAlarmMarkColor), 10);
  }
}
