// The views beside the tables under a large line, offscreen:
//  1. updating the three views ("Профиль температуры", "Обзор линии",
//     "Тренды") after one polling cycle of 247 devices × 32 sensors, against a
//     16 ms frame: the session store taking the cycle, then each view's
//     refresh and repaint; the trend shows the last hour (360 earlier cycles,
//     10 s apart) of the level and all 32 sensors of one device, and again
//     with its whole day in view. Goal: all three within a quarter frame.
//  2. the session's trend store for 24 hours of 100 devices × 32 sensors at one
//     cycle per 10 s: bytes per device-reading as the store counts them and as
//     the heap grew. Goal: at most 70 bytes a device-reading.
// Usage: bench_views_ui. Prints its tables and exits 0.
#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "OverviewDock.h"
#include "ProfileDock.h"
#include "SessionTrendStore.h"
#include "TrendDock.h"
#include "ViewHub.h"

namespace {

constexpr double kFrameMs = 16.0;
constexpr std::int64_t kT0 = 1'700'000'000'000;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One cycle of a line: every device read, temperatures drifting around a
// profile, a few faults and no-data words, one device that does not answer.
TLineSnapshot Cycle(int devices, int sensors, int cycle, std::minstd_rand& random) {
  std::uniform_int_distribution<int> noise(-3, 3);
  TLineSnapshot s;
  s.TimeMs = kT0 + cycle * 10'000LL;
  s.Cycle = static_cast<std::uint64_t>(cycle + 1);
  for (int d = 0; d < devices; ++d) {
    TDeviceReading r;
    r.PlantNumber = static_cast<std::uint16_t>(1000 + d);
    r.SystemAddress = static_cast<std::uint8_t>(d % 255 + 1);
    r.Name = "Силос " + std::to_string(d + 1);
    r.SensorCount = static_cast<std::uint8_t>(sensors);
    r.Level = static_cast<std::uint16_t>(40 + (d * 7) % 160);
    const bool ok = d != 17;
    r.Outcomes = {
        {"Чтение уровня", ok ? "Операция завершена успешно" : "Нет связи с прибором", ok}};
    r.Read = true;
    r.LevelConfirmed = r.TemperaturesConfirmed = ok;
    for (int i = 0; i < sensors; ++i) {
      const double t = 8 + 20 * std::sin(3.14159 * i / sensors) + d % 5;
      std::uint16_t word =
          static_cast<std::uint16_t>(static_cast<std::int16_t>(t * 16 + noise(random)));
      if (!ok) word = kNoDataTemperature;
      if (ok && (d * 31 + i) % 97 == 0) word = kFaultTemperatureA;
      if (ok && (d * 17 + i) % 89 == 0) word = kNoDataTemperature;
      r.Temperatures.push_back(word);
    }
    s.Devices.push_back(std::move(r));
  }
  return s;
}

double TimeMs(const std::function<void()>& f) {
  QElapsedTimer t;
  t.start();
  f();
  return t.nsecsElapsed() / 1e6;
}

void ViewsAfterOneCycle() {
  constexpr int kDevices = 247, kSensors = 32, kHistory = 360, kRuns = 25;
  std::minstd_rand random(3);
  auto store = std::make_shared<TSessionTrendStore>();
  TViewHub hub;
  QObject::connect(&hub, &TViewHub::SnapshotReady, [store](TSnapshotPtr s) { store->Add(*s); });
  QMainWindow window;
  auto* profile = new TProfileDock(&hub, &window);
  auto* overview = new TOverviewDock(&hub, &window);
  auto* trends = new TTrendDock(&hub, store, &window);
  window.addDockWidget(Qt::RightDockWidgetArea, profile);
  window.addDockWidget(Qt::TopDockWidgetArea, overview);
  window.addDockWidget(Qt::BottomDockWidgetArea, trends);
  window.resize(1600, 1000);
  window.show();
  trends->SetSeries([] {
    std::vector<int> all;
    for (int s = kLevelSeries; s <= kMaxTrendSeries; ++s) all.push_back(s);
    return all;
  }());
  for (int c = 0; c < kHistory; ++c) store->Add(Cycle(kDevices, kSensors, c, random));
  hub.SetCurrentIndex(100);
  QApplication::processEvents();

  std::vector<double> storeMs, overviewMs, profileMs, trendMs, allMs, dayMs;
  // Each view alone (the others hidden, so they only mark themselves stale):
  // the snapshot handed out, the view's refresh, the events that repaint it.
  int cycle = kHistory;
  const auto measure = [&](TViewDock* shown, std::vector<double>& into) {
    for (TViewDock* d : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                         static_cast<TViewDock*>(trends)})
      d->setVisible(d == shown);
    QApplication::processEvents();
    for (int run = 0; run < kRuns; ++run) {
      auto snapshot = std::make_shared<TLineSnapshot>(Cycle(kDevices, kSensors, cycle++, random));
      if (!shown) {
        into.push_back(TimeMs([&] { hub.Publish(snapshot); }));
        continue;
      }
      into.push_back(TimeMs([&] {
        hub.Publish(snapshot);
        shown->FlushRefresh();
        QApplication::processEvents();  // the repaint (and the plot's queued replot)
      }));
    }
  };
  measure(nullptr, storeMs);
  measure(overview, overviewMs);
  measure(profile, profileMs);
  measure(trends, trendMs);
  // All three shown: one cycle until every view has been repainted.
  for (TViewDock* d : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                       static_cast<TViewDock*>(trends)})
    d->show();
  QApplication::processEvents();
  for (int run = 0; run < kRuns; ++run) {
    auto snapshot = std::make_shared<TLineSnapshot>(Cycle(kDevices, kSensors, cycle++, random));
    allMs.push_back(TimeMs([&] {
      hub.Publish(snapshot);
      for (TViewDock* d : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                           static_cast<TViewDock*>(trends)})
        d->FlushRefresh();
      QApplication::processEvents();
    }));
  }
  // The whole stored time in view (a zoom out to 24 h).
  trends->SetSpanMinutes(1440);
  for (int run = 0; run < kRuns; ++run)
    dayMs.push_back(TimeMs([&] {
      trends->FlushRefresh();
      QApplication::processEvents();
    }));

  const double total = Median(allMs);
  std::printf("Views after one cycle of %d devices x %d sensors (median of %d, offscreen)\n",
              kDevices, kSensors, kRuns);
  std::printf("%-46s %10s %12s\n", "step", "ms", "of a frame");
  const auto row = [](const char* what, double ms) {
    std::printf("%-46s %10.3f %12.3f\n", what, ms, ms / kFrameMs);
  };
  row("snapshot to the store (no view shown)", Median(storeMs));
  row("line overview alone: refresh + repaint", Median(overviewMs));
  row("temperature profile alone: refresh + repaint", Median(profileMs));
  row("trends alone, last hour, 33 series", Median(trendMs));
  row("all three views after one cycle", total);
  std::printf("goal: <= 0.250 of a %.0f ms frame\n", kFrameMs);
  row("(trends with the whole day in view)", Median(dayMs));
  std::printf("\n");
}

