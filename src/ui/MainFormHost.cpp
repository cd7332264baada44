// What the window offers the worker threads, the port and protocol actions,
// and closing.
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>

#include "ComSetup.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "ViewManager.h"
#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "UiHooks.h"

namespace {
QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
const char* const kGeneralError =
    "Неизвестная ошибка! Перезагрузите программу.\r\nЕсли ошибка повторится - обратитесь к "
    "разработчику!";
}  // namespace

// ------------------------------------------------------------------ host

void TMainForm::RunOnUiThread(const std::function<void()>& f) {
  if (QThread::currentThread() == thread()) {
    f();
    return;
  }
  QMetaObject::invokeMethod(
      this, [&f] { RunGuarded(f); }, Qt::BlockingQueuedConnection);
}

void TMainForm::RefreshDataGrid() {
  RunOnUiThread([this] {
    if (FOnRefreshDataGrid) FOnRefreshDataGrid();
  });
}

void TMainForm::ProgressPercent(int percent) {
  RunOnUiThread([this, percent] { HandleWindowMessage(WM_PROGRESS_PERCENT, 0, percent); });
}

void TMainForm::ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) {
  RunOnUiThread([this, plantNumber, address] {
    HandleWindowMessage(WM_PROGRESS_DEVICE, plantNumber, address);
  });
}

void TMainForm::TotalUploadProgress(int index, int percent) {
  RunOnUiThread(
      [this, index, percent] { HandleWindowMessage(WM_TOTAL_UPLOAD_PROGRESS, index, percent); });
}

void TMainForm::HandleWindowMessage(int message, int wParam, int lParam) {
  switch (message) {
    case WM_PROGRESS_PERCENT:  // 1126
      SetProgress(lParam);
      break;
    case WM_PROGRESS_DEVICE:  // 1127
      SetProgressX(wParam, lParam);
      break;
    case WM_TOTAL_UPLOAD_PROGRESS: {  // 1128
      const int count = DeviceCount();
      const int overall = count > 0 ? wParam * 100 / count : 0;
      TotalUploadDevice(wParam);
      if (FOnTotalUploadProgress) FOnTotalUploadProgress(overall, lParam);
      break;
    }
    default:
      break;
  }
}

void TMainForm::RegisterWorker(TWorkerThread* thread) {
  HideEditor();
  FThread = thread;
  thread->SetFreeOnTerminate(true);
  connect(thread, &QThread::finished, this, &TMainForm::ThreadTerminated);
  // A port failure is read on the thread itself as it ends (by the time a
  // queued handler runs here it may have freed itself) and told after the
  // end notification.
  connect(
      thread, &QThread::finished, this,
      [this, thread] {
        const std::string error = thread->PortError();
        if (!error.empty())
          QMetaObject::invokeMethod(
              this, [this, error] { WorkerPortFailed(error); }, Qt::QueuedConnection);
      },
      Qt::DirectConnection);
}

void TMainForm::WorkerPortFailed(const std::string& error) {
  ClosePortAfterFailure();
  // Once the progress window, which closes on the same end, is gone.
  const QString text = PortFailureText(error) + Tr("\r\nРабота прервана, соединение закрыто.");
  QTimer::singleShot(0, this, [this, text] { MessageDlg(text, mtError, mbOK, this); });
}

void TMainForm::StartWorker(TWorkerThread* thread) {
  RegisterWorker(thread);
  thread->start();
}

void TMainForm::ThreadTerminated() {
  // The end notification of an older thread that the window no longer keeps
  // must not clear the current one.
  auto* ended = qobject_cast<TWorkerThread*>(sender());
  if (ended && FThread && ended != FThread) return;
  FThread = nullptr;
  // A polling thread that ended by itself (its port failed) leaves no sign
  // that polling goes on.
  if (!gbData->isHidden()) {
    RestorePollingLayout();
    FShowStateAtEnd = true;
  }
  UpdatePortActions(FComPort.Connected());
  AddDeviceAction->setEnabled(true);
  RemoveDeviceAction->setEnabled(true);
  UpdateActions();
  if (FShowStateAtEnd) {
    FShowStateAtEnd = false;
    ShowDeviceState(true, true);
  }
}

void TMainForm::ClosePortAfterFailure() {
  try {
    FComPort.SetConnected(false);
  } catch (const EComPort&) {
    // The handle of a vanished adapter is gone either way.
  }
  UpdatePortActions(FComPort.Connected());
}

QString TMainForm::PortFailureText(const std::string& error) const {
  return Tr("Ошибка последовательного порта %1: %2")
      .arg(QString::fromStdString(FComPort.Port()), QString::fromStdString(error));
}

