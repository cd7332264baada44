// Faults injected into a device's answers.
#include <gtest/gtest.h>

#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

const TBytes kIdent = {0x05, 0x20, 0x01, 0xB9, 0xC1};
const TBytes kTemperatures = {0x05, 0x01, 0x02, 0x02, 0xD1, 0x89};
const TBytes kModbusCount = {0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D};

struct Faults : ::testing::Test {
  TVirtualLine line;
  int dev = line.AddDevice(TestDevice());
  TTestPort port{line.SlavePath()};
  void Set(const std::function<void(TSimFaults&)>& f) {
    line.Modify(dev, [&](TSimDevice& d) { f(d.Faults); });
  }
};

TEST_F(Faults, SilentDeviceForTwoRequestsThenBack) {
  Set([](TSimFaults& f) {
    f.Silent = true;
    f.Remaining = 2;
  });
  EXPECT_TRUE(port.Native(kIdent, 10, 200).empty());
  // A silent device takes no address either.
  EXPECT_TRUE(port.Native({0xFF, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x07, 0x83, 0x11}, 10, 200).empty());
  EXPECT_EQ(line.Device(dev).Address, 5);
  EXPECT_TRUE(port.Native(kIdent, 10, 200).empty());
  EXPECT_EQ(port.Native(kIdent).size(), 10u);
  EXPECT_FALSE(line.Device(dev).Faults.Any());
}

TEST_F(Faults, BadCrcShortAndGarbageAnswers) {
  const TBytes good = WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 3, 17});
  Set([](TSimFaults& f) { f.BadCrc = true; });
  TBytes bad = good;
  bad.back() ^= 0xFF;
  EXPECT_EQ(port.Native(kIdent), bad);
  Set([](TSimFaults& f) { f = TSimFaults{}, f.ShortBy = 3; });
  EXPECT_EQ(port.Native(kIdent), TBytes(good.begin(), good.end() - 3));
  Set([](TSimFaults& f) { f = TSimFaults{}, f.Garbage = {0xDE, 0xAD, 0xBE, 0xEF}; });
  EXPECT_EQ(port.Native(kIdent), (TBytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(Faults, WrongDeviceTypeInIdentification) {
  Set([](TSimFaults& f) { f.DeviceType = 5; });
  EXPECT_EQ(port.Native(kIdent), WithCrc({0x05, 0x20, 0x06, 0x05, 0x04, 0xD2, 3, 17}));
}

TEST_F(Faults, ErrorAnswersWithTheGivenCodeChangeNothing) {
  Set([](TSimFaults& f) { f.ErrorCode = 0x1F; });
  EXPECT_EQ(port.Native(WithCrc({0x05, 0xB1, 0x03, 0x02, 9})), WithCrc({0x05, 0xFA, 0x02, 0x1F}));
  EXPECT_EQ(line.Device(dev).AveragingCoefficient, 4);
  line.Modify(dev, [](TSimDevice& d) {
    d.Protocol = dpModbus;
    d.Faults.ErrorCode = 2;
  });
  EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x04, 0x00, 0x00, 0x00, 0x2D})),
            WithCrc({0x05, 0x84, 0x02}));
}

TEST_F(Faults, WrongSensorCountInDataAnswers) {
  Set([](TSimFaults& f) { f.SensorCount = 5; });
  const TBytes a = port.Native(kTemperatures, 64);
  ASSERT_EQ(a.size(), 15u);
  EXPECT_EQ(a[2], 11);  // 2 x 5 + 1
  EXPECT_EQ(
      a, WithCrc({0x05, 0x01, 0x0B, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA, 0xDD, 0xDD, 0xDD, 0xDD}));
  line.Modify(dev, [](TSimDevice& d) { d.Protocol = dpModbus; });
  EXPECT_EQ(port.Modbus(kModbusCount), WithCrc({0x05, 0x04, 0x02, 0x00, 0x05}));
}

TEST_F(Faults, LateAnswerComesAfterTheDelay) {
  Set([](TSimFaults& f) { f.DelayMs = 300; });
  const auto start = std::chrono::steady_clock::now();
  const TBytes a = port.Native(kIdent, 10, 3000);
  EXPECT_EQ(a.size(), 10u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(Faults, TurnAroundDelaysEveryAnswerWithinItsRange) {
  line.SetAnswerDelay(80, 120, 7);
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Native(kIdent, 10, 3000).size(), 10u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms);
  }
  EXPECT_FALSE(line.Device(dev).Faults.Any());  // a turn-around is no fault
}

TEST_F(Faults, TwoDevicesAtOneAddressCollideWhenAsked) {
  TSimDevice twin = TestDevice();
  twin.PlantNumber = 0x0F0F;
  line.AddDevice(twin);
  const TBytes first = WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 3, 17});
  const TBytes second = WithCrc({0x05, 0x20, 0x06, 0x06, 0x0F, 0x0F, 3, 17});
  TBytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(port.Native(kIdent, 20), both);  // by default one after the other

  line.SetCollisions(true);
  TBytes garbled(first.size());
  for (std::size_t i = 0; i < garbled.size(); ++i) garbled[i] = first[i] & second[i];
  EXPECT_EQ(port.Native(kIdent, 20), garbled);
  EXPECT_NE(garbled, WithCrc(TBytes(garbled.begin(), garbled.end() - 2)));  // a broken frame
}

}  // namespace
