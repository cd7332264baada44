// poll: the window's polling thread (TRequestThread) with the console as its
// data table: one table (or JSON line) per cycle, CSV rows appended to a file.
#include <sys/stat.h>

#include <fstream>
#include <ostream>

#include "Commands.h"
#include "DataOutput.h"
#include "Format.h"
#include "HistoryRecorder.h"
#include "NativeRequests.h"
#include "Publisher.h"
#include "RequestThread.h"

namespace {

// The window's lower bound of the period: 200 ms a device, at least 200.
std::uint32_t MinimumPeriod(int devices) {
  return devices < 2 ? 200u : 200u * static_cast<std::uint32_t>(devices);
}

// A CSV log: a new file gets the header with the result column; rows are
// appended to an existing one in the layout its header names.
struct TCsvLog {
  std::ofstream File;
  bool NewFile = false;
  int Sensors = 0;        // sensor columns of the header
  bool HasResult = true;  // false: a file from before the result column
};

void OpenCsv(const TCliOptions& o, TCsvLog& log) {
  struct stat st {};
  log.NewFile = ::stat(o.Csv.c_str(), &st) != 0 || st.st_size == 0;
  if (!log.NewFile) {
    std::ifstream in(o.Csv, std::ios::binary);
    std::string header;
    std::getline(in, header);
    if (!header.empty() && header.back() == '\r') header.pop_back();
    if (!ParseCsvHeader(header, log.Sensors, log.HasResult))
      throw EUsage(o.Csv + " is not a CSV log of lim07ctl poll (its first line is not the header)",
                   o.Command);
  }
  log.File.open(o.Csv, std::ios::app | std::ios::binary);
  if (!log.File) throw ECliError(ecWrite, "cannot open " + o.Csv + " for appending");
}

// The history database poll records into: the one --db names, else the
// per-user one; none with --no-db. A file named by --db that cannot be a
// history database ends the run before polling; the per-user one only gets
// a warning (polling is what was asked for).
std::unique_ptr<THistoryRecorder> StartHistory(const TCliOptions& o, TConsole& console,
                                               TPublisher* publisher) {
  if (o.NoDb) return nullptr;
  THistoryOptions options;
  if (publisher)
    options.AlarmListener = [publisher](const std::vector<TAlarmChange>& changes) {
      publisher->SubmitAlarms(changes);
    };
  options.Path = o.Db.empty() ? DefaultHistoryPath() : o.Db;
  if (options.Path.empty()) return nullptr;
  options.IntervalMs = o.Interval ? *o.Interval * 1000LL : 60'000;
  auto recorder = std::make_unique<THistoryRecorder>(options);
  recorder->Flush();
  const THistoryStatus status = recorder->Status();
  if (status.State == THistoryState::Refused) {
    if (!o.Db.empty()) throw ECliError(ecUsage, status.Message + " (--no-db polls without it)");
    console.Err << "lim07ctl: history: " << status.Message << "; polling without recording\n";
    return nullptr;
  }
  if (status.State == THistoryState::Failing)
    console.Err << "lim07ctl: history: recording stopped: " << status.Message
                << " (polling goes on; tried again later)\n";
  return recorder;
}

// The line's name in topics and client ids: the configuration file's name
// without ".l07", else the port's name.
std::string LineName(const TCliOptions& o) {
  std::string name = !o.Config.empty() ? o.Config : !o.Port.empty() ? o.Port : "demo";
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".l07") == 0)
    name.resize(name.size() - 4);
  return name;
}

// The publisher of --mqtt: its settings from the file, the environment and
// the options, in that order. Bad settings end the run before polling
// (nothing is sent); a broker that cannot be reached does not.
std::unique_ptr<TPublisher> StartPublisher(const TCliOptions& o, TConsole& console) {
  if (o.Mqtt.empty() && o.MqttConfig.empty()) return nullptr;
  TPublisherOptions options;
  try {
    if (!o.MqttConfig.empty()) ReadMqttSettingsFile(options.Mqtt, o.MqttConfig);
    ReadMqttSettingsEnvironment(options.Mqtt);
    for (const auto& [key, value] : o.Mqtt) SetMqttSetting(options.Mqtt, key, value);
    options.LineName = LineName(o);
    CompleteMqttSettings(options.Mqtt, options.LineName);
  } catch (const EMqttSettings& e) {
    throw EUsage(std::string("MQTT: ") + e.what(), o.Command);
  }
  if (!o.NoDb) options.DatabasePath = o.Db.empty() ? DefaultHistoryPath() : o.Db;
  options.Log = [&console](const std::string& line) {
    std::lock_guard lock(console.Mutex);
    console.Err << "lim07ctl: " << line << '\n';
    console.Err.flush();
  };
  return std::make_unique<TPublisher>(std::move(options));
}

