#include "OverviewPainter.h"

#include <QFontMetricsF>
#include <QPaintEngine>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr double kRightMargin = 6;
constexpr double kMarkGap = 8;  // room above the cells for the current device's mark

bool IsFault(std::uint16_t w) {
  return w == kFaultTemperatureA || w == kFaultTemperatureB;
}

// The pixel edges of n equal parts of [0, length): edge i = floor(i * length / n).
std::vector<int> Edges(int n, int length) {
  std::vector<int> e(static_cast<std::size_t>(n) + 1);
  for (int i = 0; i <= n; ++i)
    e[static_cast<std::size_t>(i)] = static_cast<int>(static_cast<std::int64_t>(i) * length / n);
  return e;
}

}  // namespace

void TLineOverviewPainter::SetSnapshot(TSnapshotPtr snapshot) {
  FSnapshot = std::move(snapshot);
  Rebuild();
}

void TLineOverviewPainter::SetScale(const TTemperatureScale& scale) {
  FScale = scale;
  Rebuild();
}

void TLineOverviewPainter::SetSensorOneAtTop(bool top) {
  FSensorOneAtTop = top;
  Rebuild();
}

void TLineOverviewPainter::SetAlarms(TAlarmCells alarms) {
  FAlarms = std::move(alarms);
  Rebuild();
}

void TLineOverviewPainter::SetStyle(const TPaintStyle& style) {
  if (style == FStyle) return;
  FStyle = style;
  Rebuild();
}

int TLineOverviewPainter::Columns() const {
  return FSnapshot ? static_cast<int>(FSnapshot->Devices.size()) : 0;
}

void TLineOverviewPainter::Rebuild() {
  ++FGeneration;
  const int columns = Columns();
  int rows = 1, level = 0;
  for (int i = 0; i < columns; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    rows = std::max(rows, static_cast<int>(d.Temperatures.size()));
    if (d.Ok()) level = std::max<int>(level, d.Level);
  }
  FRows = rows;
  // The level scale: the fullest bunker of the line and a tenth more (so
  // that its mark stays clear of the top), rounded up to a metre.
  FLevelScaleDm = std::max(10, (level * 11 / 10 + 9) / 10 * 10);

  // What the frame shows: when none of it changed, its image is kept.
  std::string labels = FStyle.Font.toString().toStdString();
  labels += '|' + std::to_string(rows) + '|' + std::to_string(FSensorOneAtTop) + '|' +
            std::to_string(FLevelScaleDm) + '|' + std::to_string(!FAlarms.empty()) + '|' +
            std::to_string(FStyle.Window.rgba()) + std::to_string(FStyle.Text.rgba());
  for (double t : FScale.Thresholds) labels += '|' + std::to_string(t);
  for (int i = 0; i < columns; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    labels += '|' + d.Name + '@' + std::to_string(d.SystemAddress);
  }
  FLabelGeneration = std::hash<std::string>()(labels);

  if (columns == 0) {
    FCells = QImage();
    return;
  }
  if (FCells.width() != columns || FCells.height() != rows)
    FCells = QImage(columns, rows, QImage::Format_RGB32);
  FCells.fill(FStyle.Window);
  const QRgb notRead = TTemperatureScale::kNotReadColor.rgb();
  const QRgb failed = TTemperatureScale::kFailedColor.rgb();
  for (int i = 0; i < columns; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    const bool neverRead = d.Outcomes.empty();
    const bool ok = d.Ok();
    const int sensors = static_cast<int>(d.Temperatures.size());
    for (int s = 1; s <= sensors; ++s) {
      QRgb color = neverRead ? notRead
                   : !ok     ? failed
                         : FScale.WordColor(d.Temperatures[static_cast<std::size_t>(s - 1)]).rgb();
      reinterpret_cast<QRgb*>(FCells.scanLine(RowOf(s)))[i] = color;
    }
  }
}

