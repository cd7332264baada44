#include "HistoryStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

// The first schema: the readings and what they refer to.
const char* const kSchema1 = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
CREATE TABLE devices(
  plant INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  address INTEGER NOT NULL,
  sensors INTEGER NOT NULL);
CREATE TABLE texts(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);
-- One row a device-reading. flags: 1 level confirmed, 2 temperatures
-- confirmed, 4 every request succeeded, 8 first cycle of a polling run,
-- 16 Modbus. outcome: the requests and their results (texts). level_code
-- and level are NULL when the level read failed, temps when the temperature
-- read failed (delta-coded raw words otherwise).
CREATE TABLE readings(
  plant INTEGER NOT NULL,
  time_ms INTEGER NOT NULL,
  address INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  outcome INTEGER NOT NULL,
  level_code INTEGER,
  level INTEGER,
  level_state INTEGER NOT NULL,
  temp_state INTEGER NOT NULL,
  temps BLOB,
  PRIMARY KEY(plant, time_ms)) WITHOUT ROWID;
)sql";

// Added by schema 2: line statistics, alarms and their limits, and the
// positions of consumers that take the readings in order (a publisher that
// catches up after an outage reads on from its position).
const char* const kSchema2 = R"sql(
CREATE TABLE line_stats(
  plant INTEGER NOT NULL,
  time_ms INTEGER NOT NULL,
  address INTEGER NOT NULL,
  requests INTEGER NOT NULL,
  successes INTEGER NOT NULL,
  responses INTEGER NOT NULL,
  response_ms_total REAL NOT NULL,
  response_ms_worst REAL NOT NULL,
  PRIMARY KEY(plant, time_ms)) WITHOUT ROWID;
CREATE TABLE alarms(
  id INTEGER PRIMARY KEY,
  kind INTEGER NOT NULL,
  plant INTEGER NOT NULL,
  device_name TEXT NOT NULL,
  sensor INTEGER NOT NULL,
  raised_ms INTEGER NOT NULL,
  value REAL NOT NULL,
  limit_value REAL NOT NULL,
  cleared_ms INTEGER,
  ack_ms INTEGER,
  ack_by TEXT);
CREATE INDEX alarms_open ON alarms(plant, sensor, kind) WHERE cleared_ms IS NULL;
CREATE INDEX alarms_raised ON alarms(raised_ms);
-- plant 0: the defaults for the whole line.
CREATE TABLE alarm_limits(plant INTEGER PRIMARY KEY, upper REAL, rise REAL);
CREATE TABLE consumers(name TEXT PRIMARY KEY, position_ms INTEGER NOT NULL) WITHOUT ROWID;
)sql";

// Added by schema 3: messages waiting for a publisher, one queue a publisher
// (named by it), in the order they were taken. kind 1: a device-reading, in
// the columns of readings (name: a text id; flags also 32 for "read", sensors
// the record's count); kind 2: a message made already (topic below the
// publisher's prefix, payload).
const char* const kSchema3 = R"sql(
CREATE TABLE outbox(
  queue TEXT NOT NULL,
  seq INTEGER NOT NULL,
  time_ms INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  plant INTEGER NOT NULL,
  cycle INTEGER NOT NULL,
  address INTEGER,
  flags INTEGER,
  outcome INTEGER,
  name INTEGER,
  sensors INTEGER,
  level_code INTEGER,
  level INTEGER,
  level_state INTEGER,
  temp_state INTEGER,
  temps BLOB,
  topic TEXT,
  payload BLOB,
  PRIMARY KEY(queue, seq)) WITHOUT ROWID;
)sql";

constexpr int kFlagLevel = 1, kFlagTemps = 2, kFlagOk = 4, kFlagFirst = 8, kFlagModbus = 16;

std::string Refusal(const std::string& path, const std::string& why) {
  return "Файл " + path + " не может быть базой истории: " + why;
}

