#include "HistoryTrendSource.h"

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
  const std::uint64_t ticket = FTicket.fetch_add(1) + 1;
  // The session answers at once: taken when it holds the whole range.
  TTrendResult session;
  FSession->Query(query, [&](TTrendResult r) { session = std::move(r); });
  if (session.FirstMs != 0 && session.FirstMs <= query.FromMs) {
    session.Ticket = ticket;
    done(std::move(session));
    return ticket;
  }
  FHistory->Query(query, [ticket, done = std::move(done)](TTrendResult r) {
    r.Ticket = ticket;
    done(std::move(r));
  });
  return ticket;
}

std::uint64_t TCombinedTrendSource::Generation() const {
  return FSession->Generation() + FHistory->Generation();
}
