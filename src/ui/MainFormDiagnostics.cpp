// Diagnostics of a misbehaving line: the recorder of every frame and the
// per-device statistics (docks "Обмен" and "Статистика"), the line check
// ("Пуск" → "Проверка линии") and the support bundle ("Справка" →
// "Сохранить отчёт для поддержки…").
#include <QAction>
#include <QMenu>
#include <QStatusBar>

#include "Dialogs.h"
#include "HistoryRecorder.h"
#include "LineCheck.h"
#include "LineCheckForm.h"
#include "LineDiagnostics.h"
#include "MainForm.h"
#include "StatisticsDock.h"
#include "SupportBundle.h"
#include "TrafficDock.h"
#include "UiHooks.h"
#include "ViewManager.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

void TMainForm::CreateDiagnostics() {
  FDiagnostics = new TLineDiagnostics(FComPort, this);
  FViewManager->AddDock(new TTrafficDock(&FDiagnostics->Frames(), this), Qt::BottomDockWidgetArea);
  FViewManager->AddDock(new TStatisticsDock(&FDiagnostics->Statistics(), this),
                        Qt::BottomDockWidgetArea);

  LineCheckAction = new QAction(Tr("Проверка линии"), this);
  LineCheckAction->setObjectName(QStringLiteral("LineCheckAction"));
  LineCheckAction->setStatusTip(
      Tr("Проверить связь с каждым прибором и найти приборы на другой скорости или протоколе"));
  LineCheckAction->setEnabled(false);
  mRun->addSeparator();
  mRun->addAction(LineCheckAction);
  ConnectAction(LineCheckAction, &TMainForm::LineCheckActionExecute);

  SupportBundleAction = new QAction(Tr("Сохранить отчёт для поддержки…"), this);
  SupportBundleAction->setObjectName(QStringLiteral("SupportBundleAction"));
  SupportBundleAction->setStatusTip(
      Tr("Сохранить в один архив версии, настройки порта, конфигурацию, обмен и статистику"));
  mHelp->addAction(SupportBundleAction);
  ConnectAction(SupportBundleAction, &TMainForm::SupportBundleActionExecute);
}

void TMainForm::LineCheckActionExecute() {
  if (Busy() || !FComPort.Connected() || DeviceCount() == 0) return;
  auto* thread = new TLineCheckThread(this);
  const auto report = thread->Report();
  const int baud = FComPort.BaudRateBits();
  const TDeviceProtocol protocol = CurrentProtocol();
  RegisterWorker(thread);
  // The verdicts once the thread has really ended (the port is back as it
  // was by then), in a window of their own that does not hold the user.
  connect(thread, &QThread::finished, this, [this, report, baud, protocol] {
    std::lock_guard lock(report->Mutex);
    if (!report->Error.empty()) {
      MessageDlg(Tr("Проверка линии прервана ошибкой порта:\n%1")
                     .arg(QString::fromStdString(report->Error)),
                 mtError, mbOK, this);
      return;
    }
    const QString text = QString::fromStdString(LineCheckText(report->Checks, baud, protocol));
    if (FDiagnostics) FDiagnostics->SetLastLineCheck(text);
    auto* form = new TLineCheckForm(report->Checks,
                                    Tr("Скорость %1, протокол %2")
                                        .arg(baud)
                                        .arg(protocol == dpModbus ? Tr("Modbus") : Tr("Ларгис-1")),
                                    this);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
  });
  ShowProgress(thread, Tr("Проверка линии"));
}

bool TMainForm::SaveSupportBundle(const QString& fileName, QString& error) {
  try {
    const TSupportBundle bundle = BuildSupportBundle(
        FComPort, CurrentProtocol(), FDevices, FFileName.toStdString(),
        FDiagnostics->Frames().Last(kBundleFrames), FDiagnostics->Statistics().Snapshot(),
        FDiagnostics->LastLineCheck().toStdString(),
        FHistory ? HistoryBundleFiles(FHistory->Path(), UtcNowMs()) : std::vector<TBundleFile>{});
    WriteSupportBundle(fileName.toStdString(), bundle);
    return true;
  } catch (const std::exception& e) {
    error = QString::fromStdString(e.what());
    return false;
  }
}

void TMainForm::SupportBundleActionExecute() {
  QString name = PromptFileName(this, TFileDialogKind::Save, Tr("Архив tar.gz|*.tar.gz"),
                                QStringLiteral(".tar.gz"));
  if (name.isEmpty()) return;
  if (!name.endsWith(QStringLiteral(".tar.gz"))) name += QStringLiteral(".tar.gz");
  QString error;
  if (!SaveSupportBundle(name, error)) {
    MessageDlg(Tr("Не удалось сохранить отчёт для поддержки:\n%1").arg(error), mtError, mbOK, this);
    return;
  }
  statusBar()->showMessage(Tr("Отчёт для поддержки сохранён: %1").arg(name), 10000);
}
