// XModem-CRC receiver of a device in firmware-upload mode.
#include <cstdio>

#include "SimProtocols.h"

namespace {
constexpr std::uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;

std::string Format(const char* format, unsigned a, unsigned b = 0) {
  char s[96];
  std::snprintf(s, sizeof s, format, a, b);
  return s;
}
}  // namespace

std::uint16_t XModemCrc(const std::uint8_t* data, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>(crc << 1 ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

TXModemReceiver::TXModemReceiver(const TSimXModemTiming& timing, TClock::time_point now)
    : FTiming(timing), FNextC(now + std::chrono::milliseconds(timing.FirstCMs)), FLastByte(now) {}

std::vector<TXModemReceiver::TEvent> TXModemReceiver::Feed(const std::uint8_t* data,
                                                           std::size_t count,
                                                           TClock::time_point now) {
  std::vector<TEvent> events;
  TBytes junk;
  for (std::size_t i = 0; i < count; ++i) {
    if (FState == TState::Done || FState == TState::Aborted) break;
    const std::uint8_t b = data[i];
    FLastByte = now;
    if (!FPacket.empty()) {
      FPacket.push_back(b);
      const std::size_t size = FPacket[0] == kSoh ? 133 : 1029;
      if (FPacket.size() == size) PacketDone(events);
      continue;
    }
    if (b != kCan) FCancels = 0;
    if (b == kSoh || b == kStx) {
      FPacket.push_back(b);
      FState = TState::Receiving;
    } else if (b == kEot) {
      FState = TState::Done;
      events.push_back({{kEot},
                        {kAck},
                        Format("xmodem EOT after %u bytes: ACK, image stored",
                               static_cast<unsigned>(FImage.size()))});
    } else if (b == kCan) {
      if (++FCancels >= 2) {
        FState = TState::Aborted;
        events.push_back({{kCan, kCan}, {}, "xmodem cancelled by the sender"});
      }
    } else {
      junk.push_back(b);
    }
  }
  if (!junk.empty()) {
    events.insert(
        events.begin(),
        {junk, {}, Format("xmodem: %u stray bytes ignored", static_cast<unsigned>(junk.size()))});
  }
  return events;
}

void TXModemReceiver::PacketDone(std::vector<TEvent>& events) {
  const std::size_t length = FPacket.size() - 5;  // 128 or 1024 data bytes
  const std::uint8_t block = FPacket[1], complement = FPacket[2];
  const std::uint16_t crc =
      static_cast<std::uint16_t>(FPacket[3 + length] << 8 | FPacket[4 + length]);
  TEvent e{FPacket, {kNak}, {}};
  if (static_cast<std::uint8_t>(block + complement) != 0xFF) {
    e.Note = Format("xmodem block %u: bad complement 0x%02X, NAK", block, complement);
  } else if (XModemCrc(FPacket.data() + 3, length) != crc) {
    e.Note = Format("xmodem block %u: bad CRC, NAK", block);
  } else if (block == FExpected) {
    FImage.insert(FImage.end(), FPacket.begin() + 3, FPacket.begin() + 3 + length);
    ++FExpected;
    FAnyBlock = true;
    e.Reply = {kAck};
    e.Note = Format("xmodem block %u: ACK", block);
  } else if (FAnyBlock && block == static_cast<std::uint8_t>(FExpected - 1)) {
    e.Reply = {kAck};
    e.Note = Format("xmodem block %u repeated: ACK, not stored again", block);
  } else {
    e.Note = Format("xmodem block %u out of sequence (expected %u), NAK", block, FExpected);
  }
  FPacket.clear();
  events.push_back(std::move(e));
}

std::vector<TXModemReceiver::TEvent> TXModemReceiver::Tick(TClock::time_point now) {
  std::vector<TEvent> events;
  if (FState == TState::Handshake && now >= FNextC) {
    if (FCSent >= FTiming.MaxC) {
      FState = TState::Aborted;
      events.push_back({{}, {}, "xmodem: no sender, upload mode left"});
    } else {
      ++FCSent;
      FNextC = now + std::chrono::milliseconds(FTiming.CIntervalMs);
      events.push_back({{}, {'C'}, "xmodem C"});
    }
  } else if (FState == TState::Receiving) {
    const auto quiet = now - FLastByte;
    if (quiet >= std::chrono::milliseconds(FTiming.AbortSilenceMs)) {
      FState = TState::Aborted;
      events.push_back({FPacket, {}, "xmodem: sender gone, upload aborted"});
      FPacket.clear();
    } else if (!FPacket.empty() && quiet >= std::chrono::milliseconds(FTiming.PacketTimeoutMs)) {
      events.push_back({FPacket,
                        {kNak},
                        Format("xmodem: incomplete packet of %u bytes, NAK",
                               static_cast<unsigned>(FPacket.size()))});
      FPacket.clear();
    }
  }
  return events;
}

TXModemReceiver::TClock::time_point TXModemReceiver::NextDeadline() const {
  if (FState == TState::Handshake) return FNextC;
  if (FState == TState::Receiving) {
    if (!FPacket.empty()) return FLastByte + std::chrono::milliseconds(FTiming.PacketTimeoutMs);
    return FLastByte + std::chrono::milliseconds(FTiming.AbortSilenceMs);
  }
  return TClock::time_point::max();
}

void TXModemReceiver::StartClock(TClock::time_point now) {
  FNextC = now + std::chrono::milliseconds(FTiming.FirstCMs);
  FLastByte = now;
}
