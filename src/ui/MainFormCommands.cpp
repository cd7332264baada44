// The single-device commands of the device table's context menu and the two
// line-wide protocol switches of the menu "Пуск". The course of each command
// lives in TDeviceCommands (ops); here are the dialogs that ask for values,
// the marks and row of the device table, the modified flag, the state panel
// and the message boxes.
//
// Each command runs on the user-interface thread while the user waits. Before
// every exchange the protocol layer processes pending events without user
// input (the hook set in the constructor), so the window repaints but no click
// can reach it until the command ends.
#include <QStringList>

#include "CalibrationForm.h"
#include "DeviceCommands.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "Transaction.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

void ShowOperationFailed() {
  MessageDlg(Tr("Операция не выполнена!"), mtError, mbOK);
}

}  // namespace

void TMainForm::ConnectCommandActions() {
  ConnectAction(idReadAction, &TMainForm::idReadActionExecute);
  ConnectAction(saWriteAction, &TMainForm::saWriteActionExecute);
  ConnectAction(snReadAction, &TMainForm::snReadActionExecute);
  ConnectAction(tReadAction, &TMainForm::tReadActionExecute);
  ConnectAction(hReadAction, &TMainForm::hReadActionExecute);
  ConnectAction(ModbusDataReadAction, &TMainForm::ModbusDataReadActionExecute);
  ConnectAction(clbrReadAction, &TMainForm::clbrReadActionExecute);
  ConnectAction(clbrWriteAction, &TMainForm::clbrWriteActionExecute);
  ConnectAction(CoeffReadAction, &TMainForm::CoeffReadActionExecute);
  ConnectAction(CoeffWriteAction, &TMainForm::CoeffWriteActionExecute);
  ConnectAction(tWriteAction, &TMainForm::tWriteActionExecute);
  ConnectAction(ConfigReadAction, &TMainForm::ConfigReadActionExecute);
  ConnectAction(ReadUnmeasurableLevelAction, &TMainForm::ReadUnmeasurableLevelActionExecute);
  ConnectAction(WriteUnmeasurableLevelAction, &TMainForm::pmWriteUnmeasurableLevelClick);
  ConnectAction(EmptyBunkerCalibrationAction, &TMainForm::EmptyBunkerCalibrationActionExecute);
  ConnectAction(DeviceToModbusModeAction, &TMainForm::DeviceToModbusModeActionExecute);
  ConnectAction(DeviceToLargis1ModeAction, &TMainForm::DeviceToLargis1ModeActionExecute);
}

TDevice* TMainForm::CommandDevice() {
  // The commands are offered only while no worker uses the port; a trigger
  // that slips through (a shortcut, a test) must not become a second user.
  if (Busy()) return nullptr;
  const int index = SelectedIndex();
  return index >= 0 ? FDevices[index] : nullptr;
}

TDeviceCommands TMainForm::Commands() {
  return TDeviceCommands(&FComPort, CurrentProtocol());
}

void TMainForm::ApplyCommandResult(const TCommandResult& r) {
  if (!r.Ran) return;
  // The row of the device the command worked on: the selected one (a right
  // click outside the rows leaves FHitRow outside the table).
  const int row = SelectedIndex() + 1;
  if (row >= 1) {
    for (int column : Columns(r.ClearMarks)) SetCellMark(column, row, nullptr);
    if (r.RefillRow) FillRow(row);
    sgDevices->update();
  }
  if (r.Modified) FModified = true;
  // The panel first, so that the reason is on screen while the box is open.
  if (r.ShowState) ShowDeviceState(r.ShowTemperatures, r.ShowLevel);
  if (r.NotFound)
    MessageDlg(Tr("Прибор не обнаружен!"), mtError, mbOK);
  else if (r.Failed)
    ShowOperationFailed();
}

// --- Reads -------------------------------------------------------------------------

// The three data reads also hand their reading to the views (before the
// result's message box, so that the views show it while the box is open).
void TMainForm::tReadActionExecute() {
  TDevice* device = CommandDevice();
  const TCommandResult r = Commands().ReadTemperatures(device);
  if (r.Ran) PublishSingleRead(device, true, false, !r.Failed);
  ApplyCommandResult(r);
}

void TMainForm::hReadActionExecute() {
  TDevice* device = CommandDevice();
  const TCommandResult r = Commands().ReadLevel(device);
  if (r.Ran) PublishSingleRead(device, false, true, !r.Failed);
  ApplyCommandResult(r);
}

void TMainForm::ModbusDataReadActionExecute() {
  TDevice* device = CommandDevice();
  const TCommandResult r = Commands().ReadModbusData(device);
  if (r.Ran) PublishSingleRead(device, true, true, !r.Failed);
  ApplyCommandResult(r);
}

