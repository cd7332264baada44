#include "TrafficDock.h"

#include <QBrush>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "FrameDecoder.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

constexpr int kTickMs = 40;  // the dock asks for a refresh this often; the base caps it

}  // namespace

// ------------------------------------------------------------------- model

TTrafficModel::TTrafficModel(TFrameRing* ring, QObject* parent, std::size_t rows)
    : QAbstractTableModel(parent), FRing(ring), FLimit(rows ? rows : ring->Capacity()) {}

int TTrafficModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TTrafficModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : colCount;
}

QVariant TTrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const titles[colCount] = {"Время",       "",          "Чётность", "Байты",
                                               "Расшифровка", "Результат", "Ответ"};
  return section >= 0 && section < colCount ? Tr(titles[section]) : QVariant();
}

QVariant TTrafficModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= colCount) return {};
  const TFrameRecord& f = *FRows[static_cast<std::size_t>(index.row())];
  if (role == Qt::ForegroundRole && f.Failed) return QBrush(QColor(0xB0, 0x00, 0x00));
  if (role == Qt::ToolTipRole && index.column() == colBytes)
    return Q(FrameHex(f.Bytes.data(), f.Bytes.size()));
  if (role != Qt::DisplayRole) return {};
  // Decoded when shown: only the visible rows cost anything.
  switch (index.column()) {
    case colTime:
      return Q(FrameTimeText(f.TimeUs, false));
    case colDirection:
      return f.Direction == 'T' ? Tr("→") : Tr("←");
    case colParity:
      return Q(FrameParityText(f));
    case colBytes:
      return Q(FrameHex(f.Bytes.data(), f.Bytes.size(), 64));
    case colMeaning:
      return Q(DescribeFrame(f));
    case colResult:
      return f.Result ? Q(*f.Result) : QString();
    case colResponse:
      return Q(ResponseText(f));
    default:
      return {};
  }
}

bool TTrafficModel::Accepts(const TFrameRecord& f) const {
  if (FOnlyFailures && !f.Failed) return false;
  return FAddress < 0 || f.Address == FAddress;
}

std::size_t TTrafficModel::Drain(std::size_t maxFrames) {
  if (FPaused) return 0;
  std::vector<TFramePtr> fresh = FRing->Since(FLastSeq, maxFrames);
  if (fresh.empty()) return 0;
  FLastSeq = fresh.back()->Seq;
  bool newAddress = false;
  std::vector<TFramePtr> shown;
  for (TFramePtr& f : fresh) {
    if (f->Address >= 0) newAddress |= FAddresses.insert(f->Address).second;
    if (Accepts(*f)) shown.push_back(f);
    FAll.push_back(std::move(f));
  }
  // The oldest frames beyond the bound go first: one removal at the top.
  if (FAll.size() > FLimit) {
    const std::size_t drop = FAll.size() - FLimit;
    const std::uint64_t keepFrom = FAll[drop]->Seq;
    FAll.erase(FAll.begin(), FAll.begin() + static_cast<long>(drop));
    std::size_t rows = 0;
    while (rows < FRows.size() && FRows[rows]->Seq < keepFrom) ++rows;
    if (rows > 0) {
      beginRemoveRows({}, 0, static_cast<int>(rows) - 1);
      FRows.erase(FRows.begin(), FRows.begin() + static_cast<long>(rows));
      endRemoveRows();
    }
    // Frames of this very batch that are already beyond the bound.
    std::size_t skip = 0;
    while (skip < shown.size() && shown[skip]->Seq < keepFrom) ++skip;
    shown.erase(shown.begin(), shown.begin() + static_cast<long>(skip));
  }
  if (!shown.empty()) {
    const int first = static_cast<int>(FRows.size());
    beginInsertRows({}, first, first + static_cast<int>(shown.size()) - 1);
    FRows.insert(FRows.end(), shown.begin(), shown.end());
    endInsertRows();
  }
  if (newAddress) emit AddressesChanged();
  return fresh.size();
}

void TTrafficModel::Rebuild() {
  beginResetModel();
  FRows.clear();
  for (const TFramePtr& f : FAll)
    if (Accepts(*f)) FRows.push_back(f);
  endResetModel();
}

void TTrafficModel::SetAddressFilter(int address) {
  if (address == FAddress) return;
  FAddress = address;
  Rebuild();
}

void TTrafficModel::SetOnlyFailures(bool on) {
  if (on == FOnlyFailures) return;
  FOnlyFailures = on;
  Rebuild();
}

void TTrafficModel::Clear() {
  FRing->Clear();
  FLastSeq = FRing->LastSeq();
  beginResetModel();
  FAll.clear();
  FRows.clear();
  endResetModel();
}

std::string TTrafficModel::Text() const {
  std::string s;
  for (const TFramePtr& f : FRows) s += FrameLine(*f) + "\n";
  return s;
}

// -------------------------------------------------------------------- dock

