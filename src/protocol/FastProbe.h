// The fast probe of the line scan: the identification (address scan) and the
// address write by plant number (plant-number scan) sent and checked exactly
// as their ordinary requests, but read with time-outs computed from the wire
// instead of the fixed ones, and ended as soon as a whole frame is in.
//
// What the time-outs allow for, at the port's baud rate and 11 bits a byte
// (start, 8 data, parity, stop):
//  - the first byte must come within the request's and one byte's time on
//    the wire plus kFastAnswerDelayMs (the device's turn-around and the
//    adapter's latency) and kFastMarginMs (scheduling);
//  - the whole answer within the request's and the answer's time on the wire
//    plus the same allowances;
//  - kFastQuietMs of silence after a byte ends a broken answer early.
// A probe only tells whether anything came; the scan probes an address where
// anything came again with the ordinary time-outs and retries. Plain C++.
#pragma once

#include <cstdint>

#include "NativeRequests.h"

// The longest answer delay a device may take, adapter latency included, and
// still be found by the probe itself, ms.
constexpr int kFastAnswerDelayMs = 25;
// Room for the scheduling of both ends, ms.
constexpr int kFastMarginMs = 10;
// Silence that ends a read once bytes have come, and the quiet a line must
// keep before a probe is repeated, ms.
constexpr int kFastQuietMs = 20;

// Microseconds that `bytes` take on the wire at `baud` bits per second, 11
// bits a byte (a rate below 110 counts as 110).
long long WireMicros(int bytes, int baud);

// The read limits of a probe whose request has `requestBytes` bytes and whose
// answer has `answerBytes`, at `baud`.
TFrameReadLimits FastReadLimits(int requestBytes, int answerBytes, int baud);

// Whole frames, for ending a read early: a native frame whose length byte
// matches its size and whose CRC is right; a Modbus answer to `function` of
// `expectedLength` bytes, or its 5-byte exception answer, with a right CRC.
bool NativeFrameWhole(const std::uint8_t* bytes, int count);
bool ModbusAnswerWhole(const std::uint8_t* bytes, int count, std::uint8_t function,
                       int expectedLength);

// What came back to a probe.
enum class TProbeOutcome {
  Answered,  // a good answer: the request succeeded
  Garbled,   // something came, but no good answer (broken frame, garbage,
             // an error answer, two devices at once)
  Silent     // nothing came (or the port is closed)
};

// "Чтение идентификации устройства" as a probe. Natively it reads exactly the
// 10-byte answer; in Modbus the 63-byte answer rather than 255 bytes, ending
// at a whole frame. A Modbus answer from another address (a late device
// answering into the probe of the next) is no answer here: the ordinary
// request decides.
class TFastIdentificationTransaction : public TReadIdentificationTransaction {
 public:
  using TReadIdentificationTransaction::TReadIdentificationTransaction;
  TProbeOutcome Probe(TDevice* device);

 protected:
  int ReadAnswer(std::uint8_t* answer, int readCount, int requestLength) override;
  bool Decode(const std::uint8_t* answer, int length) override;

 private:
  int FArrived = 0;
};

// "Запись системного адреса" (native, to all devices) as a probe: reads
// exactly the 10-byte confirmation.
class TFastWriteAddressTransaction : public TWriteAddressTransaction {
 public:
  using TWriteAddressTransaction::TWriteAddressTransaction;
  TProbeOutcome Probe(TDevice* device);

 protected:
  int ReadAnswer(std::uint8_t* answer, int readCount, int requestLength) override;

 private:
  int FArrived = 0;
};

// Listens to the line: waits up to `waitMs` for a byte; once bytes come, reads
// and drops them until the line has been quiet for `quietMs` (at most about a
// second, so a babbling device cannot hold the caller). Returns the number of
// bytes heard, or -1 when the port is not open (nothing was waited for).
int ListenUntilQuiet(TCustomComPort& port, int waitMs, int quietMs);
