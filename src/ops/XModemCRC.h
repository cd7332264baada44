// The sender side of XModem-CRC over one firmware file: 128-byte blocks, each
// with a CRC-16/XMODEM, then EOT. The receiver's replies steer it: "C" or "c"
// starts the file again, ACK accepts the last packet, anything else (NAK,
// CAN, noise) and silence ask for the last packet again.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The packet buffer handed to NextPacket cannot hold the packet that is due.
class EBufferOutOfSize : public std::runtime_error {
 public:
  EBufferOutOfSize();
};

// A firmware file may hold at most this many 128-byte blocks: devices count
// blocks in 16 bits.
constexpr std::uint32_t kMaxFirmwareBlocks = 65535;
constexpr int kXModemBlockSize = 128;
// SOH, block number, its complement, 128 data bytes, CRC high, CRC low.
constexpr int kXModemPacketSize = 133;

constexpr std::uint8_t kXModemSOH = 0x01;
constexpr std::uint8_t kXModemEOT = 0x04;
constexpr std::uint8_t kXModemACK = 0x06;
constexpr std::uint8_t kXModemNAK = 0x15;
constexpr std::uint8_t kXModemCAN = 0x18;

// Checks a firmware file before any device is switched into upload mode.
// Returns an empty string when the file can be sent, otherwise the message to
// show: the file does not exist, is not a regular file, cannot be read, is
// empty, or holds more than kMaxFirmwareBlocks blocks.
std::string CheckFirmwareFile(const std::string& fileName);

class TXModemCRC {
 public:
  // Opens the file for reading; when it cannot be opened the sender has no
  // file and offers only the EOT.
  explicit TXModemCRC(const std::string& fileName);
  ~TXModemCRC();
  TXModemCRC(const TXModemCRC&) = delete;
  TXModemCRC& operator=(const TXModemCRC&) = delete;

  // Digests the receiver's last reply (only its first byte counts; empty means
  // silence), writes the next packet into buffer, whose capacity the caller
  // passes in length, and sets length to the packet length: 133 for a block,
  // 1 for the EOT, 0 when the EOT has been acknowledged. Returns length > 0.
  // Raises EBufferOutOfSize when the capacity is too small for the packet due.
  bool NextPacket(const std::string& reply, std::uint8_t* buffer, std::uint16_t& length);
  // 100 once every block is acknowledged; before that the share of the blocks
  // acknowledged, counting the EOT as one more step.
  int ProgressPercent() const;
  // Starts the file again from block 1.
  void Restart();

  // CRC-16/XMODEM: polynomial 0x1021, initial 0, most significant bit first,
  // no final inversion ("123456789" gives 0x31C3).
  static std::uint16_t BlockCrc(const std::uint8_t* data, std::size_t count);

  bool HasFile() const { return FFile >= 0; }
  // Blocks are counted in 32 bits so that a file of kMaxFirmwareBlocks blocks
  // ends with the EOT instead of wrapping to block 0.
  std::uint32_t BlockCount() const { return FBlockCount; }
  // The block to send next, from 1; BlockCount() + 1 is the EOT stage.
  std::uint32_t CurrentBlock() const { return FCurrentBlock; }
  bool AllBlocksSent() const { return !HasFile() || FCurrentBlock == FBlockCount + 1; }
  bool TransferDone() const { return FCurrentBlock > FBlockCount + 1; }

 private:
  void BuildPacket(std::uint8_t* buffer, std::uint16_t& length);

  int FFile = -1;
  std::uint32_t FBlockCount = 0;
  std::uint32_t FCurrentBlock = 0;
};
