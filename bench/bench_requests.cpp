// Time of one exchange of each polling request on the virtual line, through
// the real serial port.
//
// 1. With the line paced at 9600 baud: the median time of one Execute of the
//    native level and temperature reads and of the Modbus data read, against
//    the physical floor (request and answer bytes at 11 bits a byte, plus the
//    2 ms pause after the native address byte).
// 2. Without pacing: the Modbus read of 45 input registers by libmodbus
//    (modbus_read_input_registers) against our TModbusDataTransaction on the
//    same simulated device; ratio of the medians.
//
// Prints a table and exits 0 whatever the figures are.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ComPort.h"
#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "VirtualLine.h"

#ifdef LIM07_HAVE_LIBMODBUS
#include <modbus.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaud = 9600;
constexpr int kRepetitions = 15;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Milliseconds on the wire for `bytes` bytes at 11 bits a byte.
double WireMs(int bytes) {
  return bytes * 11 * 1000.0 / kBaud;
}

// Times `run` `count` times; failures are counted, not timed.
std::vector<double> TimeRuns(int count, const std::function<bool()>& run, int& failures) {
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const bool ok = run();
    const double t = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (ok)
      ms.push_back(t);
    else
      ++failures;
  }
  return ms;
}

void OpenPort(TComPort& port, const std::string& path) {
  port.SetPort(path);
  port.SetBaudRate(br9600);
  port.Timeouts().SetReadInterval(50);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Open();
}

TSimDevice SimDevice(std::uint8_t address, TDeviceProtocol protocol, int sensors) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = static_cast<std::uint16_t>(1000 + address);
  d.Protocol = protocol;
  for (int i = 0; i < sensors; ++i)
    d.Temperatures.push_back(static_cast<std::uint16_t>(0x0150 + i));
  d.LevelCode = 0x0400;
  d.LevelMetres = 4.2;
  return d;
}

void Record(TDevice& device, std::uint8_t address, int sensors) {
  device.SetSystemAddress(address);
  device.SetSensorCount(sensors);
}

void PacedTable() {
  TVirtualLine line;
  line.SetPacing(kBaud);
  line.AddDevice(SimDevice(1, dpLargis1, 10));
  line.AddDevice(SimDevice(2, dpLargis1, 32));
  line.AddDevice(SimDevice(3, dpModbus, 10));
  TComPort port;
  OpenPort(port, line.SlavePath());
  TDevice native10, native32, modbus10;
  Record(native10, 1, 10);
  Record(native32, 2, 32);
  Record(modbus10, 3, 10);
  TLevelTransaction level(&port);
  TTemperatureTransaction temperature(&port);
  TModbusDataTransaction data(&port, dpModbus);
  port.Timeouts().SetReadTotalConstant(100);

  // floorMs: the physical floor, all bytes at 11 bits plus the pauses the
  // protocol imposes (2 ms after each native address byte). lineMs: what the
  // paced line itself takes: it starts its answer once the request's bytes
  // would have passed, counted from the first byte (so the native pause falls
  // inside that time), and writes each answer byte at its start time.
  struct Row {
    const char* name;
    std::function<bool()> run;
    double floorMs;
    double lineMs;
  };
  const Row rows[] = {
      {"native level (6 + 10 B)", [&] { return level.Execute(&native10); }, WireMs(6 + 10) + 2,
       WireMs(6 + 10 - 1)},
      {"native temperatures, 10 sensors (6 + 25 B)", [&] { return temperature.Execute(&native10); },
       WireMs(6 + 25) + 2, WireMs(6 + 25 - 1)},
      {"native temperatures, 32 sensors (6 + 69 B)", [&] { return temperature.Execute(&native32); },
       WireMs(6 + 69) + 2, WireMs(6 + 69 - 1)},
      {"native poll: level + temperatures, 10 sensors",
       [&] { return level.Execute(&native10) && temperature.Execute(&native10); },
       WireMs(6 + 10) + 2 + WireMs(6 + 25) + 2, WireMs(6 + 10 - 1) + WireMs(6 + 25 - 1)},
      {"Modbus data read, 45 registers (8 + 95 B)", [&] { return data.Execute(&modbus10); },
       WireMs(8 + 95), WireMs(8 + 95 - 1)},
  };
  std::printf("One exchange on the virtual line paced at %d baud (median of %d)\n", kBaud,
              kRepetitions);
  std::printf("%-46s %9s %9s %7s %9s %9s %5s\n", "request", "median ms", "floor ms", "ratio",
              "line ms", "ours ms", "fails");
  for (const Row& r : rows) {
    int failures = 0;
    r.run();  // warm-up
    const double median = Median(TimeRuns(kRepetitions, r.run, failures));
    std::printf("%-46s %9.2f %9.2f %7.3f %9.2f %9.2f %5d\n", r.name, median, r.floorMs,
                median / r.floorMs, r.lineMs, median - r.lineMs, failures);
  }
  std::printf(
      "ratio = median / floor; line ms = the paced line's own time; ours ms = median - line ms\n");
}

