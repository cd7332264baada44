// Single-device writes and the line-wide broadcasts against the virtual line:
// the frames the device receives, the record restored on failure, marks and
// the modified flag.
#include "test_commands_line.h"

using namespace std::chrono_literals;

TEST_F(CommandLine, NativeAddressWriteGoesByPlantNumber) {
  Start(dpLargis1);
  line.ClearFrames();
  TCommandResult r = Commands(dpLargis1).WriteAddress(&device, 7);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_EQ(device.SystemAddress(), 7);
  EXPECT_EQ(Sim().Address, 7);
  EXPECT_TRUE(r.Modified && r.RefillRow);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{3}));
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests(), (std::vector<TBytes>{WithCrc({0xFF, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07})}));
  // Native discipline (the sample of the first byte may come late: then space).
  EXPECT_NE(line.Frames()[0].FirstParity, TSimParity::NoneOrEven);
}

TEST_F(CommandLine, FailedAddressWriteRestoresTheOldAddress) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol);
    if (sim < 0) Start(protocol);
    line.Modify(sim, [protocol](TSimDevice& d) {
      d.Protocol = protocol;
      d.Faults.Silent = true;
    });
    TCommandResult r = Commands(protocol).WriteAddress(&device, 9);
    EXPECT_TRUE(r.Failed);
    EXPECT_TRUE(r.ShowState);
    EXPECT_FALSE(r.Modified || r.RefillRow);
    EXPECT_EQ(r.ClearMarks, 0u);
    EXPECT_EQ(device.SystemAddress(), 5);
    EXPECT_EQ(Sim().Address, 5);
  }
}

TEST_F(CommandLine, ModbusAddressWriteIsVerifiedAtTheNewAddress) {
  Start(dpModbus);
  line.ClearFrames();
  TCommandResult r = Commands(dpModbus).WriteAddress(&device, 12);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_EQ(device.SystemAddress(), 12);
  EXPECT_EQ(Sim().Address, 12);
  EXPECT_TRUE(r.Modified);
  ASSERT_TRUE(line.WaitFrames(2, 2s));
  const auto frames = Requests();
  ASSERT_EQ(frames.size(), 2u);  // one attempt only
  EXPECT_EQ(frames[0], WithCrc({0x00, 0x10, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 0x06, 0x04, 0xD2,
                                0x00, 0x0C}));
  EXPECT_EQ(frames[1], WithCrc({0x0C, 0x2B, 0x0E, 0x01, 0x00}));
}

TEST_F(CommandLine, ModbusAddressWriteFailsWhenAnotherPlantNumberAnswers) {
  Start(dpModbus);
  // A second device already sits at the address asked for.
  TSimDevice other = SimBunker(dpModbus);
  other.Address = 12;
  other.PlantNumber = 777;
  line.AddDevice(other);
  line.Modify(sim, [](TSimDevice& d) { d.PlantNumber = 1235; });  // record does not match
  TCommandResult r = Commands(dpModbus).WriteAddress(&device, 12);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(device.SystemAddress(), 5);
  EXPECT_EQ(Sim().Address, 5);
}

TEST_F(CommandLine, CoefficientWriteModifiesOnlyWhenTheValueChanged) {
  Start(dpLargis1);
  auto c = Commands(dpLargis1);
  TCommandResult r = c.WriteCoefficient(&device, 4);
  ASSERT_FALSE(r.Failed);
  EXPECT_FALSE(r.Modified);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{9}));

  line.ClearFrames();
  r = c.WriteCoefficient(&device, 200);
  ASSERT_FALSE(r.Failed);
  EXPECT_TRUE(r.Modified);
  EXPECT_EQ(Sim().AveragingCoefficient, 200);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests().at(0), WithCrc({0x05, 0xB1, 0x03, 0x02, 200}));

  Silence();
  r = c.WriteCoefficient(&device, 17);
  EXPECT_TRUE(r.Failed);
  EXPECT_FALSE(r.Modified);
  EXPECT_EQ(device.AveragingCoefficient(), 200);
}

TEST_F(CommandLine, UnmeasurableLevelWriteInModbus) {
  Start(dpModbus);
  auto c = Commands(dpModbus);
  TCommandResult r = c.WriteUnmeasurableLevel(&device, 100);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_TRUE(r.Modified && r.RefillRow);
  EXPECT_EQ(Columns(r.ClearMarks), (std::vector<int>{6}));
  EXPECT_EQ(device.UnmeasurableLevel, 100);
  EXPECT_EQ(Sim().UnmeasurableLevel, 100);

  line.Modify(sim, [](TSimDevice& d) { d.Faults.ErrorCode = 3; });
  r = c.WriteUnmeasurableLevel(&device, 42);
  EXPECT_TRUE(r.Failed);
  EXPECT_FALSE(r.Modified);
  EXPECT_EQ(device.UnmeasurableLevel, 100);
  EXPECT_EQ(device.LastResult, "Ошибка протокола код 0x03");
}

