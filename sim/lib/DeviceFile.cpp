#include "DeviceFile.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

// ---- a small JSON reader ---------------------------------------------------

struct TJson {
  enum TKind { Null, Bool, Number, String, Array, Object } Kind = Null;
  bool B = false;
  double N = 0;
  std::string S;
  std::vector<TJson> A;
  std::vector<std::pair<std::string, TJson>> O;
};

const char* KindName(TJson::TKind k) {
  static const char* const names[] = {"null", "true/false", "a number",
                                      "text", "a list",     "an object"};
  return names[k];
}

class TParser {
 public:
  explicit TParser(const std::string& text) : FText(text) {}

  TJson Document() {
    TJson v = Value(0);
    Space();
    if (FAt != FText.size()) Fail("unexpected text after the end of the document");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    int line = 1, column = 1;
    for (std::size_t i = 0; i < FAt && i < FText.size(); ++i) {
      if (FText[i] == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(FText[i]) & 0xC0) != 0x80) {
        ++column;
      }
    }
    throw EDeviceFile("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
                      what);
  }

  void Space() {
    while (FAt < FText.size() &&
           (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\n' || FText[FAt] == '\r')) {
      ++FAt;
    }
  }

  bool Take(const char* word) {
    const std::size_t n = std::char_traits<char>::length(word);
    if (FText.compare(FAt, n, word) != 0) return false;
    FAt += n;
    return true;
  }

  TJson Value(int depth) {
    if (depth > 64) Fail("nested too deeply");
    Space();
    if (FAt >= FText.size()) Fail("unexpected end of the document");
    TJson v;
    const char c = FText[FAt];
    if (c == '{') return ObjectValue(depth);
    if (c == '[') return ArrayValue(depth);
    if (c == '"') {
      v.Kind = TJson::String;
      v.S = StringValue();
    } else if (Take("true")) {
      v.Kind = TJson::Bool;
      v.B = true;
    } else if (Take("false")) {
      v.Kind = TJson::Bool;
    } else if (Take("null")) {
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.Kind = TJson::Number;
      const char* start = FText.c_str() + FAt;
      char* end = nullptr;
      v.N = std::strtod(start, &end);
      if (end == start || !std::isfinite(v.N)) Fail("bad number");
      FAt += static_cast<std::size_t>(end - start);
    } else {
      Fail(std::string("unexpected character '") + c + "'");
    }
    return v;
  }

  TJson ObjectValue(int depth) {
    TJson v;
    v.Kind = TJson::Object;
    ++FAt;
    Space();
    if (FAt < FText.size() && FText[FAt] == '}') {
      ++FAt;
      return v;
    }
    for (;;) {
      Space();
      if (FAt >= FText.size() || FText[FAt] != '"') Fail("expected a field name in quotes");
      std::string key = StringValue();
      Space();
      if (FAt >= FText.size() || FText[FAt] != ':') Fail("expected ':' after \"" + key + "\"");
      ++FAt;
      v.O.emplace_back(std::move(key), Value(depth + 1));
      Space();
      if (FAt < FText.size() && FText[FAt] == ',') {
        ++FAt;
        continue;
      }
      if (FAt < FText.size() && FText[FAt] == '}') {
        ++FAt;
        return v;
      }
      Fail("expected ',' or '}'");
    }
  }

  TJson ArrayValue(int depth) {
    TJson v;
    v.Kind = TJson::Array;
    ++FAt;
    Space();
    if (FAt < FText.size() && FText[FAt] == ']') {
      ++FAt;
      return v;
    }
    for (;;) {
      v.A.push_back(Value(depth + 1));
      Space();
      if (FAt < FText.size() && FText[FAt] == ',') {
        ++FAt;
        continue;
      }
      if (FAt < FText.size() && FText[FAt] == ']') {
        ++FAt;
        return v;
      }
      Fail("expected ',' or ']'");
    }
  }

  unsigned Hex4() {
    if (FAt + 4 > FText.size()) Fail("bad \\u escape");
    unsigned u = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FAt++];
      u <<= 4;
      if (c >= '0' && c <= '9')
        u |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        u |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        u |= static_cast<unsigned>(c - 'A' + 10);
      else
        Fail("bad \\u escape");
    }
    return u;
  }

  static void Utf8(std::string& s, unsigned cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | cp >> 6);
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | cp >> 12);
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | cp >> 18);
      s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string StringValue() {
    ++FAt;  // opening quote
    std::string s;
    for (;;) {
      if (FAt >= FText.size()) Fail("text without its closing quote");
      const char c = FText[FAt++];
      if (c == '"') return s;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in text");
      if (c != '\\') {
        s += c;
        continue;
      }
      if (FAt >= FText.size()) Fail("text without its closing quote");
      const char e = FText[FAt++];
      switch (e) {
        case '"':
          s += '"';
          break;
        case '\\':
          s += '\\';
          break;
        case '/':
          s += '/';
          break;
        case 'b':
          s += '\b';
          break;
        case 'f':
          s += '\f';
          break;
        case 'n':
          s += '\n';
          break;
        case 'r':
          s += '\r';
          break;
        case 't':
          s += '\t';
          break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && FText.compare(FAt, 2, "\\u") == 0) {
            FAt += 2;
            const unsigned low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          Utf8(s, cp);
          break;
        }
        default:
          Fail(std::string("bad escape '\\") + e + "'");
      }
    }
  }

  const std::string& FText;
  std::size_t FAt = 0;
};

