#include "FrameDecoder.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_set>

#include "Crc16.h"

namespace {

using TBytes = const std::uint8_t*;

std::uint16_t Word(TBytes b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::string Hex2(unsigned v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%02X", v & 0xFFu);
  return s;
}

std::string Hex4(unsigned v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%04X", v & 0xFFFFu);
  return s;
}

std::string Num(long v) {
  return std::to_string(v);
}

std::string Fixed(double v, int decimals) {
  if (!std::isfinite(v)) return "не число";
  char s[48];
  std::snprintf(s, sizeof s, "%.*f", decimals, v);
  return s;
}

float FloatBE(TBytes b, std::size_t at) {
  const std::uint32_t u = (static_cast<std::uint32_t>(b[at]) << 24) |
                          (static_cast<std::uint32_t>(b[at + 1]) << 16) |
                          (static_cast<std::uint32_t>(b[at + 2]) << 8) | b[at + 3];
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// A temperature word in degrees with two decimals, as "%.2f" of w / 16 gives
// it (halves to even), without the cost of printf: w / 16 is w * 6.25
// hundredths, so the remainder is a whole number of quarters.
std::string Temperature(std::uint16_t w) {
  if (w == 0xDDDD) return "нет";
  if (w == 0xAAAA || w == 0x55AA) return "****";
  const int v = static_cast<std::int16_t>(w);
  const long quarters = static_cast<long>(v < 0 ? -v : v) * 25;  // hundredths x 4
  long hundredths = quarters / 4;
  const long rest = quarters % 4;
  if (rest == 3 || (rest == 2 && (hundredths & 1))) ++hundredths;
  char s[16];
  char* p = s + sizeof s;
  *--p = '\0';
  *--p = static_cast<char>('0' + hundredths % 10);
  *--p = static_cast<char>('0' + hundredths / 10 % 10);
  *--p = '.';
  long whole = hundredths / 100;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole);
  if (v < 0 && hundredths != 0) *--p = '-';
  return p;
}

// Up to `limit` temperature words from b[at], as many as fit in n bytes.
std::string Temperatures(TBytes b, std::size_t n, std::size_t at, std::size_t count,
                         std::size_t limit = 8) {
  std::string s;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < count && at + 2 * i + 1 < n; ++i) {
    if (shown == limit) {
      s += " …";
      break;
    }
    s += (shown ? " " : "") + Temperature(Word(b, at + 2 * i));
    ++shown;
  }
  return s;
}

bool CrcOk(TBytes b, std::size_t n) {
  if (n < 3) return false;
  const std::uint16_t crc = static_cast<std::uint16_t>(b[n - 2] | (b[n - 1] << 8));
  return crc == Crc16(b, 0, static_cast<int>(n - 2));
}

// A native frame's length byte says how long it is: length + 4 bytes.
bool NativeShape(TBytes b, std::size_t n) {
  return n >= 5 && static_cast<std::size_t>(b[2]) + 4 == n;
}

std::string SensorsWord(long n) {
  const long t = n % 100, u = n % 10;
  if (t >= 11 && t <= 14) return "датчиков";
  if (u == 1) return "датчик";
  if (u >= 2 && u <= 4) return "датчика";
  return "датчиков";
}

void NativeRequest(TBytes b, std::size_t n, TDecodedFrame& d) {
  const std::uint8_t cmd = b[1];
  auto param = [&](std::size_t i) { return i < n - 2 ? b[i] : -1; };  // before the CRC
  switch (cmd) {
    case 0x01:
      if (param(3) == 2)
        d.Name = "Чтение показаний температуры";
      else if (param(3) == 1)
        d.Name = "Чтение данных уровнемера";
      else
        d.Name = "Чтение данных, вид " + Num(param(3));
      return;
    case 0x20:
      d.Name = "Чтение идентификации устройства";
      return;
    case 0x25:
      d.Name = "Запись системного адреса";
      if (n >= 9) d.Fields = "зав. № " + Num(Word(b, 4)) + " → адрес " + Num(b[6]);
      return;
    case 0xB4: {
      const int p = param(3);
      d.Name = p == 1   ? "Чтение числа датчиков"
               : p == 2 ? "Чтение коэффициента усреднения"
                        : "Чтение параметра " + Num(p);
      return;
    }
    case 0xB1: {
      const int p = param(3), v = param(4);
      if (p == 3 && v == 0xAA) {
        d.Name = "Изменить протокол на Modbus";
      } else if (p == 2) {
        d.Name = "Запись коэффициента усреднения";
        d.Fields = "значение " + Num(v);
      } else if (p == 1) {
        d.Name = "Запись числа датчиков";
        d.Fields = "значение " + Num(v);
      } else {
        d.Name = "Запись параметра " + Num(p);
        d.Fields = "значение " + Num(v);
      }
      return;
    }
    case 0xA6:
      d.Name = "Чтение калибровочных точек";
      if (n >= 8) d.Fields = "память " + Hex4(Word(b, 3)) + ", " + Num(b[5]) + " байт";
      return;
    case 0xA4:
      if (n >= 15 && Word(b, 3) == 0) {
        const std::uint16_t c1 = Word(b, 5), nu = Word(b, 7), c2 = Word(b, 9), h2 = Word(b, 11);
        if (c1 == 0xAAAA && c2 == 0x5555) {
          d.Name = "Калибровка на пустом бункере";
          d.Fields = "НУ " + Num(nu) + " дм";
        } else {
          d.Name = "Запись калибровочных точек";
          d.Fields = "C1 " + Num(c1) + ", НУ " + Num(nu) + " дм, C2 " + Num(c2) + ", H2 " +
                     Num(h2) + " дм";
        }
      } else {
        d.Name = "Запись памяти";
        if (n >= 7) d.Fields = "адрес " + Hex4(Word(b, 3));
      }
      return;
    default:
      d.Name = "команда " + Hex2(cmd);
  }
}

void NativeAnswer(TBytes b, std::size_t n, const TFrameRecord& f, TDecodedFrame& d) {
  const std::uint8_t cmd = b[1];
  const bool haveRequest = f.RequestLength >= 4;
  const int requestKind = haveRequest ? f.Request[3] : -1;
  const std::size_t body = n >= 2 ? n - 2 : 0;  // bytes before the CRC
  switch (cmd) {
    case 0xFA:
      d.Name = "ошибка";
      if (body > 3) d.Fields = "код " + Hex2(b[3]);
      return;
    case 0x01: {
      const bool level = haveRequest ? requestKind == 1 : b[2] == 6;
      if (level) {
        d.Name = "данные уровнемера";
        if (body >= 8)
          d.Fields = "код " + Num(Word(b, 3)) + ", уровень " + Num(Word(b, 5)) + " дм, флаги " +
                     Hex2(b[7]);
        return;
      }
      const long count = b[2] >> 1;
      d.Name = "показания температуры";
      d.Fields = Num(count) + " " + SensorsWord(count);
      if (count > 0) d.Fields += ": " + Temperatures(b, body, 3, static_cast<std::size_t>(count));
      return;
    }
    case 0x20:
      d.Name = "идентификация";
      if (body >= 8)
        d.Fields = "тип " + Num(b[3]) + ", зав. № " + Num(Word(b, 4)) + ", аппаратная версия " +
                   Num(b[6]) + ", версия ПО " + Num(b[7]);
      return;
    case 0x25:
      d.Name = "адрес принят";
      if (body >= 6) d.Fields = "зав. № " + Num(Word(b, 4));
      return;
    case 0xB4: {
      d.Name = requestKind == 1   ? "число датчиков"
               : requestKind == 2 ? "коэффициент усреднения"
                                  : "параметр";
      if (body > 3) d.Fields = "значение " + Num(b[3]);
      return;
    }
    case 0xA6:
      d.Name = "калибровочные точки";
      if (body >= 11)
        d.Fields = "C1 " + Num(Word(b, 3)) + ", НУ " + Num(Word(b, 5)) + " дм, C2 " +
                   Num(Word(b, 7)) + ", H2 " + Num(Word(b, 9)) + " дм";
      return;
    case 0xA4:
    case 0xB1:
      d.Name = "запись подтверждена";
      return;
    default:
      d.Name = "команда " + Hex2(cmd);
  }
}

std::string RegisterRange(long start, long count) {
  if (count <= 1) return Num(start);
  return Num(start) + "–" + Num(start + count - 1);
}

void ModbusRequest(TBytes b, std::size_t n, TDecodedFrame& d) {
  const std::uint8_t fn = b[1];
  if ((fn == 0x03 || fn == 0x04) && n >= 8) {
    const long start = Word(b, 2), count = Word(b, 4);
    const std::string range = RegisterRange(start, count);
    if (fn == 0x04 && start == 0 && count == 45)
      d.Name = "Чтение данных";
    else if (fn == 0x04 && start == 14 && count == 1)
      d.Name = "Чтение числа датчиков";
    else if (fn == 0x03 && start == 1000 && count == 2)
      d.Name = "Чтение неизмеряемого уровня";
    else
      d.Name = fn == 0x04 ? "Чтение входных регистров" : "Чтение регистров хранения";
    d.Fields = (fn == 0x04 ? "входные регистры " : "регистры хранения ") + range;
    return;
  }
  if (fn == 0x10 && n >= 9) {
    const long start = Word(b, 2), count = Word(b, 4);
    const std::size_t values = 7;  // first value byte
    auto value = [&](std::size_t i) {
      return values + 2 * i + 1 < n - 2 ? Word(b, values + 2 * i) : -1;
    };
    d.Fields = "регистры хранения " + RegisterRange(start, count);
    if (start == 0 && count == 3) {
      d.Name = "Запись системного адреса";
      if (value(2) >= 0) d.Fields += ": зав. № " + Num(value(1)) + " → адрес " + Num(value(2));
    } else if (start == 3 && count == 3) {
      d.Name = "Вход в режим загрузки ПО";
      if (value(1) >= 0) d.Fields += ": зав. № " + Num(value(1));
    } else if (start == 1000 && count == 2 && values + 4 <= n - 2) {
      d.Name = "Запись неизмеряемого уровня";
      d.Fields += ": " + Fixed(FloatBE(b, values), 2) + " м";
    } else if (start == 1002 && count == 1) {
      d.Name = value(0) == 0x0055 ? "Изменить протокол на Ларгис-1" : "Запись протокола";
      if (value(0) >= 0) d.Fields += ": " + Hex4(static_cast<unsigned>(value(0)));
    } else if (start == 1003 && count == 1) {
      d.Name = value(0) == 0xB5B5 ? "Калибровка на пустом бункере" : "Запись команды";
      if (value(0) >= 0) d.Fields += ": " + Hex4(static_cast<unsigned>(value(0)));
    } else {
      d.Name = "Запись регистров";
    }
    return;
  }
  if (fn == 0x2B) {
    d.Name = "Чтение идентификации устройства";
    if (n >= 6) d.Fields = "MEI " + Num(b[2]) + ", код " + Num(b[3]);
    return;
  }
  d.Name = "функция " + Hex2(fn);
}

long DecimalAt(TBytes b, std::size_t at, std::size_t len) {
  long v = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (b[at + i] < '0' || b[at + i] > '9') return -1;
    v = v * 10 + (b[at + i] - '0');
  }
  return v;
}