void TMainForm::StopWorkers() {
  for (QPointer<TWorkerThread>* slot : {&FThread, &FUploadThread}) {
    TWorkerThread* t = *slot;
    if (!t) continue;
    try {
      t->SetFreeOnTerminate(false);
      disconnect(t, nullptr, this, nullptr);
      t->Terminate();
      // A worker may be waiting in a synchronised call that only this thread
      // can serve: serve those while waiting, input excluded.
      while (!t->wait(QDeadlineTimer(20)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      if (*slot == t) *slot = nullptr;
      delete t;
    } catch (...) {
    }
  }
}

// ------------------------------------------------------------------ period

std::uint32_t TMainForm::MinimumPeriod() const {
  const int count = DeviceCount();
  return count < 2 ? 200u : 200u * static_cast<std::uint32_t>(count);
}

void TMainForm::SetPeriod(std::uint32_t value) {
  if (value == FPeriod) return;
  FPeriod = value;
  EnforceMinimumPeriod();
}

void TMainForm::EnforceMinimumPeriod() {
  if (FPeriod < MinimumPeriod()) FPeriod = MinimumPeriod();
}

// ------------------------------------------------------------------ port

QString TMainForm::PortDescription() const {
  return QStringLiteral(" %1 / %2 / %3 / %4 ")
      .arg(QString::fromStdString(FComPort.Port()),
           QString::fromStdString(BaudRateText(FComPort.BaudRate())),
           QString::fromStdString(DataBitsText(FComPort.DataBits())),
           QString::fromStdString(StopBitsText(FComPort.StopBits())));
}

void TMainForm::RefreshPortDescription() {
  StatusPanel0->setText(PortDescription());
}

void TMainForm::PortPropertiesActionExecute() {
  if (Busy() || FComPort.Connected()) return;
  if (EditPortSettings(FComPort, this)) {
    FModified = true;
    RefreshPortDescription();
  }
}

void TMainForm::OpenPortActionExecute() {
  if (Busy()) return;
  try {
    FComPort.SetConnected(true);
    UpdatePortActions(FComPort.Connected());
  } catch (const EComPort&) {
    MessageDlg(Tr("Не удалось установить соединение! Возможно порт занят другой программой!\r\n"
                  "Произведите настройку последовательного порта и повторите попытку!"),
               mtError, mbOK, this);
  } catch (...) {
    MessageDlg(Tr(kGeneralError), mtError, mbOK, this);
  }
}

void TMainForm::ClosePortActionExecute() {
  if (Busy()) return;
  try {
    FComPort.SetConnected(false);
    UpdatePortActions(FComPort.Connected());
  } catch (const EComPort&) {
    MessageDlg(Tr("Ошибка доступа к последовательному порту!"), mtError, mbOK, this);
  } catch (...) {
    MessageDlg(Tr(kGeneralError), mtError, mbOK, this);
  }
}

// ------------------------------------------------------------------ protocol

void TMainForm::ApplyProtocol(TDeviceProtocol protocol) {
  if (FComPort.Connected()) {
    const char* question =
        protocol == dpLargis1 ? "Выполнить запрос на использование устройствами протокола Ларгис-1?"
                              : "Выполнить запрос на использование устройствами протокола MODBUS?";
    if (MessageDlg(Tr(question), mtConfirmation, mbYes | mbNo, this) == mrYes)
      SendProtocolBroadcast(protocol);
  }
  (protocol == dpLargis1 ? SwitchForLargis1ProtocolAction : SwitchForModbusProtocolAction)
      ->setChecked(true);
  FProtocol.store(protocol);
  const bool largis = protocol == dpLargis1;
  lC->setVisible(largis);
  stC->setVisible(largis);
  stC->clear();
  for (int col : {5, 7, 8}) sgDevices->SetColWidths(col, -1);
  if (ServiceModeAction->isChecked()) ApplyServiceMode(true);  // its columns stay shown
  chbEEPROMError->setVisible(!largis);
  chbBusError->setVisible(!largis);
  chbSensorError->setVisible(!largis);
}

void TMainForm::SwitchForLargis1ProtocolActionExecute() {
  if (Busy()) return;
  ApplyProtocol(dpLargis1);
}

void TMainForm::SwitchForModbusProtocolActionExecute() {
  if (Busy()) return;
  ApplyProtocol(dpModbus);
}

// ------------------------------------------------------------------ closing

void TMainForm::ExitClick() {
  close();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (MessageDlg(Tr("Вы действительно желаете завершить работу?"), mtWarning, mbYes | mbNo, this) !=
      mrYes)
    return;
  if (FModified && MessageDlg(Tr("Сохранить внесенные изменения?"), mtConfirmation, mbYes | mbNo,
                              this) == mrYes) {
    // A cancelled file dialog or a failed save keeps the window open, so
    // nothing is lost.
    bool saved = false;
    RunGuarded([&] {
      if (!FFileName.isEmpty()) {
        SaveConfiguration(FFileName);
        saved = true;
      } else {
        saved = SaveConfigurationAs();
      }
    });
    if (!saved) return;
  }
  StopWorkers();
  if (FViewManager) FViewManager->SaveLayout();
  event->accept();
}

void TMainForm::AboutActionExecute() {
  ShowAbout();
}

// The protocol switch told to every device on the line at once; its answer
// is not looked at.
void TMainForm::SendProtocolBroadcast(TDeviceProtocol protocol) {
  if (protocol == dpLargis1) {
    TSetProtocolLargis1 request(&FComPort);
    request.Broadcast = true;
    request.Execute(nullptr);
  } else {
    TSetProtocolModbus request(&FComPort);
    request.Broadcast = true;
    request.Execute(nullptr);
  }
}
