// The history database as a source of trends: queries run on a thread of
// their own with a read-only connection of their own (WAL: they never wait
// for the recorder), newest question first; a question overtaken by a later
// one before it ran is answered as superseded without running.
// Plain C++, no Qt.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TrendSource.h"

class THistoryStore;

class THistoryTrendSource : public ITrendSource {
 public:
  // `generation` tells when the recorder wrote (may be null).
  THistoryTrendSource(std::string path, std::function<std::uint64_t()> generation = nullptr);
  ~THistoryTrendSource() override;

  std::uint64_t Query(const TTrendQuery& query, std::function<void(TTrendResult)> done) override;
  std::uint64_t Generation() const override;

 private:
  struct TJob {
    std::uint64_t Ticket;
    TTrendQuery Query;
    std::function<void(TTrendResult)> Done;
  };
  void Run();

  const std::string FPath;
  std::function<std::uint64_t()> FGeneration;
  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TJob> FJobs;
  std::uint64_t FTicket = 0;
  bool FStop = false;
  std::thread FThread;
};

// The session's readings where they cover the range asked for (every cycle,
// at hand), the database for anything older.
class TCombinedTrendSource : public ITrendSource {
 public:
  TCombinedTrendSource(std::shared_ptr<ITrendSource> session, std::shared_ptr<ITrendSource> history)
      : FSession(std::move(session)), FHistory(std::move(history)) {}
  std::uint64_t Query(const TTrendQuery& query, std::function<void(TTrendResult)> done) override;
  std::uint64_t Generation() const override;

 private:
  std::shared_ptr<ITrendSource> FSession, FHistory;
  std::atomic<std::uint64_t> FTicket{0};
};
