// Single-device reads against the virtual line: what reaches the record, which
// marks are confirmed and when the configuration counts as modified.
#include "test_commands_line.h"

using namespace std::chrono_literals;

TEST(CommandColumns, WrittenColumnsFollowTheFourFlags) {
  EXPECT_EQ(Columns(WrittenColumns(true, false, false, false)), (std::vector<int>{3}));
  EXPECT_EQ(Columns(WrittenColumns(false, true, false, false)), (std::vector<int>{4}));
  EXPECT_EQ(Columns(WrittenColumns(false, false, true, false)), (std::vector<int>{5, 6, 7, 8}));
  EXPECT_EQ(Columns(WrittenColumns(false, false, false, true)), (std::vector<int>{9}));
  EXPECT_EQ(Columns(WrittenColumns(true, true, true, true)),
            (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(Columns(WrittenColumns(false, false, false, false)).empty());
}

TEST(CommandColumns, IdentificationLinesKeepTheirBlanks) {
  const auto lines = IdentificationLines("Bunker3", 5, 1234, 3, 17);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Прибор Лим-07. Имя:  Bunker3.");
  EXPECT_EQ(lines[1], "Системный номер:  5");
  EXPECT_EQ(lines[2], "Заводской номер:  1234");
  EXPECT_EQ(lines[3], "Аппаратное исполнение:  3");
  EXPECT_EQ(lines[4], "Программное исполнение:  17");
}

TEST(CommandColumns, NoDeviceMeansNoExchange) {
  TComPort port;  // closed: any exchange would fail, so Ran proves none happened
  TDeviceCommands c(&port, dpLargis1);
  for (const TCommandResult& r :
       {c.ReadTemperatures(nullptr), c.ReadIdentification(nullptr), c.WriteAddress(nullptr, 3),
        c.WriteCalibration(nullptr, {}), c.WriteSettings(nullptr), c.ReadSettings(nullptr),
        c.EmptyBunkerCalibration(nullptr)}) {
    EXPECT_FALSE(r.Ran);
    EXPECT_FALSE(r.Failed);
    EXPECT_FALSE(r.ShowState);
  }
}

TEST_F(CommandLine, DataReadsRefreshThePanelAfterSuccessAndFailure) {
  Start(dpLargis1);
  auto c = Commands(dpLargis1);
  TCommandResult r = c.ReadTemperatures(&device);
  EXPECT_TRUE(r.Ran);
  EXPECT_FALSE(r.Failed);
  EXPECT_TRUE(r.ShowState && r.ShowTemperatures && !r.ShowLevel);
  EXPECT_FALSE(r.RefillRow);
  EXPECT_EQ(r.ClearMarks, 0u);
  EXPECT_EQ(device.TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));

  r = c.ReadLevel(&device);
  EXPECT_FALSE(r.Failed);
  EXPECT_TRUE(r.ShowState && !r.ShowTemperatures && r.ShowLevel);
  EXPECT_EQ(device.LevelCode, 0x1234);
  EXPECT_EQ(device.Level, 123);

  Silence();
  r = c.ReadTemperatures(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowState && r.ShowTemperatures);  // the panel shows the failure
  EXPECT_EQ(device.LastResult, "Нет связи с прибором");
  EXPECT_EQ(device.TemperaturesSnapshot(), std::vector<std::uint16_t>(3, kNoDataTemperature));
  r = c.ReadLevel(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowState && r.ShowLevel);
  EXPECT_EQ(device.LevelState, kStateFailed);
  EXPECT_FALSE(r.Modified || r.RefillRow);
}

TEST_F(CommandLine, ModbusDataReadShowsTemperaturesAndLevel) {
  Start(dpModbus);
  auto c = Commands(dpModbus);
  TCommandResult r = c.ReadModbusData(&device);
  EXPECT_FALSE(r.Failed);
  EXPECT_TRUE(r.ShowState && r.ShowTemperatures && r.ShowLevel);
  EXPECT_EQ(device.TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA}));
  EXPECT_EQ(device.Level, 123);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.Frames().back().Bytes, WithCrc({0x05, 0x04, 0x00, 0x00, 0x00, 0x2D}));

  Silence();
  r = c.ReadModbusData(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowState);
  EXPECT_EQ(device.LastResult, "Нет связи с прибором");
}

TEST_F(CommandLine, IdentificationWithTheStoredPlantNumberLeavesModifiedAlone) {
  Start(dpLargis1);
  TCommandResult r = Commands(dpLargis1).ReadIdentification(&device);
  ASSERT_FALSE(r.Failed);
  EXPECT_FALSE(r.Modified);
  EXPECT_TRUE(r.RefillRow);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{2, 3}));
  EXPECT_EQ(r.Identification, IdentificationLines("Bunker3", 5, 1234, 3, 17));
  EXPECT_EQ(r.Identification[0], "Прибор Лим-07. Имя:  Bunker3.");
  EXPECT_TRUE(r.ShowState && !r.ShowTemperatures && !r.ShowLevel);
}

TEST_F(CommandLine, IdentificationWithAnotherPlantNumberTakesItInBothProtocols) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol);
    if (sim < 0) {
      Start(protocol);
    } else {
      line.Modify(sim, [protocol](TSimDevice& d) { d.Protocol = protocol; });
    }
    device.SetPlantNumber(999);
    TCommandResult r = Commands(protocol).ReadIdentification(&device);
    ASSERT_FALSE(r.Failed);
    EXPECT_TRUE(r.Modified);
    EXPECT_EQ(device.PlantNumber(), 1234);
    EXPECT_EQ(r.HardwareVersion, 3);
    EXPECT_EQ(r.SoftwareVersion, 17);
    EXPECT_EQ(r.Identification[2], "Заводской номер:  1234");
  }
}