// ---- devices from JSON -----------------------------------------------------

[[noreturn]] void Bad(const std::string& path, const std::string& what) {
  throw EDeviceFile(path + ": " + what);
}

std::string Describe(const TJson& v) {
  if (v.Kind == TJson::Number) {
    std::ostringstream s;
    s << v.N;
    return s.str();
  }
  if (v.Kind == TJson::String) return "\"" + v.S + "\"";
  return KindName(v.Kind);
}

long Integer(const TJson& v, const std::string& path, long min, long max) {
  if (v.Kind != TJson::Number || v.N != std::floor(v.N) || v.N < min || v.N > max) {
    Bad(path, "expected an integer " + std::to_string(min) + ".." + std::to_string(max) + ", got " +
                  Describe(v));
  }
  return static_cast<long>(v.N);
}

double Real(const TJson& v, const std::string& path) {
  if (v.Kind != TJson::Number) Bad(path, "expected a number, got " + Describe(v));
  return v.N;
}

bool Boolean(const TJson& v, const std::string& path) {
  if (v.Kind != TJson::Bool) Bad(path, "expected true or false, got " + Describe(v));
  return v.B;
}

const std::string& Text(const TJson& v, const std::string& path) {
  if (v.Kind != TJson::String) Bad(path, "expected text in quotes, got " + Describe(v));
  return v.S;
}

void ExpectObject(const TJson& v, const std::string& path) {
  if (v.Kind != TJson::Object) Bad(path, "expected an object {...}, got " + Describe(v));
}

std::uint16_t TemperatureWord(const TJson& v, const std::string& path) {
  if (v.Kind == TJson::Number) {
    if (v.N < -2048 || v.N > 2047) Bad(path, "temperature out of range, got " + Describe(v));
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v.N * 16)));
  }
  if (v.Kind == TJson::String) {
    if (v.S == "nodata") return kSimNoData;
    if (v.S == "fault") return kSimFaultA;
    if (v.S == "fault2") return kSimFaultB;
    if (v.S.size() == 6 && v.S.compare(0, 2, "0x") == 0) {
      char* end = nullptr;
      const unsigned long w = std::strtoul(v.S.c_str() + 2, &end, 16);
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
  for (const auto& [key, value] : v.O) {
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
  for (const auto& [key, value] : v.O) {
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
  for (const auto& [key, value] : v.O) {
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
      if (value.Kind != TJson::Array) Bad(p, "expected a list [...], got " + Describe(value));
      if (value.A.size() > kSimMaxSensors) Bad(p, "more than 32 sensors");
      for (std::size_t i = 0; i < value.A.size(); ++i) {
        d.Temperatures.push_back(TemperatureWord(value.A[i], p + "[" + std::to_string(i) + "]"));
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
  const TJson doc = TParser(text).Document();
  const TJson* list = &doc;
  std::string path = "devices";
  if (doc.Kind == TJson::Object) {
    list = nullptr;
    for (const auto& [key, value] : doc.O) {
      if (key == "devices")
        list = &value;
      else
        Bad(key, "unknown field");
    }
    if (!list) Bad("devices", "missing");
  }
  if (list->Kind != TJson::Array) Bad(path, "expected a list [...], got " + Describe(*list));
  std::vector<TSimDevice> devices;
  for (std::size_t i = 0; i < list->A.size(); ++i) {
    devices.push_back(ReadDevice(list->A[i], path + "[" + std::to_string(i) + "]"));
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
