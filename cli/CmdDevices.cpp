// Subcommands on single devices: ports, id, read, and the reads and writes of
// one device's settings, all through TDeviceCommands (the window's course of
// each command without the window).
#include <ostream>

#include "Commands.h"
#include "DataOutput.h"
#include "DeviceCommands.h"
#include "Format.h"

namespace {

void Warn(TConsole& console, const std::string& text) {
  std::lock_guard lock(console.Mutex);
  console.Err << text << '\n';
}

// Prints a JSON array of objects, one per line inside.
std::string JsonArray(const std::vector<std::string>& items) {
  std::string j = "[";
  for (std::size_t i = 0; i < items.size(); ++i) j += (i ? ",\n " : "\n ") + items[i];
  return j + (items.empty() ? "]\n" : "\n]\n");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> SettingsFields(const TDevice& d) {
  return {{"name", d.Name()},
          {"address", std::to_string(d.SystemAddress())},
          {"plant", std::to_string(d.PlantNumber())},
          {"sensors", std::to_string(d.SensorCount())},
          {"c1", std::to_string(d.CalibrationCode1)},
          {"h1_dm", std::to_string(d.UnmeasurableLevel)},
          {"c2", std::to_string(d.CalibrationCode2)},
          {"h2_dm", std::to_string(d.CalibrationLevel2)},
          {"coefficient", std::to_string(d.AveragingCoefficient())},
          {"note", d.Note()}};
}

int CmdPorts(const TCliOptions& options, TConsole& console) {
  std::vector<std::string> ports;
  try {
    ports = ListSerialPorts();
  } catch (const EComPort& e) {
    throw ECliError(ecPort, std::string("cannot list the serial ports: ") + e.what());
  }
  if (options.Json) {
    std::vector<std::string> items;
    for (const auto& p : ports) items.push_back(JsonString(p));
    console.Out << JsonArray(items);
  } else {
    for (const auto& p : ports) console.Out << p << '\n';
    if (ports.empty()) console.Err << "no serial ports found\n";
  }
  return ecOk;
}

int CmdId(TSession& session) {
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  TTextTable table({"Name", "Addr", "Зав. №", "HW", "SW", "Result"},
                   {false, true, true, true, true, false});
  std::vector<std::string> json;
  bool all = true;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    const TCommandResult r = commands.ReadIdentification(d);
    if (!r.Failed && session.IsBareRecord(d)) d->SetName(DefaultDeviceName(d->PlantNumber()));
    all = all && !r.Failed;
    const std::string hw = r.Failed ? "" : std::to_string(r.HardwareVersion);
    const std::string sw = r.Failed ? "" : std::to_string(r.SoftwareVersion);
    table.AddRow({d->Name(), std::to_string(d->SystemAddress()),
                  r.Failed ? "" : std::to_string(d->PlantNumber()), hw, sw, d->LastResult});
    json.push_back("{\"name\":" + JsonString(d->Name()) + ",\"address\":" +
                   std::to_string(d->SystemAddress()) + ",\"ok\":" + (r.Failed ? "false" : "true") +
                   (r.Failed ? std::string()
                             : ",\"plant\":" + std::to_string(d->PlantNumber()) +
                                   ",\"hardware\":" + hw + ",\"software\":" + sw) +
                   ",\"result\":" + JsonString(d->LastResult) + "}");
  }
  session.Console().Out << (session.Options().Json ? JsonArray(json) : table.Text());
  if (InterruptRequested()) return ecInterrupted;
  return all ? ecOk : ecUnconfirmed;
}

int CmdRead(TSession& session) {
  session.OpenPort();
  session.IdentifyNew();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  bool all = true;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    if (session.Protocol() == dpModbus) {
      commands.ReadModbusData(d);
    } else {
      commands.ReadLevel(d);
      commands.ReadTemperatures(d);
    }
    all = all && DataReadOk(*d);
    if (!DataReadOk(*d)) Warn(session.Console(), "warning: " + OutcomeLine(*d));
  }
  if (session.Options().Json) {
    std::vector<std::string> items;
    for (int i = 0; i < session.Devices().Count(); ++i)
      items.push_back(DeviceDataJson(*session.Devices()[i]));
    session.Console().Out << JsonArray(items);
  } else {
    session.Console().Out << DataTableText(session.Devices());
  }
  if (InterruptRequested()) return ecInterrupted;
  return all ? ecOk : ecUnconfirmed;
}

