// The history database from the window: every polling cycle handed to the
// recorder (which writes on its own thread), the alarms dock "Тревоги", the
// count of unacknowledged alarms in status panel 1, the alarm marks of the
// views, long trends from the database, "Файл → Экспорт истории…" and
// "Настройка → История…". Recording is on by default, into the per-user
// database; with no alarm and the docks hidden the window looks as without.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileInfo>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <atomic>

#include "AlarmsDock.h"
#include "AppSettings.h"
#include "Dialogs.h"
#include "HistoryExport.h"
#include "HistoryRecorder.h"
#include "HistorySettingsForm.h"
#include "HistoryTrendSource.h"
#include "LineDiagnostics.h"
#include "MainForm.h"
#include "SessionTrendStore.h"
#include "TrendDock.h"
#include "UiHooks.h"
#include "ViewHub.h"
#include "ViewManager.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QString UserName() {
  for (const char* name : {"USER", "LOGNAME"}) {
    const QString user = qEnvironmentVariable(name);
    if (!user.isEmpty()) return user;
  }
  return Tr("оператор");
}

}  // namespace

QString TMainForm::HistoryPath() const {
  const QString chosen = TAppSettings::HistoryFile();
  return chosen.isEmpty() ? QString::fromStdString(DefaultHistoryPath()) : chosen;
}

void TMainForm::CreateHistory() {
  FAlarmsDock = new TAlarmsDock(
      [this](std::vector<std::int64_t> ids) {
        if (FHistory) FHistory->Acknowledge(std::move(ids), UserName().toStdString());
      },
      this);
  FViewManager->AddDock(FAlarmsDock, Qt::BottomDockWidgetArea);

  HistoryNotice = new QLabel(statusBar());
  HistoryNotice->setObjectName(QStringLiteral("HistoryNotice"));
  HistoryNotice->setStyleSheet(QStringLiteral("color: #A00000"));
  statusBar()->addPermanentWidget(HistoryNotice);
  HistoryNotice->hide();

  ExportHistoryAction = new QAction(Tr("Экспорт истории…"), this);
  ExportHistoryAction->setObjectName(QStringLiteral("ExportHistoryAction"));
  ExportHistoryAction->setStatusTip(Tr("Записать показания из базы истории в файл CSV"));
  mFile->insertAction(mExit, ExportHistoryAction);
  mFile->insertSeparator(mExit);
  ConnectAction(ExportHistoryAction, &TMainForm::ExportHistoryActionExecute);

  HistorySettingsAction = new QAction(Tr("История…"), this);
  HistorySettingsAction->setObjectName(QStringLiteral("HistorySettingsAction"));
  HistorySettingsAction->setStatusTip(
      Tr("Запись показаний в базу истории, её файл и пределы тревог"));
  mSettings->addAction(HistorySettingsAction);
  ConnectAction(HistorySettingsAction, &TMainForm::HistorySettingsActionExecute);

  // Each cycle goes to the recorder as the views get it; the line
  // statistics go with it.
  connect(FViewHub, &TViewHub::SnapshotReady, this, [this](TSnapshotPtr snapshot) {
    if (FHistory) FHistory->Submit(std::move(snapshot));
  });
  StartHistory();
}

void TMainForm::StartHistory() {
  // The views let go of the old database before it goes.
  FTrendDock->SetSource(FSessionTrends, false);
  if (FDiagnostics) FDiagnostics->Statistics().SetListener(nullptr);
  FHistory.reset();
  FHistoryFailureTold = false;
  if (TAppSettings::HistoryEnabled() && !HistoryPath().isEmpty()) {
    THistoryOptions options;
    options.Path = HistoryPath().toStdString();
    options.IntervalMs = TAppSettings::HistoryIntervalSeconds() * 1000LL;
    options.RetentionDays = TAppSettings::HistoryRetentionDays();
    // Told from the recorder's thread; taken on this one, once per burst.
    auto pending = std::make_shared<std::atomic<bool>>(false);
    QPointer<TMainForm> self(this);
    FHistory = std::make_shared<THistoryRecorder>(options, [self, pending] {
      if (pending->exchange(true)) return;
      QMetaObject::invokeMethod(
          qApp,
          [self, pending] {
            pending->store(false);
            if (self) self->UpdateHistoryStatus();
          },
          Qt::QueuedConnection);
    });
    std::weak_ptr<THistoryRecorder> weak = FHistory;
    if (FDiagnostics)
      FDiagnostics->Statistics().SetListener([weak](const TExchangeOutcome& o) {
        if (auto rec = weak.lock())
          rec->RecordExchange(o.PlantNumber, static_cast<std::uint8_t>(o.Address), o.Ok,
                              o.ResponseUs);
      });
    auto database = std::make_shared<THistoryTrendSource>(options.Path, [weak] {
      const auto rec = weak.lock();
      return rec ? rec->Generation() : 0;
    });
    FTrendDock->SetSource(std::make_shared<TCombinedTrendSource>(FSessionTrends, database), true);
  }
  UpdateHistoryStatus();
}

