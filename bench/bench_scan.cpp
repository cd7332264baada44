// Address scan of a whole line, 1..254, with five devices at addresses 1..5, on
// the virtual line paced at 9600 baud, natively and in Modbus, the ordinary
// scan and the fast one. Every answer leaves after a turn-around drawn evenly
// from 0 ms up to the fast probe's answer-delay allowance (a new seed each
// run), so the fast scan meets every delay it claims to take.
//
// Times are given against the wire-and-pause floor of the fast scan: what it
// would take if every time-out were zero. Every address costs its probe
// request on the wire (11 bits a byte; natively also the 2 ms pause after the
// address byte) and the 50 ms pause; a found device adds the probe's answer
// and its two follow-up reads (sensor count, unmeasurable level) on the wire.
// "missed" counts devices a run did not find, over all runs; "expected" is
// what the time-outs alone make of the line (see ExpectedSeconds).
//
// Usage: bench_scan [--end A] [--reps N] [--normal-reps N] [--max-delay MS]
//   --end A          last address (default 254)
//   --reps N         fast runs per protocol (default 20)
//   --normal-reps N  ordinary runs per protocol (default 1: about 1 min 45 s
//                    natively and 8 min in Modbus each)
//   --max-delay MS   longest turn-around (default the probe's allowance)
// Prints a table and exits 0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FastProbe.h"
#include "SearchThreads.h"
#include "VirtualLine.h"

namespace {

constexpr int kBaud = 9600;
constexpr double kByteMs = 11.0 * 1000.0 / kBaud;
constexpr int kPauseMs = 50;
constexpr int kDevices = 5;  // at addresses 1..5

class TBenchHost : public IOperationHost {
 public:
  explicit TBenchHost(const std::string& path, TDeviceProtocol protocol) : FProtocol(protocol) {
    FPort.SetPort(path);
    // The main window's read limits.
    FPort.Timeouts().SetReadInterval(50);
    FPort.Timeouts().SetReadTotalMultiplier(2);
    FPort.Open();
  }
  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return FProtocol; }
  void RefreshDataGrid() override {}
  void AddDevice(TDevice* device) override { Found.Add(device); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}
  TDeviceList Found;

 private:
  TComPort FPort;
  TDeviceList FDevices;
  TDeviceProtocol FProtocol;
};

// Request and answer bytes of an exchange.
struct TWire {
  int Request, Answer;
};

double FloorSeconds(TDeviceProtocol protocol, int end) {
  const bool native = protocol == dpLargis1;
  const double addressPauseMs = native ? 2.0 : 0.0;
  const TWire probe = native ? TWire{5, 10} : TWire{7, 63};
  const std::vector<TWire> followUps =
      native ? std::vector<TWire>{{6, 6}, {8, 13}} : std::vector<TWire>{{8, 7}, {8, 9}};
  double ms = end * (probe.Request * kByteMs + addressPauseMs + kPauseMs);
  for (int d = 0; d < std::min(kDevices, end); ++d) {
    ms += probe.Answer * kByteMs;
    for (const TWire& w : followUps) ms += (w.Request + w.Answer) * kByteMs + addressPauseMs;
  }
  return ms / 1000.0;
}

// What the time-outs make of it: an ordinary silent address costs three
// identification time-outs (read constant 100 ms + 2 ms per requested byte),
// a fast one the probe's first-byte limit; a found device its exchanges on
// the wire, the 50 ms of quiet that end a read asking more than comes, and
// the pause.
double ExpectedSeconds(TDeviceProtocol protocol, bool fast, int end) {
  const bool native = protocol == dpLargis1;
  const double addressPauseMs = native ? 2.0 : 0.0;
  const int probeRequest = native ? 5 : 7;
  const double silentMs =
      fast ? addressPauseMs + FastReadLimits(probeRequest, native ? 10 : 63, kBaud).FirstByteMs +
                 kPauseMs
           : 3 * (100 + 2 * (native ? 10 : 255)) + kPauseMs;
  // Request, requested and answer bytes.
  struct TExchange {
    int Request, Requested, Answer;
  };
  const std::vector<TExchange> found =
      native ? std::vector<TExchange>{{5, 10, 10}, {6, 9, 6}, {8, 13, 13}}
             : std::vector<TExchange>{{7, fast ? 63 : 255, 63}, {8, 7, 7}, {8, 9, 9}};
  double foundMs = kPauseMs;
  for (const TExchange& e : found)
    foundMs +=
        (e.Request + e.Answer) * kByteMs + addressPauseMs + (e.Answer < e.Requested ? 50.0 : 0.0);
  const int present = std::min(kDevices, end);
  return ((end - present) * silentMs + present * foundMs) / 1000.0;
}

