// history export / history alarms, and the recording of poll: the history
// database seen from the command line.
#include <sys/stat.h>

#include <cstdio>
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

// The line's default alarm limits (the window's "Настройка → История…" sets
// the same ones). Without --upper and --rise it only prints them; a recorder
// that is polling meanwhile takes the new ones at its next cycle.
int CmdHistoryLimits(const TCliOptions& o, TConsole& console) {
  const bool change = o.UpperLimit || o.RiseLimit;
  const std::string path = DatabasePath(o);
  TAlarmLimits limits;
  const auto apply = [&](THistoryStore& store) {
    limits = store.LoadLimits();
    const auto value = [](const std::string& text) {
      return text == "off" ? std::optional<double>() : std::optional<double>(std::stod(text));
    };
    if (o.UpperLimit) limits.Line.Upper = value(*o.UpperLimit);
    if (o.RiseLimit) limits.Line.RisePerDay = value(*o.RiseLimit);
    if (change) store.SaveLimits(limits);
  };
  try {
    if (change) {
      if (!EnsureParentFolder(path))
        throw ECliError(ecWrite, "cannot create the folder of " + path);
      THistoryStore store(path, false);
      apply(store);
    } else {
      THistoryStore store = OpenForReading(o);
      apply(store);
    }
  } catch (const EHistoryRefused& e) {
    throw EUsage(e.what(), o.Command);
  } catch (const ESqlite& e) {
    throw ECliError(
        change ? ecWrite : ecUsage,
        std::string(change ? "cannot write " : "cannot read ") + path + ": " + e.what());
  }
  const auto text = [](const std::optional<double>& v, const char* unit) {
    if (!v) return std::string("off");
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g %s", *v, unit);
    return std::string(buffer);
  };
  std::lock_guard lock(console.Mutex);
  if (o.Json) {
    const auto number = [](const std::optional<double>& v) {
      if (!v) return std::string("null");
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", *v);
      return std::string(buffer);
    };
    console.Out << "{\"upper\":" << number(limits.Line.Upper)
                << ",\"rise_per_day\":" << number(limits.Line.RisePerDay)
                << ",\"devices_with_own_limits\":" << limits.Devices.size() << "}\n";
  } else {
    console.Out << "Upper limit:  " << text(limits.Line.Upper, "°C") << '\n'
                << "Rise limit:   " << text(limits.Line.RisePerDay, "°C a day") << '\n';
    if (!limits.Devices.empty())
      console.Out << limits.Devices.size() << " device(s) with limits of their own\n";
    if (change) console.Out << "Saved in " << path << '\n';
  }
  return ecOk;
}
