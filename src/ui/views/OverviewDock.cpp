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

#include "Dialogs.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
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
  Restyle();
}

void TLineOverview::Restyle() {
  FPainter.SetStyle(PaintStyleOf(*this));
}

void TLineOverview::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange) {
    Restyle();
    update();
  }
  QWidget::changeEvent(e);
}

void TLineOverview::SetData(TSnapshotPtr snapshot, int current) {
  const TSnapshotPtr& old = FPainter.Snapshot();
  const bool resized = !old || !snapshot || old->Devices.size() != snapshot->Devices.size();
  FPainter.SetSnapshot(std::move(snapshot));
  FPainter.SetCurrent(current);
  if (resized) updateGeometry();
  update();
}

void TLineOverview::SetScale(const TTemperatureScale& scale) {
  FPainter.SetScale(scale);
  update();
}

void TLineOverview::SetSensorOneAtTop(bool top) {
  FPainter.SetSensorOneAtTop(top);
  update();
}

void TLineOverview::SetAlarms(TAlarmCells alarms) {
  FPainter.SetAlarms(std::move(alarms));
  update();
}

QSize TLineOverview::minimumSizeHint() const {
  return FPainter.MinimumSize().toSize();
}

QSize TLineOverview::sizeHint() const {
  return QSize(std::max(minimumSizeHint().width(), 480), 320);
}

int TLineOverview::ColumnAt(const QPoint& pos) const {
  return FPainter.ColumnAt(size(), pos);
}

int TLineOverview::SensorAt(const QPoint& pos) const {
  return FPainter.SensorAt(size(), pos);
}

QPoint TLineOverview::CellCentre(int device, int sensor) const {
  return FPainter.CellCentre(size(), device, sensor).toPoint();
}

QColor TLineOverview::CellColor(int device, int sensor) const {
  return FPainter.CellColor(device, sensor);
}

QString TLineOverview::ToolTipAt(const QPoint& pos) const {
  const int column = ColumnAt(pos);
  if (column < 0) return {};
  const TDeviceReading& d = FPainter.Snapshot()->Devices[static_cast<std::size_t>(column)];
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
  FPainter.Paint(p, rect(), vector ? TLineOverviewPainter::Vector : TLineOverviewPainter::Auto);
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
  connect(FHub, &TViewHub::AlarmsChanged, this, &TViewDock::ScheduleRefresh);
  connect(FView, &TLineOverview::ColumnClicked, FHub, &TViewHub::RequestSelect);
}

void TOverviewDock::RefreshView() {
  FView->SetAlarms(FHub->Alarms());
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
  form->addRow(MakeOkCancelButtons(dialog));
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
