// The upload threads end to end on the virtual line: simulated devices take
// the firmware through their XModem-CRC receivers.
#include <gtest/gtest.h>

#include "ModbusRequests.h"
#include "UploadTestFiles.h"
#include "UploadTestHost.h"
#include "UploadThreads.h"
#include "VirtualLine.h"

namespace {

TSimDevice ModbusDevice(std::uint8_t address, std::uint16_t plant) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = plant;
  d.Protocol = dpModbus;
  d.Temperatures = {0x0190};
  return d;
}

// The image a device keeps: the file padded with zeros to whole blocks.
std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> data) {
  data.resize((data.size() + 127) / 128 * 128, 0);
  return data;
}

class UploadLine : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    Host = std::make_unique<TUploadTestHost>(Line.SlavePath());
  }
  TTempDir Dir;
  TVirtualLine Line;
  std::unique_ptr<TUploadTestHost> Host;
};

}  // namespace

TEST_F(UploadLine, SingleDeviceReceivesTheImage) {
  const std::vector<std::uint8_t> data = PatternBytes(1000);  // 8 blocks
  const std::string file = Dir.Write("fw.bin2", data);
  int sim = Line.AddDevice(ModbusDevice(5, 1234));
  TDevice* device = Host->AddModbusDevice(5, 1234);

  // The window switches the device before it starts the thread.
  TSetSoftUploadModeTransaction request(&Host->ComPort(), dpModbus);
  ASSERT_TRUE(request.Execute(device)) << device->LastResult;
  ASSERT_TRUE(Line.WaitFrames(1, std::chrono::seconds(2)));
  std::vector<std::uint8_t> frame = Line.Frames().front().Bytes;
  const std::vector<std::uint8_t> expected = {0x05, 0x10, 0x00, 0x03, 0x00, 0x03, 0x06,
                                              0x00, 0x06, 0x04, 0xD2, 0xA5, 0xA5};
  ASSERT_EQ(frame.size(), 15u);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin()));

  auto* thread = new TSoftwareUploadThread(file, Host.get());
  // The progress window closes itself at 100 % and asks the thread to stop.
  Host->OnPercent = [thread](int percent) {
    if (percent >= 100) thread->Terminate();
  };
  ASSERT_GE(RunUploadThread(thread, 60000), 0);

  TSimDevice after = Line.Device(sim);
  EXPECT_EQ(after.FirmwareUploads, 1);
  EXPECT_EQ(after.Firmware, Padded(data));
  EXPECT_EQ(Host->Percents(), (std::vector<int>{11, 22, 33, 44, 55, 66, 77, 88, 100}));
  EXPECT_EQ(Host->ComPort().BaudRate(), br9600);
}

TEST_F(UploadLine, SingleDeviceStopsBetweenPackets) {
  const std::string file = Dir.Write("fw.bin2", PatternBytes(20 * 128));
  int sim = Line.AddDevice(ModbusDevice(3, 77));
  Line.BeginUpload(sim);
  auto* thread = new TSoftwareUploadThread(file, Host.get());
  auto reports = std::make_shared<int>(0);
  Host->OnPercent = [thread, reports](int) {
    if (++*reports == 3) thread->Terminate();
  };
  ASSERT_GE(RunUploadThread(thread, 60000), 0);
  EXPECT_EQ(Host->Percents(), (std::vector<int>{4, 9, 14}));
  EXPECT_EQ(Line.Device(sim).FirmwareUploads, 0);
}

TEST_F(UploadLine, AllDevicesSkipTheOneThatFailsItsModeSwitch) {
  const std::vector<std::uint8_t> data = PatternBytes(700);  // 6 blocks
  const std::string file = Dir.Write("fw.bin2", data);
  int first = Line.AddDevice(ModbusDevice(1, 101));
  TSimDevice broken = ModbusDevice(2, 102);
  broken.Faults.Silent = true;
  int second = Line.AddDevice(broken);
  int third = Line.AddDevice(ModbusDevice(3, 103));
  for (int i = 0; i < 3; ++i) Host->AddModbusDevice(static_cast<std::uint8_t>(i + 1), 101 + i);

  auto* thread = new TTotalSoftwareUploadThread(file, Host.get());
  long long ms = RunUploadThread(thread, 90000);
  ASSERT_GE(ms, 0);
  // A pause of 3 s follows each device, the skipped one included.
  EXPECT_GE(ms, 9000);

  EXPECT_EQ(Line.Device(first).Firmware, Padded(data));
  EXPECT_EQ(Line.Device(second).FirmwareUploads, 0);
  EXPECT_EQ(Line.Device(third).Firmware, Padded(data));

  // (overall, device) as the double progress window shows them.
  const std::vector<std::pair<int, int>> device1 = {{0, 14}, {0, 28}, {0, 42}, {0, 57},
                                                    {0, 71}, {0, 85}, {0, 100}};
  std::vector<std::pair<int, int>> expected = device1;
  expected.emplace_back(33, 0);
  expected.emplace_back(66, 0);
  for (auto [overall, current] : device1) expected.emplace_back(66, current);
  expected.emplace_back(100, 0);
  EXPECT_EQ(Host->Totals(), expected);
}
