// Command line of lim07ctl: the subcommand, its options and the lists it
// takes (system addresses, plant numbers). Plain C++; parsing never touches a
// port or a file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceProtocol.h"

// Exit statuses scripts can rely on.
enum TExitCode : int {
  ecOk = 0,            // everything done and confirmed
  ecUnconfirmed = 1,   // some device did not answer or did not confirm
  ecUsage = 2,         // bad command line or bad input file
  ecPort = 3,          // the serial port could not be used
  ecWrite = 4,         // a result file could not be written
  ecInterrupted = 130  // stopped by Ctrl-C before the end (poll ends with 0)
};

// A usage error: the message, and the subcommand whose help to point at
// (empty: the general help).
class EUsage : public std::runtime_error {
 public:
  EUsage(const std::string& message, std::string command = {})
      : std::runtime_error(message), Command(std::move(command)) {}
  std::string Command;
};

struct TCliOptions {
  std::string Command;                  // e.g. "poll", "config show"
  std::vector<std::string> Positional;  // after the subcommand
  bool Help = false;
  bool Version = false;  // --version: print the version, nothing else

  // Common options.
  bool Demo = false;
  std::string Port;
  std::string Config;
  std::vector<int> Addresses;  // --address / --addresses, in the order given
  std::optional<std::uint16_t> Plant;
  std::optional<TDeviceProtocol> Protocol;
  std::optional<int> Baud;
  std::optional<int> DataBits;          // 5..8
  std::optional<std::string> Parity;    // none|odd|even|mark|space
  std::optional<std::string> StopBits;  // 1|1.5|2
  bool Json = false;
  bool Yes = false;
  bool Trace = false;
  bool Stats = false;  // per-device exchange statistics on stderr at the end

  // Subcommand options.
  std::optional<int> Cycles;
  std::optional<std::uint32_t> Period;
  std::string Csv;
  std::string Out;
  int Start = 1;
  std::optional<int> End;  // scan: the last address probed or given
  bool Fast = false;       // scan: one probe an address, time-outs from the wire
  std::optional<std::string> Plants;
  bool Reserve = false;
  bool Save = false;
  bool Force = false;
  std::optional<int> To;  // new system address
  std::optional<std::uint16_t> C1, C2, H1, H2;
  std::optional<int> Coefficient;
  std::optional<std::uint16_t> Level;
  std::vector<std::string> DeviceSpecs;  // config new: ADDR:PLANT[:SENSORS[:NAME]]
  std::optional<int> Exchanges;          // check: identifications per device
  bool Check = false;                    // support-bundle: run the line check first
  // report: no read of the line before, no profiles, and the head's fields.
  bool NoPoll = false;
  bool NoProfiles = false;
  std::string Object, Engineer, Date, Note;
  // The history database: poll records into it (the per-user one unless
  // --db names another, none with --no-db); history reads it.
  std::string Db;
  bool NoDb = false;
  std::optional<int> Interval;               // poll: seconds between recorded cycles, 0 every cycle
  std::optional<std::int64_t> FromMs, ToMs;  // history export: UTC ms
  bool Active = false;                       // history alarms: active ones only
  // poll: publishing to an MQTT broker. The settings given by options, as
  // (setting key, value) in the order given; --mqtt-config names a file of
  // them (the options override it).
  std::vector<std::pair<std::string, std::string>> Mqtt;
  std::string MqttConfig;
  bool Quiet = false;  // poll: no table per cycle
  // history limits: "off" or degrees (a day, for the rise).
  std::optional<std::string> UpperLimit, RiseLimit;
};

// Parses argv[1..]; raises EUsage. --help anywhere sets Help (the command, if
// any, is kept so the caller can show its help); --version anywhere sets
// Version and nothing else is checked.
TCliOptions ParseArguments(const std::vector<std::string>& args);

// "1,2,5-7": system addresses 1..254, items separated by commas, blanks
// ignored, ranges ascending. Raises EUsage naming the bad item.
std::vector<int> ParseAddressList(const std::string& text);
// "1201, 1203-1210": plant numbers 1..65535, the syntax of the window's scan
// dialog but strict: every item must be N or N-M with N <= M. Raises EUsage.
void CheckPlantNumberList(const std::string& text);

// An integer in [low, high]; raises EUsage "<what>: ..." otherwise.
long ParseInteger(const std::string& text, long low, long high, const std::string& what);

// The option names of the command line, for tools that describe it (the
// shell completion): those taking no value and those taking one.
struct TOptionNames {
  std::vector<std::string> Flags, Values;
};
TOptionNames CommonOptionNames();
// Per subcommand ("poll", "config new", ...): the options of that subcommand.
std::map<std::string, TOptionNames> CommandOptionNames();
// A bash completion script for lim07ctl built from the tables above.
std::string BashCompletionScript();

// The known subcommands, in the order of the help text.
const std::vector<std::string>& CommandNames();
// Help text: the general one for an empty command, else the subcommand's.
std::string HelpText(const std::string& command);