bool HasSqliteHeader(const std::string& path, bool& empty) {
  std::ifstream in(path, std::ios::binary);
  char header[16] = {};
  in.read(header, sizeof header);
  empty = in.gcount() == 0;
  return in.gcount() == 16 && std::memcmp(header, "SQLite format 3", 16) == 0;
}

constexpr char kFieldSep = '\x1f', kRecordSep = '\x1e';

}  // namespace

std::string PackOutcomes(const std::vector<TRequestOutcome>& outcomes) {
  std::string s;
  for (const TRequestOutcome& o : outcomes) {
    if (!s.empty()) s += kRecordSep;
    s += o.Operation + kFieldSep + o.Result + kFieldSep + (o.Ok ? '1' : '0');
  }
  return s;
}

std::vector<TRequestOutcome> UnpackOutcomes(const std::string& s) {
  std::vector<TRequestOutcome> out;
  std::size_t start = 0;
  while (start < s.size()) {
    std::size_t end = s.find(kRecordSep, start);
    if (end == std::string::npos) end = s.size();
    const std::string rec = s.substr(start, end - start);
    const auto a = rec.find(kFieldSep);
    const auto b = a == std::string::npos ? a : rec.find(kFieldSep, a + 1);
    if (b != std::string::npos)
      out.push_back({rec.substr(0, a), rec.substr(a + 1, b - a - 1), rec.substr(b + 1) == "1"});
    start = end + 1;
  }
  return out;
}

