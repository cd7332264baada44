// The ordered list of devices of a configuration; it owns its devices.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Device.h"

class TDeviceList {
 public:
  TDeviceList() = default;
  ~TDeviceList() { Clear(); }
  TDeviceList(const TDeviceList&) = delete;
  TDeviceList& operator=(const TDeviceList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TDevice* Items(int index) const { return FItems.at(static_cast<std::size_t>(index)); }
  TDevice* operator[](int index) const { return Items(index); }
  int IndexOf(const TDevice* device) const;
  // Appends and takes ownership; false (and nothing changes) when the same
  // object is already in the list.
  bool Add(TDevice* device);
  // Removes and frees the device at index; false when the index is invalid.
  bool Delete(int index);
  // Frees all devices.
  void Clear();

  // Unstable ascending sorts on the unsigned keys.
  void SortByPlantNumber();
  void SortBySystemAddress();

  // True when two devices share a system address.
  bool HasDuplicateAddresses() const;

 private:
  std::vector<TDevice*> FItems;
};

// The report of missing plant numbers over an ascending array.
std::string GetLostMumberReport(const std::vector<int>& sortedNumbers);
// The whole message: "Младший: %d, Старший: %d.\r\n<report>" over the list's
// plant numbers; an empty text for an empty list.
std::string LostNumbersMessage(const TDeviceList& devices);
