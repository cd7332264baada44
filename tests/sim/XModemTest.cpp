// Upload mode: the device's XModem-CRC receiver, fed by hand-built packets.
#include <gtest/gtest.h>

#include "SimProtocols.h"
#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kAck = 0x06, kNak = 0x15;

TEST(XModemCrc, CheckValues) {
  const std::uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(XModemCrc(text, 9), 0x31C3);
  const TBytes zeros(128, 0);
  EXPECT_EQ(XModemCrc(zeros.data(), zeros.size()), 0x0000);
}

// SOH, block, 255 - block, 128 data bytes (zero padded), CRC high, CRC low.
TBytes Block(unsigned number, const TBytes& data) {
  TBytes b{0x01, static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(255 - number % 256)};
  TBytes payload = data;
  payload.resize(128, 0x00);
  b.insert(b.end(), payload.begin(), payload.end());
  const std::uint16_t crc = XModemCrc(payload.data(), payload.size());
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return b;
}

TBytes Pattern(std::size_t size, unsigned seed) {
  TBytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 7);
  return b;
}

struct Upload : ::testing::Test {
  TVirtualLine line;
  int dev = line.AddDevice(TestDevice(dpModbus));
  TTestPort port{line.SlavePath()};
  TBytes Send(const TBytes& packet) {
    port.Write(packet);
    return port.Read(1, 3000, 5);
  }
  void WaitForC() {
    TBytes c = port.Read(1, 3000, 5);
    ASSERT_EQ(c, TBytes{'C'});
  }
};

TEST_F(Upload, ReceivesBlocksNaksDamageAndStoresTheImage) {
  line.Modify(dev, [](TSimDevice& d) { d.Firmware = {1, 2, 3}; });
  line.BeginUpload(dev);
  WaitForC();
  const TBytes file = Pattern(300, 5);
  const TBytes b1 = Block(1, TBytes(file.begin(), file.begin() + 128));
  const TBytes b2 = Block(2, TBytes(file.begin() + 128, file.begin() + 256));
  const TBytes b3 = Block(3, TBytes(file.begin() + 256, file.end()));
  EXPECT_EQ(Send(b1), TBytes{kAck});
  TBytes damaged = b2;
  damaged[50] ^= 0x01;
  EXPECT_EQ(Send(damaged), TBytes{kNak});
  TBytes badComplement = b2;
  badComplement[2] = 0x00;
  EXPECT_EQ(Send(badComplement), TBytes{kNak});
  EXPECT_EQ(Send(Block(4, {})), TBytes{kNak});  // out of sequence
  EXPECT_EQ(Send(b2), TBytes{kAck});
  EXPECT_EQ(Send(b2), TBytes{kAck});  // our ACK was lost: repeated, not stored twice
  EXPECT_EQ(line.Device(dev).Firmware, (TBytes{1, 2, 3}));  // not before the EOT
  EXPECT_EQ(Send(b3), TBytes{kAck});
  EXPECT_EQ(Send({0x04}), TBytes{kAck});

  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 2s));
  const TSimDevice d = line.Device(dev);
  EXPECT_EQ(d.FirmwareUploads, 1);
  EXPECT_EQ(d.Protocol, dpModbus);
  ASSERT_EQ(d.Firmware.size(), 384u);
  EXPECT_EQ(TBytes(d.Firmware.begin(), d.Firmware.begin() + 300), file);
  EXPECT_EQ(TBytes(d.Firmware.begin() + 300, d.Firmware.end()), TBytes(84, 0x00));
  EXPECT_EQ(line.UploadingDevice(), -1);
  // Back at work: Modbus answered.
  EXPECT_EQ(port.Modbus({0x05, 0x04, 0x00, 0x0E, 0x00, 0x01, 0x51, 0x8D}).size(), 7u);
}

TEST_F(Upload, OtherDevicesStayQuietDuringTheTransfer) {
  TSimDevice other = TestDevice(dpModbus);
  other.Address = 7;  // 0x01 or 0x02 would start a packet
  other.PlantNumber = 1;
  const int second = line.AddDevice(other);
  line.BeginUpload(dev);
  WaitForC();
  // A request for the other device is just bytes for the receiver now (this
  // one holds no SOH, STX, EOT or CAN, which would mean something to it).
  port.Write({0x07, 0x03, 0x00, 0x0E, 0x00, 0x03, 0x64, 0x6E});
  EXPECT_TRUE(port.Read(7, 300, 50).empty());
  EXPECT_EQ(line.Device(second).Requests, 0);
  EXPECT_EQ(Send(Block(1, Pattern(128, 1))), TBytes{kAck});
  EXPECT_EQ(Send({0x04}), TBytes{kAck});
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 2s));
  EXPECT_EQ(line.Device(dev).Firmware, Pattern(128, 1));
}

TEST_F(Upload, EmptyFileIsAnEotRightAfterTheC) {
  line.BeginUpload(dev);
  WaitForC();
  EXPECT_EQ(Send({0x04}), TBytes{kAck});
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 2s));
  EXPECT_EQ(line.Device(dev).FirmwareUploads, 1);
  EXPECT_TRUE(line.Device(dev).Firmware.empty());
}

TEST_F(Upload, BlockNumbersWrapAfter255) {
  line.BeginUpload(dev);
  WaitForC();
  TBytes all;
  for (unsigned n = 1; n <= 257; ++n) {
    const TBytes data = Pattern(128, n);
    all.insert(all.end(), data.begin(), data.end());
    ASSERT_EQ(Send(Block(n, data)), TBytes{kAck}) << "block " << n;
  }
  EXPECT_EQ(Send({0x04}), TBytes{kAck});
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 2s));
  EXPECT_EQ(line.Device(dev).Firmware, all);
}

TEST_F(Upload, IncompletePacketIsNakedAndCancelAborts) {
  TSimXModemTiming timing;
  timing.PacketTimeoutMs = 100;
  line.SetXModemTiming(timing);
  line.BeginUpload(dev);
  WaitForC();
  const TBytes b1 = Block(1, Pattern(128, 9));
  port.Write(TBytes(b1.begin(), b1.begin() + 60));
  EXPECT_EQ(port.Read(1, 3000, 5), TBytes{kNak});
  EXPECT_EQ(Send(b1), TBytes{kAck});
  port.Write({0x18, 0x18});
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 2s));
  EXPECT_EQ(line.Device(dev).FirmwareUploads, 0);
  EXPECT_TRUE(line.Device(dev).Firmware.empty());
}

TEST_F(Upload, GivesUpWhenNobodySends) {
  TSimXModemTiming timing;
  timing.FirstCMs = 10;
  timing.CIntervalMs = 30;
  timing.MaxC = 3;
  line.SetXModemTiming(timing);
  line.BeginUpload(dev);
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 3s));
  EXPECT_EQ(port.Read(10, 200, 100), TBytes(3, 'C'));
  EXPECT_EQ(line.Device(dev).Protocol, dpModbus);
}

}  // namespace
