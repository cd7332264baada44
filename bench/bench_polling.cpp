// Polling on the virtual line, through the real port:
//  1. cycle time for 1, 10 and 100 devices with the line paced at 9600 baud,
//     both protocols, as a ratio to the floor (the bytes of every request and
//     answer at 11 bits a byte, the 2 ms address pause of each native frame and
//     the 50 ms after each device);
//  2. CPU time of the polling thread and of the whole process while the thread
//     waits for its next cycle and while it polls, as a fraction of wall time.
// Prints its tables and exits 0. "--quick" leaves out the 100-device line.
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <QDeadlineTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "OperationHost.h"
#include "RequestThread.h"
#include "VirtualLine.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBaud = 9600;
constexpr int kSensors = 32;

class TBenchHost : public IOperationHost {
 public:
  TComPort& ComPort() override { return Port; }
  TDeviceList& Devices() override { return List; }
  TDeviceProtocol CurrentProtocol() const override { return Protocol; }
  void RefreshDataGrid() override {
    std::lock_guard lock(Mutex);
    if (!HaveWorker) {
      Worker = pthread_self();
      HaveWorker = true;
    }
    Refreshes.push_back(Clock::now());
    Changed.notify_all();
  }
  void AddDevice(TDevice* d) override { List.Add(d); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}

  bool WaitRefreshes(std::size_t n, std::chrono::seconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [&] { return Refreshes.size() >= n; });
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard lock(Mutex);
    return Refreshes;
  }
  double WorkerCpuSeconds() {
    std::lock_guard lock(Mutex);
    clockid_t id;
    timespec ts{};
    if (!HaveWorker || pthread_getcpuclockid(Worker, &id) != 0 || clock_gettime(id, &ts) != 0)
      return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }

  TComPort Port;
  TDeviceList List;
  TDeviceProtocol Protocol = dpLargis1;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<Clock::time_point> Refreshes;
  pthread_t Worker{};
  bool HaveWorker = false;
};

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A line of `count` devices with 32 sensors each, and their records.
void Populate(TVirtualLine& line, TBenchHost& host, int count, TDeviceProtocol protocol) {
  for (int i = 0; i < count; ++i) {
    TSimDevice d;
    d.Address = static_cast<std::uint8_t>(i + 1);
    d.PlantNumber = static_cast<std::uint16_t>(2000 + i);
    d.Protocol = protocol;
    d.Temperatures.assign(kSensors, 0x0191);
    d.LevelCode = 1234;
    d.LevelMetres = 5.5;
    line.AddDevice(d);
    auto* r = new TDevice;
    r->SetSystemAddress(d.Address);
    r->SetPlantNumber(d.PlantNumber);
    r->SetSensorCount(kSensors);
    host.List.Add(r);
  }
  host.Protocol = protocol;
  host.Port.Timeouts().SetReadInterval(50);
  host.Port.Timeouts().SetReadTotalMultiplier(2);
  host.Port.Timeouts().SetReadTotalConstant(100);
  host.Port.SetPort(line.SlavePath());
  host.Port.Open();
}

// The floor of one cycle in seconds.
double FloorSeconds(int devices, TDeviceProtocol protocol) {
  const double byteTime = 11.0 / kBaud;
  double perDevice = 0.050;
  if (protocol == dpLargis1)
    perDevice += (6 + 10 + 6 + (5 + 2 * kSensors)) * byteTime + 2 * 0.002;
  else
    perDevice += (8 + 95) * byteTime;
  return devices * perDevice;
}

struct TCycleResult {
  double Median = 0, Floor = 0;
  int Cycles = 0;
  int Failures = 0;
};

