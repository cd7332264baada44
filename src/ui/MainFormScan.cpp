// The line scan: "Сканирование линии" builds a new configuration from the
// devices found on the line.
#include <QAction>

#include "Dialogs.h"
#include "MainForm.h"
#include "ScanTypeForm.h"
#include "SearchThreads.h"
#include "UiHooks.h"

namespace {
QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}
}  // namespace

void TMainForm::SearchActionExecute() {
  TScanTypeForm form(this);
  // The Modbus protocol has no address write by plant number.
  if (CurrentProtocol() == dpModbus) form.RestrictToAddressScan();
  if (Busy()) return;
  if (MessageDlg(Tr("Внимание! При сканировании линии будет создана новая конфигурация!\r\n"
                    "Приступить к сканированию?"),
                 mtConfirmation, mbYes | mbNo, this) != mrYes)
    return;
  if (!ClearConfiguration()) return;
  if (ExecDialog(form) != mrOk) return;  // the emptied configuration stays empty

  SearchAction->setEnabled(false);
  const bool byPlantNumbers = form.ScanByPlantNumbers();
  TScanOptions options;
  options.EndAddress = form.EndAddress();
  options.Fast = form.FastScan();
  TWorkerThread* thread = nullptr;
  if (byPlantNumbers)
    thread = new TSearch2Thread(this, form.StartAddress(), form.ReserveAddresses(),
                                form.Numbers().toStdString(), options);
  else
    thread = new TSearchThread(this, form.StartAddress(), options);
  RegisterWorker(thread);
  for (QAction* a : {RunAction, ClosePortAction, AddDeviceAction, RemoveDeviceAction})
    a->setEnabled(false);
  // The progress window is open before the thread starts (ShowProgress starts
  // it), so even an immediate final report closes it.
  if (byPlantNumbers)
    ShowProgressX(thread, Tr("Сканирование линии"));
  else
    ShowProgress(thread, Tr("Сканирование линии"));
}
