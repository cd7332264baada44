#include "DeviceFile.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

namespace {

// Fields keep the order of the file: the first bad one is the one reported.
using TJson = nlohmann::ordered_json;

// "line L, column C" of a byte offset; columns count characters, not bytes.
std::string Place(const std::string& text, std::size_t offset) {
  int line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

TJson ParseJson(const std::string& text) {
  try {
    return TJson::parse(text);
  } catch (const TJson::parse_error& e) {
    // The library's message names the place in its own words; ours is given
    // in front, the reason after it.
    std::string reason = e.what();
    if (const auto colon = reason.find(": "); colon != std::string::npos)
      reason = reason.substr(colon + 2);
    throw EDeviceFile(Place(text, e.byte ? e.byte - 1 : 0) + ": " + reason);
  }
}

// ---- devices from JSON -----------------------------------------------------

[[noreturn]] void Bad(const std::string& path, const std::string& what) {
  throw EDeviceFile(path + ": " + what);
}

std::string Describe(const TJson& v) {
  if (v.is_number()) return v.dump();
  if (v.is_string()) return "\"" + v.get_ref<const std::string&>() + "\"";
  if (v.is_boolean()) return "true/false";
  if (v.is_array()) return "a list";
  if (v.is_object()) return "an object";
  return "null";
}

long Integer(const TJson& v, const std::string& path, long min, long max) {
  const double n = v.is_number() ? v.get<double>() : 0;
  if (!v.is_number() || n != std::floor(n) || n < min || n > max) {
    Bad(path, "expected an integer " + std::to_string(min) + ".." + std::to_string(max) + ", got " +
                  Describe(v));
  }
  return static_cast<long>(n);
}

double Real(const TJson& v, const std::string& path) {
  if (!v.is_number()) Bad(path, "expected a number, got " + Describe(v));
  return v.get<double>();
}

bool Boolean(const TJson& v, const std::string& path) {
  if (!v.is_boolean()) Bad(path, "expected true or false, got " + Describe(v));
  return v.get<bool>();
}

const std::string& Text(const TJson& v, const std::string& path) {
  if (!v.is_string()) Bad(path, "expected text in quotes, got " + Describe(v));
  return v.get_ref<const std::string&>();
}

void ExpectObject(const TJson& v, const std::string& path) {
  if (!v.is_object()) Bad(path, "expected an object {...}, got " + Describe(v));
}

std::uint16_t TemperatureWord(const TJson& v, const std::string& path) {
  if (v.is_number()) {
    const double degrees = v.get<double>();
    if (degrees < -2048 || degrees > 2047)
      Bad(path, "temperature out of range, got " + Describe(v));
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(degrees * 16)));
  }
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s == "nodata") return kSimNoData;
    if (s == "fault") return kSimFaultA;
    if (s == "fault2") return kSimFaultB;
    if (s.size() == 6 && s.compare(0, 2, "0x") == 0) {
      char* end = nullptr;
      const unsigned long w = std::strtoul(s.c_str() + 2, &end, 16);
      if (end && *end == '\0') return static_cast<std::uint16_t>(w);
    }
  }
  Bad(path,
      "expected degrees, \"nodata\", \"fault\", \"fault2\" or \"0xHHHH\", got " + Describe(v));
}

std::vector<std::uint8_t> HexBytes(const std::string& text, const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(text);
  std::string item;
  while (in >> item) {
    char* end = nullptr;
    const unsigned long b = std::strtoul(item.c_str(), &end, 16);
    if (item.size() > 2 || !end || *end != '\0' || b > 255) {
      Bad(path, "expected hexadecimal bytes such as \"01 A2 FF\", got \"" + text + "\"");
    }
    bytes.push_back(static_cast<std::uint8_t>(b));
  }
  return bytes;
}

void ReadFaults(const TJson& v, const std::string& path, TSimFaults& f) {
  ExpectObject(v, path);
  for (const auto& [key, value] : v.items()) {
    const std::string p = path + "." + key;
    if (key == "silent")
      f.Silent = Boolean(value, p);
    else if (key == "badCrc")
      f.BadCrc = Boolean(value, p);
    else if (key == "errorCode")
      f.ErrorCode = static_cast<int>(Integer(value, p, 0, 255));
    else if (key == "deviceType")
      f.DeviceType = static_cast<int>(Integer(value, p, 0, 255));
    else if (key == "sensorCount")
      f.SensorCount = static_cast<int>(Integer(value, p, 0, 32));
    else if (key == "shortBy")
      f.ShortBy = static_cast<int>(Integer(value, p, 0, 255));
    else if (key == "delayMs")
      f.DelayMs = static_cast<int>(Integer(value, p, 0, 600000));
    else if (key == "garbage")
      f.Garbage = HexBytes(Text(value, p), p);
    else if (key == "remaining")
      f.Remaining = static_cast<int>(Integer(value, p, -1, 1000000));
    else
      Bad(p, "unknown field");
  }
}

