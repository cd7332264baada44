// The device side of Modbus RTU, pinned to the worked frames.
#include <gtest/gtest.h>

#include <cstring>

#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

struct ModbusLine : ::testing::Test {
  TVirtualLine line;
  int dev = line.AddDevice(TestDevice(dpModbus));
  TTestPort port{line.SlavePath()};
};

unsigned Reg(const TBytes& answer, int r) {
  return answer[3 + 2 * r] << 8 | answer[4 + 2 * r];
}

TEST_F(ModbusLine, PollWorkedFrameReadsStatusLevelAndTemperatures) {
  const TBytes a = port.Modbus({0x05, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x31, 0x93}, 95);
  ASSERT_EQ(a.size(), 95u);
  EXPECT_EQ(a[0], 0x05);
  EXPECT_EQ(a[1], 0x04);
  EXPECT_EQ(a[2], 90);
  EXPECT_EQ(a, WithCrc(TBytes(a.begin(), a.end() - 2)));
  EXPECT_EQ(Reg(a, 0), 0x0012u);
  EXPECT_EQ(Reg(a, 1), 0x1234u);
  // 12.34 m as an IEEE-754 single, most significant byte first: 41 45 70 A4.
  EXPECT_EQ(TBytes(a.begin() + 13, a.begin() + 17), (TBytes{0x41, 0x45, 0x70, 0xA4}));
  EXPECT_EQ(Reg(a, 14), 3u);
  EXPECT_EQ(Reg(a, 15), 0x0198u);
  EXPECT_EQ(Reg(a, 16), 0xFFCCu);
  EXPECT_EQ(Reg(a, 17), 0xAAAAu);
  EXPECT_EQ(Reg(a, 18), 0xDDDDu);
  EXPECT_EQ(Reg(a, 44), 0xDDDDu);

  line.Modify(dev, [](TSimDevice& d) { d.LevelMetres = std::nan(""); });
  const TBytes b = port.Modbus({0x05, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x31, 0x93}, 95);
  ASSERT_EQ(b.size(), 95u);
  EXPECT_EQ(TBytes(b.begin() + 13, b.begin() + 17), (TBytes{0x7F, 0xC0, 0x00, 0x00}));
}

TEST_F(ModbusLine, SensorCountWorkedFrame) {
  EXPECT_EQ(port.Modbus({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D}),
            WithCrc({0x05, 0x04, 0x02, 0x00, 0x03}));
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.Frames().back().FirstParity, TSimParity::NoneOrEven);
}

TEST_F(ModbusLine, BroadcastSwitchToNativeWorkedFrameIsNeverAnswered) {
  EXPECT_TRUE(
      port.Modbus({0x00, 0x10, 0x03, 0xEA, 0x00, 0x01, 0x02, 0x00, 0x55, 0x4E, 0x35}, 8, 300)
          .empty());
  EXPECT_EQ(line.Device(dev).Protocol, dpLargis1);
  EXPECT_TRUE(port.Modbus({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D}, 7, 300).empty());
  EXPECT_EQ(port.Native({0x05, 0x20, 0x01, 0xB9, 0xC1}).size(), 10u);
}

TEST_F(ModbusLine, IdentificationIsSixtyThreeBytesWithDecimalTexts) {
  line.Modify(dev, [](TSimDevice& d) { d.PlantNumber = 54321; });
  const TBytes a = port.Modbus(WithCrc({0x05, 0x2B, 0x0E, 0x01, 0x00}));
  ASSERT_EQ(a.size(), 63u);
  EXPECT_EQ(a, WithCrc(TBytes(a.begin(), a.end() - 2)));
  EXPECT_EQ(TBytes(a.begin(), a.begin() + 8),
            (TBytes{0x05, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03}));
  const std::string text(a.begin(), a.end());
  EXPECT_EQ(text.substr(21, 5), "54321");
  EXPECT_EQ(text.substr(41, 3), "003");
  EXPECT_EQ(text.substr(58, 3), "017");
  EXPECT_EQ(text.substr(10, 6), "LIM-07");
  EXPECT_EQ(text.substr(28, 33), "Hardware ver 003 Software ver 017");
}

