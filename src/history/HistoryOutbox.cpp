#include "HistoryOutbox.h"

#include <sqlite3.h>

namespace {

// flags of a queued reading.
constexpr int kLevel = 1, kTemps = 2, kRead = 32;

}  // namespace

std::vector<TOutboxItem> OutboxReadings(const TLineSnapshot& snapshot) {
  std::vector<TOutboxItem> items;
  items.reserve(snapshot.Devices.size());
  for (const TDeviceReading& r : snapshot.Devices) {
    if (!r.Read) continue;
    TOutboxItem item;
    item.TimeMs = snapshot.TimeMs;
    item.Kind = TOutboxItem::TKind::Reading;
    item.PlantNumber = r.PlantNumber;
    item.Reading = r;
    item.Protocol = snapshot.Protocol;
    item.Cycle = snapshot.Cycle;
    items.push_back(std::move(item));
  }
  return items;
}

THistoryOutbox::THistoryOutbox(THistoryStore& store, std::string queue)
    : FStore(store), FQueue(std::move(queue)) {}

void THistoryOutbox::Append(std::vector<TOutboxItem>& items) {
  if (items.empty()) return;
  // Text ids learnt inside a transaction that fails are forgotten again.
  auto textIds = FStore.FTextIds;
  auto texts = FStore.FTexts;
  TSqliteDb& db = FStore.FDb;
  try {
    TSqliteTransaction t(db);
    TSqliteStatement insert(
        db,
        "INSERT INTO outbox(queue, seq, time_ms, kind, plant, cycle, address, flags, outcome, "
        "name, sensors, level_code, level, level_state, temp_state, temps, topic, payload) "
        "VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)");
    for (TOutboxItem& item : items) {
      insert.Bind(1, FQueue)
          .Bind(2, item.Seq)
          .Bind(3, item.TimeMs)
          .Bind(4, std::int64_t{static_cast<int>(item.Kind)})
          .Bind(5, std::int64_t{item.PlantNumber})
          .Bind(6, static_cast<std::int64_t>(item.Cycle));
      if (item.Kind == TOutboxItem::TKind::Reading) {
        const TDeviceReading& r = item.Reading;
        const int flags = (r.LevelConfirmed ? kLevel : 0) | (r.TemperaturesConfirmed ? kTemps : 0) |
                          (r.Read ? kRead : 0) | (item.Protocol == 1 ? 16 : 0);
        insert.Bind(7, std::int64_t{r.SystemAddress})
            .Bind(8, std::int64_t{flags})
            .Bind(9, FStore.TextId(PackOutcomes(r.Outcomes)))
            .Bind(10, FStore.TextId(r.Name))
            .Bind(11, std::int64_t{r.SensorCount})
            .Bind(12, std::int64_t{r.LevelCode})
            .Bind(13, std::int64_t{r.Level})
            .Bind(14, std::int64_t{r.LevelState})
            .Bind(15, std::int64_t{r.TemperatureState});
        const auto coded = EncodeTemperatures(r.Temperatures);
        insert.BindBlob(16, coded.data(), coded.size()).BindNull(17).BindNull(18);
      } else {
        for (int i = 7; i <= 16; ++i) insert.BindNull(i);
        insert.Bind(17, item.Topic).BindBlob(18, item.Payload.data(), item.Payload.size());
      }
      insert.Run();
    }
    t.Commit();
  } catch (...) {
    FStore.FTextIds = std::move(textIds);
    FStore.FTexts = std::move(texts);
    throw;
  }
}

