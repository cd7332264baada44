#include "SearchThreads.h"

#include <algorithm>
#include <climits>

#include "FastProbe.h"
#include "NativeRequests.h"

namespace {

// Pause after each probed address or plant number, ms.
constexpr int kScanPauseMs = 50;
// A device that has just taken a new address needs this long, ms, before it
// answers there.
constexpr int kAddressSettleMs = 500;
constexpr int kLastScanAddress = 254;

// Frees the device in hand when Execute ends, also when an error passes.
struct TDeviceReleaser {
  std::unique_ptr<TDevice>& Device;
  ~TDeviceReleaser() { Device.reset(); }
};

// A decimal whole number (optionally signed, blanks around it allowed).
bool ParseWholeNumber(const std::string& text, long long& value) {
  std::size_t i = 0, end = text.size();
  while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == end) return false;
  long long v = 0;
  for (; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > INT_MAX) return false;  // not an integer any more
  }
  value = negative ? -v : v;
  return true;
}

// A collected part of a list item as a plant number: its low 16 bits, or
// `fallback` when it is not a number.
std::uint16_t ListNumber(const std::string& collected, std::uint16_t fallback) {
  long long v = 0;
  if (!ParseWholeNumber(collected, v)) return fallback;
  return static_cast<std::uint16_t>(static_cast<unsigned long long>(v) & 0xFFFF);
}

// The fast way of trying one address or plant number: one probe; where
// anything came back, also late during the pause after a silent probe, the
// ordinary request with its retries, once the line is quiet again. Returns the
// transaction that succeeded, or none. `paused` is set when the pause after
// the address has been spent listening.
template <class TProbe>
TTransaction* ProbeThenConfirm(TProbe& probe, TTransaction& ordinary, int attempts, TDevice* device,
                               TCustomComPort& port, bool& paused) {
  paused = false;
  switch (probe.Probe(device)) {
    case TProbeOutcome::Answered:
      return &probe;
    case TProbeOutcome::Garbled:
      // The rest of whatever came must pass before the line is asked again.
      ListenUntilQuiet(port, kFastQuietMs, kFastQuietMs);
      break;
    case TProbeOutcome::Silent: {
      // A device slower than the probe allows answers into the pause.
      const int heard = ListenUntilQuiet(port, kScanPauseMs, kFastQuietMs);
      if (heard <= 0) {
        paused = heard == 0;  // -1: the port is closed, nothing was waited for
        return nullptr;
      }
      break;
    }
  }
  return RunWithRetry(&ordinary, device, attempts) ? &ordinary : nullptr;
}

}  // namespace

int NormalScanStartAddress(long long value) {
  return value >= 1 && value <= kLastScanAddress ? static_cast<int>(value) : 1;
}

int ScanStartAddress(const std::string& text) {
  long long v = 0;
  return ParseWholeNumber(text, v) ? NormalScanStartAddress(v) : 1;
}

int NormalScanEndAddress(long long value, int startAddress) {
  const int end =
      value >= 1 && value <= kLastScanAddress ? static_cast<int>(value) : kLastScanAddress;
  return std::max(end, NormalScanStartAddress(startAddress));
}

int ScanEndAddress(const std::string& text) {
  long long v = 0;
  return ParseWholeNumber(text, v) && v >= 1 && v <= kLastScanAddress ? static_cast<int>(v)
                                                                      : kLastScanAddress;
}

int ProgressPercentOf(int done, int total) {
  if (total <= 0) return 100;
  return static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
}

int NextPlantNumberRange(const std::string& text, int position, std::uint16_t& low,
                         std::uint16_t& high) {
  low = 0;
  high = 0;
  std::string collected;
  bool firstHyphenPending = true;
  std::size_t i = position < 1 ? 0 : static_cast<std::size_t>(position - 1);
  for (; i < text.size() && text[i] != ','; ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') continue;
    if (c == '-') {
      if (firstHyphenPending) {
        low = ListNumber(collected, 0);
        firstHyphenPending = false;
      } else {
        high = ListNumber(collected, low);
      }
      collected.clear();
      continue;
    }
    collected += c;
  }
  if (firstHyphenPending) {
    low = high = ListNumber(collected, 0);
  } else {
    high = ListNumber(collected, low);
  }
  if (i < text.size()) return static_cast<int>(i) + 2;  // 1-based, after the comma
  return -1;
}

// --- Address scan ---------------------------------------------------------------------

TSearchThread::TSearchThread(IOperationHost* form, int startAddress, TScanOptions options)
    : TWorkerThread(form),
      FStartAddress(static_cast<std::uint8_t>(NormalScanStartAddress(startAddress))),
      FEndAddress(
          static_cast<std::uint8_t>(NormalScanEndAddress(options.EndAddress, startAddress))),
      FFast(options.Fast) {}

TSearchThread::~TSearchThread() {
  // Stop and wait here, while the derived members still exist.
  Terminate();
  wait();
}