QRectF TLineOverviewPainter::CellArea(const QSizeF& size) const {
  const QFontMetricsF fm(FStyle.Font);
  const double legend = std::ceil(fm.height()) + 8;
  const double left = std::ceil(fm.horizontalAdvance(QStringLiteral("32"))) + 10;
  const double bottom = std::ceil(fm.height()) + 6;
  return QRectF(left, legend + kMarkGap, std::max(1.0, size.width() - left - kRightMargin),
                std::max(1.0, size.height() - legend - kMarkGap - bottom));
}

QSizeF TLineOverviewPainter::MinimumSize() const {
  const QFontMetricsF fm(FStyle.Font);
  // A pixel a device before the view scrolls.
  return QSizeF(std::ceil(fm.horizontalAdvance(QStringLiteral("32"))) + 10 + kRightMargin +
                    std::max(1, Columns()),
                3 * std::ceil(fm.height()) + 40);
}

int TLineOverviewPainter::ColumnAt(const QSizeF& size, const QPointF& pos) const {
  const int n = Columns();
  const QRectF a = CellArea(size);
  if (n == 0 || pos.x() < a.left() || pos.x() >= a.right() || pos.y() < a.top() - kMarkGap)
    return -1;
  return std::clamp(static_cast<int>((pos.x() - a.left()) * n / a.width()), 0, n - 1);
}

int TLineOverviewPainter::SensorAt(const QSizeF& size, const QPointF& pos) const {
  const QRectF a = CellArea(size);
  if (ColumnAt(size, pos) < 0 || pos.y() < a.top() || pos.y() >= a.bottom()) return 0;
  const int row =
      std::clamp(static_cast<int>((pos.y() - a.top()) * FRows / a.height()), 0, FRows - 1);
  return FSensorOneAtTop ? row + 1 : FRows - row;
}

QPointF TLineOverviewPainter::CellCentre(const QSizeF& size, int device, int sensor) const {
  const QRectF a = CellArea(size);
  const double w = a.width() / std::max(1, Columns()), h = a.height() / FRows;
  return QPointF(a.left() + (device + 0.5) * w, a.top() + (RowOf(sensor) + 0.5) * h);
}

QColor TLineOverviewPainter::CellColor(int device, int sensor) const {
  if (FCells.isNull() || device < 0 || device >= FCells.width() || sensor < 1 || sensor > FRows)
    return {};
  return QColor(FCells.pixel(device, RowOf(sensor)));
}

void TLineOverviewPainter::Paint(QPainter& p, const QRectF& target, TMode mode) const {
  p.save();
  p.translate(target.topLeft());
  const QSizeF size = target.size();
  // The cached images stand for device pixels: only an untransformed raster
  // painter may take them.
  const bool raster = mode == Auto && p.transform().type() <= QTransform::TxTranslate &&
                      p.paintEngine() && p.paintEngine()->type() == QPaintEngine::Raster;
  const QRectF a = CellArea(size);
  if (raster) {
    PaintFrame(p, size);
  } else {
    p.fillRect(QRectF(QPointF(0, 0), size), FStyle.Window);
    PaintLegend(p);
    if (Columns() > 0) PaintLabels(p, a);
  }
  if (Columns() == 0) {
    p.setPen(FStyle.Text);
    p.setFont(FStyle.Font);
    p.drawText(a, Qt::AlignCenter, Tr("Нет данных опроса"));
    p.restore();
    return;
  }
  if (raster)
    PaintRasterCells(p, a);
  else
    PaintVectorCells(p, a);
  PaintMarks(p, a, !raster);
  p.restore();
}