TCycleResult MeasureCycles(int devices, TDeviceProtocol protocol, int cycles) {
  TVirtualLine line;
  line.SetPacing(kBaud);
  TBenchHost host;
  Populate(line, host, devices, protocol);
  TRequestThread thread(&host);
  thread.SetPeriod(100);
  thread.start();
  host.WaitRefreshes(static_cast<std::size_t>(cycles), std::chrono::seconds(60 * cycles));
  thread.Terminate();
  thread.wait();

  // A cycle runs from the first byte of its first request to its refresh.
  const auto refreshes = host.Times();
  const auto frames = line.Frames();
  std::vector<double> durations;
  Clock::time_point previous{};
  for (const auto& end : refreshes) {
    auto first = std::find_if(frames.begin(), frames.end(),
                              [&](const TSimFrame& f) { return f.Time > previous; });
    if (first != frames.end() && first->Time < end) durations.push_back(Seconds(end - first->Time));
    previous = end;
  }
  TCycleResult r;
  r.Floor = FloorSeconds(devices, protocol);
  r.Cycles = static_cast<int>(durations.size());
  for (const auto& f : frames)
    if (f.DeviceIndex < 0) ++r.Failures;
  if (!durations.empty()) {
    std::sort(durations.begin(), durations.end());
    r.Median = durations[durations.size() / 2];
  }
  return r;
}

struct TCpuResult {
  double Wall = 0, Worker = 0, Process = 0;
};

// CPU over `wall` once the thread has finished its first cycle; with a huge
// period it only waits, with the minimum it polls back to back.
TCpuResult MeasureCpu(int devices, std::uint32_t period, std::chrono::seconds wall) {
  TVirtualLine line;
  TBenchHost host;
  Populate(line, host, devices, dpLargis1);
  TRequestThread thread(&host);
  thread.SetPeriod(period);
  thread.start();
  host.WaitRefreshes(1, 30s);
  const double worker0 = host.WorkerCpuSeconds(), process0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(wall);
  TCpuResult r;
  r.Wall = Seconds(Clock::now() - t0);
  r.Worker = host.WorkerCpuSeconds() - worker0;
  r.Process = ProcessCpuSeconds() - process0;
  thread.Terminate();
  thread.wait();
  return r;
}

// Reference: a thread that spins for the same wall time.
double SpinCpuFraction(std::chrono::milliseconds wall) {
  std::atomic<bool> stop{false};
  double cpu = 0;
  std::thread t([&] {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    while (!stop.load()) {
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    cpu = static_cast<double>(b.tv_sec - a.tv_sec) +
          static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
  });
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(wall);
  stop = true;
  t.join();
  return cpu / Seconds(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;

  std::printf("Polling cycle at %d baud, %d sensors a device (median of the cycles)\n", kBaud,
              kSensors);
  std::printf("%-9s %8s %7s %10s %10s %8s %9s\n", "protocol", "devices", "cycles", "cycle s",
              "floor s", "ratio", "failures");
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    for (int devices : {1, 10, 100}) {
      if (quick && devices == 100) continue;
      const int cycles = devices == 100 ? 2 : 5;
      const TCycleResult r = MeasureCycles(devices, protocol, cycles);
      std::printf("%-9s %8d %7d %10.3f %10.3f %8.3f %9d\n",
                  protocol == dpLargis1 ? "Largis-1" : "Modbus", devices, r.Cycles, r.Median,
                  r.Floor, r.Floor > 0 ? r.Median / r.Floor : 0.0, r.Failures);
    }
  }

  const auto wall = quick ? 3s : 10s;
  std::printf("\nCPU time as a fraction of wall time (%lld s each)\n",
              static_cast<long long>(wall.count()));
  std::printf("%-44s %10s %10s\n", "situation", "thread", "process");
  const TCpuResult idle = MeasureCpu(5, 1000000, wall);
  std::printf("%-44s %10.5f %10.5f\n", "idle wait between cycles (5 devices)",
              idle.Worker / idle.Wall, idle.Process / idle.Wall);
  const TCpuResult busy = MeasureCpu(10, 100, wall);
  std::printf("%-44s %10.5f %10.5f\n", "polling 10 devices back to back (unpaced)",
              busy.Worker / busy.Wall, busy.Process / busy.Wall);
  std::printf("%-44s %10.5f %10s\n", "reference: a spinning thread",
              SpinCpuFraction(std::chrono::milliseconds(1000)), "-");
  return 0;
}
