// Batch operations over the device list: read the settings back, write them,
// and give every device its configured address. Before a thread starts, the
// cells it is to confirm are marked; each confirmed device clears its marks
// (ClearWrittenMarks), so what stays marked was not confirmed.
#include <QAction>

#include "BatchThreads.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "UiHooks.h"

namespace {
QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Columns of the device table.
constexpr int kColAddress = 3;
constexpr int kColSensorCount = 4;
constexpr int kColCalibrationFirst = 5;
constexpr int kColCoefficient = 9;
}  // namespace

void TMainForm::MarkUnconfirmed(int firstCol, int lastCol) {
  sgDevices->BeginUpdate();
  for (int row = 1; row <= DeviceCount(); ++row)
    for (int col = firstCol; col <= lastCol; ++col) SetCellMark(col, row, FMark);
  sgDevices->EndUpdate();
}

void TMainForm::RefreshDeviceActionExecute() {
  if (Busy()) return;
  if (MessageDlg(Tr("Прочитать настройки приборов?"), mtConfirmation, mbYes | mbNo, this) != mrYes)
    return;
  MarkUnconfirmed(kColSensorCount, kColCoefficient);
  auto* thread = new TConfigRefreshThread(this);
  RegisterWorker(thread);
  ShowProgressX(thread, Tr("Пакетное чтение"));
}

void TMainForm::UpdateDeviceActionExecute() {
  if (Busy()) return;
  if (MessageDlg(Tr("Записать данные в приборы?"), mtConfirmation, mbYes | mbNo, this) != mrYes)
    return;
  MarkUnconfirmed(kColCalibrationFirst, kColCoefficient);
  auto* thread = new TDeviceRefreshThread(this);
  RegisterWorker(thread);
  ShowProgressX(thread, Tr("Пакетная запись"));
}

void TMainForm::AllAddressWriteActionExecute() {
  if (Busy()) return;
  if (MessageDlg(Tr("Изменить системные адреса в соответствии с конфигурацией?"), mtConfirmation,
                 mbYes | mbNo, this) != mrYes)
    return;
  if (HasDuplicateAddresses()) {
    MessageDlg(Tr("Обнаружено совпадение системных адресов!\r\nВыполнение команды невозможно"),
               mtError, mbOK, this);
    return;
  }
  MarkUnconfirmed(kColAddress, kColAddress);
  auto* thread = new TAllAddressUpdateThread(this);
  RegisterWorker(thread);
  ShowProgress(thread, Tr("Запись системных адресов"));
}
