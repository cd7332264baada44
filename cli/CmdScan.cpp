// scan: the window's line scan threads (by addresses, or by plant numbers
// with consecutive addresses); the devices found are saved as a new
// configuration through the model's atomic save.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>

#include "Commands.h"
#include "Format.h"
#include "SearchThreads.h"

namespace {

// The folder of `path` must take a new file: checked before the line is
// scanned, so that a long scan does not end with nowhere to put its result.
void CheckWritable(const std::string& path, bool force, const std::string& command) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!force) throw EUsage(path + " exists; add --force to replace it", command);
    if (!S_ISREG(st.st_mode)) throw EUsage(path + " is not a file", command);
  }
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK) != 0 && ::access(path.c_str(), W_OK) != 0)
    throw ECliError(ecWrite, "cannot write into " + folder.string());
}

// The plant numbers a list names (the list is already checked).
std::vector<int> ListedPlants(const std::string& text) {
  std::vector<int> plants;
  int position = 1;
  while (position >= 1) {
    std::uint16_t low = 0, high = 0;
    position = NextPlantNumberRange(text, position, low, high);
    for (int n = low; n >= 1 && n <= high; ++n) plants.push_back(n);
  }
  return plants;
}

}  // namespace

int CmdScan(TSession& session) {
  const TCliOptions& o = session.Options();
  TConsole& console = session.Console();
  if (o.Out.empty()) throw EUsage("say where to save the devices found: --out FILE.l07", o.Command);
  if (o.Plants && session.Protocol() != dpLargis1)
    throw EUsage("the scan by plant numbers speaks the native protocol only", o.Command);
  CheckWritable(o.Out, o.Force, o.Command);
  session.OpenPort();

  TConsoleHost& host = session.Host();
  host.ProgressCaption = "Сканирование линии";
  host.OnDeviceAdded = [&](TDevice* d) {
    console.EndProgress();
    if (!o.Json)
      console.Err << "found " << d->Name() << " at address " << static_cast<int>(d->SystemAddress())
                  << '\n';
  };
  TScanOptions options;
  if (o.End) options.EndAddress = *o.End;
  options.Fast = o.Fast;
  std::unique_ptr<TWorkerThread> thread;
  const TScanReadsLog* reads = nullptr;  // the thread's devices not read completely
  std::vector<int> listed;
  std::size_t done = 0;  // plant numbers tried
  if (o.Plants) {
    listed = ListedPlants(*o.Plants);
    host.OnProgressDevice = [&, total = listed.size()](std::uint16_t plant, std::uint8_t next) {
      if (plant == 0) return;  // the end
      ++done;
      console.Progress(
          "Сканирование линии: " + std::to_string(plant) + ", next address " + std::to_string(next),
          total ? static_cast<int>(done * 100 / total) : 100);
    };
    auto search = std::make_unique<TSearch2Thread>(&host, o.Start, o.Reserve, *o.Plants, options);
    reads = search.get();
    thread = std::move(search);
  } else {
    auto search = std::make_unique<TSearchThread>(&host, o.Start, options);
    reads = search.get();
    thread = std::move(search);
  }
  bool interrupted = false;
  std::optional<ECliError> lost;  // the line went away: what was found is still saved
  try {
    interrupted = session.RunWorker(*thread);
  } catch (const ECliError& e) {
    lost = e;
  }
  const std::vector<std::uint16_t> incomplete = reads->IncompleteReads();
  thread.reset();
  host.OnDeviceAdded = nullptr;
  host.OnProgressDevice = nullptr;

  TDeviceList& found = session.Devices();
  // A device found whose settings could not all be read is saved (it is on
  // the line), but not counted as done: its record holds defaults there.
  const auto Incomplete = [&](const TDevice& d) {
    return std::find(incomplete.begin(), incomplete.end(), d.PlantNumber()) != incomplete.end();
  };
  const auto ScanResult = [&](const TDevice& d) -> std::string {
    return Incomplete(d) ? "found; its settings were not all read (check them with batch-read)"
                         : "found";
  };
  // What was found is saved also after Ctrl-C, and shown even when the save
  // fails, so that nothing of a long scan is lost.
  std::string saveError;
  try {
    session.SaveConfiguration(o.Out);
  } catch (const ECliError& e) {
    saveError = e.what();
  }
  if (o.Json) {
    console.Out << "{\"file\":" << JsonString(o.Out)
                << ",\"saved\":" << (saveError.empty() ? "true" : "false") << ",\"devices\":[";
    for (int i = 0; i < found.Count(); ++i) {
      const TDevice& d = *found[i];
      console.Out << (i ? "," : "") << "{\"name\":" << JsonString(d.Name())
                  << ",\"address\":" << static_cast<int>(d.SystemAddress())
                  << ",\"plant\":" << d.PlantNumber()
                  << ",\"sensors\":" << static_cast<int>(d.SensorCount())
                  << ",\"h1_dm\":" << d.UnmeasurableLevel
                  << ",\"ok\":" << (Incomplete(d) ? "false" : "true")
                  << ",\"result\":" << JsonString(ScanResult(d)) << "}";
    }
    console.Out << "]}\n";
  } else {
    TTextTable table({"Name", "Addr", "Зав. №", "Т. изм.", "НУ [дм]", "Result"},
                     {false, true, true, true, true, false});
    for (int i = 0; i < found.Count(); ++i) {
      const TDevice& d = *found[i];
      table.AddRow({d.Name(), std::to_string(d.SystemAddress()), std::to_string(d.PlantNumber()),
                    std::to_string(d.SensorCount()), std::to_string(d.UnmeasurableLevel),
                    ScanResult(d)});
    }
    console.Out << table.Text();
    if (saveError.empty())
      console.Out << "Saved " << found.Count() << " device(s) to " << o.Out << '\n';
  }
  if (lost) throw *lost;
  if (!saveError.empty()) throw ECliError(ecWrite, saveError);
  if (interrupted) return ecInterrupted;
  if (found.Count() == 0) return ecUnconfirmed;
  if (!incomplete.empty()) return ecUnconfirmed;
  if (o.Plants) {
    // Every listed plant number should have taken an address.
    bool all = true;
    for (int plant : listed) {
      bool there = false;
      for (int i = 0; i < found.Count(); ++i) there = there || found[i]->PlantNumber() == plant;
      if (!there) console.Err << "not found: plant number " << plant << '\n';
      all = all && there;
    }
    if (!all) return ecUnconfirmed;
  }
  return ecOk;
}
