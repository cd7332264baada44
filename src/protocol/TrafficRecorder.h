// The traffic monitor below the window: the bounded ring of frames, the
// per-device statistics of exchanges, and the recorder that fills both from
// the port's wire monitor and the transactions' exchange reports. Plain C++,
// no Qt; thread-safe where it says so.
//
//   TFrameRing ring;                 // default bound 100,000 frames
//   TLineStatistics statistics;
//   TTrafficRecorder recorder(&ring, &statistics);
//   recorder.Attach(port);           // while nobody uses the port
//   ... exchanges on any thread ...
//   auto fresh = ring.Since(lastSeen, 5000);   // a viewer drains in batches
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ComPort.h"
#include "FrameDecoder.h"
#include "Transaction.h"

using TFramePtr = std::shared_ptr<const TFrameRecord>;

// Frames in arrival order, at most Capacity(); the oldest go first. All
// members are thread-safe (one mutex; pushing holds it only to link a record).
class TFrameRing {
 public:
  static constexpr std::size_t kDefaultCapacity = 100000;
  explicit TFrameRing(std::size_t capacity = kDefaultCapacity);

  // Numbers the record (Seq) and keeps it; returns the number.
  std::uint64_t Push(TFrameRecord record);
  // Up to maxCount records numbered after `after`, oldest first.
  std::vector<TFramePtr> Since(std::uint64_t after, std::size_t maxCount) const;
  // The newest `count` records, oldest first.
  std::vector<TFramePtr> Last(std::size_t count) const;
  std::size_t Size() const;
  std::size_t Capacity() const;
  void SetCapacity(std::size_t capacity);  // at least 1; trims at once
  std::uint64_t LastSeq() const;           // 0 before the first frame
  std::uint64_t Trimmed() const;           // records dropped for the bound since the start
  void Clear();                            // numbering goes on

 private:
  mutable std::mutex FMutex;
  std::deque<TFramePtr> FFrames;
  std::size_t FCapacity;
  std::uint64_t FLastSeq = 0;
  std::uint64_t FTrimmed = 0;
};

// The outcome of one exchange with one device.
struct TExchangeOutcome {
  int Address = 0;
  std::string Name;  // the device's name (UTF-8)
  std::uint16_t PlantNumber = 0;
  bool Ok = false;  // confirmed: succeeded and delivered every value
  std::string Operation;
  std::string Result;
  int ResponseUs = -1;  // -1: no answer came
  std::int64_t TimeUs = 0;
};

struct TDeviceStatistics {
  int Address = 0;
  std::string Name;
  std::uint16_t PlantNumber = 0;
  std::uint64_t Requests = 0;
  std::uint64_t Successes = 0;
  std::map<std::string, std::uint64_t> Failures;  // by result text
  std::uint64_t Responses = 0;                    // exchanges with an answer
  double TotalResponseMs = 0;
  double WorstResponseMs = 0;
  std::int64_t LastSuccessUs = 0;  // wall clock; 0 never
  double MeanResponseMs() const { return Responses ? TotalResponseMs / Responses : 0; }
  std::uint64_t FailureCount() const { return Requests - Successes; }
};

// Per-device counts of the session, by system address. Thread-safe.
class TLineStatistics {
 public:
  // An exchange counts as a success when its outcome is confirmed (Ok);
  // anything else is a failure of the kind its result text names (a Modbus
  // data read that reports a sensor-count mismatch is one).
  void Record(const TExchangeOutcome& outcome);
  std::vector<TDeviceStatistics> Snapshot() const;  // by address
  void Reset();
  // Changes with every Record and Reset: a viewer refreshes when it moved.
  std::uint64_t Generation() const;
  // Called after each recorded exchange, outside the lock (the history store
  // hooks in here). Set while nothing is recorded.
  void SetListener(std::function<void(const TExchangeOutcome&)> listener);

 private:
  mutable std::mutex FMutex;
  std::map<int, TDeviceStatistics> FDevices;
  std::uint64_t FGeneration = 0;
  std::function<void(const TExchangeOutcome&)> FListener;
};

// The statistics as a plain-text table (command line, support bundle).
std::string StatisticsText(const std::vector<TDeviceStatistics>& statistics);
// A text as a JSON string, quotes included.
std::string JsonQuoted(const std::string& text);
// The statistics as JSON (an array of objects).
std::string StatisticsJson(const std::vector<TDeviceStatistics>& statistics);

// Turns the port's transfers into frames: a native request's address byte
// and rest become one frame (with both parities and the pause between), each
// read one received frame. Frames of an exchange are held until its outcome is
// known, then pushed together with the operation, the result text and the
// response time; traffic outside exchanges (firmware transfer) goes at once.
class TTrafficRecorder {
 public:
  TTrafficRecorder(TFrameRing* ring, TLineStatistics* statistics);
  ~TTrafficRecorder();
  TTrafficRecorder(const TTrafficRecorder&) = delete;
  TTrafficRecorder& operator=(const TTrafficRecorder&) = delete;

  // Hooks the recorder to the port (its wire monitor and exchange
  // observer); call while nobody transfers. One port at a time.
  void Attach(TCustomComPort& port);
  void Detach();

  // Also called for every frame as it is pushed (the command line's trace),
  // on the thread of the exchange. Set before Attach.
  void SetSink(std::function<void(const TFrameRecord&)> sink) { FSink = std::move(sink); }

  // What the hooks call (public for tests and benchmarks).
  void OnChunk(const TWireChunk& chunk);
  void OnExchange(const TExchangeEvent& event);
  // Pushes whatever is held (an address byte still waiting for its rest).
  void Flush();

 private:
  std::int64_t WallUs(std::chrono::steady_clock::time_point t) const;
  void CloseRequest();                            // under FMutex
  void Emit(TFrameRecord&& record);               // under FMutex
  void PushHeld(std::vector<TFrameRecord>& out);  // under FMutex

  TFrameRing* FRing;
  TLineStatistics* FStatistics;
  std::function<void(const TFrameRecord&)> FSink;
  TCustomComPort* FPort = nullptr;
  std::int64_t FWallOffsetUs;  // wall clock minus steady clock

  std::mutex FMutex;  // the recorder is fed by whichever thread uses the port
  // The request being assembled (a native address byte waits for its rest).
  bool FRequestOpen = false;
  TFrameRecord FRequest;
  std::chrono::steady_clock::time_point FFirstEnd;  // the address byte left
  std::chrono::steady_clock::time_point FLastSent;  // the request's last byte left
  std::vector<std::uint8_t> FLastRequestHead;
  TFrameProtocol FLastProtocol = TFrameProtocol::Unknown;
  // The exchange in progress.
  bool FInExchange = false;
  int FAddress = -1;
  std::vector<TFrameRecord> FHeld;
  int FResponseUs = -1;
};
