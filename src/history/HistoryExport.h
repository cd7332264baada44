// The history as text: readings of a time range as CSV (the window's
// "Экспорт истории…", lim07ctl history export, the support bundle) and the
// alarms as a table or JSON. Plain C++, no Qt.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "Alarms.h"
#include "HistoryStore.h"

struct THistoryExportRange {
  std::int64_t FromMs = 0;
  std::int64_t ToMs = 0;
  std::vector<std::uint16_t> Plants;  // empty: every device in the database
};

// The header: time_utc,time_ms,plant,address,name,protocol,result,level_code,
// level_dm,state,t1..tN. Temperatures in degC with up to 4 decimals (exact),
// "****" for a fault mark, empty for no data and for a failed read; level
// code and level empty when the level read failed; result is the text of
// the first request that failed, else the success text.
std::string HistoryCsvHeader(int sensors);

// Writes the readings of the range, device by device in time order. Calls
// `progress` with the readings written so far after the first and every 1024; when it
// returns false the export stops (the return value is then negative).
// Returns the readings written.
std::int64_t ExportHistoryCsv(THistoryStore& store, const THistoryExportRange& range,
                              std::ostream& out,
                              const std::function<bool(std::int64_t)>& progress = nullptr);
// The same into a file, written atomically (a temporary file renamed over
// `path`; nothing is left behind when it fails or is stopped). Raises
// std::runtime_error with the reason when the file cannot be written.
std::int64_t ExportHistoryCsvFile(THistoryStore& store, const THistoryExportRange& range,
                                  const std::string& path,
                                  const std::function<bool(std::int64_t)>& progress = nullptr);

// "2024-05-17T10:31:02.153Z".
std::string UtcTimeText(std::int64_t ms);
// Local time "17.05.2024 13:31:02".
std::string LocalTimeText(std::int64_t ms);
// "2024-05-17", "2024-05-17 13:31", "2024-05-17T13:31:02" (local time),
// with a trailing "Z" UTC; "now". False when the text is none of these.
bool ParseTimeText(const std::string& text, std::int64_t& ms);

// An alarm's value as text: "31.50 °C" or "2.4 °C/сут".
std::string AlarmValueText(TAlarmKind kind, double value);
// The alarms as an aligned table (one a line, newest first).
std::string AlarmsTable(const std::vector<TAlarm>& alarms);
std::string AlarmsJson(const std::vector<TAlarm>& alarms);