void TMainForm::UpdateHistoryStatus() {
  if (!FHistory) {
    FViewHub->SetAlarms({});
    FAlarmsDock->SetAlarms(std::make_shared<const std::vector<TAlarm>>(),
                           Tr("Запись истории выключена (Настройка → История…)"));
    StatusPanel1->clear();
    StatusPanel1->setStyleSheet(QString());
    StatusPanel1->setToolTip(QString());
    HistoryNotice->hide();
    return;
  }
  const THistoryStatus status = FHistory->Status();
  TAlarmCells cells;
  for (const auto& [plant, sensor] : status.AlarmedCells) cells.insert({plant, sensor});
  FViewHub->SetAlarms(std::move(cells));
  const bool failing =
      status.State == THistoryState::Failing || status.State == THistoryState::Refused;
  const QString message = QString::fromStdString(status.Message);
  FAlarmsDock->SetAlarms(status.Alarms, failing ? Tr("История не записывается: %1").arg(message)
                                                : QString());
  // Panel 1 stays empty unless there is something to acknowledge.
  if (status.Unacknowledged > 0) {
    StatusPanel1->setText(QString::number(status.Unacknowledged));
    StatusPanel1->setStyleSheet(QStringLiteral("background: #FF9090"));
    StatusPanel1->setToolTip(Tr("Неквитированных тревог: %1").arg(status.Unacknowledged));
  } else {
    StatusPanel1->clear();
    StatusPanel1->setStyleSheet(QString());
    StatusPanel1->setToolTip(QString());
  }
  HistoryNotice->setText(failing ? Tr("История не записывается: %1").arg(message) : QString());
  HistoryNotice->setVisible(failing);
  if (failing && !FHistoryFailureTold) {
    FHistoryFailureTold = true;
    MessageDlg(status.State == THistoryState::Refused
                   ? Tr("База истории не используется:\n%1").arg(message)
                   : Tr("Запись истории остановлена: %1\nОпрос продолжается; запись возобновится, "
                        "когда это станет возможно.")
                         .arg(message),
               mtWarning, mbOK, this);
  } else if (!failing) {
    FHistoryFailureTold = false;
  }
}

void TMainForm::HistorySettingsActionExecute() {
  THistorySettings current;
  current.Enabled = TAppSettings::HistoryEnabled();
  current.File = TAppSettings::HistoryFile();
  current.IntervalSeconds = TAppSettings::HistoryIntervalSeconds();
  current.RetentionDays = TAppSettings::HistoryRetentionDays();
  if (FHistory) current.Limits = FHistory->Limits();
  THistorySettingsForm form(current, QString::fromStdString(DefaultHistoryPath()), FDevices,
                            FHistory != nullptr, this);
  if (ExecDialog(form) != QDialog::Accepted) return;
  const THistorySettings chosen = form.Settings();
  TAppSettings::SetHistoryEnabled(chosen.Enabled);
  TAppSettings::SetHistoryFile(chosen.File);
  TAppSettings::SetHistoryIntervalSeconds(chosen.IntervalSeconds);
  TAppSettings::SetHistoryRetentionDays(chosen.RetentionDays);
  const bool restart = chosen.Enabled != current.Enabled || chosen.File != current.File ||
                       chosen.RetentionDays != current.RetentionDays;
  if (FHistory && chosen.Limits != current.Limits) FHistory->SetLimits(chosen.Limits);
  if (FHistory) FHistory->SetIntervalMs(chosen.IntervalSeconds * 1000LL);
  if (restart) StartHistory();
}

