#include "BatchThreads.h"

#include <algorithm>
#include <memory>

#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "SearchThreads.h"

namespace {

constexpr int kBatchPauseMs = 10;
// Pause after each device of the batch write, ms.
constexpr int kWritePauseMs = 350;

// Copies everything an exchange may write into a device record: the
// persistent block (address, sensor count, calibration, coefficient…), the
// readings with their state words, the temperature block and the texts of
// the last exchange. A copy taken before the exchanges and copied back after
// them leaves the listed device as the exchanges would have left it
// themselves: a silent device's temperatures cleared, an answering address
// taken, every value read kept.
void CopyDevice(const TDevice& from, TDevice& to) {
  std::uint8_t record[kDeviceRecordSize];
  from.WriteRecord(record);
  to.ReadRecord(record);  // sizes the temperature block from the sensor count
  const std::vector<std::uint16_t> words = from.TemperaturesSnapshot();
  std::uint16_t* block = to.LockTemperatures();  // null with no sensors
  if (block)
    std::copy_n(words.begin(), std::min<std::size_t>(words.size(), to.SensorCount()), block);
  to.UnlockTemperatures();
  to.LevelCode = from.LevelCode;
  to.Level = from.Level;
  to.TemperatureState = from.TemperatureState;
  to.LevelState = from.LevelState;
  to.LastOperation = from.LastOperation;
  to.LastResult = from.LastResult;
}

// A device record to run exchanges on, equal to the listed one.
std::unique_ptr<TDevice> WorkingCopy(const TDevice& listed) {
  auto copy = std::make_unique<TDevice>();
  CopyDevice(listed, *copy);
  return copy;
}

// The device answers at its address with the record's plant number.
bool Identified(TReadIdentificationTransaction& identification, TDevice* work) {
  return RunWithRetry(&identification, work, 2) &&
         identification.PlantNumber() == work->PlantNumber();
}

}  // namespace

// --- Batch read -----------------------------------------------------------------------

TConfigRefreshThread::TConfigRefreshThread(IOperationHost* form) : TWorkerThread(form) {}

TConfigRefreshThread::~TConfigRefreshThread() {
  Terminate();
  wait();
}

void TConfigRefreshThread::Execute() {
  TComPort* port = &FForm->ComPort();
  const TDeviceProtocol protocol = FForm->CurrentProtocol();
  TReadIdentificationTransaction identification(port, protocol);
  TReadSensorNumberTransaction sensorCount(port, protocol);
  TReadUnmeasurableLevelTransaction unmeasurableLevel(port, protocol);
  try {
    TDeviceList& devices = FForm->Devices();
    const int count = devices.Count();
    for (int i = 0; i < count; ++i) {
      FRow = i + 1;
      TDevice* listed = devices.Items(i);
      FForm->ProgressDevice(listed->PlantNumber(), listed->SystemAddress());
      auto work = WorkingCopy(*listed);
      FSensorCountRead = FLevelRead = false;
      const bool confirmed = Identified(identification, work.get());
      if (confirmed) {
        FSensorCountRead = RunWithRetry(&sensorCount, work.get(), 2);
        FLevelRead = RunWithRetry(&unmeasurableLevel, work.get(), 2);
      }
      FForm->Synchronize([&] {
        CopyDevice(*work, *listed);
        // The unmeasurable level confirms all four calibration columns; the
        // coefficient is not read, so its column stays marked.
        if (confirmed) FForm->ClearWrittenMarks(FRow, true, FSensorCountRead, FLevelRead, false);
      });
      if (Terminated() || !Pause(kBatchPauseMs)) break;
    }
  } catch (...) {
    // A port error ends the run; the final report still closes the window,
    // and the host tells the failure (Error, PortError).
    NoteError(std::current_exception());
  }
  FForm->ProgressDevice(0, 0);
}

// --- Batch write ----------------------------------------------------------------------

TDeviceRefreshThread::TDeviceRefreshThread(IOperationHost* form) : TWorkerThread(form) {}

TDeviceRefreshThread::~TDeviceRefreshThread() {
  Terminate();
  wait();
}

void TDeviceRefreshThread::Execute() {
  TComPort* port = &FForm->ComPort();
  // The devices take their settings in the native protocol, whatever is in use.
  TReadIdentificationTransaction identification(port, dpLargis1);
  TWriteCalibrationTransaction calibration(port, dpLargis1);
  TWriteCoefficientTransaction coefficient(port, dpLargis1);
  try {
    TDeviceList& devices = FForm->Devices();
    const int count = devices.Count();
    for (int i = 0; i < count; ++i) {
      FRow = i + 1;
      TDevice* listed = devices.Items(i);
      FForm->ProgressDevice(listed->PlantNumber(), listed->SystemAddress());
      auto work = WorkingCopy(*listed);
      FCalibrationWritten = FCoefficientWritten = false;
      const bool confirmed = Identified(identification, work.get());
      if (confirmed) {
        FCalibrationWritten = RunWithRetry(&calibration, work.get(), 2);
        FCoefficientWritten = RunWithRetry(&coefficient, work.get(), 2);
      }
      FForm->Synchronize([&] {
        // The coefficient write sends 1 for a coefficient of 0 and keeps it.
        CopyDevice(*work, *listed);
        if (confirmed)
          FForm->ClearWrittenMarks(FRow, true, false, FCalibrationWritten, FCoefficientWritten);
      });
      port->PurgeBuffers(true, true);
      if (Terminated() || !Pause(kWritePauseMs)) break;
    }
  } catch (...) {
    NoteError(std::current_exception());
  }
  FForm->ProgressDevice(0, 0);
}

// --- Address write --------------------------------------------------------------------

TAllAddressUpdateThread::TAllAddressUpdateThread(IOperationHost* form) : TWorkerThread(form) {}

TAllAddressUpdateThread::~TAllAddressUpdateThread() {
  Terminate();
  wait();
}

void TAllAddressUpdateThread::Execute() {
  TComPort* port = &FForm->ComPort();
  const TDeviceProtocol protocol = FForm->CurrentProtocol();
  TWriteAddressTransaction writeAddress(port, dpLargis1);
  try {
    TDeviceList& devices = FForm->Devices();
    const int count = devices.Count();
    for (int i = 0; i < count; ++i) {
      // Reported before the write: the window closes on the first 100, and
      // the last device's write still takes place.
      FForm->ProgressPercent(ProgressPercentOf(i + 1, count));
      TDevice* listed = devices.Items(i);
      auto work = WorkingCopy(*listed);
      bool written = false;
      if (protocol == dpLargis1)
        written = RunWithRetry(&writeAddress, work.get(), 2);
      else if (protocol == dpModbus)
        written = WriteAddressModbus(port, work.get(), 2);
      FForm->Synchronize([&] {
        CopyDevice(*work, *listed);
        if (written) {
          FRow = i + 1;
          FForm->ClearWrittenMarks(FRow, true, false, false, false);
        }
      });
      if (Terminated() || !Pause(kBatchPauseMs)) break;
    }
  } catch (...) {
    NoteError(std::current_exception());
  }
  FForm->ProgressPercent(100);
}
