#include "HistoryExport.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string q = "\"";
  for (char c : text) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::string DegreesText(std::uint16_t word) {
  if (word == kNoDataTemperature) return {};
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return "****";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<std::int16_t>(word) / 16.0);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string ResultOf(const THistoryReading& r) {
  for (const TRequestOutcome& o : r.Outcomes)
    if (!o.Ok) return o.Result.empty() ? "Неизвестная ошибка" : o.Result;
  return r.Outcomes.empty() ? std::string() : r.Outcomes.front().Result;
}

std::string Json(const std::string& text) {
  std::string j = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      j += '\\';
      j += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      j += buf;
    } else {
      j += static_cast<char>(c);
    }
  }
  return j + "\"";
}

std::size_t Utf8Length(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

std::string HistoryCsvHeader(int sensors) {
  std::string h = "time_utc,time_ms,plant,address,name,protocol,result,level_code,level_dm,state";
  for (int s = 1; s <= sensors; ++s) h += ",t" + std::to_string(s);
  return h;
}

std::int64_t ExportHistoryCsv(THistoryStore& store, const THistoryExportRange& range,
                              std::ostream& out,
                              const std::function<bool(std::int64_t)>& progress) {
  std::map<std::uint16_t, THistoryDevice> devices;
  int sensors = 0;
  for (const THistoryDevice& d : store.Devices()) {
    devices[d.PlantNumber] = d;
    bool wanted = range.Plants.empty();
    for (std::uint16_t p : range.Plants) wanted = wanted || p == d.PlantNumber;
    if (wanted) sensors = std::max(sensors, std::min(d.SensorCount, kMaxSensorCount));
  }
  out << HistoryCsvHeader(sensors) << "\r\n";
  std::int64_t rows = 0;
  const bool completed = store.ForEachReading(
      range.Plants, range.FromMs, range.ToMs, [&](const THistoryReading& r) {
        const auto d = devices.find(r.PlantNumber);
        char state[16];
        std::snprintf(state, sizeof state, "0x%02X",
                      static_cast<unsigned>((r.LevelState | r.TemperatureState) & 0x7FFF));
        out << UtcTimeText(r.TimeMs) << ',' << r.TimeMs << ',' << r.PlantNumber << ','
            << static_cast<int>(r.SystemAddress) << ','
            << CsvField(d == devices.end() ? std::string() : d->second.Name) << ','
            << (r.Protocol == 1 ? "modbus" : "native") << ',' << CsvField(ResultOf(r)) << ','
            << (r.LevelCode ? std::to_string(*r.LevelCode) : std::string()) << ','
            << (r.Level ? std::to_string(*r.Level) : std::string()) << ',' << state;
        for (int s = 0; s < sensors; ++s) {
          out << ',';
          if (r.TemperaturesConfirmed && s < static_cast<int>(r.Temperatures.size()))
            out << DegreesText(r.Temperatures[static_cast<std::size_t>(s)]);
        }
        out << "\r\n";
        ++rows;
        if (progress && (rows == 1 || rows % 1024 == 0) && !progress(rows)) return false;
        return static_cast<bool>(out);
      });
  if (!completed && out) return -1;
  if (progress) progress(rows);
  return rows;
}

std::int64_t ExportHistoryCsvFile(THistoryStore& store, const THistoryExportRange& range,
                                  const std::string& path,
                                  const std::function<bool(std::int64_t)>& progress) {
  const std::string temporary = path + ".part";
  std::int64_t rows = 0;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + temporary + ": " + std::strerror(errno));
    try {
      rows = ExportHistoryCsv(store, range, out, progress);
    } catch (...) {
      out.close();
      std::remove(temporary.c_str());
      throw;
    }
    out.flush();
    if (!out) {
      const std::string why = std::strerror(errno);
      out.close();
      std::remove(temporary.c_str());
      throw std::runtime_error("cannot write " + path + ": " + why);
    }
  }
  if (rows < 0) {
    std::remove(temporary.c_str());
    return rows;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::remove(temporary.c_str());
    throw std::runtime_error("cannot write " + path + ": " + error.message());
  }
  return rows;
}