#ifdef LIM07_HAVE_LIBMODBUS
// Reads input registers 0..44 of device 5 with libmodbus; empty on failure.
std::vector<double> LibmodbusRuns(const std::string& path, int count, int& failures) {
  modbus_t* ctx = modbus_new_rtu(path.c_str(), kBaud, 'E', 8, 1);
  if (ctx == nullptr) {
    failures += count;
    return {};
  }
  std::vector<double> ms;
  if (modbus_set_slave(ctx, 5) == 0 && modbus_connect(ctx) == 0) {
    std::uint16_t registers[45];
    auto run = [&] { return modbus_read_input_registers(ctx, 0, 45, registers) == 45; };
    run();  // warm-up
    ms = TimeRuns(count, run, failures);
    modbus_close(ctx);
  } else {
    std::printf("libmodbus: cannot open %s: %s\n", path.c_str(), modbus_strerror(errno));
    failures += count;
  }
  modbus_free(ctx);
  return ms;
}
#endif

void PeerTable() {
#ifdef LIM07_HAVE_LIBMODBUS
  TVirtualLine line;  // not paced
  line.AddDevice(SimDevice(5, dpModbus, 10));
  TDevice device;
  Record(device, 5, 10);
  std::vector<double> peer, ours;
  int peerFailures = 0, ourFailures = 0;
  // Alternate rounds, each side with the port to itself.
  for (int round = 0; round < 3; ++round) {
    const auto p = LibmodbusRuns(line.SlavePath(), kRepetitions, peerFailures);
    peer.insert(peer.end(), p.begin(), p.end());
    TComPort port;
    OpenPort(port, line.SlavePath());
    TModbusDataTransaction data(&port, dpModbus);
    data.Execute(&device);  // warm-up
    const auto o = TimeRuns(
        kRepetitions, [&] { return data.Execute(&device); }, ourFailures);
    ours.insert(ours.end(), o.begin(), o.end());
  }
  const double peerMedian = Median(peer), ourMedian = Median(ours);
  std::printf("\nRead of 45 input registers on the unpaced virtual line (median of %zu / %zu)\n",
              ours.size(), peer.size());
  std::printf("%-48s %10s %6s\n", "master", "median ms", "fails");
  std::printf("%-48s %10.3f %6d\n", "TModbusDataTransaction::Execute", ourMedian, ourFailures);
  std::printf("%-48s %10.3f %6d\n", "libmodbus modbus_read_input_registers", peerMedian,
              peerFailures);
  if (peerMedian > 0)
    std::printf("%-48s %10.3f\n", "ratio ours / libmodbus", ourMedian / peerMedian);
#else
  std::printf("\nlibmodbus not found at build time: peer comparison skipped\n");
#endif
}

}  // namespace

int main() {
  try {
    PacedTable();
    PeerTable();
  } catch (const std::exception& e) {
    std::printf("benchmark stopped: %s\n", e.what());
  }
  return 0;
}