// At the end of a run: a few seconds for what is still on its way, then a
// summary of what could not be sent (it waits in the queue for the next run).
// True when readings were lost: an in-memory queue left unsent, or dropped.
bool FinishPublishing(TPublisher& publisher, TConsole& console) {
  publisher.Drain(std::chrono::seconds(3));
  const TPublisherStatus status = publisher.Status();
  std::lock_guard lock(console.Mutex);
  if (status.Queued > 0)
    console.Err << "lim07ctl: mqtt: " << status.Queued << " message(s) not yet delivered"
                << (status.Persistent ? ": kept in the queue, sent at the next start\n"
                                      : " and lost (the queue was in memory only)\n");
  if (status.Dropped > 0)
    console.Err << "lim07ctl: mqtt: " << status.Dropped << " message(s) dropped (queue bound)\n";
  return (status.Queued > 0 && !status.Persistent) || status.Dropped > 0;
}

// The devices' records and, where a device answers with the record's plant
// number, its versions: the meta messages.
std::vector<TDeviceMeta> DeviceMeta(TSession& session) {
  std::vector<TDeviceMeta> meta;
  TDeviceList& devices = session.Devices();
  for (int i = 0; i < devices.Count() && !InterruptRequested(); ++i) {
    TDevice* d = devices[i];
    TDeviceMeta m;
    m.PlantNumber = d->PlantNumber();
    m.SystemAddress = d->SystemAddress();
    m.Name = d->Name();
    m.Note = d->Note();
    m.SensorCount = d->SensorCount();
    m.CalibrationCode1 = d->CalibrationCode1;
    m.CalibrationCode2 = d->CalibrationCode2;
    m.UnmeasurableLevel = d->UnmeasurableLevel;
    m.CalibrationLevel2 = d->CalibrationLevel2;
    m.AveragingCoefficient = d->AveragingCoefficient();
    // Asked on a copy of the record: the identification sets fields of the
    // record it is given, and the polled record stays as loaded.
    std::uint8_t record[kDeviceRecordSize];
    d->WriteRecord(record);
    TDevice probe;
    probe.ReadRecord(record);
    TReadIdentificationTransaction id(&session.Port(), session.Protocol());
    if (id.Execute(&probe) && id.PlantNumber() == d->PlantNumber()) {
      m.HardwareVersion = id.HardwareVersion();
      m.SoftwareVersion = id.SoftwareVersion();
    }
    meta.push_back(std::move(m));
  }
  return meta;
}

}  // namespace

