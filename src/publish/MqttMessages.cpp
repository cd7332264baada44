#include "MqttMessages.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "Device.h"

using nlohmann::json;

namespace {

const char* ProtocolName(int protocol) {
  return protocol == 1 ? "modbus" : "native";
}

bool IsFault(std::uint16_t word) {
  return word == kFaultTemperatureA || word == kFaultTemperatureB;
}

// Device texts may hold bytes that are not UTF-8 (a record from an odd
// file): those are replaced rather than refused.
std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string UtcIsoTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const int milli = static_cast<int>(ms - static_cast<std::int64_t>(seconds) * 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
  return text;
}

std::string PlantTopic(std::uint16_t plant, const char* leaf) {
  return std::to_string(plant) + "/" + leaf;
}

std::string ReadingJson(const TOutboxItem& item) {
  const TDeviceReading& r = item.Reading;
  json requests = json::array();
  for (const TRequestOutcome& o : r.Outcomes)
    requests.push_back({{"operation", o.Operation}, {"result", o.Result}, {"ok", o.Ok}});
  json temperatures = json::array();
  json flags = json::array();
  for (int i = 0; i < r.SensorCount; ++i) {
    const bool known = r.TemperaturesConfirmed && i < static_cast<int>(r.Temperatures.size());
    const std::uint16_t word =
        known ? r.Temperatures[static_cast<std::size_t>(i)] : kNoDataTemperature;
    if (word == kNoDataTemperature) {
      temperatures.push_back(nullptr);
      flags.push_back("no_data");
    } else if (IsFault(word)) {
      temperatures.push_back(nullptr);
      flags.push_back("fault");
    } else {
      temperatures.push_back(static_cast<std::int16_t>(word) / 16.0);
      flags.push_back("ok");
    }
  }
  json j = {{"time", UtcIsoTime(item.TimeMs)},
            {"time_ms", item.TimeMs},
            {"cycle", item.Cycle},
            {"plant", r.PlantNumber},
            {"address", r.SystemAddress},
            {"name", r.Name},
            {"protocol", ProtocolName(item.Protocol)},
            {"ok", r.Ok()},
            {"result", !r.Ok()              ? r.FailureText()
                       : r.Outcomes.empty() ? std::string()
                                            : r.Outcomes.back().Result},
            {"requests", std::move(requests)},
            {"level_code", nullptr},
            {"level_dm", nullptr},
            {"level_state", r.LevelState},
            {"temperature_state", r.TemperatureState},
            {"state", (r.LevelState | r.TemperatureState) & 0x7FFF},
            {"sensors", r.SensorCount},
            {"temperatures", std::move(temperatures)},
            {"temperature_flags", std::move(flags)}};
  if (r.LevelConfirmed) {
    j["level_code"] = r.LevelCode;
    j["level_dm"] = r.Level;
  }
  return Dump(j);
}

std::string MetaJson(const TDeviceMeta& m, const std::string& line, int protocol,
                     std::int64_t timeMs) {
  json firmware = nullptr;
  if (m.SoftwareVersion || m.HardwareVersion)
    firmware = {{"software", m.SoftwareVersion ? json(*m.SoftwareVersion) : json(nullptr)},
                {"hardware", m.HardwareVersion ? json(*m.HardwareVersion) : json(nullptr)}};
  const json j = {{"time", UtcIsoTime(timeMs)},
                  {"line", line},
                  {"plant", m.PlantNumber},
                  {"address", m.SystemAddress},
                  {"name", m.Name},
                  {"note", m.Note},
                  {"protocol", ProtocolName(protocol)},
                  {"sensors", m.SensorCount},
                  {"calibration",
                   {{"c1", m.CalibrationCode1},
                    {"c2", m.CalibrationCode2},
                    {"h1_dm", m.UnmeasurableLevel},
                    {"h2_dm", m.CalibrationLevel2},
                    {"averaging", m.AveragingCoefficient}}},
                  {"firmware", std::move(firmware)}};
  return Dump(j);
}

TOutboxItem AlarmMessage(const TAlarmChange& change) {
  const TAlarm& a = change.Alarm;
  const std::int64_t when = change.Raised ? a.RaisedMs : a.ClearedMs;
  const json j = {{"time", UtcIsoTime(when)},
                  {"time_ms", when},
                  {"plant", a.PlantNumber},
                  {"name", a.DeviceName},
                  {"sensor", a.Sensor},
                  {"kind", a.Kind == TAlarmKind::Rise ? "rise" : "upper"},
                  {"kind_text", AlarmKindText(a.Kind)},
                  {"state", change.Raised ? "raised" : "cleared"},
                  {"value", a.Value},
                  {"limit", a.Limit},
                  {"raised", UtcIsoTime(a.RaisedMs)},
                  {"cleared", a.ClearedMs ? json(UtcIsoTime(a.ClearedMs)) : json(nullptr)}};
  TOutboxItem item;
  item.Kind = TOutboxItem::TKind::Message;
  item.TimeMs = when;
  item.PlantNumber = a.PlantNumber;
  item.Topic = PlantTopic(a.PlantNumber, "alarm");
  item.Payload = Dump(j);
  return item;
}
