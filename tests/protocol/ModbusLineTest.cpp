// Modbus requests and the dual classes' Modbus variants against the virtual
// line through the real serial port.
#include "LineFixture.h"

TEST_F(LineTest, ModbusWorkedFramesOnTheWire) {
  const int sim = AddDevice(5, 1234, dpModbus);
  line.Modify(sim, [](TSimDevice& d) {
    d.LevelMetres = 12.34;
    d.StatusFlags = 0x0011;
  });
  port.SetWriteTraceEnabled(true);

  TModbusDataTransaction data(&port, dpModbus);
  ASSERT_TRUE(data.Execute(&device)) << device.LastResult;
  TSimFrame f = Frame(0);
  EXPECT_EQ(Hex(f.Bytes), "05 04 00 00 00 2D 31 93");
  EXPECT_EQ(f.FirstParity, TSimParity::NoneOrEven);
  EXPECT_EQ(f.RestParity, TSimParity::NoneOrEven);
  EXPECT_EQ(f.Answer.size(), 95u);
  const auto trace = port.WriteTrace();
  ASSERT_EQ(trace.size(), 1u);  // the whole frame in one write, even parity
  EXPECT_EQ(trace[0].Parity, prEven);
  EXPECT_EQ(device.LastOperation, "Чтение данных");
  EXPECT_EQ(device.LastResult, "Операция завершена успешно");
  EXPECT_EQ(Temps(), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));
  EXPECT_EQ(device.Level, 123);
  EXPECT_EQ(device.LevelCode, 0);
  EXPECT_EQ(device.TemperatureState, 0x0001);
  EXPECT_EQ(device.LevelState, 0x0010);

  device.SetSensorCount(0);
  TReadSensorNumberTransaction sensors(&port, dpModbus);
  ASSERT_TRUE(sensors.Execute(&device)) << device.LastResult;
  f = Frame(1);
  EXPECT_EQ(Hex(f.Bytes), "05 04 00 0E 00 01 51 8D");
  EXPECT_EQ(f.FirstParity, TSimParity::NoneOrEven);
  EXPECT_EQ(device.SensorCount(), 3);

  TSetProtocolLargis1 toNative(&port, dpModbus);
  ASSERT_TRUE(toNative.Execute(nullptr));
  f = Frame(2);
  EXPECT_EQ(Hex(f.Bytes), "00 10 03 EA 00 01 02 00 55 4E 35");
  EXPECT_EQ(f.FirstParity, TSimParity::NoneOrEven);
  EXPECT_TRUE(line.WaitDevice(
      sim, [](const TSimDevice& d) { return d.Protocol == dpLargis1; }, std::chrono::seconds(2)));
}

TEST_F(LineTest, ModbusSettingsRequests) {
  const int sim = AddDevice(9, 4321, dpModbus, {0x0100});
  line.Modify(sim, [](TSimDevice& d) {
    d.HardwareVersion = 2;
    d.SoftwareVersion = 17;
    d.UnmeasurableLevel = 125;
  });

  TReadIdentificationTransaction identification(&port, dpModbus);
  ASSERT_TRUE(identification.Execute(&device)) << device.LastResult;
  EXPECT_EQ(identification.PlantNumber(), 4321);
  EXPECT_EQ(identification.HardwareVersion(), 2);
  EXPECT_EQ(identification.SoftwareVersion(), 17);
  EXPECT_EQ(device.LastOperation, "Чтение идентификации устройства");
  EXPECT_EQ(Prefix(Frame(0).Bytes, 4), "09 2B 0E 01");

  // The Modbus unmeasurable-level read keeps the port's read limit.
  port.Timeouts().SetReadTotalConstant(150);
  TReadUnmeasurableLevelTransaction readLevel(&port, dpModbus);
  ASSERT_TRUE(readLevel.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.UnmeasurableLevel, 125);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 150);
  EXPECT_EQ(Prefix(Frame(1).Bytes, 6), "09 03 03 E8 00 02");

  device.UnmeasurableLevel = 125;
  line.Modify(sim, [](TSimDevice& d) { d.UnmeasurableLevel = 0; });
  TModbusWriteUnmeasurableLevelTransaction writeLevel(&port, dpModbus);
  ASSERT_TRUE(writeLevel.Execute(&device)) << device.LastResult;
  EXPECT_EQ(Prefix(Frame(2).Bytes, 11), "09 10 03 E8 00 02 04 41 48 00 00");
  EXPECT_EQ(line.Device(sim).UnmeasurableLevel, 125);
  EXPECT_EQ(device.LastOperation, "Запись неизмеряемого уровня");

  TEmptyBunkerCalibrationTransaction bunker(&port, dpModbus);
  ASSERT_TRUE(bunker.Execute(&device)) << device.LastResult;
  EXPECT_EQ(Prefix(Frame(3).Bytes, 9), "09 10 03 EB 00 01 02 B5 B5");
  EXPECT_EQ(line.Device(sim).EmptyBunkerCalibrations, 1);

  TSetProtocolLargis1 toNative(&port, dpModbus);
  ASSERT_TRUE(toNative.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.LastOperation, "Изменить протокол на Ларгис-1");
  EXPECT_TRUE(line.WaitDevice(
      sim, [](const TSimDevice& d) { return d.Protocol == dpLargis1; }, std::chrono::seconds(2)));
  line.Modify(sim, [](TSimDevice& d) { d.Protocol = dpModbus; });

  TSetSoftUploadModeTransaction upload(&port, dpModbus);
  ASSERT_TRUE(upload.Execute(&device)) << device.LastResult;
  EXPECT_EQ(Prefix(Frame(5).Bytes, 13), "09 10 00 03 00 03 06 00 06 10 E1 A5 A5");
  EXPECT_EQ(device.LastOperation, "Вход в режим загрузки ПО");
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 250);
  EXPECT_EQ(port.Parity().Bits(), prEven);
  EXPECT_TRUE(line.WaitDevice(
      sim, [](const TSimDevice& d) { return d.Uploading; }, std::chrono::seconds(2)));
}

