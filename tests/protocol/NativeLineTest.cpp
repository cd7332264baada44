// Native requests against the virtual line through the real serial port.
#include "LineFixture.h"

TEST_F(LineTest, NativeWorkedFramesOnTheWire) {
  AddDevice(5, 1234, dpLargis1);
  port.SetWriteTraceEnabled(true);

  TTemperatureTransaction temperature(&port);
  ASSERT_TRUE(temperature.Execute(&device)) << device.LastResult;
  TSimFrame f = NextFrame();
  EXPECT_EQ(Hex(f.Bytes), "05 01 02 02 D1 89");
  EXPECT_EQ(Hex(f.Answer), "05 01 07 01 98 FF CC AA AA AC 55");
  EXPECT_EQ(Temps(), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));
  EXPECT_EQ(device.LastOperation, "Чтение показаний температуры");
  EXPECT_EQ(device.LastResult, "Операция завершена успешно");

  // The port's own record: the address byte alone with mark parity, the rest
  // with space parity at least 2 ms after the address byte had left.
  const auto trace = port.WriteTrace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].Parity, prMark);
  EXPECT_EQ(trace[0].Bytes, Bytes{0x05});
  EXPECT_EQ(trace[1].Parity, prSpace);
  EXPECT_GE(trace[1].Time - trace[0].Time, std::chrono::microseconds(2000));
  ExpectNativeDiscipline(temperature, &device);

  TReadIdentificationTransaction identification(&port);
  ASSERT_TRUE(identification.Execute(&device)) << device.LastResult;
  EXPECT_EQ(Hex(NextFrame().Bytes), "05 20 01 B9 C1");
  EXPECT_EQ(identification.PlantNumber(), 1234);

  device.SetSystemAddress(7);
  TWriteAddressTransaction address(&port);
  ASSERT_TRUE(address.Execute(&device)) << device.LastResult;
  f = NextFrame();
  EXPECT_EQ(Hex(f.Bytes), "FF 25 05 06 04 D2 07 83 11");
  EXPECT_EQ(line.Device(0).Address, 7);
  ExpectNativeDiscipline(address, &device);
  EXPECT_EQ(device.LastOperation, "Запись системного адреса");

  device.LastOperation = "before";
  TSetProtocolModbus toModbus(&port);
  ASSERT_TRUE(toModbus.Execute(nullptr));
  EXPECT_TRUE(toModbus.Broadcast);
  f = NextFrame();
  EXPECT_EQ(Hex(f.Bytes), "FF B1 03 03 AA 67 A7");
  EXPECT_TRUE(line.WaitDevice(
      0, [](const TSimDevice& d) { return d.Protocol == dpModbus; }, std::chrono::seconds(2)));
  EXPECT_EQ(device.LastOperation, "before");
  ExpectNativeDiscipline(toModbus, nullptr);
}

