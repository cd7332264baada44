// libFuzzer target for the answer decoding of every request of both device
// protocols, and for the common answer check.
//
// Input: a selector byte (which request), a flags byte (protocol, broadcast,
// no device, CRC fixed up), the device's sensor count, a command and an
// expected length for the bare CheckAnswer, then the answer itself. The answer
// is copied into a heap block of exactly its length, so AddressSanitizer
// catches any read beyond what arrived. With the CRC flag the target appends
// the right Crc16, so that the fuzzer gets past the checksum and into the
// decoders' own checks.
//
// After each decode the target checks what a device record may look like:
// - the sensor count is at most 32 and the temperature block has exactly that
//   many words;
// - the state words carry only their flag bits and bit 15;
// - LastResult is one of the system's result texts (the bare protocol-error
//   text never, only its two formats); a success says success (or, for the
//   Modbus data read, the sensor-count mismatch);
// - a failure changes no persistent field; a success changes only the fields
//   its request reads;
// - a failed temperature or data read leaves every temperature at no data, a
//   successful one holds exactly the answer's words;
// - Device is reset to none afterwards.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Device.h"
#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "Transaction.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "decoder check failed: %s\n", what);
  std::abort();
}

enum TKind {
  kTemperature,
  kLevel,
  kIdentification,
  kWriteAddress,
  kSensorNumber,
  kReadCalibration,
  kWriteCalibration,
  kReadCoefficient,
  kWriteCoefficient,
  kSetModbus,
  kEmptyBunker,
  kReadUnmeasurable,
  kModbusData,
  kModbusWriteAddress,
  kModbusWriteUnmeasurable,
  kSetLargis1,
  kUploadMode,
  kBareCheck,
  kKindCount
};

std::unique_ptr<TTransaction> Make(int kind, TDeviceProtocol protocol) {
  switch (kind) {
    case kTemperature:
      return std::make_unique<TTemperatureTransaction>(nullptr, protocol);
    case kLevel:
      return std::make_unique<TLevelTransaction>(nullptr, protocol);
    case kIdentification:
      return std::make_unique<TReadIdentificationTransaction>(nullptr, protocol);
    case kWriteAddress:
      return std::make_unique<TWriteAddressTransaction>(nullptr, protocol);
    case kSensorNumber:
      return std::make_unique<TReadSensorNumberTransaction>(nullptr, protocol);
    case kReadCalibration:
      return std::make_unique<TReadCalibrationTransaction>(nullptr, protocol);
    case kWriteCalibration:
      return std::make_unique<TWriteCalibrationTransaction>(nullptr, protocol);
    case kReadCoefficient:
      return std::make_unique<TReadCoefficientTransaction>(nullptr, protocol);
    case kWriteCoefficient:
      return std::make_unique<TWriteCoefficientTransaction>(nullptr, protocol);
    case kSetModbus:
      return std::make_unique<TSetProtocolModbus>(nullptr, protocol);
    case kEmptyBunker:
      return std::make_unique<TEmptyBunkerCalibrationTransaction>(nullptr, protocol);
    case kReadUnmeasurable:
      return std::make_unique<TReadUnmeasurableLevelTransaction>(nullptr, protocol);
    case kModbusData:
      return std::make_unique<TModbusDataTransaction>(nullptr, protocol);
    case kModbusWriteAddress:
      return std::make_unique<TModbusWriteAddressTransaction>(nullptr, protocol);
    case kModbusWriteUnmeasurable:
      return std::make_unique<TModbusWriteUnmeasurableLevelTransaction>(nullptr, protocol);
    case kSetLargis1:
      return std::make_unique<TSetProtocolLargis1>(nullptr, protocol);
    case kUploadMode:
      return std::make_unique<TSetSoftUploadModeTransaction>(nullptr, protocol);
    default:
      return std::make_unique<TLevelTransaction>(nullptr, protocol);  // bare CheckAnswer
  }
}

