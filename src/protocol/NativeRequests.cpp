#include "NativeRequests.h"

#include <algorithm>

namespace {

constexpr const char* kOpTemperature = "Чтение показаний температуры";
constexpr const char* kOpLevel = "Чтение данных уровнемера";
constexpr const char* kOpIdentification = "Чтение идентификации устройства";
constexpr const char* kOpWriteAddress = "Запись системного адреса";
constexpr const char* kOpSensorNumber = "Чтение числа датчиков";
constexpr const char* kOpReadCalibration = "Чтение калибровочных точек";
constexpr const char* kOpWriteCalibration = "Запись калибровочных точек";
constexpr const char* kOpReadCoefficient = "Чтение коэффициента усреднения";
constexpr const char* kOpWriteCoefficient = "Запись коэффициента усреднения";
constexpr const char* kOpSetModbus = "Изменить протокол на Modbus";
constexpr const char* kOpEmptyBunker = "Калибровка на пустом бункере";
constexpr const char* kOpReadUnmeasurable = "Чтение неизмеряемого уровня";

bool KnownProtocol(TDeviceProtocol p) {
  return p == dpLargis1 || p == dpModbus;
}

}  // namespace

// --- Temperatures ---------------------------------------------------------

bool TTemperatureTransaction::Exchange() {
  SetOperation(kOpTemperature);
  ClearTemperatures();
  const int n = Device->SensorCount();
  return Transfer(std::array<std::uint8_t, 4>{Device->SystemAddress(), kCmdData, 0x02, 0x02}, 100,
                  2 * n + 5);
}

bool TTemperatureTransaction::Decode(const std::uint8_t* answer, int length) {
  if (length < 5) {
    SetResult(rtNoLink);
    ClearTemperatures();
    return false;
  }
  if (!CrcValid(answer, length)) {
    SetResult(rtChecksumError);
    ClearTemperatures();
    return false;
  }
  const int n = Device->SensorCount();
  if (answer[1] == kCmdData) {
    // The length byte must announce SensorCount words, and they must all have
    // arrived: a short answer with a valid CRC is no licence to copy bytes
    // that never came.
    if ((answer[2] >> 1) == n && length >= 2 * n + 5) {
      SetResult(rtSuccess);
      Device->TemperatureState = 0;
      std::uint16_t* block = Device->LockTemperatures();
      const int words = std::min<int>(n, Device->SensorCount());
      for (int i = 0; i < words && block != nullptr; ++i) block[i] = ReadWordBE(answer + 3 + 2 * i);
      Device->UnlockTemperatures();
      return true;
    }
    SetResult(rtFrameError);
  } else {
    SetNativeErrorResult(answer);
  }
  ClearTemperatures();
  Device->TemperatureState = kStateFailed;
  return false;
}

// --- Level ------------------------------------------------------------------

bool TLevelTransaction::Exchange() {
  SetOperation(kOpLevel);
  return Transfer(std::array<std::uint8_t, 4>{Device->SystemAddress(), kCmdData, 0x02, 0x01},
                  kKeepTimeout, 10);
}

bool TLevelTransaction::Decode(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, kCmdData, 10)) {
    Device->LevelState = kStateFailed;
    return false;
  }
  Device->LevelCode = ReadWordBE(answer + 3);
  Device->Level = ReadWordBE(answer + 5);
  Device->LevelState = answer[7] & 0x32;
  return true;
}

// --- Identification -----------------------------------------------------------

bool TReadIdentificationTransaction::Exchange() {
  if (!KnownProtocol(Protocol())) return false;
  SetOperation(kOpIdentification);
  const std::uint8_t a = Device->SystemAddress();
  if (Protocol() == dpModbus)
    return Transfer(std::array<std::uint8_t, 5>{a, 0x2B, 0x0E, 0x01, 0x00}, 100, 255,
                    TSendMode::Modbus);
  return Transfer(std::array<std::uint8_t, 3>{a, kCmdIdentification, 0x01}, 100, 10);
}

bool TReadIdentificationTransaction::Decode(const std::uint8_t* answer, int length) {
  if (Protocol() == dpLargis1) return DecodeNative(answer, length);
  if (Protocol() == dpModbus) return DecodeModbus(answer, length);
  return false;
}

bool TReadIdentificationTransaction::DecodeNative(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, kCmdIdentification, 10)) return false;
  if (answer[3] != kDeviceTypeLim07) {
    SetResult(rtUnknownError);
    return false;
  }
  Device->SetSystemAddress(answer[0]);
  FPlantNumber = ReadWordBE(answer + 4);
  FHardwareVersion = answer[6];
  FSoftwareVersion = answer[7];
  return true;
}