void TMainForm::snReadActionExecute() {
  ApplyCommandResult(Commands().ReadSensorCount(CommandDevice()));
}

void TMainForm::clbrReadActionExecute() {
  ApplyCommandResult(Commands().ReadCalibration(CommandDevice()));
}

void TMainForm::CoeffReadActionExecute() {
  ApplyCommandResult(Commands().ReadCoefficient(CommandDevice()));
}

void TMainForm::ReadUnmeasurableLevelActionExecute() {
  ApplyCommandResult(Commands().ReadUnmeasurableLevel(CommandDevice()));
}

void TMainForm::ConfigReadActionExecute() {
  ApplyCommandResult(Commands().ReadSettings(CommandDevice()));
}

void TMainForm::idReadActionExecute() {
  const TCommandResult r = Commands().ReadIdentification(CommandDevice());
  if (!r.Ran) return;
  if (!r.Failed) {
    const int row = SelectedIndex() + 1;
    for (int column : Columns(r.ClearMarks)) SetCellMark(column, row, nullptr);
    FillRow(row);
    if (r.Modified) FModified = true;
    QStringList lines;
    for (const std::string& line : r.Identification) lines << QString::fromStdString(line);
    ShowIdentification(lines);
    ShowDeviceState(false, false);
    return;
  }
  ApplyCommandResult(r);
}

// --- Writes ------------------------------------------------------------------------

void TMainForm::saWriteActionExecute() {
  TDevice* device = CommandDevice();
  if (device == nullptr) return;
  int value = device->SystemAddress();
  if (!InputInteger(Tr("Системный адрес"), 1, 255, value)) return;
  ApplyCommandResult(Commands().WriteAddress(device, static_cast<std::uint8_t>(value)));
}

void TMainForm::CoeffWriteActionExecute() {
  TDevice* device = CommandDevice();
  if (device == nullptr) return;
  int value = device->AveragingCoefficient();
  if (!InputInteger(Tr("Куср"), 1, 255, value)) return;
  ApplyCommandResult(Commands().WriteCoefficient(device, static_cast<std::uint8_t>(value)));
}

void TMainForm::pmWriteUnmeasurableLevelClick() {
  TDevice* device = CommandDevice();
  if (device == nullptr) return;
  int value = device->UnmeasurableLevel;
  if (!InputInteger(Tr("Неизмеряемый уровень [дм]"), 0, 100, value)) return;
  ApplyCommandResult(Commands().WriteUnmeasurableLevel(device, static_cast<std::uint16_t>(value)));
}

void TMainForm::clbrWriteActionExecute() {
  TDevice* device = CommandDevice();
  if (device == nullptr) return;
  TCalibrationForm form(this, device->CalibrationCode1, device->CalibrationCode2,
                        device->UnmeasurableLevel, device->CalibrationLevel2);
  form.setWindowTitle(form.windowTitle() + QLatin1Char(' ') +
                      QString::fromStdString(device->Name()));
  if (ExecDialog(form) != mrOk) return;
  TCalibrationValues values;
  values.C1 = form.C1();
  values.C2 = form.C2();
  values.H1 = form.H1();
  values.H2 = form.H2();
  ApplyCommandResult(Commands().WriteCalibration(device, values));
}

void TMainForm::tWriteActionExecute() {
  const int row = SelectedIndex() + 1;
  const TCommandResult r =
      Commands().WriteSettings(CommandDevice(), [this, row](TColumnSet columns) {
        // Visible while the writes run.
        for (int column : Columns(columns)) SetCellMark(column, row, FMark);
        sgDevices->repaint();
        ProcessMessagesOnce();
      });
  ApplyCommandResult(r);
}

void TMainForm::EmptyBunkerCalibrationActionExecute() {
  ApplyCommandResult(Commands().EmptyBunkerCalibration(CommandDevice()));
}

// --- The whole line ----------------------------------------------------------------

void TMainForm::DeviceToModbusModeActionExecute() {
  if (Busy()) return;
  if (Commands().SwitchAllToModbus().Failed) {
    ShowOperationFailed();  // nothing could be sent
    return;
  }
  MessageDlg(Tr("Команда перевода устройств на протокол Modbus отправлена."), mtInformation, mbOK);
}

void TMainForm::DeviceToLargis1ModeActionExecute() {
  if (Busy()) return;
  if (Commands().SwitchAllToLargis1().Failed) {
    ShowOperationFailed();
    return;
  }
  MessageDlg(Tr("Команда перевода устройств на протокол Ларгис-1 отправлена."), mtInformation,
             mbOK);
}
