// Subcommands on single devices: ports, id, read, and the reads and writes of
// one device's settings, all through TDeviceCommands (the window's course of
// each command without the window).
#include <ostream>

#include "Commands.h"
#include "DataOutput.h"
#include "DeviceCommands.h"
#include "Format.h"
#include "Transaction.h"

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

// What one subcommand did for one device: done only when every request it
// sent for the device succeeded.
struct TDeviceOutcome {
  bool Ok = false;
  std::string Result = "not done: stopped before this device";  // never the success text unless Ok
  TColumnSet Confirmed = 0;  // values the device confirmed (what --save may store)
};

TDeviceOutcome Done(TColumnSet confirmed = 0) {
  return {true, ResultText(rtSuccess), confirmed};
}

TDeviceOutcome Failure(const std::string& why, TColumnSet confirmed = 0) {
  return {false, why.empty() || why == ResultText(rtSuccess) ? kDeviceNotFoundText : why,
          confirmed};
}

std::string ResultLine(const TDevice& d, const std::string& operation, const std::string& result) {
  return d.Name() + " (" + std::to_string(d.SystemAddress()) + "): " + operation + ": " + result;
}

bool AllOk(const std::vector<TDeviceOutcome>& outcomes) {
  for (const TDeviceOutcome& o : outcomes)
    if (!o.Ok) return false;
  return true;
}