void ModbusAnswer(TBytes b, std::size_t n, const TFrameRecord& f, TDecodedFrame& d) {
  const std::uint8_t fn = b[1];
  const std::size_t body = n >= 2 ? n - 2 : 0;
  if (fn & 0x80) {
    d.Name = "исключение";
    if (body > 2) d.Fields = "функция " + Hex2(fn & 0x7F) + ", код " + Hex2(b[2]);
    return;
  }
  const bool haveRange = f.RequestLength >= 6 && f.Request[1] == fn;
  const long start = haveRange ? Word(f.Request.data(), 2) : -1;
  if (fn == 0x03 || fn == 0x04) {
    const long bytes = b[2];
    d.Name = fn == 0x04 ? "входные регистры" : "регистры хранения";
    if (fn == 0x04 && start == 0 && body >= 35) {
      const long sensors = Word(b, 31);
      d.Fields = "состояние " + Hex4(Word(b, 3)) + ", уровень " + Fixed(FloatBE(b, 13), 2) +
                 " м, " + Num(sensors) + " " + SensorsWord(sensors);
      if (sensors > 0)
        d.Fields += ": " + Temperatures(b, body, 33, static_cast<std::size_t>(sensors));
    } else if (fn == 0x04 && start == 14 && body >= 5) {
      d.Fields = "число датчиков " + Num(Word(b, 3));
    } else if (fn == 0x03 && start == 1000 && body >= 7) {
      d.Fields = "неизмеряемый уровень " + Fixed(FloatBE(b, 3), 2) + " м";
    } else {
      d.Fields = Num(bytes) + " байт";
    }
    return;
  }
  if (fn == 0x10) {
    d.Name = "запись подтверждена";
    if (body >= 6) d.Fields = "регистры хранения " + RegisterRange(Word(b, 2), Word(b, 4));
    return;
  }
  if (fn == 0x2B) {
    d.Name = "идентификация";
    if (n == 63)
      d.Fields = "зав. № " + Num(DecimalAt(b, 21, 5)) + ", аппаратная версия " +
                 Num(DecimalAt(b, 41, 3)) + ", версия ПО " + Num(DecimalAt(b, 58, 3));
    return;
  }
  d.Name = "функция " + Hex2(fn);
}