namespace {

void PrintSettings(TSession& session, const std::vector<bool>& ok) {
  std::vector<std::string> header;
  for (const auto& [key, value] : SettingsFields(TDevice())) header.push_back(key);
  header.push_back("result");
  TTextTable table(header);
  std::vector<std::string> json;
  for (int i = 0; i < session.Devices().Count(); ++i) {
    const TDevice& d = *session.Devices()[i];
    std::vector<std::string> row;
    std::string j = "{";
    for (const auto& [key, value] : SettingsFields(d)) {
      row.push_back(value);
      const bool text = key == "name" || key == "note";
      j += (j.size() > 1 ? "," : "") + JsonString(key) + ":" + (text ? JsonString(value) : value);
    }
    row.push_back(d.LastResult);
    j += std::string(",\"ok\":") + (ok[static_cast<std::size_t>(i)] ? "true" : "false") +
         ",\"result\":" + JsonString(d.LastResult) + "}";
    table.AddRow(row);
    json.push_back(j);
  }
  session.Console().Out << (session.Options().Json ? JsonArray(json) : table.Text());
}

// The record's plant number must be known before settings are read or
// written: the device is checked by it first.
bool LearnPlant(TSession& session, TDeviceCommands& commands, TDevice* d) {
  if (!session.IsBareRecord(d)) return true;
  const TCommandResult id = commands.ReadIdentification(d);
  if (id.Failed) return false;
  d->SetName(DefaultDeviceName(d->PlantNumber()));
  return true;
}

}  // namespace

int CmdSettings(TSession& session) {
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  std::vector<bool> ok;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    bool done = LearnPlant(session, commands, d);
    if (done && session.Protocol() == dpLargis1) {
      const TCommandResult r = commands.ReadSettings(d);
      if (r.NotFound) Warn(session.Console(), d->Name() + ": Прибор не обнаружен!");
      done =
          !r.Failed && !r.NotFound && r.SensorCountDone && r.CalibrationDone && r.CoefficientDone;
    } else if (done) {
      // Modbus carries the sensor count and the unmeasurable level only.
      done = !commands.ReadSensorCount(d).Failed && !commands.ReadUnmeasurableLevel(d).Failed;
    }
    ok.push_back(done);
    if (!done) Warn(session.Console(), "warning: " + OutcomeLine(*d));
  }
  ok.resize(static_cast<std::size_t>(session.Devices().Count()), false);
  PrintSettings(session, ok);
  if (InterruptRequested()) return ecInterrupted;
  const bool all = std::find(ok.begin(), ok.end(), false) == ok.end();
  if (session.Options().Save) session.SaveBackToConfig();
  return all ? ecOk : ecUnconfirmed;
}

int CmdWriteSettings(TSession& session) {
  const TCliOptions& o = session.Options();
  if (!o.C1 && !o.C2 && !o.H1 && !o.H2 && !o.Coefficient && o.Config.empty() && !o.Demo)
    throw EUsage("nothing to write: give --c1/--h1/--c2/--h2/--coefficient or --config/--demo",
                 o.Command);
  if (session.Protocol() != dpLargis1)
    throw EUsage("settings are written in the native protocol only (--protocol native)", o.Command);
  session.Confirm("Записать данные в приборы?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  std::vector<bool> ok;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    bool done = LearnPlant(session, commands, d);
    // Without a configuration the device's own values stand for the ones
    // not given: read them first, so that only what was asked changes.
    if (done && !session.HasStoredSettings(d)) {
      const TCommandResult r = commands.ReadSettings(d);
      done = !r.Failed && !r.NotFound && r.CalibrationDone && r.CoefficientDone;
    }
    if (done) {
      if (o.C1) d->CalibrationCode1 = *o.C1;
      if (o.H1) d->UnmeasurableLevel = *o.H1;
      if (o.C2) d->CalibrationCode2 = *o.C2;
      if (o.H2) d->CalibrationLevel2 = *o.H2;
      if (o.Coefficient) d->SetAveragingCoefficient(static_cast<std::uint8_t>(*o.Coefficient));
      const TCommandResult r = commands.WriteSettings(d);
      if (r.NotFound) Warn(session.Console(), d->Name() + ": Прибор не обнаружен!");
      done = !r.NotFound && !r.Failed && r.CalibrationDone && r.CoefficientDone;
    }
    ok.push_back(done);
    if (!done) Warn(session.Console(), "warning: " + OutcomeLine(*session.Devices()[i]));
  }
  ok.resize(static_cast<std::size_t>(session.Devices().Count()), false);
  PrintSettings(session, ok);
  if (o.Save) session.SaveBackToConfig();
  if (InterruptRequested()) return ecInterrupted;
  return std::find(ok.begin(), ok.end(), false) == ok.end() ? ecOk : ecUnconfirmed;
}

