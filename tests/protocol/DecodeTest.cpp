// Decoding of every request's answer into the device record, on byte vectors
// through DecodeAnswer (the same step Exchange runs after its read).
#include <gtest/gtest.h>

#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "TestFrames.h"

namespace {

std::vector<std::uint16_t> Temps(const TDevice& d) {
  return d.TemperaturesSnapshot();
}

void FillTemperatures(TDevice& d, std::uint16_t value) {
  std::uint16_t* t = d.LockTemperatures();
  for (int i = 0; i < d.SensorCount(); ++i) t[i] = value;
  d.UnlockTemperatures();
}

}  // namespace

TEST(TemperatureDecodeTest, WorkedAnswer) {
  TDevice d;
  d.SetSystemAddress(5);
  d.SetSensorCount(3);
  d.TemperatureState = 0x8005;
  TTemperatureTransaction t(nullptr);
  const Bytes answer{0x05, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA, 0xAC, 0x55};
  ASSERT_TRUE(Decode(t, d, answer));
  EXPECT_EQ(d.LastResult, "Операция завершена успешно");
  EXPECT_EQ(d.TemperatureState, 0);
  EXPECT_EQ(Temps(d), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));
  EXPECT_EQ(static_cast<std::int16_t>(Temps(d)[1]) / 16.0, -3.25);
}

TEST(TemperatureDecodeTest, ZeroSensors) {
  TDevice d;
  TTemperatureTransaction t(nullptr);
  EXPECT_TRUE(Decode(t, d, WithCrc({0x05, 0x01, 0x01})));
  EXPECT_EQ(d.TemperatureState, 0);
}

TEST(TemperatureDecodeTest, FrameAndProtocolErrorsMarkTheState) {
  TDevice d;
  d.SetSensorCount(3);
  TTemperatureTransaction t(nullptr);
  struct Case {
    Bytes answer;
    const char* text;
  } cases[] = {
      // Length byte announces 2 sensors.
      {WithCrc({0x05, 0x01, 0x05, 0x01, 0x98, 0x01, 0x98}), "Ошибка фрейма"},
      // Length byte right but the answer stops after one word: never copied.
      {WithCrc({0x05, 0x01, 0x07, 0x01, 0x98}), "Ошибка фрейма"},
      {WithCrc({0x05, 0xFA, 0x02, 0x1F}), "Ошибка протокола код 0x1F"},
      {WithCrc({0x05, 0x20, 0x02, 0x1F}), "Ошибка протокола код неизвестен"},
  };
  for (const Case& c : cases) {
    FillTemperatures(d, 0x0190);
    d.TemperatureState = 0;
    EXPECT_FALSE(Decode(t, d, c.answer));
    EXPECT_EQ(d.LastResult, c.text);
    EXPECT_EQ(d.TemperatureState, kStateFailed);
    EXPECT_EQ(Temps(d), std::vector<std::uint16_t>(3, kNoDataTemperature));
  }
}

TEST(TemperatureDecodeTest, NoLinkAndChecksumKeepTheState) {
  TDevice d;
  d.SetSensorCount(2);
  d.TemperatureState = 0x0004;
  TTemperatureTransaction t(nullptr);
  FillTemperatures(d, 0x0190);
  EXPECT_FALSE(Decode(t, d, {0x05, 0x01, 0x05, 0x00}));
  EXPECT_EQ(d.LastResult, "Нет связи с прибором");
  EXPECT_EQ(d.TemperatureState, 0x0004);
  EXPECT_EQ(Temps(d)[0], kNoDataTemperature);
  FillTemperatures(d, 0x0190);
  EXPECT_FALSE(Decode(t, d, {0x05, 0x01, 0x05, 0x00, 0x10, 0x00, 0x20, 0x00, 0x00}));
  EXPECT_EQ(d.LastResult, "Ошибка контрольной суммы");
  EXPECT_EQ(d.TemperatureState, 0x0004);
  EXPECT_EQ(Temps(d)[1], kNoDataTemperature);
}