struct TRun {
  double Seconds = 0;
  int Missed = 0;
};

TRun RunOnce(TDeviceProtocol protocol, bool fast, int end, int maxDelayMs, unsigned seed) {
  TVirtualLine line;
  line.SetPacing(kBaud);
  line.SetAnswerDelay(0, maxDelayMs, seed);
  for (int a = 1; a <= kDevices; ++a) {
    TSimDevice d;
    d.Address = static_cast<std::uint8_t>(a);
    d.PlantNumber = static_cast<std::uint16_t>(1200 + a);
    d.Protocol = protocol;
    d.Temperatures.assign(8, 0x0190);
    line.AddDevice(d);
  }
  TBenchHost host(line.SlavePath(), protocol);
  TScanOptions options;
  options.EndAddress = end;
  options.Fast = fast;
  TSearchThread thread(&host, 1, options);
  const auto start = std::chrono::steady_clock::now();
  thread.start();
  thread.wait();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  TRun run;
  run.Seconds = elapsed.count();
  for (int a = 1; a <= std::min(kDevices, end); ++a) {
    bool found = false;
    for (int i = 0; i < host.Found.Count(); ++i)
      found = found ||
              (host.Found[i]->SystemAddress() == a && host.Found[i]->PlantNumber() == 1200 + a);
    if (!found) ++run.Missed;
  }
  return run;
}

int IntOption(int argc, char** argv, const char* name, int fallback, int low, int high) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::clamp(std::atoi(argv[i + 1]), low, high);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int end = IntOption(argc, argv, "--end", 254, 1, 254);
  const int fastReps = IntOption(argc, argv, "--reps", 20, 1, 1000);
  const int normalReps = IntOption(argc, argv, "--normal-reps", 1, 0, 100);
  const int maxDelay = IntOption(argc, argv, "--max-delay", kFastAnswerDelayMs, 0, 1000);
  std::printf(
      "Address scan 1..%d, %d devices at 1..%d, paced at %d baud, turn-around 0..%d ms per "
      "answer\n",
      end, kDevices, std::min(kDevices, end), kBaud, maxDelay);
  std::printf("%-8s %-7s %5s %7s %9s %9s %11s %9s %8s\n", "protocol", "scan", "runs", "missed",
              "median s", "worst s", "expected s", "floor s", "ratio");
  unsigned seed = 1;
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    const double floor = FloorSeconds(protocol, end);
    for (bool fast : {false, true}) {
      const int reps = fast ? fastReps : normalReps;
      if (reps == 0) continue;
      std::vector<double> times;
      int missed = 0;
      for (int i = 0; i < reps; ++i) {
        const TRun run = RunOnce(protocol, fast, end, maxDelay, seed++);
        times.push_back(run.Seconds);
        missed += run.Missed;
      }
      std::sort(times.begin(), times.end());
      const double median = times[times.size() / 2];
      std::printf("%-8s %-7s %5d %7d %9.2f %9.2f %11.2f %9.2f %8.2f\n",
                  protocol == dpLargis1 ? "native" : "Modbus", fast ? "fast" : "normal", reps,
                  missed, median, times.back(), ExpectedSeconds(protocol, fast, end), floor,
                  median / floor);
      std::fflush(stdout);
    }
  }
  return 0;
}