TTrafficDock::TTrafficDock(TFrameRing* ring, QWidget* parent)
    : TViewDock(QStringLiteral("TrafficDock"), Tr("Обмен"), parent) {
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  FDevice = new QComboBox(content);
  FDevice->setObjectName(QStringLiteral("cbTrafficDevice"));
  FDevice->addItem(Tr("Все приборы"), -1);
  FOnlyFailures = new QCheckBox(Tr("Только сбои"), content);
  FOnlyFailures->setObjectName(QStringLiteral("chbTrafficFailures"));
  FPause = new QPushButton(Tr("Пауза"), content);
  FPause->setObjectName(QStringLiteral("btnTrafficPause"));
  FPause->setCheckable(true);
  auto* clear = new QPushButton(Tr("Очистить"), content);
  clear->setObjectName(QStringLiteral("btnTrafficClear"));
  auto* save = new QPushButton(Tr("Сохранить…"), content);
  save->setObjectName(QStringLiteral("btnTrafficSave"));
  FCount = new QLabel(content);
  FCount->setObjectName(QStringLiteral("lTrafficCount"));
  bar->addWidget(FDevice);
  bar->addWidget(FOnlyFailures);
  bar->addWidget(FPause);
  bar->addWidget(clear);
  bar->addWidget(save);
  bar->addStretch(1);
  bar->addWidget(FCount);
  layout->addLayout(bar);

  FModel = new TTrafficModel(ring, this);
  FView = new QTableView(content);
  FView->setObjectName(QStringLiteral("tvTraffic"));
  FView->setModel(FModel);
  FView->setWordWrap(false);
  FView->setSelectionBehavior(QAbstractItemView::SelectRows);
  FView->verticalHeader()->hide();
  FView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  FView->horizontalHeader()->setStretchLastSection(false);
  // Fixed widths: resizing to contents would measure every row.
  const int widths[TTrafficModel::colCount] = {90, 24, 90, 260, 420, 200, 70};
  for (int c = 0; c < TTrafficModel::colCount; ++c) FView->setColumnWidth(c, widths[c]);
  layout->addWidget(FView, 1);
  SetContent(content);

  FOnlyFailures->setChecked(Option(QStringLiteral("onlyFailures"), false).toBool());
  FModel->SetOnlyFailures(FOnlyFailures->isChecked());
  connect(FOnlyFailures, &QCheckBox::toggled, this, [this](bool on) {
    FModel->SetOnlyFailures(on);
    SetOption(QStringLiteral("onlyFailures"), on);
  });
  connect(FDevice, &QComboBox::currentIndexChanged, this,
          [this] { FModel->SetAddressFilter(FDevice->currentData().toInt()); });
  connect(FPause, &QPushButton::toggled, this, [this](bool paused) {
    FModel->SetPaused(paused);
    FPause->setText(paused ? Tr("Продолжить") : Tr("Пауза"));
    if (!paused) ScheduleRefresh();
  });
  connect(clear, &QPushButton::clicked, this, [this] {
    FModel->Clear();
    RefreshView();
  });
  connect(save, &QPushButton::clicked, this, [this] {
    const QString name =
        PromptFileName(this, TFileDialogKind::Save, Tr("Текст|*.txt"), QStringLiteral(".txt"));
    if (!name.isEmpty()) SaveTextInBackground(name);
  });
  connect(FModel, &TTrafficModel::AddressesChanged, this, &TTrafficDock::FillDevices);
  FTick = new QTimer(this);
  FTick->setInterval(kTickMs);
  connect(FTick, &QTimer::timeout, this, &TTrafficDock::ScheduleRefresh);
  FTick->start();
}

void TTrafficDock::FillDevices() {
  const int current = FDevice->currentData().toInt();
  const QSignalBlocker block(FDevice);
  FDevice->clear();
  FDevice->addItem(Tr("Все приборы"), -1);
  for (int a : FModel->Addresses()) FDevice->addItem(Tr("Адрес %1").arg(a), a);
  FDevice->setCurrentIndex(std::max(0, FDevice->findData(current)));
}

void TTrafficDock::RefreshView() {
  QScrollBar* scroll = FView->verticalScrollBar();
  const bool atEnd = scroll->value() >= scroll->maximum() - 2;
  if (FModel->Drain() > 0 && atEnd) FView->scrollToBottom();
  FCount->setText(Tr("Кадров: %1").arg(FModel->rowCount()));
}

namespace {

// Writes the frames as text lines; the reason when it cannot.
QString WriteFrames(const QString& fileName, const std::vector<TFramePtr>& frames) {
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  std::string chunk;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    chunk += FrameLine(*frames[i]) + "\n";
    if (chunk.size() > 1 << 16 || i + 1 == frames.size()) {
      if (file.write(chunk.data(), static_cast<qint64>(chunk.size())) !=
          static_cast<qint64>(chunk.size()))
        return file.errorString();
      chunk.clear();
    }
  }
  if (!file.commit()) return file.errorString();
  return {};
}

}  // namespace

TTrafficDock::~TTrafficDock() {
  if (FSaver.joinable()) FSaver.join();
}

bool TTrafficDock::SaveText(const QString& fileName) {
  const QString error = WriteFrames(fileName, FModel->Rows());
  if (error.isEmpty()) return true;
  MessageDlg(Tr("Не удалось сохранить файл %1:\n%2").arg(fileName, error), mtError, mbOK, this);
  return false;
}

void TTrafficDock::SaveTextInBackground(const QString& fileName) {
  if (FSaver.joinable()) FSaver.join();
  FCount->setText(Tr("Сохранение…"));
  FSaver = std::thread([this, fileName, frames = FModel->Rows()] {
    const QString error = WriteFrames(fileName, frames);
    QMetaObject::invokeMethod(
        this,
        [this, fileName, error, count = frames.size()] {
          if (!error.isEmpty())
            MessageDlg(Tr("Не удалось сохранить файл %1:\n%2").arg(fileName, error), mtError, mbOK,
                       this);
          else
            FCount->setText(Tr("Сохранено кадров: %1").arg(count));
        },
        Qt::QueuedConnection);
  });
}
