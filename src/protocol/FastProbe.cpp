#include "FastProbe.h"

#include <array>

namespace {

// Answer sizes of the probed requests.
constexpr int kNativeIdentificationAnswer = 10;  // address, 0x20, 6, type, plant (2), hw, sw, CRC
constexpr int kModbusIdentificationAnswer = 63;  // the basic 43/14 answer
constexpr int kWriteAddressAnswer = 10;          // address, 0x25, 6, type, plant (2), hw, sw, CRC
constexpr std::uint8_t kModbusReadIdentification = 0x2B;
// A babbling line is listened to for at most this long, ms.
constexpr int kListenCapMs = 1000;

int CeilMillis(long long micros) {
  return static_cast<int>((micros + 999) / 1000);
}

// Reads an answer of `answerBytes` with the probe's limits; `whole` ends it early.
int ReadProbeAnswer(TCustomComPort& port, std::uint8_t* answer, int answerBytes, int requestBytes,
                    std::function<bool(const std::uint8_t*, int)> whole) {
  TFrameReadLimits limits = FastReadLimits(requestBytes, answerBytes, port.BaudRateBits());
  limits.Complete = std::move(whole);
  return port.ReceiveFrame(answer, answerBytes, limits);
}

TProbeOutcome OutcomeOf(bool ok, int arrived) {
  if (ok) return TProbeOutcome::Answered;
  return arrived > 0 ? TProbeOutcome::Garbled : TProbeOutcome::Silent;
}

}  // namespace

long long WireMicros(int bytes, int baud) {
  const long long rate = baud < 110 ? 110 : baud;
  return (static_cast<long long>(bytes) * 11 * 1000000 + rate - 1) / rate;
}

TFrameReadLimits FastReadLimits(int requestBytes, int answerBytes, int baud) {
  TFrameReadLimits limits;
  const int allowance = kFastAnswerDelayMs + kFastMarginMs;
  limits.FirstByteMs = CeilMillis(WireMicros(requestBytes + 1, baud)) + allowance;
  limits.TotalMs = CeilMillis(WireMicros(requestBytes + answerBytes, baud)) + allowance;
  limits.IntervalMs = kFastQuietMs;
  return limits;
}

bool NativeFrameWhole(const std::uint8_t* bytes, int count) {
  return count >= 5 && count == bytes[2] + 4 && TTransaction::CrcValid(bytes, count);
}

bool ModbusAnswerWhole(const std::uint8_t* bytes, int count, std::uint8_t function,
                       int expectedLength) {
  if (count < 5 || !TTransaction::CrcValid(bytes, count)) return false;
  if (count == expectedLength && bytes[1] == function) return true;
  return count == 5 && bytes[1] == (function | 0x80);
}

// --- Identification --------------------------------------------------------------------

TProbeOutcome TFastIdentificationTransaction::Probe(TDevice* device) {
  FArrived = 0;
  const bool ok = Execute(device);
  return OutcomeOf(ok, FArrived);
}

int TFastIdentificationTransaction::ReadAnswer(std::uint8_t* answer, int /*readCount*/,
                                               int requestLength) {
  if (Protocol() == dpModbus) {
    FArrived = ReadProbeAnswer(*Port, answer, kModbusIdentificationAnswer, requestLength,
                               [](const std::uint8_t* b, int n) {
                                 return ModbusAnswerWhole(b, n, kModbusReadIdentification,
                                                          kModbusIdentificationAnswer);
                               });
  } else {
    FArrived = ReadProbeAnswer(*Port, answer, kNativeIdentificationAnswer, requestLength,
                               NativeFrameWhole);
  }
  return FArrived;
}

bool TFastIdentificationTransaction::Decode(const std::uint8_t* answer, int length) {
  const std::uint8_t asked = Device->SystemAddress();
  if (!TReadIdentificationTransaction::Decode(answer, length)) return false;
  if (Protocol() == dpModbus && answer[0] != asked) {
    SetResult(rtUnknownError);
    return false;
  }
  return true;
}

// --- Address write ----------------------------------------------------------------------

TProbeOutcome TFastWriteAddressTransaction::Probe(TDevice* device) {
  FArrived = 0;
  const bool ok = Execute(device);
  return OutcomeOf(ok, FArrived);
}

int TFastWriteAddressTransaction::ReadAnswer(std::uint8_t* answer, int /*readCount*/,
                                             int requestLength) {
  FArrived = ReadProbeAnswer(*Port, answer, kWriteAddressAnswer, requestLength, NativeFrameWhole);
  return FArrived;
}

// --- Listening --------------------------------------------------------------------------

int ListenUntilQuiet(TCustomComPort& port, int waitMs, int quietMs) {
  if (!port.Connected()) return -1;
  std::array<std::uint8_t, kAnswerBufferSize> dropped{};
  TFrameReadLimits limits;
  limits.FirstByteMs = waitMs;
  limits.IntervalMs = quietMs;
  limits.TotalMs = waitMs + kListenCapMs;
  return port.ReceiveFrame(dropped.data(), static_cast<int>(dropped.size()), limits);
}