bool DecodeXModem(TBytes b, std::size_t n, char direction, TDecodedFrame& d) {
  if ((n == 133 && b[0] == 0x01) || (n == 1029 && b[0] == 0x02)) {
    if (static_cast<std::uint8_t>(b[1] + b[2]) != 0xFF) return false;
    d.Protocol = TFrameProtocol::XModem;
    d.Name = "XModem, блок " + Num(b[1]);
    d.Fields = Num(n == 133 ? 128 : 1024) + " байт";
    d.CrcOk = Word(b, n - 2) == [&] {
      std::uint16_t crc = 0;
      for (std::size_t i = 3; i < n - 2; ++i) {
        crc ^= static_cast<std::uint16_t>(b[i] << 8);
        for (int k = 0; k < 8; ++k)
          crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
      }
      return crc;
    }();
    return true;
  }
  if (n != 1) return false;
  const char* name = nullptr;
  switch (b[0]) {
    case 0x04:
      name = "XModem, конец передачи (EOT)";
      break;
    case 0x06:
      name = "XModem, подтверждение (ACK)";
      break;
    case 0x15:
      name = "XModem, повтор (NAK)";
      break;
    case 0x18:
      name = "XModem, отмена (CAN)";
      break;
    case 0x43:
      if (direction == 'R') name = "XModem, готов к приёму (C)";
      break;
    default:
      break;
  }
  if (!name) return false;
  d.Protocol = TFrameProtocol::XModem;
  d.Name = name;
  d.CrcOk = true;
  return true;
}

}  // namespace

