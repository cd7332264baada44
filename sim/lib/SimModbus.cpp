// Device side of Modbus RTU: functions 3, 4, 16 and 43/14.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "SimProtocols.h"

namespace {

enum : std::uint8_t { kIllegalFunction = 1, kIllegalAddress = 2, kIllegalValue = 3 };
constexpr int kInputRegisters = 15 + kSimMaxSensors;  // 0..46

std::uint8_t Hi(unsigned v) {
  return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
std::uint8_t Lo(unsigned v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}
unsigned Word(const TBytes& f, std::size_t at) {
  return f[at] << 8 | f[at + 1];
}

TBytes Exception(std::uint8_t address, std::uint8_t function, std::uint8_t code) {
  TBytes a{address, static_cast<std::uint8_t>(function | 0x80), code};
  SimAppendCrc(a);
  return a;
}

std::uint32_t FloatBits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float BitsFloat(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

unsigned InputRegister(const TSimDevice& d, int r) {
  const int n = d.Faults.SensorCount >= 0 ? d.Faults.SensorCount : d.SensorCount();
  const std::uint32_t level = FloatBits(static_cast<float>(d.LevelMetres));
  switch (r) {
    case 0:
      return d.StatusFlags;
    case 1:
      return d.LevelCode;
    case 5:
      return level >> 16;
    case 6:
      return level & 0xFFFF;
    case 14:
      return static_cast<unsigned>(n);
    default:
      break;
  }
  if (r >= 15) {
    const int i = r - 15;
    return i < n && i < d.SensorCount() ? d.Temperatures[i] : kSimNoData;
  }
  return 0;
}

bool HoldingReadable(unsigned first, unsigned count) {
  const unsigned last = first + count - 1;
  return last <= 5 || (first >= 1000 && last <= 1003);
}

unsigned HoldingRegister(const TSimDevice& d, unsigned r) {
  const std::uint32_t nu = FloatBits(static_cast<float>(d.UnmeasurableLevel / 10.0));
  switch (r) {
    case 1000:
      return nu >> 16;
    case 1001:
      return nu & 0xFFFF;
    case 1002:
      return 0x00AA;
    default:
      return 0;
  }
}

struct TResult {
  TBytes Answer;
  std::string Note;
  bool ToNative = false;
  bool Upload = false;
};

TResult ReadRegisters(const TSimDevice& d, const TBytes& f) {
  const std::uint8_t a = f[0], fn = f[1];
  const bool input = fn == 4;
  const char* what =
      input ? "modbus 0x04 read input registers" : "modbus 0x03 read holding registers";
  if (f.size() != 8) return {Exception(a, fn, kIllegalValue), "modbus: wrong length"};
  const unsigned first = Word(f, 2), count = Word(f, 4);
  if (count < 1 || count > 125) return {Exception(a, fn, kIllegalValue), what};
  const bool ok = input ? first + count <= kInputRegisters : HoldingReadable(first, count);
  if (!ok) return {Exception(a, fn, kIllegalAddress), what};
  TBytes r{a, fn, static_cast<std::uint8_t>(2 * count)};
  for (unsigned i = 0; i < count; ++i) {
    const unsigned v =
        input ? InputRegister(d, static_cast<int>(first + i)) : HoldingRegister(d, first + i);
    r.push_back(Hi(v));
    r.push_back(Lo(v));
  }
  SimAppendCrc(r);
  return {r, what};
}

// Writable blocks; a write must cover whole blocks.
struct TBlock {
  unsigned First, Count;
};
constexpr TBlock kBlocks[] = {{0, 3}, {3, 3}, {1000, 2}, {1002, 1}, {1003, 1}};

TResult WriteRegisters(TSimDevice& d, const TBytes& f, bool broadcast) {
  const std::uint8_t a = f[0], fn = f[1];
  if (f.size() < 9) return {Exception(a, fn, kIllegalValue), "modbus: wrong length"};
  const unsigned first = Word(f, 2), count = Word(f, 4), bytes = f[6];
  if (count < 1 || count > 123 || bytes != 2 * count || f.size() != 9 + bytes) {
    return {Exception(a, fn, kIllegalValue), "modbus 0x10 bad count"};
  }
  auto value = [&](unsigned r) { return Word(f, 7 + 2 * (r - first)); };
  // Whole blocks from first to first + count.
  std::vector<TBlock> blocks;
  unsigned at = first;
  for (const TBlock& b : kBlocks) {
    if (b.First == at && at < first + count) {
      blocks.push_back(b);
      at += b.Count;
    }
  }
  if (at != first + count) return {Exception(a, fn, kIllegalAddress), "modbus 0x10 bad range"};

  // Validate everything before changing anything.
  TResult r;
  std::string note = "modbus 0x10";
  bool newAddress = false, newNu = false, calibrate = false;
  std::uint8_t address = d.Address;
  std::uint16_t nu = d.UnmeasurableLevel;
  auto refuse = [&](const char* why) -> TResult {
    return {Exception(a, fn, kIllegalValue), std::string("modbus 0x10 ") + why};
  };
  for (const TBlock& b : blocks) {
    switch (b.First) {
      case 0: {
        const bool mine = value(0) == 6 && value(1) == d.PlantNumber;
        if (!mine) {
          if (broadcast) return {{}, "modbus 0x10 address command for another device"};
          return refuse("address command for another plant number");
        }
        if (value(2) < 1 || value(2) > 247) return refuse("bad address");
        newAddress = true;
        address = static_cast<std::uint8_t>(value(2));
        note += " address command";
        break;
      }
      case 3: {
        const bool mine = value(3) == 6 && value(4) == d.PlantNumber && value(5) == 0xA5A5;
        if (!mine) {
          if (broadcast) return {{}, "modbus 0x10 upload command for another device"};
          return refuse("upload command refused");
        }
        r.Upload = true;
        note += " upload command";
        break;
      }
      case 1000: {
        const float m = BitsFloat(static_cast<std::uint32_t>(value(1000) << 16 | value(1001)));
        if (!std::isfinite(m) || m < 0 || m > 6553.5f) return refuse("bad unmeasurable level");
        nu = static_cast<std::uint16_t>(std::nearbyint(m * 10.0));
        newNu = true;
        note += " unmeasurable level";
        break;
      }
      case 1002:
        if (value(1002) == 0x0055) {
          r.ToNative = true;
          note += " switch to native";
        } else if (value(1002) != 0x00AA) {
          return refuse("bad protocol");
        }
        break;
      case 1003:
        if (value(1003) != 0xB5B5) return refuse("bad command");
        calibrate = true;
        note += " empty-bunker calibration";
        break;
    }
  }
  if (newAddress) d.Address = address;
  if (newNu) d.UnmeasurableLevel = nu;
  if (calibrate) {
    d.CalibrationCode1 = d.LevelCode;
    ++d.EmptyBunkerCalibrations;
  }
  r.Answer = {a, fn, Hi(first), Lo(first), Hi(count), Lo(count)};
  SimAppendCrc(r.Answer);
  r.Note = note;
  return r;
}

std::string Digits(unsigned v, int width) {
  char s[16];
  std::snprintf(s, sizeof s, "%0*u", width, v);
  return s;
}

TResult Identification(const TSimDevice& d, const TBytes& f) {
  const std::uint8_t a = f[0], fn = f[1];
  if (f.size() != 7) return {Exception(a, fn, kIllegalValue), "modbus: wrong length"};
  if (f[2] != 0x0E) return {Exception(a, fn, kIllegalFunction), "modbus 0x2B unknown MEI type"};
  if (f[3] != 0x01) return {Exception(a, fn, kIllegalValue), "modbus 0x2B unsupported code"};
  TBytes r{a, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03};
  auto object = [&r](std::uint8_t id, const std::string& text) {
    r.push_back(id);
    r.push_back(static_cast<std::uint8_t>(text.size()));
    r.insert(r.end(), text.begin(), text.end());
  };
  object(0x00, "LIM-07");
  object(0x01, "SN " + Digits(d.PlantNumber, 5));
  object(0x02, "Hardware ver " + Digits(d.HardwareVersion, 3) + " Software ver " +
                   Digits(d.SoftwareVersion, 3));
  SimAppendCrc(r);  // 63 bytes in all
  return {r, "modbus 0x2B identification"};
}

TResult Request(TSimDevice& d, const TBytes& f, bool broadcast) {
  switch (f[1]) {
    case 0x03:
    case 0x04:
      return ReadRegisters(d, f);
    case 0x10:
      return WriteRegisters(d, f, broadcast);
    case 0x2B:
      return Identification(d, f);
    default: {
      char note[48];
      std::snprintf(note, sizeof note, "modbus 0x%02X unknown function", f[1]);
      return {Exception(f[0], f[1], kIllegalFunction), note};
    }
  }
}

}  // namespace

bool ModbusFrameComplete(const std::uint8_t* f, std::size_t n) {
  if (n < 4) return false;
  switch (f[1]) {
    case 0x03:
    case 0x04:
      return n == 8 && SimCrcOk(f, n);
    case 0x2B:
      return n == 7 && SimCrcOk(f, n);
    case 0x10:
      return n >= 9 && n == 9u + f[6] && SimCrcOk(f, n);
    default:
      return false;
  }
}

bool HandleModbus(std::vector<TSimDevice>& devices, const TBytes& f, TSimOutcome& out,
                  int lineBaud) {
  if (f.size() < 4 || !SimCrcOk(f.data(), f.size())) return false;
  const std::uint8_t address = f[0];
  const bool broadcast = address == 0;
  bool any = false;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    TSimDevice& d = devices[i];
    if (d.Protocol != dpModbus || d.Uploading || !HearsSpeed(d, lineBaud)) continue;
    if (!broadcast && d.Address != address) continue;
    if (d.Faults.Silent) {
      if (!broadcast) ConsumeFault(d);
      out.Note = "modbus: device silent";
      any = true;
      continue;
    }
    TResult r;
    if (d.Faults.ErrorCode >= 0 && !broadcast) {
      r = {Exception(d.Address, f[1], static_cast<std::uint8_t>(d.Faults.ErrorCode)),
           "modbus: exception injected"};
    } else {
      r = Request(d, f, broadcast);
    }
    any = true;
    out.Note = broadcast ? "modbus broadcast: " + r.Note : r.Note;
    if (r.Answer.empty()) continue;  // a command for another device
    ++d.Requests;
    const bool exception = (r.Answer[1] & 0x80) != 0;
    if (!broadcast) {
      int delay = 0;
      if (ApplyAnswerFaults(d, r.Answer, delay)) {
        out.Replies.push_back({static_cast<int>(i), r.Answer, delay});
      }
    }
    if (exception) continue;
    if (r.ToNative) d.Protocol = dpLargis1;
    if (r.Upload) out.EnterUpload = static_cast<int>(i);
  }
  if (!any) {
    char note[64];
    std::snprintf(note, sizeof note, "modbus 0x%02X for address %u: no such device", f[1], address);
    out.Note = note;
  }
  return any;
}
