// The upload threads against a receiver played byte by byte by the test: odd
// first bytes, silence and stop requests during the handshake.
#include <gtest/gtest.h>

#include <thread>

#include "Crc16.h"
#include "UploadTestFiles.h"
#include "UploadTestHost.h"
#include "UploadThreads.h"

namespace {

// Reads the mode-switch request for (address, plant) and answers it as a
// device does: the echo of start register 3 and count 3.
void AnswerModeSwitch(TScriptedPeer& peer, std::uint8_t address, std::uint16_t plant) {
  std::vector<std::uint8_t> request = peer.Read(15, 3000);
  ASSERT_EQ(request.size(), 15u);
  const std::vector<std::uint8_t> expected = {address,
                                              0x10,
                                              0x00,
                                              0x03,
                                              0x00,
                                              0x03,
                                              0x06,
                                              0x00,
                                              0x06,
                                              static_cast<std::uint8_t>(plant >> 8),
                                              static_cast<std::uint8_t>(plant),
                                              0xA5,
                                              0xA5};
  ASSERT_TRUE(std::equal(expected.begin(), expected.end(), request.begin()));
  std::vector<std::uint8_t> answer = {address, 0x10, 0x00, 0x03, 0x00, 0x03};
  std::uint16_t crc = Crc16(answer.data(), 0, 6);
  answer.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  answer.push_back(static_cast<std::uint8_t>(crc >> 8));
  peer.Write(answer);
}

class UploadPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    ASSERT_FALSE(Peer.SlavePath().empty());
    Host = std::make_unique<TUploadTestHost>(Peer.SlavePath());
    File = Dir.Write("fw.bin2", Data);
  }
  TTempDir Dir;
  std::vector<std::uint8_t> Data = PatternBytes(300);
  std::string File;
  TScriptedPeer Peer;
  std::unique_ptr<TUploadTestHost> Host;

  void ExpectAllBlocksAfterFirstByte(std::uint8_t first);
};

}  // namespace

TEST_F(UploadPeer, SingleDeviceEndsAtOnceWhenFirstByteIsNotC) {
  auto* thread = new TSoftwareUploadThread(File, Host.get());
  std::thread device([&] {
    // The thread purges the port when it starts: repeat the NAK until the
    // thread is certainly reading.
    for (int i = 0; i < 5; ++i) {
      Peer.Write({0x15});
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  long long ms = RunUploadThread(thread, 20000);
  device.join();
  EXPECT_GE(ms, 0);
  EXPECT_EQ(Host->Percents(), std::vector<int>{100});
  EXPECT_TRUE(Peer.Read(1, 200).empty()) << "no packet may follow a NAK handshake";
  EXPECT_EQ(Host->ComPort().BaudRate(), br9600);
  EXPECT_EQ(Host->ComPort().Parity().Bits(), prNone);
  EXPECT_EQ(Host->ComPort().Timeouts().ReadTotalConstant(), 5000);
  EXPECT_EQ(Host->ComPort().Timeouts().ReadInterval(), 20);
  EXPECT_EQ(Host->ComPort().Timeouts().ReadTotalMultiplier(), 2);
}

TEST_F(UploadPeer, SingleDeviceStopsDuringHandshake) {
  auto* thread = new TSoftwareUploadThread(File, Host.get());
  // The device stays silent; each handshake read waits 5 s, so a stop must be
  // seen between reads, long before the 21 minutes of the full handshake.
  long long ms = RunUploadThread(thread, 20000, 300);
  EXPECT_GE(ms, 300);
  EXPECT_EQ(Host->Percents(), std::vector<int>{100});
  EXPECT_TRUE(Peer.Read(1, 100).empty());
}

// The all-devices upload with a first byte other than "C": block 1 must still
// go first, then the rest, then one EOT.
void UploadPeer::ExpectAllBlocksAfterFirstByte(std::uint8_t first) {
  Host->AddModbusDevice(7, 4321);
  auto* thread = new TTotalSoftwareUploadThread(File, Host.get());
  thread->SetDevicePause(10);
  std::vector<std::vector<std::uint8_t>> packets;
  std::thread device([&] {
    AnswerModeSwitch(Peer, 7, 4321);
    Peer.Write({first});
    for (int i = 0; i < 4; ++i) {
      std::vector<std::uint8_t> p = Peer.Read(i < 3 ? 133 : 1, 3000);
      packets.push_back(p);
      if (p.size() != 133u) break;
      Peer.Write({0x06});
    }
  });
  long long ms = RunUploadThread(thread, 20000);
  device.join();
  EXPECT_GE(ms, 0);
  ASSERT_EQ(packets.size(), 4u) << "first byte " << int(first);
  for (int block = 1; block <= 3; ++block) {
    const auto& p = packets[block - 1];
    ASSERT_EQ(p.size(), 133u);
    EXPECT_EQ(p[1], block);
    std::vector<std::uint8_t> expected(128, 0);
    std::copy(Data.begin() + (block - 1) * 128,
              Data.begin() + std::min<int>(block * 128, static_cast<int>(Data.size())),
              expected.begin());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), p.begin() + 3)) << "block " << block;
  }
  EXPECT_EQ(packets[3], std::vector<std::uint8_t>{0x04});  // the EOT, its ACK not awaited
  std::vector<std::pair<int, int>> totals = Host->Totals();
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), std::make_pair(100, 0));
  EXPECT_EQ(totals[totals.size() - 2], std::make_pair(0, 100));
}

TEST_F(UploadPeer, AllDevicesTakeFirstNakAsRepeatOfBlockOne) {
  ExpectAllBlocksAfterFirstByte(0x15);
}

TEST_F(UploadPeer, AllDevicesDoNotTakeFirstAckAsAckOfBlockOne) {
  // A stray ACK right after the switch would otherwise skip block 1.
  ExpectAllBlocksAfterFirstByte(0x06);
}

TEST_F(UploadPeer, AllDevicesStopDuringHandshake) {
  Host->AddModbusDevice(7, 4321);
  Host->AddModbusDevice(8, 4322);
  auto* thread = new TTotalSoftwareUploadThread(File, Host.get());
  std::thread device([&] { AnswerModeSwitch(Peer, 7, 4321); });
  // The device answered the switch but never asks for data: the handshake
  // (120 reads, about 30 s) must give way to the stop.
  long long ms = RunUploadThread(thread, 15000, 800);
  device.join();
  EXPECT_GE(ms, 800);
  EXPECT_TRUE(Host->Totals().empty());
  EXPECT_TRUE(Peer.Read(1, 300).empty()) << "nothing after the stop, not even device 2's switch";
}

TEST_F(UploadPeer, AllDevicesSkipSilentDeviceWithoutPause) {
  Host->AddModbusDevice(7, 4321);
  auto* thread = new TTotalSoftwareUploadThread(File, Host.get());
  thread->SetHandshakeReads(3);
  std::thread device([&] { AnswerModeSwitch(Peer, 7, 4321); });
  long long ms = RunUploadThread(thread, 20000);
  device.join();
  // Three reads of at least 250 ms; no pause of 3 s afterwards.
  EXPECT_GE(ms, 700);
  EXPECT_LT(ms, 2900);
  EXPECT_EQ(Host->Totals(), (std::vector<std::pair<int, int>>{{0, 100}}));
  EXPECT_EQ(Host->ComPort().Parity().Bits(), prEven);  // left by the mode switch
  EXPECT_EQ(Host->ComPort().Timeouts().ReadTotalConstant(), 250);
}
