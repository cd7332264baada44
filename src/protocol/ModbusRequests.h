// Modbus RTU requests (even parity, address 0 = all devices, Crc16 low byte
// first). These classes always send with the Modbus discipline, whatever
// Protocol holds; Protocol only decides how CheckAnswer reads an error answer
// (function | 0x80 with the exception code when it is dpModbus).
//
// Register map used: input 0 status, 5-6 level (float, m), 14 sensor count,
// 15.. temperatures; holding 0-2 address command (6, plant, address), 3-5
// upload command (6, plant, 0xA5A5), 1000-1001 unmeasurable level (float, m),
// 1002 protocol (0x0055 = native), 1003 command (0xB5B5 = empty bunker).
#pragma once

#include "ModbusValues.h"
#include "NativeRequests.h"
#include "Transaction.h"

// Temperatures held by one data read: registers 15..44.
constexpr int kModbusDataTemperatures = 30;

// "Чтение данных": status, level and temperatures in one read of input
// registers 0..44. Clears the temperatures first (and again on failure; the
// state words, Level and LevelCode then keep their values). A sensor count in
// the answer other than the record's still succeeds, with the result text
// "Число датчиков в сообщении не совпадает с фактическим" and no temperatures.
// For 31 or 32 sensors the first 30 are stored, the rest stay no data. A level
// that is not finite or does not fit 0..65535 dm is stored as 0.
class TModbusDataTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Запись системного адреса" as a broadcast: the device with the record's
// PlantNumber takes the record's SystemAddress (put there by the caller). Then
// waits up to 1500 ms for one byte (the device applies the change meanwhile)
// and succeeds whatever arrived. Use WriteAddressModbus, which verifies.
class TModbusWriteAddressTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Запись неизмеряемого уровня": the record's UnmeasurableLevel / 10 as a float.
class TModbusWriteUnmeasurableLevelTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// "Изменить протокол на Ларгис-1". In broadcast mode it goes to address 0,
// writes no operation name, ignores the answer and succeeds.
class TSetProtocolLargis1 : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
  bool NeedsDevice() const override { return !Broadcast; }
};

// "Вход в режим загрузки ПО": puts one device (its address and plant number)
// into firmware-upload mode. Leaves the port at even parity and a 250 ms read
// time-out. With Broadcast set it still goes to the device's address, but the
// answer is ignored and the result is true.
class TSetSoftUploadModeTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;

 protected:
  bool Exchange() override;
  bool Decode(const std::uint8_t* answer, int length) override;
};

// Gives a Modbus device the record's SystemAddress by its PlantNumber (one
// broadcast write), then verifies by identification at the new address with
// RunWithRetry(attempts): true only if it answers with the record's plant
// number. The caller restores the old address on failure.
bool WriteAddressModbus(TCustomComPort* port, TDevice* device, int attempts);
