// config show / config new: a configuration file as text or JSON, and a new
// one written from options (through the model's atomic save).
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <ostream>

#include "Commands.h"
#include "ConfigFile.h"
#include "Format.h"

namespace {

std::vector<std::pair<std::string, std::string>> PortFields(const TCustomComPort& port) {
  const std::string baud = port.BaudRate() == brCustom ? std::to_string(port.CustomBaudRate())
                                                       : BaudRateText(port.BaudRate());
  return {{"port", port.Port()},
          {"baud", baud},
          {"data_bits", DataBitsText(port.DataBits())},
          {"parity", ParityText(port.Parity().Bits())},
          {"stop_bits", StopBitsText(port.StopBits())},
          {"flow_control", FlowControlText(port.FlowControl().FlowControl())},
          {"read_interval_ms", std::to_string(port.Timeouts().ReadInterval())},
          {"read_total_multiplier_ms", std::to_string(port.Timeouts().ReadTotalMultiplier())},
          {"read_total_constant_ms", std::to_string(port.Timeouts().ReadTotalConstant())},
          {"write_total_multiplier_ms", std::to_string(port.Timeouts().WriteTotalMultiplier())},
          {"write_total_constant_ms", std::to_string(port.Timeouts().WriteTotalConstant())}};
}

// The settings-block properties behind each port field.
bool FromProperty(const std::string& key, const std::string& property) {
  static const std::map<std::string, std::string> names = {
      {"port", "Port"},
      {"baud", "BaudRate"},
      {"data_bits", "DataBits"},
      {"parity", "Parity.Bits"},
      {"stop_bits", "StopBits"},
      {"flow_control", "FlowControl."},
      {"read_interval_ms", "Timeouts.ReadInterval"},
      {"read_total_multiplier_ms", "Timeouts.ReadTotalMultiplier"},
      {"read_total_constant_ms", "Timeouts.ReadTotalConstant"},
      {"write_total_multiplier_ms", "Timeouts.WriteTotalMultiplier"},
      {"write_total_constant_ms", "Timeouts.WriteTotalConstant"}};
  const auto it = names.find(key);
  if (it == names.end()) return false;
  if (key == "baud" && property == "CustomBaudRate") return true;
  return it->second.back() == '.' ? property.rfind(it->second, 0) == 0 : property == it->second;
}

// The port fields whose value the file does not hold: lim07ctl uses its
// defaults (the window's) for them.
std::vector<std::string> DefaultedFields(const TCustomComPort& port,
                                         const std::vector<std::string>& properties) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : PortFields(port)) {
    bool inFile = false;
    for (const std::string& p : properties) inFile = inFile || FromProperty(key, p);
    if (!inFile) keys.push_back(key);
  }
  return keys;
}

bool IsNumberField(const std::string& key) {
  return key != "name" && key != "note" && key != "port" && key != "baud" && key != "data_bits" &&
         key != "parity" && key != "stop_bits" && key != "flow_control";
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string j = "{";
  for (const auto& [key, value] : fields)
    j += (j.size() > 1 ? "," : "") + JsonString(key) + ":" +
         (IsNumberField(key) ? value : JsonString(value));
  return j + "}";
}

std::vector<std::string> LoadFile(const std::string& path, TComPort& port, TDeviceList& devices,
                                  const std::string& command) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw EUsage("configuration " + path + " not found", command);
  if (!S_ISREG(st.st_mode)) throw EUsage(path + " is not a file", command);
  try {
    // What the line operations start from before the file's settings.
    ApplyWindowPortDefaults(port);
    return LoadConfigurationFile(
               path, port, [&devices](std::unique_ptr<TDevice> d) { devices.Add(d.release()); })
        .Properties;
  } catch (const EConfigFormat& e) {
    throw EUsage(
        "configuration " + path + " cannot be read: " + e.what() + " (Ошибка чтения файла!)",
        command);
  }
}

}  // namespace