std::vector<TColumnSet> ConfirmedColumns(const std::vector<TDeviceOutcome>& outcomes) {
  std::vector<TColumnSet> columns;
  for (const TDeviceOutcome& o : outcomes) columns.push_back(o.Confirmed);
  return columns;
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
    const std::uint16_t expected = d->PlantNumber();
    const TCommandResult r = commands.ReadIdentification(d);
    TDeviceOutcome out = r.Failed ? Failure(r.FailureText) : Done();
    if (!r.Failed && session.IsBareRecord(d)) d->SetName(DefaultDeviceName(d->PlantNumber()));
    // A device named with its plant number must answer with it.
    if (!r.Failed && !session.IsBareRecord(d) && d->PlantNumber() != expected) {
      out = Failure(kDeviceNotFoundText);
      Warn(session.Console(), "warning: " + d->Name() + ": address " +
                                  std::to_string(d->SystemAddress()) +
                                  " answers with plant number " + std::to_string(d->PlantNumber()) +
                                  ", not " + std::to_string(expected));
    }
    all = all && out.Ok;
    const std::string hw = r.Failed ? "" : std::to_string(r.HardwareVersion);
    const std::string sw = r.Failed ? "" : std::to_string(r.SoftwareVersion);
    table.AddRow({d->Name(), std::to_string(d->SystemAddress()),
                  r.Failed ? "" : std::to_string(d->PlantNumber()), hw, sw, out.Result});
    json.push_back("{\"name\":" + JsonString(d->Name()) + ",\"address\":" +
                   std::to_string(d->SystemAddress()) + ",\"ok\":" + (out.Ok ? "true" : "false") +
                   (r.Failed ? std::string()
                             : ",\"plant\":" + std::to_string(d->PlantNumber()) +
                                   ",\"hardware\":" + hw + ",\"software\":" + sw) +
                   ",\"result\":" + JsonString(out.Result) + "}");
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
    // Each request's own result, as the polling thread keeps them.
    std::vector<TRequestOutcome> outcomes;
    const auto run = [&](const TCommandResult& r) {
      outcomes.push_back(RequestOutcome(!r.Failed, *d));
    };
    if (session.IdentificationFailed(d)) {
      outcomes.push_back({d->LastOperation, d->LastResult, false});
    } else if (session.Protocol() == dpModbus) {
      run(commands.ReadModbusData(d));
    } else {
      run(commands.ReadLevel(d));
      run(commands.ReadTemperatures(d));
    }
    d->PollOutcomes = std::move(outcomes);
    all = all && DataReadOk(*d);
    if (!DataReadOk(*d))
      Warn(session.Console(), "warning: " + d->Name() + " (" + std::to_string(d->SystemAddress()) +
                                  "): " + DataReadResult(*d));
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

void PrintSettings(TSession& session, const std::vector<TDeviceOutcome>& outcomes) {
  std::vector<std::string> header;
  for (const auto& [key, value] : SettingsFields(TDevice())) header.push_back(key);
  header.push_back("result");
  TTextTable table(header);
  std::vector<std::string> json;
  for (int i = 0; i < session.Devices().Count(); ++i) {
    const TDevice& d = *session.Devices()[i];
    const TDeviceOutcome& out = outcomes[static_cast<std::size_t>(i)];
    std::vector<std::string> row;
    std::string j = "{";
    for (const auto& [key, value] : SettingsFields(d)) {
      row.push_back(value);
      const bool text = key == "name" || key == "note";
      j += (j.size() > 1 ? "," : "") + JsonString(key) + ":" + (text ? JsonString(value) : value);
    }
    row.push_back(out.Result);
    j += std::string(",\"ok\":") + (out.Ok ? "true" : "false") +
         ",\"result\":" + JsonString(out.Result) + "}";
    table.AddRow(row);
    json.push_back(j);
  }
  session.Console().Out << (session.Options().Json ? JsonArray(json) : table.Text());
}

// Warns about a device that failed, and stores its outcome.
void Record(TSession& session, std::vector<TDeviceOutcome>& outcomes, const TDevice& d,
            TDeviceOutcome out) {
  if (!out.Ok)
    Warn(session.Console(),
         "warning: " + d.Name() + " (" + std::to_string(d.SystemAddress()) + "): " + out.Result);
  outcomes.push_back(std::move(out));
}

// The result of a settings read or write: done when every step was.
TDeviceOutcome SettingsOutcome(const TCommandResult& r, bool all, TColumnSet confirmed) {
  if (r.NotFound) return Failure(r.FailureText);
  return all ? Done(confirmed) : Failure(r.FailureText, confirmed);
}

// Native: sensor count, calibration and coefficient after checking the plant number.
TDeviceOutcome ReadNativeSettings(TSession& session, TDeviceCommands& commands, TDevice* d) {
  if (session.IsBareRecord(d)) {
    std::string failure;
    if (!session.ConfirmIdentity(d, failure)) return Failure(failure);
  }
  const TCommandResult r = commands.ReadSettings(d);
  const TColumnSet confirmed =
      WrittenColumns(false, r.SensorCountDone, r.CalibrationDone, r.CoefficientDone);
  return SettingsOutcome(r, r.SensorCountDone && r.CalibrationDone && r.CoefficientDone, confirmed);
}

// Modbus carries the sensor count and the unmeasurable level only.
TDeviceOutcome ReadModbusSettings(TSession& session, TDeviceCommands& commands, TDevice* d) {
  std::string failure;
  if (!session.ConfirmIdentity(d, failure)) return Failure(failure);
  const TCommandResult sensors = commands.ReadSensorCount(d);
  const TCommandResult level = commands.ReadUnmeasurableLevel(d);
  const TColumnSet confirmed = (sensors.Failed ? 0 : ColumnBit(dcSensorCount)) |
                               (level.Failed ? 0 : ColumnBit(dcUnmeasurableLevel));
  if (sensors.Failed) return Failure(sensors.FailureText, confirmed);
  if (level.Failed) return Failure(level.FailureText, confirmed);
  return Done(confirmed);
}

}  // namespace

int CmdSettings(TSession& session) {
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  std::vector<TDeviceOutcome> outcomes;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    Record(session, outcomes, *d,
           session.Protocol() == dpLargis1 ? ReadNativeSettings(session, commands, d)
                                           : ReadModbusSettings(session, commands, d));
  }
  outcomes.resize(static_cast<std::size_t>(session.Devices().Count()));
  PrintSettings(session, outcomes);
  if (session.Options().Save) session.SaveBackToConfig(ConfirmedColumns(outcomes));
  if (InterruptRequested()) return ecInterrupted;
  return AllOk(outcomes) ? ecOk : ecUnconfirmed;
}