void ReadCalibration(const TJson& v, const std::string& path, TSimDevice& d) {
  ExpectObject(v, path);
  for (const auto& [key, value] : v.items()) {
    const std::string p = path + "." + key;
    const auto word = static_cast<std::uint16_t>(Integer(value, p, 0, 65535));
    if (key == "c1")
      d.CalibrationCode1 = word;
    else if (key == "nu")
      d.UnmeasurableLevel = word;
    else if (key == "c2")
      d.CalibrationCode2 = word;
    else if (key == "h2")
      d.CalibrationLevel2 = word;
    else
      Bad(p, "unknown field");
  }
}

TSimDevice ReadDevice(const TJson& v, const std::string& path) {
  ExpectObject(v, path);
  TSimDevice d;
  bool address = false, plant = false, temperatures = false;
  long sensors = -1;
  for (const auto& [key, value] : v.items()) {
    const std::string p = path + "." + key;
    if (key == "name") {
      d.Name = Text(value, p);
    } else if (key == "address") {
      d.Address = static_cast<std::uint8_t>(Integer(value, p, 0, 255));
      address = true;
    } else if (key == "plant") {
      d.PlantNumber = static_cast<std::uint16_t>(Integer(value, p, 0, 65535));
      plant = true;
    } else if (key == "protocol") {
      const std::string& s = Text(value, p);
      if (s == "native")
        d.Protocol = dpLargis1;
      else if (s == "modbus")
        d.Protocol = dpModbus;
      else
        Bad(p, "expected \"native\" or \"modbus\", got \"" + s + "\"");
    } else if (key == "hardware") {
      d.HardwareVersion = static_cast<std::uint8_t>(Integer(value, p, 0, 255));
    } else if (key == "software") {
      d.SoftwareVersion = static_cast<std::uint8_t>(Integer(value, p, 0, 255));
    } else if (key == "temperatures") {
      if (!value.is_array()) Bad(p, "expected a list [...], got " + Describe(value));
      if (value.size() > kSimMaxSensors) Bad(p, "more than 32 sensors");
      for (std::size_t i = 0; i < value.size(); ++i) {
        d.Temperatures.push_back(TemperatureWord(value[i], p + "[" + std::to_string(i) + "]"));
      }
      temperatures = true;
    } else if (key == "sensors") {
      sensors = Integer(value, p, 0, kSimMaxSensors);
    } else if (key == "level") {
      d.LevelMetres = Real(value, p);
    } else if (key == "levelCode") {
      d.LevelCode = static_cast<std::uint16_t>(Integer(value, p, 0, 65535));
    } else if (key == "flags") {
      d.StatusFlags = static_cast<std::uint16_t>(Integer(value, p, 0, 65535));
    } else if (key == "calibration") {
      ReadCalibration(value, p, d);
    } else if (key == "coefficient") {
      d.AveragingCoefficient = static_cast<std::uint8_t>(Integer(value, p, 1, 255));
    } else if (key == "baud") {
      d.Baud = static_cast<int>(Integer(value, p, 0, 4000000));
    } else if (key == "drift") {
      d.Drift = Boolean(value, p);
    } else if (key == "faults") {
      ReadFaults(value, p, d.Faults);
    } else {
      Bad(p, "unknown field");
    }
  }
  if (!address) Bad(path + ".address", "missing");
  if (!plant) Bad(path + ".plant", "missing");
  if (sensors >= 0 && temperatures && static_cast<long>(d.Temperatures.size()) != sensors) {
    Bad(path + ".sensors", "says " + std::to_string(sensors) + " but \"temperatures\" lists " +
                               std::to_string(d.Temperatures.size()));
  }
  if (sensors >= 0 && !temperatures) {
    for (long i = 0; i < sensors; ++i) {
      d.Temperatures.push_back(static_cast<std::uint16_t>(320 + 4 * i));  // 20 degC and up
    }
  }
  return d;
}

}  // namespace

std::vector<TSimDevice> ParseDeviceFile(const std::string& text) {
  const TJson doc = ParseJson(text);
  const TJson* list = &doc;
  std::string path = "devices";
  if (doc.is_object()) {
    list = nullptr;
    for (const auto& [key, value] : doc.items()) {
      if (key == "devices")
        list = &value;
      else
        Bad(key, "unknown field");
    }
    if (!list) Bad("devices", "missing");
  }
  if (!list->is_array()) Bad(path, "expected a list [...], got " + Describe(*list));
  std::vector<TSimDevice> devices;
  for (std::size_t i = 0; i < list->size(); ++i) {
    devices.push_back(ReadDevice((*list)[i], path + "[" + std::to_string(i) + "]"));
  }
  return devices;
}

std::vector<TSimDevice> LoadDeviceFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EDeviceFile(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseDeviceFile(text.str());
  } catch (const EDeviceFile& e) {
    throw EDeviceFile(path + ": " + e.what());
  }
}
