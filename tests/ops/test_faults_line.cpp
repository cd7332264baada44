// Faults on the line while the workers run, on the virtual line through the
// real port: devices that fall silent, answer garbage or flood the line, and
// the adapter pulled out while the port is open (the pty's other side closed).
// Each worker must end or carry on as it should, leave no device record half
// written, and the port must open again on the same path once the line is back.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "BatchThreads.h"
#include "NativeRequests.h"
#include "RequestThread.h"
#include "SearchThreads.h"
#include "Transaction.h"
#include "UploadTestFiles.h"
#include "UploadTestHost.h"
#include "UploadThreads.h"
#include "VirtualLine.h"
#include "test_scan_host.h"

namespace {

using namespace std::chrono_literals;

// The result texts a failed exchange may leave.
bool IsResultText(const std::string& text) {
  static const std::set<std::string> texts = [] {
    std::set<std::string> s;
    for (int i = 0; i < 7; ++i)
      if (i != rtProtocolError) s.insert(kResultTexts[i]);
    for (int code = 0; code < 256; ++code)
      s.insert(ProtocolErrorText(static_cast<std::uint8_t>(code)));
    s.insert(UnknownProtocolErrorText());
    return s;
  }();
  return texts.count(text) == 1;
}

// A path that stays put while the pty behind it changes, as a udev name of a
// USB adapter does.
struct TLinkedLine {
  TTempDir Dir;
  TVirtualLine Line;
  std::string Link = Dir.Path("ttyUSB-lim07");
  TLinkedLine() { Line.AddLink(Link); }
};

// A host for the polling thread: the port opened on a path, the list, the
// protocol, refreshes counted.
class TFaultHost : public IOperationHost {
 public:
  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return Protocol; }
  void RefreshDataGrid() override {
    std::lock_guard lock(FMutex);
    ++FRefreshes;
    FChanged.notify_all();
  }
  void AddDevice(TDevice* d) override { FDevices.Add(d); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}

  void Open(const std::string& path) {
    FPort.Timeouts().SetReadInterval(50);
    FPort.Timeouts().SetReadTotalMultiplier(2);
    FPort.Timeouts().SetReadTotalConstant(100);
    FPort.SetPort(path);
    FPort.Open();
  }
  TDevice* Record(const TSimDevice& s) {
    auto* d = new TDevice;
    d->SetName("D" + std::to_string(s.Address));
    d->SetSystemAddress(s.Address);
    d->SetPlantNumber(s.PlantNumber);
    d->SetSensorCount(s.SensorCount());
    FDevices.Add(d);
    return d;
  }
  int Refreshes() {
    std::lock_guard lock(FMutex);
    return FRefreshes;
  }
  bool WaitRefreshes(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] { return FRefreshes >= n; });
  }

  TDeviceProtocol Protocol = dpLargis1;

 private:
  TComPort FPort;
  TDeviceList FDevices;
  std::mutex FMutex;
  std::condition_variable FChanged;
  int FRefreshes = 0;
};

TSimDevice Native(std::uint8_t address, std::vector<std::uint16_t> temperatures) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = static_cast<std::uint16_t>(500 + address);
  d.Temperatures = std::move(temperatures);
  d.LevelCode = 0x0123;
  d.LevelMetres = 2.5;
  return d;
}

// The persistent settings of a record, byte for byte.
std::vector<std::uint8_t> Settings(const TDevice& d) {
  std::vector<std::uint8_t> r(kDeviceRecordSize);
  d.WriteRecord(r.data());
  return r;
}

// Starts a polling thread; the caller stops it (or it ends by itself).
std::unique_ptr<TRequestThread> StartPolling(TFaultHost& host) {
  auto t = std::make_unique<TRequestThread>(&host);
  t->SetPeriod(100);
  t->start();
  return t;
}

}  // namespace

