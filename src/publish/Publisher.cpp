#include "Publisher.h"

#include <algorithm>

#include "HistoryRecorder.h"

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::size_t kPendingLimit = 4096;  // submissions the thread has not taken yet
constexpr int kFetchBatch = 500;
constexpr auto kAgeCheckEvery = std::chrono::seconds(60);
constexpr auto kOfflineWait = std::chrono::seconds(2);

}  // namespace

TPublisher::TPublisher(TPublisherOptions options) : FOptions(std::move(options)) {
  FStatus.Problem = "connecting";
  FThread = std::thread([this] { Run(); });
}

TPublisher::~TPublisher() {
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TPublisher::SetMeta(std::vector<TDeviceMeta> devices, int protocol) {
  {
    std::lock_guard lock(FMutex);
    FMeta = std::move(devices);
    FProtocol = protocol;
    FMetaChanged = true;
  }
  FWake.notify_one();
}

void TPublisher::Submit(std::shared_ptr<const TLineSnapshot> snapshot) {
  if (!snapshot || snapshot->Cycle == 0) return;
  {
    std::lock_guard lock(FMutex);
    if (FPending.size() >= kPendingLimit) {
      // The thread cannot keep up (a disk that hangs): the oldest cycle goes.
      const TPending& old = FPending.front();
      FPendingDropped += old.Snapshot ? old.Snapshot->Devices.size() : old.Items.size();
      FPending.pop_front();
      ++FTaken;
    }
    FPending.push_back({std::move(snapshot), {}});
    ++FSubmitted;
  }
  FWake.notify_one();
}

void TPublisher::SubmitAlarms(const std::vector<TAlarmChange>& changes) {
  if (changes.empty()) return;
  std::vector<TOutboxItem> items;
  for (const TAlarmChange& c : changes) items.push_back(AlarmMessage(c));
  {
    std::lock_guard lock(FMutex);
    FPending.push_back({nullptr, std::move(items)});
    ++FSubmitted;
  }
  FWake.notify_one();
}

TPublisherStatus TPublisher::Status() const {
  std::lock_guard lock(FMutex);
  return FStatus;
}

void TPublisher::WaitQueued() {
  std::unique_lock lock(FMutex);
  const std::uint64_t target = FSubmitted;
  FIdle.wait(lock, [&] { return FStarted && FTaken >= target && !FBusy; });
}

bool TPublisher::Drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(FMutex);
  const std::uint64_t target = FSubmitted;
  return FIdle.wait_for(
      lock, limit, [&] { return FStarted && FTaken >= target && !FBusy && FStatus.Queued == 0; });
}

void TPublisher::Say(const std::string& line) {
  if (FOptions.Log) FOptions.Log("mqtt: " + line);
}

void TPublisher::Run() {
  OpenQueue();
  FNextAgeCheck = TClock::now();
  for (;;) {
    std::deque<TPending> pending;
    std::deque<TMqttEvent> events;
    bool stop;
    {
      std::lock_guard lock(FMutex);
      pending.swap(FPending);
      events.swap(FEvents);
      stop = FStop;
      FBusy = true;
    }
    TakeSubmissions(pending);
    Persist();
    for (const TMqttEvent& e : events) HandleEvent(e);
    const auto now = TClock::now();
    if (!stop) ManageConnection(now);
    bool metaChanged;
    {
      std::lock_guard lock(FMutex);
      metaChanged = FMetaChanged;
    }
    if (FIsConnected && metaChanged) PublishMeta();
    if (FIsConnected) SendQueued();
    RemoveDelivered();
    if (now >= FNextAgeCheck) {
      DropOld();
      FNextAgeCheck = now + kAgeCheckEvery;
    }
    Evict();
    std::unique_lock lock(FMutex);
    FTaken += pending.size();
    FStarted = true;
    UpdateStatus();
    if (stop) break;
    FBusy = false;
    FIdle.notify_all();
    auto deadline = now + std::chrono::seconds(1);
    if (!FConnection) deadline = std::min(deadline, FAttemptAt);
    FWake.wait_until(lock, deadline, [this] {
      return FStop || !FPending.empty() || !FEvents.empty() || (FMetaChanged && FIsConnected);
    });
  }
  // Going away: "offline" while the connection is there, then a clean
  // disconnect (the broker does not send the will for it).
  if (FIsConnected) {
    int mid = 0;
    if (FConnection->Publish(Topic("status"), "offline", FOptions.Mqtt.Qos, true, mid)) {
      const auto until = TClock::now() + kOfflineWait;
      std::unique_lock lock(FMutex);
      bool delivered = FOptions.Mqtt.Qos == 0;
      while (!delivered && TClock::now() < until) {
        for (const TMqttEvent& e : FEvents)
          if (e.Type == TMqttEvent::Delivered && e.Mid == mid) delivered = true;
        FEvents.clear();
        if (!delivered) FWake.wait_until(lock, until, [this] { return !FEvents.empty(); });
      }
    }
  }
  FConnection.reset();
  {
    std::lock_guard lock(FMutex);
    FIsConnected = false;
    UpdateStatus();
    FBusy = false;
  }
  FIdle.notify_all();
}

