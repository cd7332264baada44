#include "HistoryRecorder.h"

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cmath>

#include "TrendSource.h"

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kRecentAlarmsMs = 7 * kDayMs;  // the list shows a week
constexpr int kRetentionBatch = 5000;

}  // namespace

bool NoRoomFor(const std::string& path) {
  // A failed write leaves SQLite's errno overwritten by what it did next:
  // look at the room itself.
  struct statvfs fs {};
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &fs) == 0 &&
      static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < (1u << 20))
    return true;
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    for (const std::string& file : {path, path + "-wal", path + "-journal"}) {
      struct stat st {};
      if (::stat(file.c_str(), &st) == 0 &&
          static_cast<rlim_t>(st.st_size) + (1u << 16) >= limit.rlim_cur)
        return true;
    }
  }
  return false;
}

std::string HistoryFailureText(const std::exception& e, const std::string& path) {
  if (const auto* s = dynamic_cast<const ESqlite*>(&e);
      s && s->Primary() == SQLITE_IOERR && !path.empty() && NoRoomFor(path))
    return "диск заполнен";
  return HistoryFailureText(e);
}

std::string HistoryFailureText(const std::exception& e) {
  if (dynamic_cast<const EHistoryRefused*>(&e)) return e.what();
  if (const auto* s = dynamic_cast<const ESqlite*>(&e)) {
    if (s->IsDiskFull()) return "диск заполнен";
    switch (s->Primary()) {
      case SQLITE_FULL:
        return "диск заполнен";
      case SQLITE_READONLY:
      case SQLITE_PERM:
      case SQLITE_CANTOPEN:
      case SQLITE_AUTH:
        return "нет доступа к файлу базы истории (" + std::string(e.what()) + ")";
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return "база истории занята другой программой";
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
        return "база истории повреждена";
      case SQLITE_IOERR:
        return "ошибка записи на диск (" + std::string(e.what()) + ")";
      default:
        break;
    }
  }
  return e.what();
}

THistoryRecorder::THistoryRecorder(THistoryOptions options, std::function<void()> changed)
    : FOptions(std::move(options)), FChanged(std::move(changed)), FIntervalMs(FOptions.IntervalMs) {
  FRetentionDue = FOptions.RetentionDays > 0;
  FStatus.Path = FOptions.Path;
  FStatus.Alarms = std::make_shared<const std::vector<TAlarm>>();
  FThread = std::thread([this] { Run(); });
}

