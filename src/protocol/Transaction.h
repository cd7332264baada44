// One request/response exchange with one device: the base of every request
// class of both device protocols. Plain C++, no Qt.
//
// Usage (operations): construct a request on the port, optionally with the
// protocol in use, then call Execute(device) as often as needed (the object
// keeps no state between calls besides Protocol and a Broadcast flag once set):
//
//   TLevelTransaction level(&port);                 // dpLargis1
//   TModbusDataTransaction data(&port, dpModbus);
//   if (!RunWithRetry(&level, device, 2)) ...       // outcome in device->LastResult
//
// Exchanges never throw for protocol problems: they return false and describe
// the problem in the device record (LastResult, state words). Port failures
// pass through as EComPort.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "ComPort.h"
#include "Crc16.h"
#include "Device.h"
#include "DeviceProtocol.h"

// Indexes of the seven result texts written into TDevice::LastResult.
enum TResultType {
  rtSuccess,
  rtNoLink,
  rtChecksumError,
  rtProtocolError,
  rtFrameError,
  rtUnknownError,
  rtSensorCountMismatch
};

// The result texts, UTF-8, indexed by TResultType.
extern const char* const kResultTexts[7];
inline const char* ResultText(TResultType type) {
  return kResultTexts[type];
}
// "Ошибка протокола код 0x1F": the protocol-error text with the code byte in
// two upper-case hexadecimal digits.
std::string ProtocolErrorText(std::uint8_t code);
// "Ошибка протокола код неизвестен".
std::string UnknownProtocolErrorText();

// Answers are read into a zero-filled local buffer of this size.
constexpr int kAnswerBufferSize = 256;
// Minimum gap, in microseconds, between the native address byte leaving the
// port and the parity change for the rest of the frame.
constexpr int kNativeAddressPauseUs = 2000;

// "Process the calling thread's pending window messages once": Execute calls
// this hook before every exchange (after purging the port), on whichever
// thread runs the transaction. Empty by default, so the protocol layer never
// depends on a window system. The UI layer sets it once at start-up; it must
// deliver only non-input events (a click delivered here could delete the
// device in use or start a second user of the port), and must do nothing
// harmful when called on a worker thread. Thread-safe to set and to call.
void SetProcessMessagesHook(std::function<void()> hook);
void ProcessMessagesOnce();

// What Execute reports to an observer of the port's exchanges (the traffic
// monitor): once before the request goes out and once after its outcome is in
// the device record. Called on the thread that runs the exchange.
struct TExchangeEvent {
  bool Begin = true;
  TDevice* Device = nullptr;  // none: a broadcast
  TDeviceProtocol Protocol = dpLargis1;
  bool Ok = false;      // end: the request's result
  bool Thrown = false;  // end: the exchange ended by a port error
};
using TExchangeObserver = std::function<void(const TExchangeEvent&)>;
// One observer per port; an empty one removes it. Thread-safe.
void SetExchangeObserver(const TCustomComPort* port, TExchangeObserver observer);

class TTransaction {
 public:
  // Create(Port): the port is not owned; Protocol is dpLargis1.
  explicit TTransaction(TCustomComPort* port);
  // Create(Port, Protocol).
  TTransaction(TCustomComPort* port, TDeviceProtocol protocol);
  virtual ~TTransaction() = default;
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  // The only entry point of operations. Returns false at once (nothing sent,
  // record untouched) when there is no port or it is closed. Otherwise purges
  // the port, processes pending window messages once, makes `device` the
  // current Device (none: sets Broadcast) and runs Exchange(); Device is reset
  // to none afterwards, also when Exchange throws. `device` may be none only
  // for the broadcast-capable protocol switches; any other request returns
  // false without sending when it is given none.
  bool Execute(TDevice* device);

  TDeviceProtocol Protocol() const { return FProtocol; }
  void SetProtocol(TDeviceProtocol value) {
    if (value != FProtocol) FProtocol = value;
  }

  // Runs the decoding step of this request on raw answer bytes, exactly as
  // Exchange does after its read, with `device` as Device. No port is needed.
  // For tests and fuzzing: `answer` may hold any bytes and `length` may be
  // anything from 0 to kAnswerBufferSize. False without a device, unless the
  // request is a broadcast that needs none.
  bool DecodeAnswer(TDevice* device, const std::uint8_t* answer, int length);