TEST(LevelDecodeTest, SuccessAndFailure) {
  TDevice d;
  TLevelTransaction t(nullptr);
  ASSERT_TRUE(Decode(t, d, WithCrc({0x05, 0x01, 0x06, 0x12, 0x34, 0x00, 0x7B, 0xFF})));
  EXPECT_EQ(d.LevelCode, 0x1234);
  EXPECT_EQ(d.Level, 123);
  EXPECT_EQ(d.LevelState, 0x32);  // only bits 1, 4, 5
  EXPECT_FALSE(Decode(t, d, WithCrc({0x05, 0xFA, 0x02, 0x03})));
  EXPECT_EQ(d.LastResult, "Ошибка протокола код 0x03");
  EXPECT_EQ(d.LevelState, kStateFailed);
  EXPECT_EQ(d.LevelCode, 0x1234);
  EXPECT_EQ(d.Level, 123);
  d.LevelState = 0;
  EXPECT_FALSE(Decode(t, d, WithCrc({0x05, 0x01, 0x06, 0x12, 0x34, 0x00, 0x7B})));
  EXPECT_EQ(d.LastResult, "Ошибка фрейма");
  EXPECT_EQ(d.LevelState, kStateFailed);
}

TEST(IdentificationDecodeTest, Native) {
  TDevice d;
  d.SetSystemAddress(5);
  TReadIdentificationTransaction t(nullptr);
  ASSERT_TRUE(Decode(t, d, WithCrc({0x09, 0x20, 0x06, 0x06, 0x04, 0xD2, 0x02, 0x11})));
  EXPECT_EQ(d.SystemAddress(), 9);  // the address the device answered from
  EXPECT_EQ(t.PlantNumber(), 1234);
  EXPECT_EQ(t.HardwareVersion(), 2);
  EXPECT_EQ(t.SoftwareVersion(), 0x11);
  EXPECT_EQ(d.PlantNumber(), 0);  // the caller decides

  // Device type 5: right CRC and length, still refused; address unchanged.
  EXPECT_FALSE(Decode(t, d, WithCrc({0x07, 0x20, 0x06, 0x05, 0x04, 0xD2, 0x02, 0x11})));
  EXPECT_EQ(d.LastResult, "Неизвестная ошибка");
  EXPECT_EQ(d.SystemAddress(), 9);
}

namespace {

Bytes ModbusIdentification(const char* plant, const char* hardware, const char* software) {
  Bytes b(61, ' ');
  b[0] = 5;
  b[1] = 0x2B;
  b[2] = 0x0E;
  for (int i = 0; i < 5; ++i) b[21 + i] = static_cast<std::uint8_t>(plant[i]);
  for (int i = 0; i < 3; ++i) b[41 + i] = static_cast<std::uint8_t>(hardware[i]);
  for (int i = 0; i < 3; ++i) b[58 + i] = static_cast<std::uint8_t>(software[i]);
  return WithCrc(b);
}

}  // namespace

TEST(IdentificationDecodeTest, ModbusTextFields) {
  TDevice d;
  d.SetSystemAddress(5);
  TReadIdentificationTransaction t(nullptr, dpModbus);
  ASSERT_TRUE(Decode(t, d, ModbusIdentification("01234", "002", " 17")));
  EXPECT_EQ(t.PlantNumber(), 1234);
  EXPECT_EQ(t.HardwareVersion(), 2);
  EXPECT_EQ(t.SoftwareVersion(), 17);
  ASSERT_TRUE(Decode(t, d, ModbusIdentification("12a45", "   ", "255")));
  EXPECT_EQ(t.PlantNumber(), 0);
  EXPECT_EQ(t.HardwareVersion(), 0);
  EXPECT_EQ(t.SoftwareVersion(), 255);
  // No device-type check and no address change in Modbus; length must be 63.
  EXPECT_EQ(d.SystemAddress(), 5);
  Bytes longer = ModbusIdentification("01234", "002", "017");
  longer.insert(longer.end() - 2, 0x20);
  EXPECT_FALSE(Decode(t, d, WithCrc(Bytes(longer.begin(), longer.end() - 2))));
  EXPECT_EQ(d.LastResult, "Ошибка фрейма");
}

