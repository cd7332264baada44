// The subcommands of lim07ctl. Each runs on a prepared session and returns
// its exit status; usage problems raise EUsage, port and file problems
// ECliError.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Session.h"

// The whole program: parses args (argv without the program name), runs the
// subcommand, prints to out/err, returns the exit status. `terminal` enables
// the progress bar on err.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           bool terminal);

int CmdPorts(const TCliOptions& options, TConsole& console);
int CmdConfigShow(const TCliOptions& options, TConsole& console);
int CmdConfigNew(const TCliOptions& options, TConsole& console);

int CmdId(TSession& session);
int CmdRead(TSession& session);
int CmdPoll(TSession& session);
int CmdSettings(TSession& session);
int CmdWriteSettings(TSession& session);
int CmdSetAddress(TSession& session);
int CmdCalibrateEmpty(TSession& session);
int CmdSwitchProtocol(TSession& session);
int CmdScan(TSession& session);
int CmdBatch(TSession& session);
int CmdUpload(TSession& session);
int CmdCheck(TSession& session);
int CmdReport(TSession& session);
int CmdSupportBundle(const TCliOptions& options, TConsole& console);
int CmdHistoryExport(const TCliOptions& options, TConsole& console);
int CmdHistoryAlarms(const TCliOptions& options, TConsole& console);
int CmdHistoryLimits(const TCliOptions& options, TConsole& console);
// --stats: the session's per-device statistics as a table on stderr.
void PrintStatistics(TSession& session);

// The device's settings as "key value" pairs (for tables and JSON).
std::vector<std::pair<std::string, std::string>> SettingsFields(const TDevice& device);
