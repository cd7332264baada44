// Address scan of 200..254 with five devices present, on the virtual line paced
// at 9600 baud, natively and in Modbus, against the time the scan is meant to
// take: every silent address costs its three identification time-outs
// (read constant + 2 ms per requested byte) and the 50 ms pause; every found
// device costs its three exchanges on the wire (11 bits a byte, native frames
// with the 2 ms pause after the address byte), the 50 ms of quiet that end a
// read when the answer is shorter than the bytes requested, and the pause.
//
// Usage: bench_scan [repetitions]   (default 3; the Modbus run alone takes
// about 1.5 min a repetition). Prints a table and exits 0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "SearchThreads.h"
#include "VirtualLine.h"

namespace {

constexpr int kBaud = 9600;
constexpr double kByteMs = 11.0 * 1000.0 / kBaud;
constexpr int kFirst = 200;
const std::uint8_t kPresent[] = {200, 213, 227, 240, 254};

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

// Request, requested and answer lengths of the three exchanges with a found
// device.
struct TExchange {
  int Request, Requested, Answer;
};

double ComputedSeconds(TDeviceProtocol protocol) {
  const int silent = (254 - kFirst + 1) - static_cast<int>(std::size(kPresent));
  const bool native = protocol == dpLargis1;
  // Identification: 3 tries of read constant 100 ms + 2 ms per requested byte.
  const double silentMs = 3 * (100 + 2 * (native ? 10 : 255)) + 50;
  const std::vector<TExchange> found =
      native ? std::vector<TExchange>{{5, 10, 10}, {6, 9, 6}, {8, 13, 13}}
             : std::vector<TExchange>{{7, 255, 63}, {8, 7, 7}, {8, 9, 9}};
  double foundMs = 50;
  for (const TExchange& e : found)
    foundMs += (e.Request + e.Answer) * kByteMs + (native ? 2.0 : 0.0) +
               (e.Answer < e.Requested ? 50.0 : 0.0);
  return (silent * silentMs + std::size(kPresent) * foundMs) / 1000.0;
}

double RunOnce(TDeviceProtocol protocol, int& found) {
  TVirtualLine line;
  line.SetPacing(kBaud);
  for (std::uint8_t a : kPresent) {
    TSimDevice d;
    d.Address = a;
    d.PlantNumber = static_cast<std::uint16_t>(1000 + a);
    d.Protocol = protocol;
    d.Temperatures.assign(8, 0x0190);
    line.AddDevice(d);
  }
  TBenchHost host(line.SlavePath(), protocol);
  TSearchThread thread(&host, kFirst);
  const auto start = std::chrono::steady_clock::now();
  thread.start();
  thread.wait();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  found = host.Found.Count();
  return elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::printf("Address scan 200..254, 5 devices, paced at %d baud; median of %d\n", kBaud,
              repetitions);
  std::printf("%-10s %8s %12s %12s %8s\n", "protocol", "found", "measured s", "computed s",
              "ratio");
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    std::vector<double> times;
    int found = 0;
    for (int i = 0; i < repetitions; ++i) times.push_back(RunOnce(protocol, found));
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double computed = ComputedSeconds(protocol);
    std::printf("%-10s %8d %12.3f %12.3f %8.4f\n", protocol == dpLargis1 ? "native" : "Modbus",
                found, median, computed, median / computed);
    std::fflush(stdout);
  }
  return 0;
}
