// The single-device commands: one user action against one device (read its
// identification, read or change one setting, read its temperatures or level,
// calibrate it on an empty bunker) and the two protocol-switch broadcasts.
//
// This is the course of each command without any window: it stores entered
// values in the record before the exchange, runs the requests, takes the old
// values back when the exchange fails (or an error passes), and says in a
// TCommandResult what the caller has to show: which cell marks the device has
// now confirmed, whether the row is refilled, whether the configuration
// counts as modified, which parts of the state panel to refresh and whether
// the command failed. The main window turns that into marks, the state panel
// and its message boxes; the console tool prints it. Plain C++, no Qt.
//
// Usage:
//   TDeviceCommands commands(&port, dpModbus);      // the protocol in use
//   TCommandResult r = commands.WriteAddress(device, 7);
//   if (r.Failed) ...                                // device->LastResult says why
//   if (r.RefillRow) ...                             // record changed
//
// Everything runs on the calling thread and blocks for the exchanges (a few
// hundred milliseconds each at most). The port must not be used by anyone
// else meanwhile. EComPort passes through; the record is restored then too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ComPort.h"
#include "Device.h"
#include "DeviceProtocol.h"

// The window's message for a device that is not the one its record names.
extern const char* const kDeviceNotFoundText;  // "Прибор не обнаружен!"

// Device-table columns of the values the commands confirm (row = list index + 1).
enum TDeviceColumn : int {
  dcPlantNumber = 2,
  dcSystemAddress = 3,
  dcSensorCount = 4,
  dcCalibrationCode1 = 5,
  dcUnmeasurableLevel = 6,
  dcCalibrationCode2 = 7,
  dcCalibrationLevel2 = 8,
  dcAveragingCoefficient = 9,
};

// A set of device-table columns, one bit per column number.
using TColumnSet = std::uint32_t;
constexpr TColumnSet ColumnBit(int column) {
  return TColumnSet{1} << column;
}
constexpr TColumnSet kCalibrationColumns =
    ColumnBit(dcCalibrationCode1) | ColumnBit(dcUnmeasurableLevel) | ColumnBit(dcCalibrationCode2) |
    ColumnBit(dcCalibrationLevel2);
// The columns ClearWrittenMarks clears for its four flags.
TColumnSet WrittenColumns(bool address, bool sensorCount, bool calibration, bool coefficient);
// The column numbers of a set, ascending.
std::vector<int> Columns(TColumnSet set);

struct TCommandResult {
  // Whether an exchange was attempted at all (false: no device, dialog
  // cancelled, or nothing to do).
  bool Ran = false;
  // The command failed: the caller shows its one error box. The record's
  // LastOperation/LastResult tell why. Never set together with NotFound.
  bool Failed = false;
  // Settings read/write: the device did not answer to the record's plant
  // number, nothing was written ("Прибор не обнаружен!").
  bool NotFound = false;
  // Cell marks the device has confirmed: clear them in the device's row.
  TColumnSet ClearMarks = 0;
  // Refill the device's row from the record (after clearing ClearMarks).
  bool RefillRow = false;
  // The configuration now differs from its file: set FModified (never clear).
  bool Modified = false;
  // Refresh the state panel with ShowDeviceState(ShowTemperatures, ShowLevel).
  bool ShowState = false;
  bool ShowTemperatures = false;
  bool ShowLevel = false;
  // ReadIdentification: the five lines for ShowIdentification (UTF-8), empty
  // when the identification failed.
  std::vector<std::string> Identification;
  // ReadIdentification: the versions the device reported.
  std::uint8_t HardwareVersion = 0;
  std::uint8_t SoftwareVersion = 0;
  // WriteSettings / ReadSettings: outcome of each step (for a console report).
  bool SensorCountDone = false;
  bool CalibrationDone = false;
  bool CoefficientDone = false;
  // Why the command, or its first step that failed, did not succeed: the
  // failed request's result text, or "Прибор не обнаружен!" where the device
  // answered but is not the one the record names. Never the success text,
  // since an exchange can succeed while the command fails. Empty on success.
  std::string FailureText;
};

