#include "HistoryTrendSource.h"

#include <algorithm>

#include "HistoryStore.h"
#include "HistoryRecorder.h"

THistoryTrendSource::THistoryTrendSource(std::string path,
                                         std::function<std::uint64_t()> generation)
    : FPath(std::move(path)), FGeneration(std::move(generation)) {
  FThread = std::thread([this] { Run(); });
}

THistoryTrendSource::~THistoryTrendSource() {
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

std::uint64_t THistoryTrendSource::Query(const TTrendQuery& query,
                                         std::function<void(TTrendResult)> done) {
  std::uint64_t ticket;
  {
    std::lock_guard lock(FMutex);
    ticket = ++FTicket;
    FJobs.push_back({ticket, query, std::move(done)});
  }
  FWake.notify_one();
  return ticket;
}

std::uint64_t THistoryTrendSource::Generation() const {
  return FGeneration ? FGeneration() : 0;
}

void THistoryTrendSource::Run() {
  std::unique_ptr<THistoryStore> store;
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || !FJobs.empty(); });
    if (FJobs.empty() && FStop) return;
    // Only the newest question runs; the others are answered at once.
    std::deque<TJob> jobs;
    jobs.swap(FJobs);
    lock.unlock();
    for (std::size_t i = 0; i + 1 < jobs.size(); ++i) {
      TTrendResult skipped;
      skipped.Ticket = jobs[i].Ticket;
      skipped.Superseded = true;
      jobs[i].Done(std::move(skipped));
    }
    TJob& job = jobs.back();
    TTrendResult result;
    try {
      if (!store) store = std::make_unique<THistoryStore>(FPath, true);
      result = store->Trend(job.Query);
    } catch (const std::exception& e) {
      store.reset();  // opened afresh for the next question
      result = {};
      result.Error = HistoryFailureText(e);
    }
    result.Ticket = job.Ticket;
    job.Done(std::move(result));
    lock.lock();
  }
}

std::uint64_t TCombinedTrendSource::Query(const TTrendQuery& query,
                                          std::function<void(TTrendResult)> done) {
  // The session answers at once; when it holds the whole range that is all.
  TTrendResult session;
  FSession->Query(query, [&](TTrendResult r) { session = std::move(r); });
  session.Ticket = FTicket.fetch_add(1) + 1;
  if (session.FirstMs != 0 && session.FirstMs <= query.FromMs) {
    const std::uint64_t ticket = session.Ticket;
    done(std::move(session));
    return ticket;
  }
  // Otherwise the session's part is shown now and the database's answer,
  // with the session's readings from their first on, follows (a later
  // ticket, so a newer question still overtakes it).
  const std::uint64_t later = FTicket.fetch_add(1) + 1;
  const TTrendResult now = session;
  done(std::move(session));
  FHistory->Query(query, [later, now, done = std::move(done)](TTrendResult r) {
    r.Ticket = later;
    if (!r.Superseded && r.Error.empty() && now.FirstMs != 0) {
      for (std::size_t i = 0; i < r.Series.size() && i < now.Series.size(); ++i) {
        auto& points = r.Series[i].Points;
        points.erase(std::remove_if(points.begin(), points.end(),
                                    [&](const TTrendPoint& p) { return p.TimeMs >= now.FirstMs; }),
                     points.end());
        points.insert(points.end(), now.Series[i].Points.begin(), now.Series[i].Points.end());
      }
      r.LastMs = std::max(r.LastMs, now.LastMs);
    }
    done(std::move(r));
  });
  return later;
}

std::uint64_t TCombinedTrendSource::Generation() const {
  return FSession->Generation() + FHistory->Generation();
}