TEST_F(CommandLine, CalibrationWriteStoresAllFourOrNone) {
  Start(dpLargis1);
  device.CalibrationCode1 = 1;
  device.UnmeasurableLevel = 2;
  device.CalibrationCode2 = 3;
  device.CalibrationLevel2 = 4;
  auto c = Commands(dpModbus);  // calibration is native whatever the protocol in use
  line.ClearFrames();
  TCalibrationValues v;
  v.C1 = 0xFFFF;
  v.C2 = 0x8001;
  v.H1 = 10;
  v.H2 = 500;
  TCommandResult r = c.WriteCalibration(&device, v);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_TRUE(r.Modified);
  EXPECT_EQ(r.ClearMarks, kCalibrationColumns);
  EXPECT_TRUE(r.ShowState && r.ShowLevel && !r.ShowTemperatures);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests().at(0), WithCrc({0x05, 0xA4, 0x0B, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x0A, 0x80,
                                       0x01, 0x01, 0xF4}));
  const TSimDevice s = Sim();
  EXPECT_EQ(s.CalibrationCode1, 0xFFFF);
  EXPECT_EQ(s.UnmeasurableLevel, 10);
  EXPECT_EQ(s.CalibrationCode2, 0x8001);
  EXPECT_EQ(s.CalibrationLevel2, 500);

  Silence();
  r = c.WriteCalibration(&device, TCalibrationValues{7, 8, 9, 10});
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowLevel);
  EXPECT_EQ(r.ClearMarks, 0u);
  EXPECT_EQ(CalibrationOf(device).C1, 0xFFFF);
  EXPECT_EQ(CalibrationOf(device).C2, 0x8001);
  EXPECT_EQ(CalibrationOf(device).H1, 10);
  EXPECT_EQ(CalibrationOf(device).H2, 500);
}

TEST_F(CommandLine, WriteSettingsToAnotherPlantNumberWritesNothing) {
  Start(dpLargis1);
  device.SetPlantNumber(4321);
  line.ClearFrames();
  bool marked = false;
  TCommandResult r = Commands(dpLargis1).WriteSettings(&device, [&](TColumnSet) { marked = true; });
  EXPECT_TRUE(r.NotFound);
  EXPECT_FALSE(marked);
  EXPECT_FALSE(r.ShowState || r.RefillRow || r.Failed);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests(), (std::vector<TBytes>{WithCrc({0x05, 0x20, 0x01})}));
}

TEST_F(CommandLine, WriteSettingsFailedCalibrationLeavesOnlyItsMarks) {
  Start(dpLargis1);
  device.CalibrationCode1 = 0x1111;
  device.SetAveragingCoefficient(33);
  TColumnSet marks = 0;
  // Once the device is confirmed: refuse the two calibration attempts, then
  // answer normally again.
  TCommandResult r = Commands(dpLargis1).WriteSettings(&device, [&](TColumnSet columns) {
    marks = columns;
    line.Modify(sim, [](TSimDevice& d) {
      d.Faults.ErrorCode = 2;
      d.Faults.Remaining = 2;
    });
  });
  EXPECT_EQ(Columns(marks), (std::vector<int>{5, 6, 7, 8, 9}));
  EXPECT_FALSE(r.NotFound);
  EXPECT_FALSE(r.CalibrationDone);
  EXPECT_TRUE(r.CoefficientDone);
  EXPECT_EQ(Columns(marks & ~r.ClearMarks), (std::vector<int>{5, 6, 7, 8}));
  EXPECT_FALSE(r.Failed || r.Modified);  // no error box, the file is not touched
  EXPECT_TRUE(r.ShowState && !r.ShowLevel && !r.ShowTemperatures);
  EXPECT_EQ(Sim().AveragingCoefficient, 33);
  EXPECT_EQ(Sim().CalibrationCode1, 0x0FA0);
  EXPECT_EQ(device.CalibrationCode1, 0x1111);  // the record keeps what was asked
}