void TPublisher::UpdateStatus() {
  FStatus.Connected = FIsConnected;
  FStatus.Problem = FIsConnected ? "" : (FProblem.empty() ? "connecting" : FProblem);
  FStatus.Persistent = FOutbox && !FStoreFailing;
  FStatus.Queued = FQueued;
  FStatus.Delivered = FDelivered;
  FStatus.Dropped = FDropped + FPendingDropped;
  FStatus.Connections = FConnections;
}

void TPublisher::OpenQueue() {
  const std::string& path = FOptions.DatabasePath;
  if (path.empty()) return;
  try {
    if (!EnsureParentFolder(path)) throw std::runtime_error("cannot create the folder of " + path);
    FStore = std::make_unique<THistoryStore>(path, false, FOptions.BusyTimeoutMs);
    FOutbox = std::make_unique<THistoryOutbox>(*FStore, "mqtt:" + FOptions.Mqtt.Prefix);
    FQueued = FOutbox->Count();
    FNextSeq = FOutbox->MaxSeq() + 1;
    FCursor = FQueued > 0 ? FOutbox->MinSeq() : FNextSeq;
    FRemovedUpTo = FCursor - 1;
    FPersistedUpTo = FNextSeq - 1;
    if (FQueued > 0)
      Say(std::to_string(FQueued) + " message(s) queued in " + path +
          " from before: they go first, oldest first");
  } catch (const std::exception& e) {
    FOutbox.reset();
    FStore.reset();
    FQueued = 0;
    Say("the queue cannot be kept in " + path + " (" + HistoryFailureText(e, path) +
        "): messages are queued in memory only");
  }
}

void TPublisher::TakeSubmissions(std::deque<TPending>& pending) {
  for (TPending& p : pending) {
    std::vector<TOutboxItem> items = p.Snapshot ? OutboxReadings(*p.Snapshot) : std::move(p.Items);
    for (TOutboxItem& item : items) {
      item.Seq = FNextSeq++;
      FMemory.push_back({std::move(item), false, false});
      ++FQueued;
    }
  }
}

void TPublisher::Persist() {
  if (!FOutbox || FMemory.empty()) return;
  const std::int64_t front = FMemory.front().Item.Seq;
  std::vector<TOutboxItem> batch;
  std::vector<TKept*> kept;
  for (std::int64_t seq = std::max(FPersistedUpTo + 1, front); seq < FNextSeq; ++seq) {
    TKept& k = FMemory[static_cast<std::size_t>(seq - front)];
    if (k.Persisted || k.Delivered) continue;
    batch.push_back(k.Item);
    kept.push_back(&k);
  }
  if (batch.empty()) {
    FPersistedUpTo = FNextSeq - 1;
    return;
  }
  try {
    FOutbox->Append(batch);
  } catch (const std::exception& e) {
    if (!FStoreFailing)
      Say("the queue cannot be stored in " + FOptions.DatabasePath + " (" +
          HistoryFailureText(e, FOptions.DatabasePath) +
          "): messages are kept in memory (at most " + std::to_string(FOptions.MemoryItems) +
          ") and stored when it can");
    FStoreFailing = true;
    return;
  }
  for (TKept* k : kept) k->Persisted = true;
  FPersistedUpTo = FNextSeq - 1;
  if (FStoreFailing) Say("the queue is stored in " + FOptions.DatabasePath + " again");
  FStoreFailing = false;
}

void TPublisher::HandleEvent(const TMqttEvent& e) {
  if (!FConnection || e.Connection != FConnectionId) return;  // an ended connection's
  switch (e.Type) {
    case TMqttEvent::Connected:
      Connected();
      break;
    case TMqttEvent::Refused:
      ConnectionFailed("the broker refused the connection: " + RefusalText(e.Code));
      break;
    case TMqttEvent::Lost:
      ConnectionFailed(e.Text.empty() ? LostText(e.Code) : e.Text);
      break;
    case TMqttEvent::Delivered: {
      const auto it = FMids.find(e.Mid);
      if (it == FMids.end()) break;  // status or meta
      const std::int64_t seq = it->second;
      FMids.erase(it);
      if (FInFlight.erase(seq)) {
        ++FDelivered;
        --FQueued;
        if (TKept* k = Kept(seq)) k->Delivered = true;
      }
      break;
    }
  }
}