void TSearchThread::Execute() {
  TComPort* port = &FForm->ComPort();
  const TDeviceProtocol protocol = FForm->CurrentProtocol();
  TReadIdentificationTransaction identification(port, protocol);
  TFastIdentificationTransaction probe(port, protocol);
  TReadSensorNumberTransaction sensorCount(port, protocol);
  TReadUnmeasurableLevelTransaction unmeasurableLevel(port, protocol);
  TDeviceReleaser releaser{FDevice};

  for (int address = FStartAddress; address <= FEndAddress; ++address) {
    FDevice = std::make_unique<TDevice>();
    FDevice->SetSystemAddress(static_cast<std::uint8_t>(address));
    bool paused = false;
    TTransaction* answered = nullptr;
    if (FFast)
      answered = ProbeThenConfirm(probe, identification, 3, FDevice.get(), *port, paused);
    else if (RunWithRetry(&identification, FDevice.get(), 3))
      answered = &identification;
    if (answered != nullptr) {
      const std::uint16_t plant =
          static_cast<TReadIdentificationTransaction*>(answered)->PlantNumber();
      FDevice->SetPlantNumber(plant);
      FDevice->SetName(DefaultDeviceName(plant));
      // Whatever these give, the device is found.
      const bool sensorsRead = RunWithRetry(&sensorCount, FDevice.get(), 2);
      const bool levelRead = RunWithRetry(&unmeasurableLevel, FDevice.get(), 2);
      if (!sensorsRead || !levelRead) NoteIncomplete(FDevice->PlantNumber());
      FForm->AddDevice(FDevice.release());
    } else {
      FDevice.reset();
    }
    // Measured over 1..end + 1 whatever the start: the end address reports 100.
    FForm->ProgressPercent(ProgressPercentOf(address + 1, FEndAddress + 1));
    if (Terminated() || (!paused && !Pause(kScanPauseMs))) break;
  }
}

// --- Plant-number scan ------------------------------------------------------------------

TSearch2Thread::TSearch2Thread(IOperationHost* form, int startAddress, bool reserveAddresses,
                               const std::string& numbers, TScanOptions options)
    : TWorkerThread(form),
      FReserveAddresses(reserveAddresses),
      FNumbers(numbers),
      FStartAddress(static_cast<std::uint8_t>(NormalScanStartAddress(startAddress))),
      FEndAddress(
          static_cast<std::uint8_t>(NormalScanEndAddress(options.EndAddress, startAddress))),
      FFast(options.Fast) {}

TSearch2Thread::~TSearch2Thread() {
  Terminate();
  wait();
}

void TSearch2Thread::Execute() {
  TComPort* port = &FForm->ComPort();
  // This mode exists only in the native protocol.
  TWriteAddressTransaction writeAddress(port, dpLargis1);
  TFastWriteAddressTransaction probe(port, dpLargis1);
  TReadSensorNumberTransaction sensorCount(port, dpLargis1);
  TReadUnmeasurableLevelTransaction unmeasurableLevel(port, dpLargis1);
  TReadCoefficientTransaction coefficient(port, dpLargis1);
  TDeviceReleaser releaser{FDevice};

  int position = FNumbers.empty() ? -1 : 1;
  int address = FStartAddress;  // the next address to give; beyond the end ends the scan
  while (!Terminated() && position >= 1 && address <= FEndAddress) {
    std::uint16_t low = 0, high = 0;
    position = NextPlantNumberRange(FNumbers, position, low, high);
    if (high < low || low == 0) continue;
    // A counter wider than the plant number, so a range up to 65535 ends.
    for (int number = low; number <= high; ++number) {
      const auto plant = static_cast<std::uint16_t>(number);
      FDevice = std::make_unique<TDevice>();
      FDevice->SetPlantNumber(plant);
      FDevice->SetSystemAddress(static_cast<std::uint8_t>(address));
      bool paused = false;
      const bool written =
          FFast ? ProbeThenConfirm(probe, writeAddress, 2, FDevice.get(), *port, paused) != nullptr
                : RunWithRetry(&writeAddress, FDevice.get(), 2);
      if (written) {
        FDevice->SetName(DefaultDeviceName(plant));
        // Not cut short by "Стоп": the follow-up reads need the device settled.
        QThread::msleep(kAddressSettleMs);
        const bool sensorsRead = RunWithRetry(&sensorCount, FDevice.get(), 1);
        const bool levelRead = RunWithRetry(&unmeasurableLevel, FDevice.get(), 1);
        const bool coefficientRead = RunWithRetry(&coefficient, FDevice.get(), 1);
        if (!sensorsRead || !levelRead || !coefficientRead) NoteIncomplete(plant);
        FForm->AddDevice(FDevice.release());
        ++address;
      } else {
        if (FReserveAddresses) ++address;  // the missing device keeps its address
        FDevice.reset();
      }
      if (address > FEndAddress || Terminated()) break;
      FForm->ProgressDevice(plant, static_cast<std::uint8_t>(address));
      if (!paused && !Pause(kScanPauseMs)) break;
    }
  }
  FForm->ProgressDevice(0, 0);
}
