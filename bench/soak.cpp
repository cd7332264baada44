// Soak: the polling thread against 100 simulated devices with random faults,
// through the real port, for a long time (default 30 minutes).
//
//   soak [--minutes N] [--seconds N] [--devices N] [--modbus] [--seed N]
//
// Every 200 ms one device, picked at random, gets a fault for its next few
// answers: silence, a bad CRC, an error answer, a wrong sensor count, a short
// answer, a late answer or garbage. After each polling cycle the program notes
// every device's outcome (LastResult of its last exchange: the temperature
// read natively, the data read in Modbus; and natively whether the level read
// failed). At the end it prints: cycles done, exchanges failed by kind, the
// process's resident memory (VmRSS) at the start, at the end and its highest
// sample, CPU time of the process and of the polling thread as fractions of
// wall time, and whether every device record kept its settings. Exits 0.
#include <sys/resource.h>
#include <time.h>

#include <QDeadlineTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "OperationHost.h"
#include "RequestThread.h"
#include "Transaction.h"
#include "VirtualLine.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      in >> kib;
      return kib;
    }
    std::getline(in, key);
  }
  return -1;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Utf8Length(const std::string& s) {
  int n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

struct TSettings {
  std::string Name;
  std::uint8_t Address, Sensors, Coefficient;
  std::uint16_t Plant;
  bool operator==(const TSettings&) const = default;
};

TSettings SettingsOf(const TDevice& d) {
  return {d.Name(), d.SystemAddress(), d.SensorCount(), d.AveragingCoefficient(), d.PlantNumber()};
}

class TSoakHost : public IOperationHost {
 public:
  TComPort& ComPort() override { return Port; }
  TDeviceList& Devices() override { return List; }
  TDeviceProtocol CurrentProtocol() const override { return Protocol; }
  // Runs on the polling thread after each cycle: the records are quiet then.
  void RefreshDataGrid() override {
    std::lock_guard lock(Mutex);
    for (int i = 0; i < List.Count(); ++i) {
      const TDevice& d = *List[i];
      // The device's codes are counted together: one line for "код 0x..".
      const std::string coded = ProtocolErrorText(0);
      const bool code = d.LastResult.size() == coded.size() &&
                        d.LastResult.compare(0, coded.size() - 2, coded, 0, coded.size() - 2) == 0;
      ++Outcomes[code ? coded.substr(0, coded.size() - 2) + ".." : d.LastResult];
      if (Protocol == dpLargis1 && (d.LevelState & kStateFailed)) ++LevelFailures;
      ++Exchanges;
    }
    WorkerCpu = ThreadCpuSeconds();
    ++Cycles;
  }
  void AddDevice(TDevice* d) override { List.Add(d); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}

  TComPort Port;
  TDeviceList List;
  TDeviceProtocol Protocol = dpLargis1;
  std::mutex Mutex;
  std::map<std::string, long> Outcomes;
  long LevelFailures = 0;
  long Exchanges = 0;
  long Cycles = 0;
  double WorkerCpu = 0;
};

const char* const kFaultNames[] = {"silent", "bad CRC", "error answer", "sensor count",
                                   "short",  "late",    "garbage"};
constexpr int kFaultKinds = 7;

void InjectFault(TVirtualLine& line, int index, int kind, std::mt19937& rng) {
  const int remaining = 1 + static_cast<int>(rng() % 4);
  std::vector<std::uint8_t> garbage(1 + rng() % 40);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(rng());
  const int code = static_cast<int>(rng() % 256);
  line.Modify(index, [&](TSimDevice& d) {
    d.Faults = TSimFaults{};
    d.Faults.Remaining = remaining;
    switch (kind) {
      case 0:
        d.Faults.Silent = true;
        break;
      case 1:
        d.Faults.BadCrc = true;
        break;
      case 2:
        d.Faults.ErrorCode = code;
        break;
      case 3:
        d.Faults.SensorCount = (d.SensorCount() + 1) % (kSimMaxSensors + 1);
        break;
      case 4:
        d.Faults.ShortBy = 1 + code % 4;
        break;
      case 5:
        d.Faults.DelayMs = 300;
        break;
      default:
        d.Faults.Garbage = garbage;
        break;
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 30;
  int devices = 100;
  unsigned seed = 12345;
  TDeviceProtocol protocol = dpLargis1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--minutes" && i + 1 < argc)
      minutes = std::atof(argv[++i]);
    else if (a == "--seconds" && i + 1 < argc)
      minutes = std::atof(argv[++i]) / 60.0;
    else if (a == "--devices" && i + 1 < argc)
      devices = std::atoi(argv[++i]);
    else if (a == "--seed" && i + 1 < argc)
      seed = static_cast<unsigned>(std::atoi(argv[++i]));
    else if (a == "--modbus")
      protocol = dpModbus;
    else {
      std::fprintf(stderr,
                   "usage: soak [--minutes N] [--seconds N] [--devices N] [--modbus] [--seed N]\n");
      return 2;
    }
  }
  if (devices < 1 || devices > 247) devices = 100;

  TVirtualLine line;
  line.SetLogLimit(100);  // the frame log must not be what grows
  TSoakHost host;
  host.Protocol = protocol;
  std::mt19937 rng(seed);
  std::vector<TSettings> settings;
  for (int i = 0; i < devices; ++i) {
    TSimDevice s;
    s.Address = static_cast<std::uint8_t>(i + 1);
    s.PlantNumber = static_cast<std::uint16_t>(2000 + i);
    s.Protocol = protocol;
    s.Temperatures.assign(static_cast<std::size_t>(i % 33), static_cast<std::uint16_t>(0x0100 + i));
    s.LevelCode = static_cast<std::uint16_t>(i);
    s.LevelMetres = i / 10.0;
    line.AddDevice(s);
    auto* d = new TDevice;
    d->SetName("Soak " + std::to_string(i + 1));
    d->SetSystemAddress(s.Address);
    d->SetPlantNumber(s.PlantNumber);
    d->SetSensorCount(s.SensorCount());
    d->SetAveragingCoefficient(3);
    host.List.Add(d);
    settings.push_back(SettingsOf(*d));
  }
  host.Port.Timeouts().SetReadInterval(50);
  host.Port.Timeouts().SetReadTotalMultiplier(2);
  host.Port.Timeouts().SetReadTotalConstant(100);
  host.Port.SetPort(line.SlavePath());
  host.Port.Open();

  const auto wallStart = Clock::now();
  const double cpuStart = ProcessCpuSeconds();
  auto* thread = new TRequestThread(&host);
  thread->SetPeriod(100);
  thread->start();

  // The first cycle settles the allocations that stay; memory is measured
  // from there on.
  while (thread->Cycles() < 1 && Clock::now() - wallStart < 5min) std::this_thread::sleep_for(50ms);
  const long rssStart = RssKiB();
  long rssMax = rssStart;
  std::vector<std::pair<double, long>> samples;
  const auto end = wallStart + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double, std::ratio<60>>(minutes));
  std::vector<long> injected(kFaultKinds, 0);
  auto nextSample = Clock::now();
  while (Clock::now() < end) {
    const int kind = static_cast<int>(rng() % kFaultKinds);
    InjectFault(line, static_cast<int>(rng() % static_cast<unsigned>(devices)), kind, rng);
    ++injected[kind];
    std::this_thread::sleep_for(200ms);
    if (Clock::now() >= nextSample) {
      const long rss = RssKiB();
      rssMax = std::max(rssMax, rss);
      samples.emplace_back(std::chrono::duration<double>(Clock::now() - wallStart).count(), rss);
      nextSample += minutes >= 5 ? 60s : 5s;
    }
  }
  const long rssEnd = RssKiB();
  rssMax = std::max(rssMax, rssEnd);
  thread->Terminate();
  thread->wait(QDeadlineTimer(10000));
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double cpu = ProcessCpuSeconds() - cpuStart;
  delete thread;
  host.Port.Close();

  bool kept = true;
  for (int i = 0; i < devices; ++i) kept = kept && SettingsOf(*host.List[i]) == settings[i];

  std::printf("Soak: %d devices, %s, %.1f min wall, seed %u\n", devices,
              protocol == dpModbus ? "Modbus" : "native", wall / 60, seed);
  std::printf("  %-58s %10ld\n", "cycles done", host.Cycles);
  std::printf("  %-58s %10ld\n", "device outcomes noted (one per device and cycle)",
              host.Exchanges);
  std::printf("  outcomes by LastResult:\n");
  for (const auto& [text, n] : host.Outcomes)
    std::printf("    %s%*s %10ld  (%.3f)\n", text.c_str(), 56 - Utf8Length(text), "", n,
                host.Exchanges ? static_cast<double>(n) / static_cast<double>(host.Exchanges) : 0);
  if (protocol == dpLargis1)
    std::printf("  %-58s %10ld\n", "level reads failed (LevelState bit 15)", host.LevelFailures);
  std::printf("  faults injected:\n");
  for (int k = 0; k < kFaultKinds; ++k)
    std::printf("    %-56s %10ld\n", kFaultNames[k], injected[k]);
  std::printf("  %-58s %10ld\n", "frames seen by the line", static_cast<long>(line.FrameCount()));
  std::printf(
      "  memory (VmRSS, KiB): after first cycle %ld, at end %ld, highest %ld, end/start %.3f\n",
      rssStart, rssEnd, rssMax,
      rssStart > 0 ? static_cast<double>(rssEnd) / static_cast<double>(rssStart) : 0);
  std::printf("  memory samples (s: KiB):");
  for (const auto& [t, kib] : samples) std::printf(" %.0f:%ld", t, kib);
  std::printf("\n");
  std::printf("  CPU / wall: process %.4f (line simulator included), polling thread %.4f\n",
              wall > 0 ? cpu / wall : 0, wall > 0 ? host.WorkerCpu / wall : 0);
  std::printf("  device settings kept: %s\n", kept ? "yes" : "NO");
  return 0;
}
