#include "StatisticsDock.h"

#include <QBrush>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "FrameDecoder.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr int kTickMs = 500;

QString Kinds(const TDeviceStatistics& d) {
  QStringList parts;
  for (const auto& [text, count] : d.Failures)
    parts << QStringLiteral("%1 × %2").arg(count).arg(QString::fromStdString(text));
  return parts.join(QStringLiteral("; "));
}

}  // namespace

TStatisticsModel::TStatisticsModel(TLineStatistics* statistics, QObject* parent)
    : QAbstractTableModel(parent), FStatistics(statistics) {}

int TStatisticsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TStatisticsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : colCount;
}

QVariant TStatisticsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const titles[colCount] = {
      "Адрес",    "Зав. №",        "Прибор",          "Запросов",        "Успешно",      "Сбоев",
      "Успех, %", "Ответ ср., мс", "Ответ макс., мс", "Последний успех", "Сбои по видам"};
  return section >= 0 && section < colCount ? Tr(titles[section]) : QVariant();
}

QVariant TStatisticsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= colCount) return {};
  const TDeviceStatistics& d = FRows[static_cast<std::size_t>(index.row())];
  if (role == Qt::ForegroundRole && index.column() == colFailures && d.FailureCount() > 0)
    return QBrush(QColor(0xB0, 0x00, 0x00));
  if (role == Qt::TextAlignmentRole)
    return index.column() == colName || index.column() == colKinds
               ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
               : QVariant(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  switch (index.column()) {
    case colAddress:
      return d.Address;
    case colPlant:
      return d.PlantNumber ? QVariant(d.PlantNumber) : QVariant();
    case colName:
      return QString::fromStdString(d.Name);
    case colRequests:
      return QVariant::fromValue<qulonglong>(d.Requests);
    case colSuccesses:
      return QVariant::fromValue<qulonglong>(d.Successes);
    case colFailures:
      return QVariant::fromValue<qulonglong>(d.FailureCount());
    case colRate:
      return d.Requests ? QString::number(100.0 * d.Successes / d.Requests, 'f', 1) : QString();
    case colMean:
      return d.Responses ? QString::number(d.MeanResponseMs(), 'f', 1) : QString();
    case colWorst:
      return d.Responses ? QString::number(d.WorstResponseMs, 'f', 1) : QString();
    case colLastSuccess:
      return d.LastSuccessUs ? QString::fromStdString(FrameTimeText(d.LastSuccessUs, false))
                             : Tr("—");
    case colKinds:
      return Kinds(d);
    default:
      return {};
  }
}

bool TStatisticsModel::Update() {
  const std::uint64_t generation = FStatistics->Generation();
  if (generation == FGeneration) return false;
  FGeneration = generation;
  std::vector<TDeviceStatistics> fresh = FStatistics->Snapshot();
  bool sameDevices = fresh.size() == FRows.size();
  for (std::size_t i = 0; sameDevices && i < fresh.size(); ++i)
    sameDevices = fresh[i].Address == FRows[i].Address;
  if (!sameDevices) {
    // A device appeared or the statistics were reset: rare, so a reset.
    beginResetModel();
    FRows = std::move(fresh);
    endResetModel();
    return true;
  }
  FRows = std::move(fresh);
  if (!FRows.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, colCount - 1));
  return true;
}

void TStatisticsModel::Reset() {
  FStatistics->Reset();
  Update();
}

TStatisticsDock::TStatisticsDock(TLineStatistics* statistics, QWidget* parent)
    : TViewDock(QStringLiteral("StatisticsDock"), Tr("Статистика"), parent) {
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  auto* reset = new QPushButton(Tr("Сбросить"), content);
  reset->setObjectName(QStringLiteral("btnStatisticsReset"));
  bar->addWidget(reset);
  bar->addStretch(1);
  layout->addLayout(bar);
  FModel = new TStatisticsModel(statistics, this);
  FView = new QTableView(content);
  FView->setObjectName(QStringLiteral("tvStatistics"));
  FView->setModel(FModel);
  FView->setWordWrap(false);
  FView->verticalHeader()->hide();
  FView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  FView->horizontalHeader()->setStretchLastSection(true);
  const int widths[TStatisticsModel::colCount] = {50, 60, 110, 70, 70, 60, 70, 105, 115, 125, 300};
  for (int c = 0; c < TStatisticsModel::colCount; ++c) FView->setColumnWidth(c, widths[c]);
  layout->addWidget(FView, 1);
  SetContent(content);
  connect(reset, &QPushButton::clicked, this, [this] { FModel->Reset(); });
  auto* tick = new QTimer(this);
  tick->setInterval(kTickMs);
  connect(tick, &QTimer::timeout, this, &TStatisticsDock::ScheduleRefresh);
  tick->start();
}

void TStatisticsDock::RefreshView() {
  FModel->Update();
}
