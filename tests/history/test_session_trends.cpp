// The session's trend store: what it keeps and drops by time, the points a
// query gives (gaps, breaks, min/max per pixel column) and its memory a reading.
#include <gtest/gtest.h>

#include <cmath>

#include "SessionTrendStore.h"

namespace {

constexpr std::int64_t kT0 = 1'700'000'000'000;  // UTC ms

TDeviceReading Reading(std::uint16_t plant, std::uint16_t level, std::vector<std::uint16_t> words,
                       bool levelOk = true, bool temperaturesOk = true) {
  TDeviceReading r;
  r.PlantNumber = plant;
  r.Level = level;
  r.Temperatures = std::move(words);
  r.SensorCount = static_cast<std::uint8_t>(r.Temperatures.size());
  r.Read = true;
  r.LevelConfirmed = levelOk;
  r.TemperaturesConfirmed = temperaturesOk;
  return r;
}

TLineSnapshot Cycle(std::int64_t timeMs, std::uint64_t cycle, std::vector<TDeviceReading> devices) {
  TLineSnapshot s;
  s.TimeMs = timeMs;
  s.Cycle = cycle;
  s.Devices = std::move(devices);
  return s;
}

std::vector<double> Values(const TTrendSeries& series) {
  std::vector<double> v;
  for (const TTrendPoint& p : series.Points) v.push_back(p.Value);
  return v;
}

// NaN compares unequal: gaps as a marker value for the expectations.
constexpr double G = -999;
std::vector<double> WithGaps(std::vector<double> v) {
  for (double& x : v)
    if (std::isnan(x)) x = G;
  return v;
}

TTrendQuery Query(std::uint16_t plant, std::vector<int> series, std::int64_t from, std::int64_t to,
                  int columns = 0) {
  TTrendQuery q;
  q.PlantNumber = plant;
  q.Series = std::move(series);
  q.FromMs = from;
  q.ToMs = to;
  q.Columns = columns;
  return q;
}

}  // namespace

