#include "DeviceCommands.h"

#include <cstdio>
#include <utility>

#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "Transaction.h"

const char* const kDeviceNotFoundText = "Прибор не обнаружен!";

namespace {

// The text of a failed step: the request's own result text, unless the
// exchange itself succeeded (the device answered, but not as the one the
// record names, e.g. with another plant number).
std::string FailureOf(const TDevice& device) {
  if (device.LastResult.empty() || device.LastResult == ResultText(rtSuccess))
    return kDeviceNotFoundText;
  return device.LastResult;
}

// Fills FailureText of a command that failed as a whole.
TCommandResult Finished(TCommandResult r, const TDevice* device) {
  if ((r.Failed || r.NotFound) && r.FailureText.empty() && device != nullptr)
    r.FailureText = FailureOf(*device);
  return r;
}

// Puts entered values back into the record unless the device confirmed them:
// on a failed exchange and also when an error passes through the command, so
// that the record never keeps a value the device has not taken.
template <class F>
class TRestoreGuard {
 public:
  explicit TRestoreGuard(F restore) : FRestore(std::move(restore)) {}
  ~TRestoreGuard() {
    if (FArmed) FRestore();
  }
  TRestoreGuard(const TRestoreGuard&) = delete;
  TRestoreGuard& operator=(const TRestoreGuard&) = delete;
  void Commit() { FArmed = false; }

 private:
  F FRestore;
  bool FArmed = true;
};

void SetCalibration(TDevice& d, const TCalibrationValues& v) {
  d.CalibrationCode1 = v.C1;
  d.CalibrationCode2 = v.C2;
  d.UnmeasurableLevel = v.H1;
  d.CalibrationLevel2 = v.H2;
}

// A read of run-time data: no table change, the panel shows the outcome
// whether the read succeeded or not.
TCommandResult DataRead(TTransaction& transaction, TDevice* device, bool temperatures, bool level) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  r.ShowTemperatures = temperatures;
  r.ShowLevel = level;
  r.Failed = !transaction.Execute(device);
  return Finished(r, device);
}

std::string Line(const char* label, int value) {
  char text[128];
  std::snprintf(text, sizeof text, "%s:  %d", label, value);
  return text;
}

}  // namespace

TColumnSet WrittenColumns(bool address, bool sensorCount, bool calibration, bool coefficient) {
  TColumnSet set = 0;
  if (address) set |= ColumnBit(dcSystemAddress);
  if (sensorCount) set |= ColumnBit(dcSensorCount);
  if (calibration) set |= kCalibrationColumns;
  if (coefficient) set |= ColumnBit(dcAveragingCoefficient);
  return set;
}

std::vector<int> Columns(TColumnSet set) {
  std::vector<int> columns;
  for (int c = 0; c < 32; ++c)
    if (set & ColumnBit(c)) columns.push_back(c);
  return columns;
}

TCalibrationValues CalibrationOf(const TDevice& device) {
  TCalibrationValues v;
  v.C1 = device.CalibrationCode1;
  v.C2 = device.CalibrationCode2;
  v.H1 = device.UnmeasurableLevel;
  v.H2 = device.CalibrationLevel2;
  return v;
}

std::vector<std::string> IdentificationLines(const std::string& name, int systemAddress,
                                             int plantNumber, int hardwareVersion,
                                             int softwareVersion) {
  // The label ends in a blank and the format adds another: two blanks before
  // the name.
  return {std::string("Прибор Лим-07. Имя: ") + " " + name + ".",
          Line("Системный номер", systemAddress), Line("Заводской номер", plantNumber),
          Line("Аппаратное исполнение", hardwareVersion),
          Line("Программное исполнение", softwareVersion)};
}

TDeviceCommands::TDeviceCommands(TCustomComPort* port, TDeviceProtocol protocol)
    : FPort(port), FProtocol(protocol) {}

// --- Run-time data --------------------------------------------------------------

TCommandResult TDeviceCommands::ReadTemperatures(TDevice* device) {
  TTemperatureTransaction t(FPort);
  return DataRead(t, device, true, false);
}

TCommandResult TDeviceCommands::ReadLevel(TDevice* device) {
  TLevelTransaction t(FPort);
  return DataRead(t, device, false, true);
}

TCommandResult TDeviceCommands::ReadModbusData(TDevice* device) {
  TModbusDataTransaction t(FPort, FProtocol);
  return DataRead(t, device, true, true);
}

// --- Settings reads --------------------------------------------------------------

