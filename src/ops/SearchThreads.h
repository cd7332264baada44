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

// Address scan: identification of every address from a start address up to
// 254. Reports ProgressPercent((A + 1) * 100 / 255) after each address, so
// address 254 reports 100.
class TSearchThread : public TWorkerThread, public TScanReadsLog {
  Q_OBJECT
 public:
  // A start address outside 1..254 is taken as 1.
  TSearchThread(IOperationHost* form, int startAddress);
  ~TSearchThread() override;

  std::uint8_t StartAddress() const { return FStartAddress; }

 protected:
  void Execute() override;

 private:
  std::unique_ptr<TDevice> FDevice;  // the device being probed, until handed over
  std::uint8_t FStartAddress;
};

// Plant-number scan (native protocol): each listed plant number is given the
// next free address by the address write that finds a device by its plant
// number. Reports ProgressDevice(N, next address) after each plant number and
// ProgressDevice(0, 0) at the end.
class TSearch2Thread : public TWorkerThread, public TScanReadsLog {
  Q_OBJECT
 public:
  TSearch2Thread(IOperationHost* form, int startAddress, bool reserveAddresses,
                 const std::string& numbers);
  ~TSearch2Thread() override;

 protected:
  void Execute() override;

 private:
  bool FReserveAddresses;
  std::unique_ptr<TDevice> FDevice;
  std::string FNumbers;
  std::uint8_t FStartAddress;
};

// The start address as typed: a decimal whole number in 1..254, otherwise 1.
int ScanStartAddress(const std::string& text);
// The start-address rule on a number: 1..254 kept, anything else gives 1.
int NormalScanStartAddress(long long value);

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
