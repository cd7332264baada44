#include "Device.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "Cp1251.h"

namespace {

std::array<std::uint8_t, kDeviceRecordSize> Record(const TDevice& d) {
  std::array<std::uint8_t, kDeviceRecordSize> r{};
  d.WriteRecord(r.data());
  return r;
}

}  // namespace

TEST(Device, CreationValues) {
  TDevice d;
  EXPECT_EQ(d.LastOperation, "Не производилась");
  EXPECT_EQ(d.LastResult, "Не определен");
  EXPECT_EQ(d.AveragingCoefficient(), 1);
  EXPECT_EQ(d.SensorCount(), 0);
  EXPECT_EQ(d.LockTemperatures(), nullptr);
  d.UnlockTemperatures();
  EXPECT_EQ(d.TemperatureState, 0);
  EXPECT_EQ(d.LevelState, 0);
  const auto r = Record(d);
  for (int i = 0; i < kDeviceRecordSize; ++i) EXPECT_EQ(r[i], i == 29 ? 1 : 0) << "offset " << i;
}

TEST(Device, SensorCountLimitsAndNoDataFill) {
  TDevice d;
  d.SetSensorCount(40);
  EXPECT_EQ(d.SensorCount(), 32);
  EXPECT_EQ(d.TemperaturesSnapshot(), std::vector<std::uint16_t>(32, kNoDataTemperature));
  std::uint16_t* t = d.LockTemperatures();
  t[0] = 0x0190;
  d.UnlockTemperatures();
  d.SetSensorCount(32);  // same count: filled again
  EXPECT_EQ(d.TemperaturesSnapshot()[0], kNoDataTemperature);
  t = d.LockTemperatures();
  t[31] = 0x0190;
  d.UnlockTemperatures();
  d.ClearTemperatures();
  EXPECT_EQ(d.TemperaturesSnapshot()[31], kNoDataTemperature);
  d.SetSensorCount(-5);
  EXPECT_EQ(d.SensorCount(), 0);
  EXPECT_TRUE(d.TemperaturesSnapshot().empty());
}

TEST(Device, NameAndNoteLimitsInCharactersNotBytes) {
  TDevice d;
  d.SetName("Двадцать_символов_ровно");  // 23 characters, 2 bytes each in UTF-8
  EXPECT_EQ(d.Name(), "Двадцать_символо");
  EXPECT_EQ(Utf8Length(d.Name()), 16u);
  std::string note;
  for (int i = 0; i < 70; ++i) note += "Ж";
  d.SetNote(note);
  EXPECT_EQ(Utf8Length(d.Note()), 64u);
  const auto r = Record(d);
  EXPECT_EQ(r[0], 16);
  EXPECT_EQ(r[1], 0xC4);  // Д in 1251
  EXPECT_EQ(r[30], 64);
  EXPECT_EQ(r[31], 0xC6);  // Ж
  d.SetName("日本");
  EXPECT_EQ(d.Name(), "??");
}

TEST(Device, ShorterNameZeroesOnlyTheOldLength) {
  TDevice d;
  d.SetName("ABCDEFGH");
  d.SetName("XY");
  auto r = Record(d);
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(r[1], 'X');
  EXPECT_EQ(r[2], 'Y');
  for (int i = 3; i <= 16; ++i) EXPECT_EQ(r[i], 0) << i;

  // Bytes beyond the current length are kept as they stand: a record whose
  // name area holds "XY" followed by stale "CDEFGHIJ".
  std::array<std::uint8_t, kDeviceRecordSize> in{};
  const char stale[] = "XYCDEFGHIJ";
  in[0] = 2;
  std::copy(stale, stale + 10, in.begin() + 1);
  in[30] = 1;
  const char staleNote[] = "nOTE-STALE";
  std::copy(staleNote, staleNote + 10, in.begin() + 31);
  TDevice e;
  e.ReadRecord(in.data());
  EXPECT_EQ(Record(e), in);
  e.SetName("Q");  // zeroes two bytes, stores one
  r = Record(e);
  EXPECT_EQ(std::string(r.begin() + 1, r.begin() + 11), std::string("Q\0CDEFGHIJ", 10));
  e.SetNote("ab");
  r = Record(e);
  EXPECT_EQ(std::string(r.begin() + 31, r.begin() + 41), "abTE-STALE");
}