THistoryRecorder::~THistoryRecorder() {
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void THistoryRecorder::Submit(std::shared_ptr<const TLineSnapshot> snapshot) {
  if (!snapshot || snapshot->Cycle == 0) return;
  {
    std::lock_guard lock(FMutex);
    if (FJobs.size() >= FOptions.QueueLimit) {
      // The disk cannot keep up: the oldest waiting cycle goes.
      for (auto it = FJobs.begin(); it != FJobs.end(); ++it) {
        if (!it->Snapshot) continue;
        FJobs.erase(it);
        ++FStatus.LostCycles;
        break;
      }
    }
    FJobs.push_back({std::move(snapshot), {}, {}, false, {}});
  }
  FWake.notify_one();
}

void THistoryRecorder::RecordExchange(std::uint16_t plant, std::uint8_t address, bool ok,
                                      int responseUs) {
  std::lock_guard lock(FStatsMutex);
  TLineStatsSample& s = FStats[plant];
  s.PlantNumber = plant;
  s.SystemAddress = address;
  ++s.Requests;
  if (ok) ++s.Successes;
  if (responseUs >= 0) {
    ++s.Responses;
    const double ms = responseUs / 1000.0;
    s.TotalResponseMs += ms;
    s.WorstResponseMs = std::max(s.WorstResponseMs, ms);
  }
}

void THistoryRecorder::Acknowledge(std::vector<std::int64_t> ids, std::string by) {
  {
    std::lock_guard lock(FMutex);
    FJobs.push_back({nullptr, std::move(ids), std::move(by), false, {}});
  }
  FWake.notify_one();
}

void THistoryRecorder::SetLimits(const TAlarmLimits& limits) {
  {
    std::lock_guard lock(FMutex);
    FLimits = limits;
    FJobs.push_back({nullptr, {}, {}, true, limits});
  }
  FWake.notify_one();
}

TAlarmLimits THistoryRecorder::Limits() const {
  std::lock_guard lock(FMutex);
  return FLimits;
}

void THistoryRecorder::SetIntervalMs(std::int64_t ms) {
  std::lock_guard lock(FMutex);
  FIntervalMs = std::max<std::int64_t>(0, ms);
}

THistoryStatus THistoryRecorder::Status() const {
  std::lock_guard lock(FMutex);
  return FStatus;
}

std::uint64_t THistoryRecorder::Generation() const {
  std::lock_guard lock(FMutex);
  return FGeneration;
}

void THistoryRecorder::Flush() {
  std::unique_lock lock(FMutex);
  FIdle.wait(lock, [this] { return FOpened && FJobs.empty() && !FBusy; });
}

void THistoryRecorder::Notify() {
  if (FChanged) FChanged();
}

void THistoryRecorder::Run() {
  OpenStore();
  {
    std::lock_guard lock(FMutex);
    FOpened = true;
  }
  FIdle.notify_all();
  Notify();
  std::unique_lock lock(FMutex);
  for (;;) {
    if (FJobs.empty()) {
      FIdle.notify_all();
      if (FStop) break;
      // Old readings go in small batches while nothing else waits.
      if (FRetentionDue && FStore) {
        FBusy = true;
        lock.unlock();
        int deleted = 0;
        try {
          const std::int64_t cutoff = UtcNowMs() - FOptions.RetentionDays * kDayMs;
          deleted = FStore->DeleteOlderThan(cutoff, kRetentionBatch);
        } catch (const std::exception&) {
          deleted = 0;  // tried again at the next start
        }
        lock.lock();
        FBusy = false;
        if (deleted > 0)
          ++FGeneration;
        else
          FRetentionDue = false;
        continue;
      }
      FWake.wait(lock, [this] { return FStop || !FJobs.empty() || (FRetentionDue && FStore); });
      continue;
    }
    TJob job = std::move(FJobs.front());
    FJobs.pop_front();
    FBusy = true;
    lock.unlock();
    Process(job);
    lock.lock();
    FBusy = false;
  }
}

bool THistoryRecorder::OpenStore() {
  if (FOptions.Path.empty()) {
    Failed(std::runtime_error("не выбран файл базы истории"), true);
    return false;
  }
  try {
    if (!EnsureParentFolder(FOptions.Path))
      throw ESqlite(SQLITE_CANTOPEN, "cannot create the folder of " + FOptions.Path);
    FStore = std::make_unique<THistoryStore>(FOptions.Path, false, FOptions.BusyTimeoutMs);
    FLimitsVersion = FStore->LimitsVersion();
    const TAlarmLimits limits = FStore->LoadLimits();
    FEngine.SetLimits(limits);
    FEngine.SetActive(FStore->Alarms({true, false, 0, std::nullopt, 100000}));
    {
      std::lock_guard lock(FMutex);
      FLimits = limits;
      FStatus.State = THistoryState::Recording;
      FStatus.Message.clear();
    }
    ReloadAlarms();
    return true;
  } catch (const EHistoryRefused& e) {
    FStore.reset();
    Failed(e, true);
  } catch (const ESqlite& e) {
    FStore.reset();
    Failed(e, e.IsDamaged());
  }
  return false;
}

void THistoryRecorder::Failed(const std::exception& e, bool refused) {
  FFailedAtMs = UtcNowMs();
  bool changed;
  {
    std::lock_guard lock(FMutex);
    const auto state = refused ? THistoryState::Refused : THistoryState::Failing;
    const std::string message = HistoryFailureText(e, FOptions.Path);
    changed = FStatus.State != state || FStatus.Message != message;
    FStatus.State = state;
    FStatus.Message = message;
  }
  if (changed) Notify();
}

bool THistoryRecorder::Available(std::int64_t nowMs) {
  THistoryState state;
  {
    std::lock_guard lock(FMutex);
    state = FStatus.State;
  }
  if (state == THistoryState::Refused) return false;
  if (state == THistoryState::Failing && nowMs - FFailedAtMs < FOptions.RetryMs &&
      nowMs >= FFailedAtMs)
    return false;
  if (!FStore) return OpenStore();
  return true;
}

void THistoryRecorder::Process(TJob& job) {
  if (job.Limits) {
    FEngine.SetLimits(job.NewLimits);
    if (FStore) {
      try {
        FStore->SaveLimits(job.NewLimits);
        FLimitsVersion = FStore->LimitsVersion();
      } catch (const std::exception& e) {
        Failed(e, false);
      }
    }
    Notify();
    return;
  }
  if (!job.AckIds.empty()) {
    if (!FStore) return;
    try {
      FStore->Acknowledge(job.AckIds, UtcNowMs(), job.AckBy);
      ReloadAlarms();
      Notify();
    } catch (const std::exception& e) {
      Failed(e, false);
    }
    return;
  }
  if (job.Snapshot) RecordCycle(*job.Snapshot);
}

void THistoryRecorder::PrimeRiseWindows(const TLineSnapshot& snapshot) {
  if (!FStore || !FEngine.Limits().AnyRise()) return;
  const std::int64_t window =
      static_cast<std::int64_t>(std::max(1, FEngine.Limits().RiseWindowHours)) * 3'600'000;
  for (const TDeviceReading& r : snapshot.Devices) {
    if (FEngine.Knows(r.PlantNumber) || !FEngine.Limits().For(r.PlantNumber).RisePerDay) continue;
    FEngine.MarkKnown(r.PlantNumber);
    try {
      for (const THistoryReading& h :
           FStore->Readings(r.PlantNumber, snapshot.TimeMs - window, snapshot.TimeMs - 1)) {
        for (std::size_t i = 0; i < h.Temperatures.size() && i < kMaxTrendSeries; ++i) {
          const double v = TemperatureValue(h.Temperatures[i]);
          if (!std::isnan(v)) FEngine.AddSample(r.PlantNumber, static_cast<int>(i) + 1, h.TimeMs, v);
        }
      }
    } catch (const std::exception&) {
      // Without the past the window fills from now on.
    }
  }
}

void THistoryRecorder::ReloadLimitsIfChanged() {
  if (!FStore) return;
  try {
    const std::int64_t version = FStore->LimitsVersion();
    if (version == FLimitsVersion) return;
    const TAlarmLimits limits = FStore->LoadLimits();
    FLimitsVersion = version;
    FEngine.SetLimits(limits);
    std::lock_guard lock(FMutex);
    FLimits = limits;
  } catch (const std::exception&) {
    // Read again at the next cycle.
  }
}

void THistoryRecorder::RecordCycle(const TLineSnapshot& snapshot) {
  ReloadLimitsIfChanged();
  PrimeRiseWindows(snapshot);
  std::vector<TAlarmChange> changes = FEngine.Evaluate(snapshot);
  if (!changes.empty() && FOptions.AlarmListener) FOptions.AlarmListener(changes);
  FPendingAlarms.insert(FPendingAlarms.end(), changes.begin(), changes.end());
  std::int64_t interval;
  {
    std::lock_guard lock(FMutex);
    interval = FIntervalMs;
  }
  const bool due = interval == 0 || snapshot.Cycle == 1 || FLastRecordedMs == 0 ||
                   snapshot.TimeMs - FLastRecordedMs >= interval ||
                   snapshot.TimeMs < FLastRecordedMs || !changes.empty();
  if (!due) {
    if (!changes.empty()) Notify();
    return;
  }
  if (!Available(UtcNowMs())) {
    std::lock_guard lock(FMutex);
    ++FStatus.LostCycles;
    return;
  }
  std::vector<TLineStatsSample> stats;
  {
    std::lock_guard lock(FStatsMutex);
    for (const auto& [plant, s] : FStats) stats.push_back(s);
    FStats.clear();
  }
  try {
    FStore->WriteCycle(snapshot, stats, FPendingAlarms);
  } catch (const ESqlite& e) {
    {
      std::lock_guard lock(FMutex);
      ++FStatus.LostCycles;
    }
    Failed(e, e.IsDamaged());
    if (e.IsDamaged()) FStore.reset();
    return;
  }
  const bool alarmsChanged = !FPendingAlarms.empty();
  FPendingAlarms.clear();
  FLastRecordedMs = snapshot.TimeMs;
  bool resumed;
  {
    std::lock_guard lock(FMutex);
    resumed = FStatus.State != THistoryState::Recording;
    FStatus.State = THistoryState::Recording;
    FStatus.Message.clear();
    ++FStatus.RecordedCycles;
    ++FGeneration;
  }
  if (alarmsChanged) {
    try {
      ReloadAlarms();
    } catch (const std::exception&) {
    }
  }
  Notify();
  (void)resumed;
}

void THistoryRecorder::ReloadAlarms() {
  if (!FStore) return;
  auto alarms = std::make_shared<std::vector<TAlarm>>(
      FStore->Alarms({false, false, UtcNowMs() - kRecentAlarmsMs, std::nullopt, 5000}));
  const int unacknowledged = FStore->UnacknowledgedCount();
  std::vector<std::pair<std::uint16_t, int>> cells;
  for (const TAlarm& a : FEngine.Active()) cells.emplace_back(a.PlantNumber, a.Sensor);
  std::lock_guard lock(FMutex);
  FStatus.Alarms = std::move(alarms);
  FStatus.Unacknowledged = unacknowledged;
  FStatus.AlarmedCells = std::move(cells);
}
