// check, support-bundle and --stats: the diagnostics of a misbehaving line.
#include <fstream>
#include <ostream>
#include <sstream>

#include "Commands.h"
#include "LineCheck.h"
#include "RequestThread.h"
#include "HistoryStore.h"
#include "SupportBundle.h"

namespace {

// Runs the line check on the session's devices; the report's checks, and
// whether Ctrl-C stopped it.
std::vector<TDeviceCheck> RunCheck(TSession& session, bool& interrupted) {
  TLineCheckOptions options;
  if (session.Options().Exchanges) options.Exchanges = *session.Options().Exchanges;
  TLineCheckThread thread(&session.Host(), options);
  session.Host().ProgressCaption = "line check";
  interrupted = session.RunWorker(thread);
  auto report = thread.Report();
  std::lock_guard lock(report->Mutex);
  if (!report->Error.empty()) throw ECliError(ecPort, "line check: " + report->Error);
  return report->Checks;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

void PrintStatistics(TSession& session) {
  std::lock_guard lock(session.Console().Mutex);
  session.Console().EndProgress();
  session.Console().Err << "Statistics:\n" << StatisticsText(session.Statistics().Snapshot());
}

int CmdCheck(TSession& session) {
  session.OpenPort();
  bool interrupted = false;
  const std::vector<TDeviceCheck> checks = RunCheck(session, interrupted);
  TConsole& console = session.Console();
  {
    std::lock_guard lock(console.Mutex);
    if (session.Options().Json)
      console.Out << LineCheckJson(checks);
    else
      console.Out << LineCheckText(checks, session.Port().BaudRateBits(), session.Protocol());
  }
  if (interrupted) return ecInterrupted;
  for (const TDeviceCheck& c : checks)
    if (c.Verdict != cvHealthy) return ecUnconfirmed;
  return ecOk;
}

int CmdSupportBundle(const TCliOptions& options, TConsole& console) {
  if (options.Positional.size() != 1)
    throw EUsage("support-bundle needs the name of the file to write", options.Command);
  const std::string path = options.Positional[0];
  TSession session(options, console);
  const bool line = options.Demo || !options.Port.empty() || !options.Config.empty();
  const bool devices = options.Demo || !options.Config.empty() || !options.Addresses.empty();
  std::string portProblem, checkText;
  if (line) {
    session.Prepare();
    if (devices) session.SelectDevices();
    const int cycles = devices ? options.Cycles.value_or(3) : 0;
    if (devices && (cycles > 0 || options.Check)) {
      try {
        session.OpenPort();
      } catch (const ECliError& e) {
        portProblem = e.what();
      }
    }
    if (session.Port().Connected()) {
      bool interrupted = false;
      if (options.Check) {
        const auto checks = RunCheck(session, interrupted);
        checkText = LineCheckText(checks, session.Port().BaudRateBits(), session.Protocol());
      }
      if (cycles > 0 && !interrupted) {
        TRequestThread poll(&session.Host());
        const int n = session.Devices().Count();
        poll.SetPeriod(n < 2 ? 200u : 200u * static_cast<std::uint32_t>(n));
        int done = 0;
        session.Host().OnRefresh = [&] {
          if (++done >= cycles) poll.Terminate();
        };
        session.RunWorker(poll);
        session.Host().OnRefresh = nullptr;
      }
    }
  }
  TSupportBundle bundle = BuildSupportBundle(session.Port(), session.Protocol(), session.Devices(),
                                             options.Config, session.Frames().Last(kBundleFrames),
                                             session.Statistics().Snapshot(), checkText,
                                             options.NoDb ? std::vector<TBundleFile>{}
                                                          : HistoryBundleFiles(options.Db.empty()
                                                                                   ? DefaultHistoryPath()
                                                                                   : options.Db,
                                                                               UtcNowMs()));
  for (TBundleFile& f : bundle.Files) {
    if (f.Name == "port.txt" && !portProblem.empty())
      f.Contents += "Open failed: " + portProblem + "\n";
    // The configuration file as it is on disk, all its devices included.
    if (f.Name == "configuration.l07" && !options.Config.empty())
      f.Contents = ReadFileBytes(options.Config);
  }
  if (session.Port().Connected()) session.Port().Close();
  try {
    WriteSupportBundle(path, bundle);
  } catch (const std::exception& e) {
    throw ECliError(ecWrite, "cannot write " + path + ": " + e.what());
  }
  std::lock_guard lock(console.Mutex);
  console.EndProgress();
  console.Out << "Support bundle written to " << path << " (" << session.Frames().Size()
              << " frames, " << session.Statistics().Snapshot().size()
              << " device(s) in the statistics)\n";
  if (!portProblem.empty()) {
    console.Err << "lim07ctl: " << portProblem << " (the bundle says so)\n";
    return ecPort;
  }
  return ecOk;
}
