// Polling from the window: starting and stopping the polling thread, the
// polling period, and the data table sgData that replaces the device table
// and the state panel while polling runs.
#include <QAction>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QHash>
#include <QLocale>
#include <QSignalBlocker>
#include <QToolButton>
#include <algorithm>

#include "Animate.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "RequestThread.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
QString U(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

constexpr int kDataFirstSensorColumn = 4;  // C, H and the state come first
constexpr int kDataNameWidth = 96;
constexpr int kDataColumnWidth = 48;
constexpr int kDataRowHeight = 18;
constexpr std::uint32_t kMaximumPeriod = 1000000;  // ms, upper bound of the period dialog
constexpr int kStopWaitMs = 500;

// Holds the repainting of a grid for a scope, released also when an error
// passes.
class TGridUpdateLock {
 public:
  explicit TGridUpdateLock(TStringGrid* grid) : FGrid(grid) { FGrid->BeginUpdate(); }
  ~TGridUpdateLock() { FGrid->EndUpdate(); }
  TGridUpdateLock(const TGridUpdateLock&) = delete;
  TGridUpdateLock& operator=(const TGridUpdateLock&) = delete;

 private:
  TStringGrid* FGrid;
};

// TemperatureText with a memory: a line's temperatures take a few hundred
// distinct words, and formatting a number through the system locale is the
// dearest step of a refresh. The memory is dropped when the decimal
// separator changes. User-interface thread only.
QString CachedTemperatureText(std::uint16_t word) {
  static QHash<std::uint16_t, QString> texts;
  static QString point;
  const QString now = QLocale().decimalPoint();
  if (now != point) {
    texts.clear();
    point = now;
  }
  auto it = texts.constFind(word);
  if (it == texts.constEnd()) it = texts.insert(word, TMainForm::TemperatureText(word));
  return *it;
}

}  // namespace

QString TMainForm::StateText(std::uint16_t levelState, std::uint16_t temperatureState) {
  const unsigned state = (levelState | temperatureState) & 0x7FFFu;
  return QStringLiteral("0x") + QString::number(state, 16).toUpper().rightJustified(2, u'0');
}

QStringList TMainForm::DataRowTexts(const TDevice& device, int sensorColumns) {
  QStringList texts;
  texts.reserve(3 + std::max(0, sensorColumns));
  // A failed level read leaves old values behind: they are not shown.
  const bool levelFailed = (device.LevelState & kStateFailed) != 0;
  texts << (levelFailed ? QString() : QString::number(device.LevelCode))
        << (levelFailed ? QString() : QString::number(device.Level))
        << StateText(device.LevelState, device.TemperatureState);
  // The words as they stand, whatever the temperature state says: a failed
  // read has already put the no-data mark into the block.
  const std::vector<std::uint16_t> words = device.TemperaturesSnapshot();
  for (int i = 0; i < sensorColumns; ++i)
    texts << (i < static_cast<int>(words.size())
                  ? CachedTemperatureText(words[static_cast<std::size_t>(i)])
                  : QString());
  return texts;
}

void TMainForm::BuildDataGrid() {
  TGridUpdateLock lock(sgData);
  int sensors = 0;
  for (int i = 0; i < DeviceCount(); ++i)
    sensors = std::max<int>(sensors, FDevices[i]->SensorCount());
  sgData->clearContents();
  FDataTexts = QVector<QStringList>(DeviceCount());
  FDataFailures = QVector<QString>(DeviceCount());
  for (int c = 0; c < sgData->ColCount(); ++c) sgData->SetCells(c, 0, QString());
  // The grid always keeps one data row; with no device it stays hidden.
  sgData->SetRowCount(DeviceCount() + 1);
  sgData->setRowHidden(0, DeviceCount() == 0);
  sgData->SetColCount(sensors + kDataFirstSensorColumn);
  sgData->SetDefaultRowHeight(std::max(kDataRowHeight, sgData->fontMetrics().height() + 4));
  sgData->SetDefaultColWidth(kDataColumnWidth);
  sgData->SetColWidths(0, kDataNameWidth);
  if (DeviceCount() == 0) return;
  sgData->SetCells(1, 0, QStringLiteral("C"));
  sgData->SetCells(2, 0, QStringLiteral("H"));
  sgData->SetCells(3, 0, Tr("Сост."));
  for (int i = 0; i < sensors; ++i)
    sgData->SetCells(kDataFirstSensorColumn + i, 0, QString::number(i + 1));
  for (int i = 0; i < DeviceCount(); ++i) sgData->SetCells(0, i + 1, U(FDevices[i]->Name()));
}