std::string TPublisher::Where() const {
  return FOptions.Mqtt.Host + ":" + std::to_string(FOptions.Mqtt.Port);
}

void TPublisher::ManageConnection(TClock::time_point now) {
  if (FConnection && !FIsConnected &&
      now - FAttemptStarted > std::chrono::seconds(FOptions.Mqtt.ConnectTimeoutS)) {
    ConnectionFailed("no answer within " + std::to_string(FOptions.Mqtt.ConnectTimeoutS) + " s");
    return;
  }
  if (FConnection || now < FAttemptAt) return;
  ++FConnectionId;
  FConnection = std::make_unique<TMqttConnection>(FOptions.Mqtt, Topic("status"), FConnectionId,
                                                  [this](const TMqttEvent& e) {
                                                    {
                                                      std::lock_guard lock(FMutex);
                                                      FEvents.push_back(e);
                                                    }
                                                    FWake.notify_one();
                                                  });
  FAttemptStarted = now;
  std::string error;
  if (!FConnection->Start(error)) ConnectionFailed(error);
}

void TPublisher::Connected() {
  FIsConnected = true;
  FBackoffS = 1;
  ++FConnections;
  FProblem.clear();
  Say("connected to " + Where() + " as " + FOptions.Mqtt.ClientId +
      (FQueued > 0 ? "; " + std::to_string(FQueued) + " queued message(s) go first" : ""));
  Publish(Topic("status"), "online", true);
  PublishMeta();
}

void TPublisher::PublishMeta() {
  std::vector<TDeviceMeta> meta;
  int protocol;
  {
    std::lock_guard lock(FMutex);
    meta = FMeta;
    protocol = FProtocol;
    FMetaChanged = false;
  }
  const std::int64_t now = UtcNowMs();
  for (const TDeviceMeta& m : meta)
    Publish(Topic(PlantTopic(m.PlantNumber, "meta")), MetaJson(m, FOptions.LineName, protocol, now),
            true);
}

void TPublisher::ConnectionFailed(const std::string& problem) {
  const bool wasConnected = FIsConnected;
  FIsConnected = false;
  FConnection.reset();
  // What the broker has not acknowledged goes again, first and in order.
  std::set<std::int64_t> again(FResend.begin(), FResend.end());
  again.insert(FInFlight.begin(), FInFlight.end());
  FResend.assign(again.begin(), again.end());
  FInFlight.clear();
  FMids.clear();
  FBacklog.clear();
  if (wasConnected || problem != FProblem)
    Say((wasConnected ? "connection to " + Where() + " lost: "
                      : "cannot connect to " + Where() + ": ") +
        problem + "; polling goes on, messages are queued (" + std::to_string(FQueued) +
        " now) and sent when the broker is back");
  FProblem = problem;
  if (wasConnected) FBackoffS = 1;
  FAttemptAt = TClock::now() + std::chrono::seconds(FBackoffS);
  FBackoffS = std::min(FBackoffS * 2, FOptions.Mqtt.RetryMaxS);
}

void TPublisher::Publish(const std::string& topic, const std::string& payload, bool retain) {
  int mid = 0;
  FConnection->Publish(topic, payload, FOptions.Mqtt.Qos, retain, mid);
}

TPublisher::TKept* TPublisher::Kept(std::int64_t seq) {
  if (FMemory.empty()) return nullptr;
  const std::int64_t front = FMemory.front().Item.Seq;
  if (seq < front || seq >= front + static_cast<std::int64_t>(FMemory.size())) return nullptr;
  return &FMemory[static_cast<std::size_t>(seq - front)];
}