namespace {

// The unmeasurable level to write: --level, or --h1 (the same value: the
// level of calibration point 1).
std::optional<std::uint16_t> LevelOption(const TCliOptions& o) {
  if (o.Level && o.H1 && *o.Level != *o.H1)
    throw EUsage("--level and --h1 are the same value (the unmeasurable level): give one",
                 o.Command);
  return o.Level ? o.Level : o.H1;
}

TDeviceOutcome WriteNativeSettings(TSession& session, TDeviceCommands& commands, TDevice* d) {
  const TCliOptions& o = session.Options();
  if (session.IsBareRecord(d)) {
    std::string failure;
    if (!session.ConfirmIdentity(d, failure)) return Failure(failure);
  }
  // Without a configuration the device's own values stand for the ones not
  // given: read them first, so that only what was asked changes.
  if (!session.HasStoredSettings(d)) {
    const TCommandResult r = commands.ReadSettings(d);
    if (r.NotFound || !r.CalibrationDone || !r.CoefficientDone) return Failure(r.FailureText);
  }
  const TCalibrationValues oldCalibration = CalibrationOf(*d);
  const std::uint8_t oldCoefficient = d->AveragingCoefficient();
  if (o.C1) d->CalibrationCode1 = *o.C1;
  if (const auto level = LevelOption(o)) d->UnmeasurableLevel = *level;
  if (o.C2) d->CalibrationCode2 = *o.C2;
  if (o.H2) d->CalibrationLevel2 = *o.H2;
  if (o.Coefficient) d->SetAveragingCoefficient(static_cast<std::uint8_t>(*o.Coefficient));
  const TCommandResult r = commands.WriteSettings(d);
  // The record keeps only what the device confirmed.
  if (!r.CalibrationDone) {
    d->CalibrationCode1 = oldCalibration.C1;
    d->UnmeasurableLevel = oldCalibration.H1;
    d->CalibrationCode2 = oldCalibration.C2;
    d->CalibrationLevel2 = oldCalibration.H2;
  }
  if (!r.CoefficientDone) d->SetAveragingCoefficient(oldCoefficient);
  if (r.NotFound) Warn(session.Console(), d->Name() + ": " + kDeviceNotFoundText);
  return SettingsOutcome(r, r.CalibrationDone && r.CoefficientDone,
                         WrittenColumns(false, false, r.CalibrationDone, r.CoefficientDone));
}

// Modbus: the unmeasurable level (holding registers 1000-1001) is the one
// setting written.
TDeviceOutcome WriteModbusSettings(TSession& session, TDeviceCommands& commands, TDevice* d) {
  std::string failure;
  if (!session.ConfirmIdentity(d, failure)) return Failure(failure);
  const std::uint16_t level = LevelOption(session.Options()).value_or(d->UnmeasurableLevel);
  const TCommandResult r = commands.WriteUnmeasurableLevel(d, level);
  return r.Failed ? Failure(r.FailureText) : Done(ColumnBit(dcUnmeasurableLevel));
}

}  // namespace

int CmdWriteSettings(TSession& session) {
  const TCliOptions& o = session.Options();
  const bool stored = !o.Config.empty() || o.Demo;
  const bool modbus = session.Protocol() == dpModbus;
  LevelOption(o);
  if (modbus && (o.C1 || o.C2 || o.H2 || o.Coefficient))
    throw EUsage(
        "in Modbus only the unmeasurable level is written (--level DM); calibration points and "
        "coefficient need --protocol native",
        o.Command);
  if (!o.C1 && !o.C2 && !o.H1 && !o.H2 && !o.Coefficient && !o.Level && !stored)
    throw EUsage(
        "nothing to write: give --c1/--h1/--c2/--h2/--coefficient/--level or --config/--demo",
        o.Command);
  session.Confirm("Записать данные в приборы?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  std::vector<TDeviceOutcome> outcomes;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    Record(session, outcomes, *d,
           modbus ? WriteModbusSettings(session, commands, d)
                  : WriteNativeSettings(session, commands, d));
  }
  outcomes.resize(static_cast<std::size_t>(session.Devices().Count()));
  PrintSettings(session, outcomes);
  if (o.Save) session.SaveBackToConfig(ConfirmedColumns(outcomes));
  if (InterruptRequested()) return ecInterrupted;
  return AllOk(outcomes) ? ecOk : ecUnconfirmed;
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
  const TDeviceOutcome out = r.Failed ? Failure(r.FailureText) : Done(ColumnBit(dcSystemAddress));
  if (o.Json) {
    session.Console().Out << "{\"plant\":" << d->PlantNumber() << ",\"to\":" << *o.To
                          << ",\"address\":"
                          << (out.Ok ? std::to_string(d->SystemAddress()) : std::string("null"))
                          << ",\"ok\":" << (out.Ok ? "true" : "false")
                          << ",\"result\":" << JsonString(out.Result) << "}\n";
  } else {
    session.Console().Out << d->Name() << ": system address " << *o.To << ": " << out.Result
                          << '\n';
  }
  if (o.Save) session.SaveBackToConfig({out.Confirmed});
  return out.Ok ? ecOk : ecUnconfirmed;
}