namespace {

void PutVarint(std::vector<std::uint8_t>& out, std::uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

bool GetVarint(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& v) {
  v = 0;
  for (int shift = 0; shift < 21; shift += 7) {
    if (p == end) return false;
    const std::uint8_t b = *p++;
    v |= static_cast<std::uint32_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v <= 0xFFFF;
  }
  return false;
}

std::uint16_t Undelta(std::uint16_t previous, std::uint32_t zigzag) {
  const auto delta = static_cast<std::int32_t>((zigzag >> 1) ^ (~(zigzag & 1) + 1));
  return static_cast<std::uint16_t>(previous + delta);
}

}  // namespace

std::vector<std::uint8_t> EncodeTemperatures(const std::vector<std::uint16_t>& words) {
  std::vector<std::uint8_t> out;
  out.reserve(words.size() + 4);
  std::uint16_t previous = 0;
  for (std::uint16_t w : words) {
    const auto delta = static_cast<std::int16_t>(static_cast<std::uint16_t>(w - previous));
    const auto zigzag = static_cast<std::uint32_t>((delta << 1) ^ (delta >> 15)) & 0xFFFF;
    PutVarint(out, zigzag);
    previous = w;
  }
  return out;
}

bool DecodeTemperatures(const std::uint8_t* data, int size, std::vector<std::uint16_t>& words) {
  words.clear();
  const std::uint8_t* p = data;
  const std::uint8_t* end = data + size;
  std::uint16_t previous = 0;
  while (p < end) {
    std::uint32_t z = 0;
    if (!GetVarint(p, end, z)) return false;
    previous = Undelta(previous, z);
    words.push_back(previous);
  }
  return true;
}

std::optional<std::uint16_t> DecodeTemperature(const std::uint8_t* data, int size, int sensor) {
  const std::uint8_t* p = data;
  const std::uint8_t* end = data + size;
  std::uint16_t previous = 0;
  for (int i = 1; i <= sensor; ++i) {
    std::uint32_t z = 0;
    if (!GetVarint(p, end, z)) return std::nullopt;
    previous = Undelta(previous, z);
  }
  return sensor >= 1 ? std::optional<std::uint16_t>(previous) : std::nullopt;
}

THistoryStore::THistoryStore(const std::string& path, bool readOnly, int busyTimeoutMs)
    : FReadOnly(readOnly) {
  bool empty = true;
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) throw EHistoryRefused(Refusal(path, "это не файл"));
  if (exists && !HasSqliteHeader(path, empty) && !empty)
    throw EHistoryRefused(Refusal(path, "это не база данных SQLite"));
  if (!exists && readOnly) throw ESqlite(SQLITE_CANTOPEN, "нет файла " + path);
  FDb = TSqliteDb(path, readOnly ? TSqliteDb::kReadOnly : TSqliteDb::kReadWriteCreate);
  FDb.SetBusyTimeout(busyTimeoutMs);
  try {
    // The three in one read transaction: one state of the file, though
    // another connection may be making it at this moment.
    std::int64_t app, objects;
    int version;
    {
      TSqliteTransaction read(FDb, false);
      app = FDb.QueryInt("PRAGMA application_id");
      version = static_cast<int>(FDb.QueryInt("PRAGMA user_version"));
      objects = FDb.QueryInt("SELECT count(*) FROM sqlite_schema");
      read.Commit();
    }
    if (app == 0 && objects == 0) {
      if (readOnly) throw EHistoryRefused(Refusal(path, "база пуста"));
      Initialise();
    } else if (app != kHistoryApplicationId) {
      throw EHistoryRefused(Refusal(path, "это база данных другой программы"));
    } else if (version > kHistorySchemaVersion) {
      throw EHistoryRefused(Refusal(path, "она создана более новой версией программы (схема " +
                                              std::to_string(version) + ")"));
    } else if (version < kHistorySchemaVersion) {
      if (readOnly)
        throw EHistoryRefused(
            Refusal(path, "её схему надо обновить, а файл открыт только для чтения"));
      Migrate(version);
    }
    if (!readOnly) {
      // WAL: readers do not wait for the writer; NORMAL: a commit is not
      // synced, a checkpoint is (a power cut may lose the last commits, never
      // the file).
      // The switch to WAL wants the file to itself and does not wait for
      // the busy handler: another connection opening it at the same moment
      // makes it fail with "locked" for a moment.
      for (int waited = 0;; waited += 10) {
        try {
          FDb.Exec("PRAGMA journal_mode=WAL");
          break;
        } catch (const ESqlite& e) {
          if (e.Primary() != SQLITE_BUSY || waited >= busyTimeoutMs) throw;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      FDb.Exec("PRAGMA synchronous=NORMAL");
    }
  } catch (const ESqlite& e) {
    if (e.IsDamaged()) throw EHistoryRefused(Refusal(path, "файл повреждён (" + std::string(e.what()) + ")"));
    throw;
  }
}

THistoryStore::~THistoryStore() = default;

int THistoryStore::SchemaVersion() {
  return static_cast<int>(FDb.QueryInt("PRAGMA user_version"));
}

void THistoryStore::Initialise() {
  TSqliteTransaction t(FDb);
  // Looked at again under the write lock: another connection opening the new
  // file at the same moment (the window and lim07ctl, or a gateway's recorder
  // and publisher) may have made it meanwhile.
  if (FDb.QueryInt("SELECT count(*) FROM sqlite_schema") != 0) {
    const int version = static_cast<int>(FDb.QueryInt("PRAGMA user_version"));
    t.Commit();
    if (FDb.QueryInt("PRAGMA application_id") == kHistoryApplicationId &&
        version < kHistorySchemaVersion)
      Migrate(version);
    return;
  }
  FDb.Exec(kSchema1);
  FDb.Exec(kSchema2);
  FDb.Exec(kSchema3);
  FDb.Exec("PRAGMA application_id=" + std::to_string(kHistoryApplicationId));
  FDb.Exec("PRAGMA user_version=" + std::to_string(kHistorySchemaVersion));
  TSqliteStatement s(FDb, "INSERT INTO meta(key, value) VALUES('application', 'lim07 history')");
  s.Run();
  t.Commit();
}

void THistoryStore::Migrate(int from) {
  TSqliteTransaction t(FDb);
  from = static_cast<int>(FDb.QueryInt("PRAGMA user_version"));  // under the lock: see Initialise
  if (from >= kHistorySchemaVersion) return;
  if (from < 1) FDb.Exec(kSchema1);
  if (from < 2) FDb.Exec(kSchema2);
  if (from < 3) FDb.Exec(kSchema3);
  FDb.Exec("PRAGMA user_version=" + std::to_string(kHistorySchemaVersion));
  t.Commit();
}

std::int64_t THistoryStore::TextId(const std::string& text) {
  if (const auto it = FTextIds.find(text); it != FTextIds.end()) return it->second;
  TSqliteStatement find(FDb, "SELECT id FROM texts WHERE text=?1");
  find.Bind(1, text);
  std::int64_t id = 0;
  if (find.Step()) {
    id = find.Int(0);
  } else {
    TSqliteStatement add(FDb, "INSERT INTO texts(text) VALUES(?1)");
    add.Bind(1, text).Run();
    id = FDb.LastInsertRowId();
  }
  FTextIds[text] = id;
  FTexts[id] = text;
  return id;
}

std::string THistoryStore::OutcomeText(std::int64_t id) {
  if (const auto it = FTexts.find(id); it != FTexts.end()) return it->second;
  TSqliteStatement s(FDb, "SELECT text FROM texts WHERE id=?1");
  s.Bind(1, id);
  std::string text = s.Step() ? s.Text(0) : std::string();
  FTexts[id] = text;
  return text;
}

void THistoryStore::WriteCycle(const TLineSnapshot& snapshot,
                               const std::vector<TLineStatsSample>& stats,
                               const std::vector<TAlarmChange>& alarms) {
  // The text ids are learnt inside the transaction: forget them if it fails.
  auto textIds = FTextIds;
  auto texts = FTexts;
  auto devices = FDeviceCache;
  try {
    TSqliteTransaction t(FDb);
    TSqliteStatement insert(FDb,
                            "INSERT OR IGNORE INTO readings(plant, time_ms, address, flags, "
                            "outcome, level_code, level, level_state, temp_state, temps) "
                            "VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)");
    for (const TDeviceReading& r : snapshot.Devices) {
      if (!r.Read) continue;
      const THistoryDevice known{r.PlantNumber, r.Name, r.SystemAddress, r.SensorCount, 0};
      const auto cached = FDeviceCache.find(r.PlantNumber);
      if (cached == FDeviceCache.end() || cached->second.Name != r.Name ||
          cached->second.SystemAddress != r.SystemAddress ||
          cached->second.SensorCount != r.SensorCount) {
        TSqliteStatement up(FDb,
                            "INSERT INTO devices(plant, name, address, sensors) "
                            "VALUES(?1,?2,?3,?4) ON CONFLICT(plant) DO UPDATE SET "
                            "name=excluded.name, address=excluded.address, "
                            "sensors=excluded.sensors");
        up.Bind(1, std::int64_t{r.PlantNumber})
            .Bind(2, r.Name)
            .Bind(3, std::int64_t{r.SystemAddress})
            .Bind(4, std::int64_t{r.SensorCount})
            .Run();
        FDeviceCache[r.PlantNumber] = known;
      }
      const int flags = (r.LevelConfirmed ? kFlagLevel : 0) |
                        (r.TemperaturesConfirmed ? kFlagTemps : 0) | (r.Ok() ? kFlagOk : 0) |
                        (snapshot.Cycle == 1 ? kFlagFirst : 0) |
                        (snapshot.Protocol == 1 ? kFlagModbus : 0);
      insert.Bind(1, std::int64_t{r.PlantNumber})
          .Bind(2, snapshot.TimeMs)
          .Bind(3, std::int64_t{r.SystemAddress})
          .Bind(4, std::int64_t{flags})
          .Bind(5, TextId(PackOutcomes(r.Outcomes)));
      if (r.LevelConfirmed) {
        insert.Bind(6, std::int64_t{r.LevelCode}).Bind(7, std::int64_t{r.Level});
      } else {
        insert.BindNull(6).BindNull(7);
      }
      insert.Bind(8, std::int64_t{r.LevelState}).Bind(9, std::int64_t{r.TemperatureState});
      if (r.TemperaturesConfirmed) {
        const auto coded = EncodeTemperatures(r.Temperatures);
        insert.BindBlob(10, coded.data(), coded.size());
      } else {
        insert.BindNull(10);
      }
      insert.Run();
    }
    if (!stats.empty()) {
      TSqliteStatement s(FDb,
                         "INSERT OR REPLACE INTO line_stats(plant, time_ms, address, requests, "
                         "successes, responses, response_ms_total, response_ms_worst) "
                         "VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
      for (const TLineStatsSample& x : stats) {
        s.Bind(1, std::int64_t{x.PlantNumber})
            .Bind(2, snapshot.TimeMs)
            .Bind(3, std::int64_t{x.SystemAddress})
            .Bind(4, static_cast<std::int64_t>(x.Requests))
            .Bind(5, static_cast<std::int64_t>(x.Successes))
            .Bind(6, static_cast<std::int64_t>(x.Responses))
            .Bind(7, x.TotalResponseMs)
            .Bind(8, x.WorstResponseMs)
            .Run();
      }
    }
    for (const TAlarmChange& c : alarms) {
      const TAlarm& a = c.Alarm;
      if (c.Raised) {
        TSqliteStatement s(FDb,
                           "INSERT INTO alarms(kind, plant, device_name, sensor, raised_ms, value, "
                           "limit_value) VALUES(?1,?2,?3,?4,?5,?6,?7)");
        s.Bind(1, std::int64_t{static_cast<int>(a.Kind)})
            .Bind(2, std::int64_t{a.PlantNumber})
            .Bind(3, a.DeviceName)
            .Bind(4, std::int64_t{a.Sensor})
            .Bind(5, a.RaisedMs)
            .Bind(6, a.Value)
            .Bind(7, a.Limit)
            .Run();
      } else {
        TSqliteStatement s(FDb,
                           "UPDATE alarms SET cleared_ms=?4 WHERE plant=?1 AND sensor=?2 AND "
                           "kind=?3 AND cleared_ms IS NULL");
        s.Bind(1, std::int64_t{a.PlantNumber})
            .Bind(2, std::int64_t{a.Sensor})
            .Bind(3, std::int64_t{static_cast<int>(a.Kind)})
            .Bind(4, a.ClearedMs)
            .Run();
      }
    }
    t.Commit();
  } catch (...) {
    FTextIds = std::move(textIds);
    FTexts = std::move(texts);
    FDeviceCache = std::move(devices);
    throw;
  }
}

THistoryReading THistoryStore::ReadRow(TSqliteStatement& s) {
  // Columns: plant, time_ms, address, flags, outcome, level_code, level,
  // level_state, temp_state, temps.
  THistoryReading r;
  r.PlantNumber = static_cast<std::uint16_t>(s.Int(0));
  r.TimeMs = s.Int(1);
  r.SystemAddress = static_cast<std::uint8_t>(s.Int(2));
  const int flags = static_cast<int>(s.Int(3));
  r.LevelConfirmed = flags & kFlagLevel;
  r.TemperaturesConfirmed = flags & kFlagTemps;
  r.Ok = flags & kFlagOk;
  r.FirstOfRun = flags & kFlagFirst;
  r.Protocol = (flags & kFlagModbus) ? 1 : 0;
  r.Outcomes = UnpackOutcomes(OutcomeText(s.Int(4)));
  if (!s.IsNull(5)) r.LevelCode = static_cast<std::uint16_t>(s.Int(5));
  if (!s.IsNull(6)) r.Level = static_cast<std::uint16_t>(s.Int(6));
  r.LevelState = static_cast<std::uint16_t>(s.Int(7));
  r.TemperatureState = static_cast<std::uint16_t>(s.Int(8));
  if (!s.IsNull(9)) {
    int size = 0;
    const std::uint8_t* data = s.Blob(9, size);
    if (!DecodeTemperatures(data, size, r.Temperatures))
      throw ESqlite(SQLITE_CORRUPT, "a reading's temperatures cannot be decoded");
  }
  return r;
}

namespace {
const char* const kReadingColumns =
    "SELECT plant, time_ms, address, flags, outcome, level_code, level, level_state, temp_state, "
    "temps FROM readings ";
}

std::vector<THistoryReading> THistoryStore::Readings(std::uint16_t plant, std::int64_t fromMs,
                                                     std::int64_t toMs) {
  std::vector<THistoryReading> out;
  ForEachReading({plant}, fromMs, toMs, [&](const THistoryReading& r) {
    out.push_back(r);
    return true;
  });
  return out;
}

bool THistoryStore::ForEachReading(const std::vector<std::uint16_t>& plants, std::int64_t fromMs,
                                   std::int64_t toMs,
                                   const std::function<bool(const THistoryReading&)>& visit) {
  std::vector<std::uint16_t> list = plants;
  if (list.empty())
    for (const THistoryDevice& d : Devices()) list.push_back(d.PlantNumber);
  TSqliteStatement s(FDb, std::string(kReadingColumns) +
                              "WHERE plant=?1 AND time_ms BETWEEN ?2 AND ?3 ORDER BY time_ms");
  for (std::uint16_t plant : list) {
    s.Bind(1, std::int64_t{plant}).Bind(2, fromMs).Bind(3, toMs);
    while (s.Step()) {
      if (!visit(ReadRow(s))) {
        s.Reset();
        return false;
      }
    }
    s.Reset();
  }
  return true;
}

std::int64_t THistoryStore::ReadingCount() {
  return FDb.QueryInt("SELECT count(*) FROM readings");
}

std::vector<THistoryDevice> THistoryStore::Devices() {
  std::vector<THistoryDevice> out;
  TSqliteStatement s(FDb, "SELECT plant, name, address, sensors FROM devices ORDER BY plant");
  TSqliteStatement last(FDb,
                        "SELECT time_ms FROM readings WHERE plant=?1 ORDER BY time_ms DESC LIMIT 1");
  while (s.Step()) {
    THistoryDevice d;
    d.PlantNumber = static_cast<std::uint16_t>(s.Int(0));
    d.Name = s.Text(1);
    d.SystemAddress = static_cast<std::uint8_t>(s.Int(2));
    d.SensorCount = static_cast<int>(s.Int(3));
    last.Bind(1, std::int64_t{d.PlantNumber});
    if (last.Step()) d.LastMs = last.Int(0);
    last.Reset();
    out.push_back(d);
  }
  return out;
}

TTrendResult THistoryStore::Trend(const TTrendQuery& query) {
  TTrendResult result;
  const double gap = std::numeric_limits<double>::quiet_NaN();
  const std::int64_t plant = query.PlantNumber;
  {
    TSqliteStatement first(FDb,
                           "SELECT time_ms FROM readings WHERE plant=?1 ORDER BY time_ms LIMIT 1");
    first.Bind(1, plant);
    if (first.Step()) result.FirstMs = first.Int(0);
    TSqliteStatement last(
        FDb, "SELECT time_ms FROM readings WHERE plant=?1 ORDER BY time_ms DESC LIMIT 1");
    last.Bind(1, plant);
    if (last.Step()) result.LastMs = last.Int(0);
  }
  std::vector<TTrendReducer> reducers;
  for (std::size_t i = 0; i < query.Series.size(); ++i)
    reducers.emplace_back(query.FromMs, query.ToMs, query.Columns);
  if (result.LastMs != 0) {
    // The range, and one reading either side so that lines reach the edges.
    TSqliteStatement s(FDb,
                       "SELECT time_ms, flags, level, temps FROM readings WHERE plant=?1 AND "
                       "time_ms >= coalesce((SELECT time_ms FROM readings WHERE plant=?1 AND "
                       "time_ms < ?2 ORDER BY time_ms DESC LIMIT 1), ?2) AND "
                       "time_ms <= coalesce((SELECT time_ms FROM readings WHERE plant=?1 AND "
                       "time_ms > ?3 ORDER BY time_ms LIMIT 1), ?3) ORDER BY time_ms");
    s.Bind(1, plant).Bind(2, query.FromMs).Bind(3, query.ToMs);
    while (s.Step()) {
      const std::int64_t t = s.Int(0);
      const int flags = static_cast<int>(s.Int(1));
      int size = 0;
      const std::uint8_t* temps = s.IsNull(3) ? nullptr : s.Blob(3, size);
      for (std::size_t i = 0; i < reducers.size(); ++i) {
        const int series = query.Series[i];
        if (flags & kFlagFirst) reducers[i].Add(t, gap);
        double v = gap;
        if (series == kLevelSeries) {
          if ((flags & kFlagLevel) && !s.IsNull(2)) v = static_cast<double>(s.Int(2));
        } else if (temps) {
          if (const auto word = DecodeTemperature(temps, size, series)) v = TemperatureValue(*word);
        }
        reducers[i].Add(t, v);
      }
    }
  }
  for (std::size_t i = 0; i < reducers.size(); ++i)
    result.Series.push_back({query.Series[i], reducers[i].Take()});
  result.Reduced = query.Columns > 0;
  return result;
}

std::vector<TAlarm> THistoryStore::Alarms(const TAlarmFilter& filter) {
  std::string sql =
      "SELECT id, kind, plant, device_name, sensor, raised_ms, value, limit_value, cleared_ms, "
      "ack_ms, ack_by FROM alarms WHERE (raised_ms >= ?1 OR cleared_ms IS NULL "
      "OR cleared_ms >= ?1 OR ack_ms IS NULL)";
  if (filter.ActiveOnly) sql += " AND cleared_ms IS NULL";
  if (filter.UnacknowledgedOnly) sql += " AND ack_ms IS NULL";
  if (filter.PlantNumber) sql += " AND plant=?2";
  sql += " ORDER BY raised_ms DESC, id DESC LIMIT ?3";
  TSqliteStatement s(FDb, sql);
  s.Bind(1, filter.SinceMs).Bind(3, std::int64_t{filter.Limit});
  if (filter.PlantNumber) s.Bind(2, std::int64_t{*filter.PlantNumber});
  std::vector<TAlarm> out;
  while (s.Step()) {
    TAlarm a;
    a.Id = s.Int(0);
    a.Kind = s.Int(1) == 2 ? TAlarmKind::Rise : TAlarmKind::Upper;
    a.PlantNumber = static_cast<std::uint16_t>(s.Int(2));
    a.DeviceName = s.Text(3);
    a.Sensor = static_cast<int>(s.Int(4));
    a.RaisedMs = s.Int(5);
    a.Value = s.Double(6);
    a.Limit = s.Double(7);
    a.ClearedMs = s.IsNull(8) ? 0 : s.Int(8);
    a.AckMs = s.IsNull(9) ? 0 : s.Int(9);
    a.AckBy = s.Text(10);
    out.push_back(std::move(a));
  }
  return out;
}

int THistoryStore::UnacknowledgedCount() {
  return static_cast<int>(FDb.QueryInt("SELECT count(*) FROM alarms WHERE ack_ms IS NULL"));
}

int THistoryStore::Acknowledge(const std::vector<std::int64_t>& ids, std::int64_t nowMs,
                               const std::string& by) {
  TSqliteTransaction t(FDb);
  TSqliteStatement s(FDb, "UPDATE alarms SET ack_ms=?2, ack_by=?3 WHERE id=?1 AND ack_ms IS NULL");
  int n = 0;
  for (std::int64_t id : ids) {
    s.Bind(1, id).Bind(2, nowMs).Bind(3, by).Run();
    n += FDb.Changes();
  }
  t.Commit();
  return n;
}

TAlarmLimits THistoryStore::LoadLimits() {
  TAlarmLimits limits;
  TSqliteStatement s(FDb, "SELECT plant, upper, rise FROM alarm_limits");
  while (s.Step()) {
    TAlarmLimit l;
    if (!s.IsNull(1)) l.Upper = s.Double(1);
    if (!s.IsNull(2)) l.RisePerDay = s.Double(2);
    if (s.Int(0) == 0)
      limits.Line = l;
    else
      limits.Devices[static_cast<std::uint16_t>(s.Int(0))] = l;
  }
  TSqliteStatement meta(FDb, "SELECT key, value FROM meta WHERE key IN ('alarm_hysteresis', "
                             "'alarm_rise_window_h')");
  while (meta.Step()) {
    const std::string key = meta.Text(0);
    const std::string value = meta.Text(1);
    if (key == "alarm_hysteresis") limits.Hysteresis = std::atof(value.c_str());
    if (key == "alarm_rise_window_h") limits.RiseWindowHours = std::max(1, std::atoi(value.c_str()));
  }
  return limits;
}

void THistoryStore::SaveLimits(const TAlarmLimits& limits) {
  TSqliteTransaction t(FDb);
  FDb.Exec("DELETE FROM alarm_limits");
  TSqliteStatement s(FDb, "INSERT INTO alarm_limits(plant, upper, rise) VALUES(?1,?2,?3)");
  const auto put = [&](std::int64_t plant, const TAlarmLimit& l) {
    if (!l.Upper && !l.RisePerDay) return;
    s.Bind(1, plant);
    if (l.Upper) s.Bind(2, *l.Upper); else s.BindNull(2);
    if (l.RisePerDay) s.Bind(3, *l.RisePerDay); else s.BindNull(3);
    s.Run();
  };
  put(0, limits.Line);
  for (const auto& [plant, l] : limits.Devices)
    if (plant != 0) put(plant, l);
  TSqliteStatement meta(FDb, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
  meta.Bind(1, std::string_view("alarm_hysteresis"))
      .Bind(2, std::to_string(limits.Hysteresis))
      .Run();
  meta.Bind(1, std::string_view("alarm_rise_window_h"))
      .Bind(2, std::to_string(limits.RiseWindowHours))
      .Run();
  meta.Bind(1, std::string_view("alarm_limits_version"))
      .Bind(2, std::to_string(LimitsVersion() + 1))
      .Run();
  t.Commit();
}

std::int64_t THistoryStore::LimitsVersion() {
  return FDb.QueryInt("SELECT CAST(value AS INTEGER) FROM meta WHERE key='alarm_limits_version'");
}

int THistoryStore::DeleteOlderThan(std::int64_t cutoffMs, int batch) {
  TSqliteTransaction t(FDb);
  int deleted = 0;
  TSqliteStatement plants(FDb, "SELECT plant FROM devices ORDER BY plant");
  std::vector<std::int64_t> list;
  while (plants.Step()) list.push_back(plants.Int(0));
  // Per device, the oldest rows first, through the table's own order.
  TSqliteStatement del(FDb,
                       "DELETE FROM readings WHERE plant=?1 AND time_ms < coalesce((SELECT "
                       "time_ms FROM readings WHERE plant=?1 AND time_ms < ?2 ORDER BY time_ms "
                       "LIMIT 1 OFFSET ?3), ?2)");
  TSqliteStatement stats(FDb, "DELETE FROM line_stats WHERE plant=?1 AND time_ms < ?2");
  for (std::int64_t plant : list) {
    if (deleted >= batch) break;
    del.Bind(1, plant).Bind(2, cutoffMs).Bind(3, std::int64_t{batch - deleted}).Run();
    deleted += FDb.Changes();
    stats.Bind(1, plant).Bind(2, cutoffMs).Run();
  }
  if (deleted < batch) {
    TSqliteStatement alarms(FDb,
                            "DELETE FROM alarms WHERE cleared_ms < ?1 AND ack_ms IS NOT NULL");
    alarms.Bind(1, cutoffMs).Run();
  }
  t.Commit();
  return deleted;
}

std::string THistoryStore::IntegrityCheck() {
  TSqliteStatement s(FDb, "PRAGMA integrity_check");
  return s.Step() ? s.Text(0) : "no answer";
}