TEST(LineFaults, PulledAdapterFailsThePortAndItOpensAgainOnTheSamePath) {
  TLinkedLine l;
  l.Line.AddDevice(Native(5, {0x0190}));
  TFaultHost host;
  TDevice* d = host.Record(Native(5, {0x0190}));
  host.Open(l.Link);
  TReadIdentificationTransaction id(&host.ComPort());
  ASSERT_TRUE(id.Execute(d)) << d->LastResult;

  l.Line.Unplug();
  d->LastResult = "before";
  // The loss is a port error, not a quiet "no answer" that would be retried
  // forever.
  EXPECT_THROW(id.Execute(d), EComPort);
  EXPECT_EQ(d->SystemAddress(), 5);
  EXPECT_NO_THROW(host.ComPort().Close());
  EXPECT_FALSE(host.ComPort().Connected());
  // Gone from the system: opening fails with a port error, nothing hangs.
  EXPECT_THROW(host.ComPort().Open(), EComPort);
  EXPECT_FALSE(host.ComPort().Connected());

  l.Line.Replug();
  ASSERT_NO_THROW(host.ComPort().Open());
  EXPECT_TRUE(id.Execute(d)) << d->LastResult;
  EXPECT_EQ(id.PlantNumber(), 505);
}

TEST(LineFaults, PollingEndsWhenTheLineIsPulledAndPollsAgainAfterReopening) {
  TLinkedLine l;
  TFaultHost host;
  std::vector<std::vector<std::uint8_t>> before;
  for (std::uint8_t a = 1; a <= 3; ++a) {
    l.Line.AddDevice(Native(a, {0x0190, static_cast<std::uint16_t>(a)}));
    before.push_back(Settings(*host.Record(Native(a, {0, 0}))));
  }
  host.Open(l.Link);
  auto polling = StartPolling(host);
  ASSERT_TRUE(host.WaitRefreshes(1, 10s));

  l.Line.Unplug();
  // The worker meets the port error and ends by itself, without a stop request.
  ASSERT_TRUE(polling->wait(QDeadlineTimer(5000)));
  EXPECT_FALSE(polling->Terminated());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Settings(*host.Devices()[i]), before[i]) << i;

  host.ComPort().Close();
  l.Line.Replug();
  host.ComPort().Open();
  const int refreshes = host.Refreshes();
  polling = StartPolling(host);
  ASSERT_TRUE(host.WaitRefreshes(refreshes + 2, 10s));
  polling->Terminate();
  ASSERT_TRUE(polling->wait(QDeadlineTimer(5000)));
  for (int i = 0; i < 3; ++i) {
    const TDevice& d = *host.Devices()[i];
    EXPECT_EQ(d.LastResult, kResultTexts[rtSuccess]) << i;
    EXPECT_EQ(d.TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0190, std::uint16_t(i + 1)}));
    EXPECT_EQ(d.Level, 25);
    EXPECT_EQ(Settings(d), before[i]) << i;
  }
}

TEST(LineFaults, PollingRidesOutSilenceGarbageAndAFloodedLine) {
  TVirtualLine line;
  TFaultHost host;
  const std::uint16_t good[] = {0x0190, 0xFFCC};
  line.AddDevice(Native(1, {good[0], good[1]}));
  TSimDevice garbage = Native(2, {0x0100});
  garbage.Faults.Garbage = {0x02, 0x01, 0x03, 0xFF, 0x00, 0x55, 0xAA, 0x13};
  line.AddDevice(garbage);
  TSimDevice silent = Native(3, {0x0100, 0x0200});
  silent.Faults.Silent = true;
  line.AddDevice(silent);
  std::vector<std::vector<std::uint8_t>> before;
  for (const TSimDevice& s : line.Devices()) before.push_back(Settings(*host.Record(s)));
  host.Open(line.SlavePath());
  auto polling = StartPolling(host);
  ASSERT_TRUE(host.WaitRefreshes(2, 10s));

  // A babbling device floods the line: 64 bytes every 2 ms, far more than
  // any answer. Cycles must go on all the same.
  line.SetNoise(std::vector<std::uint8_t>(64, 0x5A), 2);
  const int atFlood = host.Refreshes();
  EXPECT_TRUE(host.WaitRefreshes(atFlood + 2, 20s)) << "polling stalled under a flood";
  line.SetNoise({}, 0);
  const int afterFlood = host.Refreshes();
  ASSERT_TRUE(host.WaitRefreshes(afterFlood + 2, 10s));
  polling->Terminate();
  ASSERT_TRUE(polling->wait(QDeadlineTimer(5000)));

  const TDevice& ok = *host.Devices()[0];
  EXPECT_EQ(ok.LastResult, kResultTexts[rtSuccess]);
  EXPECT_EQ(ok.TemperaturesSnapshot(), (std::vector<std::uint16_t>{good[0], good[1]}));
  for (int i = 1; i < 3; ++i) {
    const TDevice& d = *host.Devices()[i];
    EXPECT_TRUE(IsResultText(d.LastResult)) << d.LastResult;
    EXPECT_NE(d.LastResult, kResultTexts[rtSuccess]);
    EXPECT_EQ(d.LevelState & kStateFailed, kStateFailed);
    for (std::uint16_t w : d.TemperaturesSnapshot()) EXPECT_EQ(w, kNoDataTemperature);
  }
  EXPECT_EQ(host.Devices()[2]->LastResult, kResultTexts[rtNoLink]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Settings(*host.Devices()[i]), before[i]) << i;
}

