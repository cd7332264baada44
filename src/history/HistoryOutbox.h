// Messages waiting for a publisher, kept in the history database so that
// neither a broker that is away for days nor a restart of the gateway loses
// one. One queue a publisher (named by it, e.g. its MQTT client id), in the
// order the items were appended; an item stays until the publisher says it
// was delivered. A device-reading is kept as compactly as the readings table
// keeps it and turned into a message only when it is sent. One THistoryOutbox
// is used by one thread, over a connection of its own. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HistoryStore.h"
#include "LineSnapshot.h"

struct TOutboxItem {
  enum class TKind : int { Reading = 1, Message = 2 };
  std::int64_t Seq = 0;  // given by the appender: ascending in append order, unique
  std::int64_t TimeMs = 0;
  TKind Kind = TKind::Reading;
  std::uint16_t PlantNumber = 0;
  // Reading: the device-reading of one cycle.
  TDeviceReading Reading;
  std::uint8_t Protocol = 0;
  std::uint64_t Cycle = 0;
  // Message: the topic below the publisher's prefix and the payload.
  std::string Topic;
  std::string Payload;
};

// The device-readings of a polling cycle as outbox items (devices the cycle
// did not read are left out).
std::vector<TOutboxItem> OutboxReadings(const TLineSnapshot& snapshot);

class THistoryOutbox {
 public:
  THistoryOutbox(THistoryStore& store, std::string queue);

  // Appends the items in one transaction, each under its Seq. Raises ESqlite;
  // nothing is appended then.
  void Append(std::vector<TOutboxItem>& items);
  // At most `limit` items with Seq > afterSeq, in order. An item whose stored
  // form cannot be decoded is skipped and counted in Undecodable().
  std::vector<TOutboxItem> Fetch(std::int64_t afterSeq, int limit);
  // Delivered: removes every item with Seq <= upToSeq.
  void Remove(std::int64_t upToSeq);
  // Removes the oldest items, taken before cutoffMs, and returns how many
  // (the items are kept in time order, so this stops at the first newer one).
  std::int64_t DropOlderThan(std::int64_t cutoffMs);
  std::int64_t Count();
  // The lowest and highest Seq queued; 0 when the queue is empty.
  std::int64_t MinSeq();
  std::int64_t MaxSeq();
  std::uint64_t Undecodable() const { return FUndecodable; }

 private:
  THistoryStore& FStore;
  std::string FQueue;
  std::uint64_t FUndecodable = 0;
};