TEST_F(ModbusLine, AddressCommandByPlantNumberInABroadcast) {
  TSimDevice other = TestDevice(dpModbus);
  other.PlantNumber = 4321;
  const int second = line.AddDevice(other);
  // Holding 0-2 := 6, 1234, 9 to address 0.
  EXPECT_TRUE(port.Modbus(WithCrc({0x00, 0x10, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 0x06, 0x04, 0xD2,
                                   0x00, 0x09}),
                          8, 300)
                  .empty());
  EXPECT_EQ(line.Device(dev).Address, 9);
  EXPECT_EQ(line.Device(second).Address, 5);
  // Unicast to the wrong plant number: exception 03, nothing changes.
  EXPECT_EQ(port.Modbus(WithCrc(
                {0x05, 0x10, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00, 0x06, 0x04, 0xD2, 0x00, 0x0A})),
            WithCrc({0x05, 0x90, 0x03}));
  EXPECT_EQ(line.Device(second).Address, 5);
}

TEST_F(ModbusLine, UnmeasurableLevelFloatAndEmptyBunkerCommand) {
  // 125 dm is 12.5 m: 41 48 00 00.
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x03, 0x03, 0xE8, 0x00, 0x02})),
            WithCrc({0x05, 0x03, 0x04, 0x41, 0x48, 0x00, 0x00}));
  EXPECT_EQ(
      port.Modbus(WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02, 0x04, 0x41, 0x20, 0x00, 0x00})),
      WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02}));
  EXPECT_EQ(line.Device(dev).UnmeasurableLevel, 100);
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x10, 0x03, 0xEB, 0x00, 0x01, 0x02, 0xB5, 0xB5})),
            WithCrc({0x05, 0x10, 0x03, 0xEB, 0x00, 0x01}));
  EXPECT_EQ(line.Device(dev).EmptyBunkerCalibrations, 1);
  EXPECT_EQ(line.Device(dev).CalibrationCode1, 0x1234);
  // A not-a-number level is refused.
  EXPECT_EQ(
      port.Modbus(WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02, 0x04, 0x7F, 0xC0, 0x00, 0x00})),
      WithCrc({0x05, 0x90, 0x03}));
}

TEST_F(ModbusLine, UploadCommandIsAnsweredLikeAWriteAndEntersUploadMode) {
  EXPECT_EQ(port.Modbus(WithCrc(
                {0x05, 0x10, 0x00, 0x03, 0x00, 0x03, 0x06, 0x00, 0x06, 0x04, 0xD2, 0xA5, 0xA5})),
            WithCrc({0x05, 0x10, 0x00, 0x03, 0x00, 0x03}));
  EXPECT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return d.Uploading; }, 2s));
  EXPECT_EQ(line.UploadingDevice(), dev);
  // The receiver asks for the transfer with "C".
  EXPECT_EQ(port.Read(1, 3000), TBytes{'C'});
}

TEST_F(ModbusLine, ExceptionAnswers) {
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x05, 0x00, 0x01, 0xFF, 0x00})),
            WithCrc({0x05, 0x85, 0x01}));
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x04, 0x00, 0x28, 0x00, 0x0A})),
            WithCrc({0x05, 0x84, 0x02}));
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x04, 0x00, 0x00, 0x00, 0x00})),
            WithCrc({0x05, 0x84, 0x03}));
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x03, 0x00, 0x06, 0x00, 0x01})),
            WithCrc({0x05, 0x83, 0x02}));
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x2B, 0x0D, 0x01, 0x00})), WithCrc({0x05, 0xAB, 0x01}));
  // Half a float block: exception 02.
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x10, 0x03, 0xE9, 0x00, 0x01, 0x02, 0x00, 0x00})),
            WithCrc({0x05, 0x90, 0x02}));
  // A broadcast read or identification is never answered.
  EXPECT_TRUE(port.Modbus(WithCrc({0x00, 0x04, 0x00, 0x00, 0x00, 0x2D}), 95, 300).empty());
  EXPECT_TRUE(port.Modbus(WithCrc({0x00, 0x2B, 0x0E, 0x01, 0x00}), 63, 300).empty());
}

TEST_F(ModbusLine, NativeFramesAreIgnoredInModbus) {
  EXPECT_TRUE(port.Native({0x05, 0x01, 0x02, 0x02, 0xD1, 0x89}, 20, 300).empty());
  ASSERT_TRUE(line.WaitFrames(1, 2s));
  EXPECT_EQ(line.Frames().back().DeviceIndex, -1);
}

}  // namespace