TEST(LineFaults, ScanSkipsGarbageAndEndsWhenTheLineIsPulled) {
  TVirtualLine line;
  line.AddDevice(SimDevice(1, 601));
  TSimDevice garbage = SimDevice(2, 602);
  garbage.Faults.Garbage = {0x02, 0x20, 0x07, 0x06, 0x02, 0x5A, 0x01, 0x01, 0x00, 0x00};
  line.AddDevice(garbage);
  line.AddDevice(SimDevice(3, 603));
  TScanTestHost host(line);
  // Pulled once address 4 is done (one progress report per address): the
  // scan must end then, not walk on to 254 against a dead port.
  int reports = 0;
  host.OnPercent = [&](int) {
    if (++reports == 4) line.Unplug();
  };
  TSearchThread thread(&host, 1);
  const auto start = std::chrono::steady_clock::now();
  const bool ended = host.Run(thread, 20000);
  ASSERT_TRUE(ended);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  ASSERT_EQ(host.Found.Count(), 2);
  EXPECT_EQ(host.Found[0]->PlantNumber(), 601);
  EXPECT_EQ(host.Found[0]->SystemAddress(), 1);
  EXPECT_EQ(host.Found[1]->PlantNumber(), 603);
  EXPECT_EQ(host.Found[1]->SystemAddress(), 3);
}

TEST(LineFaults, BatchReadStoresEachDeviceWholeOrNotAtAllWhenTheLineIsPulled) {
  TVirtualLine line;
  TScanTestHost host(line);
  for (std::uint8_t a = 1; a <= 4; ++a) {
    line.AddDevice(SimDevice(a, static_cast<std::uint16_t>(700 + a)));
    TDevice* d = host.List(static_cast<std::uint16_t>(700 + a), a);
    d->SetSensorCount(1);
    d->UnmeasurableLevel = 9;
  }
  // Pulled as the second device's unmeasurable level is asked, after its
  // identification and sensor count have been answered: the port's wire log
  // runs on the worker right after each write.
  int memoryReads = 0;
  host.ComPort().SetWireLog([&](char direction, const std::uint8_t* bytes, int count) {
    if (direction == 'T' && count > 1 && bytes[0] == kCmdReadMemory && ++memoryReads == 2)
      line.Unplug();
  });
  TConfigRefreshThread thread(&host);
  const bool ended = host.Run(thread, 30000);
  ASSERT_TRUE(ended);
  // The final report that closes the progress window came all the same.
  ASSERT_FALSE(host.DeviceReports.empty());
  EXPECT_EQ(host.DeviceReports.back(), (TDeviceReport{0, 0}));

  const std::vector<TSimDevice> sims = line.Devices();
  for (int i = 0; i < 4; ++i) {
    const TDevice& d = *host.Devices()[i];
    // The first device was read whole before the line went; the second had
    // its sensor count read but not its level, and keeps its old record.
    const bool done = i == 0;
    EXPECT_EQ(d.SensorCount(), done ? sims[i].SensorCount() : 1) << i;
    EXPECT_EQ(d.UnmeasurableLevel, done ? sims[i].UnmeasurableLevel : 9) << i;
    EXPECT_EQ(d.LastResult, done ? kResultTexts[rtSuccess] : "Не определен") << i;
  }
}

