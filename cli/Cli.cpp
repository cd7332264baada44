// Dispatch of the subcommands and the mapping of failures to exit statuses.
#include <ostream>

#include "Commands.h"
#include "ConfigFile.h"
#include "Lim07Version.h"

namespace {

// Subcommands that work on a line, and whether they need named devices.
struct TLineCommand {
  const char* Name;
  int (*Run)(TSession&);
  bool NeedsDevices;
};

const TLineCommand kLineCommands[] = {
    {"id", CmdId, true},
    {"read", CmdRead, true},
    {"poll", CmdPoll, true},
    {"settings", CmdSettings, true},
    {"write-settings", CmdWriteSettings, true},
    {"set-address", CmdSetAddress, false},
    {"calibrate-empty", CmdCalibrateEmpty, true},
    {"switch-protocol", CmdSwitchProtocol, false},
    {"scan", CmdScan, false},
    {"batch-read", CmdBatch, true},
    {"batch-write", CmdBatch, true},
    {"write-addresses", CmdBatch, true},
    {"upload", CmdUpload, true},
    {"check", CmdCheck, true},
    {"report", CmdReport, false},
};

int Usage(std::ostream& err, const std::string& message, const std::string& command) {
  err << "lim07ctl: " << message << '\n';
  if (command.empty())
    err << "Try: lim07ctl --help\n";
  else
    err << "Try: lim07ctl " << command << " --help\n";
  return ecUsage;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           bool terminal) {
  TConsole console(out, err, terminal);
  std::string command;
  try {
    const TCliOptions options = ParseArguments(args);
    command = options.Command;
    if (options.Version) {
      out << "lim07ctl " LIM07_VERSION "\n";
      return ecOk;
    }
    if (options.Help) {
      out << HelpText(options.Command);
      return ecOk;
    }
    if (command == "ports") return CmdPorts(options, console);
    if (command == "config show") return CmdConfigShow(options, console);
    if (command == "config new") return CmdConfigNew(options, console);
    if (command == "support-bundle") return CmdSupportBundle(options, console);
    if (command == "history export") return CmdHistoryExport(options, console);
    if (command == "history alarms") return CmdHistoryAlarms(options, console);
    if (command == "history limits") return CmdHistoryLimits(options, console);
    for (const TLineCommand& c : kLineCommands) {
      if (command != c.Name) continue;
      TSession session(options, console);
      session.Prepare();
      if (c.NeedsDevices) session.SelectDevices();
      int status;
      try {
        status = c.Run(session);
      } catch (const EComPort& e) {
        // The port failed after it was opened: the line was lost mid-way.
        throw ECliError(ecPort, LostLineText(e, session.Port().Port()));
      }
      if (options.Stats) PrintStatistics(session);
      out.flush();
      return status;
    }
    return Usage(err, "unknown subcommand \"" + command + "\"", "");
  } catch (const EUsage& e) {
    return Usage(err, e.what(), e.Command);
  } catch (const ECliError& e) {
    std::lock_guard lock(console.Mutex);
    console.EndProgress();
    err << "lim07ctl: " << e.what() << '\n';
    return e.Code;
  } catch (const EComPort& e) {
    std::lock_guard lock(console.Mutex);
    console.EndProgress();
    err << "lim07ctl: serial port error: " << e.what() << '\n';
    return ecPort;
  }
}