TEST(ParseDecimalFieldTest, Forms) {
  auto parse = [](const char* s, int n) {
    return ParseDecimalField(reinterpret_cast<const std::uint8_t*>(s), n);
  };
  EXPECT_EQ(parse("01234", 5), 1234);
  EXPECT_EQ(parse(" 12  ", 5), 12);
  EXPECT_EQ(parse("-7", 2), -7);
  EXPECT_EQ(parse("     ", 5), 0);
  EXPECT_EQ(parse("1 2", 3), 0);
  EXPECT_EQ(parse("99999999999", 11), 0);
  EXPECT_EQ(parse("12\0", 3), 0);
}

TEST(WriteAddressDecodeTest, Confirmation) {
  TDevice d;
  d.SetSystemAddress(7);
  d.SetPlantNumber(1234);
  d.SetSensorCount(1);
  FillTemperatures(d, 0x0190);
  TWriteAddressTransaction t(nullptr);
  EXPECT_TRUE(Decode(t, d, WithCrc({0x07, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07})));
  EXPECT_EQ(d.LastResult, "Операция завершена успешно");
  // The right plant number but another address.
  EXPECT_FALSE(Decode(t, d, WithCrc({0x08, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x08})));
  EXPECT_EQ(d.LastResult, "Неизвестная ошибка");
  // Too short to carry the plant number: cannot confirm.
  EXPECT_FALSE(Decode(t, d, WithCrc({0x07, 0x25, 0x05, 0x06, 0x04})));
  EXPECT_EQ(d.LastResult, "Неизвестная ошибка");
  EXPECT_FALSE(Decode(t, d, WithCrc({0x07, 0xFA, 0x02, 0x21})));
  EXPECT_EQ(d.LastResult, "Ошибка протокола код 0x21");
  // Missing or corrupt answers leave the temperatures alone.
  EXPECT_FALSE(Decode(t, d, {}));
  EXPECT_EQ(d.LastResult, "Нет связи с прибором");
  EXPECT_FALSE(Decode(t, d, {0x07, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07, 0x00, 0x00}));
  EXPECT_EQ(d.LastResult, "Ошибка контрольной суммы");
  EXPECT_EQ(Temps(d)[0], 0x0190);
}

TEST(SettingsDecodeTest, SensorCountBothProtocols) {
  TDevice d;
  TReadSensorNumberTransaction native(nullptr);
  ASSERT_TRUE(Decode(native, d, WithCrc({0x05, 0xB4, 0x02, 0x0A})));
  EXPECT_EQ(d.SensorCount(), 10);
  ASSERT_TRUE(Decode(native, d, WithCrc({0x05, 0xB4, 0x02, 0x28})));
  EXPECT_EQ(d.SensorCount(), 32);  // the setter's limit
  TReadSensorNumberTransaction modbus(nullptr, dpModbus);
  ASSERT_TRUE(Decode(modbus, d, WithCrc({0x05, 0x04, 0x02, 0x01, 0x08})));
  EXPECT_EQ(d.SensorCount(), 8);  // low byte of the register
  EXPECT_EQ(Temps(d), std::vector<std::uint16_t>(8, kNoDataTemperature));
  EXPECT_FALSE(Decode(modbus, d, WithCrc({0x05, 0x84, 0x02})));
  EXPECT_EQ(d.LastResult, "Ошибка протокола код 0x02");
  EXPECT_EQ(d.SensorCount(), 8);
}

