#include "OverviewDock.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSvgGenerator>
#include <QToolTip>
#include <algorithm>
#include <cmath>

#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr int kRightMargin = 6;
constexpr int kMarkGap = 8;  // room above the cells for the current device's mark

bool IsFault(std::uint16_t w) {
  return w == kFaultTemperatureA || w == kFaultTemperatureB;
}

QString DeviceTitle(const TDeviceReading& d) {
  return Tr("%1 (зав. № %2, адрес %3)")
      .arg(QString::fromStdString(d.Name))
      .arg(d.PlantNumber)
      .arg(d.SystemAddress);
}

}  // namespace

TLineOverview::TLineOverview(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("LineOverview"));
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TLineOverview::SetData(TSnapshotPtr snapshot, int current) {
  const bool resized =
      !FSnapshot || !snapshot || FSnapshot->Devices.size() != snapshot->Devices.size();
  FSnapshot = std::move(snapshot);
  FCurrent = current;
  Rebuild();
  if (resized) updateGeometry();
  update();
}

void TLineOverview::SetScale(const TTemperatureScale& scale) {
  FScale = scale;
  Rebuild();
  update();
}

void TLineOverview::SetSensorOneAtTop(bool top) {
  FSensorOneAtTop = top;
  Rebuild();
  update();
}

int TLineOverview::Columns() const {
  return FSnapshot ? static_cast<int>(FSnapshot->Devices.size()) : 0;
}

int TLineOverview::RowOf(int sensor) const {
  return FSensorOneAtTop ? sensor - 1 : Rows() - sensor;
}

void TLineOverview::Rebuild() {
  const int columns = Columns();
  int rows = 1, level = 0;
  for (int i = 0; i < columns; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    rows = std::max(rows, static_cast<int>(d.Temperatures.size()));
    if (d.Ok()) level = std::max<int>(level, d.Level);
  }
  // The level scale: the fullest bunker of the line and a tenth more (so
  // that its mark stays clear of the top), rounded up to a metre.
  FLevelScaleDm = std::max(10, (level * 11 / 10 + 9) / 10 * 10);
  if (columns == 0) {
    FCells = QImage();
    return;
  }
  if (FCells.width() != columns || FCells.height() != rows)
    FCells = QImage(columns, rows, QImage::Format_RGB32);
  FCells.fill(palette().color(QPalette::Window));
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

QRectF TLineOverview::CellArea() const {
  const QFontMetrics fm = fontMetrics();
  const double legend = fm.height() + 8;
  const double left = fm.horizontalAdvance(QStringLiteral("32")) + 10;
  const double bottom = fm.height() + 6;
  return QRectF(left, legend + kMarkGap, std::max(1.0, width() - left - kRightMargin),
                std::max(1.0, height() - legend - kMarkGap - bottom));
}

QSize TLineOverview::minimumSizeHint() const {
  const QFontMetrics fm = fontMetrics();
  // A pixel a device before the view scrolls.
  return QSize(
      fm.horizontalAdvance(QStringLiteral("32")) + 10 + kRightMargin + std::max(1, Columns()),
      3 * fm.height() + 40);
}

QSize TLineOverview::sizeHint() const {
  return QSize(std::max(minimumSizeHint().width(), 480), 320);
}

int TLineOverview::ColumnAt(const QPoint& pos) const {
  const int n = Columns();
  const QRectF a = CellArea();
  if (n == 0 || pos.x() < a.left() || pos.x() >= a.right() || pos.y() < a.top() - kMarkGap)
    return -1;
  return std::clamp(static_cast<int>((pos.x() - a.left()) * n / a.width()), 0, n - 1);
}

int TLineOverview::SensorAt(const QPoint& pos) const {
  const QRectF a = CellArea();
  if (ColumnAt(pos) < 0 || pos.y() < a.top() || pos.y() >= a.bottom()) return 0;
  const int row =
      std::clamp(static_cast<int>((pos.y() - a.top()) * Rows() / a.height()), 0, Rows() - 1);
  return FSensorOneAtTop ? row + 1 : Rows() - row;
}

QPoint TLineOverview::CellCentre(int device, int sensor) const {
  const QRectF a = CellArea();
  const double w = a.width() / std::max(1, Columns()), h = a.height() / Rows();
  return QPointF(a.left() + (device + 0.5) * w, a.top() + (RowOf(sensor) + 0.5) * h).toPoint();
}

QColor TLineOverview::CellColor(int device, int sensor) const {
  if (FCells.isNull() || device < 0 || device >= FCells.width() || sensor < 1 || sensor > Rows())
    return {};
  return QColor(FCells.pixel(device, RowOf(sensor)));
}

QString TLineOverview::ToolTipAt(const QPoint& pos) const {
  const int column = ColumnAt(pos);
  if (column < 0) return {};
  const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(column)];
  QStringList lines{DeviceTitle(d)};
  if (d.Outcomes.empty()) {
    lines << Tr("Не опрашивался");
    return lines.join(QLatin1Char('\n'));
  }
  if (!d.Ok()) {
    lines << QString::fromStdString(d.FailureText());
    return lines.join(QLatin1Char('\n'));
  }
  const int sensor = SensorAt(pos);
  if (sensor >= 1 && sensor <= static_cast<int>(d.Temperatures.size()))
    lines << Tr("Датчик %1: %2")
                 .arg(sensor)
                 .arg(WordText(d.Temperatures[static_cast<std::size_t>(sensor - 1)]));
  lines << Tr("H = %1 дм").arg(d.Level);
  return lines.join(QLatin1Char('\n'));
}