// Read Device Identification (43/14), basic: the device puts its plant
// number, hardware and software versions as decimal text at fixed positions
// of its 63-byte answer.
bool TReadIdentificationTransaction::DecodeModbus(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, 0x2B, 63)) return false;
  FPlantNumber = static_cast<std::uint16_t>(ParseDecimalField(answer + 21, 5));
  FHardwareVersion = static_cast<std::uint8_t>(ParseDecimalField(answer + 41, 3));
  FSoftwareVersion = static_cast<std::uint8_t>(ParseDecimalField(answer + 58, 3));
  return true;
}

// --- Address write ------------------------------------------------------------

bool TWriteAddressTransaction::Exchange() {
  if (Broadcast) return false;
  SetOperation(kOpWriteAddress);
  const std::uint16_t plant = Device->PlantNumber();
  return Transfer(
      std::array<std::uint8_t, 7>{kNativeBroadcastAddress, kCmdWriteAddress, 0x05, 0x06,
                                  HighByte(plant), LowByte(plant), Device->SystemAddress()},
      200, 10);
}

bool TWriteAddressTransaction::Decode(const std::uint8_t* answer, int length) {
  // Unlike CheckAnswer: the temperatures are left alone, and the total length
  // is not compared, but the confirmation needs bytes 0..5 and the CRC.
  if (length < 5) {
    SetResult(rtNoLink);
    return false;
  }
  if (!CrcValid(answer, length)) {
    SetResult(rtChecksumError);
    return false;
  }
  if (answer[1] == kCmdWriteAddress) {
    if (length >= 8 && answer[0] == Device->SystemAddress() &&
        ReadWordBE(answer + 4) == Device->PlantNumber()) {
      SetResult(rtSuccess);
      return true;
    }
    SetResult(rtUnknownError);
    return false;
  }
  SetNativeErrorResult(answer);
  return false;
}

// --- Sensor count ---------------------------------------------------------------

bool TReadSensorNumberTransaction::Exchange() {
  if (Port != nullptr) Port->Timeouts().SetReadTotalConstant(100);
  SetOperation(kOpSensorNumber);
  const std::uint8_t a = Device->SystemAddress();
  if (Protocol() == dpLargis1)
    return Transfer(std::array<std::uint8_t, 4>{a, kCmdReadParameter, 0x02, 0x01}, 100, 9);
  if (Protocol() == dpModbus)
    return Transfer(std::array<std::uint8_t, 6>{a, 0x04, 0x00, 0x0E, 0x00, 0x01}, 100, 7);
  return false;
}

bool TReadSensorNumberTransaction::Decode(const std::uint8_t* answer, int length) {
  if (Protocol() == dpLargis1) {
    if (!CheckAnswer(answer, length, kCmdReadParameter, 6)) return false;
    Device->SetSensorCount(answer[3]);
    return true;
  }
  if (Protocol() == dpModbus) {
    if (!CheckAnswer(answer, length, 0x04, 7)) return false;
    Device->SetSensorCount(answer[4]);  // low byte of input register 14
    return true;
  }
  return false;
}

// --- Calibration block --------------------------------------------------------------

bool TReadCalibrationTransaction::Exchange() {
  SetOperation(kOpReadCalibration);
  return Transfer(
      std::array<std::uint8_t, 6>{Device->SystemAddress(), kCmdReadMemory, 0x04, 0x00, 0x00, 0x08},
      100, 13);
}

bool TReadCalibrationTransaction::Decode(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, kCmdReadMemory, 13)) return false;
  Device->CalibrationCode1 = ReadWordBE(answer + 3);
  Device->UnmeasurableLevel = ReadWordBE(answer + 5);
  Device->CalibrationCode2 = ReadWordBE(answer + 7);
  Device->CalibrationLevel2 = ReadWordBE(answer + 9);
  return true;
}

bool TWriteCalibrationTransaction::Exchange() {
  SetOperation(kOpWriteCalibration);
  const TDevice& d = *Device;
  return Transfer(
      std::array<std::uint8_t, 13>{d.SystemAddress(), kCmdWriteMemory, 0x0B, 0x00, 0x00,
                                   HighByte(d.CalibrationCode1), LowByte(d.CalibrationCode1),
                                   HighByte(d.UnmeasurableLevel), LowByte(d.UnmeasurableLevel),
                                   HighByte(d.CalibrationCode2), LowByte(d.CalibrationCode2),
                                   HighByte(d.CalibrationLevel2), LowByte(d.CalibrationLevel2)},
      200, 5);
}

bool TWriteCalibrationTransaction::Decode(const std::uint8_t* answer, int length) {
  return CheckAnswer(answer, length, kCmdWriteMemory, 5);
}