void TLineOverviewPainter::PaintFrame(QPainter& p, const QSizeF& size) const {
  const qreal ratio = p.device() ? p.device()->devicePixelRatioF() : 1.0;
  const TFrameKey key{size.toSize(), ratio, FLabelGeneration};
  if (!(key == FFrameKey) || FFrameImage.isNull()) {
    FFrameImage = QImage((QSizeF(key.Size) * ratio).toSize(), QImage::Format_RGB32);
    FFrameImage.setDevicePixelRatio(ratio);
    FFrameImage.fill(FStyle.Window);
    QPainter f(&FFrameImage);
    PaintLegend(f);
    if (Columns() > 0) PaintLabels(f, CellArea(size));
    FFrameKey = key;
  }
  // Only the frame around the cells: the cells cover the rest.
  const QRect whole(QPoint(0, 0), key.Size);
  const QRect cells = CellArea(size).toAlignedRect() & whole;
  if (Columns() == 0 || cells.isEmpty()) {
    p.drawImage(QPointF(0, 0), FFrameImage);
    return;
  }
  const QRect strips[] = {
      QRect(0, 0, whole.width(), cells.top()), QRect(0, cells.top(), cells.left(), cells.height()),
      QRect(cells.right() + 1, cells.top(), whole.width() - cells.right() - 1, cells.height()),
      QRect(0, cells.bottom() + 1, whole.width(), whole.height() - cells.bottom() - 1)};
  for (const QRect& r : strips)
    if (!r.isEmpty())
      p.drawImage(QRectF(r), FFrameImage,
                  QRectF(QPointF(r.topLeft()) * ratio, QSizeF(r.size()) * ratio));
}

void TLineOverviewPainter::PaintRasterCells(QPainter& p, const QRectF& area) const {
  const qreal ratio = p.device() ? p.device()->devicePixelRatioF() : 1.0;
  const QRect a = area.toAlignedRect();
  const TFrameKey key{a.size(), ratio, FGeneration};
  if (!(key == FCellKey) || FCellImage.isNull()) {
    // Built in device pixels: a row of cells once per cell row, copied for
    // each pixel row it covers; grid lines where cells are 4 pixels or more.
    const int n = Columns(), width = static_cast<int>(a.width() * ratio),
              height = static_cast<int>(a.height() * ratio);
    FCellImage = QImage(std::max(1, width), std::max(1, height), QImage::Format_RGB32);
    FCellImage.setDevicePixelRatio(ratio);
    const std::vector<int> xs = Edges(n, width), ys = Edges(FRows, height);
    const bool columnGrid = width >= 4 * n, rowGrid = height >= 4 * FRows;
    const QRgb grid = FStyle.Window.rgb();
    std::vector<QRgb> line(static_cast<std::size_t>(std::max(1, width)));
    for (int r = 0; r < FRows; ++r) {
      const QRgb* cells = reinterpret_cast<const QRgb*>(FCells.constScanLine(r));
      for (int i = 0; i < n; ++i) {
        const int x0 = xs[static_cast<std::size_t>(i)], x1 = xs[static_cast<std::size_t>(i) + 1];
        std::fill(line.begin() + x0, line.begin() + x1, cells[i]);
        if (columnGrid && i > 0) line[static_cast<std::size_t>(x0)] = grid;
      }
      const int y0 = ys[static_cast<std::size_t>(r)], y1 = ys[static_cast<std::size_t>(r) + 1];
      for (int y = y0; y < y1; ++y) {
        QRgb* out = reinterpret_cast<QRgb*>(FCellImage.scanLine(y));
        if (rowGrid && r > 0 && y == y0)
          std::fill(out, out + width, grid);
        else
          std::memcpy(out, line.data(), sizeof(QRgb) * static_cast<std::size_t>(width));
      }
    }
    // The levels: a black mark in a white band across each answering column.
    const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0);
    const int band = std::max(1, static_cast<int>(std::lround(2 * ratio)));
    for (int i = 0; i < n; ++i) {
      const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
      if (!d.Ok()) continue;
      const int x0 = xs[static_cast<std::size_t>(i)],
                x1 = std::max(x0 + 1, xs[static_cast<std::size_t>(i) + 1]);
      const int y =
          static_cast<int>(height - std::min(1.0, double(d.Level) / FLevelScaleDm) * height);
      for (int yy = y - band; yy < y + band; ++yy) {
        if (yy < 0 || yy >= height) continue;
        const bool inner = yy >= y - band / 2 - (band == 1 ? 1 : 0) && yy < y + band / 2;
        QRgb* out = reinterpret_cast<QRgb*>(FCellImage.scanLine(yy));
        std::fill(out + x0, out + std::min(x1, width), inner ? black : white);
      }
    }
    FCellKey = key;
  }
  p.drawImage(QPointF(a.topLeft()), FCellImage);
}

