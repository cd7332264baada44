#include "Device.h"

#include <algorithm>
#include <cstring>

#include "Cp1251.h"

const char* const kDeviceModelName = "ЛИМ-07";

namespace {

// Offsets of the persistent block (little-endian integers).
constexpr int kOffNameLength = 0;
constexpr int kOffNameChars = 1;
constexpr int kOffSystemAddress = 17;
constexpr int kOffPlantNumber = 18;
constexpr int kOffSensorCount = 20;
constexpr int kOffCalibrationCode1 = 21;
constexpr int kOffCalibrationCode2 = 23;
constexpr int kOffUnmeasurableLevel = 25;
constexpr int kOffCalibrationLevel2 = 27;
constexpr int kOffAveragingCoefficient = 29;
constexpr int kOffNoteLength = 30;
constexpr int kOffNoteChars = 31;
static_assert(kOffNoteChars + 64 == kDeviceRecordSize);

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// A length-prefixed 1251 area: text of the first `length` bytes, as UTF-8.
template <std::size_t N>
std::string AreaText(std::uint8_t length, const std::array<std::uint8_t, N>& chars) {
  const std::size_t n = std::min<std::size_t>(length, N);
  return Cp1251ToUtf8(std::string(chars.begin(), chars.begin() + n));
}

}  // namespace

TDevice::TDevice() : LastOperation("Не производилась"), LastResult("Не определен") {}

TDevice::~TDevice() = default;

std::string TDevice::Name() const {
  return AreaText(FNameLength, FNameChars);
}

void TDevice::SetName(const std::string& value) {
  // Only the bytes of the current name are cleared; bytes beyond it stay as
  // they are and travel with the record.
  std::fill_n(FNameChars.begin(), std::min<std::size_t>(FNameLength, FNameChars.size()), 0);
  const std::string bytes = Utf8ToCp1251(value).substr(0, FNameChars.size());
  std::copy(bytes.begin(), bytes.end(), FNameChars.begin());
  FNameLength = static_cast<std::uint8_t>(bytes.size());
}

std::string TDevice::Note() const {
  return AreaText(FNoteLength, FNoteChars);
}

void TDevice::SetNote(const std::string& value) {
  const std::string bytes = Utf8ToCp1251(value).substr(0, FNoteChars.size());
  std::copy(bytes.begin(), bytes.end(), FNoteChars.begin());
  FNoteLength = static_cast<std::uint8_t>(bytes.size());
}

void TDevice::SetSensorCount(int value) {
  const int count = std::clamp(value, 0, kMaxSensorCount);
  std::lock_guard<std::mutex> guard(FLock);
  FSensorCount = static_cast<std::uint8_t>(count);
  FTemperatures.assign(static_cast<std::size_t>(count), kNoDataTemperature);
}

std::uint16_t* TDevice::LockTemperatures() {
  FLock.lock();
  return FTemperatures.empty() ? nullptr : FTemperatures.data();
}

void TDevice::UnlockTemperatures() {
  FLock.unlock();
}

void TDevice::ClearTemperatures() {
  std::lock_guard<std::mutex> guard(FLock);
  std::fill(FTemperatures.begin(), FTemperatures.end(), kNoDataTemperature);
}

std::vector<std::uint16_t> TDevice::TemperaturesSnapshot() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTemperatures;
}

void TDevice::WriteRecord(std::uint8_t* record) const {
  record[kOffNameLength] = FNameLength;
  std::memcpy(record + kOffNameChars, FNameChars.data(), FNameChars.size());
  record[kOffSystemAddress] = FSystemAddress;
  Put16(record + kOffPlantNumber, FPlantNumber);
  record[kOffSensorCount] = FSensorCount;
  Put16(record + kOffCalibrationCode1, CalibrationCode1);
  Put16(record + kOffCalibrationCode2, CalibrationCode2);
  Put16(record + kOffUnmeasurableLevel, UnmeasurableLevel);
  Put16(record + kOffCalibrationLevel2, CalibrationLevel2);
  record[kOffAveragingCoefficient] = FAveragingCoefficient;
  record[kOffNoteLength] = FNoteLength;
  std::memcpy(record + kOffNoteChars, FNoteChars.data(), FNoteChars.size());
}

void TDevice::ReadRecord(const std::uint8_t* record) {
  // Lengths and the sensor count are limited to what the areas and the
  // exchanges can hold; everything else is taken byte for byte.
  FNameLength = std::min<std::uint8_t>(record[kOffNameLength], FNameChars.size());
  std::memcpy(FNameChars.data(), record + kOffNameChars, FNameChars.size());
  FSystemAddress = record[kOffSystemAddress];
  FPlantNumber = Get16(record + kOffPlantNumber);
  CalibrationCode1 = Get16(record + kOffCalibrationCode1);
  CalibrationCode2 = Get16(record + kOffCalibrationCode2);
  UnmeasurableLevel = Get16(record + kOffUnmeasurableLevel);
  CalibrationLevel2 = Get16(record + kOffCalibrationLevel2);
  FAveragingCoefficient = record[kOffAveragingCoefficient];
  FNoteLength = std::min<std::uint8_t>(record[kOffNoteLength], FNoteChars.size());
  std::memcpy(FNoteChars.data(), record + kOffNoteChars, FNoteChars.size());
  SetSensorCount(record[kOffSensorCount]);
}

std::array<std::string, 10> TDevice::FillRow() const {
  return {Name(),
          std::to_string(FPlantNumber),
          std::to_string(FSystemAddress),
          std::to_string(FSensorCount),
          std::to_string(CalibrationCode1),
          std::to_string(UnmeasurableLevel),
          std::to_string(CalibrationCode2),
          std::to_string(CalibrationLevel2),
          std::to_string(FAveragingCoefficient),
          Note()};
}

std::string DefaultDeviceName(std::uint16_t plantNumber) {
  return std::string(kDeviceModelName) + "_" + std::to_string(plantNumber);
}

bool TDevice::PollFailed() const {
  for (const TRequestOutcome& o : PollOutcomes)
    if (!o.Ok) return true;
  return false;
}

std::string TDevice::PollFailureText() const {
  for (const TRequestOutcome& o : PollOutcomes)
    if (!o.Ok) return o.Result;
  return {};
}
