// The XModem-CRC sender against its reply rules, packet layout and limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "UploadTestFiles.h"
#include "XModemCRC.h"

namespace {

const std::string kC = "C";
const std::string kAck(1, '\x06');
const std::string kNak(1, '\x15');
const std::string kCan(1, '\x18');

struct Packet {
  bool More;
  std::vector<std::uint8_t> Bytes;
};

Packet Next(TXModemCRC& x, const std::string& reply) {
  std::uint8_t buffer[256];
  std::uint16_t length = sizeof buffer;
  bool more = x.NextPacket(reply, buffer, length);
  return {more, std::vector<std::uint8_t>(buffer, buffer + length)};
}

// Checks the frame of one data block and returns its 128 data bytes.
std::vector<std::uint8_t> BlockData(const Packet& p, std::uint8_t number) {
  EXPECT_TRUE(p.More);
  EXPECT_EQ(p.Bytes.size(), 133u);
  if (p.Bytes.size() != 133u) return {};
  EXPECT_EQ(p.Bytes[0], 0x01);
  EXPECT_EQ(p.Bytes[1], number);
  EXPECT_EQ(p.Bytes[2], 255 - number);
  std::uint16_t crc = TXModemCRC::BlockCrc(p.Bytes.data() + 3, 128);
  EXPECT_EQ(p.Bytes[131], crc >> 8);
  EXPECT_EQ(p.Bytes[132], crc & 0xFF);
  return std::vector<std::uint8_t>(p.Bytes.begin() + 3, p.Bytes.begin() + 131);
}

bool IsEot(const Packet& p) {
  return p.More && p.Bytes == std::vector<std::uint8_t>{0x04};
}

}  // namespace

TEST(XModemCrc, BlockCrcMatchesXModemCheckValues) {
  const char* text = "123456789";
  EXPECT_EQ(TXModemCRC::BlockCrc(reinterpret_cast<const std::uint8_t*>(text), 9), 0x31C3);
  std::uint8_t zeros[128] = {};
  EXPECT_EQ(TXModemCRC::BlockCrc(zeros, 128), 0x0000);
  const std::uint8_t a = 'A';
  EXPECT_EQ(TXModemCRC::BlockCrc(&a, 1), 0x58E5);
}

TEST(XModemCrc, EmptyOrMissingFileSendsOnlyEot) {
  TTempDir dir;
  for (const std::string& name : {dir.Write("empty.bin2", {}), dir.Path("absent.bin2")}) {
    TXModemCRC x(name);
    EXPECT_EQ(x.BlockCount(), 0u);
    Packet p = Next(x, kC);
    EXPECT_TRUE(IsEot(p)) << name;
    EXPECT_EQ(x.ProgressPercent(), 100);
    EXPECT_TRUE(IsEot(Next(x, kNak)));  // anything but ACK repeats the EOT
    EXPECT_TRUE(IsEot(Next(x, "")));
    p = Next(x, kAck);
    EXPECT_FALSE(p.More);
    EXPECT_TRUE(p.Bytes.empty());
  }
}

TEST(XModemCrc, ShortLastBlockIsPaddedWithZeros) {
  TTempDir dir;
  std::vector<std::uint8_t> data = PatternBytes(129);
  TXModemCRC x(dir.Write("f.bin2", data));
  EXPECT_EQ(x.BlockCount(), 2u);
  std::vector<std::uint8_t> b1 = BlockData(Next(x, kC), 1);
  EXPECT_EQ(b1, std::vector<std::uint8_t>(data.begin(), data.begin() + 128));
  std::vector<std::uint8_t> b2 = BlockData(Next(x, kAck), 2);
  std::vector<std::uint8_t> expected(128, 0);
  expected[0] = data[128];
  EXPECT_EQ(b2, expected);
  EXPECT_TRUE(IsEot(Next(x, kAck)));
  EXPECT_FALSE(Next(x, kAck).More);
}

TEST(XModemCrc, ProgressCountsBlocksThenEot) {
  TTempDir dir;
  TXModemCRC x(dir.Write("f.bin2", PatternBytes(1280)));
  ASSERT_EQ(x.BlockCount(), 10u);
  std::vector<int> seen;
  std::string reply = kC;
  while (true) {
    Packet p = Next(x, reply);
    if (!p.More) break;
    seen.push_back(x.ProgressPercent());
    reply = kAck;
  }
  EXPECT_EQ(seen, (std::vector<int>{9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}));
}

TEST(XModemCrc, RepliesOtherThanAckRepeatAndCRestarts) {
  TTempDir dir;
  std::vector<std::uint8_t> data = PatternBytes(5 * 128);
  TXModemCRC x(dir.Write("f.bin2", data));
  std::vector<std::uint8_t> first = Next(x, kC).Bytes;
  Next(x, kAck);
  std::vector<std::uint8_t> third = Next(x, kAck).Bytes;
  ASSERT_EQ(third[1], 3);
  for (const std::string& reply :
       {kNak, kCan, std::string(""), std::string("x"), std::string("\x15\x06")})
    EXPECT_EQ(Next(x, reply).Bytes, third) << "reply " << reply.size();
  // Only the first byte counts: ACK followed by noise still advances.
  EXPECT_EQ(Next(x, std::string("\x06\x15")).Bytes[1], 4);
  // A lower-case "c" mid-transfer starts again from block 1, file rewound.
  EXPECT_EQ(Next(x, "c").Bytes, first);
  EXPECT_EQ(x.CurrentBlock(), 1u);
  EXPECT_EQ(BlockData(Next(x, kAck), 2),
            std::vector<std::uint8_t>(data.begin() + 128, data.begin() + 256));
  x.Restart();
  EXPECT_EQ(Next(x, "").Bytes, first);
}