namespace {

TDeviceOutcome CalibrateEmpty(TSession& session, TDeviceCommands& commands, TDevice* d) {
  const TCliOptions& o = session.Options();
  std::string failure;
  if (!session.ConfirmIdentity(d, failure)) return Failure(failure);
  TCommandResult r;
  if (o.Level || session.HasStoredSettings(d)) {
    // The level given, or the configuration's: in Modbus it is written first.
    r = commands.EmptyBunkerCalibrationAt(d, o.Level.value_or(d->UnmeasurableLevel));
  } else {
    // The device's own unmeasurable level stays what it is.
    const TCommandResult level = commands.ReadUnmeasurableLevel(d);
    if (level.Failed) return Failure(level.FailureText);
    r = commands.EmptyBunkerCalibration(d);
  }
  const TColumnSet confirmed = r.ClearMarks & ColumnBit(dcUnmeasurableLevel);
  return r.Failed ? Failure(r.FailureText, confirmed) : Done(confirmed);
}

}  // namespace

int CmdCalibrateEmpty(TSession& session) {
  const TCliOptions& o = session.Options();
  session.Confirm("Калибровка на пустом бункере: записать в приборы?");
  session.OpenPort();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  std::vector<TDeviceOutcome> outcomes;
  std::vector<std::string> json;
  for (int i = 0; i < session.Devices().Count() && !InterruptRequested(); ++i) {
    TDevice* d = session.Devices()[i];
    TDeviceOutcome out = CalibrateEmpty(session, commands, d);
    if (o.Json)
      json.push_back("{\"name\":" + JsonString(d->Name()) + ",\"address\":" +
                     std::to_string(d->SystemAddress()) + ",\"ok\":" + (out.Ok ? "true" : "false") +
                     ",\"h1_dm\":" + std::to_string(d->UnmeasurableLevel) +
                     ",\"result\":" + JsonString(out.Result) + "}");
    else
      session.Console().Out << ResultLine(*d, "Калибровка на пустом бункере", out.Result)
                            << (out.Ok ? ", НУ " + std::to_string(d->UnmeasurableLevel) + " дм"
                                       : std::string())
                            << '\n';
    outcomes.push_back(std::move(out));
  }
  if (o.Json) session.Console().Out << JsonArray(json);
  outcomes.resize(static_cast<std::size_t>(session.Devices().Count()));
  if (o.Save) session.SaveBackToConfig(ConfirmedColumns(outcomes));
  if (InterruptRequested()) return ecInterrupted;
  return AllOk(outcomes) ? ecOk : ecUnconfirmed;
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
  if (r.Failed) throw ECliError(ecPort, "the switch could not be sent: the port is not open");
  if (o.Json)
    session.Console().Out << "{\"protocol\":" << JsonString(o.Positional[0]) << ",\"sent\":true}\n";
  else
    session.Console().Out << (toModbus ? "Sent to all devices: switch to Modbus RTU\n"
                                       : "Sent to all devices: switch to Ларгис-1\n");
  return ecOk;
}
