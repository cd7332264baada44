// Device side of the native protocol "Ларгис-1".
//
// Frame: address, command, length (itself plus the data after it), data,
// CRC-16 low byte first. 0xFF addresses every device.
#include <cmath>
#include <cstdio>

#include "Crc16.h"
#include "SimProtocols.h"

namespace {

constexpr std::uint8_t kBroadcast = 0xFF;
constexpr std::uint8_t kError = 0xFA;
constexpr std::uint8_t kDeviceType = 6;
enum : std::uint8_t { kErrUnknownCommand = 0x01, kErrRange = 0x02, kErrValue = 0x03 };

TBytes Answer(std::uint8_t address, std::uint8_t command, const TBytes& data) {
  TBytes a;
  a.reserve(data.size() + 5);
  a.push_back(address);
  a.push_back(command);
  a.push_back(static_cast<std::uint8_t>(data.size() + 1));
  for (std::uint8_t b : data) a.push_back(b);
  SimAppendCrc(a);
  return a;
}

TBytes ErrorAnswer(std::uint8_t address, std::uint8_t code) {
  return Answer(address, kError, {code});
}

std::uint8_t Hi(unsigned v) {
  return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
std::uint8_t Lo(unsigned v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}

// The 8-byte calibration memory at device address 0.
void ReadMemory(const TSimDevice& d, std::uint8_t* m) {
  const std::uint16_t w[4] = {d.CalibrationCode1, d.UnmeasurableLevel, d.CalibrationCode2,
                              d.CalibrationLevel2};
  for (int i = 0; i < 4; ++i) {
    m[2 * i] = Hi(w[i]);
    m[2 * i + 1] = Lo(w[i]);
  }
}

void WriteMemory(TSimDevice& d, const std::uint8_t* m) {
  auto word = [m](int i) { return static_cast<std::uint16_t>(m[2 * i] << 8 | m[2 * i + 1]); };
  d.CalibrationCode1 = word(0);
  d.UnmeasurableLevel = word(1);
  d.CalibrationCode2 = word(2);
  d.CalibrationLevel2 = word(3);
}

struct TResult {
  TBytes Answer;
  std::string Note;
  bool SwitchToModbus = false;
};

TResult Temperatures(const TSimDevice& d, std::uint8_t a) {
  const int n = d.Faults.SensorCount >= 0 ? d.Faults.SensorCount : d.SensorCount();
  TBytes data;
  for (int i = 0; i < n; ++i) {
    const std::uint16_t t = i < d.SensorCount() ? d.Temperatures[i] : kSimNoData;
    data.push_back(Hi(t));
    data.push_back(Lo(t));
  }
  return {Answer(a, 0x01, data), "native 0x01 temperatures"};
}

TResult Level(const TSimDevice& d, std::uint8_t a) {
  const std::uint16_t h = d.LevelDm();
  return {Answer(a, 0x01, {Hi(d.LevelCode), Lo(d.LevelCode), Hi(h), Lo(h), Lo(d.StatusFlags)}),
          "native 0x01 level"};
}

TResult ReadParameter(const TSimDevice& d, std::uint8_t a, std::uint8_t p) {
  switch (p) {
    case 1:
      return {Answer(a, 0xB4, {static_cast<std::uint8_t>(d.SensorCount())}),
              "native 0xB4 sensor count"};
    case 2:
      return {Answer(a, 0xB4, {d.AveragingCoefficient}), "native 0xB4 coefficient"};
    case 3:
      return {Answer(a, 0xB4, {0x55}), "native 0xB4 protocol"};
    default:
      return {ErrorAnswer(a, kErrRange), "native 0xB4 unknown parameter"};
  }
}

TResult WriteParameter(TSimDevice& d, std::uint8_t a, std::uint8_t p, std::uint8_t v) {
  switch (p) {
    case 1:
      if (v > kSimMaxSensors) return {ErrorAnswer(a, kErrValue), "native 0xB1 bad sensor count"};
      d.Temperatures.resize(v, kSimNoData);
      return {Answer(a, 0xB1, {}), "native 0xB1 sensor count written"};
    case 2:
      if (v == 0) return {ErrorAnswer(a, kErrValue), "native 0xB1 bad coefficient"};
      d.AveragingCoefficient = v;
      return {Answer(a, 0xB1, {}), "native 0xB1 coefficient written"};
    case 3:
      if (v != 0xAA) return {ErrorAnswer(a, kErrValue), "native 0xB1 bad protocol"};
      return {Answer(a, 0xB1, {}), "native 0xB1 switch to Modbus", true};
    default:
      return {ErrorAnswer(a, kErrRange), "native 0xB1 unknown parameter"};
  }
}

TResult ReadMemoryRequest(const TSimDevice& d, std::uint8_t a, const TBytes& f) {
  const unsigned at = f[3] << 8 | f[4], n = f[5];
  if (n == 0 || at + n > 8) return {ErrorAnswer(a, kErrRange), "native 0xA6 bad range"};
  std::uint8_t m[8];
  ReadMemory(d, m);
  return {Answer(a, 0xA6, TBytes(m + at, m + at + n)), "native 0xA6 calibration read"};
}

TResult WriteMemoryRequest(TSimDevice& d, std::uint8_t a, const TBytes& f) {
  const unsigned at = f[3] << 8 | f[4];
  const unsigned n = f[2] - 3u;
  if (n == 0 || at + n > 8) return {ErrorAnswer(a, kErrRange), "native 0xA4 bad range"};
  std::uint8_t m[8];
  ReadMemory(d, m);
  std::uint8_t old[8];
  std::copy(m, m + 8, old);
  std::copy(f.begin() + 5, f.begin() + 5 + n, m + at);
  WriteMemory(d, m);
  if (d.CalibrationCode1 == 0xAAAA && d.CalibrationCode2 == 0x5555) {
    // Empty-bunker calibration: the marker words are a command, not values.
    WriteMemory(d, old);
    d.CalibrationCode1 = d.LevelCode;
    d.UnmeasurableLevel = static_cast<std::uint16_t>(m[2] << 8 | m[3]);
    ++d.EmptyBunkerCalibrations;
    return {Answer(a, 0xA4, {}), "native 0xA4 empty-bunker calibration"};
  }
  return {Answer(a, 0xA4, {}), "native 0xA4 calibration written"};
}

// Expected length byte per command (0: variable).
int LengthOf(std::uint8_t command) {
  switch (command) {
    case 0x01:
      return 2;
    case 0x20:
      return 1;
    case 0x25:
      return 5;
    case 0xB4:
      return 2;
    case 0xB1:
      return 3;
    case 0xA6:
      return 4;
    default:
      return 0;
  }
}

TResult Request(TSimDevice& d, const TBytes& f) {
  const std::uint8_t a = d.Address, cmd = f[1], len = f[2];
  const int want = LengthOf(cmd);
  const bool known = want > 0 || cmd == 0xA4;
  if (!known) {
    char note[48];
    std::snprintf(note, sizeof note, "native 0x%02X unknown command", cmd);
    return {ErrorAnswer(a, kErrUnknownCommand), note};
  }
  if ((want > 0 && len != want) || (cmd == 0xA4 && len < 4)) {
    return {ErrorAnswer(a, kErrRange), "native wrong length"};
  }
  switch (cmd) {
    case 0x01:
      if (f[3] == 0x02) return Temperatures(d, a);
      if (f[3] == 0x01) return Level(d, a);
      return {ErrorAnswer(a, kErrRange), "native 0x01 unknown data request"};
    case 0x20: {
      const std::uint8_t type =
          d.Faults.DeviceType >= 0 ? static_cast<std::uint8_t>(d.Faults.DeviceType) : kDeviceType;
      return {Answer(a, 0x20,
                     {type, Hi(d.PlantNumber), Lo(d.PlantNumber), d.HardwareVersion,
                      d.SoftwareVersion}),
              "native 0x20 identification"};
    }
    case 0xB4:
      return ReadParameter(d, a, f[3]);
    case 0xB1:
      return WriteParameter(d, a, f[3], f[4]);
    case 0xA6:
      return ReadMemoryRequest(d, a, f);
    default:
      return WriteMemoryRequest(d, a, f);  // 0xA4
  }
}

// Address write by plant number: FF 25 05 06 PH PL A. Only the device with
// that plant number (and type) takes the address, and answers from it.
bool AddressWrite(TSimDevice& d, const TBytes& f, TBytes& answer, std::string& note) {
  if (f[2] != 5 || f[3] != kDeviceType) return false;
  if ((f[4] << 8 | f[5]) != d.PlantNumber) return false;
  const std::uint8_t newAddress = f[6];
  if (newAddress == 0 || newAddress == kBroadcast) {
    answer = ErrorAnswer(d.Address, kErrValue);
    note = "native 0x25 bad address";
    return true;
  }
  d.Address = newAddress;
  answer = Answer(
      d.Address, 0x25,
      {kDeviceType, Hi(d.PlantNumber), Lo(d.PlantNumber), d.HardwareVersion, d.SoftwareVersion});
  note = "native 0x25 address written";
  return true;
}

}  // namespace

void SimAppendCrc(TBytes& frame) {
  const std::uint16_t crc = Crc16(frame.data(), 0, static_cast<int>(frame.size()));
  frame.push_back(Lo(crc));
  frame.push_back(Hi(crc));
}

bool SimCrcOk(const std::uint8_t* frame, std::size_t count) {
  if (count < 3) return false;
  const std::uint16_t crc = Crc16(frame, 0, static_cast<int>(count - 2));
  return frame[count - 2] == Lo(crc) && frame[count - 1] == Hi(crc);
}

bool NativeFrameComplete(const std::uint8_t* frame, std::size_t count) {
  return count >= 5 && frame[2] >= 1 && count == frame[2] + 4u && SimCrcOk(frame, count);
}

void ConsumeFault(TSimDevice& d) {
  if (d.Faults.Remaining > 0 && --d.Faults.Remaining == 0) d.Faults = TSimFaults{};
}

bool ApplyAnswerFaults(TSimDevice& d, TBytes& answer, int& delayMs) {
  const TSimFaults f = d.Faults;
  if (!f.Any()) return true;
  ConsumeFault(d);
  if (f.Silent) return false;
  if (!f.Garbage.empty()) answer = f.Garbage;
  if (f.BadCrc && !answer.empty()) answer.back() ^= 0xFF;
  if (f.ShortBy > 0)
    answer.resize(answer.size() > static_cast<std::size_t>(f.ShortBy) ? answer.size() - f.ShortBy
                                                                      : 0);
  delayMs = f.DelayMs;
  return true;
}

bool HandleNative(std::vector<TSimDevice>& devices, const TBytes& f, TSimOutcome& out,
                  int lineBaud) {
  if (!NativeFrameComplete(f.data(), f.size())) return false;
  const std::uint8_t address = f[0], cmd = f[1];
  const bool broadcast = address == kBroadcast;
  bool any = false;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    TSimDevice& d = devices[i];
    if (d.Protocol != dpLargis1 || d.Uploading || !HearsSpeed(d, lineBaud)) continue;
    if (!broadcast && d.Address != address) continue;
    if (cmd == 0x25) {  // address write: at 0xFF or the own address
      if (d.Faults.Silent) continue;
      TBytes answer;
      std::string note;
      if (d.Faults.ErrorCode >= 0) {
        if (f[2] != 5 || (f[4] << 8 | f[5]) != d.PlantNumber) continue;
        answer = ErrorAnswer(d.Address, static_cast<std::uint8_t>(d.Faults.ErrorCode));
        note = "native 0x25: error answer injected";
      } else if (!AddressWrite(d, f, answer, note)) {
        continue;
      }
      any = true;
      ++d.Requests;
      out.Note = note;
      int delay = 0;
      if (ApplyAnswerFaults(d, answer, delay)) {
        out.Replies.push_back({static_cast<int>(i), answer, delay});
      }
      continue;
    }
    if (broadcast) {
      // The only other broadcast is the switch to Modbus; it is never answered.
      if (d.Faults.Silent) continue;
      any = true;
      if (cmd == 0xB1 && f[2] == 3 && f[3] == 3 && f[4] == 0xAA) {
        d.Protocol = dpModbus;
        ++d.Requests;
        out.Note = "native broadcast: switch to Modbus";
      } else {
        out.Note = "native broadcast ignored";
      }
      continue;
    }
    any = true;
    if (d.Faults.Silent) {
      ConsumeFault(d);
      out.Note = "native: device silent";
      continue;
    }
    ++d.Requests;
    TResult r;
    if (d.Faults.ErrorCode >= 0) {
      r = {ErrorAnswer(d.Address, static_cast<std::uint8_t>(d.Faults.ErrorCode)),
           "native: error answer injected"};
    } else {
      r = Request(d, f);
    }
    out.Note = r.Note;
    int delay = 0;
    if (ApplyAnswerFaults(d, r.Answer, delay)) {
      out.Replies.push_back({static_cast<int>(i), r.Answer, delay});
    }
    if (r.SwitchToModbus) d.Protocol = dpModbus;
  }
  if (!any) {
    char note[64];
    std::snprintf(note, sizeof note, "native 0x%02X for address %u: no such device", cmd, address);
    out.Note = note;
  }
  return any;
}
