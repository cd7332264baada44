#include "DataOutput.h"

#include "Format.h"
#include "Transaction.h"

namespace {

// The level and the state come with the first request of a read (the native
// level read, or the Modbus data read); the temperatures with the last one.
bool LevelRead(const TDevice& d) {
  return !d.PollOutcomes.empty() && d.PollOutcomes.front().Ok;
}

bool TemperaturesRead(const TDevice& d) {
  return !d.PollOutcomes.empty() && RequestConfirmed(d.PollOutcomes.back());
}

bool AnyRequestOk(const TDevice& d) {
  for (const TRequestOutcome& o : d.PollOutcomes)
    if (o.Ok) return true;
  return false;
}

bool LevelShown(const TDevice& d) {
  return LevelRead(d) && !(d.LevelState & kStateFailed);
}

std::string Level(const TDevice& d, std::uint16_t value) {
  return LevelShown(d) ? std::to_string(value) : "";
}

// The temperature cells of a device, `sensors` of them (empty beyond its own).
std::vector<std::string> TemperatureCells(const TDevice& d, int sensors) {
  const bool read = TemperaturesRead(d);
  const std::vector<std::uint16_t> words = d.TemperaturesSnapshot();
  std::vector<std::string> cells;
  for (int s = 0; s < sensors; ++s)
    cells.push_back(read && s < static_cast<int>(words.size()) ? TemperatureText(words[s]) : "");
  return cells;
}

}  // namespace

bool RequestConfirmed(const TRequestOutcome& outcome) {
  return outcome.Ok && outcome.Result != ResultText(rtSensorCountMismatch);
}

bool DataReadOk(const TDevice& device) {
  if (device.PollOutcomes.empty()) return false;
  for (const TRequestOutcome& o : device.PollOutcomes)
    if (!RequestConfirmed(o)) return false;
  return true;
}

std::string DataReadResult(const TDevice& device) {
  for (const TRequestOutcome& o : device.PollOutcomes)
    if (!RequestConfirmed(o)) return o.Result.empty() ? "Неизвестная ошибка" : o.Result;
  return device.PollOutcomes.empty() ? "" : ResultText(rtSuccess);
}

int WidestSensorCount(const TDeviceList& devices) {
  int widest = 0;
  for (int i = 0; i < devices.Count(); ++i)
    widest = std::max<int>(widest, devices[i]->SensorCount());
  return widest;
}

std::string DataTableText(const TDeviceList& devices) {
  const int sensors = WidestSensorCount(devices);
  std::vector<std::string> header = {"Name", "Addr", "C", "H", "Сост."};
  std::vector<bool> right = {false, true, true, true, false};
  for (int s = 1; s <= sensors; ++s) {
    header.push_back(std::to_string(s));
    right.push_back(true);
  }
  header.push_back("Result");
  TTextTable table(header, right);
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    std::vector<std::string> row = {d.Name(), std::to_string(d.SystemAddress()),
                                    Level(d, d.LevelCode), Level(d, d.Level),
                                    AnyRequestOk(d) ? StateText(d) : ""};
    for (std::string& cell : TemperatureCells(d, sensors)) row.push_back(std::move(cell));
    row.push_back(DataReadResult(d));
    table.AddRow(row);
  }
  return table.Text();
}

std::string DeviceDataJson(const TDevice& d) {
  const bool ok = DataReadOk(d);
  std::string j =
      "{\"name\":" + JsonString(d.Name()) + ",\"address\":" + std::to_string(d.SystemAddress()) +
      ",\"plant\":" + std::to_string(d.PlantNumber()) + ",\"ok\":" + (ok ? "true" : "false");
  if (!LevelShown(d)) {
    j += ",\"level_code\":null,\"level_dm\":null";
  } else {
    j += ",\"level_code\":" + std::to_string(d.LevelCode) +
         ",\"level_dm\":" + std::to_string(d.Level);
  }
  j += ",\"state\":" + (AnyRequestOk(d) ? JsonString(StateText(d)) : std::string("null")) +
       ",\"temperatures\":[";
  const std::vector<std::uint16_t> words = d.TemperaturesSnapshot();
  const bool read = TemperaturesRead(d);
  for (std::size_t s = 0; s < words.size(); ++s)
    j += (s ? "," : "") + (read ? TemperatureJson(words[s]) : std::string("null"));
  // The operation and result of the first request that failed, else the last.
  std::string operation =
      d.PollOutcomes.empty() ? d.LastOperation : d.PollOutcomes.back().Operation;
  for (const TRequestOutcome& o : d.PollOutcomes)
    if (!RequestConfirmed(o)) {
      operation = o.Operation;
      break;
    }
  j += "],\"operation\":" + JsonString(operation) + ",\"result\":" + JsonString(DataReadResult(d)) +
       ",\"requests\":[";
  for (std::size_t k = 0; k < d.PollOutcomes.size(); ++k) {
    const TRequestOutcome& o = d.PollOutcomes[k];
    j += std::string(k ? "," : "") + "{\"operation\":" + JsonString(o.Operation) +
         ",\"ok\":" + (RequestConfirmed(o) ? "true" : "false") +
         ",\"result\":" + JsonString(o.Result) + "}";
  }
  return j + "]}";
}

std::string CsvHeader(int sensors) {
  std::string h = "time,name,address,plant,level_code,level_dm,state";
  for (int s = 1; s <= sensors; ++s) h += ",t" + std::to_string(s);
  return h + ",result";
}

namespace {

std::string CsvFront(const std::string& time, const TDevice& d) {
  return time + "," + CsvField(d.Name()) + "," + std::to_string(d.SystemAddress()) + "," +
         std::to_string(d.PlantNumber()) + "," + Level(d, d.LevelCode) + "," + Level(d, d.Level) +
         "," + (AnyRequestOk(d) ? StateText(d) : "");
}

}  // namespace

std::string CsvRow(const std::string& time, const TDevice& d, int sensors) {
  std::string r = CsvFront(time, d);
  for (const std::string& cell : TemperatureCells(d, sensors)) r += "," + cell;
  return r + "," + CsvField(DataReadResult(d));
}

std::string CsvRowWithoutResult(const std::string& time, const TDevice& d) {
  std::string r = CsvFront(time, d);
  for (const std::string& cell : TemperatureCells(d, d.SensorCount())) r += "," + cell;
  return r;
}

bool ParseCsvHeader(const std::string& line, int& sensors, bool& hasResult) {
  const std::string front = "time,name,address,plant,level_code,level_dm,state";
  if (line.rfind(front, 0) != 0) return false;
  std::string rest = line.substr(front.size());
  hasResult = false;
  const std::string tail = ",result";
  if (rest.size() >= tail.size() &&
      rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0) {
    hasResult = true;
    rest.resize(rest.size() - tail.size());
  }
  sensors = 0;
  while (!rest.empty()) {
    const std::string next = ",t" + std::to_string(sensors + 1);
    if (rest.rfind(next, 0) != 0) return false;
    rest = rest.substr(next.size());
    ++sensors;
  }
  return true;
}
