#include "ProfileDock.h"

#include <QAction>
#include <QEvent>
#include <QPainter>

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

TProfileView::TProfileView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ProfileView"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  FPainter.SetReading(nullptr, 0, Tr("Нет выбранного прибора"));
  Restyle();
}

void TProfileView::Restyle() {
  FPainter.SetStyle(PaintStyleOf(*this));
}

void TProfileView::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange) {
    Restyle();
    update();
  }
  QWidget::changeEvent(e);
}

void TProfileView::SetReading(const TDeviceReading* reading, std::int64_t timeMs,
                              const QString& emptyText) {
  FPainter.SetReading(reading, timeMs, emptyText);
  update();
}

void TProfileView::SetSensorOneAtTop(bool top) {
  FPainter.SetSensorOneAtTop(top);
  update();
}

void TProfileView::SetAlarmedSensors(std::set<int> sensors) {
  FPainter.SetAlarmedSensors(std::move(sensors));
  update();
}

void TProfileView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Paint(p);
}

void TProfileView::Paint(QPainter& p) const {
  FPainter.Paint(p, rect());
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
  connect(FHub, &TViewHub::AlarmsChanged, this, &TViewDock::ScheduleRefresh);
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
  const TDeviceReading& device = snapshot->Devices[static_cast<std::size_t>(index)];
  std::set<int> alarmed;
  for (const TAlarmCell& a : FHub->Alarms())
    if (a.PlantNumber == device.PlantNumber && a.Sensor > 0) alarmed.insert(a.Sensor);
  FView->SetAlarmedSensors(std::move(alarmed));
  FView->SetReading(&device, snapshot->TimeMs, QString());
}

QSize TProfileDock::ImageSize() const {
  return FView->size().isEmpty() ? QSize(360, 480) : FView->size();
}

void TProfileDock::RenderImage(QPainter& painter, const QSize& size) {
  if (FView->size() != size) FView->resize(size);
  FView->Paint(painter);
}
