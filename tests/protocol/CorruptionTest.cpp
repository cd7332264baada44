// Every decoder against damaged answers: every truncation of a good answer
// and every single-byte change, each with the original CRC and with a CRC made
// valid again (so the damage reaches the decoder's own checks). Answers live
// in buffers of exactly their length, so a read past the end is caught by
// AddressSanitizer.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "TestFrames.h"

namespace {

struct DecoderCase {
  const char* name;
  std::function<std::unique_ptr<TTransaction>()> make;
  int sensors;
  Bytes good;
  bool alwaysSucceeds = false;  // the request ignores its answer
};

Bytes Bare(Bytes frame) {
  frame.resize(frame.size() - 2);
  return frame;
}

template <class T>
std::function<std::unique_ptr<TTransaction>()> Make(TDeviceProtocol p = dpLargis1) {
  return [p] { return std::make_unique<T>(nullptr, p); };
}

Bytes ModbusIdentificationAnswer() {
  Bytes b(61, '0');
  b[0] = 5;
  b[1] = 0x2B;
  b[2] = 0x0E;
  return WithCrc(b);
}

std::vector<DecoderCase> Cases() {
  std::vector<std::uint16_t> thirty(30, 0x0123);
  return {
      {"temperature",
       Make<TTemperatureTransaction>(),
       3,
       {0x05, 0x01, 0x07, 0x01, 0x98, 0xFF, 0xCC, 0xAA, 0xAA, 0xAC, 0x55}},
      {"temperature-none", Make<TTemperatureTransaction>(), 0, WithCrc({0x05, 0x01, 0x01})},
      {"level", Make<TLevelTransaction>(), 1,
       WithCrc({0x05, 0x01, 0x06, 0x12, 0x34, 0x00, 0x7B, 0x02})},
      {"identification", Make<TReadIdentificationTransaction>(), 1,
       WithCrc({0x05, 0x20, 0x06, 0x06, 0x04, 0xD2, 0x01, 0x02})},
      {"identification-modbus", Make<TReadIdentificationTransaction>(dpModbus), 1,
       ModbusIdentificationAnswer()},
      {"write-address", Make<TWriteAddressTransaction>(), 1,
       WithCrc({0x05, 0x25, 0x05, 0x06, 0x04, 0xD2, 0x05})},
      {"sensor-number", Make<TReadSensorNumberTransaction>(), 1, WithCrc({0x05, 0xB4, 0x02, 0x03})},
      {"sensor-number-modbus", Make<TReadSensorNumberTransaction>(dpModbus), 1,
       WithCrc({0x05, 0x04, 0x02, 0x00, 0x03})},
      {"read-calibration", Make<TReadCalibrationTransaction>(), 1,
       WithCrc({0x05, 0xA6, 0x09, 0, 1, 0, 2, 0, 3, 0, 4})},
      {"write-calibration", Make<TWriteCalibrationTransaction>(), 1, WithCrc({0x05, 0xA4, 0x01})},
      {"read-coefficient", Make<TReadCoefficientTransaction>(), 1,
       WithCrc({0x05, 0xB4, 0x02, 0x04})},
      {"write-coefficient", Make<TWriteCoefficientTransaction>(), 1, WithCrc({0x05, 0xB1, 0x01})},
      {"set-modbus", Make<TSetProtocolModbus>(), 1, WithCrc({0x05, 0xB1, 0x01})},
      {"empty-bunker", Make<TEmptyBunkerCalibrationTransaction>(), 1, WithCrc({0x05, 0xA4, 0x01})},
      {"empty-bunker-modbus", Make<TEmptyBunkerCalibrationTransaction>(dpModbus), 1,
       WithCrc({0x05, 0x10, 0x03, 0xEB, 0x00, 0x01})},
      {"unmeasurable", Make<TReadUnmeasurableLevelTransaction>(), 1,
       WithCrc({0x05, 0xA6, 0x09, 0, 1, 0, 2, 0, 3, 0, 4})},
      {"unmeasurable-modbus", Make<TReadUnmeasurableLevelTransaction>(dpModbus), 1,
       WithCrc({0x05, 0x03, 0x04, 0x41, 0x48, 0x00, 0x00})},
      {"modbus-data", Make<TModbusDataTransaction>(dpModbus), 3,
       ModbusDataAnswer(5, 0x0001, {0x41, 0x48, 0, 0}, 3, {1, 2, 3})},
      {"modbus-data-32", Make<TModbusDataTransaction>(dpModbus), 32,
       ModbusDataAnswer(5, 0x0001, {0x41, 0x48, 0, 0}, 32, thirty)},
      {"modbus-write-unmeasurable", Make<TModbusWriteUnmeasurableLevelTransaction>(dpModbus), 1,
       WithCrc({0x05, 0x10, 0x03, 0xE8, 0x00, 0x02})},
      {"set-largis1", Make<TSetProtocolLargis1>(dpModbus), 1,
       WithCrc({0x05, 0x10, 0x03, 0xEA, 0x00, 0x01})},
      {"upload-mode", Make<TSetSoftUploadModeTransaction>(dpModbus), 1,
       WithCrc({0x05, 0x10, 0x00, 0x03, 0x00, 0x03})},
      {"modbus-write-address", Make<TModbusWriteAddressTransaction>(dpModbus), 1, {}, true},
  };
}

// Decodes `answer` from a heap buffer of exactly its size into a fresh device.
void Expect(const DecoderCase& c, const Bytes& answer, const std::string& what) {
  TDevice device;
  device.SetSystemAddress(5);
  device.SetPlantNumber(1234);
  device.SetSensorCount(c.sensors);
  device.LastResult.clear();
  auto t = c.make();
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[answer.size() + 1]);
  std::copy(answer.begin(), answer.end(), exact.get());
  const bool ok = t->DecodeAnswer(&device, answer.empty() ? nullptr : exact.get(),
                                  static_cast<int>(answer.size()));
  if (ok) return;  // a damaged answer may still be a legitimate one
  ASSERT_FALSE(c.alwaysSucceeds) << c.name << " " << what;
  EXPECT_FALSE(device.LastResult.empty()) << c.name << " " << what;
  EXPECT_NE(device.LastResult, ResultText(rtSuccess)) << c.name << " " << what;
}

}  // namespace