void TMainForm::UpdateDataGrid() {
  TGridUpdateLock lock(sgData);
  const int sensorColumns = sgData->ColCount() - kDataFirstSensorColumn;
  const int rows =
      std::min<int>({DeviceCount(), sgData->RowCount() - 1, static_cast<int>(FDataTexts.size())});
  bool changed = false;
  bool marksChanged = false;
  {
    // One change notice for the whole table instead of one per cell; the
    // grid repaints once when its update lock is released.
    const QSignalBlocker quiet(sgData->model());
    for (int i = 0; i < rows && i < FDataFailures.size(); ++i) {
      // Judged by the requests' own results: a failed Modbus read leaves
      // state words that look healthy.
      const TDevice& device = *FDevices[i];
      if (MarkDataRow(i, device.PollFailed() ? U(device.PollFailureText()) : QString()))
        marksChanged = true;
    }
    for (int i = 0; i < rows; ++i) {
      const QStringList texts = DataRowTexts(*FDevices[i], sensorColumns);
      QStringList& shown = FDataTexts[i];
      for (int c = 0; c < texts.size(); ++c) {
        if (c < shown.size() && shown[c] == texts[c]) continue;
        sgData->SetCells(c + 1, i + 1, texts[c]);
        changed = true;
      }
      shown = texts;
    }
  }
  if ((changed || marksChanged) && rows > 0) {
    QAbstractItemModel* model = sgData->model();
    emit model->dataChanged(model->index(0, marksChanged ? 0 : 1),
                            model->index(rows - 1, sgData->ColCount() - 1));
  }
}

const QColor TMainForm::kFailedRowColor(0xFF, 0xD8, 0x70);  // amber

bool TMainForm::MarkDataRow(int i, const QString& failure) {
  if (i < 0 || i >= FDataFailures.size() || FDataFailures[i] == failure) return false;
  FDataFailures[i] = failure;
  const QColor color = failure.isEmpty() ? QColor() : kFailedRowColor;
  for (int c = 0; c < sgData->ColCount(); ++c) {
    sgData->SetCellColor(c, i + 1, color);
    sgData->SetCellHint(c, i + 1, failure);
  }
  return true;
}

void TMainForm::RunActionExecute() {
  // One worker at a time: also while a stopped polling thread is still
  // finishing its device, and while a firmware upload holds the port.
  if (Busy()) return;
  StopAction->setEnabled(true);
  RunAction->setEnabled(false);

  auto* thread = new TRequestThread(this);
  thread->SetPeriod(FPeriod);
  FPollCycles = 0;
  StartWorker(thread);  // FThread, free-on-end, ThreadTerminated, start

  if (Animate_T->HasClip()) {
    try {
      Animate_T->show();
      Animate_T->raise();
      Animate_T->SetActive(true);
    } catch (...) {
    }
  }
  // The thread's first refresh is a synchronised call: it waits until this
  // handler has returned to the event loop, so the table is ready by then.
  BuildDataGrid();
  SetButtonAction(tbRunStop, StopAction);
  for (QAction* a : {SearchAction, UpdateDeviceAction, ClosePortAction, AddDeviceAction,
                     RemoveDeviceAction, RefreshDeviceAction, AllAddressWriteAction})
    a->setEnabled(false);
  gbDevices->hide();
  gbState->hide();
  gbData->show();
}

void TMainForm::RestorePollingLayout() {
  if (Animate_T->Active()) {
    try {
      Animate_T->SetActive(false);
      Animate_T->hide();
    } catch (...) {
    }
  }
  SetButtonAction(tbRunStop, RunAction);
  gbData->hide();
  gbState->show();
  gbDevices->show();
  UpdateViewedDevice();
  StopAction->setEnabled(false);
}

void TMainForm::StopActionExecute() {
  bool ended = true;
  if (FThread) {
    try {
      const QPointer<TWorkerThread> thread = FThread;
      thread->Terminate();
      // The thread may be inside a synchronised call that only this thread
      // can serve: then it ends later and ThreadTerminated clears FThread.
      ended = thread->wait(QDeadlineTimer(kStopWaitMs));
      ClosePortAction->setEnabled(true);
    } catch (...) {
    }
  }
  RestorePollingLayout();
  UpdateDeviceAction->setEnabled(true);
  RunAction->setEnabled(true);
  RefreshDeviceAction->setEnabled(true);
  // A thread still in an exchange writes the device's texts and readings:
  // the panel shows them once it has ended (ThreadTerminated).
  if (ended)
    ShowDeviceState(true, true);
  else
    FShowStateAtEnd = true;
}

void TMainForm::SetIntervalActionExecute() {
  const std::uint32_t minimum = MinimumPeriod();
  int value = static_cast<int>(std::min<std::uint32_t>(FPeriod, kMaximumPeriod));
  // Equal bounds (5000 devices and more): nothing to choose.
  if (minimum >= kMaximumPeriod) return;
  if (!InputInteger(Tr("Период [мс.]"), static_cast<int>(minimum), static_cast<int>(kMaximumPeriod),
                    value))
    return;
  SetPeriod(static_cast<std::uint32_t>(value));
  // Applies from the thread's next comparison, without a restart.
  if (auto* polling = qobject_cast<TRequestThread*>(FThread.data())) polling->SetPeriod(FPeriod);
}