int CmdSetAddress(TSession& session) {
  const TCliOptions& o = session.Options();
  if (!o.To) throw EUsage("give the new address with --to A", o.Command);
  if (!o.Plant) throw EUsage("name the device by its plant number: --plant N", o.Command);
  if (!o.Config.empty() || o.Demo) session.SelectDevices();
  // The device is found by its plant number; its current address does not
  // matter (in Modbus the write is a broadcast by plant number).
  if (session.Devices().Count() == 0) {
    auto* d = new TDevice;
    d->SetPlantNumber(*o.Plant);
    d->SetName(DefaultDeviceName(*o.Plant));
    d->SetSystemAddress(o.Addresses.empty() ? 0xFF : static_cast<std::uint8_t>(o.Addresses[0]));
    session.Host().AddDevice(d);
  }
  if (session.Devices().Count() != 1)
    throw EUsage("--plant must name exactly one device", o.Command);
  session.Confirm("Изменить системный адрес прибора " + std::to_string(*o.Plant) + " на " +
                  std::to_string(*o.To) + "?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  TDevice* d = session.Devices()[0];
  const TCommandResult r = commands.WriteAddress(d, static_cast<std::uint8_t>(*o.To));
  if (o.Json) {
    session.Console().Out << "{\"plant\":" << d->PlantNumber()
                          << ",\"address\":" << static_cast<int>(d->SystemAddress())
                          << ",\"ok\":" << (r.Failed ? "false" : "true")
                          << ",\"result\":" << JsonString(d->LastResult) << "}\n";
  } else {
    session.Console().Out << OutcomeLine(*d) << '\n';
  }
  if (!r.Failed && o.Save) session.SaveBackToConfig();
  return r.Failed ? ecUnconfirmed : ecOk;
}

int CmdCalibrateEmpty(TSession& session) {
  const TCliOptions& o = session.Options();
  session.Confirm("Калибровка на пустом бункере: записать в приборы?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  bool all = true;
  std::vector<std::string> json;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    bool done = true;
    if (o.Level) {
      d->UnmeasurableLevel = *o.Level;
    } else if (!session.HasStoredSettings(d)) {
      // The device's own unmeasurable level stays what it is.
      done = !commands.ReadUnmeasurableLevel(d).Failed;
    }
    if (done) done = !commands.EmptyBunkerCalibration(d).Failed;
    all = all && done;
    if (o.Json)
      json.push_back("{\"name\":" + JsonString(d->Name()) + ",\"address\":" +
                     std::to_string(d->SystemAddress()) + ",\"ok\":" + (done ? "true" : "false") +
                     ",\"h1_dm\":" + std::to_string(d->UnmeasurableLevel) +
                     ",\"result\":" + JsonString(d->LastResult) + "}");
    else
      session.Console().Out << OutcomeLine(*d) << '\n';
  }
  if (o.Json) session.Console().Out << JsonArray(json);
  if (o.Save) session.SaveBackToConfig();
  if (InterruptRequested()) return ecInterrupted;
  return all ? ecOk : ecUnconfirmed;
}

int CmdSwitchProtocol(TSession& session) {
  const TCliOptions& o = session.Options();
  if (o.Positional.size() != 1 || (o.Positional[0] != "native" && o.Positional[0] != "modbus"))
    throw EUsage("say which protocol: switch-protocol native|modbus", o.Command);
  const bool toModbus = o.Positional[0] == "modbus";
  session.Confirm(toModbus ? "Выполнить запрос на использование устройствами протокола MODBUS?"
                           : "Выполнить запрос на использование устройствами протокола Ларгис-1?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  const TCommandResult r = toModbus ? commands.SwitchAllToModbus() : commands.SwitchAllToLargis1();
  if (o.Json)
    session.Console().Out << "{\"protocol\":" << JsonString(o.Positional[0])
                          << ",\"sent\":" << (r.Failed ? "false" : "true") << "}\n";
  else if (!r.Failed)
    session.Console().Out << (toModbus ? "Sent to all devices: switch to Modbus RTU\n"
                                       : "Sent to all devices: switch to Ларгис-1\n");
  return r.Failed ? ecPort : ecOk;
}