void TLineOverviewPainter::PaintVectorCells(QPainter& p, const QRectF& a) const {
  // One rectangle a run of equal cells down a column.
  const int n = Columns();
  const double w = a.width() / n, h = a.height() / FRows;
  for (int x = 0; x < n; ++x) {
    int start = 0;
    for (int y = 1; y <= FRows; ++y) {
      if (y < FRows && FCells.pixel(x, y) == FCells.pixel(x, start)) continue;
      p.fillRect(QRectF(a.left() + x * w, a.top() + start * h, w, (y - start) * h),
                 QColor(FCells.pixel(x, start)));
      start = y;
    }
  }
  // Grid lines where the cells are wide enough to keep their colour.
  const double line = std::min(1.0, std::max(w, h) / 8);
  if (w >= 4)
    for (int i = 1; i < n; ++i)
      p.fillRect(QRectF(a.left() + i * w - line / 2, a.top(), line, a.height()), FStyle.Window);
  if (h >= 4)
    for (int r = 1; r < FRows; ++r)
      p.fillRect(QRectF(a.left(), a.top() + r * h - line / 2, a.width(), line), FStyle.Window);
}

void TLineOverviewPainter::PaintMarks(QPainter& p, const QRectF& a, bool levels) const {
  const int n = Columns();
  const double w = a.width() / n, h = a.height() / FRows;
  // Fault and no-data cells: a cross and a stroke where there is room, drawn
  // in one call each; alarmed cells a frame.
  QVector<QLineF> crosses, strokes;
  QVector<QRectF> outlines, alarms;
  QVector<QRectF> alarmBars;
  for (int i = 0; i < n; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    const double x = a.left() + i * w;
    if (Alarmed(d, 0)) alarmBars << QRectF(x, a.top() - kMarkGap / 2 - 1, w, 3);
    if (!FAlarms.empty())
      for (std::size_t s = 0; s < d.Temperatures.size(); ++s)
        if (Alarmed(d, static_cast<int>(s) + 1))
          alarms << QRectF(x + 1, a.top() + RowOf(static_cast<int>(s) + 1) * h + 1, w - 2, h - 2);
    if (!d.Ok()) continue;
    if (w >= 6 && h >= 6) {
      for (std::size_t s = 0; s < d.Temperatures.size(); ++s) {
        const std::uint16_t word = d.Temperatures[s];
        if (word != kNoDataTemperature && !IsFault(word)) continue;
        const QRectF c(x + 1.5, a.top() + RowOf(static_cast<int>(s) + 1) * h + 1.5, w - 3, h - 3);
        if (IsFault(word)) {
          crosses << QLineF(c.topLeft(), c.bottomRight()) << QLineF(c.topRight(), c.bottomLeft());
        } else {
          outlines << c;
          strokes << QLineF(c.bottomLeft(), c.topRight());
        }
      }
    }
    if (levels) {
      // The level: a mark across the column at its height on the line's scale.
      const double y = a.bottom() - std::min(1.0, double(d.Level) / FLevelScaleDm) * a.height();
      p.fillRect(QRectF(x, y - 2, w, 4), Qt::white);
      p.fillRect(QRectF(x, y - 1, w, 2), Qt::black);
    }
  }
  const double pen = levels ? 0.5 : 0;  // cosmetic 1-pixel pens on screen: the fast path
  p.setPen(QPen(Qt::white, pen));
  p.drawLines(crosses);
  p.setPen(QPen(QColor(0x90, 0x90, 0x90), pen));
  p.setBrush(Qt::NoBrush);
  p.drawRects(outlines);
  p.drawLines(strokes);
  if (!alarms.isEmpty()) {
    p.setPen(QPen(kAlarmMarkColor, std::clamp(std::min(w, h) / 5, 1.0, 2.0)));
    p.drawRects(alarms);
  }
  for (const QRectF& r : alarmBars) p.fillRect(r, kAlarmMarkColor);
  if (FCurrent >= 0 && FCurrent < n) {
    const QRectF c(a.left() + FCurrent * w, a.top(), w, a.height());
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(c.adjusted(-1, -1, 1, 1));
    const double cx = c.center().x();
    p.setBrush(Qt::black);
    p.drawPolygon(QPolygonF({QPointF(cx - 5, a.top() - kMarkGap),
                             QPointF(cx + 5, a.top() - kMarkGap), QPointF(cx, a.top() - 2)}));
    p.setBrush(Qt::NoBrush);
  }
}