bool BroadcastCapable(int kind) {
  return kind == kSetModbus || kind == kSetLargis1 || kind == kUploadMode;
}

// The persistent fields of a record, to see what a decode changed.
struct TPersistent {
  std::string Name, Note;
  std::uint8_t Address, Sensors, Coefficient;
  std::uint16_t Plant, C1, H1, C2, H2;
  explicit TPersistent(const TDevice& d)
      : Name(d.Name()),
        Note(d.Note()),
        Address(d.SystemAddress()),
        Sensors(d.SensorCount()),
        Coefficient(d.AveragingCoefficient()),
        Plant(d.PlantNumber()),
        C1(d.CalibrationCode1),
        H1(d.UnmeasurableLevel),
        C2(d.CalibrationCode2),
        H2(d.CalibrationLevel2) {}
};

// Which persistent fields a successful decode of `kind` may change.
void CheckPersistent(const TPersistent& before, const TPersistent& after, int kind,
                     TDeviceProtocol protocol, bool ok) {
  Check(before.Name == after.Name && before.Note == after.Note, "name or note changed");
  Check(before.Plant == after.Plant, "plant number changed by a decode");
  const bool address = ok && kind == kIdentification && protocol == dpLargis1;
  const bool sensors = ok && kind == kSensorNumber;
  const bool coefficient = ok && kind == kReadCoefficient;
  const bool calibration = ok && kind == kReadCalibration;
  const bool unmeasurable = calibration || (ok && kind == kReadUnmeasurable);
  if (!address) Check(before.Address == after.Address, "system address changed");
  if (!sensors) Check(before.Sensors == after.Sensors, "sensor count changed");
  if (!coefficient) Check(before.Coefficient == after.Coefficient, "coefficient changed");
  if (!calibration)
    Check(before.C1 == after.C1 && before.C2 == after.C2 && before.H2 == after.H2,
          "calibration changed");
  if (!unmeasurable) Check(before.H1 == after.H1, "unmeasurable level changed");
}

const std::set<std::string>& ResultTexts() {
  static const std::set<std::string> texts = [] {
    std::set<std::string> s;
    for (int i = 0; i < 7; ++i)
      if (i != rtProtocolError) s.insert(kResultTexts[i]);
    for (int code = 0; code < 256; ++code)
      s.insert(ProtocolErrorText(static_cast<std::uint8_t>(code)));
    s.insert(UnknownProtocolErrorText());
    return s;
  }();
  return texts;
}

const char kUntouched[] = "untouched by the decode";