// --- Averaging coefficient ------------------------------------------------------------

bool TReadCoefficientTransaction::Exchange() {
  SetOperation(kOpReadCoefficient);
  return Transfer(
      std::array<std::uint8_t, 4>{Device->SystemAddress(), kCmdReadParameter, 0x02, 0x02}, 100, 6);
}

bool TReadCoefficientTransaction::Decode(const std::uint8_t* answer, int length) {
  if (!CheckAnswer(answer, length, kCmdReadParameter, 6)) return false;
  Device->SetAveragingCoefficient(answer[3]);
  return true;
}

bool TWriteCoefficientTransaction::Exchange() {
  SetOperation(kOpWriteCoefficient);
  if (Device->AveragingCoefficient() == 0) Device->SetAveragingCoefficient(1);
  return Transfer(std::array<std::uint8_t, 5>{Device->SystemAddress(), kCmdWriteParameter, 0x03,
                                              0x02, Device->AveragingCoefficient()},
                  200, 5);
}

bool TWriteCoefficientTransaction::Decode(const std::uint8_t* answer, int length) {
  return CheckAnswer(answer, length, kCmdWriteParameter, 5);
}

// --- Protocol switch to Modbus ---------------------------------------------------------

bool TSetProtocolModbus::Exchange() {
  std::uint8_t address = kNativeBroadcastAddress;
  if (!Broadcast) {
    SetOperation(kOpSetModbus);
    address = Device->SystemAddress();
  }
  return Transfer(std::array<std::uint8_t, 5>{address, kCmdWriteParameter, 0x03, 0x03, 0xAA}, 200,
                  5);
}

bool TSetProtocolModbus::Decode(const std::uint8_t* answer, int length) {
  if (Broadcast) return true;  // nobody answers a broadcast
  return CheckAnswer(answer, length, kCmdWriteParameter, 5);
}

// --- Empty-bunker calibration ------------------------------------------------------------

bool TEmptyBunkerCalibrationTransaction::Exchange() {
  SetOperation(kOpEmptyBunker);
  const std::uint8_t a = Device->SystemAddress();
  if (Protocol() == dpModbus)  // command word 0xB5B5 into holding register 1003
    return Transfer(std::array<std::uint8_t, 9>{a, 0x10, 0x03, 0xEB, 0x00, 0x01, 0x02, 0xB5, 0xB5},
                    200, 8);
  if (Protocol() != dpLargis1) return false;
  const std::uint16_t nu = Device->UnmeasurableLevel;
  return Transfer(std::array<std::uint8_t, 13>{a, kCmdWriteMemory, 0x0B, 0x00, 0x00, 0xAA, 0xAA,
                                               HighByte(nu), LowByte(nu), 0x55, 0x55, 0x00, 0x00},
                  200, 5);
}

bool TEmptyBunkerCalibrationTransaction::Decode(const std::uint8_t* answer, int length) {
  if (Protocol() == dpModbus) return CheckAnswer(answer, length, 0x10, 8);
  if (Protocol() == dpLargis1) return CheckAnswer(answer, length, kCmdWriteMemory, 5);
  return false;
}

// --- Unmeasurable level -----------------------------------------------------------------

bool TReadUnmeasurableLevelTransaction::Exchange() {
  SetOperation(kOpReadUnmeasurable);
  const std::uint8_t a = Device->SystemAddress();
  if (Protocol() == dpModbus)  // holding registers 1000-1001; time-out as the port has it
    return Transfer(std::array<std::uint8_t, 6>{a, 0x03, 0x03, 0xE8, 0x00, 0x02}, kKeepTimeout, 9,
                    TSendMode::Modbus);
  if (Protocol() != dpLargis1) return false;
  return Transfer(std::array<std::uint8_t, 6>{a, kCmdReadMemory, 0x04, 0x00, 0x00, 0x08}, 100, 13);
}

bool TReadUnmeasurableLevelTransaction::Decode(const std::uint8_t* answer, int length) {
  if (Protocol() == dpLargis1) {
    if (!CheckAnswer(answer, length, kCmdReadMemory, 13)) return false;
    Device->UnmeasurableLevel = ReadWordBE(answer + 5);
    return true;
  }
  if (Protocol() == dpModbus) {
    if (!CheckAnswer(answer, length, 0x03, 9)) return false;
    std::uint16_t decimetres = 0;
    if (!MetresToDecimetres(ReadFloatBE(answer + 3), decimetres)) {
      SetResult(rtUnknownError);
      return false;
    }
    Device->UnmeasurableLevel = decimetres;
    return true;
  }
  return false;
}
