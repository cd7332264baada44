// The device side of the native protocol, pinned to the worked frames.
#include <gtest/gtest.h>

#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

struct NativeLine : ::testing::Test {
  TVirtualLine line;
  int dev = line.AddDevice(TestDevice());
  TTestPort port{line.SlavePath()};
};

TEST(SimCrc, SharedCrcMatchesTheCheckValues) {
  const std::uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16(text, 0, 9), 0x4B37);
  EXPECT_EQ(WithCrc({0x01, 0x04, 0x00, 0x00, 0x00, 0x2D}),
            (TBytes{0x01, 0x04, 0x00, 0x00, 0x00, 0x2D, 0x30, 0x17}));
  EXPECT_EQ(WithCrc({0x01, 0x01, 0x02, 0x02}), (TBytes{0x01, 0x01, 0x02, 0x02, 0xD0, 0xB9}));
}

TEST_F(NativeLine, TemperatureWorkedFrameIsAnsweredByteForByte) {
  const TBytes answer = port.Native({0x05, 0x01, 0x02, 0x02, 0xD1, 0x89});
  EXPECT_EQ(answer, (TBytes{0x05, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA, 0xAC, 0x55}));

  ASSERT_TRUE(line.WaitFrames(1, 2s));
  const TSimFrame f = line.Frames().back();
  EXPECT_EQ(f.Bytes, (TBytes{0x05, 0x01, 0x02, 0x02, 0xD1, 0x89}));
  EXPECT_EQ(f.DeviceIndex, dev);
  EXPECT_EQ(f.Answer, answer);
  EXPECT_EQ(f.Note, "native 0x01 temperatures");
}

TEST_F(NativeLine, LogShowsMarkThenSpaceAndThePauseAfterTheAddress) {
  // The line samples parity and time when its thread gets the bytes; on a
  // loaded machine that can be late, so one of a few tries must show it all.
  bool seen = false;
  for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
    port.Native({0x05, 0x01, 0x02, 0x02, 0xD1, 0x89});
    ASSERT_TRUE(line.WaitFrames(attempt + 1u, 2s));
    const TSimFrame f = line.Frames().back();
    EXPECT_NE(f.RestParity, TSimParity::NoneOrEven);
    seen = f.FirstParity == TSimParity::Mark && f.RestParity == TSimParity::Space &&
           f.GapAfterFirstMs >= 2.0;
  }
  EXPECT_TRUE(seen);
  // Modbus frames show neither.
  port.Modbus(WithCrc({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01}), 7, 200);
  ASSERT_TRUE(line.WaitFrames(line.FrameCount(), 2s));
  const TSimFrame m = line.Frames().back();
  EXPECT_EQ(m.FirstParity, TSimParity::NoneOrEven);
  EXPECT_EQ(m.RestParity, TSimParity::NoneOrEven);
}

TEST_F(NativeLine, IdentificationWorkedFrame) {
  const TBytes answer = port.Native({0x05, 0x20, 0x01, 0xB9, 0xC1});
  EXPECT_EQ(answer, WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 3, 17}));
}

TEST_F(NativeLine, AddressWriteWorkedFrameOnlyTheRightPlantNumberAnswers) {
  TSimDevice other = TestDevice();
  other.PlantNumber = 999;
  const int second = line.AddDevice(other);
  const TBytes answer = port.Native({0xFF, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07, 0x83, 0x11});
  EXPECT_EQ(answer, WithCrc({0x07, 0x25, 0x06, 0x06, 0x04, 0xD2, 3, 17}));
  EXPECT_EQ(line.Device(dev).Address, 7);
  EXPECT_EQ(line.Device(second).Address, 5);
  // The device now answers at its new address only.
  EXPECT_EQ(port.Native(WithCrc({0x07, 0x20, 0x01})).size(), 10u);
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x20, 0x01})),
            WithCrc({0x05, 0x20, 0x06, 0x06, 0x03, 0xE7, 3, 17}));
}

TEST_F(NativeLine, AddressWriteForAnAbsentPlantNumberStaysUnanswered) {
  EXPECT_TRUE(port.Native(WithCrc({0xFF, 0x25, 0x05, 0x06, 0x11, 0x11, 0x07}), 10, 300).empty());
  EXPECT_EQ(line.Device(dev).Address, 5);
  // Address 0xFF cannot be given: the device refuses.
  EXPECT_EQ(port.Native(WithCrc({0xFF, 0x25, 0x05, 0x06, 0x04, 0xD2, 0xFF})),
            WithCrc({0x05, 0xFA, 0x02, 0x03}));
}

TEST_F(NativeLine, BroadcastSwitchToModbusWorkedFrameIsNeverAnswered) {
  TSimDevice other = TestDevice();
  other.Address = 9;
  other.PlantNumber = 77;
  const int second = line.AddDevice(other);
  EXPECT_TRUE(port.Native({0xFF, 0xB1, 0x03, 0x03, 0xAA, 0x67, 0xA7}, 5, 300).empty());
  EXPECT_EQ(line.Device(dev).Protocol, dpModbus);
  EXPECT_EQ(line.Device(second).Protocol, dpModbus);
  // Native requests are now ignored, Modbus ones answered.
  EXPECT_TRUE(port.Native({0x05, 0x20, 0x01, 0xB9, 0xC1}, 10, 300).empty());
  EXPECT_EQ(port.Modbus({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D}),
            WithCrc({0x05, 0x04, 0x02, 0x00, 0x03}));
}