int CmdConfigShow(const TCliOptions& options, TConsole& console) {
  if (options.Positional.size() != 1)
    throw EUsage("give one file: config show FILE.l07", options.Command);
  TComPort port;
  TDeviceList devices;
  const std::vector<std::string> defaulted =
      DefaultedFields(port, LoadFile(options.Positional[0], port, devices, options.Command));
  const auto isDefault = [&](const std::string& key) {
    return std::find(defaulted.begin(), defaulted.end(), key) != defaulted.end();
  };
  if (options.Json) {
    std::string list;
    for (const std::string& key : defaulted) list += (list.empty() ? "" : ",") + JsonString(key);
    console.Out << "{\"port\":" << JsonObject(PortFields(port)) << ",\n \"port_defaults\":[" << list
                << "],\n \"devices\":[";
    for (int i = 0; i < devices.Count(); ++i)
      console.Out << (i ? ",\n  " : "\n  ") << JsonObject(SettingsFields(*devices[i]));
    console.Out << (devices.Count() ? "\n ]}\n" : "]}\n");
    return ecOk;
  }
  for (const auto& [key, value] : PortFields(port))
    console.Out << key << ": " << value << (isDefault(key) ? "  (not in the file: default)" : "")
                << '\n';
  console.Out << "devices: " << devices.Count() << "\n\n";
  std::vector<std::string> header;
  for (const auto& [key, value] : SettingsFields(TDevice())) header.push_back(key);
  TTextTable table(header, {false, true, true, true, true, true, true, true, true, false});
  for (int i = 0; i < devices.Count(); ++i) {
    std::vector<std::string> row;
    for (const auto& [key, value] : SettingsFields(*devices[i])) row.push_back(value);
    table.AddRow(row);
  }
  console.Out << table.Text();
  if (devices.Count() > 0) {
    const std::string lost = LostNumbersMessage(devices);
    if (!lost.empty()) {
      std::string text = lost;
      for (auto pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n"))
        text.replace(pos, 2, "\n");
      console.Out << '\n' << text << (text.back() == '\n' ? "" : "\n");
    }
  }
  return ecOk;
}

int CmdConfigNew(const TCliOptions& options, TConsole& console) {
  if (options.Positional.size() != 1)
    throw EUsage("give one file: config new FILE.l07", options.Command);
  const std::string& path = options.Positional[0];
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !options.Force)
    throw EUsage(path + " exists; add --force to replace it", options.Command);

  // The port of a new configuration is the window's, with the options.
  TCliOptions portOptions = options;
  portOptions.Config.clear();
  if (portOptions.Port.empty()) portOptions.Port = "COM1";
  TSession session(portOptions, console);
  session.Prepare();
  for (const std::string& text : options.DeviceSpecs) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
      if (c == ':' && parts.size() < 3) {
        parts.push_back(part);
        part.clear();
      } else {
        part += c;
      }
    }
    parts.push_back(part);
    if (parts.size() < 2)
      throw EUsage("--device \"" + text + "\": give ADDRESS:PLANT[:SENSORS[:NAME]]",
                   options.Command);
    auto* d = new TDevice;
    session.Host().AddDevice(d);
    d->SetSystemAddress(
        static_cast<std::uint8_t>(ParseInteger(parts[0], 1, 254, "--device address")));
    d->SetPlantNumber(
        static_cast<std::uint16_t>(ParseInteger(parts[1], 1, 65535, "--device plant number")));
    if (parts.size() > 2 && !parts[2].empty())
      d->SetSensorCount(static_cast<int>(ParseInteger(parts[2], 0, 32, "--device sensor count")));
    d->SetName(parts.size() > 3 && !parts[3].empty() ? parts[3]
                                                     : DefaultDeviceName(d->PlantNumber()));
  }
  session.SaveConfiguration(path);
  console.Out << "Saved " << path << " with " << session.Devices().Count() << " device(s)\n";
  return ecOk;
}
