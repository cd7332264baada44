// The history database: one SQLite file holding the readings of every
// polled device over time, the line statistics, the alarms and their
// limits. One THistoryStore is one connection, used by one thread at a time:
// the recorder writes through its own, the trend view and the exports read
// through theirs. Plain C++, no Qt.
//
// The file carries its application id and schema version; an older schema
// is migrated forward on open, never dropped. A file that is not ours (an
// other program's database, or not a database at all) or that is damaged is
// refused with EHistoryRefused and left untouched.
//
// Space: a device-reading is one row of a table clustered by plant number
// and time, the temperature words delta-coded (a 32-sensor reading takes
// about 35 bytes of them), the request results one small number.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Alarms.h"
#include "LineSnapshot.h"
#include "Sqlite.h"
#include "TrendSource.h"

constexpr int kHistorySchemaVersion = 3;
constexpr std::int64_t kHistoryApplicationId = 0x4C494D37;  // "LIM7"

// The file cannot be used as a history database: not ours, damaged, or a
// schema newer than this program knows. The message says which, in Russian.
class EHistoryRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One recorded device-reading, as read back.
struct THistoryReading {
  std::int64_t TimeMs = 0;
  std::uint16_t PlantNumber = 0;
  std::uint8_t SystemAddress = 0;
  std::uint8_t Protocol = 0;
  bool FirstOfRun = false;  // the first cycle of a polling run
  bool LevelConfirmed = false;
  bool TemperaturesConfirmed = false;
  bool Ok = false;  // every request of the read succeeded
  std::vector<TRequestOutcome> Outcomes;
  std::optional<std::uint16_t> LevelCode, Level;  // unset when the level read failed
  std::uint16_t LevelState = 0, TemperatureState = 0;
  std::vector<std::uint16_t> Temperatures;  // raw words; empty when the read failed
};

struct THistoryDevice {
  std::uint16_t PlantNumber = 0;
  std::string Name;
  std::uint8_t SystemAddress = 0;
  int SensorCount = 0;
  std::int64_t LastMs = 0;
};

// Per device since the last recorded cycle: what the line statistics add.
struct TLineStatsSample {
  std::uint16_t PlantNumber = 0;
  std::uint8_t SystemAddress = 0;
  std::uint64_t Requests = 0;
  std::uint64_t Successes = 0;
  std::uint64_t Responses = 0;
  double TotalResponseMs = 0;
  double WorstResponseMs = 0;
};

struct TAlarmFilter {
  bool ActiveOnly = false;
  bool UnacknowledgedOnly = false;
  // Raised, ended or acknowledged since then; active and unacknowledged
  // alarms always.
  std::int64_t SinceMs = 0;
  std::optional<std::uint16_t> PlantNumber;
  int Limit = 10000;  // newest first
};

// The requests of a reading and their results as one text (kept once in the
// texts table), and back.
std::string PackOutcomes(const std::vector<TRequestOutcome>& outcomes);
std::vector<TRequestOutcome> UnpackOutcomes(const std::string& packed);

// Delta coding of temperature words (each the difference to the word
// before it, zig-zag, as a variable-length number).
std::vector<std::uint8_t> EncodeTemperatures(const std::vector<std::uint16_t>& words);
// False when the bytes are not such a coding.
bool DecodeTemperatures(const std::uint8_t* data, int size, std::vector<std::uint16_t>& words);
// The word of one sensor (1-based); nullopt when there is no such sensor.
std::optional<std::uint16_t> DecodeTemperature(const std::uint8_t* data, int size, int sensor);

class THistoryStore {
 public:
  // Opens (creating when missing or empty, unless readOnly) and migrates.
  // Raises EHistoryRefused for a file that is not ours or is damaged, and
  // ESqlite when it cannot be opened at all (no such folder, no access).
  THistoryStore(const std::string& path, bool readOnly = false, int busyTimeoutMs = 5000);
  ~THistoryStore();

  const std::string& Path() const { return FDb.Path(); }
  TSqliteDb& Db() { return FDb; }
  int SchemaVersion();

  // Records one cycle in one transaction: every device the snapshot read
  // (failed reads as failures, never as values), the line statistics and
  // the alarm changes. Raises ESqlite; nothing of the cycle is kept then.
  void WriteCycle(const TLineSnapshot& snapshot, const std::vector<TLineStatsSample>& stats,
                  const std::vector<TAlarmChange>& alarms);

  // Readings of one device in [fromMs, toMs], in time order.
  std::vector<THistoryReading> Readings(std::uint16_t plant, std::int64_t fromMs,
                                        std::int64_t toMs);
  // Walks the readings of the given devices (all when empty) in [fromMs,
  // toMs], device by device in time order; `visit` returns false to stop.
  // Returns false when stopped.
  bool ForEachReading(const std::vector<std::uint16_t>& plants, std::int64_t fromMs,
                      std::int64_t toMs, const std::function<bool(const THistoryReading&)>& visit);
  std::int64_t ReadingCount();
  std::vector<THistoryDevice> Devices();

  // A trend of one device, reduced as the query asks (see ITrendSource).
  TTrendResult Trend(const TTrendQuery& query);

  // Alarms, newest first.
  std::vector<TAlarm> Alarms(const TAlarmFilter& filter = {});
  int UnacknowledgedCount();
  // Acknowledges the alarms (those not yet acknowledged); returns how many.
  int Acknowledge(const std::vector<std::int64_t>& ids, std::int64_t nowMs, const std::string& by);
  TAlarmLimits LoadLimits();
  void SaveLimits(const TAlarmLimits& limits);
  // Changes with every SaveLimits, whoever saved: a recorder that sees it
  // change takes the limits again (set from another program meanwhile).
  std::int64_t LimitsVersion();

  // Deletes at most `batch` readings (and line statistics) older than
  // cutoffMs in one transaction; returns how many went (0: nothing left).
  int DeleteOlderThan(std::int64_t cutoffMs, int batch = 5000);

  // PRAGMA integrity_check: "ok" or the first problem.
  std::string IntegrityCheck();

 private:
  friend class THistoryOutbox;
  void Initialise();
  void Migrate(int from);
  std::int64_t TextId(const std::string& text);
  std::string OutcomeText(std::int64_t id);
  THistoryReading ReadRow(TSqliteStatement& s);

  TSqliteDb FDb;
  bool FReadOnly;
  std::map<std::string, std::int64_t> FTextIds;
  std::map<std::int64_t, std::string> FTexts;
  std::map<std::uint16_t, THistoryDevice> FDeviceCache;
};

// The database file used when none is chosen: $XDG_DATA_HOME/lim07/history.db
// (~/.local/share/lim07/history.db). LIM07_HISTORY names another file;
// ":temporary:" gives each process a fresh file in a folder of its own,
// removed when the process ends (the tests), "off" none at all (empty).
std::string DefaultHistoryPath();
// Creates the folders above a database file; false when it cannot.
bool EnsureParentFolder(const std::string& path);