TEST(SessionTrends, KeepsTheReadingsOfTheWindowAndDropsOlderOnes) {
  TSessionTrendStore store(60'000);  // one minute
  // 10 s apart for 5 minutes, across several chunks' worth of time.
  for (int i = 0; i <= 30; ++i)
    store.Add(Cycle(
        kT0 + i * 10'000, static_cast<std::uint64_t>(i + 1),
        {Reading(1201, static_cast<std::uint16_t>(i), {static_cast<std::uint16_t>(i * 16)})}));
  EXPECT_EQ(store.RowCount(), 7u);  // 240 s … 300 s
  const TTrendResult r = store.Run(Query(1201, {kLevelSeries, 1}, kT0, kT0 + 400'000));
  EXPECT_EQ(r.FirstMs, kT0 + 240'000);
  EXPECT_EQ(r.LastMs, kT0 + 300'000);
  ASSERT_EQ(r.Series.size(), 2u);
  EXPECT_EQ(Values(r.Series[0]), (std::vector<double>{24, 25, 26, 27, 28, 29, 30}));
  EXPECT_EQ(Values(r.Series[1]), (std::vector<double>{24, 25, 26, 27, 28, 29, 30}));
  // A device no longer read is dropped whole once its time has passed.
  store.Add(Cycle(kT0 + 400'000, 32, {Reading(1202, 1, {})}));
  EXPECT_EQ(store.Run(Query(1201, {kLevelSeries}, kT0, kT0 + 500'000)).Series[0].Points.size(), 0u);
  EXPECT_EQ(store.RowCount(), 1u);
  // Shortening the window drops at once; a snapshot that read nothing adds nothing.
  const auto generation = store.Generation();
  store.Add(Cycle(kT0 + 410'000, 0, {[] {
                    auto r = Reading(1202, 1, {});
                    r.Read = false;
                    return r;
                  }()}));
  EXPECT_EQ(store.Generation(), generation);
  store.SetKeepMs(0);
  EXPECT_EQ(store.RowCount(), 1u);  // the newest reading itself stays
}

TEST(SessionTrends, QueryGivesGapsForFaultsFailuresAndPausesAndOnlyTheRangeAsked) {
  TSessionTrendStore store;
  // Cycle 1 and 2 of a run; a failed read; a fault word and no-data word; a
  // second run after a pause; a sensor beyond the device's count.
  store.Add(Cycle(kT0, 1, {Reading(7, 100, {0x0190, 0xFF60})}));
  store.Add(Cycle(kT0 + 1000, 2, {Reading(7, 101, {0xAAAA, 0xDDDD})}));
  store.Add(Cycle(kT0 + 2000, 3, {Reading(7, 102, {0x55AA, 0x0010}, false, false)}));
  store.Add(Cycle(kT0 + 3000, 4, {Reading(7, 103, {0x0020, 0x0030}, true, true)}));
  store.Add(Cycle(kT0 + 60000, 1, {Reading(7, 110, {0x0040, 0x0050})}));
  const TTrendResult r = store.Run(Query(7, {kLevelSeries, 1, 2, 3}, kT0, kT0 + 60000));
  EXPECT_EQ(WithGaps(Values(r.Series[0])), (std::vector<double>{100, 101, G, 103, G, 110}));
  EXPECT_EQ(WithGaps(Values(r.Series[1])), (std::vector<double>{25, G, 2, G, 4}));
  EXPECT_EQ(WithGaps(Values(r.Series[2])), (std::vector<double>{-10, G, 3, G, 5}));
  EXPECT_TRUE(r.Series[3].Points.empty());
  // A range inside the readings takes one reading on either side, so that the
  // line reaches the edges of the plot.
  const TTrendResult inner = store.Run(Query(7, {kLevelSeries}, kT0 + 1500, kT0 + 2500));
  EXPECT_EQ(WithGaps(Values(inner.Series[0])), (std::vector<double>{101, G, 103}));
  EXPECT_TRUE(store.Run(Query(8, {kLevelSeries}, kT0, kT0 + 1)).Series[0].Points.empty());
  // The clock set back: the reading is kept in order at the last time.
  store.Add(Cycle(kT0 - 5000, 2, {Reading(7, 111, {0x0040, 0x0050})}));
  EXPECT_EQ(store.Run(Query(7, {kLevelSeries}, kT0, kT0 + 70000)).LastMs, kT0 + 60000);
}

TEST(SessionTrends, ManyReadingsAreReducedToMinAndMaxPerColumn) {
  TSessionTrendStore store;
  // 1000 readings 1 s apart, level a saw tooth 0..9, into 10 columns.
  for (int i = 0; i < 1000; ++i)
    store.Add(Cycle(kT0 + i * 1000, static_cast<std::uint64_t>(i + 2),
                    {Reading(5, static_cast<std::uint16_t>(i % 10), {})}));
  const TTrendResult r = store.Run(Query(5, {kLevelSeries}, kT0, kT0 + 999'000, 10));
  EXPECT_TRUE(r.Reduced);
  const auto& points = r.Series[0].Points;
  ASSERT_EQ(points.size(), 20u);
  for (std::size_t i = 0; i < points.size(); i += 2) {
    EXPECT_EQ(points[i].Value, 0);  // each column's minimum, then its maximum
    EXPECT_EQ(points[i + 1].Value, 9);
    EXPECT_LT(points[i].TimeMs, points[i + 1].TimeMs);
  }
  // Asked for every reading, it gives every reading.
  EXPECT_EQ(store.Run(Query(5, {kLevelSeries}, kT0, kT0 + 999'000)).Series[0].Points.size(), 1000u);
}

TEST(SessionTrends, AReadingOf32SensorsCostsAtMost70Bytes) {
  TSessionTrendStore store;
  std::vector<std::uint16_t> words(32, 0x0150);
  // 10 devices, a cycle every 10 s for a day.
  for (int cycle = 0; cycle < 8640; ++cycle) {
    TLineSnapshot s = Cycle(kT0 + cycle * 10'000, static_cast<std::uint64_t>(cycle + 1), {});
    for (int d = 0; d < 10; ++d)
      s.Devices.push_back(Reading(static_cast<std::uint16_t>(d), 80, words));
    store.Add(s);
  }
  EXPECT_EQ(store.RowCount(), 86400u);
  EXPECT_LE(static_cast<double>(store.MemoryBytes()) / static_cast<double>(store.RowCount()), 70.0);
}
