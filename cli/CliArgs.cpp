#include "CliArgs.h"

#include "HistoryExport.h"
#include "MqttSettings.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>

namespace {

std::string Trimmed(const std::string& s) {
  std::string r;
  for (char c : s)
    if (c != ' ' && c != '\t') r += c;
  return r;
}

bool AllDigits(const std::string& s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::vector<std::string> SplitItems(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  for (char c : text) {
    if (c == ',') {
      items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  items.push_back(item);
  return items;
}

// An item "N" or "N-M" of a list; raises EUsage with `what` naming the list.
void ParseRange(const std::string& raw, long low, long high, const std::string& what, long& first,
                long& last) {
  const std::string item = Trimmed(raw);
  const std::string quoted = "\"" + raw + "\"";
  if (item.empty()) throw EUsage(what + ": empty item in the list");
  const auto dash = item.find('-');
  const std::string a = item.substr(0, dash);
  const std::string b = dash == std::string::npos ? a : item.substr(dash + 1);
  if (!AllDigits(a) || !AllDigits(b) || a.size() > 6 || b.size() > 6)
    throw EUsage(what + ": " + quoted + " is neither a number nor a range N-M");
  first = std::stol(a);
  last = std::stol(b);
  if (first < low || last > high || first > high || last < low)
    throw EUsage(what + ": " + quoted + " is outside " + std::to_string(low) + ".." +
                 std::to_string(high));
  if (first > last) throw EUsage(what + ": range " + quoted + " runs backwards");
}

enum TOptionKind { okFlag, okValue };
struct TOptionRule {
  TOptionKind Kind;
  std::function<void(TCliOptions&, const std::string&)> Apply;
};

std::uint16_t U16(const std::string& v, const char* what, long low = 0) {
  return static_cast<std::uint16_t>(ParseInteger(v, low, 65535, what));
}

const std::map<std::string, TOptionRule>& CommonOptions() {
  static const std::map<std::string, TOptionRule> options = {
      {"--demo", {okFlag, [](TCliOptions& o, const std::string&) { o.Demo = true; }}},
      {"--port",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v.empty()) throw EUsage("--port: empty port name");
          o.Port = v;
        }}},
      {"--config", {okValue, [](TCliOptions& o, const std::string& v) { o.Config = v; }}},
      {"--address",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Addresses.push_back(static_cast<int>(ParseInteger(v, 1, 254, "--address")));
        }}},
      {"--addresses",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          for (int a : ParseAddressList(v)) o.Addresses.push_back(a);
        }}},
      {"--plant",
       {okValue, [](TCliOptions& o, const std::string& v) { o.Plant = U16(v, "--plant", 1); }}},
      {"--protocol",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v == "native" || v == "largis")
            o.Protocol = dpLargis1;
          else if (v == "modbus")
            o.Protocol = dpModbus;
          else
            throw EUsage("--protocol: \"" + v + "\" is not native or modbus");
        }}},
      {"--baud",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Baud = static_cast<int>(ParseInteger(v, 50, 4000000, "--baud"));
        }}},
      {"--data-bits",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.DataBits = static_cast<int>(ParseInteger(v, 5, 8, "--data-bits"));
        }}},
      {"--parity",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          static const std::set<std::string> ok = {"none", "odd", "even", "mark", "space"};
          if (!ok.count(v))
            throw EUsage("--parity: \"" + v + "\" is not none, odd, even, mark or space");
          o.Parity = v;
        }}},
      {"--stop-bits",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v != "1" && v != "1.5" && v != "2")
            throw EUsage("--stop-bits: \"" + v + "\" is not 1, 1.5 or 2");
          o.StopBits = v;
        }}},
      {"--json", {okFlag, [](TCliOptions& o, const std::string&) { o.Json = true; }}},
      {"--yes", {okFlag, [](TCliOptions& o, const std::string&) { o.Yes = true; }}},
      {"-y", {okFlag, [](TCliOptions& o, const std::string&) { o.Yes = true; }}},
      {"--trace", {okFlag, [](TCliOptions& o, const std::string&) { o.Trace = true; }}},
      {"--stats", {okFlag, [](TCliOptions& o, const std::string&) { o.Stats = true; }}},
  };
  return options;
}

// An MQTT setting given as an option: checked here, applied when poll starts.
TOptionRule MqttOption(const std::string& option, const std::string& key) {
  return {okValue, [option, key](TCliOptions& o, const std::string& v) {
            TMqttSettings check;
            try {
              SetMqttSetting(check, key, v);
            } catch (const EMqttSettings& e) {
              throw EUsage(option + ": " + e.what());
            }
            o.Mqtt.emplace_back(key, v);
          }};
}