void TLineOverviewPainter::PaintLabels(QPainter& p, const QRectF& a) const {
  const QFontMetricsF fm(FStyle.Font);
  p.setFont(FStyle.Font);
  const int n = Columns();
  const double w = a.width() / n, h = a.height() / FRows;
  p.setPen(FStyle.Text);
  // Sensor numbers on the left, as many as fit.
  const int step = std::max(1, static_cast<int>(std::ceil((fm.height() + 2) / h)));
  for (int s = 1; s <= FRows; s += step) {
    const QRectF r(0, a.top() + RowOf(s) * h, a.left() - 4, h);
    p.drawText(r, Qt::AlignRight | Qt::AlignVCenter, QString::number(s));
  }
  // Device names, or addresses, under the columns where they fit.
  const QRectF band(a.left(), a.bottom() + 2, a.width(), fm.height() + 2);
  for (int i = 0; i < n; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    QString label;
    if (w >= 40)
      label = fm.elidedText(QString::fromStdString(d.Name), Qt::ElideRight, w - 2);
    else if (w >= fm.horizontalAdvance(QStringLiteral("255")) + 2)
      label = QString::number(d.SystemAddress);
    if (!label.isEmpty())
      p.drawText(QRectF(band.left() + i * w, band.top(), w, band.height()), Qt::AlignCenter, label);
  }
}

void TLineOverviewPainter::PaintLegend(QPainter& p) const {
  const QFontMetricsF fm(FStyle.Font);
  p.setFont(FStyle.Font);
  const double box = std::ceil(fm.height()) - 4, y = 4;
  double x = 6;
  const auto swatch = [&](const QColor& color, const QString& text, int mark) {
    const QRectF r(x, y + 2, box, box);
    p.fillRect(r, color);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r);
    if (mark == 1) {  // fault: a cross
      p.setPen(Qt::white);
      p.drawLine(r.topLeft() + QPointF(2, 2), r.bottomRight() - QPointF(2, 2));
      p.drawLine(r.topRight() + QPointF(-2, 2), r.bottomLeft() + QPointF(2, -2));
    } else if (mark == 2) {  // no data: a stroke
      p.drawLine(r.bottomLeft(), r.topRight());
    } else if (mark == 3) {  // the level mark
      p.fillRect(r, FStyle.Window);
      p.setPen(QPen(Qt::black, 2));
      p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
    } else if (mark == 4) {  // an alarm: a frame
      p.setPen(QPen(kAlarmMarkColor, 2));
      p.drawRect(r.adjusted(1, 1, -1, -1));
    }
    p.setPen(FStyle.Text);
    const double advance = fm.horizontalAdvance(text);
    p.drawText(QRectF(x + box + 4, y, advance + 2, fm.height()), Qt::AlignVCenter, text);
    x += box + 4 + advance + 12;
  };
  const QStringList labels = FScale.BandLabels();
  for (int b = 0; b < 4; ++b)
    swatch(TTemperatureScale::kBandColors[static_cast<std::size_t>(b)], labels[b] + Tr(" °C"), 0);
  swatch(TTemperatureScale::kFaultColor, Tr("неисправен"), 1);
  swatch(TTemperatureScale::kNoDataColor, Tr("нет данных"), 2);
  swatch(TTemperatureScale::kFailedColor, Tr("нет связи"), 0);
  swatch(Qt::white, Tr("уровень (0 … %1 дм)").arg(FLevelScaleDm), 3);
  if (!FAlarms.empty()) swatch(Qt::white, Tr("тревога"), 4);
}
