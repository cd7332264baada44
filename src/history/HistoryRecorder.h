// Records the polling cycles into the history database on a thread of its
// own, with its own connection: the caller (the window's synchronised
// refresh, lim07ctl's cycle hook) only hands over the cycle's snapshot.
//
// Each submitted cycle is checked against the alarm limits; a cycle is
// written when the recording interval has passed since the last written one
// (0: every cycle), when it is the first of a polling run, or when it raised
// or ended an alarm: one transaction a cycle. The first time a database is
// opened, readings older than the retention are deleted in small batches
// between cycles.
//
// Faults: a write that fails (a full disk, a file that cannot be written, a
// database locked beyond the busy time-out) stops recording with a message in
// Status(); the cycles meanwhile are not written (counted as lost) and
// recording is tried again after RetryMs, resuming by itself. A file that is
// not a history database, or a damaged one, is refused: nothing is written
// to it, ever. Plain C++, no Qt.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Alarms.h"
#include "HistoryStore.h"
#include "LineSnapshot.h"

struct THistoryOptions {
  std::string Path;
  std::int64_t IntervalMs = 60'000;  // 0: every cycle
  int RetentionDays = 730;           // 0: keep everything
  int BusyTimeoutMs = 5000;
  std::int64_t RetryMs = 30'000;  // after a failed write
  std::size_t QueueLimit = 64;    // cycles waiting to be written
  // Told on the recorder's thread of the alarms each cycle raised or ended
  // (a publisher passes them on); it must not wait for long.
  std::function<void(const std::vector<TAlarmChange>&)> AlarmListener;
};

enum class THistoryState {
  Opening,    // the database is being opened
  Recording,  // writing
  Failing,    // a write or the opening failed: tried again later
  Refused,    // not a history database, or damaged: never written
};

struct THistoryStatus {
  THistoryState State = THistoryState::Opening;
  std::string Path;
  std::string Message;  // why recording stopped or was refused (Russian); "" when recording
  std::uint64_t RecordedCycles = 0;
  std::uint64_t LostCycles = 0;  // cycles due to be written that were not
  int Unacknowledged = 0;
  // Every unacknowledged or active alarm and those of the last days,
  // newest first.
  std::shared_ptr<const std::vector<TAlarm>> Alarms;
  // The active alarms as (plant, sensor) cells.
  std::vector<std::pair<std::uint16_t, int>> AlarmedCells;
};

class THistoryRecorder {
 public:
  explicit THistoryRecorder(THistoryOptions options,
                            std::function<void()> changed = nullptr);
  // Writes what is queued, then ends the thread.
  ~THistoryRecorder();
  THistoryRecorder(const THistoryRecorder&) = delete;
  THistoryRecorder& operator=(const THistoryRecorder&) = delete;

  // Hands over a cycle (snapshots of single reads, cycle 0, are ignored).
  // Cheap: never waits for the disk. Any thread.
  void Submit(std::shared_ptr<const TLineSnapshot> snapshot);
  // One exchange with a device, for the line statistics (any thread).
  void RecordExchange(std::uint16_t plant, std::uint8_t address, bool ok, int responseUs);
  void Acknowledge(std::vector<std::int64_t> ids, std::string by);
  void SetLimits(const TAlarmLimits& limits);
  TAlarmLimits Limits() const;
  void SetIntervalMs(std::int64_t ms);

  THistoryStatus Status() const;
  const std::string& Path() const { return FOptions.Path; }
  // Changes whenever readings were written or deleted.
  std::uint64_t Generation() const;
  // Waits until the database was opened (or refused) and everything
  // submitted so far is done.
  void Flush();

 private:
  struct TJob {
    std::shared_ptr<const TLineSnapshot> Snapshot;
    std::vector<std::int64_t> AckIds;
    std::string AckBy;
    bool Limits = false;
    TAlarmLimits NewLimits;
  };
  void Run();
  bool OpenStore();
  void Process(TJob& job);
  void RecordCycle(const TLineSnapshot& snapshot);
  void PrimeRiseWindows(const TLineSnapshot& snapshot);
  void Failed(const std::exception& e, bool refused);
  void ReloadAlarms();
  void ReloadLimitsIfChanged();
  void Notify();
  bool Available(std::int64_t nowMs);

  const THistoryOptions FOptions;
  std::function<void()> FChanged;

  mutable std::mutex FMutex;
  std::condition_variable FWake, FIdle;
  std::deque<TJob> FJobs;
  bool FStop = false;
  bool FBusy = false;
  bool FOpened = false;
  THistoryStatus FStatus;
  TAlarmLimits FLimits;
  std::int64_t FIntervalMs;
  std::uint64_t FGeneration = 0;

  std::mutex FStatsMutex;
  std::map<std::uint16_t, TLineStatsSample> FStats;

  // The recorder's thread only.
  std::unique_ptr<THistoryStore> FStore;
  TAlarmEngine FEngine;
  std::vector<TAlarmChange> FPendingAlarms;  // not yet written
  std::int64_t FLastRecordedMs = 0;
  std::int64_t FLimitsVersion = 0;
  std::int64_t FFailedAtMs = 0;
  bool FRetentionDue = true;
  std::thread FThread;
};

// The text of a failure for the user: what went wrong, in Russian.
std::string HistoryFailureText(const std::exception& e);
// The same for a failure with the database at `path`: a write that failed
// for want of room says so.
std::string HistoryFailureText(const std::exception& e, const std::string& path);
