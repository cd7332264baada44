// history export / history alarms, and the recording of poll: the history
// database seen from the command line.
#include <sys/stat.h>

#include <ostream>

#include "Commands.h"
#include "HistoryExport.h"
#include "HistoryStore.h"

namespace {

std::string DatabasePath(const TCliOptions& o) {
  const std::string path = o.Db.empty() ? DefaultHistoryPath() : o.Db;
  if (path.empty()) throw EUsage("no history database: name one with --db", o.Command);
  return path;
}

THistoryStore OpenForReading(const TCliOptions& o) {
  const std::string path = DatabasePath(o);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw EUsage("no history database at " + path + " (lim07ctl poll records one)", o.Command);
  try {
    return THistoryStore(path, true);
  } catch (const EHistoryRefused& e) {
    throw EUsage(e.what(), o.Command);
  } catch (const ESqlite& e) {
    throw ECliError(ecUsage, "cannot read " + path + ": " + e.what());
  }
}

}  // namespace

int CmdHistoryExport(const TCliOptions& o, TConsole& console) {
  if (!o.FromMs || !o.ToMs || o.Csv.empty())
    throw EUsage("history export needs --from, --to and --csv FILE", o.Command);
  if (*o.ToMs < *o.FromMs) throw EUsage("--to is before --from", o.Command);
  THistoryStore store = OpenForReading(o);
  THistoryExportRange range{*o.FromMs, *o.ToMs, {}};
  if (o.Plant) range.Plants.push_back(*o.Plant);
  std::int64_t rows = 0;
  try {
    rows = ExportHistoryCsvFile(store, range, o.Csv, [&](std::int64_t done) {
      console.Progress("export", done > 0 ? 50 : 0);
      return !InterruptRequested();
    });
  } catch (const ESqlite& e) {
    throw ECliError(ecUsage, "cannot read " + store.Path() + ": " + e.what());
  } catch (const std::runtime_error& e) {
    throw ECliError(ecWrite, e.what());
  }
  std::lock_guard lock(console.Mutex);
  console.EndProgress();
  if (rows < 0) {
    console.Err << "Export stopped; " << o.Csv << " was not written\n";
    return ecInterrupted;
  }
  console.Out << rows << " reading(s) written to " << o.Csv << '\n';
  return ecOk;
}

int CmdHistoryAlarms(const TCliOptions& o, TConsole& console) {
  THistoryStore store = OpenForReading(o);
  TAlarmFilter filter;
  filter.ActiveOnly = o.Active;
  filter.PlantNumber = o.Plant;
  filter.Limit = 100000;
  std::vector<TAlarm> alarms;
  try {
    alarms = store.Alarms(filter);
  } catch (const ESqlite& e) {
    throw ECliError(ecUsage, "cannot read " + store.Path() + ": " + e.what());
  }
  std::lock_guard lock(console.Mutex);
  if (o.Json) {
    console.Out << AlarmsJson(alarms);
  } else if (alarms.empty()) {
    console.Out << (o.Active ? "No active alarms\n" : "No alarms\n");
  } else {
    console.Out << AlarmsTable(alarms);
  }
  return ecOk;
}