bool TPublisher::NextItem(TOutboxItem& item, bool& resent) {
  resent = true;
  while (!FResend.empty()) {
    const std::int64_t seq = FResend.front();
    FResend.pop_front();
    if (const TKept* k = Kept(seq)) {
      if (k->Delivered) continue;
      item = k->Item;
      return true;
    }
    if (FOutbox && seq > FRemovedUpTo) {
      try {
        auto found = FOutbox->Fetch(seq - 1, 1);
        if (!found.empty() && found.front().Seq == seq) {
          item = std::move(found.front());
          return true;
        }
      } catch (const std::exception&) {
        FResend.push_front(seq);  // the database is busy: again later
        return false;
      }
    }
  }
  resent = false;
  const std::int64_t memFront = FMemory.empty() ? FNextSeq : FMemory.front().Item.Seq;
  if (FCursor < memFront) {
    while (!FBacklog.empty() && FBacklog.front().Seq < FCursor) FBacklog.pop_front();
    if (FBacklog.empty() && FOutbox) {
      try {
        for (TOutboxItem& i : FOutbox->Fetch(FCursor - 1, kFetchBatch))
          if (i.Seq < memFront) FBacklog.push_back(std::move(i));
      } catch (const std::exception&) {
        return false;  // again at the next turn
      }
    }
    if (!FBacklog.empty()) {
      item = std::move(FBacklog.front());
      FBacklog.pop_front();
      FCursor = item.Seq + 1;
      return true;
    }
    FCursor = memFront;  // nothing kept below the memory
  }
  if (FCursor >= FNextSeq) return false;
  item = FMemory[static_cast<std::size_t>(FCursor - memFront)].Item;
  ++FCursor;
  return true;
}

void TPublisher::SendQueued() {
  const int qos = FOptions.Mqtt.Qos;
  while (FIsConnected && static_cast<int>(FInFlight.size()) < FOptions.Window) {
    TOutboxItem item;
    bool resent = false;
    if (!NextItem(item, resent)) break;
    int mid = 0;
    const bool reading = item.Kind == TOutboxItem::TKind::Reading;
    const std::string topic = Topic(reading ? PlantTopic(item.PlantNumber, "reading") : item.Topic);
    if (!FConnection->Publish(topic, reading ? ReadingJson(item) : item.Payload, qos, false, mid)) {
      // Not taken (the connection is going): this one again first.
      FResend.push_front(item.Seq);
      break;
    }
    FMids[mid] = item.Seq;
    FInFlight.insert(item.Seq);
  }
}

void TPublisher::RemoveDelivered() {
  std::int64_t upTo = FCursor - 1;
  if (!FInFlight.empty()) upTo = std::min(upTo, *FInFlight.begin() - 1);
  if (!FResend.empty()) upTo = std::min(upTo, FResend.front() - 1);
  if (upTo <= FRemovedUpTo) return;
  if (FOutbox) {
    try {
      FOutbox->Remove(upTo);
    } catch (const std::exception&) {
      return;  // again at the next turn
    }
  }
  FRemovedUpTo = upTo;
  while (!FMemory.empty() && FMemory.front().Item.Seq <= upTo) FMemory.pop_front();
}

void TPublisher::DropOld() {
  const std::int64_t cutoff = UtcNowMs() - FOptions.Mqtt.QueueDays * kDayMs;
  std::int64_t dropped = 0;
  bool databaseDropped = false;
  if (FOutbox) {
    try {
      dropped += FOutbox->DropOlderThan(cutoff);
      databaseDropped = dropped > 0;
    } catch (const std::exception&) {
      // Again at the next check.
    }
  }
  while (!FMemory.empty() && FMemory.front().Item.TimeMs < cutoff) {
    const TKept& k = FMemory.front();
    if (!k.Persisted && !k.Delivered && !FInFlight.count(k.Item.Seq)) ++dropped;
    FMemory.pop_front();
  }
  if (dropped == 0) return;
  FBacklog.clear();
  FDropped += static_cast<std::uint64_t>(dropped);
  // Count again what is left: some of the dropped may have been in flight.
  std::int64_t left = 0;
  if (databaseDropped) {
    try {
      left = FOutbox->Count();
    } catch (const std::exception&) {
      left = FQueued - dropped;
    }
    for (const TKept& k : FMemory)
      if (!k.Persisted && !k.Delivered) ++left;
  } else {
    left = FQueued - dropped;
  }
  FQueued = std::max<std::int64_t>(0, left);
  Say(std::to_string(dropped) + " queued message(s) older than " +
      std::to_string(FOptions.Mqtt.QueueDays) + " days dropped (" + std::to_string(FDropped) +
      " in all)");
}

void TPublisher::Evict() {
  const std::size_t bound = FOutbox ? FOptions.MemoryItems : FOptions.MemoryOnlyItems;
  std::int64_t lost = 0;
  while (FMemory.size() > bound) {
    const TKept& k = FMemory.front();
    if (!k.Persisted && !k.Delivered && !FInFlight.count(k.Item.Seq)) ++lost;
    FMemory.pop_front();
  }
  if (lost == 0) return;
  FDropped += static_cast<std::uint64_t>(lost);
  FQueued = std::max<std::int64_t>(0, FQueued - lost);
  Say(std::to_string(lost) + " queued message(s) dropped: the queue in memory is full (" +
      std::to_string(FDropped) + " in all)");
}
