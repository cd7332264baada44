// Device side of the two protocols and of XModem-CRC, used by the line
// thread. Internal to the simulator.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "VirtualLine.h"

using TBytes = std::vector<std::uint8_t>;

// What the devices made of one frame.
struct TSimOutcome {
  struct TReply {
    int Device = -1;
    TBytes Bytes;  // the answer, faults already applied (except the delay)
    int DelayMs = 0;
  };
  std::vector<TReply> Replies;  // more than one: a collision on the line
  std::string Note;
  int EnterUpload = -1;  // index of a device that goes into upload mode
};

// Appends Crc16 low byte first.
void SimAppendCrc(TBytes& frame);
bool SimCrcOk(const std::uint8_t* frame, std::size_t count);

// A whole native frame: length byte consistent and CRC correct.
bool NativeFrameComplete(const std::uint8_t* frame, std::size_t count);
// A whole Modbus request of a known function with a correct CRC.
bool ModbusFrameComplete(const std::uint8_t* frame, std::size_t count);

// Let the devices of each protocol act on a frame and answer it. False when
// no device of that protocol took the frame as its own.
// `lineBaud` is the speed the frame came at (0: unknown); a device set to
// another speed does not hear it.
bool HandleNative(std::vector<TSimDevice>& devices, const TBytes& frame, TSimOutcome& out,
                  int lineBaud = 0);
bool HandleModbus(std::vector<TSimDevice>& devices, const TBytes& frame, TSimOutcome& out,
                  int lineBaud = 0);
// Whether a device hears a frame sent at lineBaud.
inline bool HearsSpeed(const TSimDevice& d, int lineBaud) {
  return d.Baud == 0 || d.Baud == lineBaud;
}

// Applies the device's answer faults (CRC, short, garbage, delay) and counts
// down Remaining. Returns false when the device stays silent.
bool ApplyAnswerFaults(TSimDevice& device, TBytes& answer, int& delayMs);
// Counts one faulty answer down; clears the faults when Remaining reaches 0.
void ConsumeFault(TSimDevice& device);

// CRC-16/XMODEM: polynomial 0x1021, initial 0, MSB first, no final XOR.
std::uint16_t XModemCrc(const std::uint8_t* data, std::size_t count);

// XModem-CRC receiver of one device in upload mode. Fed with the raw bytes of
// the line; its replies are written back by the caller.
class TXModemReceiver {
 public:
  using TClock = std::chrono::steady_clock;
  enum class TState { Handshake, Receiving, Done, Aborted };
  struct TEvent {
    TBytes Packet;  // the bytes this event is about (may be empty)
    TBytes Reply;   // to send back (may be empty)
    std::string Note;
  };

  TXModemReceiver(const TSimXModemTiming& timing, TClock::time_point now);
  // Digests bytes from the line.
  std::vector<TEvent> Feed(const std::uint8_t* data, std::size_t count, TClock::time_point now);
  // Time-driven work: "C" in the handshake, NAK of a stalled packet, abort.
  std::vector<TEvent> Tick(TClock::time_point now);
  TClock::time_point NextDeadline() const;
  // Counts the handshake from now (the first "C" comes FirstCMs later).
  void StartClock(TClock::time_point now);
  TState State() const { return FState; }
  const TBytes& Image() const { return FImage; }

 private:
  void PacketDone(std::vector<TEvent>& events);
  TSimXModemTiming FTiming;
  TState FState = TState::Handshake;
  TClock::time_point FNextC;
  int FCSent = 0;
  TClock::time_point FLastByte;
  TBytes FPacket;  // packet being received
  std::uint8_t FExpected = 1;
  bool FAnyBlock = false;
  int FCancels = 0;
  TBytes FImage;
};