bool TMainForm::ExportHistory(std::int64_t fromMs, std::int64_t toMs, std::uint16_t plant,
                              const QString& fileName, QString& error) {
  const std::string path = HistoryPath().toStdString();
  const std::string file = fileName.toStdString();
  THistoryExportRange range{fromMs, toMs, {}};
  if (plant != 0) range.Plants.push_back(plant);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto done = std::make_shared<std::atomic<std::int64_t>>(0);
  auto result = std::make_shared<std::pair<std::int64_t, std::string>>(0, std::string());
  QThread* worker = QThread::create([=] {
    try {
      THistoryStore store(path, true);
      result->first = ExportHistoryCsvFile(store, range, file, [=](std::int64_t n) {
        done->store(n);
        return !stop->load();
      });
    } catch (const std::exception& e) {
      result->second = HistoryFailureText(e);
    }
  });
  QProgressDialog progress(Tr("Экспорт истории…"), Tr("Отмена"), 0, 0, this);
  progress.setObjectName(QStringLiteral("ExportHistoryProgress"));
  progress.setWindowTitle(ApplicationTitle());
  progress.setMinimumDuration(0);
  connect(&progress, &QProgressDialog::canceled, this, [stop] { stop->store(true); });
  QTimer tick;
  connect(&tick, &QTimer::timeout, &progress,
          [&] { progress.setLabelText(Tr("Записано показаний: %1").arg(done->load())); });
  tick.start(200);
  connect(worker, &QThread::finished, &progress, [&] { progress.done(QDialog::Accepted); },
          Qt::QueuedConnection);
  worker->start();
  ExecDialog(progress);
  worker->wait();
  delete worker;
  if (!result->second.empty()) {
    error = QString::fromStdString(result->second);
    return false;
  }
  if (result->first < 0) {
    error = Tr("экспорт прерван");
    return false;
  }
  statusBar()->showMessage(
      Tr("Показаний записано: %1 в %2").arg(result->first).arg(fileName), 10000);
  return true;
}

void TMainForm::ExportHistoryActionExecute() {
  if (HistoryPath().isEmpty() || !QFileInfo::exists(HistoryPath())) {
    MessageDlg(Tr("База истории не найдена: %1").arg(HistoryPath()), mtError, mbOK, this);
    return;
  }
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("TExportHistoryForm"));
  dialog.setWindowTitle(Tr("Экспорт истории"));
  auto* form = new QFormLayout(&dialog);
  const QDateTime now = QDateTime::currentDateTime();
  auto* from = new QDateTimeEdit(now.addDays(-1), &dialog);
  from->setObjectName(QStringLiteral("dtFrom"));
  auto* to = new QDateTimeEdit(now, &dialog);
  to->setObjectName(QStringLiteral("dtTo"));
  for (QDateTimeEdit* e : {from, to}) {
    e->setCalendarPopup(true);
    e->setDisplayFormat(QStringLiteral("dd.MM.yyyy HH:mm"));
  }
  auto* devices = new QComboBox(&dialog);
  devices->setObjectName(QStringLiteral("cbDevices"));
  devices->addItem(Tr("Все приборы"), 0);
  for (int i = 0; i < DeviceCount(); ++i)
    devices->addItem(Tr("%1 (зав. № %2)")
                         .arg(QString::fromStdString(FDevices[i]->Name()))
                         .arg(FDevices[i]->PlantNumber()),
                     FDevices[i]->PlantNumber());
  form->addRow(Tr("С:"), from);
  form->addRow(Tr("По:"), to);
  form->addRow(Tr("Приборы:"), devices);
  form->addRow(MakeOkCancelButtons(dialog));
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  const std::int64_t a = from->dateTime().toMSecsSinceEpoch();
  const std::int64_t b = to->dateTime().toMSecsSinceEpoch();
  if (b < a) {
    MessageDlg(Tr("Конец периода раньше его начала"), mtError, mbOK, this);
    return;
  }
  QString name = PromptFileName(this, TFileDialogKind::Save, Tr("Файлы CSV|*.csv"),
                                QStringLiteral(".csv"));
  if (name.isEmpty()) return;
  QString error;
  if (!ExportHistory(a, b, static_cast<std::uint16_t>(devices->currentData().toUInt()), name,
                     error))
    MessageDlg(Tr("Не удалось экспортировать историю в %1:\n%2").arg(name, error), mtError, mbOK,
               this);
}