TEST(CorruptionTest, GoodAnswersDecode) {
  for (const DecoderCase& c : Cases()) {
    TDevice device;
    device.SetSystemAddress(5);
    device.SetPlantNumber(1234);
    device.SetSensorCount(c.sensors);
    auto t = c.make();
    EXPECT_TRUE(Decode(*t, device, c.good)) << c.name << ": " << device.LastResult;
  }
}

TEST(CorruptionTest, EveryTruncation) {
  for (const DecoderCase& c : Cases()) {
    for (std::size_t n = 0; n < c.good.size(); ++n) {
      const Bytes cut(c.good.begin(), c.good.begin() + static_cast<long>(n));
      Expect(c, cut, "cut " + std::to_string(n));
      if (n >= 1) Expect(c, WithCrc(cut), "cut+crc " + std::to_string(n));
    }
  }
}

TEST(CorruptionTest, EverySingleByteChange) {
  for (const DecoderCase& c : Cases()) {
    for (std::size_t i = 0; i < c.good.size(); ++i) {
      for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
        Bytes bad = c.good;
        bad[i] ^= mask;
        const std::string what = "byte " + std::to_string(i) + " ^ " + std::to_string(mask);
        Expect(c, bad, what);
        if (i + 2 < c.good.size()) Expect(c, WithCrc(Bare(bad)), what + " +crc");
      }
    }
  }
}

TEST(CorruptionTest, ArbitraryLengthsOfNoise) {
  // Valid CRC over noise, every length up to the largest read (255).
  std::uint32_t seed = 12345;
  Bytes noise;
  for (int n = 0; n < 253; ++n) {
    seed = seed * 1103515245u + 12345u;
    noise.push_back(static_cast<std::uint8_t>(seed >> 16));
    for (const DecoderCase& c : Cases()) Expect(c, WithCrc(noise), "noise " + std::to_string(n));
  }
}