TEST(SettingsDecodeTest, CalibrationCoefficientAndUnmeasurableLevel) {
  TDevice d;
  TReadCalibrationTransaction calibration(nullptr);
  ASSERT_TRUE(Decode(calibration, d,
                     WithCrc({0x05, 0xA6, 0x09, 0x01, 0x02, 0x00, 0x7D, 0x03, 0x04, 0x01, 0x2C})));
  EXPECT_EQ(d.CalibrationCode1, 0x0102);
  EXPECT_EQ(d.UnmeasurableLevel, 125);
  EXPECT_EQ(d.CalibrationCode2, 0x0304);
  EXPECT_EQ(d.CalibrationLevel2, 300);

  TReadUnmeasurableLevelTransaction level(nullptr);
  ASSERT_TRUE(Decode(level, d,
                     WithCrc({0x05, 0xA6, 0x09, 0xFF, 0xFF, 0x00, 0x50, 0xFF, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(d.UnmeasurableLevel, 80);
  EXPECT_EQ(d.CalibrationCode1, 0x0102);

  TReadCoefficientTransaction coefficient(nullptr);
  ASSERT_TRUE(Decode(coefficient, d, WithCrc({0x05, 0xB4, 0x02, 0x10})));
  EXPECT_EQ(d.AveragingCoefficient(), 16);
}

TEST(SettingsDecodeTest, ModbusUnmeasurableLevel) {
  TDevice d;
  d.UnmeasurableLevel = 42;
  TReadUnmeasurableLevelTransaction t(nullptr, dpModbus);
  ASSERT_TRUE(Decode(t, d, WithCrc({0x05, 0x03, 0x04, 0x41, 0x48, 0x00, 0x00})));  // 12.5 m
  EXPECT_EQ(d.UnmeasurableLevel, 125);
  ASSERT_TRUE(Decode(t, d, WithCrc({0x05, 0x03, 0x04, 0x3E, 0x80, 0x00, 0x00})));  // 0.25 m
  EXPECT_EQ(d.UnmeasurableLevel, 2);
  // Not a number, infinite, negative beyond rounding, too large: refused.
  for (Bytes f : {Bytes{0x7F, 0xC0, 0x00, 0x00}, Bytes{0x7F, 0x80, 0x00, 0x00},
                  Bytes{0xBF, 0x80, 0x00, 0x00}, Bytes{0x47, 0x00, 0x00, 0x00}}) {
    Bytes b{0x05, 0x03, 0x04};
    b.insert(b.end(), f.begin(), f.end());
    EXPECT_FALSE(Decode(t, d, WithCrc(b)));
    EXPECT_EQ(d.LastResult, "Неизвестная ошибка");
    EXPECT_EQ(d.UnmeasurableLevel, 2);
  }
}

TEST(SettingsDecodeTest, WritesAndSwitches) {
  TDevice d;
  TWriteCalibrationTransaction calibration(nullptr);
  EXPECT_TRUE(Decode(calibration, d, WithCrc({0x05, 0xA4, 0x01})));
  TWriteCoefficientTransaction coefficient(nullptr);
  EXPECT_TRUE(Decode(coefficient, d, WithCrc({0x05, 0xB1, 0x01})));
  TEmptyBunkerCalibrationTransaction bunker(nullptr);
  EXPECT_TRUE(Decode(bunker, d, WithCrc({0x05, 0xA4, 0x01})));
  TEmptyBunkerCalibrationTransaction bunkerModbus(nullptr, dpModbus);
  EXPECT_TRUE(Decode(bunkerModbus, d, WithCrc({0x05, 0x10, 0x03, 0xEB, 0x00, 0x01})));
  EXPECT_FALSE(Decode(bunkerModbus, d, WithCrc({0x05, 0xA4, 0x01})));
  TModbusWriteUnmeasurableLevelTransaction level(nullptr, dpModbus);
  EXPECT_TRUE(Decode(level, d, WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02})));
  TSetSoftUploadModeTransaction upload(nullptr, dpModbus);
  EXPECT_TRUE(Decode(upload, d, WithCrc({0x05, 0x10, 0x00, 0x03, 0x00, 0x03})));
  EXPECT_FALSE(Decode(upload, d, {}));
  upload.Broadcast = true;  // answer ignored
  EXPECT_TRUE(Decode(upload, d, {}));
  TSetProtocolModbus toModbus(nullptr);
  EXPECT_FALSE(Decode(toModbus, d, {}));
  TSetProtocolLargis1 toNative(nullptr, dpModbus);
  EXPECT_TRUE(Decode(toNative, d, WithCrc({0x05, 0x10, 0x03, 0xEA, 0x00, 0x01})));
  TModbusWriteAddressTransaction address(nullptr);
  EXPECT_TRUE(Decode(address, d, {}));  // the write never fails by itself
}

TEST(ModbusDataDecodeTest, StatusLevelTemperatures) {
  TDevice d;
  d.SetSystemAddress(5);
  d.SetSensorCount(3);
  d.LevelCode = 99;
  TModbusDataTransaction t(nullptr, dpModbus);
  // Status 0x003F: temperature bits 0, 2, 3; level bits 1, 4, 5. Level 12.34 m.
  ASSERT_TRUE(Decode(
      t, d, ModbusDataAnswer(5, 0x003F, {0x41, 0x45, 0x70, 0xA4}, 3, {0x0198, 0xFFCC, 0xAAAA})));
  EXPECT_EQ(d.LastResult, "Операция завершена успешно");
  EXPECT_EQ(d.TemperatureState, 0x000D);
  EXPECT_EQ(d.LevelState, 0x0032);
  EXPECT_EQ(d.LevelCode, 0);
  EXPECT_EQ(d.Level, 123);
  EXPECT_EQ(Temps(d), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));
}

TEST(ModbusDataDecodeTest, LevelRounding) {
  TDevice d;
  TModbusDataTransaction t(nullptr, dpModbus);
  struct Case {
    std::initializer_list<std::uint8_t> f;
    std::uint16_t level;
  } cases[] = {
      {{0x3E, 0x80, 0x00, 0x00}, 2},   // 0.25 m: 2.5 dm rounds to even
      {{0x3F, 0x40, 0x00, 0x00}, 8},   // 0.75 m: 7.5 dm rounds to even
      {{0x3F, 0xA0, 0x00, 0x00}, 12},  // 1.25 m
      {{0x7F, 0xC0, 0x00, 0x00}, 0},   // not a number
      {{0xFF, 0x80, 0x00, 0x00}, 0},   // minus infinity
      {{0x46, 0x00, 0x00, 0x00}, 0},   // 8192 m: 81920 dm does not fit
      {{0xBF, 0x80, 0x00, 0x00}, 0},   // -1 m
  };
  for (const Case& c : cases) {
    d.Level = 555;
    ASSERT_TRUE(Decode(t, d, ModbusDataAnswer(0, 0, c.f, 0, {})));
    EXPECT_EQ(d.Level, c.level);
  }
}

TEST(ModbusDataDecodeTest, SensorCountMismatchStillSucceeds) {
  TDevice d;
  d.SetSensorCount(10);
  TModbusDataTransaction t(nullptr, dpModbus);
  FillTemperatures(d, 0x0190);
  ASSERT_TRUE(Decode(
      t, d, ModbusDataAnswer(5, 0x0004, {0, 0, 0, 0}, 8, std::vector<std::uint16_t>(8, 0x0150))));
  EXPECT_EQ(d.LastResult, "Число датчиков в сообщении не совпадает с фактическим");
  EXPECT_EQ(Temps(d), std::vector<std::uint16_t>(10, kNoDataTemperature));
  EXPECT_EQ(d.TemperatureState, 0x0004);
}

TEST(ModbusDataDecodeTest, ThirtyOneAndThirtyTwoSensorsKeepThirty) {
  for (int n : {30, 31, 32}) {
    TDevice d;
    d.SetSensorCount(n);
    std::vector<std::uint16_t> values;
    for (int i = 0; i < 30; ++i) values.push_back(static_cast<std::uint16_t>(0x0100 + i));
    TModbusDataTransaction t(nullptr, dpModbus);
    ASSERT_TRUE(
        Decode(t, d, ModbusDataAnswer(1, 0, {0, 0, 0, 0}, static_cast<std::uint16_t>(n), values)));
    const auto temps = Temps(d);
    ASSERT_EQ(temps.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(temps[i], 0x0100 + i);
    for (int i = 30; i < n; ++i) EXPECT_EQ(temps[i], kNoDataTemperature);
  }
}

TEST(ModbusDataDecodeTest, FailureKeepsStateAndLevel) {
  TDevice d;
  d.SetSensorCount(2);
  d.Level = 77;
  d.LevelState = 0x0010;
  d.TemperatureState = 0x0001;
  FillTemperatures(d, 0x0190);
  TModbusDataTransaction t(nullptr);
  Bytes wrongLength = ModbusDataAnswer(1, 0, {0, 0, 0, 0}, 2, {});
  wrongLength.erase(wrongLength.end() - 3, wrongLength.end());
  EXPECT_FALSE(Decode(t, d, WithCrc(wrongLength)));
  EXPECT_EQ(d.LastResult, "Ошибка фрейма");
  EXPECT_EQ(d.Level, 77);
  EXPECT_EQ(d.LevelState, 0x0010);
  EXPECT_EQ(d.TemperatureState, 0x0001);
  EXPECT_EQ(Temps(d), std::vector<std::uint16_t>(2, kNoDataTemperature));
}