// An alarm limit: "off", or degrees (-100 .. 1000).
TOptionRule LimitOption(const std::string& option, std::optional<std::string> TCliOptions::*field) {
  return {okValue, [option, field](TCliOptions& o, const std::string& v) {
            if (v != "off") {
              std::size_t used = 0;
              double value = 0;
              try {
                value = std::stod(v, &used);
              } catch (const std::exception&) {
                used = 0;
              }
              if (used == 0 || used != v.size() || !(value >= -100 && value <= 1000))
                throw EUsage(option + ": \"" + v + "\" is neither \"off\" nor degrees (-100..1000)");
            }
            o.*field = v;
          }};
}

const std::map<std::string, TOptionRule>& CommandOptions() {
  static const std::map<std::string, TOptionRule> options = {
      {"--cycles",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Cycles = static_cast<int>(ParseInteger(v, 1, 100000000, "--cycles"));
        }}},
      {"--period",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Period = static_cast<std::uint32_t>(ParseInteger(v, 100, 1000000, "--period"));
        }}},
      {"--csv",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v.empty()) throw EUsage("--csv: empty file name");
          o.Csv = v;
        }}},
      {"--out",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v.empty()) throw EUsage("--out: empty file name");
          o.Out = v;
        }}},
      {"--start",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Start = static_cast<int>(ParseInteger(v, 1, 254, "--start"));
        }}},
      {"--end",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.End = static_cast<int>(ParseInteger(v, 1, 254, "--end"));
        }}},
      {"--fast", {okFlag, [](TCliOptions& o, const std::string&) { o.Fast = true; }}},
      {"--plants",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          CheckPlantNumberList(v);
          o.Plants = v;
        }}},
      {"--reserve", {okFlag, [](TCliOptions& o, const std::string&) { o.Reserve = true; }}},
      {"--save", {okFlag, [](TCliOptions& o, const std::string&) { o.Save = true; }}},
      {"--force", {okFlag, [](TCliOptions& o, const std::string&) { o.Force = true; }}},
      {"--to",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (o.Command == "history export") {
            std::int64_t ms = 0;
            if (!ParseTimeText(v, ms))
              throw EUsage("--to: \"" + v + "\" is not a time (2024-05-17, 2024-05-17T10:30, now)");
            o.ToMs = ms;
            return;
          }
          o.To = static_cast<int>(ParseInteger(v, 1, 254, "--to"));
        }}},
      {"--c1", {okValue, [](TCliOptions& o, const std::string& v) { o.C1 = U16(v, "--c1"); }}},
      {"--c2", {okValue, [](TCliOptions& o, const std::string& v) { o.C2 = U16(v, "--c2"); }}},
      {"--h1", {okValue, [](TCliOptions& o, const std::string& v) { o.H1 = U16(v, "--h1"); }}},
      {"--h2", {okValue, [](TCliOptions& o, const std::string& v) { o.H2 = U16(v, "--h2"); }}},
      {"--coefficient",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Coefficient = static_cast<int>(ParseInteger(v, 1, 255, "--coefficient"));
        }}},
      {"--level",
       {okValue, [](TCliOptions& o, const std::string& v) { o.Level = U16(v, "--level"); }}},
      {"--device",
       {okValue, [](TCliOptions& o, const std::string& v) { o.DeviceSpecs.push_back(v); }}},
      {"--exchanges",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Exchanges = static_cast<int>(ParseInteger(v, 1, 10000, "--exchanges"));
        }}},
      {"--check", {okFlag, [](TCliOptions& o, const std::string&) { o.Check = true; }}},
      {"--no-poll", {okFlag, [](TCliOptions& o, const std::string&) { o.NoPoll = true; }}},
      {"--no-profiles", {okFlag, [](TCliOptions& o, const std::string&) { o.NoProfiles = true; }}},
      {"--object", {okValue, [](TCliOptions& o, const std::string& v) { o.Object = v; }}},
      {"--engineer", {okValue, [](TCliOptions& o, const std::string& v) { o.Engineer = v; }}},
      {"--date", {okValue, [](TCliOptions& o, const std::string& v) { o.Date = v; }}},
      {"--note", {okValue, [](TCliOptions& o, const std::string& v) { o.Note = v; }}},
      {"--db",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v.empty()) throw EUsage("--db: empty file name");
          o.Db = v;
        }}},
      {"--no-db", {okFlag, [](TCliOptions& o, const std::string&) { o.NoDb = true; }}},
      {"--interval",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          o.Interval = static_cast<int>(ParseInteger(v, 0, 86400, "--interval"));
        }}},
      {"--from",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          std::int64_t ms = 0;
          if (!ParseTimeText(v, ms))
            throw EUsage("--from: \"" + v + "\" is not a time (2024-05-17, 2024-05-17T10:30, now)");
          o.FromMs = ms;
        }}},
      {"--active", {okFlag, [](TCliOptions& o, const std::string&) { o.Active = true; }}},
      {"--mqtt", MqttOption("--mqtt", "url")},
      {"--mqtt-user", MqttOption("--mqtt-user", "user")},
      {"--mqtt-password", MqttOption("--mqtt-password", "password")},
      {"--mqtt-client-id", MqttOption("--mqtt-client-id", "client-id")},
      {"--mqtt-prefix", MqttOption("--mqtt-prefix", "prefix")},
      {"--mqtt-qos", MqttOption("--mqtt-qos", "qos")},
      {"--mqtt-cafile", MqttOption("--mqtt-cafile", "cafile")},
      {"--mqtt-cert", MqttOption("--mqtt-cert", "cert")},
      {"--mqtt-key", MqttOption("--mqtt-key", "key")},
      {"--mqtt-queue-days", MqttOption("--mqtt-queue-days", "queue-days")},
      {"--mqtt-config",
       {okValue,
        [](TCliOptions& o, const std::string& v) {
          if (v.empty()) throw EUsage("--mqtt-config: empty file name");
          o.MqttConfig = v;
        }}},
      {"--quiet", {okFlag, [](TCliOptions& o, const std::string&) { o.Quiet = true; }}},
      {"--upper", LimitOption("--upper", &TCliOptions::UpperLimit)},
      {"--rise", LimitOption("--rise", &TCliOptions::RiseLimit)},
  };
  return options;
}