TEST(LineFaults, UploadEndsWhenTheLineIsPulledAndTheImageGoesAfterReopening) {
  EnsureQtApp();
  TLinkedLine l;
  TSimDevice sim;
  sim.Address = 4;
  sim.PlantNumber = 404;
  sim.Protocol = dpModbus;
  sim.Firmware = {1, 2, 3};
  const int index = l.Line.AddDevice(sim);
  const std::vector<std::uint8_t> data = PatternBytes(40 * 128);
  const std::string file = l.Dir.Write("fw.bin2", data);
  TUploadTestHost host(l.Link);
  host.AddModbusDevice(4, 404);

  l.Line.BeginUpload(index);
  auto* thread = new TSoftwareUploadThread(file, &host);
  std::atomic<bool> pulled{false};
  host.OnPercent = [&](int percent) {
    if (percent >= 20 && !pulled.exchange(true)) l.Line.Unplug();
  };
  // Ends by the port error, long before the 5 s reads of a silent device
  // would add up.
  const long long ms = RunUploadThread(thread, 20000);
  ASSERT_GE(ms, 0);
  EXPECT_TRUE(pulled.load());
  EXPECT_LT(ms, 15000);
  EXPECT_EQ(l.Line.Device(index).FirmwareUploads, 0);
  EXPECT_EQ(l.Line.Device(index).Firmware, (std::vector<std::uint8_t>{1, 2, 3}));

  host.ComPort().Close();
  l.Line.Replug();
  host.ComPort().Open();
  l.Line.BeginUpload(index);
  thread = new TSoftwareUploadThread(file, &host);
  host.OnPercent = [thread](int percent) {
    if (percent >= 100) thread->Terminate();
  };
  ASSERT_GE(RunUploadThread(thread, 60000), 0);
  EXPECT_EQ(l.Line.Device(index).FirmwareUploads, 1);
  EXPECT_EQ(l.Line.Device(index).Firmware, data);
}

TEST(LineFaults, UploadUnderLineNoiseNeverStoresAWrongImage) {
  EnsureQtApp();
  TVirtualLine line;
  TSimDevice sim;
  sim.Address = 4;
  sim.PlantNumber = 404;
  sim.Protocol = dpModbus;
  sim.Firmware = {9, 9, 9};
  const int index = line.AddDevice(sim);
  const std::vector<std::uint8_t> data = PatternBytes(12 * 128);
  TTempDir dir;
  const std::string file = dir.Write("fw.bin2", data);
  TUploadTestHost host(line.SlavePath());
  host.AddModbusDevice(4, 404);
  line.BeginUpload(index);
  auto* thread = new TSoftwareUploadThread(file, &host);
  // Noise from the first block on (a first byte other than "C" would end a
  // single-device upload at once, by design), at most every 10 ms and ahead
  // of the receiver's reply: the sender reads noise as the reply, and stale
  // replies may put it out of step with the receiver. Whatever happens, the
  // device keeps either its old image or the exact new one, and "Стоп" ends
  // the thread.
  host.OnPercent = [thread, &line, noisy = false](int percent) mutable {
    if (!noisy) line.SetNoise({0x00, 0xFF, 0x15}, 10, true);
    noisy = true;
    if (percent >= 100) thread->Terminate();
  };
  std::atomic<int> noiseReplies{0};
  host.ComPort().SetWireLog([&](char direction, const std::uint8_t* bytes, int count) {
    if (direction == 'R' && count == 1 && (bytes[0] == 0x00 || bytes[0] == 0xFF)) ++noiseReplies;
  });
  ASSERT_GE(RunUploadThread(thread, 20000, 4000), 0) << "the thread did not stop";
  line.SetNoise({}, 0);
  EXPECT_GT(noiseReplies.load(), 0) << "the noise never reached the sender";
  const TSimDevice after = line.Device(index);
  if (after.FirmwareUploads == 0)
    EXPECT_EQ(after.Firmware, (std::vector<std::uint8_t>{9, 9, 9}));
  else
    EXPECT_EQ(after.Firmware, data);
  EXPECT_LE(after.FirmwareUploads, 1);
}