bool TLineOverview::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const QString text = ToolTipAt(help->pos());
    if (text.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(help->globalPos(), text, this);
    return true;
  }
  return QWidget::event(e);
}

void TLineOverview::mousePressEvent(QMouseEvent* e) {
  const int column = ColumnAt(e->position().toPoint());
  if (e->button() == Qt::LeftButton && column >= 0) emit ColumnClicked(column);
  QWidget::mousePressEvent(e);
}

void TLineOverview::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Paint(p);
}

void TLineOverview::Paint(QPainter& p, bool vector) const {
  p.fillRect(rect(), palette().color(QPalette::Window));
  PaintLegend(p);
  const int n = Columns();
  const QRectF a = CellArea();
  if (n == 0) {
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(a, Qt::AlignCenter, Tr("Нет данных опроса"));
    return;
  }
  if (vector) {
    // A picture for a vector file: one rectangle a cell, no embedded image.
    const double w = a.width() / n, h = a.height() / Rows();
    for (int x = 0; x < FCells.width(); ++x)
      for (int y = 0; y < FCells.height(); ++y)
        p.fillRect(QRectF(a.left() + x * w, a.top() + y * h, w, h), QColor(FCells.pixel(x, y)));
  } else {
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(a, FCells);
  }
  PaintPatterns(p, a);
  PaintLabels(p, a);
}

