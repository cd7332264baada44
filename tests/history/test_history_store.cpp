// The history database: what a cycle leaves in it and how it reads back,
// the coding of the temperature words, migration, refusal of foreign and
// damaged files, export and retention.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "HistoryExport.h"
#include "HistoryStore.h"
#include "HistoryTestSupport.h"
#include "SessionTrendStore.h"

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      cells.push_back(cell);
      cell.clear();
    } else {
      cell += c;
    }
  }
  cells.push_back(cell);
  return cells;
}

}  // namespace

TEST(HistoryCoding, TemperatureWordsRoundTrip) {
  const std::vector<std::vector<std::uint16_t>> cases = {
      {},
      {0x0140},
      {0xDDDD, 0xAAAA, 0x55AA, 0x0000, 0xFFFF, 0x8000, 0x7FFF, 0x0141, 0x0139},
  };
  for (const auto& words : cases) {
    const auto coded = EncodeTemperatures(words);
    std::vector<std::uint16_t> back;
    ASSERT_TRUE(DecodeTemperatures(coded.data(), static_cast<int>(coded.size()), back));
    EXPECT_EQ(back, words);
    for (std::size_t i = 0; i < words.size(); ++i)
      EXPECT_EQ(DecodeTemperature(coded.data(), static_cast<int>(coded.size()),
                                  static_cast<int>(i) + 1),
                words[i]);
    EXPECT_FALSE(DecodeTemperature(coded.data(), static_cast<int>(coded.size()),
                                   static_cast<int>(words.size()) + 1));
  }
  // Similar neighbours cost a byte each.
  std::vector<std::uint16_t> bunker;
  for (int i = 0; i < 32; ++i) bunker.push_back(static_cast<std::uint16_t>(320 + (i % 5) - 2));
  EXPECT_LE(EncodeTemperatures(bunker).size(), 34u);
  const std::uint8_t broken[] = {0x80, 0x80, 0x80, 0x01};
  std::vector<std::uint16_t> words;
  EXPECT_FALSE(DecodeTemperatures(broken, 4, words));
}

TEST(HistoryStore, RecordsBothProtocolsFailuresAndMarksAsTheyWere) {
  TTempFolder dir;
  THistoryStore store(dir.File("h.db"));
  struct TCase {
    std::uint8_t Protocol;
    bool LevelOk, TempsOk;
  };
  const TCase cases[] = {{0, true, true}, {0, false, true}, {0, true, false},
                         {0, false, false}, {1, true, true}, {1, false, false}};
  std::int64_t t = 1'700'000'000'000;
  for (const TCase& c : cases) {
    TDeviceReading r = HealthyReading(77, 8, 21.5, c.Protocol);
    r.Temperatures[2] = kNoDataTemperature;
    r.Temperatures[3] = kFaultTemperatureA;
    r.Temperatures[4] = kFaultTemperatureB;
    if (c.Protocol == 0)
      SetPollOutcomes(r, 0,
                      {{"Чтение уровня", c.LevelOk ? "Операция завершена успешно" : "Таймаут", c.LevelOk},
                       {"Чтение температуры", c.TempsOk ? "Операция завершена успешно" : "Ошибка CRC",
                        c.TempsOk}});
    else
      SetPollOutcomes(r, 1, {{"Чтение данных", c.LevelOk ? "Операция завершена успешно" : "Таймаут",
                              c.LevelOk}});
    if (!c.TempsOk) r.TemperatureState |= kStateFailed;
    TDeviceReading unread = HealthyReading(78, 4, 10);
    unread.Read = false;  // listed, not read in this snapshot: not recorded
    store.WriteCycle(*Cycle(t, 5, {r, unread}, c.Protocol), {}, {});
    const auto back = store.Readings(77, t, t);
    ASSERT_EQ(back.size(), 1u);
    const THistoryReading& h = back[0];
    EXPECT_EQ(h.Protocol, c.Protocol);
    EXPECT_EQ(h.Ok, c.LevelOk && c.TempsOk);
    EXPECT_EQ(h.LevelConfirmed, c.LevelOk);
    EXPECT_EQ(h.Level.has_value(), c.LevelOk);
    if (c.LevelOk) {
      EXPECT_EQ(*h.LevelCode, 1234);
    }
    EXPECT_EQ(h.TemperaturesConfirmed, c.TempsOk);
    // A failed read is recorded as a failure, never with values.
    EXPECT_EQ(h.Temperatures, c.TempsOk ? r.Temperatures : std::vector<std::uint16_t>{});
    EXPECT_EQ(h.TemperatureState, r.TemperatureState);
    ASSERT_EQ(h.Outcomes.size(), r.Outcomes.size());
    for (std::size_t i = 0; i < h.Outcomes.size(); ++i) {
      EXPECT_EQ(h.Outcomes[i].Result, r.Outcomes[i].Result);
      EXPECT_EQ(h.Outcomes[i].Ok, r.Outcomes[i].Ok);
    }
    t += 60'000;
  }
  EXPECT_TRUE(store.Readings(78, 0, t).empty());
  EXPECT_EQ(store.Devices().size(), 1u);
  EXPECT_EQ(store.IntegrityCheck(), "ok");
}

