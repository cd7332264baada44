// The polling thread: reads every listed device in turn, again and again, at
// the polling period, and has the host refresh its data table after each
// complete cycle.
//
// Per device: natively a level read then a temperature read; in Modbus one
// data read. The protocol in use is asked at each device. 50 ms of quiet follow
// every device. A cycle begins once more than FPeriod ms have passed since the
// previous refresh ended (checked every 50 ms); the first begins at once.
//
// Threading: the device list, the protocol and the port are read without a
// lock (the host keeps them unchanged while polling runs). The period may be
// written from any thread while the thread runs; the change applies at the
// next comparison. A stop request is seen after each device and wakes every
// wait at once. Free-on-end and the end notification are the host's to set
// before the start (the window does so when it registers the thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "WorkerThread.h"

class TLevelTransaction;
class TTemperatureTransaction;
class TModbusDataTransaction;

// A wrapping 32-bit millisecond tick counter.
using TTickSource = std::function<std::uint32_t()>;

// Milliseconds of the monotonic clock, truncated to 32 bits (it wraps about
// every 49.7 days).
std::uint32_t TickCount();

// True when more than `period` ms have passed from `since` to `now`, both read
// from a wrapping 32-bit tick counter: the difference is taken modulo 2^32, so
// a wrap between the two readings does no harm.
constexpr bool PeriodElapsed(std::uint32_t now, std::uint32_t since, std::uint32_t period) {
  return static_cast<std::uint32_t>(now - since) > period;
}

// The smallest period the thread accepts, in ms.
constexpr std::uint32_t kRequestThreadMinPeriod = 100;
// Quiet after every device and the step of the idle wait, in ms.
constexpr int kRequestThreadStepMs = 50;

class TRequestThread : public TWorkerThread {
  Q_OBJECT
 public:
  explicit TRequestThread(IOperationHost* form, QObject* parent = nullptr);

  // Polling period in ms. Safe to call from any thread while the thread runs;
  // values below 100 are raised to 100.
  void SetPeriod(std::uint32_t value);
  std::uint32_t Period() const { return FPeriod.load(); }

  // The clock the cycle test reads; the process's monotonic tick counter by
  // default. Set it before start.
  void SetTickSource(TTickSource source) { FTickCount = std::move(source); }

  // Completed cycles (each ended with a refresh); any thread may read it.
  std::uint64_t Cycles() const { return FCycles.load(); }

 protected:
  void Execute() override;

 private:
  // Polls every device once; false when a stop was requested on the way.
  bool PollDevices(TLevelTransaction& level, TTemperatureTransaction& temperature,
                   TModbusDataTransaction& data);

  std::atomic<std::uint32_t> FPeriod{200};
  std::atomic<std::uint64_t> FCycles{0};
  TTickSource FTickCount;
};
