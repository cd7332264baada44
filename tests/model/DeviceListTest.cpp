#include "DeviceList.h"

#include <gtest/gtest.h>

namespace {

// Counts live devices so that ownership can be checked.
int gLive = 0;
struct TCountedDevice : TDevice {
  TCountedDevice() { ++gLive; }
  ~TCountedDevice() override { --gLive; }
};

TDevice* MakeDevice(std::uint16_t plant, std::uint8_t address = 0) {
  auto* d = new TCountedDevice;
  d->SetPlantNumber(plant);
  d->SetSystemAddress(address);
  return d;
}

std::vector<int> Plants(const TDeviceList& list) {
  std::vector<int> v;
  for (int i = 0; i < list.Count(); ++i) v.push_back(list[i]->PlantNumber());
  return v;
}

}  // namespace

TEST(DeviceList, OwnsAddsOnceDeletesAndClears) {
  gLive = 0;
  {
    TDeviceList list;
    TDevice* a = MakeDevice(1);
    EXPECT_TRUE(list.Add(a));
    EXPECT_FALSE(list.Add(a));  // same object twice
    EXPECT_FALSE(list.Add(nullptr));
    list.Add(MakeDevice(2));
    list.Add(MakeDevice(3));
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.IndexOf(a), 0);
    EXPECT_FALSE(list.Delete(3));
    EXPECT_FALSE(list.Delete(-1));
    EXPECT_EQ(gLive, 3);
    EXPECT_TRUE(list.Delete(0));
    EXPECT_EQ(gLive, 2);
    EXPECT_EQ(Plants(list), (std::vector<int>{2, 3}));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(gLive, 0);
    list.Add(MakeDevice(4));
  }
  EXPECT_EQ(gLive, 0);  // the destructor frees the rest
}

TEST(DeviceList, SortsAscendingAsUnsigned) {
  TDeviceList list;
  list.Add(MakeDevice(300, 200));
  list.Add(MakeDevice(12, 255));
  list.Add(MakeDevice(65535, 1));
  TDevice* selected = list[2];
  list.SortByPlantNumber();
  EXPECT_EQ(Plants(list), (std::vector<int>{12, 300, 65535}));
  EXPECT_EQ(list.IndexOf(selected), 2);
  list.SortBySystemAddress();
  EXPECT_EQ(Plants(list), (std::vector<int>{65535, 300, 12}));

  // Many equal and random keys: still ascending, nothing lost.
  TDeviceList big;
  unsigned seed = 7;
  for (int i = 0; i < 500; ++i) {
    seed = seed * 1103515245u + 12345u;
    big.Add(
        MakeDevice(static_cast<std::uint16_t>(seed >> 8), static_cast<std::uint8_t>(seed >> 20)));
  }
  big.SortByPlantNumber();
  for (int i = 1; i < big.Count(); ++i) ASSERT_LE(big[i - 1]->PlantNumber(), big[i]->PlantNumber());
  big.SortBySystemAddress();
  for (int i = 1; i < big.Count(); ++i)
    ASSERT_LE(big[i - 1]->SystemAddress(), big[i]->SystemAddress());
  EXPECT_EQ(big.Count(), 500);
}

TEST(DeviceList, DuplicateAddresses) {
  TDeviceList list;
  EXPECT_FALSE(list.HasDuplicateAddresses());
  list.Add(MakeDevice(1, 5));
  list.Add(MakeDevice(2, 255));
  list.Add(MakeDevice(3, 0));
  EXPECT_FALSE(list.HasDuplicateAddresses());
  list.Add(MakeDevice(4, 255));
  EXPECT_TRUE(list.HasDuplicateAddresses());
}

TEST(DeviceList, LostNumbersReport) {
  TDeviceList list;
  EXPECT_EQ(LostNumbersMessage(list), "");
  for (int p : {20, 5, 12, 7, 8, 15}) list.Add(MakeDevice(static_cast<std::uint16_t>(p)));
  EXPECT_EQ(LostNumbersMessage(list), "Младший: 5, Старший: 20.\r\n6, 9-11, 13, 14, 16-19");

  TDeviceList consecutive;
  for (int p : {3, 4, 5}) consecutive.Add(MakeDevice(static_cast<std::uint16_t>(p)));
  EXPECT_EQ(LostNumbersMessage(consecutive), "Младший: 3, Старший: 5.\r\n");

  TDeviceList duplicates;
  for (int p : {9, 1, 9, 4}) duplicates.Add(MakeDevice(static_cast<std::uint16_t>(p)));
  EXPECT_EQ(LostNumbersMessage(duplicates),
            "Младший: 1, Старший: 9.\r\nОшибка! Процедура GetLostMumberReport. Список не "
            "отсортирован.");

  TDeviceList wide;
  for (int p : {65535, 0, 65533}) wide.Add(MakeDevice(static_cast<std::uint16_t>(p)));
  EXPECT_EQ(LostNumbersMessage(wide), "Младший: 0, Старший: 65535.\r\n1-65532, 65534");

  EXPECT_EQ(GetLostMumberReport({}), "");
  EXPECT_EQ(GetLostMumberReport({7}), "");
  EXPECT_EQ(GetLostMumberReport({1, 3, 6, 10}), "2, 4, 5, 7-9");
  EXPECT_EQ(GetLostMumberReport({5, 3}),
            "Ошибка! Процедура GetLostMumberReport. Список не отсортирован.");
}