TEST(HistoryStore, TrendMatchesTheSessionStoreOverTheSameReadings) {
  TTempFolder dir;
  THistoryStore store(dir.File("h.db"));
  TSessionTrendStore session;
  std::int64_t t = 1'700'000'000'000;
  for (int i = 0; i < 300; ++i, t += 10'000) {
    TDeviceReading r = HealthyReading(5, 4, 20 + std::sin(i / 10.0) * 5);
    if (i % 37 == 0) SetPollOutcomes(r, 0, {{"a", "ok", true}, {"b", "Таймаут", false}});
    if (i % 41 == 0) r.Temperatures[1] = kFaultTemperatureA;
    const auto s = Cycle(t, i < 150 ? static_cast<std::uint64_t>(i + 1) : static_cast<std::uint64_t>(i - 149), {r});
    store.WriteCycle(*s, {}, {});
    session.Add(*s);
  }
  for (int columns : {0, 50}) {
    TTrendQuery q{5, {kLevelSeries, 1, 2, 4}, t - 2'000'000, t - 500'000, columns};
    const TTrendResult a = store.Trend(q), b = session.Run(q);
    ASSERT_EQ(a.Series.size(), b.Series.size());
    EXPECT_EQ(a.LastMs, b.LastMs);
    for (std::size_t s = 0; s < a.Series.size(); ++s) {
      ASSERT_EQ(a.Series[s].Points.size(), b.Series[s].Points.size()) << "series " << s;
      for (std::size_t p = 0; p < a.Series[s].Points.size(); ++p) {
        EXPECT_EQ(a.Series[s].Points[p].TimeMs, b.Series[s].Points[p].TimeMs);
        const double x = a.Series[s].Points[p].Value, y = b.Series[s].Points[p].Value;
        EXPECT_TRUE((std::isnan(x) && std::isnan(y)) || x == y);
      }
    }
  }
}

TEST(HistoryStore, MigratesASchemaOneFileForward) {
  TTempFolder dir;
  const std::string path = dir.File("old.db");
  {
    // A database as the first version of the program wrote it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* sql = R"(
      PRAGMA application_id=1279872311; PRAGMA user_version=1;
      CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
      CREATE TABLE devices(plant INTEGER PRIMARY KEY, name TEXT NOT NULL,
        address INTEGER NOT NULL, sensors INTEGER NOT NULL);
      CREATE TABLE texts(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);
      CREATE TABLE readings(plant INTEGER NOT NULL, time_ms INTEGER NOT NULL,
        address INTEGER NOT NULL, flags INTEGER NOT NULL, outcome INTEGER NOT NULL,
        level_code INTEGER, level INTEGER, level_state INTEGER NOT NULL,
        temp_state INTEGER NOT NULL, temps BLOB, PRIMARY KEY(plant, time_ms)) WITHOUT ROWID;
      INSERT INTO devices VALUES(12, 'Старый', 3, 2);
      INSERT INTO texts VALUES(1, 'Чтение данных' || char(31) || 'Операция завершена успешно' || char(31) || '1');
      INSERT INTO readings VALUES(12, 1600000000000, 3, 23, 1, 0, 40, 0, 0, x'800502');)";
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  THistoryStore store(path);
  EXPECT_EQ(store.SchemaVersion(), kHistorySchemaVersion);
  const auto readings = store.Readings(12, 0, 2'000'000'000'000);
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(readings[0].Temperatures, (std::vector<std::uint16_t>{0x0140, 0x0141}));
  EXPECT_EQ(readings[0].Protocol, 1);
  // What schema 2 added works on the migrated file.
  TAlarmLimits limits;
  limits.Line.Upper = 30;
  store.SaveLimits(limits);
  EXPECT_EQ(store.LoadLimits(), limits);
  EXPECT_EQ(store.UnacknowledgedCount(), 0);
}

// Connections that open one new (or old-schema) file at the same moment
// (a gateway's recorder and publisher, the window and lim07ctl) all get it.
TEST(HistoryStore, OpenersRacingOnANewFileAllSucceed) {
  TTempFolder folder;
  for (int round = 0; round < 10; ++round) {
    const std::string path = folder.File("race" + std::to_string(round) + ".db");
    std::atomic<int> opened{0};
    std::vector<std::thread> openers;
    for (int i = 0; i < 4; ++i)
      openers.emplace_back([&] {
        try {
          THistoryStore store(path);
          if (store.SchemaVersion() == kHistorySchemaVersion) ++opened;
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
        }
      });
    for (auto& t : openers) t.join();
    EXPECT_EQ(opened, 4);
  }
}

TEST(HistoryStore, RefusesFilesThatAreNotOursOrDamagedAndLeavesThemAlone) {
  TTempFolder dir;
  const std::string text = dir.File("notes.txt"), other = dir.File("other.db"),
                    damaged = dir.File("damaged.db"), newer = dir.File("newer.db");
  std::ofstream(text) << "Список приборов\n";
  {
    sqlite3* db = nullptr;
    sqlite3_open(other.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    THistoryStore ours(damaged);
    ours.WriteCycle(*Cycle(1'700'000'000'000, 1, {HealthyReading(1, 32, 20)}), {}, {});
    THistoryStore(newer).Db().Exec("PRAGMA user_version=99");
  }
  {
    // Damage: the schema page overwritten in the middle.
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(120);
    const std::string junk(300, '\x5A');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  for (const std::string& path : {text, other, damaged, newer}) {
    const std::string before = FileBytes(path);
    bool refused = false;
    try {
      THistoryStore store(path);
      store.WriteCycle(*Cycle(1'800'000'000'000, 1, {HealthyReading(1, 32, 20)}), {}, {});
    } catch (const EHistoryRefused& e) {
      refused = true;
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    } catch (const ESqlite& e) {
      refused = e.IsDamaged();
    }
    EXPECT_TRUE(refused) << path;
    EXPECT_EQ(FileBytes(path), before) << path;
  }
}

TEST(HistoryStore, ExportedCsvReadsBackAsRecorded) {
  TTempFolder dir;
  THistoryStore store(dir.File("h.db"));
  std::int64_t t = 1'700'000'000'000;
  std::vector<TDeviceReading> written;
  for (int i = 0; i < 20; ++i, t += 60'000) {
    TDeviceReading a = HealthyReading(10, 32, -3.25 + i);
    a.Name = "Силос \"А\", 1";
    a.Temperatures[7] = kFaultTemperatureB;
    a.Temperatures[8] = kNoDataTemperature;
    TDeviceReading b = HealthyReading(11, 8, 15);
    if (i % 3 == 0) SetPollOutcomes(b, 0, {{"a", "Таймаут", false}, {"b", "Таймаут", false}});
    store.WriteCycle(*Cycle(t, i + 1, {a, b}), {}, {});
  }
  const std::string csv = dir.File("out.csv");
  EXPECT_EQ(ExportHistoryCsvFile(store, {t - 10 * 60'000, t, {}}, csv), 20);
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ASSERT_EQ(line, HistoryCsvHeader(32));
  int rows = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto cells = SplitCsv(line);
    ASSERT_EQ(cells.size(), 10u + 32u);
    const std::int64_t time = std::stoll(cells[1]);
    const std::uint16_t plant = static_cast<std::uint16_t>(std::stoi(cells[2]));
    const auto recorded = store.Readings(plant, time, time);
    ASSERT_EQ(recorded.size(), 1u);
    const THistoryReading& r = recorded[0];
    EXPECT_EQ(cells[0], UtcTimeText(time));
    std::int64_t parsed = 0;
    ASSERT_TRUE(ParseTimeText(cells[0].substr(0, 19) + "Z", parsed));
    EXPECT_EQ(parsed, time / 1000 * 1000);
    EXPECT_EQ(cells[4], plant == 10 ? "Силос \"А\", 1" : "Силос 11");
    EXPECT_EQ(cells[7], r.LevelCode ? std::to_string(*r.LevelCode) : "");
    EXPECT_EQ(cells[8], r.Level ? std::to_string(*r.Level) : "");
    for (int s = 0; s < 32; ++s) {
      const std::string& cell = cells[10 + static_cast<std::size_t>(s)];
      if (!r.TemperaturesConfirmed || s >= static_cast<int>(r.Temperatures.size())) {
        EXPECT_EQ(cell, "");
        continue;
      }
      const std::uint16_t w = r.Temperatures[static_cast<std::size_t>(s)];
      if (w == kNoDataTemperature)
        EXPECT_EQ(cell, "");
      else if (w == kFaultTemperatureA || w == kFaultTemperatureB)
        EXPECT_EQ(cell, "****");
      else
        EXPECT_EQ(std::lround(std::stod(cell) * 16), static_cast<std::int16_t>(w));
    }
    ++rows;
  }
  EXPECT_EQ(rows, 20);
  // Stopped midway: nothing is left behind, an older file stays.
  EXPECT_LT(ExportHistoryCsvFile(store, {0, t, {}}, csv, [](std::int64_t) { return false; }), 1);
  EXPECT_FALSE(std::filesystem::exists(csv + ".part"));
  EXPECT_TRUE(std::filesystem::exists(csv));
}

TEST(HistoryStore, RetentionDeletesOldReadingsInBatches) {
  TTempFolder dir;
  THistoryStore store(dir.File("h.db"));
  const std::int64_t day = 86'400'000;
  const std::int64_t now = 1'700'000'000'000;
  for (int d = 0; d < 40; ++d)
    store.WriteCycle(*Cycle(now - d * day, 2, {HealthyReading(1, 4, 20), HealthyReading(2, 4, 20)}),
                     {}, {});
  int batches = 0;
  while (store.DeleteOlderThan(now - 30 * day + 1, 7) > 0) ++batches;
  EXPECT_EQ(batches, 3);  // 20 old readings, 7 a batch
  EXPECT_EQ(store.ReadingCount(), 60);
  EXPECT_EQ(store.Readings(1, 0, now - 30 * day).size(), 0u);
  EXPECT_EQ(store.Readings(1, now - 29 * day, now).size(), 30u);
}

TEST(HistoryTime, ParsesTheFormsTheCommandLineTakes) {
  std::int64_t ms = 0;
  ASSERT_TRUE(ParseTimeText("2024-05-17T10:31:02Z", ms));
  EXPECT_EQ(UtcTimeText(ms), "2024-05-17T10:31:02.000Z");
  ASSERT_TRUE(ParseTimeText("2024-05-17 10:31Z", ms));
  EXPECT_EQ(UtcTimeText(ms), "2024-05-17T10:31:00.000Z");
  ASSERT_TRUE(ParseTimeText("2024-05-17Z", ms));
  EXPECT_EQ(UtcTimeText(ms), "2024-05-17T00:00:00.000Z");
  EXPECT_TRUE(ParseTimeText("2024-05-17", ms));
  for (const char* bad : {"", "yesterday", "2024-13-01", "2024-05-17T25:00", "2024-05-17x"})
    EXPECT_FALSE(ParseTimeText(bad, ms)) << bad;
}