TEST_F(CommandLine, EmptyBunkerCalibrationNative) {
  Start(dpLargis1);
  device.UnmeasurableLevel = 30;
  line.ClearFrames();
  TCommandResult r = Commands(dpLargis1).EmptyBunkerCalibration(&device);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_EQ(r.ClearMarks, kCalibrationColumns);
  EXPECT_TRUE(r.RefillRow);
  EXPECT_FALSE(r.Modified);
  EXPECT_TRUE(r.ShowState && r.ShowLevel);
  EXPECT_EQ(device.UnmeasurableLevel, 30);  // the record does not change
  EXPECT_EQ(device.CalibrationCode1, 0);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests().at(0), WithCrc({0x05, 0xA4, 0x0B, 0x00, 0x00, 0xAA, 0xAA, 0x00, 0x1E, 0x55,
                                       0x55, 0x00, 0x00}));
  EXPECT_EQ(Sim().EmptyBunkerCalibrations, 1);
  EXPECT_EQ(Sim().CalibrationCode1, 0x1234);  // the device took its level code
}

TEST_F(CommandLine, EmptyBunkerCalibrationModbusLeavesEveryMark) {
  Start(dpModbus);
  line.ClearFrames();
  TCommandResult r = Commands(dpModbus).EmptyBunkerCalibration(&device);
  ASSERT_FALSE(r.Failed) << device.LastResult;
  EXPECT_EQ(r.ClearMarks, 0u);
  EXPECT_FALSE(r.RefillRow || r.Modified);
  EXPECT_TRUE(r.ShowState && r.ShowLevel);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(Requests().at(0), WithCrc({0x05, 0x10, 0x03, 0xEB, 0x00, 0x01, 0x02, 0xB5, 0xB5}));
  EXPECT_EQ(Sim().EmptyBunkerCalibrations, 1);

  Silence();
  r = Commands(dpModbus).EmptyBunkerCalibration(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.ShowLevel);
}

TEST_F(CommandLine, BroadcastToModbusReachesEveryDeviceWithoutAnAnswer) {
  Start(dpLargis1);
  TSimDevice second = SimBunker(dpLargis1);
  second.Address = 6;
  second.PlantNumber = 99;
  const int other = line.AddDevice(second);
  line.ClearFrames();
  TCommandResult r = Commands(dpLargis1).SwitchAllToModbus();
  EXPECT_FALSE(r.Failed);
  EXPECT_FALSE(r.ShowState);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  const TSimFrame f = line.Frames().at(0);
  EXPECT_EQ(f.Bytes, (TBytes{0xFF, 0xB1, 0x03, 0x03, 0xAA, 0x67, 0xA7}));
  // In the native framing (a late sample of the first byte shows space).
  EXPECT_NE(f.FirstParity, TSimParity::NoneOrEven);
  EXPECT_EQ(f.RestParity, TSimParity::Space);
  EXPECT_TRUE(f.Answer.empty());
  EXPECT_EQ(Sim().Protocol, dpModbus);
  EXPECT_EQ(line.Device(other).Protocol, dpModbus);
  EXPECT_EQ(device.LastOperation, "Не производилась");  // no record changes
}

TEST_F(CommandLine, BroadcastToLargis1SucceedsWhetherOrNotADeviceReacted) {
  Start(dpModbus);
  line.ClearFrames();
  auto c = Commands(dpModbus);
  EXPECT_FALSE(c.SwitchAllToLargis1().Failed);
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.Frames().at(0).Bytes,
            WithCrc({0x00, 0x10, 0x03, 0xEA, 0x00, 0x01, 0x02, 0x00, 0x55}));
  EXPECT_TRUE(line.Frames().at(0).Answer.empty());
  EXPECT_EQ(Sim().Protocol, dpLargis1);

  // Nobody on the line speaks Modbus now: the broadcast is still "sent".
  EXPECT_FALSE(c.SwitchAllToLargis1().Failed);
  EXPECT_EQ(Sim().Protocol, dpLargis1);

  // Only a closed port makes it fail: nothing could be sent.
  port.Close();
  EXPECT_TRUE(c.SwitchAllToLargis1().Failed);
  EXPECT_TRUE(c.SwitchAllToModbus().Failed);
}

TEST_F(CommandLine, ClosedPortFailsLikeAnyExchangeAndRestores) {
  Start(dpLargis1);
  port.Close();
  auto c = Commands(dpLargis1);
  TCommandResult r = c.WriteAddress(&device, 9);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(device.SystemAddress(), 5);
  r = c.WriteCoefficient(&device, 9);
  EXPECT_TRUE(r.Failed);
  EXPECT_EQ(device.AveragingCoefficient(), 4);
  r = c.ReadIdentification(&device);
  EXPECT_TRUE(r.Failed);
  EXPECT_TRUE(r.Identification.empty());
}
