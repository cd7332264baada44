// The line scan: building a new configuration from the devices present on the
// line, either by probing system addresses (TSearchThread) or by giving listed
// plant numbers consecutive addresses (TSearch2Thread).
//
// Both threads reach the program only through IOperationHost: a found device
// is handed over with the synchronised AddDevice (which takes ownership), and
// progress is reported with ProgressPercent / ProgressDevice. They never touch
// the device list themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Device.h"
#include "WorkerThread.h"

// The plant numbers of found devices whose follow-up reads (sensor count,
// unmeasurable level, coefficient) did not all succeed: their records hold
// defaults there, not what the device has. Safe from any thread.
class TScanReadsLog {
 public:
  std::vector<std::uint16_t> IncompleteReads() const {
    std::lock_guard lock(FMutex);
    return FIncomplete;
  }

 protected:
  void NoteIncomplete(std::uint16_t plantNumber) {
    std::lock_guard lock(FMutex);
    FIncomplete.push_back(plantNumber);
  }

 private:
  mutable std::mutex FMutex;
  std::vector<std::uint16_t> FIncomplete;
};

// Options of either scan beyond the start address; the defaults are the
// ordinary scan.
struct TScanOptions {
  // The last address probed (address scan) or given (plant-number scan);
  // outside 1..254 it is 254, below the start address it is the start.
  int EndAddress = 254;
  // Each address or plant number is tried once with time-outs computed from
  // the wire (FastProbe.h). Where anything at all came back, also late during
  // the pause that follows, it is tried again with the ordinary time-outs and
  // retries before the scan moves on.
  bool Fast = false;
};

// Address scan: identification of every address from a start address up to
// the end address (254). Reports ProgressPercent((A + 1) * 100 / (end + 1))
// after each address, so the end address reports 100 (with the end at 254,
// the percentage is measured over 1..255).
class TSearchThread : public TWorkerThread, public TScanReadsLog {
  Q_OBJECT
 public:
  // A start address outside 1..254 is taken as 1.
  TSearchThread(IOperationHost* form, int startAddress, TScanOptions options = {});
  ~TSearchThread() override;

  std::uint8_t StartAddress() const { return FStartAddress; }
  std::uint8_t EndAddress() const { return FEndAddress; }

 protected:
  void Execute() override;

 private:
  std::unique_ptr<TDevice> FDevice;  // the device being probed, until handed over
  std::uint8_t FStartAddress;
  std::uint8_t FEndAddress;
  bool FFast;
};

// Plant-number scan (native protocol): each listed plant number is given the
// next free address by the address write that finds a device by its plant
// number. Reports ProgressDevice(N, next address) after each plant number and
// ProgressDevice(0, 0) at the end. It stops after the end address is given.
class TSearch2Thread : public TWorkerThread, public TScanReadsLog {
  Q_OBJECT
 public:
  TSearch2Thread(IOperationHost* form, int startAddress, bool reserveAddresses,
                 const std::string& numbers, TScanOptions options = {});
  ~TSearch2Thread() override;

  std::uint8_t EndAddress() const { return FEndAddress; }

 protected:
  void Execute() override;

 private:
  bool FReserveAddresses;
  std::unique_ptr<TDevice> FDevice;
  std::string FNumbers;
  std::uint8_t FStartAddress;
  std::uint8_t FEndAddress;
  bool FFast;
};

// The start address as typed: a decimal whole number in 1..254, otherwise 1.
int ScanStartAddress(const std::string& text);
// The start-address rule on a number: 1..254 kept, anything else gives 1.
int NormalScanStartAddress(long long value);
// The end address as typed: a decimal whole number in 1..254, otherwise 254.
int ScanEndAddress(const std::string& text);
// The end-address rule: 1..254 kept, anything else gives 254; never below the
// start address.
int NormalScanEndAddress(long long value, int startAddress);

// Parses the item of a plant-number list that starts at the 1-based Position:
// items are separated by ","; blanks are ignored; an item is N or N-M (a
// further "-" restarts the upper bound: 1-5-9 is 1 to 9). A part that is not a
// number gives 0 for the lower bound and the lower bound for the upper one;
// numbers keep their low 16 bits. Returns the position just after the item's
// comma, or -1 when the item ran to the end of the text.
int NextPlantNumberRange(const std::string& text, int position, std::uint16_t& low,
                         std::uint16_t& high);

// (done * 100 / total) in floating point, truncated toward zero; 100 when
// total is not positive.
int ProgressPercentOf(int done, int total);