bool AllNoData(const std::vector<std::uint16_t>& block) {
  return std::all_of(block.begin(), block.end(),
                     [](std::uint16_t w) { return w == kNoDataTemperature; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const int kind = data[0] % kKindCount;
  const std::uint8_t flags = data[1];
  const TDeviceProtocol protocol = (flags & 1) ? dpModbus : dpLargis1;
  const bool broadcast = (flags & 2) != 0;
  const bool noDevice = (flags & 4) != 0 && broadcast && BroadcastCapable(kind);
  const bool fixCrc = (flags & 8) != 0;
  const int sensors = data[2] % 34;  // 33 tries the setter's limit
  const std::uint8_t command = data[3];
  const int expected = data[4];
  data += 5;
  size -= 5;

  // The answer, in a block of exactly its length (0 to 256 bytes).
  std::vector<std::uint8_t> bytes(data, data + std::min<std::size_t>(size, kAnswerBufferSize));
  if (fixCrc) {
    if (bytes.size() > kAnswerBufferSize - 2) bytes.resize(kAnswerBufferSize - 2);
    const std::uint16_t crc = Crc16(bytes.data(), 0, static_cast<int>(bytes.size()));
    bytes.push_back(LowByte(crc));
    bytes.push_back(HighByte(crc));
  }
  const int length = static_cast<int>(bytes.size());
  std::unique_ptr<std::uint8_t[]> answer(new std::uint8_t[bytes.size()]);
  if (length > 0) std::memcpy(answer.get(), bytes.data(), bytes.size());

  TDevice device;
  device.SetName("Подвеска");
  device.SetNote("заметка");
  device.SetSystemAddress(5);
  device.SetPlantNumber(1234);
  device.SetAveragingCoefficient(7);
  device.CalibrationCode1 = 0x1111;
  device.UnmeasurableLevel = 0x2222;
  device.CalibrationCode2 = 0x3333;
  device.CalibrationLevel2 = 0x4444;
  device.SetSensorCount(sensors);
  Check(device.SensorCount() <= kMaxSensorCount, "setter let a count above 32 through");
  if (std::uint16_t* block = device.LockTemperatures()) {
    for (int i = 0; i < device.SensorCount(); ++i) block[i] = 0x1234;
  }
  device.UnlockTemperatures();
  device.LastResult = kUntouched;
  const TPersistent before(device);

  std::unique_ptr<TTransaction> t = Make(kind, protocol);
  if (broadcast) t->Broadcast = true;

  bool ok = false;
  if (kind == kBareCheck) {
    t->Device = &device;
    ok = t->CheckAnswer(answer.get(), length, command, expected);
    t->Device = nullptr;
    const bool valid = length >= 5 && TTransaction::CrcValid(bytes.data(), length);
    Check(ok == (valid && bytes[1] == command && length == expected), "CheckAnswer verdict");
  } else {
    ok = t->DecodeAnswer(noDevice ? nullptr : &device, answer.get(), length);
  }
  Check(t->Device == nullptr, "Device not reset after the decode");
  if (noDevice) return 0;  // nothing to look at but the sanitizers' verdict

  // Sizes and flags.
  Check(device.SensorCount() <= kMaxSensorCount, "sensor count above 32");
  const std::vector<std::uint16_t> block = device.TemperaturesSnapshot();
  Check(block.size() == device.SensorCount(), "temperature block of the wrong size");
  Check((device.TemperatureState & ~(0x000D | kStateFailed)) == 0, "temperature state bits");
  Check((device.LevelState & ~(0x0032 | kStateFailed)) == 0, "level state bits");

  // Result texts.
  const std::string& result = device.LastResult;
  const bool ignoresAnswer =
      kind == kModbusWriteAddress || (broadcast && BroadcastCapable(kind) && kind != kWriteAddress);
  if (ok) {
    const bool mismatch = kind == kModbusData && result == kResultTexts[rtSensorCountMismatch];
    Check(result == kResultTexts[rtSuccess] || mismatch || (ignoresAnswer && result == kUntouched),
          "success without the success text");
  } else {
    Check(ResultTexts().count(result) == 1, "failure without one of the result texts");
  }

  CheckPersistent(before, TPersistent(device), kind, protocol, ok);

  // Temperatures.
  if (kind == kTemperature) {
    if (ok) {
      for (std::size_t i = 0; i < block.size(); ++i)
        Check(block[i] == ReadWordBE(bytes.data() + 3 + 2 * i), "temperature not as answered");
      Check(device.TemperatureState == 0, "temperature state after success");
    } else {
      Check(AllNoData(block), "failed temperature read left old temperatures");
    }
  }
  if (kind == kModbusData) {
    if (ok && result == kResultTexts[rtSuccess]) {
      for (std::size_t i = 0; i < block.size(); ++i) {
        const std::uint16_t want = i < static_cast<std::size_t>(kModbusDataTemperatures)
                                       ? ReadWordBE(bytes.data() + 33 + 2 * i)
                                       : kNoDataTemperature;
        Check(block[i] == want, "data-read temperature not as answered");
      }
    } else {
      Check(AllNoData(block), "failed or mismatched data read left old temperatures");
    }
  }
  // The common check clears temperatures on a missing or corrupt answer.
  if (!ok && (result == kResultTexts[rtNoLink] || result == kResultTexts[rtChecksumError]) &&
      kind != kWriteAddress)
    Check(AllNoData(block), "no link or bad CRC left old temperatures");
  return 0;
}
