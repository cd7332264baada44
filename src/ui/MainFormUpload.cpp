// Firmware upload: to the selected device, or to every device of the list.
#include <QAction>
#include <QTimer>

#include "Dialogs.h"
#include "DoubleProgressForm.h"
#include "MainForm.h"
#include "ModbusRequests.h"
#include "UiHooks.h"
#include "UploadSummaryForm.h"
#include "UploadThreads.h"
#include "XModemCRC.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

const char* const kFirmwareFilter = "Файлы прошивки|*.bin2";
const char* const kUploadCaption = "Загрузка ПО";

}  // namespace

void TMainForm::ConnectUploadActions() {
  ConnectAction(UploadSoftwareAction, &TMainForm::UploadSoftwareActionExecute);
  ConnectAction(TotalDownloadSoftwareAction, &TMainForm::TotalDownloadSoftwareActionExecute);
  FOnTotalUploadProgress = [this](int overall, int device) {
    WMTotalUploadProgress(overall, device);
  };
}

QString TMainForm::ChooseFirmwareFile() {
  const QString fileName = PromptFileName(this, TFileDialogKind::Open, Tr(kFirmwareFilter));
  if (fileName.isEmpty()) return {};
  // A typed name may name nothing, or a file no device can take: refuse it
  // before any device leaves its normal mode.
  const std::string problem = CheckFirmwareFile(fileName.toStdString());
  if (!problem.empty()) {
    MessageDlg(QString::fromStdString(problem), mtError, mbOK, this);
    return {};
  }
  return fileName;
}

void TMainForm::RegisterUploadThread(TSoftwareUploadThread* thread, const QList<int>& served) {
  HideEditor();
  FUploadThread = thread;
  thread->SetFreeOnTerminate(true);
  connect(thread, &QThread::finished, this, &TMainForm::UploadThreadTerminated);
  // How the run ended is read on the thread itself as it ends (by the time a
  // queued handler runs here it may have freed itself); the summary follows
  // the end notification.
  connect(
      thread, &QThread::finished, this,
      [this, thread, served] {
        const std::vector<TUploadOutcome> outcomes = thread->Outcomes();
        const std::string error = thread->PortError();
        QMetaObject::invokeMethod(
            this, [this, served, outcomes, error] { UploadRunEnded(served, outcomes, error); },
            Qt::QueuedConnection);
      },
      Qt::DirectConnection);
  UpdateActions();  // every other user of the port is off from here on
}

void TMainForm::UploadSoftwareActionExecute() {
  if (Busy() || !FComPort.Connected()) return;
  const int index = SelectedIndex();
  if (index < 0) {
    MessageDlg(Tr("Выберите прибор в таблице приборов."), mtInformation, mbOK, this);
    return;
  }
  TDevice* device = FDevices.Items(index);
  const QString name = QString::fromStdString(device->Name());
  if (MessageDlg(Tr("Загрузить новое ПО для прибора %1?").arg(name), mtConfirmation, mbYes | mbNo,
                 this) != mrYes)
    return;
  const QString fileName = ChooseFirmwareFile();
  if (fileName.isEmpty()) return;

  bool switched = false;
  {
    TSetSoftUploadModeTransaction request(&FComPort, dpModbus);
    switched = request.Execute(device);
  }
  ShowDeviceState(false, false);
  if (!switched) {
    MessageDlg(Tr("Не удалось перевести устройство %1 в режим загрузки ПО!").arg(name), mtError,
               mbOK, this);
    return;
  }
  auto* thread = new TSoftwareUploadThread(fileName.toStdString(), this);
  RegisterUploadThread(thread, {index});
  // The window starts the thread once it is open and closes at 100 %.
  ShowProgress(thread, Tr(kUploadCaption));
}

void TMainForm::TotalDownloadSoftwareActionExecute() {
  if (Busy() || !FComPort.Connected() || DeviceCount() == 0) return;
  if (MessageDlg(Tr("Загрузить новое ПО для приборов?"), mtConfirmation, mbYes | mbNo, this) !=
      mrYes)
    return;
  const QString fileName = ChooseFirmwareFile();
  if (fileName.isEmpty()) return;
  auto* thread = new TTotalSoftwareUploadThread(fileName.toStdString(), this);
  QList<int> all;
  for (int i = 0; i < DeviceCount(); ++i) all.append(i);
  RegisterUploadThread(thread, all);
  ShowDoubleProgress(thread, Tr(kUploadCaption), [this](TDoubleProgressForm& form) {
    form.SetDevice(QString::fromStdString(FDevices[0]->Name()), 1, DeviceCount());
  });
}

void TMainForm::WMTotalUploadProgress(int overall, int device) {
  TDoubleProgressForm* form = DoubleProgressForm();
  if (!form) return;
  form->SetCurrent(device);
  form->SetOverall(overall);
}

void TMainForm::TotalUploadDevice(int index) {
  TDoubleProgressForm* form = DoubleProgressForm();
  // (i + 1, 0) after device i names the next one; after the last the window closes.
  if (!form || index < 0 || index >= DeviceCount()) return;
  form->SetDevice(QString::fromStdString(FDevices[index]->Name()), index + 1, DeviceCount());
}

void TMainForm::UploadRunEnded(const QList<int>& served,
                               const std::vector<TUploadOutcome>& outcomes,
                               const std::string& portError) {
  const QString failure = portError.empty() ? QString() : PortFailureText(portError);
  if (!portError.empty()) ClosePortAfterFailure();
  QList<TUploadSummaryRow> rows;
  for (int k = 0; k < served.size(); ++k) {
    const int index = served[k];
    if (index < 0 || index >= DeviceCount()) continue;
    const TDevice* d = FDevices[index];
    const TUploadOutcome outcome = k < static_cast<int>(outcomes.size())
                                       ? outcomes[static_cast<std::size_t>(k)]
                                       : TUploadOutcome::NotReached;
    rows.append({QString::fromStdString(d->Name()), d->PlantNumber(), d->SystemAddress(),
                 UploadOutcomeText(outcome, failure), outcome == TUploadOutcome::Uploaded});
  }
  // Once the progress window, which closes on the same end, is gone.
  QTimer::singleShot(0, this, [this, rows] { ShowUploadSummary(rows, this); });
}

void TMainForm::UploadThreadTerminated() {
  // Only the thread the window keeps may clear it.
  auto* ended = qobject_cast<TWorkerThread*>(sender());
  if (ended && FUploadThread && ended != FUploadThread) return;
  FUploadThread = nullptr;
  // This runs from the event loop, where an escaping error would end the
  // program: a port lost during the upload (adapter pulled) cannot take the
  // setting now, but keeps it for the next open.
  try {
    FComPort.Parity().SetBits(prEven);
  } catch (const EComPort&) {
  }
  UpdateActions();
}