// The subcommand options each subcommand accepts.
const std::map<std::string, std::set<std::string>>& AllowedOptions() {
  static const std::map<std::string, std::set<std::string>> allowed = {
      {"ports", {}},
      {"id", {}},
      {"read", {}},
      {"poll",
       {"--cycles", "--period", "--csv", "--db", "--no-db", "--interval", "--quiet", "--mqtt",
        "--mqtt-config", "--mqtt-user", "--mqtt-password", "--mqtt-client-id", "--mqtt-prefix",
        "--mqtt-qos", "--mqtt-cafile", "--mqtt-cert", "--mqtt-key", "--mqtt-queue-days"}},
      {"settings", {"--save"}},
      {"write-settings", {"--c1", "--c2", "--h1", "--h2", "--coefficient", "--level", "--save"}},
      {"set-address", {"--to", "--save"}},
      {"calibrate-empty", {"--level", "--save"}},
      {"switch-protocol", {}},
      {"scan", {"--start", "--end", "--fast", "--plants", "--reserve", "--out", "--force"}},
      {"batch-read", {"--save"}},
      {"batch-write", {}},
      {"write-addresses", {}},
      {"upload", {}},
      {"config show", {}},
      {"config new", {"--device", "--force"}},
      {"history export", {"--db", "--from", "--to", "--csv"}},
      {"history alarms", {"--db", "--active"}},
      {"history limits", {"--db", "--upper", "--rise"}},
      {"check", {"--exchanges"}},
      {"support-bundle", {"--cycles", "--check", "--exchanges", "--db", "--no-db"}},
      {"report",
       {"--out", "--csv", "--no-poll", "--no-profiles", "--object", "--engineer", "--date",
        "--note", "--db", "--no-db"}},
  };
  return allowed;
}

}  // namespace

long ParseInteger(const std::string& text, long low, long high, const std::string& what) {
  const std::string t = Trimmed(text);
  bool negative = !t.empty() && t[0] == '-';
  const std::string digits = negative ? t.substr(1) : t;
  if (!AllDigits(digits) || digits.size() > 12)
    throw EUsage(what + ": \"" + text + "\" is not a whole number");
  long value = std::stol(digits);
  if (negative) value = -value;
  if (value < low || value > high)
    throw EUsage(what + ": " + std::to_string(value) + " is outside " + std::to_string(low) + ".." +
                 std::to_string(high));
  return value;
}

std::vector<int> ParseAddressList(const std::string& text) {
  std::vector<int> addresses;
  for (const std::string& item : SplitItems(text)) {
    long first = 0, last = 0;
    ParseRange(item, 1, 254, "address list", first, last);
    for (long a = first; a <= last; ++a) addresses.push_back(static_cast<int>(a));
  }
  return addresses;
}

void CheckPlantNumberList(const std::string& text) {
  for (const std::string& item : SplitItems(text)) {
    long first = 0, last = 0;
    ParseRange(item, 1, 65535, "plant-number list", first, last);
  }
}

TOptionNames CommonOptionNames() {
  TOptionNames names;
  for (const auto& [name, rule] : CommonOptions())
    (rule.Kind == okFlag ? names.Flags : names.Values).push_back(name);
  return names;
}

