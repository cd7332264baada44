#include "XModemCRC.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

EBufferOutOfSize::EBufferOutOfSize()
    : std::runtime_error("Недостаточный размер буфера передатчика") {}

namespace {

constexpr std::uint64_t kMaxFirmwareBytes =
    static_cast<std::uint64_t>(kMaxFirmwareBlocks) * kXModemBlockSize;

std::string Quoted(const std::string& fileName) {
  return "\"" + fileName + "\"";
}

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

// Reads up to count bytes at offset; fewer only at the end of the file.
std::size_t ReadAt(int fd, std::uint8_t* buffer, std::size_t count, off_t offset) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, buffer + done, count - done, offset + static_cast<off_t>(done));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // Sending zeros in place of unreadable firmware would brick the device:
      // end the transfer instead.
      throw std::runtime_error("Ошибка чтения файла прошивки");
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

std::string CheckFirmwareFile(const std::string& fileName) {
  struct stat st {};
  if (fileName.empty() || stat(fileName.c_str(), &st) != 0) {
    if (!fileName.empty() && errno != ENOENT && errno != ENOTDIR)
      return "Не удаётся прочитать файл прошивки " + Quoted(fileName) + ".";
    return "Файл прошивки " + Quoted(fileName) + " не найден.";
  }
  if (!S_ISREG(st.st_mode)) return Quoted(fileName) + " не является файлом прошивки.";
  int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "Не удаётся прочитать файл прошивки " + Quoted(fileName) + ".";
  std::uint8_t byte = 0;
  ssize_t n;
  do n = read(fd, &byte, 1);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) return "Не удаётся прочитать файл прошивки " + Quoted(fileName) + ".";
  if (n == 0 || st.st_size == 0) return "Файл прошивки " + Quoted(fileName) + " пуст.";
  if (static_cast<std::uint64_t>(st.st_size) > kMaxFirmwareBytes) {
    char limits[160];
    std::snprintf(limits, sizeof limits,
                  ": %llu байт, а устройство принимает не более %u блоков по %d байт (%llu байт).",
                  static_cast<unsigned long long>(st.st_size), kMaxFirmwareBlocks, kXModemBlockSize,
                  static_cast<unsigned long long>(kMaxFirmwareBytes));
    return "Файл прошивки " + Quoted(fileName) + " слишком велик" + limits;
  }
  return {};
}

TXModemCRC::TXModemCRC(const std::string& fileName) {
  FFile = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (FFile < 0) return;
  struct stat st {};
  if (fstat(FFile, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(FFile);
    FFile = -1;
    return;
  }
  std::uint64_t blocks = (static_cast<std::uint64_t>(st.st_size) + kXModemBlockSize - 1) /
                         static_cast<std::uint64_t>(kXModemBlockSize);
  // Far beyond what CheckFirmwareFile lets through; keeps BlockCount + 1 exact.
  if (blocks > 0xFFFFFFF0u) blocks = 0xFFFFFFF0u;
  FBlockCount = static_cast<std::uint32_t>(blocks);
  FCurrentBlock = 1;
}

TXModemCRC::~TXModemCRC() {
  if (FFile >= 0) close(FFile);
}

void TXModemCRC::Restart() {
  FCurrentBlock = 1;
}

std::uint16_t TXModemCRC::BlockCrc(const std::uint8_t* data, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

int TXModemCRC::ProgressPercent() const {
  if (AllBlocksSent() || TransferDone()) return 100;
  return static_cast<int>(static_cast<std::uint64_t>(FCurrentBlock) * 100 /
                          (static_cast<std::uint64_t>(FBlockCount) + 1));
}

bool TXModemCRC::NextPacket(const std::string& reply, std::uint8_t* buffer, std::uint16_t& length) {
  // Blocks are read at their own offset, so repeating one needs no seek.
  if (!reply.empty()) {
    const char first = reply[0];
    if (first == 'C' || first == 'c')
      Restart();
    else if (static_cast<std::uint8_t>(first) == kXModemACK && !TransferDone())
      ++FCurrentBlock;
  }
  BuildPacket(buffer, length);
  return length > 0;
}

void TXModemCRC::BuildPacket(std::uint8_t* buffer, std::uint16_t& length) {
  if (TransferDone()) {
    length = 0;
    return;
  }
  if (AllBlocksSent()) {
    if (length < 1) throw EBufferOutOfSize();
    buffer[0] = kXModemEOT;
    length = 1;
    return;
  }
  if (length < kXModemPacketSize) throw EBufferOutOfSize();
  std::memset(buffer, 0, length);
  buffer[0] = kXModemSOH;
  buffer[1] = static_cast<std::uint8_t>(FCurrentBlock & 0xFF);
  buffer[2] = static_cast<std::uint8_t>(255 - buffer[1]);
  const off_t offset = static_cast<off_t>(FCurrentBlock - 1) * kXModemBlockSize;
  ReadAt(FFile, buffer + 3, kXModemBlockSize, offset);
  const std::uint16_t crc = BlockCrc(buffer + 3, kXModemBlockSize);
  buffer[131] = static_cast<std::uint8_t>(crc >> 8);
  buffer[132] = static_cast<std::uint8_t>(crc & 0xFF);
  length = kXModemPacketSize;
}