  // The request goes to all devices. Set by Execute(nullptr) and by callers;
  // never cleared once set.
  bool Broadcast = false;
  TCustomComPort* Port = nullptr;  // not owned
  TDevice* Device = nullptr;       // only during Execute; not owned

  // Framing and checks shared by all requests (public for tests and fuzzers).
  // BuildFrame copies `count` bytes (address first) to `dest` and appends
  // their Crc16, low byte first; returns the frame length count + 2.
  static int BuildFrame(std::uint8_t* dest, const std::uint8_t* bytes, int count);
  static bool CrcValid(const std::uint8_t* answer, int length);
  // The common answer check: length, CRC, command, total length, then the
  // protocol's error form. Writes the outcome text into Device->LastResult.
  bool CheckAnswer(const std::uint8_t* answer, int length, std::uint8_t command,
                   int expectedLength);

  // Line disciplines: by Protocol; native (address byte with mark parity, at
  // least 2 ms, the rest with space parity); Modbus (even parity). Nothing is
  // sent when the port is missing or closed.
  void SendFrame(const std::uint8_t* frame, int count);
  void SendNative(const std::uint8_t* frame, int count);
  void SendModbus(const std::uint8_t* frame, int count);

 protected:
  // The request itself: write the operation name, set the read time-out,
  // build, send, read, then Decode.
  virtual bool Exchange() = 0;
  // Examine an answer of `length` bytes (0..kAnswerBufferSize) and store its
  // values in Device. Never reads beyond `length` bytes (the buffer may be
  // exactly that long). Device is set unless NeedsDevice() is false.
  virtual bool Decode(const std::uint8_t* answer, int length) = 0;
  // Whether the exchange needs a device record; only the protocol switches
  // in broadcast mode do without one.
  virtual bool NeedsDevice() const { return true; }

  enum class TSendMode { ByProtocol, Native, Modbus };
  static constexpr int kKeepTimeout = -1;
  // Sets Timeouts.ReadTotalConstant (unless kKeepTimeout), builds the frame
  // from `bytes`, sends it, reads up to `readCount` bytes into a zero-filled
  // buffer and returns Decode() of what arrived.
  bool Transfer(const std::uint8_t* bytes, int count, int timeoutMs, int readCount, TSendMode mode);
  template <std::size_t N>
  bool Transfer(const std::array<std::uint8_t, N>& bytes, int timeoutMs, int readCount,
                TSendMode mode = TSendMode::ByProtocol) {
    return Transfer(bytes.data(), static_cast<int>(N), timeoutMs, readCount, mode);
  }

  // Reads the answer to a frame of `requestLength` bytes just sent: up to
  // `readCount` bytes under the port's read time-outs. Returns the count read.
  virtual int ReadAnswer(std::uint8_t* answer, int readCount, int requestLength);

  // Record helpers; they tolerate a missing device.
  void SetOperation(const char* name);
  void SetResult(const std::string& text);
  void SetResult(TResultType type) { SetResult(std::string(ResultText(type))); }
  void ClearTemperatures();
  // The protocol-error text by the native error form: 0xFA carries its code
  // in byte 3.
  void SetNativeErrorResult(const std::uint8_t* answer);

 private:
  TDeviceProtocol FProtocol = dpLargis1;
};

// Adds the identification read back from a device (the request classes fill
// it in). Exchange stays abstract.
class TCustomReadIdentificationTransaction : public TTransaction {
 public:
  using TTransaction::TTransaction;
  std::uint8_t SoftwareVersion() const { return FSoftwareVersion; }
  std::uint8_t HardwareVersion() const { return FHardwareVersion; }
  std::uint16_t PlantNumber() const { return FPlantNumber; }

 protected:
  std::uint8_t FSoftwareVersion = 0;
  std::uint8_t FHardwareVersion = 0;
  std::uint16_t FPlantNumber = 0;
};

// Repeats Execute until it succeeds: `attempts` tries, at most 5, at least 1.
// No pause between tries besides the read time-outs. False without a
// transaction.
bool RunWithRetry(TTransaction* transaction, TDevice* device, int attempts);

// The outcome of a request just executed on `device` (Execute returned
// `executed`): confirmed only when the exchange succeeded and delivered every
// value it asks for; a sensor-count mismatch succeeds without temperatures
// and so is not confirmed.
TRequestOutcome RequestOutcome(bool executed, const TDevice& device);

// Big-endian helpers for frames.
inline std::uint16_t ReadWordBE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint8_t HighByte(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}
inline std::uint8_t LowByte(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}