TEST_F(LineTest, NativeSettingsRequests) {
  const int sim = AddDevice(3, 500, dpLargis1, {0x0010, 0x0020});
  // The read limits are not what is tested here: 50 ms a byte asked on top of
  // each request's own 100 or 200 ms keeps a loaded machine, which may hold
  // the line's thread back longer than that, from failing an exchange. Reads
  // that ask for more than the answer still end by the 50 ms quiet gap.
  port.Timeouts().SetReadTotalMultiplier(50);
  line.Modify(sim, [](TSimDevice& d) {
    d.LevelCode = 0x0456;
    d.LevelMetres = 7.5;
    d.StatusFlags = 0x00FF;
    d.CalibrationCode1 = 0x1111;
    d.UnmeasurableLevel = 125;
    d.CalibrationCode2 = 0x2222;
    d.CalibrationLevel2 = 300;
    d.AveragingCoefficient = 9;
  });

  TLevelTransaction level(&port);
  ASSERT_TRUE(level.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.LevelCode, 0x0456);
  EXPECT_EQ(device.Level, 75);
  EXPECT_EQ(device.LevelState, 0x32);
  EXPECT_EQ(device.LastOperation, "Чтение данных уровнемера");

  device.SetSensorCount(0);
  TReadSensorNumberTransaction sensors(&port);
  const double ms = Timed([&] { ASSERT_TRUE(sensors.Execute(&device)) << device.LastResult; });
  EXPECT_EQ(device.SensorCount(), 2);
  EXPECT_GE(ms, 50.0);  // asks 9 bytes for a 6-byte answer: ends by the quiet gap
  EXPECT_EQ(device.LastOperation, "Чтение числа датчиков");

  TReadCalibrationTransaction calibration(&port);
  ASSERT_TRUE(calibration.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.CalibrationCode1, 0x1111);
  EXPECT_EQ(device.UnmeasurableLevel, 125);
  EXPECT_EQ(device.CalibrationCode2, 0x2222);
  EXPECT_EQ(device.CalibrationLevel2, 300);

  device.CalibrationCode1 = 0x0102;
  device.UnmeasurableLevel = 40;
  device.CalibrationCode2 = 0x0304;
  device.CalibrationLevel2 = 250;
  TWriteCalibrationTransaction writeCalibration(&port);
  ASSERT_TRUE(writeCalibration.Execute(&device)) << device.LastResult;
  TSimDevice s = line.Device(sim);
  EXPECT_EQ(s.CalibrationCode1, 0x0102);
  EXPECT_EQ(s.UnmeasurableLevel, 40);
  EXPECT_EQ(s.CalibrationCode2, 0x0304);
  EXPECT_EQ(s.CalibrationLevel2, 250);
  EXPECT_EQ(device.LastOperation, "Запись калибровочных точек");

  device.UnmeasurableLevel = 0;
  TReadUnmeasurableLevelTransaction unmeasurable(&port);
  ASSERT_TRUE(unmeasurable.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.UnmeasurableLevel, 40);
  EXPECT_EQ(device.LastOperation, "Чтение неизмеряемого уровня");

  TReadCoefficientTransaction coefficient(&port);
  ASSERT_TRUE(coefficient.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.AveragingCoefficient(), 9);

  // A coefficient of 0 is never sent: 1 goes out and stays in the record.
  device.SetAveragingCoefficient(0);
  TWriteCoefficientTransaction writeCoefficient(&port);
  ASSERT_TRUE(writeCoefficient.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.AveragingCoefficient(), 1);
  EXPECT_EQ(line.Device(sim).AveragingCoefficient, 1);
  EXPECT_EQ(Prefix(Frame(6).Bytes, 5), "03 B1 03 02 01");

  TEmptyBunkerCalibrationTransaction bunker(&port);
  ASSERT_TRUE(bunker.Execute(&device)) << device.LastResult;
  EXPECT_EQ(line.Device(sim).EmptyBunkerCalibrations, 1);
  EXPECT_EQ(Prefix(Frame(7).Bytes, 13), "03 A4 0B 00 00 AA AA 00 28 55 55 00 00");
  EXPECT_EQ(device.LastOperation, "Калибровка на пустом бункере");

  // The unicast switch goes to the device's address and checks the answer.
  TSetProtocolModbus toModbus(&port);
  ASSERT_TRUE(toModbus.Execute(&device)) << device.LastResult;
  EXPECT_EQ(device.LastOperation, "Изменить протокол на Modbus");
  EXPECT_EQ(Prefix(Frame(8).Bytes, 5), "03 B1 03 03 AA");
}

TEST_F(LineTest, LevelKeepsThePortsReadTimeout) {
  AddDevice(5, 1, dpLargis1);
  // Only the constant is under test; a generous per-byte part keeps a loaded
  // machine from failing the exchanges.
  port.Timeouts().SetReadTotalMultiplier(50);
  port.Timeouts().SetReadTotalConstant(123);
  TLevelTransaction level(&port);
  ASSERT_TRUE(level.Execute(&device));
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 123);
  TTemperatureTransaction temperature(&port);
  ASSERT_TRUE(temperature.Execute(&device));
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 100);
  TWriteCoefficientTransaction write(&port);
  ASSERT_TRUE(write.Execute(&device));
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 200);
}