TEST_F(LineTest, ModbusLevelRoundingAndSensorCounts) {
  const int sim = AddDevice(5, 1, dpModbus);
  TModbusDataTransaction data(&port, dpModbus);
  struct Case {
    double metres;
    std::uint16_t decimetres;
  } cases[] = {{12.34, 123}, {0.25, 2}, {0.75, 8}, {std::nan(""), 0}, {1e9, 0}};
  for (const Case& c : cases) {
    line.Modify(sim, [&](TSimDevice& d) { d.LevelMetres = c.metres; });
    device.Level = 999;
    ASSERT_TRUE(data.Execute(&device)) << device.LastResult;
    EXPECT_EQ(device.Level, c.decimetres) << c.metres;
  }

  // The answer carries 8 sensors for a record of 3: success, but no data.
  SetFaults(sim, [](TSimFaults& f) { f.SensorCount = 8; });
  EXPECT_TRUE(data.Execute(&device));
  EXPECT_EQ(device.LastResult, "Число датчиков в сообщении не совпадает с фактическим");
  EXPECT_EQ(Temps(), std::vector<std::uint16_t>(3, kNoDataTemperature));
  SetFaults(sim, [](TSimFaults&) {});

  // 32 sensors: 30 fit in the answer, the last two show no data.
  std::vector<std::uint16_t> many;
  for (int i = 0; i < 32; ++i) many.push_back(static_cast<std::uint16_t>(0x0200 + i));
  line.Modify(sim, [&](TSimDevice& d) { d.Temperatures = many; });
  device.SetSensorCount(32);
  ASSERT_TRUE(data.Execute(&device)) << device.LastResult;
  const auto temps = Temps();
  ASSERT_EQ(temps.size(), 32u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(temps[i], 0x0200 + i);
  EXPECT_EQ(temps[30], kNoDataTemperature);
  EXPECT_EQ(temps[31], kNoDataTemperature);
}

TEST_F(LineTest, ModbusAnswerFaults) {
  const int sim = AddDevice(5, 1, dpModbus);
  TModbusDataTransaction modbus(&port, dpModbus);
  TModbusDataTransaction native(&port);  // created with Create(Port)
  ASSERT_EQ(native.Protocol(), dpLargis1);
  device.Level = 77;
  device.LevelState = 0x0010;

  SetFaults(sim, [](TSimFaults& f) { f.ErrorCode = 2; });
  EXPECT_FALSE(modbus.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x02");
  EXPECT_FALSE(native.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код неизвестен");
  EXPECT_EQ(device.Level, 77);
  EXPECT_EQ(device.LevelState, 0x0010);
  EXPECT_EQ(Temps(), std::vector<std::uint16_t>(3, kNoDataTemperature));

  SetFaults(sim, [](TSimFaults& f) { f.BadCrc = true; });
  EXPECT_FALSE(modbus.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка контрольной суммы");

  SetFaults(sim, [](TSimFaults& f) { f.ShortBy = 3; });
  EXPECT_FALSE(modbus.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка контрольной суммы");

  SetFaults(sim, [](TSimFaults& f) { f.Garbage = WithCrc({0x05, 0x04, 0x02, 0x00, 0x03}); });
  EXPECT_FALSE(modbus.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка фрейма");

  // Exception to the sensor-count read, under both protocol settings.
  SetFaults(sim, [](TSimFaults& f) { f.ErrorCode = 3; });
  TReadSensorNumberTransaction sensors(&port, dpModbus);
  EXPECT_FALSE(sensors.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x03");
  TReadUnmeasurableLevelTransaction readLevel(&port, dpModbus);
  EXPECT_FALSE(readLevel.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x03");
  TSetSoftUploadModeTransaction upload(&port);
  EXPECT_FALSE(upload.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код неизвестен");

  // An unmeasurable level that is not a number: refused, record unchanged.
  SetFaults(sim, [](TSimFaults& f) {
    f.Garbage = WithCrc({0x05, 0x03, 0x04, 0x7F, 0xC0, 0x00, 0x00});
  });
  device.UnmeasurableLevel = 33;
  EXPECT_FALSE(readLevel.Execute(&device));
  EXPECT_EQ(device.LastResult, "Неизвестная ошибка");
  EXPECT_EQ(device.UnmeasurableLevel, 33);
}

TEST_F(LineTest, ModbusSilence) {
  const int sim = AddDevice(5, 1, dpModbus);
  SetFaults(sim, [](TSimFaults& f) { f.Silent = true; });
  TModbusDataTransaction data(&port, dpModbus);
  const double ms = Timed([&] { EXPECT_FALSE(data.Execute(&device)); });
  EXPECT_GE(ms, 250.0);
  EXPECT_LT(ms, 2000.0);
  EXPECT_EQ(device.LastResult, "Нет связи с прибором");
  // With Broadcast set the upload-mode request ignores the missing answer.
  TSetSoftUploadModeTransaction upload(&port, dpModbus);
  upload.Broadcast = true;
  EXPECT_TRUE(upload.Execute(&device));
  EXPECT_EQ(Frame(1).Bytes.at(0), 0x05);
}

TEST_F(LineTest, WriteAddressModbusVerifiesByIdentification) {
  const int sim = AddDevice(3, 1234, dpModbus);
  TSimDevice other;
  other.Address = 8;
  other.PlantNumber = 4321;
  other.Protocol = dpModbus;
  line.AddDevice(other);

  device.SetSystemAddress(7);
  ASSERT_TRUE(WriteAddressModbus(&port, &device, 2)) << device.LastResult;
  EXPECT_EQ(line.Device(sim).Address, 7);
  ASSERT_TRUE(line.WaitFrames(2, std::chrono::seconds(2)));
  const auto frames = line.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Prefix(frames[0].Bytes, 13), "00 10 00 00 00 03 06 00 06 04 D2 00 07");
  EXPECT_EQ(Prefix(frames[1].Bytes, 2), "07 2B");
  EXPECT_EQ(device.LastOperation, "Чтение идентификации устройства");

  // The device at the new address answers with another plant number.
  TDevice stranger;
  stranger.SetPlantNumber(999);
  stranger.SetSystemAddress(8);
  line.ClearFrames();
  EXPECT_FALSE(WriteAddressModbus(&port, &stranger, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(line.FrameCount(), 2u);  // the identification succeeded once
}

TEST_F(LineTest, WriteAddressModbusTriesAtMostFiveIdentifications) {
  AddDevice(3, 1234, dpModbus);
  TDevice absent;
  absent.SetPlantNumber(9999);
  absent.SetSystemAddress(7);
  const double ms = Timed([&] { EXPECT_FALSE(WriteAddressModbus(&port, &absent, 9)); });
  EXPECT_GE(ms, 1500.0);  // the pause after the broadcast
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto frames = line.Frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0].Bytes[0], 0x00);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].Bytes[0], 0x07);
    EXPECT_EQ(frames[i].Bytes[1], 0x2B);
  }
  EXPECT_EQ(absent.LastResult, "Нет связи с прибором");
}