TEST(XModemCrc, BlockNumbersWrapAfter255) {
  TTempDir dir;
  TXModemCRC x(dir.Write("f.bin2", PatternBytes(257 * 128)));
  Packet p = Next(x, kC);
  for (int block = 2; block <= 257; ++block) {
    p = Next(x, kAck);
    if (block == 255) {
      EXPECT_EQ(p.Bytes[1], 0xFF);
    }
  }
  // Block 257 is 0x01 again; block 256 was 0x00 0xFF.
  EXPECT_EQ(p.Bytes[1], 0x01);
  x.Restart();
  for (int block = 2; block <= 256; ++block) p = Next(x, kAck);
  EXPECT_EQ(p.Bytes[1], 0x00);
  EXPECT_EQ(p.Bytes[2], 0xFF);
  EXPECT_EQ(x.CurrentBlock(), 256u);
}

TEST(XModemCrc, FileAtTheBlockLimitEndsWithEot) {
  TTempDir dir;
  std::string name = dir.Path("max.bin2");
  {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    // Sparse: reads back as zeros except the last byte.
    std::fseek(f, static_cast<long>(kMaxFirmwareBlocks) * 128 - 1, SEEK_SET);
    std::fputc(0x5A, f);
    std::fclose(f);
  }
  EXPECT_EQ(CheckFirmwareFile(name), "");
  TXModemCRC x(name);
  ASSERT_EQ(x.BlockCount(), 65535u);
  Packet p = Next(x, kC);
  for (std::uint32_t block = 2; block <= 65535; ++block) p = Next(x, kAck);
  EXPECT_EQ(p.Bytes[1], 0xFF);
  EXPECT_EQ(p.Bytes[130], 0x5A);
  EXPECT_EQ(x.ProgressPercent(), 99);
  EXPECT_TRUE(IsEot(Next(x, kAck)));
  EXPECT_EQ(x.ProgressPercent(), 100);
  EXPECT_FALSE(Next(x, kAck).More);
}

TEST(XModemCrc, BufferCapacityIsChecked) {
  TTempDir dir;
  TXModemCRC x(dir.Write("f.bin2", PatternBytes(10)));
  std::uint8_t buffer[256];
  std::uint16_t length = 132;
  try {
    x.NextPacket(kC, buffer, length);
    ADD_FAILURE() << "no EBufferOutOfSize";
  } catch (const EBufferOutOfSize& e) {
    EXPECT_STREQ(e.what(), "Недостаточный размер буфера передатчика");
  }
  length = 133;
  EXPECT_TRUE(x.NextPacket("", buffer, length));
  EXPECT_EQ(length, 133);
  length = 0;  // the EOT needs one byte
  EXPECT_THROW(x.NextPacket(kAck, buffer, length), EBufferOutOfSize);
  length = 1;
  EXPECT_TRUE(x.NextPacket("", buffer, length));
  EXPECT_EQ(buffer[0], 0x04);
  length = 0;  // nothing is due once the EOT is acknowledged
  EXPECT_FALSE(x.NextPacket(kAck, buffer, length));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(x.ProgressPercent(), 100);
}

TEST(XModemCrc, FirmwareFileCheckRefusesBadFiles) {
  TTempDir dir;
  EXPECT_EQ(CheckFirmwareFile(dir.Write("ok.bin2", PatternBytes(1))), "");
  EXPECT_EQ(CheckFirmwareFile(dir.Path("absent.bin2")),
            "Файл прошивки \"" + dir.Path("absent.bin2") + "\" не найден.");
  EXPECT_NE(CheckFirmwareFile(""), "");
  EXPECT_EQ(CheckFirmwareFile(dir.Write("empty.bin2", {})),
            "Файл прошивки \"" + dir.Path("empty.bin2") + "\" пуст.");
  EXPECT_NE(CheckFirmwareFile(dir.Path("")), "");  // the folder itself
  std::string big = dir.Path("big.bin2");
  ASSERT_EQ(truncate(dir.Write("big.bin2", {}).c_str(), 65535LL * 128 + 1), 0);
  std::string message = CheckFirmwareFile(big);
  EXPECT_NE(message.find("слишком велик"), std::string::npos) << message;
  EXPECT_NE(message.find("65535"), std::string::npos) << message;
  if (geteuid() != 0) {  // root reads whatever the mode says
    std::string locked = dir.Write("locked.bin2", PatternBytes(5));
    chmod(locked.c_str(), 0);
    EXPECT_EQ(CheckFirmwareFile(locked), "Не удаётся прочитать файл прошивки \"" + locked + "\".");
  }
}