TCommandResult TDeviceCommands::ReadIdentification(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  TReadIdentificationTransaction t(FPort, FProtocol);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  const std::uint16_t before = device->PlantNumber();
  device->SetPlantNumber(t.PlantNumber());
  r.ClearMarks = ColumnBit(dcPlantNumber) | ColumnBit(dcSystemAddress);
  r.RefillRow = true;
  r.Modified = before != device->PlantNumber();
  r.HardwareVersion = t.HardwareVersion();
  r.SoftwareVersion = t.SoftwareVersion();
  r.Identification =
      IdentificationLines(device->Name(), device->SystemAddress(), device->PlantNumber(),
                          t.HardwareVersion(), t.SoftwareVersion());
  return r;
}

TCommandResult TDeviceCommands::ReadSensorCount(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  const int before = device->SensorCount();
  TReadSensorNumberTransaction t(FPort, FProtocol);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  r.ClearMarks = WrittenColumns(false, true, false, false);
  r.RefillRow = true;
  r.Modified = before != device->SensorCount();
  return r;
}

TCommandResult TDeviceCommands::ReadCalibration(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  TReadCalibrationTransaction t(FPort);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  r.ClearMarks = kCalibrationColumns;
  r.RefillRow = true;
  r.Modified = true;
  return r;
}

TCommandResult TDeviceCommands::ReadCoefficient(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  TReadCoefficientTransaction t(FPort);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  r.ClearMarks = WrittenColumns(false, false, false, true);
  r.RefillRow = true;
  r.Modified = true;
  return r;
}

TCommandResult TDeviceCommands::ReadUnmeasurableLevel(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  TReadUnmeasurableLevelTransaction t(FPort, FProtocol);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  // The value shown changes, yet the configuration does not count as modified.
  r.ClearMarks = ColumnBit(dcUnmeasurableLevel);
  r.RefillRow = true;
  return r;
}

// --- Settings writes --------------------------------------------------------------

TCommandResult TDeviceCommands::WriteAddress(TDevice* device, std::uint8_t address) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  const std::uint8_t old = device->SystemAddress();
  TRestoreGuard restore([device, old] { device->SetSystemAddress(old); });
  device->SetSystemAddress(address);
  bool done = false;
  if (FProtocol == dpModbus) {
    done = WriteAddressModbus(FPort, device, 1);
  } else {
    TWriteAddressTransaction t(FPort, FProtocol);
    done = t.Execute(device);
  }
  if (!done) {
    r.Failed = true;
    return Finished(r, device);
  }
  restore.Commit();
  r.ClearMarks = ColumnBit(dcSystemAddress);
  r.RefillRow = true;
  r.Modified = true;
  return r;
}

TCommandResult TDeviceCommands::WriteCoefficient(TDevice* device, std::uint8_t coefficient) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  const std::uint8_t old = device->AveragingCoefficient();
  TRestoreGuard restore([device, old] { device->SetAveragingCoefficient(old); });
  device->SetAveragingCoefficient(coefficient);
  TWriteCoefficientTransaction t(FPort);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  restore.Commit();
  r.ClearMarks = ColumnBit(dcAveragingCoefficient);
  r.RefillRow = true;
  r.Modified = old != device->AveragingCoefficient();
  return r;
}

TCommandResult TDeviceCommands::WriteUnmeasurableLevel(TDevice* device, std::uint16_t decimetres) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  const std::uint16_t old = device->UnmeasurableLevel;
  TRestoreGuard restore([device, old] { device->UnmeasurableLevel = old; });
  device->UnmeasurableLevel = decimetres;
  TModbusWriteUnmeasurableLevelTransaction t(FPort, FProtocol);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  restore.Commit();
  r.ClearMarks = ColumnBit(dcUnmeasurableLevel);
  r.RefillRow = true;
  r.Modified = true;
  return r;
}

TCommandResult TDeviceCommands::WriteCalibration(TDevice* device,
                                                 const TCalibrationValues& values) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  r.ShowLevel = true;
  const TCalibrationValues old = CalibrationOf(*device);
  TRestoreGuard restore([device, old] { SetCalibration(*device, old); });
  SetCalibration(*device, values);
  TWriteCalibrationTransaction t(FPort);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  restore.Commit();
  r.ClearMarks = kCalibrationColumns;
  r.RefillRow = true;
  r.Modified = true;
  r.CalibrationDone = true;
  return r;
}