std::map<std::string, TOptionNames> CommandOptionNames() {
  std::map<std::string, TOptionNames> result;
  for (const auto& [command, options] : AllowedOptions()) {
    TOptionNames& names = result[command];
    for (const std::string& name : options)
      (CommandOptions().at(name).Kind == okFlag ? names.Flags : names.Values).push_back(name);
  }
  return result;
}

const std::vector<std::string>& CommandNames() {
  static const std::vector<std::string> names = {"ports",
                                                 "id",
                                                 "read",
                                                 "poll",
                                                 "settings",
                                                 "write-settings",
                                                 "set-address",
                                                 "calibrate-empty",
                                                 "switch-protocol",
                                                 "scan",
                                                 "batch-read",
                                                 "batch-write",
                                                 "write-addresses",
                                                 "upload",
                                                 "check",
                                                 "support-bundle",
                                                 "report",
                                                 "config show",
                                                 "config new",
                                                 "history export",
                                                 "history alarms",
                                                 "history limits"};
  return names;
}

TCliOptions ParseArguments(const std::vector<std::string>& args) {
  TCliOptions o;
  std::vector<std::pair<std::string, std::string>>
      commandOptions;  // checked once the command is known
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      o.Help = true;
      continue;
    }
    if (arg == "--version") {
      TCliOptions version;
      version.Version = true;
      return version;
    }
    if (arg.size() > 1 && arg[0] == '-' &&
        !(arg.size() > 1 && std::isdigit(static_cast<unsigned char>(arg[1])))) {
      std::string value;
      bool inlineValue = false;
      if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        inlineValue = true;
      }
      const TOptionRule* rule = nullptr;
      bool common = true;
      if (auto it = CommonOptions().find(arg); it != CommonOptions().end()) {
        rule = &it->second;
      } else if (auto jt = CommandOptions().find(arg); jt != CommandOptions().end()) {
        rule = &jt->second;
        common = false;
      } else {
        throw EUsage("unknown option " + arg, o.Command);
      }
      if (rule->Kind == okValue && !inlineValue) {
        if (i + 1 >= args.size()) throw EUsage(arg + " needs a value", o.Command);
        value = args[++i];
      } else if (rule->Kind == okFlag && inlineValue) {
        throw EUsage(arg + " takes no value", o.Command);
      }
      if (common) {
        try {
          rule->Apply(o, value);
        } catch (EUsage& e) {
          e.Command = o.Command;
          throw;
        }
      } else {
        commandOptions.emplace_back(arg, value);
      }
      continue;
    }
    if (o.Command.empty()) {
      o.Command = arg;
      if (arg == "config" || arg == "history") {
        if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) o.Command += " " + args[++i];
      }
      continue;
    }
    o.Positional.push_back(arg);
  }
  if (o.Command.empty()) {
    if (o.Help) return o;
    throw EUsage("no subcommand given");
  }
  const auto allowed = AllowedOptions().find(o.Command);
  if (o.Help) return o;
  if (allowed == AllowedOptions().end()) {
    if (o.Command == "config") throw EUsage("config needs \"show FILE\" or \"new FILE\"", "config");
    if (o.Command == "history")
      throw EUsage("history needs \"export\", \"alarms\" or \"limits\"", "history");
    throw EUsage("unknown subcommand \"" + o.Command + "\"");
  }
  for (const auto& [name, value] : commandOptions) {
    if (!allowed->second.count(name))
      throw EUsage(name + " is not an option of " + o.Command, o.Command);
    try {
      CommandOptions().at(name).Apply(o, value);
    } catch (EUsage& e) {
      e.Command = o.Command;
      throw;
    }
  }
  if (o.NoDb && (!o.Db.empty() || o.Interval))
    throw EUsage("--no-db excludes --db and --interval", o.Command);
  if (o.Demo && !o.Port.empty()) throw EUsage("--demo and --port exclude each other", o.Command);
  const bool mqttUrl = std::any_of(o.Mqtt.begin(), o.Mqtt.end(),
                                   [](const auto& kv) { return kv.first == "url"; });
  if (!o.Mqtt.empty() && !mqttUrl && o.MqttConfig.empty())
    throw EUsage("the --mqtt-... options need --mqtt URL or --mqtt-config FILE", o.Command);
  if (o.Plants && o.Reserve == false) {
    // nothing: --reserve is optional
  } else if (!o.Plants && o.Reserve) {
    throw EUsage("--reserve only applies to a scan by --plants", o.Command);
  }
  if (o.End && *o.End < o.Start)
    throw EUsage("--end " + std::to_string(*o.End) + " is below --start " + std::to_string(o.Start),
                 o.Command);
  return o;
}
