// libFuzzer target for the XModem-CRC sender, TXModemCRC, fed arbitrary
// sequences of receiver replies.
//
// Input: a header byte (file or no file, and the file's length in its low
// bits together with the next byte), the file's bytes, then the replies, one
// per step: a control byte (silence, one byte, or a reply of several bytes;
// the capacity offered) and the reply bytes.
//
// Every packet must be either a 133-byte block (SOH, block number and its
// complement, the file's 128 bytes at that block's offset with zeros past the
// end, CRC-16/XMODEM high byte first, computed here independently) or the
// one-byte EOT, and it must be the packet a reference model of the protocol
// expects after the replies so far. A capacity too small for the packet due
// must raise EBufferOutOfSize and nothing else. Every file read is checked
// too: the link wraps pread and lseek; each block is read from its own
// offset inside the file (a second read of a short block may only find the
// end of the file there), and no seek happens at all.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "XModemCRC.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "sender check failed: %s\n", what);
  std::abort();
}

// The file being sent, and where the sender may read it.
int gWatchedFd = -1;
off_t gFileSize = 0;

std::uint16_t ReferenceCrc(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (p[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

bool IsFd(int fd) {
  // The sender opens its own descriptor on the same file: compare the files.
  if (gWatchedFd < 0) return false;
  struct stat a {
  }, b{};
  return fstat(fd, &a) == 0 && fstat(gWatchedFd, &b) == 0 && a.st_ino == b.st_ino &&
         a.st_dev == b.st_dev;
}

}  // namespace

// Link-time wrappers (-Wl,--wrap=pread,--wrap=lseek and their 64-bit names).
extern "C" {
ssize_t __real_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t __real_pread64(int fd, void* buf, size_t count, off_t offset);
off_t __real_lseek(int fd, off_t offset, int whence);
off_t __real_lseek64(int fd, off_t offset, int whence);

ssize_t __wrap_pread(int fd, void* buf, size_t count, off_t offset) {
  if (IsFd(fd)) {
    // A block's first read starts on its boundary inside the file; a read
    // that continues a short one may stand at the end (it finds EOF there).
    const bool blockStart = offset % kXModemBlockSize == 0 && count == kXModemBlockSize;
    Check(offset >= 0 && (blockStart ? offset < gFileSize : offset <= gFileSize),
          "read outside the file");
    Check(blockStart || count < kXModemBlockSize, "read off a block boundary");
  }
  return __real_pread(fd, buf, count, offset);
}
ssize_t __wrap_pread64(int fd, void* buf, size_t count, off_t offset) {
  return __wrap_pread(fd, buf, count, offset);
}
off_t __wrap_lseek(int fd, off_t offset, int whence) {
  Check(!IsFd(fd), "seek on the firmware file");
  return __real_lseek(fd, offset, whence);
}
off_t __wrap_lseek64(int fd, off_t offset, int whence) {
  Check(!IsFd(fd), "seek on the firmware file");
  return __real_lseek64(fd, offset, whence);
}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool withFile = (data[0] & 0x80) == 0;
  // Up to 8 KiB of file: 64 blocks, enough to wrap nothing but to reach
  // every path; the block-number wrap is a unit test's business.
  std::size_t fileSize = (static_cast<std::size_t>(data[0] & 0x1F) << 8) | data[1];
  data += 2;
  size -= 2;
  if (fileSize > size) fileSize = size;
  const std::vector<std::uint8_t> file(data, data + fileSize);
  data += fileSize;
  size -= fileSize;

  static int memfd = memfd_create("lim07-xmodem-fuzz", 0);
  Check(memfd >= 0, "memfd_create");
  Check(ftruncate(memfd, 0) == 0, "ftruncate");
  if (!file.empty())
    Check(pwrite(memfd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()),
          "pwrite");
  gWatchedFd = memfd;
  gFileSize = static_cast<off_t>(file.size());
  const std::string path =
      withFile ? "/proc/self/fd/" + std::to_string(memfd) : std::string("/nonexistent/lim07.bin2");

  TXModemCRC sender(path);
  const std::uint32_t blocks =
      withFile ? static_cast<std::uint32_t>((file.size() + kXModemBlockSize - 1) / kXModemBlockSize)
               : 0;
  Check(sender.HasFile() == withFile, "file opened or not as it exists");
  Check(sender.BlockCount() == blocks, "block count");

  // Reference model: the block due (1-based), blocks + 1 = EOT, beyond = done.
  // Without a file the sender starts at 0 and offers only the EOT.
  std::uint64_t current = withFile ? 1 : 0;
  Check(sender.CurrentBlock() == current, "first block");
  std::uint8_t packet[256];
  int steps = 0;
  while (size > 0 && steps++ < 4096) {
    const std::uint8_t control = data[0];
    ++data;
    --size;
    std::size_t replyLength = control & 0x03;  // 0 = silence
    if (replyLength > size) replyLength = size;
    const std::string reply(reinterpret_cast<const char*>(data), replyLength);
    data += replyLength;
    size -= replyLength;
    static constexpr std::uint16_t kCapacities[] = {256, 256, 256, 256, 133, 132, 1, 0};
    std::uint16_t length = kCapacities[(control >> 2) & 7];
    const std::uint16_t capacity = length;

    if (!reply.empty()) {
      const char first = reply[0];
      if (first == 'C' || first == 'c')
        current = 1;
      else if (static_cast<std::uint8_t>(first) == kXModemACK && current <= blocks + 1)
        ++current;
    }
    const bool done = current > blocks + 1;
    const bool eot = !done && (current == blocks + 1 || !withFile);
    const std::size_t need = done ? 0 : eot ? 1 : kXModemPacketSize;

    std::memset(packet, 0xEE, sizeof packet);
    bool raised = false;
    bool sent = false;
    try {
      sent = sender.NextPacket(reply, packet, length);
    } catch (const EBufferOutOfSize&) {
      raised = true;
    }
    Check(raised == (capacity < need), "EBufferOutOfSize when and only when the packet cannot fit");
    if (raised) continue;
    Check(sent == (length > 0), "result and length disagree");
    Check(sender.CurrentBlock() == current, "block position");
    Check(sender.TransferDone() == done, "end of the transfer");
    if (done) {
      Check(length == 0, "a packet after the end of the transfer");
    } else if (eot) {
      Check(length == 1 && packet[0] == kXModemEOT, "not an EOT when every block is acknowledged");
      Check(packet[1] == 0xEE, "EOT wrote past its byte");
    } else {
      Check(length == kXModemPacketSize, "block of the wrong length");
      Check(packet[0] == kXModemSOH, "block without SOH");
      Check(packet[1] == static_cast<std::uint8_t>(current & 0xFF), "wrong block number");
      Check(packet[2] == static_cast<std::uint8_t>(0xFF - packet[1]), "wrong complement");
      const std::size_t offset = static_cast<std::size_t>(current - 1) * kXModemBlockSize;
      for (std::size_t i = 0; i < kXModemBlockSize; ++i) {
        const std::uint8_t want = offset + i < file.size() ? file[offset + i] : 0;
        Check(packet[3 + i] == want, "block bytes not the file's at the block's offset");
      }
      const std::uint16_t crc = ReferenceCrc(packet + 3, kXModemBlockSize);
      Check(packet[131] == (crc >> 8) && packet[132] == (crc & 0xFF), "wrong block CRC");
      if (capacity > kXModemPacketSize)
        Check(packet[kXModemPacketSize] == 0 || packet[kXModemPacketSize] == 0xEE,
              "block wrote garbage past its end");
    }
    const int percent = sender.ProgressPercent();
    Check(percent >= 0 && percent <= 100, "progress outside 0..100");
    if (withFile && current <= blocks)
      Check(percent == static_cast<int>(current * 100 / (blocks + 1)), "progress formula");
    else
      Check(percent == 100, "progress after the last block");
  }
  gWatchedFd = -1;
  return 0;
}