std::string UtcTimeText(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(((ms % 1000) + 1000) % 1000));
  return buf;
}

std::string LocalTimeText(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool ParseTimeText(const std::string& raw, std::int64_t& ms) {
  if (raw == "now") {
    ms = UtcNowMs();
    return true;
  }
  std::string text = raw;
  const bool utc = !text.empty() && (text.back() == 'Z' || text.back() == 'z');
  if (utc) text.pop_back();
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sep = 0;
  int consumed = 0;
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed);
  if (n != 3) return false;
  std::string rest = text.substr(static_cast<std::size_t>(consumed));
  if (!rest.empty()) {
    int used = 0;
    const int m = std::sscanf(rest.c_str(), "%c%2d:%2d%n", &sep, &h, &mi, &used);
    if (m != 3 || (sep != 'T' && sep != ' ')) return false;
    rest = rest.substr(static_cast<std::size_t>(used));
    if (!rest.empty()) {
      int more = 0;
      if (std::sscanf(rest.c_str(), ":%2d%n", &s, &more) != 1 ||
          static_cast<std::size_t>(more) != rest.size())
        return false;
    }
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970) return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  const std::time_t t = utc ? timegm(&tm) : std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  ms = static_cast<std::int64_t>(t) * 1000;
  return true;
}

std::string AlarmValueText(TAlarmKind kind, double value) {
  char buf[48];
  if (kind == TAlarmKind::Rise)
    std::snprintf(buf, sizeof buf, "%.1f °C/сут", value);
  else
    std::snprintf(buf, sizeof buf, "%.2f °C", value);
  return buf;
}

std::string AlarmsTable(const std::vector<TAlarm>& alarms) {
  std::vector<std::vector<std::string>> rows = {{"Время", "Прибор", "Зав. №", "Датчик", "Тревога",
                                                 "Значение", "Порог", "Состояние",
                                                 "Квитирована"}};
  for (const TAlarm& a : alarms) {
    rows.push_back({LocalTimeText(a.RaisedMs), a.DeviceName, std::to_string(a.PlantNumber),
                    std::to_string(a.Sensor), AlarmKindText(a.Kind), AlarmValueText(a.Kind, a.Value),
                    AlarmValueText(a.Kind, a.Limit),
                    a.Active() ? "активна" : "снята " + LocalTimeText(a.ClearedMs),
                    a.Acknowledged() ? LocalTimeText(a.AckMs) + " " + a.AckBy : "нет"});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Utf8Length(row[c]));
  std::ostringstream out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Utf8Length(row[c]) + 2, ' ');
    }
    out << line << '\n';
  }
  return out.str();
}

std::string AlarmsJson(const std::vector<TAlarm>& alarms) {
  std::string j = "[";
  for (const TAlarm& a : alarms) {
    if (j.size() > 1) j += ",";
    j += "{\"id\":" + std::to_string(a.Id) + ",\"kind\":" +
         Json(a.Kind == TAlarmKind::Rise ? "rise" : "upper") +
         ",\"plant\":" + std::to_string(a.PlantNumber) + ",\"name\":" + Json(a.DeviceName) +
         ",\"sensor\":" + std::to_string(a.Sensor) + ",\"raised\":" + Json(UtcTimeText(a.RaisedMs)) +
         ",\"value\":" + std::to_string(a.Value) + ",\"limit\":" + std::to_string(a.Limit) +
         ",\"active\":" + (a.Active() ? "true" : "false") +
         ",\"cleared\":" + (a.Active() ? "null" : Json(UtcTimeText(a.ClearedMs))) +
         ",\"acknowledged\":" + (a.Acknowledged() ? Json(UtcTimeText(a.AckMs)) : "null") +
         ",\"acknowledged_by\":" + (a.Acknowledged() ? Json(a.AckBy) : "null") + "}";
  }
  return j + "]\n";
}