// The calibration points as the calibration dialog edits them.
struct TCalibrationValues {
  std::uint16_t C1 = 0;  // CalibrationCode1
  std::uint16_t C2 = 0;  // CalibrationCode2
  std::uint16_t H1 = 0;  // UnmeasurableLevel, dm
  std::uint16_t H2 = 0;  // CalibrationLevel2, dm
};
TCalibrationValues CalibrationOf(const TDevice& device);

// The five identification lines: name, system address, plant number,
// hardware and software versions.
std::vector<std::string> IdentificationLines(const std::string& name, int systemAddress,
                                             int plantNumber, int hardwareVersion,
                                             int softwareVersion);

class TDeviceCommands {
 public:
  // `protocol` is the protocol in use; commands that speak only the native
  // protocol ignore it. The port is not owned.
  TDeviceCommands(TCustomComPort* port, TDeviceProtocol protocol);

  TCustomComPort* Port() const { return FPort; }
  TDeviceProtocol Protocol() const { return FProtocol; }

  // Reads of run-time data: the panel is refreshed also after a failure.
  TCommandResult ReadTemperatures(TDevice* device);  // native
  TCommandResult ReadLevel(TDevice* device);         // native
  TCommandResult ReadModbusData(TDevice* device);    // temperatures and level

  // Reads of settings.
  TCommandResult ReadIdentification(TDevice* device);     // in use
  TCommandResult ReadSensorCount(TDevice* device);        // in use
  TCommandResult ReadCalibration(TDevice* device);        // native
  TCommandResult ReadCoefficient(TDevice* device);        // native
  TCommandResult ReadUnmeasurableLevel(TDevice* device);  // in use

  // Writes of settings: the value is stored first and taken back on failure.
  // Natively by plant number; in Modbus a broadcast write by plant number,
  // then one identification at the new address.
  TCommandResult WriteAddress(TDevice* device, std::uint8_t address);
  TCommandResult WriteCoefficient(TDevice* device, std::uint8_t coefficient);  // native
  // Modbus (the command is offered only there), but sent with the protocol in use.
  TCommandResult WriteUnmeasurableLevel(TDevice* device, std::uint16_t decimetres);
  TCommandResult WriteCalibration(TDevice* device, const TCalibrationValues& values);  // native

  // Writes the record's calibration and coefficient after checking the
  // device's plant number (native). `marked` runs once the identity is
  // confirmed, before the writes, with the columns about to be written: the
  // window marks them and repaints. Failed writes leave their marks; no error
  // box.
  TCommandResult WriteSettings(TDevice* device, const std::function<void(TColumnSet)>& marked = {});
  // Reads sensor count, calibration and coefficient after checking the
  // device's plant number (native, two attempts each).
  TCommandResult ReadSettings(TDevice* device);

  // In use: natively writes the empty-bunker marker block with the record's
  // unmeasurable level; in Modbus the device's own command.
  TCommandResult EmptyBunkerCalibration(TDevice* device);
  // Empty-bunker calibration with the given unmeasurable level (in use).
  // Natively the marker block carries it; in Modbus the level is written
  // first (holding registers 1000-1001) and the command word second. Failed
  // when either fails. The record keeps the new level once the device has
  // confirmed it (ClearMarks then holds the "НУ [дм]" column), also when the
  // command itself failed afterwards.
  TCommandResult EmptyBunkerCalibrationAt(TDevice* device, std::uint16_t decimetres);

  // The protocol switch of every device on the line, sent in the framing of
  // the protocol the devices speak now: to Modbus from the native protocol,
  // to the native protocol from Modbus. No answer is read. Failed only when
  // nothing could be sent (port closed).
  TCommandResult SwitchAllToModbus();
  TCommandResult SwitchAllToLargis1();

 private:
  TCustomComPort* FPort;
  TDeviceProtocol FProtocol;
};
