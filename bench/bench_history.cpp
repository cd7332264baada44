// The history database: recording one cycle of 247 devices x 32 sensors
// (goal <= 5 ms, off the window's thread), bytes on disk per device-reading
// of 32 sensors (goal <= 100), and a one-year trend of one sensor at one
// reading per 5 minutes (105,120 points) in a database of 100 devices, from
// the question to the points of the view's series (goal <= 100 ms).
//
//   bench_history [--devices N] [--folder DIR]
// The year's database is built first (about a minute and 1 GB); each figure
// is the median of several repetitions, beside its goal.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "HistoryStore.h"

namespace {

using TClock = std::chrono::steady_clock;

double Ms(TClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A line of grain bunkers: each sensor warms and cools slowly, neighbours alike.
TLineSnapshot Line(int devices, std::int64_t timeMs, std::uint64_t cycle) {
  TLineSnapshot s;
  s.TimeMs = timeMs;
  s.Cycle = cycle;
  for (int d = 0; d < devices; ++d) {
    TDeviceReading r;
    r.PlantNumber = static_cast<std::uint16_t>(1000 + d);
    r.SystemAddress = static_cast<std::uint8_t>(d % 247 + 1);
    r.Name = "Силос " + std::to_string(d + 1);
    r.SensorCount = 32;
    r.LevelCode = static_cast<std::uint16_t>(5000 + d);
    r.Level = 120;
    const double day = timeMs / 86'400'000.0;
    for (int i = 0; i < 32; ++i) {
      const double t = 12 + 0.15 * i + 3 * std::sin(day / 30 + d) + 0.5 * std::sin(day * 6.28);
      r.Temperatures.push_back(static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(t * 16))));
    }
    SetPollOutcomes(r, 0,
                    {{"Чтение уровня", "Операция завершена успешно", true},
                     {"Чтение температуры", "Операция завершена успешно", true}});
    s.Devices.push_back(std::move(r));
  }
  return s;
}

std::uint64_t DiskBytes(const std::string& path) {
  std::uint64_t n = 0;
  for (const std::string& f : {path, path + "-wal"}) {
    struct stat st {};
    if (::stat(f.c_str(), &st) == 0) n += static_cast<std::uint64_t>(st.st_size);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int devices = 100;
  std::string folder = std::filesystem::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--devices")) devices = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--folder")) folder = argv[i + 1];
  }
  const std::int64_t start = 1'700'000'000'000;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
  std::printf("%-52s %12s %10s %8s\n", "measure", "median", "goal", "ratio");

  // 1. One cycle of 247 x 32, one transaction.
  {
    const std::string path = folder + "/bench-cycle.db";
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    THistoryStore store(path);
    std::vector<double> times;
    for (int c = 0; c < 200; ++c) {
      const TLineSnapshot s = Line(247, start + c * 60'000LL, static_cast<std::uint64_t>(c + 1));
      const auto t0 = TClock::now();
      store.WriteCycle(s, {}, {});
      times.push_back(Ms(TClock::now() - t0));
    }
    const double m = Median(times);
    std::printf("%-52s %9.2f ms %7.0f ms %8.2f\n", "record one cycle of 247 x 32", m, 5.0, m / 5.0);
    store.Db().Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    const double perReading = static_cast<double>(DiskBytes(path)) / (200.0 * 247.0);
    std::printf("%-52s %10.1f B %8.0f B %8.2f\n", "disk per 32-sensor device-reading (247 dev, 200 cyc)",
                perReading, 100.0, perReading / 100.0);
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
  }

  // 2. A year at 5 minutes of `devices` devices, then one sensor's trend.
  const std::string path = folder + "/bench-year.db";
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  const int steps = 365 * 24 * 12;  // 105,120
  {
    THistoryStore store(path);
    const auto t0 = TClock::now();
    for (int c = 0; c < steps; ++c)
      store.WriteCycle(Line(devices, start + c * 300'000LL, static_cast<std::uint64_t>(c + 2)), {}, {});
    store.Db().Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    const double perReading =
        static_cast<double>(DiskBytes(path)) / (static_cast<double>(steps) * devices);
    std::printf("%-52s %10.1f B %8.0f B %8.2f\n", "disk per device-reading (a year of the line)",
                perReading, 100.0, perReading / 100.0);
    std::printf("(built %d devices x %d readings in %.0f s, %.0f MB)\n", devices, steps,
                Ms(TClock::now() - t0) / 1000, DiskBytes(path) / 1e6);
  }
  THistoryStore reader(path, true);
  for (int columns : {0, 1600}) {
    std::vector<double> times;
    std::size_t points = 0;
    for (int rep = 0; rep < 7; ++rep) {
      const auto t0 = TClock::now();
      TTrendQuery q{static_cast<std::uint16_t>(1000 + devices / 2), {17}, start,
                    start + static_cast<std::int64_t>(steps) * 300'000, columns};
      const TTrendResult r = reader.Trend(q);
      // What the view's series take: keys and values as doubles.
      std::vector<double> keys, values;
      keys.reserve(r.Series[0].Points.size());
      values.reserve(r.Series[0].Points.size());
      for (const TTrendPoint& p : r.Series[0].Points) {
        keys.push_back(p.TimeMs / 1000.0);
        values.push_back(p.Value);
      }
      points = keys.size();
      times.push_back(Ms(TClock::now() - t0));
    }
    const double m = Median(times);
    char label[96];
    std::snprintf(label, sizeof label, "one-year trend of one sensor, %s (%zu points)",
                  columns ? "1600 columns" : "every reading", points);
    std::printf("%-52s %9.1f ms %7.0f ms %8.2f\n", label, m, 100.0, m / 100.0);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  return 0;
}