int CmdPoll(TSession& session) {
  const TCliOptions& o = session.Options();
  TConsole& console = session.Console();
  TDeviceList& devices = session.Devices();

  TCsvLog csv;
  if (!o.Csv.empty()) OpenCsv(o, csv);

  const std::unique_ptr<TPublisher> publisher = StartPublisher(o, console);
  const std::unique_ptr<THistoryRecorder> history = StartHistory(o, console, publisher.get());
  session.OpenPort();
  const bool identified = session.IdentifyNew();
  if (publisher) publisher->SetMeta(DeviceMeta(session), static_cast<int>(session.Protocol()));
  THistoryState historyState = THistoryState::Recording;
  if (history) {
    historyState = history->Status().State;
    session.Statistics().SetListener([rec = history.get()](const TExchangeOutcome& x) {
      rec->RecordExchange(x.PlantNumber, static_cast<std::uint8_t>(x.Address), x.Ok, x.ResponseUs);
    });
  }

  const std::uint32_t minimum = MinimumPeriod(devices.Count());
  std::uint32_t period = o.Period.value_or(minimum);
  if (period < minimum) {
    console.Err << "note: period raised to " << minimum << " ms (200 ms a device)\n";
    period = minimum;
  }
  if (csv.File.is_open()) {
    const int widest = WidestSensorCount(devices);
    if (csv.NewFile) {
      csv.Sensors = widest;
      csv.File << CsvHeader(widest) << '\n' << std::flush;
      if (!csv.File) throw ECliError(ecWrite, "cannot write " + o.Csv);
    } else if (!csv.HasResult) {
      console.Err << "note: " << o.Csv
                  << " has no result column (an older log): failed reads show only as empty "
                     "cells there; start a new file to log each read's result\n";
    } else if (widest > csv.Sensors) {
      throw EUsage(o.Csv + " has columns for " + std::to_string(csv.Sensors) +
                       " sensors, the devices have up to " + std::to_string(widest) +
                       ": log into a new file",
                   o.Command);
    }
  }

  TRequestThread thread(&session.Host());
  thread.SetPeriod(period);
  int cycles = 0;
  bool csvFailed = false;
  // Per device: cycles whose read failed, and the last failure.
  std::vector<int> failed(static_cast<std::size_t>(devices.Count()), 0);
  std::vector<std::string> lastFailure(failed.size());
  // Runs on the polling thread after each complete cycle, under the console
  // lock, while the thread waits (as the window's data-table refresh).
  session.Host().OnRefresh = [&] {
    ++cycles;
    const std::string time = Timestamp();
    std::shared_ptr<const TLineSnapshot> snapshot;
    if (history || publisher)
      snapshot = std::make_shared<TLineSnapshot>(
          TakeLineSnapshot(devices, static_cast<std::uint8_t>(session.Protocol()), UtcNowMs(),
                           static_cast<std::uint64_t>(cycles)));
    if (publisher) publisher->Submit(snapshot);
    if (history) {
      history->Submit(snapshot);
      // A change of the recording's state is told once, on stderr.
      const THistoryStatus status = history->Status();
      if (status.State != historyState) {
        historyState = status.State;
        if (status.State == THistoryState::Recording)
          console.Err << "lim07ctl: history: recording resumed in " << status.Path << '\n';
        else
          console.Err << "lim07ctl: history: recording stopped: " << status.Message
                      << " (polling goes on)\n";
      }
    }
    for (int i = 0; i < devices.Count() && i < static_cast<int>(failed.size()); ++i) {
      if (DataReadOk(*devices[i])) continue;
      ++failed[static_cast<std::size_t>(i)];
      lastFailure[static_cast<std::size_t>(i)] = DataReadResult(*devices[i]);
    }
    if (o.Quiet) {
      // nothing a cycle
    } else if (o.Json) {
      std::string line = "{\"cycle\":" + std::to_string(cycles) + ",\"time\":" + JsonString(time) +
                         ",\"devices\":[";
      for (int i = 0; i < devices.Count(); ++i)
        line += (i ? "," : "") + DeviceDataJson(*devices[i]);
      console.Out << line << "]}\n";
    } else {
      console.Out << "Cycle " << cycles << "  " << time << '\n' << DataTableText(devices) << '\n';
    }
    console.Out.flush();
    if (csv.File.is_open() && !csvFailed) {
      for (int i = 0; i < devices.Count(); ++i)
        csv.File << (csv.HasResult ? CsvRow(time, *devices[i], csv.Sensors)
                                   : CsvRowWithoutResult(time, *devices[i]))
                 << '\n';
      csv.File.flush();
      if (!csv.File) {
        csvFailed = true;
        thread.Terminate();
      }
    }
    if (o.Cycles && cycles >= *o.Cycles) thread.Terminate();
  };
  bool interrupted = false;
  try {
    interrupted = session.RunWorker(thread);
  } catch (...) {
    session.Host().OnRefresh = nullptr;
    session.Statistics().SetListener(nullptr);
    throw;
  }
  session.Host().OnRefresh = nullptr;
  session.Statistics().SetListener(nullptr);
  // Readings that were taken but not kept (history) or not handed on (MQTT)
  // make the run end with the write-failure status, after the summaries.
  bool lost = false;
  if (history) {
    history->Flush();
    const THistoryStatus status = history->Status();
    if (status.State != THistoryState::Recording || status.LostCycles > 0)
      console.Err << "lim07ctl: history: " << status.LostCycles << " cycle(s) not recorded in "
                  << status.Path << (status.Message.empty() ? "" : ": " + status.Message) << '\n';
    lost = status.LostCycles > 0;
  }

  if (publisher && FinishPublishing(*publisher, console)) lost = true;

  if (csvFailed) throw ECliError(ecWrite, "cannot write " + o.Csv + "; polling stopped");
  if (interrupted) console.Err << "Polling stopped after " << cycles << " cycle(s)\n";
  bool all = identified;
  for (std::size_t i = 0; i < failed.size(); ++i) {
    if (failed[i] == 0) continue;
    all = false;
    console.Err << "warning: " << devices[static_cast<int>(i)]->Name() << " ("
                << static_cast<int>(devices[static_cast<int>(i)]->SystemAddress())
                << "): read failed in " << failed[i] << " of " << cycles
                << " cycle(s), last: " << lastFailure[i] << '\n';
  }
  if (lost) return ecWrite;
  return all ? ecOk : ecUnconfirmed;
}
