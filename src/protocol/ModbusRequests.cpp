#include "ModbusRequests.h"

#include <algorithm>

namespace {

constexpr const char* kOpData = "Чтение данных";
constexpr const char* kOpWriteAddress = "Запись системного адреса";
constexpr const char* kOpWriteUnmeasurable = "Запись неизмеряемого уровня";
constexpr const char* kOpSetLargis1 = "Изменить протокол на Ларгис-1";
constexpr const char* kOpUploadMode = "Вход в режим загрузки ПО";

constexpr std::uint8_t kFnReadInput = 0x04;
constexpr std::uint8_t kFnWriteMultiple = 0x10;
constexpr int kDataAnswerLength = 95;  // address, 04, 90, 45 registers, CRC

}  // namespace

// --- Data read --------------------------------------------------------------------

bool TModbusDataTransaction::Exchange() {
  SetOperation(kOpData);
  ClearTemperatures();
  return Transfer(
      std::array<std::uint8_t, 6>{Device->SystemAddress(), kFnReadInput, 0x00, 0x00, 0x00, 0x2D},
      250, kDataAnswerLength, TSendMode::Modbus);
}

bool TModbusDataTransaction::Decode(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, kFnReadInput, kDataAnswerLength)) {
    ClearTemperatures();
    return false;
  }
  const std::uint16_t status = ReadWordBE(answer + 3);
  Device->TemperatureState = status & 0x000D;
  const int n = Device->SensorCount();
  if (ReadWordBE(answer + 31) == n) {
    // 45 registers hold 30 temperatures; sensors beyond them show no data.
    std::uint16_t* block = Device->LockTemperatures();
    const int count = std::min<int>(n, Device->SensorCount());
    const int words = std::min(count, kModbusDataTemperatures);
    for (int i = 0; i < count && block != nullptr; ++i)
      block[i] = i < words ? ReadWordBE(answer + 33 + 2 * i) : kNoDataTemperature;
    Device->UnlockTemperatures();
  } else {
    SetResult(rtSensorCountMismatch);
    ClearTemperatures();
  }
  Device->LevelState = status & 0x0032;
  Device->LevelCode = 0;
  std::uint16_t level = 0;
  Device->Level = MetresToDecimetres(ReadFloatBE(answer + 13), level) ? level : 0;
  return true;
}

// --- Address write (broadcast) ------------------------------------------------------

bool TModbusWriteAddressTransaction::Exchange() {
  SetOperation(kOpWriteAddress);
  const std::uint16_t plant = Device->PlantNumber();
  return Transfer(
      std::array<std::uint8_t, 13>{0x00, kFnWriteMultiple, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 0x06,
                                   HighByte(plant), LowByte(plant), 0x00, Device->SystemAddress()},
      1500, 1, TSendMode::Modbus);
}

bool TModbusWriteAddressTransaction::Decode(const std::uint8_t*, int) {
  return true;  // a broadcast is not answered; the read was only the pause
}

bool WriteAddressModbus(TCustomComPort* port, TDevice* device, int attempts) {
  {
    TModbusWriteAddressTransaction write(port);
    write.Execute(device);
  }
  TReadIdentificationTransaction identification(port, dpModbus);
  return RunWithRetry(&identification, device, attempts) && device != nullptr &&
         identification.PlantNumber() == device->PlantNumber();
}

// --- Unmeasurable level write ----------------------------------------------------------

bool TModbusWriteUnmeasurableLevelTransaction::Exchange() {
  SetOperation(kOpWriteUnmeasurable);
  std::array<std::uint8_t, 11> bytes{
      Device->SystemAddress(), kFnWriteMultiple, 0x03, 0xE8, 0x00, 0x02, 0x04};
  WriteFloatBE(bytes.data() + 7, DecimetresToMetres(Device->UnmeasurableLevel));
  return Transfer(bytes, 250, 8, TSendMode::Modbus);
}

bool TModbusWriteUnmeasurableLevelTransaction::Decode(const std::uint8_t* answer, int length) {
  return CheckAnswer(answer, length, kFnWriteMultiple, 8);
}

// --- Protocol switch to the native protocol -----------------------------------------------

bool TSetProtocolLargis1::Exchange() {
  std::uint8_t address = 0x00;
  if (!Broadcast) {
    SetOperation(kOpSetLargis1);
    address = Device->SystemAddress();
  }
  return Transfer(std::array<std::uint8_t, 9>{address, kFnWriteMultiple, 0x03, 0xEA, 0x00, 0x01,
                                              0x02, 0x00, 0x55},
                  200, 8, TSendMode::Modbus);
}

bool TSetProtocolLargis1::Decode(const std::uint8_t* answer, int length) {
  if (Broadcast) return true;
  return CheckAnswer(answer, length, kFnWriteMultiple, 8);
}

// --- Firmware-upload mode ------------------------------------------------------------------

bool TSetSoftUploadModeTransaction::Exchange() {
  SetOperation(kOpUploadMode);
  const std::uint16_t plant = Device->PlantNumber();
  return Transfer(std::array<std::uint8_t, 13>{Device->SystemAddress(), kFnWriteMultiple, 0x00,
                                               0x03, 0x00, 0x03, 0x06, 0x00, 0x06, HighByte(plant),
                                               LowByte(plant), 0xA5, 0xA5},
                  250, 8, TSendMode::Modbus);
}

bool TSetSoftUploadModeTransaction::Decode(const std::uint8_t* answer, int length) {
  if (Broadcast) return true;
  return CheckAnswer(answer, length, kFnWriteMultiple, 8);
}