TFrameProtocol GuessProtocol(const std::uint8_t* b, std::size_t n) {
  if (NativeShape(b, n) && CrcOk(b, n)) return TFrameProtocol::Native;
  if (n >= 4 && CrcOk(b, n)) return TFrameProtocol::Modbus;
  return TFrameProtocol::Unknown;
}

const std::string* InternText(std::string_view text) {
  static std::mutex mutex;
  static std::unordered_set<std::string> texts;
  std::lock_guard lock(mutex);
  return &*texts.emplace(text).first;
}

const char* ProtocolName(TFrameProtocol protocol) {
  switch (protocol) {
    case TFrameProtocol::Native:
      return "Ларгис-1";
    case TFrameProtocol::Modbus:
      return "Modbus";
    case TFrameProtocol::XModem:
      return "XModem";
    default:
      return "?";
  }
}

TDecodedFrame DecodeFrame(const TFrameRecord& f) {
  TDecodedFrame d;
  const TBytes b = f.Bytes.data();
  const std::size_t n = f.Bytes.size();
  if (n == 0) {
    d.Name = "пустой кадр";
    return d;
  }
  if (DecodeXModem(b, n, f.Direction, d)) return d;
  d.Protocol = f.Protocol;
  if (f.Direction == 'T' && d.Protocol == TFrameProtocol::Unknown) {
    if (f.FirstParity == prMark) d.Protocol = TFrameProtocol::Native;
    if (f.FirstParity == prEven) d.Protocol = TFrameProtocol::Modbus;
  }
  if (d.Protocol == TFrameProtocol::Unknown) d.Protocol = GuessProtocol(b, n);
  d.Address = b[0];
  d.CrcOk = CrcOk(b, n);
  if (n < 4) {
    d.Name = n == 1 && f.Direction == 'T' && f.FirstParity == prMark ? "адресный байт без кадра"
                                                                     : "обрывок кадра";
    d.Fields = Num(static_cast<long>(n)) + " байт";
    return d;
  }
  if (d.Protocol == TFrameProtocol::Native) {
    if (f.Direction == 'T')
      NativeRequest(b, n, d);
    else
      NativeAnswer(b, n, f, d);
  } else if (d.Protocol == TFrameProtocol::Modbus) {
    if (f.Direction == 'T')
      ModbusRequest(b, n, d);
    else
      ModbusAnswer(b, n, f, d);
  } else {
    d.Name = "нераспознанный кадр";
  }
  return d;
}