TCommandResult TDeviceCommands::WriteSettings(TDevice* device,
                                              const std::function<void(TColumnSet)>& marked) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  TReadIdentificationTransaction identification(FPort);
  if (!identification.Execute(device) || identification.PlantNumber() != device->PlantNumber()) {
    r.NotFound = true;
    return Finished(r, device);
  }
  const TColumnSet written = kCalibrationColumns | ColumnBit(dcAveragingCoefficient);
  if (marked) marked(written);
  TWriteCalibrationTransaction calibration(FPort);
  TWriteCoefficientTransaction coefficient(FPort);
  r.CalibrationDone = RunWithRetry(&calibration, device, 2);
  if (!r.CalibrationDone) r.FailureText = FailureOf(*device);
  r.CoefficientDone = RunWithRetry(&coefficient, device, 2);
  if (!r.CoefficientDone && r.FailureText.empty()) r.FailureText = FailureOf(*device);
  r.ClearMarks = WrittenColumns(false, false, r.CalibrationDone, r.CoefficientDone);
  r.RefillRow = true;
  r.ShowState = true;
  return r;
}

TCommandResult TDeviceCommands::ReadSettings(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  TReadIdentificationTransaction identification(FPort);
  if (!RunWithRetry(&identification, device, 2) ||
      identification.PlantNumber() != device->PlantNumber()) {
    r.NotFound = true;
    return Finished(r, device);
  }
  TReadSensorNumberTransaction sensors(FPort);
  TReadCalibrationTransaction calibration(FPort);
  TReadCoefficientTransaction coefficient(FPort);
  // Each read runs whatever the previous one gave; the first failure is told.
  const auto step = [&](TTransaction& request) {
    const bool done = RunWithRetry(&request, device, 2);
    if (!done && r.FailureText.empty()) r.FailureText = FailureOf(*device);
    return done;
  };
  r.SensorCountDone = step(sensors);
  r.CalibrationDone = step(calibration);
  r.CoefficientDone = step(coefficient);
  r.ClearMarks = WrittenColumns(true, r.SensorCountDone, r.CalibrationDone, r.CoefficientDone);
  r.RefillRow = true;
  r.ShowState = true;
  return r;
}

TCommandResult TDeviceCommands::EmptyBunkerCalibration(TDevice* device) {
  TCommandResult r;
  if (device == nullptr) return r;
  r.Ran = true;
  r.ShowState = true;
  r.ShowLevel = true;
  TEmptyBunkerCalibrationTransaction t(FPort, FProtocol);
  if (!t.Execute(device)) {
    r.Failed = true;
    return Finished(r, device);
  }
  if (FProtocol == dpLargis1) {
    r.ClearMarks = kCalibrationColumns;
    r.RefillRow = true;
  }
  return r;
}

TCommandResult TDeviceCommands::EmptyBunkerCalibrationAt(TDevice* device,
                                                         std::uint16_t decimetres) {
  if (device == nullptr) return {};
  if (FProtocol == dpModbus) {
    // The command word alone calibrates with the level the device holds: the
    // level asked for goes first, in its own write.
    TCommandResult level = WriteUnmeasurableLevel(device, decimetres);
    if (level.Failed) {
      level.ShowLevel = true;
      return level;
    }
    TCommandResult r = EmptyBunkerCalibration(device);
    r.ClearMarks |= level.ClearMarks;
    r.RefillRow = true;
    r.Modified = level.Modified;
    return r;
  }
  // The native marker block carries the record's level: store it first, and
  // take it back unless the device confirmed the block.
  const std::uint16_t old = device->UnmeasurableLevel;
  TRestoreGuard restore([device, old] { device->UnmeasurableLevel = old; });
  device->UnmeasurableLevel = decimetres;
  TCommandResult r = EmptyBunkerCalibration(device);
  if (!r.Failed) {
    restore.Commit();
    r.Modified = old != decimetres;
  }
  return r;
}

// --- Protocol switch of the whole line ----------------------------------------------

TCommandResult TDeviceCommands::SwitchAllToModbus() {
  TCommandResult r;
  r.Ran = true;
  TSetProtocolModbus t(FPort);
  t.Broadcast = true;
  r.Failed = !t.Execute(nullptr);
  return r;
}

TCommandResult TDeviceCommands::SwitchAllToLargis1() {
  TCommandResult r;
  r.Ran = true;
  TSetProtocolLargis1 t(FPort);
  t.Broadcast = true;
  r.Failed = !t.Execute(nullptr);
  return r;
}