TEST_F(LineTest, NativeSilenceAndRetries) {
  const int sim = AddDevice(5, 1, dpLargis1);
  SetFaults(sim, [](TSimFaults& f) { f.Silent = true; });
  device.TemperatureState = 0x0004;
  TTemperatureTransaction temperature(&port);
  const double ms = Timed([&] { EXPECT_FALSE(temperature.Execute(&device)); });
  EXPECT_GE(ms, 100.0);  // the 100 ms read limit, plus 2 ms per byte asked
  EXPECT_LT(ms, 1000.0);
  EXPECT_EQ(device.LastResult, "Нет связи с прибором");
  EXPECT_EQ(device.TemperatureState, 0x0004);
  EXPECT_EQ(Temps(), std::vector<std::uint16_t>(3, kNoDataTemperature));
  ASSERT_TRUE(line.WaitFrames(1, std::chrono::seconds(2)));

  // The level read keeps the port's limit: 0 here, so each try costs 20 ms.
  port.Timeouts().SetReadTotalConstant(0);
  TLevelTransaction level(&port);
  line.ClearFrames();
  EXPECT_FALSE(RunWithRetry(&level, &device, 9));
  EXPECT_EQ(device.LevelState, kStateFailed);
  EXPECT_TRUE(line.WaitFrames(5, std::chrono::seconds(2)));
  line.ClearFrames();
  EXPECT_FALSE(RunWithRetry(&level, &device, 0));
  EXPECT_TRUE(line.WaitFrames(1, std::chrono::seconds(2)));
  // Nothing beyond the counted tries.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(line.FrameCount(), 1u);

  // A broadcast switch succeeds although nobody answers.
  TSetProtocolModbus toModbus(&port);
  EXPECT_TRUE(toModbus.Execute(nullptr));
}

TEST_F(LineTest, NativeAnswerFaults) {
  const int sim = AddDevice(5, 1234, dpLargis1);
  TTemperatureTransaction temperature(&port);
  TLevelTransaction level(&port);

  SetFaults(sim, [](TSimFaults& f) { f.BadCrc = true; });
  EXPECT_FALSE(temperature.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка контрольной суммы");
  EXPECT_EQ(device.TemperatureState, 0);

  SetFaults(sim, [](TSimFaults& f) { f.ErrorCode = 0x1F; });
  EXPECT_FALSE(temperature.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x1F");
  EXPECT_EQ(device.TemperatureState, kStateFailed);
  EXPECT_FALSE(level.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x1F");
  EXPECT_EQ(device.LevelState, kStateFailed);

  // Two sensors in the answer for a record of three: length byte mismatch.
  SetFaults(sim, [](TSimFaults& f) { f.SensorCount = 2; });
  device.TemperatureState = 0;
  EXPECT_FALSE(temperature.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка фрейма");
  EXPECT_EQ(device.TemperatureState, kStateFailed);
  EXPECT_EQ(Temps(), std::vector<std::uint16_t>(3, kNoDataTemperature));

  // A level answer one byte short, with a valid CRC.
  SetFaults(sim, [](TSimFaults& f) {
    f.Garbage = WithCrc({0x05, 0x01, 0x05, 0x00, 0x10, 0x00, 0x20});
  });
  device.LevelState = 0;
  EXPECT_FALSE(level.Execute(&device));
  EXPECT_EQ(device.LastResult, "Ошибка фрейма");
  EXPECT_EQ(device.LevelState, kStateFailed);

  // Identification of a device of another type: refused, address kept.
  SetFaults(sim, [](TSimFaults& f) { f.DeviceType = 5; });
  TReadIdentificationTransaction identification(&port);
  EXPECT_FALSE(identification.Execute(&device));
  EXPECT_EQ(device.LastResult, "Неизвестная ошибка");
  EXPECT_EQ(device.SystemAddress(), 5);

  // Address confirmed by the right plant number from another address.
  SetFaults(sim, [](TSimFaults& f) {
    f.Garbage = WithCrc({0x08, 0x25, 0x06, 0x06, 0x04, 0xD2, 0x01, 0x01});
  });
  TWriteAddressTransaction address(&port);
  EXPECT_FALSE(address.Execute(&device));
  EXPECT_EQ(device.LastResult, "Неизвестная ошибка");
}

TEST_F(LineTest, ExecuteNeedsAnOpenPortAndRunsTheMessageHook) {
  AddDevice(5, 1, dpLargis1);
  int calls = 0;
  SetProcessMessagesHook([&calls] { ++calls; });
  TLevelTransaction level(&port);
  EXPECT_TRUE(level.Execute(&device));
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(line.WaitFrames(1, std::chrono::seconds(2)));
  port.Close();
  device.LastOperation = "x";
  device.LastResult = "y";
  EXPECT_FALSE(level.Execute(&device));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(device.LastOperation, "x");
  EXPECT_EQ(device.LastResult, "y");
  SetProcessMessagesHook({});
  // A request that needs a device sends nothing without one.
  port.Open();
  line.ClearFrames();
  TTemperatureTransaction temperature(&port);
  EXPECT_FALSE(temperature.Execute(nullptr));
  EXPECT_TRUE(temperature.Broadcast);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(line.FrameCount(), 0u);
}