TEST_F(CommandLine, FailedIdentificationChangesNothing) {
  Start(dpLargis1);
  device.SetPlantNumber(999);
  Silence();
  TCommandResult r = Commands(dpLargis1).ReadIdentification(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowState);
  EXPECT_TRUE(r.Identification.empty());
  EXPECT_FALSE(r.Modified || r.RefillRow);
  EXPECT_EQ(r.ClearMarks, 0u);
  EXPECT_EQ(device.PlantNumber(), 999);
  EXPECT_EQ(device.LastOperation, "Чтение идентификации устройства");
}

TEST_F(CommandLine, SensorCountSetsModifiedOnlyWhenItChanged) {
  Start(dpModbus);
  auto c = Commands(dpModbus);
  TCommandResult r = c.ReadSensorCount(&device);
  ASSERT_FALSE(r.Failed);
  EXPECT_FALSE(r.Modified);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{4}));
  EXPECT_TRUE(r.RefillRow);

  line.Modify(sim, [](TSimDevice& d) { d.Temperatures.resize(7, 0x0100); });
  r = c.ReadSensorCount(&device);
  ASSERT_FALSE(r.Failed);
  EXPECT_TRUE(r.Modified);
  EXPECT_EQ(device.SensorCount(), 7);

  line.Modify(sim, [](TSimDevice& d) { d.Faults.ErrorCode = 2; });
  r = c.ReadSensorCount(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x02");
  EXPECT_EQ(device.SensorCount(), 7);
}

TEST_F(CommandLine, CalibrationAndCoefficientReadsAreNativeAndModify) {
  Start(dpLargis1);
  auto c = Commands(dpLargis1);
  TCommandResult r = c.ReadCalibration(&device);
  ASSERT_FALSE(r.Failed);
  EXPECT_TRUE(r.Modified);
  EXPECT_EQ(r.ClearMarks, kCalibrationColumns);
  EXPECT_EQ(device.CalibrationCode1, 0x0FA0);
  EXPECT_EQ(device.UnmeasurableLevel, 125);
  EXPECT_EQ(device.CalibrationCode2, 0x1B58);
  EXPECT_EQ(device.CalibrationLevel2, 200);

  line.Modify(sim, [](TSimDevice& d) { d.AveragingCoefficient = 9; });
  r = c.ReadCoefficient(&device);
  ASSERT_FALSE(r.Failed);
  EXPECT_TRUE(r.Modified);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{9}));
  EXPECT_EQ(device.AveragingCoefficient(), 9);

  Silence();
  r = c.ReadCoefficient(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_FALSE(r.Modified);
  r = c.ReadCalibration(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_FALSE(r.Modified);
}

TEST_F(CommandLine, UnmeasurableLevelReadChangesTheCellButNotModified) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol);
    if (sim < 0) {
      Start(protocol);
    } else {
      line.Modify(sim, [protocol](TSimDevice& d) {
        d.Protocol = protocol;
        d.UnmeasurableLevel = 77;
      });
    }
    device.UnmeasurableLevel = 0;
    TCommandResult r = Commands(protocol).ReadUnmeasurableLevel(&device);
    ASSERT_FALSE(r.Failed);
    EXPECT_FALSE(r.Modified);
    EXPECT_TRUE(r.RefillRow);
    EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{6}));
    EXPECT_EQ(device.UnmeasurableLevel, protocol == dpLargis1 ? 125 : 77);
  }
}

TEST_F(CommandLine, ReadSettingsConfirmsTheDeviceFirst) {
  Start(dpLargis1);
  auto c = Commands(dpLargis1);
  device.SetPlantNumber(4321);
  line.ClearFrames();
  TCommandResult r = c.ReadSettings(&device);
  EXPECT_TRUE(r.NotFound);
  EXPECT_FALSE(r.Failed || r.ShowState || r.RefillRow);
  // The device answered with its own plant number: one identification, no more.
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests(), (std::vector<TBytes>{WithCrc({0x05, 0x20, 0x01})}));

  device.SetPlantNumber(1234);
  device.SetSensorCount(0);
  line.Modify(sim, [](TSimDevice& d) { d.AveragingCoefficient = 11; });
  r = c.ReadSettings(&device);
  ASSERT_FALSE(r.NotFound);
  EXPECT_TRUE(r.SensorCountDone && r.CalibrationDone && r.CoefficientDone);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
  EXPECT_FALSE(r.Modified);
  EXPECT_TRUE(r.ShowState && !r.ShowTemperatures && !r.ShowLevel);
  EXPECT_EQ(device.SensorCount(), 3);
  EXPECT_EQ(device.CalibrationCode2, 0x1B58);
  EXPECT_EQ(device.AveragingCoefficient(), 11);
}

TEST_F(CommandLine, ReadSettingsKeepsMarksOfTheStepsThatFailed) {
  Start(dpLargis1);
  // Identification answers, then every request is refused with an error.
  line.SetFrameListener([this](const TSimFrame& f) {
    if (f.Bytes.size() > 1 && f.Bytes[1] == 0x20)
      line.Modify(sim, [](TSimDevice& d) { d.Faults.ErrorCode = 1; });
  });
  TCommandResult r = Commands(dpLargis1).ReadSettings(&device);
  line.SetFrameListener(nullptr);
  ASSERT_FALSE(r.NotFound);
  EXPECT_FALSE(r.SensorCountDone || r.CalibrationDone || r.CoefficientDone);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{3}));
  EXPECT_FALSE(r.Failed);  // no error box: the marks tell
}
