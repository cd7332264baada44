// One device on the line: its persistent settings (stored byte for byte in the
// configuration file) and its run-time data. Plain C++, no Qt.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Temperature words are kept as received, the first (high) byte of each pair
// as the high byte of the word: a signed value in 1/16 degC.
constexpr std::uint16_t kNoDataTemperature = 0xDDDD;  // no data
constexpr std::uint16_t kFaultTemperatureA = 0xAAAA;  // fault mark, shown "****"
constexpr std::uint16_t kFaultTemperatureB = 0x55AA;  // fault mark, shown "****"
constexpr int kMaxSensorCount = 32;
constexpr int kDeviceRecordSize = 95;
constexpr std::uint16_t kStateFailed = 0x8000;  // bit 15 of the state words

// The outcome of one request of a device's last poll: the operation name and
// the result text the request wrote into the record, and whether the request
// was confirmed: it succeeded and delivered every value it asks for.
struct TRequestOutcome {
  std::string Operation;
  std::string Result;
  bool Ok = false;
};

// Model name used in default device names ("%s_%d").
extern const char* const kDeviceModelName;  // "ЛИМ-07"

class TDevice {
 public:
  TDevice();
  virtual ~TDevice();
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  // Texts are UTF-8 here; the record holds them in code page 1251 (a
  // character 1251 cannot hold becomes '?').
  std::string Name() const;
  // Clears the bytes of the current name (as many as its length; the bytes
  // beyond it are kept), then stores the first 16 characters.
  void SetName(const std::string& value);
  std::string Note() const;
  void SetNote(const std::string& value);  // at most 64 characters
  std::uint8_t SystemAddress() const { return FSystemAddress; }
  void SetSystemAddress(std::uint8_t value) { FSystemAddress = value; }
  std::uint16_t PlantNumber() const { return FPlantNumber; }
  void SetPlantNumber(std::uint16_t value) { FPlantNumber = value; }
  std::uint8_t SensorCount() const { return FSensorCount; }
  // Takes the smaller of value and 32 (a negative value gives 0), resizes the
  // temperature block and fills it with the no-data mark (also when the count
  // did not change).
  void SetSensorCount(int value);
  std::uint8_t AveragingCoefficient() const { return FAveragingCoefficient; }
  void SetAveragingCoefficient(std::uint8_t value) { FAveragingCoefficient = value; }

  // Persistent calibration fields, read and written directly.
  std::uint16_t CalibrationCode1 = 0;
  std::uint16_t CalibrationCode2 = 0;
  std::uint16_t UnmeasurableLevel = 0;  // decimetres; level of point 1 (H1)
  std::uint16_t CalibrationLevel2 = 0;  // decimetres

  // Run-time data, never stored.
  std::uint16_t LevelCode = 0;
  std::uint16_t Level = 0;  // decimetres
  std::uint16_t TemperatureState = 0;
  std::uint16_t LevelState = 0;
  std::string LastOperation;  // "Не производилась" on creation
  std::string LastResult;     // "Не определен" on creation
  // The requests of the last polling read of this device, in the order sent
  // (natively level then temperatures; in Modbus the data read); empty until
  // polled. Success is judged from these, never from the state words (a failed
  // Modbus data read leaves them 0). Written by whoever polls, read by others
  // only in the synchronised refresh or while nobody polls.
  std::vector<TRequestOutcome> PollOutcomes;
  // True when the last poll sent requests and one of them failed.
  bool PollFailed() const;
  // The result text of the first failed request of the last poll, else "".
  std::string PollFailureText() const;

  // The temperature block (SensorCount words) is guarded by the device's lock:
  // every reader and writer brackets its access with these two. The pointer is
  // null when SensorCount is 0.
  std::uint16_t* LockTemperatures();
  void UnlockTemperatures();
  // Fills the block with the no-data mark, holding the lock.
  void ClearTemperatures();
  // A copy of the block, taken under the lock.
  std::vector<std::uint16_t> TemperaturesSnapshot() const;

  // The 95-byte persistent block, byte for byte (name and note bytes beyond
  // their lengths included). Reading sizes the temperature block from the
  // stored sensor count and fills it with the no-data mark. A record from a
  // file is trusted only so far: a name length above 16 and a note length
  // above 64 are taken as 16 and 64, and a sensor count above 32 as 32 (the
  // exchanges are sized for 32), so writing such a record back stores the
  // limited values; all other bytes, the stale ones included, are kept.
  void WriteRecord(std::uint8_t* record) const;
  void ReadRecord(const std::uint8_t* record);

  // The ten texts of the device's row in the device table: name, plant number,
  // system address, sensor count, C1, НУ, C2, H2, Kуср, note.
  std::array<std::string, 10> FillRow() const;

 private:
  std::uint8_t FNameLength = 0;
  std::array<std::uint8_t, 16> FNameChars{};
  std::uint8_t FSystemAddress = 0;
  std::uint16_t FPlantNumber = 0;
  std::uint8_t FSensorCount = 0;
  std::uint8_t FAveragingCoefficient = 1;
  std::uint8_t FNoteLength = 0;
  std::array<std::uint8_t, 64> FNoteChars{};

  mutable std::mutex FLock;
  std::vector<std::uint16_t> FTemperatures;
};

// Default name of a device found on the line: "ЛИМ-07_<plant number>".
std::string DefaultDeviceName(std::uint16_t plantNumber);