std::string DescribeFrame(const TFrameRecord& f) {
  const TDecodedFrame d = DecodeFrame(f);
  std::string s;
  if (d.Protocol != TFrameProtocol::Unknown) s = ProtocolName(d.Protocol);
  if (d.Address >= 0 && d.Protocol != TFrameProtocol::XModem) {
    if (!s.empty()) s += ", ";
    const bool all = (d.Protocol == TFrameProtocol::Native && d.Address == 0xFF) ||
                     (d.Protocol == TFrameProtocol::Modbus && d.Address == 0);
    s += all ? "всем" : "адрес " + Num(d.Address);
  }
  // The exchange's own operation name is the better name of a request (two
  // native requests read the same memory block).
  std::string name = d.Name;
  if (f.Direction == 'T' && f.Operation && !f.Operation->empty() && d.CrcOk) name = *f.Operation;
  if (!s.empty()) s += ": ";
  s += name;
  if (!d.Fields.empty()) s += "; " + d.Fields;
  if (!d.CrcOk && f.Bytes.size() >= 4 && d.Protocol != TFrameProtocol::XModem)
    s += " (неверная CRC)";
  if (d.Protocol == TFrameProtocol::XModem && !d.CrcOk) s += " (неверная CRC)";
  return s;
}

std::string FrameHex(const std::uint8_t* bytes, std::size_t count, std::size_t maxBytes) {
  static const char digits[] = "0123456789ABCDEF";
  const std::size_t shown = count < maxBytes ? count : maxBytes;
  std::string s;
  s.reserve(shown * 3 + 16);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i) s += ' ';
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  if (shown < count) s += " …(+" + Num(static_cast<long>(count - shown)) + ")";
  return s;
}

std::string FrameParityText(const TFrameRecord& f) {
  if (f.Direction != 'T') return {};
  static const char letters[] = {'N', 'O', 'E', 'M', 'S'};
  std::string s(1, letters[f.FirstParity <= prSpace ? f.FirstParity : 0]);
  if (f.Bytes.size() > 1 && f.RestParity != f.FirstParity)
    s += std::string("|") + letters[f.RestParity <= prSpace ? f.RestParity : 0];
  if (f.PauseUs >= 0) s += " " + Fixed(f.PauseUs / 1000.0, 1) + " мс";
  return s;
}

std::string ResponseText(const TFrameRecord& f) {
  if (f.ResponseUs < 0) return {};
  return Fixed(f.ResponseUs / 1000.0, 1) + " мс";
}

std::string FrameTimeText(std::int64_t timeUs, bool withDate) {
  const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
  // Frames come many a second: the broken-down local time of the last second
  // seen is kept (localtime_r takes the time-zone lock every call).
  thread_local std::time_t cachedSeconds = -1;
  thread_local std::tm cached{};
  if (seconds != cachedSeconds) {
    localtime_r(&seconds, &cached);
    cachedSeconds = seconds;
  }
  const std::tm& tm = cached;
  char s[48];
  const int ms = static_cast<int>((timeUs / 1000) % 1000);
  if (withDate)
    std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  else
    std::snprintf(s, sizeof s, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return s;
}

std::string PadText(const std::string& utf8, std::size_t width) {
  std::size_t chars = 0;
  for (const char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
  return chars >= width ? utf8 : utf8 + std::string(width - chars, ' ');
}

std::string FrameLine(const TFrameRecord& f) {
  std::string s = FrameTimeText(f.TimeUs, true);
  s += f.Direction == 'T' ? "  -> " : "  <- ";
  const std::string parity = f.Direction == 'T' ? FrameParityText(f) : ResponseText(f);
  if (!parity.empty()) s += "[" + parity + "] ";
  s += FrameHex(f.Bytes.data(), f.Bytes.size());
  s += "  |  " + DescribeFrame(f);
  if (f.Result && !f.Result->empty()) s += "  |  " + *f.Result;
  return s;
}
