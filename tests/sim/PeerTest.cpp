// Real peers keep the simulator honest: mbpoll as a Modbus master, sx
// (lrzsz) as an XModem-CRC sender.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "SimProcess.h"
#include "SimTestPort.h"

using namespace std::chrono_literals;

namespace {

TEST(Peers, MbpollReadsTheInputRegisters) {
  if (!HaveProgram("mbpoll")) GTEST_SKIP() << "mbpoll is not installed (scripts/deps.sh)";
  TVirtualLine line;
  line.AddDevice(TestDevice(dpModbus));
  std::string output;
  ASSERT_EQ(RunShell("timeout 30 mbpoll -m rtu -a 5 -b 9600 -P even -t 3 -r 1 -c 45 -1 " +
                         line.SlavePath(),
                     &output),
            0)
      << output;
  // Lines "[n]: value" with n counted from 1.
  std::map<int, unsigned> reg;
  std::istringstream in(output);
  std::string text;
  while (std::getline(in, text)) {
    int n;
    long value;
    if (std::sscanf(text.c_str(), "[%d]: %ld", &n, &value) == 2) {
      reg[n - 1] = static_cast<unsigned>(value) & 0xFFFF;
    }
  }
  ASSERT_EQ(reg.size(), 45u) << output;
  EXPECT_EQ(reg[0], 0x0012u);
  EXPECT_EQ(reg[1], 0x1234u);
  EXPECT_EQ(reg[5], 0x4145u);  // 12.34 m
  EXPECT_EQ(reg[6], 0x70A4u);
  EXPECT_EQ(reg[14], 3u);
  EXPECT_EQ(reg[15], 0x0198u);
  EXPECT_EQ(reg[16], 0xFFCCu);
  EXPECT_EQ(reg[17], 0xAAAAu);
  for (int r = 18; r < 45; ++r) EXPECT_EQ(reg[r], 0xDDDDu) << r;
  for (int r : {2, 3, 4, 7, 8, 9, 10, 11, 12, 13}) EXPECT_EQ(reg[r], 0u) << r;
}

TEST(Peers, SxDeliversAFileToADeviceInUploadMode) {
  if (!HaveProgram("sx")) GTEST_SKIP() << "sx (lrzsz) is not installed (scripts/deps.sh)";
  TVirtualLine line;
  const int dev = line.AddDevice(TestDevice(dpModbus));
  char path[] = "/tmp/lim07-fw-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<std::uint8_t> file(3000);
  for (std::size_t i = 0; i < file.size(); ++i)
    file[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
  ASSERT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
  close(fd);
  {
    // The mode switch as the program sends it: holding 3-5 := 6, plant, A5A5.
    TTestPort port(line.SlavePath());
    EXPECT_EQ(port.Modbus(WithCrc({0x05, 0x10, 0x00, 0x03, 0x00, 0x03, 0x06, 0x00, 0x06, 0x04, 0xD2,
                                   0xA5, 0xA5}),
                          8),
              WithCrc({0x05, 0x10, 0x00, 0x03, 0x00, 0x03}));
  }
  std::string output;
  const int status = RunShell(
      "timeout 60 sx -q " + std::string(path) + " < " + line.SlavePath() + " > " + line.SlavePath(),
      &output);
  unlink(path);
  EXPECT_EQ(status, 0) << output;
  ASSERT_TRUE(line.WaitDevice(
      dev, [](const TSimDevice& d) { return !d.Uploading; }, 5s));
  const TSimDevice d = line.Device(dev);
  EXPECT_EQ(d.FirmwareUploads, 1);
  ASSERT_EQ(d.Firmware.size(), 3072u);  // 24 blocks of 128
  EXPECT_EQ(std::vector<std::uint8_t>(d.Firmware.begin(), d.Firmware.begin() + 3000), file);
  for (std::size_t i = 3000; i < d.Firmware.size(); ++i) EXPECT_EQ(d.Firmware[i], 0x1A) << i;
}

}  // namespace
