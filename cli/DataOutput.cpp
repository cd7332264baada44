#include "DataOutput.h"

#include "Format.h"

int WidestSensorCount(const TDeviceList& devices) {
  int widest = 0;
  for (int i = 0; i < devices.Count(); ++i)
    widest = std::max<int>(widest, devices[i]->SensorCount());
  return widest;
}

bool DataReadOk(const TDevice& device) {
  return !(device.LevelState & kStateFailed) && !(device.TemperatureState & kStateFailed);
}

std::string DataTableText(const TDeviceList& devices) {
  const int sensors = WidestSensorCount(devices);
  std::vector<std::string> header = {"Name", "Addr", "C", "H", "Сост."};
  std::vector<bool> right = {false, true, true, true, false};
  for (int s = 1; s <= sensors; ++s) {
    header.push_back(std::to_string(s));
    right.push_back(true);
  }
  TTextTable table(header, right);
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    std::vector<std::string> row = {d.Name(), std::to_string(d.SystemAddress()), LevelCodeText(d),
                                    LevelText(d), StateText(d)};
    const std::vector<std::uint16_t> words = d.TemperaturesSnapshot();
    for (int s = 0; s < sensors; ++s)
      row.push_back(s < static_cast<int>(words.size()) ? TemperatureText(words[s]) : "");
    table.AddRow(row);
  }
  return table.Text();
}

std::string DeviceDataJson(const TDevice& d) {
  std::string j = "{\"name\":" + JsonString(d.Name()) +
                  ",\"address\":" + std::to_string(d.SystemAddress()) +
                  ",\"plant\":" + std::to_string(d.PlantNumber()) +
                  ",\"ok\":" + (DataReadOk(d) ? "true" : "false");
  if (d.LevelState & kStateFailed) {
    j += ",\"level_code\":null,\"level_dm\":null";
  } else {
    j += ",\"level_code\":" + std::to_string(d.LevelCode) +
         ",\"level_dm\":" + std::to_string(d.Level);
  }
  j += ",\"state\":" + JsonString(StateText(d)) + ",\"temperatures\":[";
  const std::vector<std::uint16_t> words = d.TemperaturesSnapshot();
  for (std::size_t s = 0; s < words.size(); ++s) j += (s ? "," : "") + TemperatureJson(words[s]);
  j += "],\"operation\":" + JsonString(d.LastOperation) +
       ",\"result\":" + JsonString(d.LastResult) + "}";
  return j;
}

std::string CsvHeader(int sensors) {
  std::string h = "time,name,address,plant,level_code,level_dm,state";
  for (int s = 1; s <= sensors; ++s) h += ",t" + std::to_string(s);
  return h;
}

std::string CsvRow(const std::string& time, const TDevice& d) {
  std::string r = time + "," + CsvField(d.Name()) + "," + std::to_string(d.SystemAddress()) + "," +
                  std::to_string(d.PlantNumber()) + "," + LevelCodeText(d) + "," + LevelText(d) +
                  "," + StateText(d);
  for (std::uint16_t w : d.TemperaturesSnapshot()) r += "," + TemperatureText(w);
  return r;
}