TEST_F(NativeLine, UnicastSwitchToModbusIsAnsweredThenTakesEffect) {
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x03, 0xAA})), WithCrc({0x05, 0xB1, 0x01}));
  EXPECT_EQ(line.Device(dev).Protocol, dpModbus);
}

TEST_F(NativeLine, LevelAnswerCarriesCodeDecimetresAndFlags) {
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x01, 0x02, 0x01})),
            WithCrc({0x05, 0x01, 0x06, 0x12, 0x34, 0x00, 123, 0x12}));
  line.Modify(dev, [](TSimDevice& d) { d.LevelMetres = std::nan(""); });
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x01, 0x02, 0x01})),
            WithCrc({0x05, 0x01, 0x06, 0x12, 0x34, 0x00, 0x00, 0x12}));
}

TEST_F(NativeLine, ParametersReadAndWrite) {
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB4, 0x02, 0x01})), WithCrc({0x05, 0xB4, 0x02, 3}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB4, 0x02, 0x02})), WithCrc({0x05, 0xB4, 0x02, 4}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x02, 9})), WithCrc({0x05, 0xB1, 0x01}));
  EXPECT_EQ(line.Device(dev).AveragingCoefficient, 9);
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x02, 0})), WithCrc({0x05, 0xFA, 0x02, 0x03}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB4, 0x02, 0x07})), WithCrc({0x05, 0xFA, 0x02, 0x02}));
  // Zero sensors: the temperature answer is address, 01, 01, CRC.
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x01, 0})), WithCrc({0x05, 0xB1, 0x01}));
  EXPECT_EQ(port.Native({0x05, 0x01, 0x02, 0x02, 0xD1, 0x89}), WithCrc({0x05, 0x01, 0x01}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x01, 33})), WithCrc({0x05, 0xFA, 0x02, 0x03}));
}

TEST_F(NativeLine, CalibrationBlockReadWriteAndEmptyBunkerMarkers) {
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xA6, 0x04, 0x00, 0x00, 0x08})),
            WithCrc({0x05, 0xA6, 0x09, 0x0F, 0xA0, 0x00, 125, 0x1B, 0x58, 0x00, 200}));
  EXPECT_EQ(port.Native(WithCrc(
                {0x05, 0xA4, 0x0B, 0x00, 0x00, 0x01, 0x02, 0x00, 0x64, 0x03, 0x04, 0x01, 0x2C})),
            WithCrc({0x05, 0xA4, 0x01}));
  TSimDevice d = line.Device(dev);
  EXPECT_EQ(d.CalibrationCode1, 0x0102);
  EXPECT_EQ(d.UnmeasurableLevel, 100);
  EXPECT_EQ(d.CalibrationCode2, 0x0304);
  EXPECT_EQ(d.CalibrationLevel2, 300);

  // Markers AA AA / 55 55: calibrate on the empty bunker with НУ 150.
  EXPECT_EQ(port.Native(WithCrc(
                {0x05, 0xA4, 0x0B, 0x00, 0x00, 0xAA, 0xAA, 0x00, 150, 0x55, 0x55, 0x00, 0x00})),
            WithCrc({0x05, 0xA4, 0x01}));
  d = line.Device(dev);
  EXPECT_EQ(d.EmptyBunkerCalibrations, 1);
  EXPECT_EQ(d.CalibrationCode1, 0x1234);  // the level code at that moment
  EXPECT_EQ(d.UnmeasurableLevel, 150);
  EXPECT_EQ(d.CalibrationCode2, 0x0304);
  EXPECT_EQ(d.CalibrationLevel2, 300);

  // Out of the 8-byte block: error 02.
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xA6, 0x04, 0x00, 0x06, 0x04})),
            WithCrc({0x05, 0xFA, 0x02, 0x02}));
}

TEST_F(NativeLine, UnknownCommandsAndWrongLengthsGetErrorAnswers) {
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x33, 0x01})), WithCrc({0x05, 0xFA, 0x02, 0x01}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x20, 0x02, 0x00})), WithCrc({0x05, 0xFA, 0x02, 0x02}));
  EXPECT_EQ(port.Native(WithCrc({0x05, 0x01, 0x02, 0x05})), WithCrc({0x05, 0xFA, 0x02, 0x02}));
  // Other broadcasts are never answered.
  EXPECT_TRUE(port.Native(WithCrc({0xFF, 0x20, 0x01}), 10, 300).empty());
}

TEST_F(NativeLine, StrictParityRequiresTheNineBitDiscipline) {
  line.SetStrictParity(true);
  EXPECT_TRUE(port.Modbus({0x05, 0x20, 0x01, 0xB9, 0xC1}, 10, 300).empty());
  // As a master would, with retries: a late parity sample can cost one.
  bool answered = false;
  for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
    answered = port.Native({0x05, 0x20, 0x01, 0xB9, 0xC1}, 10, 300).size() == 10u;
  }
  EXPECT_TRUE(answered);
}

}  // namespace