TEST(Device, RecordRoundTripIsByteExact) {
  std::array<std::uint8_t, kDeviceRecordSize> in{};
  for (int i = 0; i < kDeviceRecordSize; ++i) in[i] = static_cast<std::uint8_t>(i * 7 + 3);
  in[0] = 5;
  in[20] = 12;
  in[30] = 40;
  TDevice d;
  d.ReadRecord(in.data());
  EXPECT_EQ(Record(d), in);
  EXPECT_EQ(d.SystemAddress(), in[17]);
  EXPECT_EQ(d.PlantNumber(), in[18] | in[19] << 8);
  EXPECT_EQ(d.CalibrationCode1, in[21] | in[22] << 8);
  EXPECT_EQ(d.CalibrationCode2, in[23] | in[24] << 8);
  EXPECT_EQ(d.UnmeasurableLevel, in[25] | in[26] << 8);
  EXPECT_EQ(d.CalibrationLevel2, in[27] | in[28] << 8);
  EXPECT_EQ(d.AveragingCoefficient(), in[29]);
  EXPECT_EQ(d.TemperaturesSnapshot(), std::vector<std::uint16_t>(12, kNoDataTemperature));
}

TEST(Device, HostileRecordIsLimited) {
  std::array<std::uint8_t, kDeviceRecordSize> in;
  in.fill('z');
  in[0] = 200;   // name length
  in[20] = 255;  // sensor count
  in[30] = 255;  // note length
  TDevice d;
  d.ReadRecord(in.data());
  EXPECT_EQ(d.Name(), std::string(16, 'z'));
  EXPECT_EQ(d.Note(), std::string(64, 'z'));
  EXPECT_EQ(d.SensorCount(), 32);
  EXPECT_EQ(d.TemperaturesSnapshot().size(), 32u);
  d.SetName("ab");  // must not clear past the area
  d.SetNote("");
  const auto r = Record(d);
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(r[20], 32);
  EXPECT_EQ(r[30], 0);
  EXPECT_EQ(r[17], 'z');  // the address after the name area is untouched
  EXPECT_EQ(r[94], 'z');
}

TEST(Device, FillRowAndDefaultName) {
  TDevice d;
  d.SetName("Силос 1");
  d.SetPlantNumber(65535);
  d.SetSystemAddress(250);
  d.SetSensorCount(8);
  d.CalibrationCode1 = 1000;
  d.UnmeasurableLevel = 5;
  d.CalibrationCode2 = 60000;
  d.CalibrationLevel2 = 120;
  d.SetAveragingCoefficient(3);
  d.SetNote("север");
  const std::array<std::string, 10> want = {"Силос 1", "65535", "250", "8", "1000",
                                            "5",       "60000", "120", "3", "север"};
  EXPECT_EQ(d.FillRow(), want);
  EXPECT_EQ(DefaultDeviceName(1234), "ЛИМ-07_1234");
  EXPECT_EQ(DefaultDeviceName(65535), "ЛИМ-07_65535");
}

TEST(Device, TemperatureLockExcludesConcurrentWriters) {
  TDevice d;
  d.SetSensorCount(32);
  std::thread writer([&] {
    for (int n = 0; n < 2000; ++n) {
      std::uint16_t* t = d.LockTemperatures();
      for (int i = 0; i < 32; ++i) t[i] = static_cast<std::uint16_t>(n);
      d.UnlockTemperatures();
    }
  });
  for (int n = 0; n < 2000; ++n) {
    const auto snap = d.TemperaturesSnapshot();
    for (auto w : snap) ASSERT_EQ(w, snap[0]);  // never a half-written block
    if (n % 100 == 0) d.ClearTemperatures();
  }
  writer.join();
}
