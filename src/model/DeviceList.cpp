#include "DeviceList.h"

#include <algorithm>
#include <array>

int TDeviceList::IndexOf(const TDevice* device) const {
  const auto it = std::find(FItems.begin(), FItems.end(), device);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

bool TDeviceList::Add(TDevice* device) {
  if (device == nullptr || IndexOf(device) >= 0) return false;
  FItems.push_back(device);
  return true;
}

bool TDeviceList::Delete(int index) {
  if (index < 0 || index >= Count()) return false;
  TDevice* device = FItems[static_cast<std::size_t>(index)];
  FItems.erase(FItems.begin() + index);
  delete device;
  return true;
}

void TDeviceList::Clear() {
  // Detach first so that the list never refers to a freed device.
  std::vector<TDevice*> items;
  items.swap(FItems);
  for (TDevice* device : items) delete device;
}

// std::sort is an introspective quicksort: ascending, not stable. The keys are
// unsigned, so 65535 sorts after 300.
void TDeviceList::SortByPlantNumber() {
  std::sort(FItems.begin(), FItems.end(), [](const TDevice* a, const TDevice* b) {
    return static_cast<int>(a->PlantNumber()) - static_cast<int>(b->PlantNumber()) < 0;
  });
}

void TDeviceList::SortBySystemAddress() {
  std::sort(FItems.begin(), FItems.end(), [](const TDevice* a, const TDevice* b) {
    return static_cast<int>(a->SystemAddress()) - static_cast<int>(b->SystemAddress()) < 0;
  });
}

bool TDeviceList::HasDuplicateAddresses() const {
  std::array<bool, 256> seen{};
  for (const TDevice* device : FItems) {
    if (seen[device->SystemAddress()]) return true;
    seen[device->SystemAddress()] = true;
  }
  return false;
}

std::string GetLostMumberReport(const std::vector<int>& sortedNumbers) {
  std::string report;
  for (std::size_t i = 1; i < sortedNumbers.size(); ++i) {
    const int p = sortedNumbers[i - 1];
    const int q = sortedNumbers[i];
    std::string item;
    if (q - p <= 0) return "Ошибка! Процедура GetLostMumberReport. Список не отсортирован.";
    if (q - p == 1) continue;
    if (q - p == 2)
      item = std::to_string(p + 1);
    else if (q - p == 3)
      item = std::to_string(p + 1) + ", " + std::to_string(q - 1);
    else
      item = std::to_string(p + 1) + "-" + std::to_string(q - 1);
    report = report.empty() ? item : report + ", " + item;
  }
  return report;
}

std::string LostNumbersMessage(const TDeviceList& devices) {
  if (devices.Count() == 0) return std::string();
  std::vector<int> numbers;
  numbers.reserve(static_cast<std::size_t>(devices.Count()));
  for (int i = 0; i < devices.Count(); ++i) numbers.push_back(devices[i]->PlantNumber());
  std::sort(numbers.begin(), numbers.end());
  return "Младший: " + std::to_string(numbers.front()) +
         ", Старший: " + std::to_string(numbers.back()) + ".\r\n" + GetLostMumberReport(numbers);
}
