// Firmware upload: to the selected device, or to every device of the list.
#include <QAction>

#include "Dialogs.h"
#include "DoubleProgressForm.h"
#include "MainForm.h"
#include "ModbusRequests.h"
#include "UiHooks.h"
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

void TMainForm::RegisterUploadThread(TSoftwareUploadThread* thread) {
  HideEditor();
  FUploadThread = thread;
  thread->SetFreeOnTerminate(true);
  connect(thread, &QThread::finished, this, &TMainForm::UploadThreadTerminated);
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
  RegisterUploadThread(thread);
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
  RegisterUploadThread(thread);
  ShowDoubleProgress(thread, Tr(kUploadCaption));
}

void TMainForm::WMTotalUploadProgress(int overall, int device) {
  TDoubleProgressForm* form = DoubleProgressForm();
  if (!form) return;
  form->SetCurrent(device);
  form->SetOverall(overall);
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
