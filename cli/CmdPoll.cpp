// poll: the window's polling thread (TRequestThread) with the console as its
// data table: one table (or JSON line) per cycle, CSV rows appended to a file.
#include <sys/stat.h>

#include <fstream>
#include <ostream>

#include "Commands.h"
#include "DataOutput.h"
#include "Format.h"
#include "RequestThread.h"

namespace {

// The window's lower bound of the period: 200 ms a device, at least 200.
std::uint32_t MinimumPeriod(int devices) {
  return devices < 2 ? 200u : 200u * static_cast<std::uint32_t>(devices);
}

}  // namespace

int CmdPoll(TSession& session) {
  const TCliOptions& o = session.Options();
  TConsole& console = session.Console();
  TDeviceList& devices = session.Devices();

  std::ofstream csv;
  bool csvHeader = false;
  if (!o.Csv.empty()) {
    struct stat st {};
    csvHeader = ::stat(o.Csv.c_str(), &st) != 0 || st.st_size == 0;
    csv.open(o.Csv, std::ios::app | std::ios::binary);
    if (!csv) throw ECliError(ecWrite, "cannot open " + o.Csv + " for appending");
  }

  session.OpenPort();
  session.IdentifyNew();

  const std::uint32_t minimum = MinimumPeriod(devices.Count());
  std::uint32_t period = o.Period.value_or(minimum);
  if (period < minimum) {
    console.Err << "note: period raised to " << minimum << " ms (200 ms a device)\n";
    period = minimum;
  }
  if (csvHeader) {
    csv << CsvHeader(WidestSensorCount(devices)) << '\n' << std::flush;
    if (!csv) throw ECliError(ecWrite, "cannot write " + o.Csv);
  }

  TRequestThread thread(&session.Host());
  thread.SetPeriod(period);
  int cycles = 0;
  bool csvFailed = false;
  // Runs on the polling thread after each complete cycle, under the console
  // lock, while the thread waits (as the window's data-table refresh).
  session.Host().OnRefresh = [&] {
    ++cycles;
    const std::string time = Timestamp();
    if (o.Json) {
      std::string line = "{\"cycle\":" + std::to_string(cycles) + ",\"time\":" + JsonString(time) +
                         ",\"devices\":[";
      for (int i = 0; i < devices.Count(); ++i)
        line += (i ? "," : "") + DeviceDataJson(*devices[i]);
      console.Out << line << "]}\n";
    } else {
      console.Out << "Cycle " << cycles << "  " << time << '\n' << DataTableText(devices) << '\n';
    }
    console.Out.flush();
    if (csv.is_open() && !csvFailed) {
      for (int i = 0; i < devices.Count(); ++i) csv << CsvRow(time, *devices[i]) << '\n';
      csv.flush();
      if (!csv) {
        csvFailed = true;
        thread.Terminate();
      }
    }
    if (o.Cycles && cycles >= *o.Cycles) thread.Terminate();
  };
  const bool interrupted = session.RunWorker(thread);
  session.Host().OnRefresh = nullptr;

  if (csvFailed) throw ECliError(ecWrite, "cannot write " + o.Csv + "; polling stopped");
  if (interrupted) console.Err << "Polling stopped after " << cycles << " cycle(s)\n";
  for (int i = 0; i < devices.Count(); ++i)
    if (!DataReadOk(*devices[i])) return ecUnconfirmed;
  return ecOk;
}