void TLineOverview::PaintPatterns(QPainter& p, const QRectF& a) const {
  const int n = Columns();
  const double w = a.width() / n, h = a.height() / Rows();
  // Grid lines where the cells are wide enough to keep their colour. Lines,
  // marks and frames are filled rectangles: a wide pen would be stroked as a
  // path, hundreds of times a repaint.
  const QColor gridColor = palette().color(QPalette::Window);
  const QRect whole = a.toAlignedRect();
  if (w >= 4)
    for (int i = 1; i < n; ++i)
      p.fillRect(QRect(static_cast<int>(a.left() + i * w), whole.top(), 1, whole.height()),
                 gridColor);
  if (h >= 4)
    for (int r = 1; r < Rows(); ++r)
      p.fillRect(QRect(whole.left(), static_cast<int>(a.top() + r * h), whole.width(), 1),
                 gridColor);
  // Fault and no-data cells: a cross and a stroke where there is room, drawn
  // in one call each.
  QVector<QLineF> crosses, strokes;
  QVector<QRectF> outlines;
  for (int i = 0; i < n; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    const double x = a.left() + i * w;
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
    // The level: a mark across the column at its height on the line's scale.
    const double y = a.bottom() - std::min(1.0, double(d.Level) / FLevelScaleDm) * a.height();
    const int left = static_cast<int>(x), right = static_cast<int>(x + w),
              top = static_cast<int>(y);
    p.fillRect(QRect(left, top - 2, std::max(1, right - left), 4), Qt::white);
    p.fillRect(QRect(left, top - 1, std::max(1, right - left), 2), Qt::black);
  }
  p.setPen(QPen(Qt::white, 0));  // cosmetic 1-pixel pens: the fast path
  p.drawLines(crosses);
  p.setPen(QPen(QColor(0x90, 0x90, 0x90), 0));
  p.setBrush(Qt::NoBrush);
  p.drawRects(outlines);
  p.drawLines(strokes);
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

void TLineOverview::PaintLabels(QPainter& p, const QRectF& a) const {
  const QFontMetrics fm = fontMetrics();
  const int n = Columns();
  const double w = a.width() / n, h = a.height() / Rows();
  p.setPen(palette().color(QPalette::WindowText));
  // Sensor numbers on the left, as many as fit.
  const int step = std::max(1, static_cast<int>(std::ceil((fm.height() + 2) / h)));
  for (int s = 1; s <= Rows(); s += step) {
    const QRectF r(0, a.top() + RowOf(s) * h, a.left() - 4, h);
    p.drawText(r, Qt::AlignRight | Qt::AlignVCenter, QString::number(s));
  }
  // Device names, or addresses, under the columns where they fit.
  const QRectF band(a.left(), a.bottom() + 2, a.width(), fm.height() + 2);
  for (int i = 0; i < n; ++i) {
    const TDeviceReading& d = FSnapshot->Devices[static_cast<std::size_t>(i)];
    QString label;
    if (w >= 40)
      label =
          fm.elidedText(QString::fromStdString(d.Name), Qt::ElideRight, static_cast<int>(w) - 2);
    else if (w >= fm.horizontalAdvance(QStringLiteral("255")) + 2)
      label = QString::number(d.SystemAddress);
    if (!label.isEmpty())
      p.drawText(QRectF(band.left() + i * w, band.top(), w, band.height()), Qt::AlignCenter, label);
  }
}

void TLineOverview::PaintLegend(QPainter& p) const {
  const QFontMetrics fm = fontMetrics();
  const int box = fm.height() - 4, y = 4;
  int x = 6;
  const auto swatch = [&](const QColor& color, const QString& text, int mark) {
    const QRect r(x, y + 2, box, box);
    p.fillRect(r, color);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawRect(r);
    if (mark == 1) {  // fault: a cross
      p.setPen(Qt::white);
      p.drawLine(r.topLeft() + QPoint(2, 2), r.bottomRight() - QPoint(2, 2));
      p.drawLine(r.topRight() + QPoint(-2, 2), r.bottomLeft() + QPoint(2, -2));
    } else if (mark == 2) {  // no data: a stroke
      p.drawLine(r.bottomLeft(), r.topRight());
    } else if (mark == 3) {  // the level mark
      p.fillRect(r, palette().color(QPalette::Window));
      p.setPen(QPen(Qt::black, 2));
      p.drawLine(r.left(), r.center().y(), r.right(), r.center().y());
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(x + box + 4, y, fm.horizontalAdvance(text) + 2, fm.height(), Qt::AlignVCenter, text);
    x += box + 4 + fm.horizontalAdvance(text) + 12;
  };
  const QStringList labels = FScale.BandLabels();
  for (int b = 0; b < 4; ++b)
    swatch(TTemperatureScale::kBandColors[static_cast<std::size_t>(b)], labels[b] + Tr(" °C"), 0);
  swatch(TTemperatureScale::kFaultColor, Tr("неисправен"), 1);
  swatch(TTemperatureScale::kNoDataColor, Tr("нет данных"), 2);
  swatch(TTemperatureScale::kFailedColor, Tr("нет связи"), 0);
  swatch(Qt::white, Tr("уровень (0 … %1 дм)").arg(FLevelScaleDm), 3);
}

// --- the dock ------------------------------------------------------------------------

TOverviewDock::TOverviewDock(TViewHub* hub, QWidget* parent)
    : TViewDock(QStringLiteral("OverviewDock"), Tr("Обзор линии"), parent), FHub(hub) {
  FView = new TLineOverview;
  FView->SetScale(TTemperatureScale::Load(*this));
  FScroll = new QScrollArea(this);
  FScroll->setObjectName(QStringLiteral("saOverview"));
  FScroll->setWidgetResizable(true);
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setWidget(FView);

  auto* thresholds = new QAction(Tr("Пороги температуры…"), this);
  thresholds->setObjectName(QStringLiteral("OverviewThresholdsAction"));
  connect(thresholds, &QAction::triggered, this,
          [this] { RunGuarded([this] { EditThresholds(); }); });
  FSensorOneAtBottom = new QAction(Tr("Датчик 1 внизу"), this);
  FSensorOneAtBottom->setObjectName(QStringLiteral("OverviewSensorOneAtBottomAction"));
  FSensorOneAtBottom->setCheckable(true);
  connect(FSensorOneAtBottom, &QAction::toggled, this,
          [this](bool bottom) { SetSensorOneAtTop(!bottom); });
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  FView->addActions({separator, thresholds, FSensorOneAtBottom});
  FScroll->addActions(FView->actions());
  SetContent(FScroll);
  FView->setContextMenuPolicy(Qt::ActionsContextMenu);
  FView->insertActions(separator, {SaveImageAction(), CopyImageAction()});
  FSensorOneAtBottom->setChecked(!Option(QStringLiteral("sensorOneAtTop"), true).toBool());

  connect(FHub, &TViewHub::SnapshotReady, this, &TViewDock::ScheduleRefresh);
  connect(FHub, &TViewHub::CurrentChanged, this, &TViewDock::ScheduleRefresh);
  connect(FView, &TLineOverview::ColumnClicked, FHub, &TViewHub::RequestSelect);
}

void TOverviewDock::RefreshView() {
  FView->SetData(FHub->Latest(), FHub->CurrentIndex());
}

bool TOverviewDock::SetThresholds(const std::array<double, 3>& thresholds) {
  if (!TTemperatureScale::Valid(thresholds)) return false;
  TTemperatureScale scale;
  scale.Thresholds = thresholds;
  scale.Save(*this);
  FView->SetScale(scale);
  return true;
}

void TOverviewDock::SetSensorOneAtTop(bool top) {
  SetOption(QStringLiteral("sensorOneAtTop"), top);
  FView->SetSensorOneAtTop(top);
  if (FSensorOneAtBottom->isChecked() == top) FSensorOneAtBottom->setChecked(!top);
}

void TOverviewDock::EditThresholds() {
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("TThresholdsForm"));
  dialog.setWindowTitle(Tr("Пороги температуры"));
  auto* form = new QFormLayout(&dialog);
  const char* labels[3] = {"Прохладно до, °C", "Тепло от, °C", "Горячо от, °C"};
  QDoubleSpinBox* boxes[3];
  for (int i = 0; i < 3; ++i) {
    boxes[i] = new QDoubleSpinBox(&dialog);
    boxes[i]->setObjectName(QStringLiteral("eThreshold%1").arg(i + 1));
    boxes[i]->setRange(-60, 120);
    boxes[i]->setDecimals(1);
    boxes[i]->setValue(FView->Scale().Thresholds[static_cast<std::size_t>(i)]);
    form->addRow(Tr(labels[i]), boxes[i]);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("btnOk"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Tr("Отмена"));
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  const std::array<double, 3> t{boxes[0]->value(), boxes[1]->value(), boxes[2]->value()};
  if (!SetThresholds(t))
    MessageDlg(Tr("Пороги должны возрастать: %1 < %2 < %3 не выполняется. Пороги не изменены.")
                   .arg(DegreesText(t[0]), DegreesText(t[1]), DegreesText(t[2])),
               mtError, mbOK, this);
}

QSize TOverviewDock::ImageSize() const {
  return FView->size().isEmpty() ? QSize(800, 360) : FView->size();
}

void TOverviewDock::RenderImage(QPainter& painter, const QSize& size) {
  if (FView->size() != size) FView->resize(size);
  FView->Paint(painter, dynamic_cast<QSvgGenerator*>(painter.device()) != nullptr);
}