std::size_t HeapInUse() {
  return mallinfo2().uordblks;
}

void StoreMemory() {
  constexpr int kDevices = 100, kSensors = 32, kCycles = 24 * 360;  // a day at 10 s
  std::minstd_rand random(5);
  // The cycles are made first and kept out of the measured heap growth.
  const std::size_t before = HeapInUse();
  auto store = std::make_unique<TSessionTrendStore>();
  QElapsedTimer t;
  t.start();
  double addMs = 0;
  for (int c = 0; c < kCycles; ++c) {
    const TLineSnapshot s = Cycle(kDevices, kSensors, c, random);
    QElapsedTimer a;
    a.start();
    store->Add(s);
    addMs += a.nsecsElapsed() / 1e6;
  }
  malloc_trim(0);
  const std::size_t heap = HeapInUse() - before;
  const double readings = static_cast<double>(store->RowCount());
  std::printf("Session trend store: 24 h of %d devices x %d sensors, a cycle per 10 s\n", kDevices,
              kSensors);
  std::printf("%-46s %14.0f\n", "device-readings kept", readings);
  std::printf("%-46s %14.1f\n", "store's own count, MB", store->MemoryBytes() / 1048576.0);
  std::printf("%-46s %14.1f\n", "heap growth, MB", heap / 1048576.0);
  std::printf("%-46s %14.1f\n", "bytes per device-reading (store's count)",
              store->MemoryBytes() / readings);
  std::printf("%-46s %14.1f\n", "bytes per device-reading (heap growth)", heap / readings);
  std::printf("%-46s %14.1f\n", "raw words alone (2 + 32 words), bytes", 2.0 * (2 + kSensors));
  std::printf("%-46s %14.3f\n", "taking one cycle, ms (mean)", addMs / kCycles);
  std::printf("goal: <= 70 bytes a device-reading\n");
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("LIM07_SETTINGS", ":temporary:");
  QApplication app(argc, argv);
  ViewsAfterOneCycle();
  StoreMemory();
  return 0;
}