std::vector<TOutboxItem> THistoryOutbox::Fetch(std::int64_t afterSeq, int limit) {
  TSqliteDb& db = FStore.FDb;
  TSqliteStatement s(db,
                     "SELECT seq, time_ms, kind, plant, cycle, address, flags, outcome, name, "
                     "sensors, level_code, level, level_state, temp_state, temps, topic, payload "
                     "FROM outbox WHERE queue=?1 AND seq>?2 ORDER BY seq LIMIT ?3");
  s.Bind(1, FQueue).Bind(2, afterSeq).Bind(3, std::int64_t{limit});
  std::vector<TOutboxItem> items;
  while (s.Step()) {
    TOutboxItem item;
    item.Seq = s.Int(0);
    item.TimeMs = s.Int(1);
    const std::int64_t kind = s.Int(2);
    item.PlantNumber = static_cast<std::uint16_t>(s.Int(3));
    item.Cycle = static_cast<std::uint64_t>(s.Int(4));
    if (kind == static_cast<int>(TOutboxItem::TKind::Message) && !s.IsNull(15)) {
      item.Kind = TOutboxItem::TKind::Message;
      item.Topic = s.Text(15);
      int size = 0;
      const std::uint8_t* data = s.Blob(16, size);
      item.Payload.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    } else if (kind == static_cast<int>(TOutboxItem::TKind::Reading) && !s.IsNull(6)) {
      TDeviceReading& r = item.Reading;
      const int flags = static_cast<int>(s.Int(6));
      r.PlantNumber = item.PlantNumber;
      r.SystemAddress = static_cast<std::uint8_t>(s.Int(5));
      r.Read = flags & kRead;
      r.LevelConfirmed = flags & kLevel;
      r.TemperaturesConfirmed = flags & kTemps;
      item.Protocol = (flags & 16) ? 1 : 0;
      r.Outcomes = UnpackOutcomes(FStore.OutcomeText(s.Int(7)));
      r.Name = FStore.OutcomeText(s.Int(8));
      r.SensorCount = static_cast<std::uint8_t>(s.Int(9));
      r.LevelCode = static_cast<std::uint16_t>(s.Int(10));
      r.Level = static_cast<std::uint16_t>(s.Int(11));
      r.LevelState = static_cast<std::uint16_t>(s.Int(12));
      r.TemperatureState = static_cast<std::uint16_t>(s.Int(13));
      int size = 0;
      const std::uint8_t* data = s.IsNull(14) ? nullptr : s.Blob(14, size);
      if (!DecodeTemperatures(data, size, r.Temperatures)) {
        ++FUndecodable;
        continue;
      }
    } else {
      ++FUndecodable;
      continue;
    }
    items.push_back(std::move(item));
  }
  return items;
}

void THistoryOutbox::Remove(std::int64_t upToSeq) {
  TSqliteStatement s(FStore.FDb, "DELETE FROM outbox WHERE queue=?1 AND seq<=?2");
  s.Bind(1, FQueue).Bind(2, upToSeq).Run();
}

std::int64_t THistoryOutbox::DropOlderThan(std::int64_t cutoffMs) {
  TSqliteDb& db = FStore.FDb;
  TSqliteStatement first(db,
                         "SELECT seq FROM outbox WHERE queue=?1 AND time_ms>=?2 ORDER BY seq "
                         "LIMIT 1");
  first.Bind(1, FQueue).Bind(2, cutoffMs);
  const bool newer = first.Step();
  const std::int64_t keepFrom = newer ? first.Int(0) : INT64_MAX;
  first.Reset();
  TSqliteStatement drop(db, "DELETE FROM outbox WHERE queue=?1 AND seq<?2");
  drop.Bind(1, FQueue).Bind(2, keepFrom).Run();
  return db.Changes();
}

std::int64_t THistoryOutbox::Count() {
  TSqliteStatement s(FStore.FDb, "SELECT count(*) FROM outbox WHERE queue=?1");
  s.Bind(1, FQueue);
  return s.Step() ? s.Int(0) : 0;
}

std::int64_t THistoryOutbox::MinSeq() {
  TSqliteStatement s(FStore.FDb, "SELECT min(seq) FROM outbox WHERE queue=?1");
  s.Bind(1, FQueue);
  return s.Step() && !s.IsNull(0) ? s.Int(0) : 0;
}

std::int64_t THistoryOutbox::MaxSeq() {
  TSqliteStatement s(FStore.FDb, "SELECT max(seq) FROM outbox WHERE queue=?1");
  s.Bind(1, FQueue);
  return s.Step() && !s.IsNull(0) ? s.Int(0) : 0;
}
