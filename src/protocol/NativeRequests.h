// Requests of the devices' own protocol "Ларгис-1": one class per request.
// Frames: address (0xFF = all devices), command, length (itself plus the data
// after it), data, Crc16 low byte first; multi-byte values big-endian. An
// error answer carries command 0xFA and its code in byte 3.
//
// Four classes also speak Modbus, chosen by Protocol = dpModbus:
// TReadIdentificationTransaction,
// TReadSensorNumberTransaction, TEmptyBunkerCalibrationTransaction,
// TReadUnmeasurableLevelTransaction. For any other Protocol value they return
// false without sending.
#pragma once

#include "ModbusValues.h"
#include "Transaction.h"

// Native command codes.
constexpr std::uint8_t kCmdData = 0x01;  // temperatures (02 02) and level (02 01)
constexpr std::uint8_t kCmdIdentification = 0x20;
constexpr std::uint8_t kCmdWriteAddress = 0x25;
constexpr std::uint8_t kCmdWriteMemory = 0xA4;
constexpr std::uint8_t kCmdReadMemory = 0xA6;
constexpr std::uint8_t kCmdWriteParameter = 0xB1;
constexpr std::uint8_t kCmdReadParameter = 0xB4;
constexpr std::uint8_t kCmdNativeError = 0xFA;
constexpr std::uint8_t kNativeBroadcastAddress = 0xFF;
constexpr std::uint8_t kDeviceTypeLim07 = 6;

// "Чтение показаний температуры": all temperatures. Clears the temperatures
// first; on success copies them and sets TemperatureState 0; on a frame or
// protocol error sets TemperatureState 0x8000 (temperatures cleared).
class TTemperatureTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение данных уровнемера": level code, level and level flags. Keeps the
// port's current read time-out. Any failure sets LevelState 0x8000.
class TLevelTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение идентификации устройства": plant number and versions into the
// transaction (PlantNumber(), HardwareVersion(), SoftwareVersion()); the
// caller decides whether to copy the plant number into the device. Natively
// the device type must be 6 and the device's SystemAddress is set from the
// answering address; the Modbus variant reads them as decimal texts.
class TReadIdentificationTransaction : public TCustomReadIdentificationTransaction {
 public:
  using TCustomReadIdentificationTransaction::TCustomReadIdentificationTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;

 private:
  bool DecodeNative(const std::uint8_t* answer, int length);
  bool DecodeModbus(const std::uint8_t* answer, int length);
};

// "Запись системного адреса": to all devices (0xFF), the device with the
// record's PlantNumber takes the record's SystemAddress (put there by the
// caller) and confirms with both. Fails at once in broadcast mode.
class TWriteAddressTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение числа датчиков": SensorCount via its setter (temperature block
// resized and cleared). Dual.
class TReadSensorNumberTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение калибровочных точек": C1, НУ, C2, H2 from device memory 0x0000.
class TReadCalibrationTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Запись калибровочных точек": C1, НУ, C2, H2 of the record to device memory.
class TWriteCalibrationTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение коэффициента усреднения".
class TReadCoefficientTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Запись коэффициента усреднения": a coefficient of 0 is first set to 1 in
// the record, so 0 is never sent.
class TWriteCoefficientTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Изменить протокол на Modbus". In broadcast mode (Execute(nullptr) or
// Broadcast set) it goes to 0xFF, writes no operation name, ignores the answer
// and succeeds.
class TSetProtocolModbus : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
  bool NeedsDevice() const override { return !Broadcast; }
};

// "Калибровка на пустом бункере": natively writes the calibration block
// AAAA, НУ, 5555, 0; in Modbus writes the command 0xB5B5. The record is not
// changed. Dual.
class TEmptyBunkerCalibrationTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Чтение неизмеряемого уровня": UnmeasurableLevel, in decimetres. Dual; the
// Modbus variant keeps the port's read time-out and fails with
// "Неизвестная ошибка" (record unchanged) on a float that is not finite or
// does not fit 0..65535 dm.
class TReadUnmeasurableLevelTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};
