#include "AlarmsDock.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "HistoryExport.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QString Time(std::int64_t ms) {
  return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

}  // namespace

void TAlarmsModel::SetAlarms(std::shared_ptr<const std::vector<TAlarm>> alarms) {
  beginResetModel();
  FAlarms = std::move(alarms);
  endResetModel();
}

const TAlarm* TAlarmsModel::At(int row) const {
  if (!FAlarms || row < 0 || row >= static_cast<int>(FAlarms->size())) return nullptr;
  return &(*FAlarms)[static_cast<std::size_t>(row)];
}

int TAlarmsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !FAlarms ? 0 : static_cast<int>(FAlarms->size());
}

int TAlarmsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : cCount;
}

QVariant TAlarmsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const titles[] = {"Время", "Прибор", "Зав. №", "Датчик", "Тревога",
                                       "Значение", "Порог", "Состояние", "Квитирована"};
  return section >= 0 && section < cCount ? Tr(titles[section]) : QVariant();
}

QVariant TAlarmsModel::data(const QModelIndex& index, int role) const {
  const TAlarm* a = At(index.row());
  if (!a) return {};
  if (role == Qt::BackgroundRole) {
    if (a->Active() && !a->Acknowledged()) return QColor(0xFF, 0xB0, 0xB0);
    if (a->Active()) return QColor(0xFF, 0xE0, 0xE0);
    return {};
  }
  if (role == Qt::FontRole && !a->Acknowledged()) {
    QFont bold;
    bold.setBold(true);
    return bold;
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case cTime:
      return Time(a->RaisedMs);
    case cDevice:
      return QString::fromStdString(a->DeviceName);
    case cPlant:
      return a->PlantNumber;
    case cSensor:
      return a->Sensor;
    case cKind:
      return QString::fromUtf8(AlarmKindText(a->Kind));
    case cValue:
      return QString::fromStdString(AlarmValueText(a->Kind, a->Value));
    case cLimit:
      return QString::fromStdString(AlarmValueText(a->Kind, a->Limit));
    case cState:
      return a->Active() ? Tr("активна") : Tr("снята %1").arg(Time(a->ClearedMs));
    case cAck:
      return a->Acknowledged()
                 ? Tr("%1, %2").arg(Time(a->AckMs), QString::fromStdString(a->AckBy))
                 : QString();
    default:
      return {};
  }
}

TAlarmsDock::TAlarmsDock(TAcknowledge acknowledge, QWidget* parent)
    : TViewDock(QStringLiteral("AlarmsDock"), Tr("Тревоги"), parent),
      FAcknowledge(std::move(acknowledge)) {
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  FAckSelected = new QPushButton(Tr("Квитировать"), content);
  FAckSelected->setObjectName(QStringLiteral("btnAcknowledge"));
  FAckAll = new QPushButton(Tr("Квитировать все"), content);
  FAckAll->setObjectName(QStringLiteral("btnAcknowledgeAll"));
  FNotice = new QLabel(content);
  FNotice->setObjectName(QStringLiteral("lAlarmsNotice"));
  FNotice->setWordWrap(true);
  bar->addWidget(FAckSelected);
  bar->addWidget(FAckAll);
  bar->addWidget(FNotice, 1);
  layout->addLayout(bar);
  FModel = new TAlarmsModel(this);
  FTable = new QTableView(content);
  FTable->setObjectName(QStringLiteral("tvAlarms"));
  FTable->setModel(FModel);
  FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  FTable->verticalHeader()->hide();
  FTable->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(FTable, 1);
  SetContent(content);
  connect(FAckSelected, &QPushButton::clicked, this, &TAlarmsDock::AcknowledgeSelected);
  connect(FAckAll, &QPushButton::clicked, this, &TAlarmsDock::AcknowledgeAll);
}

void TAlarmsDock::SetAlarms(std::shared_ptr<const std::vector<TAlarm>> alarms,
                            const QString& notice) {
  FPending = std::move(alarms);
  FNotice->setText(notice);
  ScheduleRefresh();
}

void TAlarmsDock::RefreshView() {
  if (FPending) FModel->SetAlarms(std::move(FPending));
  FPending.reset();
  FTable->resizeColumnsToContents();
}

void TAlarmsDock::AcknowledgeSelected() {
  std::vector<std::int64_t> ids;
  for (const QModelIndex& i : FTable->selectionModel()->selectedRows())
    if (const TAlarm* a = FModel->At(i.row()); a && !a->Acknowledged()) ids.push_back(a->Id);
  if (!ids.empty() && FAcknowledge) FAcknowledge(std::move(ids));
}

void TAlarmsDock::AcknowledgeAll() {
  std::vector<std::int64_t> ids;
  for (int r = 0; r < FModel->rowCount(); ++r)
    if (const TAlarm* a = FModel->At(r); a && !a->Acknowledged()) ids.push_back(a->Id);
  if (!ids.empty() && FAcknowledge) FAcknowledge(std::move(ids));
}
