// The gateway's publisher: hands every polling cycle's readings, and the
// alarms the history recorder raises, to an MQTT broker, on a thread of its
// own; the polling thread only submits a snapshot and never waits.
//
// Every message is queued before it is sent: in the history database (a
// queue of its own there, over the publisher's own connection), so that a
// broker that is away for hours, or a restart of the gateway, loses nothing;
// the newest messages are also kept in memory, and without a database only
// there. Messages go out oldest first, at most a window of them
// unacknowledged; a message leaves the queue when the broker has
// acknowledged it (QoS 1 and 2; at QoS 0 when it was sent). Messages older
// than the bound (default 7 days) are dropped, counted and logged.
//
// The connection: a lost or refused one is tried again after 1, 2, 4 ... up
// to RetryMaxS seconds; each new problem is logged once. The retained status
// topic says "online" while connected and the broker's last will "offline"
// when the gateway goes away unannounced; the devices' meta messages are
// published (retained) at each connection. Plain C++, no Qt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Alarms.h"
#include "HistoryOutbox.h"
#include "LineSnapshot.h"
#include "MqttConnection.h"
#include "MqttMessages.h"
#include "MqttSettings.h"

struct TPublisherOptions {
  TMqttSettings Mqtt;  // completed (CompleteMqttSettings)
  std::string LineName;
  // The history database the queue is kept in; "": in memory only (lost at
  // a restart, bounded by MemoryOnlyItems).
  std::string DatabasePath;
  int BusyTimeoutMs = 5000;
  std::size_t MemoryItems = 20000;       // the newest messages also kept in memory
  std::size_t MemoryOnlyItems = 500000;  // the bound without a database
  int Window = 1000;                     // messages handed to the broker and not yet acknowledged
  // Told of every change worth a line in a log (English), on the publisher's
  // thread.
  std::function<void(const std::string&)> Log;
};

struct TPublisherStatus {
  bool Connected = false;
  std::string Problem;      // why there is no connection now; "" while connected
  bool Persistent = false;  // the queue is kept in the database
  std::int64_t Queued = 0;  // messages waiting or unacknowledged
  std::uint64_t Delivered = 0;
  std::uint64_t Dropped = 0;  // over the age or memory bound: lost
  std::uint64_t Connections = 0;
};

class TPublisher {
 public:
  explicit TPublisher(TPublisherOptions options);
  // Queues what was submitted, publishes "offline" when connected and ends
  // the connection cleanly. What is not delivered stays queued.
  ~TPublisher();
  TPublisher(const TPublisher&) = delete;
  TPublisher& operator=(const TPublisher&) = delete;

  // The devices, for their meta messages (published, retained, now when
  // connected and again at each connection).
  void SetMeta(std::vector<TDeviceMeta> devices, int protocol);
  // Hands over a polling cycle (single reads, cycle 0, are ignored). Any
  // thread; never waits for the disk or the broker.
  void Submit(std::shared_ptr<const TLineSnapshot> snapshot);
  // Alarms raised or ended (the history recorder's thread).
  void SubmitAlarms(const std::vector<TAlarmChange>& changes);

  TPublisherStatus Status() const;
  // Waits until everything submitted so far is queued (and, with a database,
  // stored there).
  void WaitQueued();
  // Waits until everything submitted so far has been delivered; false when
  // the time ran out first.
  bool Drain(std::chrono::milliseconds limit);

  std::string Topic(const std::string& below) const { return FOptions.Mqtt.Prefix + "/" + below; }

 private:
  struct TPending {
    std::shared_ptr<const TLineSnapshot> Snapshot;
    std::vector<TOutboxItem> Items;
  };
  struct TKept {
    TOutboxItem Item;
    bool Persisted = false;
    bool Delivered = false;
  };
  using TClock = std::chrono::steady_clock;

  void Run();
  void OpenQueue();
  void TakeSubmissions(std::deque<TPending>& pending);
  void Persist();
  void HandleEvent(const TMqttEvent& event);
  void ManageConnection(TClock::time_point now);
  void Connected();
  void PublishMeta();
  void ConnectionFailed(const std::string& problem);
  std::string Where() const;
  void SendQueued();
  bool NextItem(TOutboxItem& item, bool& resent);
  TKept* Kept(std::int64_t seq);
  void RemoveDelivered();
  void DropOld();
  void Evict();
  void Say(const std::string& line);
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  void UpdateStatus();

  const TPublisherOptions FOptions;

  // Shared with the submitting threads and the library's thread.
  mutable std::mutex FMutex;
  std::condition_variable FWake, FIdle;
  std::deque<TPending> FPending;
  std::deque<TMqttEvent> FEvents;
  std::vector<TDeviceMeta> FMeta;
  int FProtocol = 0;
  bool FMetaChanged = false;
  bool FStop = false;
  bool FBusy = false;
  bool FStarted = false;
  std::uint64_t FSubmitted = 0, FTaken = 0;
  std::uint64_t FPendingDropped = 0;  // submissions dropped before the thread took them
  TPublisherStatus FStatus;

  // The publisher's thread only.
  std::unique_ptr<THistoryStore> FStore;
  std::unique_ptr<THistoryOutbox> FOutbox;
  bool FStoreFailing = false;
  std::deque<TKept> FMemory;          // the newest messages, ascending Seq, contiguous
  std::deque<TOutboxItem> FBacklog;   // fetched from the database, below FMemory
  std::int64_t FNextSeq = 1;          // the next message's Seq
  std::int64_t FCursor = 1;           // the next Seq to hand over
  std::deque<std::int64_t> FResend;   // unacknowledged when a connection was lost
  std::map<int, std::int64_t> FMids;  // message id -> Seq
  std::set<std::int64_t> FInFlight;   // handed over, not acknowledged
  std::int64_t FRemovedUpTo = 0;      // removed from the queue up to this Seq
  std::int64_t FPersistedUpTo = 0;    // stored in the database (or delivered) up to this Seq
  std::int64_t FQueued = 0;
  std::uint64_t FDelivered = 0, FDropped = 0, FConnections = 0;
  std::unique_ptr<TMqttConnection> FConnection;
  std::uint64_t FConnectionId = 0;
  bool FIsConnected = false;
  TClock::time_point FAttemptAt{}, FAttemptStarted{}, FNextAgeCheck{};
  int FBackoffS = 1;
  std::string FProblem;  // the last problem logged
  std::thread FThread;
};
