// The polling thread against the virtual line, through the real port: what it
// sends at each device in each protocol, the period, the stop request, the
// wrapping tick counter and the data it leaves in the device records.
#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <memory>
#include <string>
#include <thread>

#include "PollingTestHost.h"
#include "LineSnapshot.h"
#include "RequestThread.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class TKind { Level, Temperature, ModbusData, Other };

TKind KindOf(const TSimFrame& f) {
  const auto& b = f.Bytes;
  if (b.size() == 6 && b[1] == 0x01 && b[2] == 0x02 && b[3] == 0x01) return TKind::Level;
  if (b.size() == 6 && b[1] == 0x01 && b[2] == 0x02 && b[3] == 0x02) return TKind::Temperature;
  if (b.size() == 8 && b[1] == 0x04 && b[2] == 0 && b[3] == 0 && b[4] == 0 && b[5] == 45)
    return TKind::ModbusData;
  return TKind::Other;
}

// "L5 T5 M7": what was asked of which address, in order.
std::string Trace(const std::vector<TSimFrame>& frames) {
  std::string s;
  for (const auto& f : frames) {
    if (!s.empty()) s += ' ';
    switch (KindOf(f)) {
      case TKind::Level:
        s += 'L';
        break;
      case TKind::Temperature:
        s += 'T';
        break;
      case TKind::ModbusData:
        s += 'M';
        break;
      case TKind::Other:
        s += '?';
        break;
    }
    if (!f.Bytes.empty()) s += std::to_string(f.Bytes[0]);
  }
  return s;
}

TSimDevice SimDevice(std::uint8_t address, TDeviceProtocol protocol,
                     std::vector<std::uint16_t> temperatures) {
  TSimDevice d;
  d.Name = "D" + std::to_string(address);
  d.Address = address;
  d.PlantNumber = static_cast<std::uint16_t>(1000 + address);
  d.Protocol = protocol;
  d.Temperatures = std::move(temperatures);
  d.LevelCode = static_cast<std::uint16_t>(0x0100 + address);
  d.LevelMetres = address;  // address * 10 dm
  d.StatusFlags = 0x0002;
  return d;
}

class PollingThread : public testing::Test {
 protected:
  // Adds a device to the line and its record to the host's list.
  TDevice* Add(const TSimDevice& d) {
    line.AddDevice(d);
    return host.AddRecord(d);
  }
  std::unique_ptr<TRequestThread> Start(std::uint32_t period) {
    auto t = std::make_unique<TRequestThread>(&host);
    t->SetPeriod(period);
    t->start();
    return t;
  }
  static void Stop(TRequestThread& t) {
    t.Terminate();
    ASSERT_TRUE(t.wait(QDeadlineTimer(10000)));
  }

  TVirtualLine line;
  TPollingTestHost host;
};

}  // namespace

TEST(PollingPeriod, ElapsedIsMeasuredModulo32Bits) {
  EXPECT_FALSE(PeriodElapsed(1200, 1000, 200));  // exactly the period: not yet
  EXPECT_TRUE(PeriodElapsed(1201, 1000, 200));
  // The counter wrapped between the two readings.
  EXPECT_FALSE(PeriodElapsed(0x00000010u, 0xFFFFFFF0u, 200));    // 32 ms
  EXPECT_TRUE(PeriodElapsed(0x000000C9u, 0xFFFFFFF0u, 200));     // 217 ms
  EXPECT_FALSE(PeriodElapsed(0x000000B8u, 0xFFFFFF00u, 0x1B8));  // 440 of 440 ms
  // A refresh "in the future" (clock read twice across a wrap) counts as long ago.
  EXPECT_TRUE(PeriodElapsed(5, 10, 200));
}

TEST(PollingPeriod, PeriodBelowTheFloorIsRaised) {
  TPollingTestHost host;
  TRequestThread t(&host);
  EXPECT_EQ(t.Period(), 200u);
  t.SetPeriod(10);
  EXPECT_EQ(t.Period(), 100u);
  t.SetPeriod(0);
  EXPECT_EQ(t.Period(), 100u);
  t.SetPeriod(1000000);
  EXPECT_EQ(t.Period(), 1000000u);
}

TEST_F(PollingThread, NativeCyclesReadLevelThenTemperaturesOfEveryDevice) {
  TDevice* a = Add(SimDevice(3, dpLargis1, {0x0191, 0xFF60, kSimNoData, kSimFaultA}));
  TDevice* b = Add(SimDevice(7, dpLargis1, {0x0010, 0x55AA}));
  host.Open(line);
  host.ComPort().SetWriteTraceEnabled(true);
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(2, 10s));
  Stop(*t);

  const auto frames = line.Frames();
  ASSERT_GE(frames.size(), 8u);
  EXPECT_EQ(Trace({frames.begin(), frames.begin() + 8}), "L3 T3 L7 T7 L3 T3 L7 T7");
  // The native discipline, as the port applied it at each write (the line's
  // own parity sample can come late on a loaded machine): address marked,
  // the rest in space parity.
  const auto writes = host.ComPort().WriteTrace();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[0].Parity, prMark);
  EXPECT_EQ(writes[0].Bytes, std::vector<std::uint8_t>{3});
  EXPECT_EQ(writes[1].Parity, prSpace);
  EXPECT_EQ(writes[1].Bytes.size(), 5u);

  EXPECT_EQ(a->LevelCode, 0x0103);
  EXPECT_EQ(a->Level, 30);
  EXPECT_EQ(a->LevelState, 0x0002);
  EXPECT_EQ(a->TemperatureState, 0);
  EXPECT_EQ(a->TemperaturesSnapshot(),
            (std::vector<std::uint16_t>{0x0191, 0xFF60, kSimNoData, kSimFaultA}));
  EXPECT_EQ(b->LevelCode, 0x0107);
  EXPECT_EQ(b->TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0010, 0x55AA}));
  EXPECT_GE(t->Cycles(), 2u);
}

TEST_F(PollingThread, ModbusCyclesReadOneDataBlockPerDevice) {
  TDevice* a = Add(SimDevice(4, dpModbus, {0x0191, kSimFaultB, 0xFF60}));
  Add(SimDevice(9, dpModbus, {0x0020}));
  host.SetProtocol(dpModbus);
  host.Open(line);
  host.ComPort().SetWriteTraceEnabled(true);
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(2, 10s));
  Stop(*t);

  const auto frames = line.Frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(Trace({frames.begin(), frames.begin() + 4}), "M4 M9 M4 M9");
  const auto writes = host.ComPort().WriteTrace();
  ASSERT_GE(writes.size(), 1u);
  EXPECT_EQ(writes[0].Parity, prEven);
  EXPECT_EQ(writes[0].Bytes.size(), 8u);  // the whole frame in one write
  EXPECT_EQ(a->LevelCode, 0);  // the Modbus block carries no level code
  EXPECT_EQ(a->Level, 40);
  EXPECT_EQ(a->TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0191, kSimFaultB, 0xFF60}));
}

TEST_F(PollingThread, ProtocolIsAskedAtEachDevice) {
  Add(SimDevice(1, dpLargis1, {0x0010}));
  Add(SimDevice(2, dpModbus, {0x0020}));
  Add(SimDevice(3, dpLargis1, {0x0030}));
  // Native, Modbus, native for the three devices of each cycle.
  host.ScriptProtocol([](int call) { return call % 3 == 1 ? dpModbus : dpLargis1; });
  host.Open(line);
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(2, 10s));
  Stop(*t);

  const auto frames = line.Frames();
  ASSERT_GE(frames.size(), 10u);
  EXPECT_EQ(Trace({frames.begin(), frames.begin() + 10}), "L1 T1 M2 L3 T3 L1 T1 M2 L3 T3");
  for (const auto& f : frames) EXPECT_GE(f.DeviceIndex, 0) << f.Note;  // all answered
}

TEST_F(PollingThread, SilentDeviceCostsOneFailedExchangePerRequestAndOthersGoOn) {
  TDevice* silent = Add(SimDevice(2, dpLargis1, {0x0010, 0x0020}));
  TDevice* alive = Add(SimDevice(6, dpLargis1, {0x0030}));
  line.Modify(0, [](TSimDevice& d) { d.Faults.Silent = true; });
  host.Open(line);
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(2, 15s));
  Stop(*t);

  const auto frames = line.Frames();
  ASSERT_GE(frames.size(), 8u);
  // No retries: the silent device gets exactly its two requests each cycle.
  EXPECT_EQ(Trace({frames.begin(), frames.begin() + 8}), "L2 T2 L6 T6 L2 T2 L6 T6");
  EXPECT_NE(silent->LevelState & kStateFailed, 0);
  EXPECT_EQ(silent->TemperaturesSnapshot(),
            (std::vector<std::uint16_t>{kNoDataTemperature, kNoDataTemperature}));
  EXPECT_EQ(alive->LevelCode, 0x0106);
  EXPECT_EQ(alive->TemperaturesSnapshot(), (std::vector<std::uint16_t>{0x0030}));
}

TEST_F(PollingThread, StopEndsAfterTheDeviceInWorkWithoutRefresh) {
  Add(SimDevice(1, dpLargis1, {0x0010}));
  Add(SimDevice(2, dpLargis1, {0x0020}));
  Add(SimDevice(3, dpLargis1, {0x0030}));
  host.Open(line);
  std::atomic<TRequestThread*> thread{nullptr};
  // The stop arrives while device 2's level read is on the line.
  line.SetFrameListener([&](const TSimFrame& f) {
    if (KindOf(f) == TKind::Level && f.Bytes[0] == 2 && thread.load()) thread.load()->Terminate();
  });
  auto t = std::make_unique<TRequestThread>(&host);
  thread.store(t.get());
  t->start();
  ASSERT_TRUE(t->wait(QDeadlineTimer(10000)));
  line.SetFrameListener(nullptr);

  // Device 2 is finished (its temperature read included); device 3 is never asked.
  EXPECT_EQ(Trace(line.Frames()), "L1 T1 L2 T2");
  EXPECT_EQ(host.Refreshes(), 0u);
  EXPECT_EQ(t->Cycles(), 0u);
}

TEST_F(PollingThread, StopWakesTheIdleWaitAtOnce) {
  Add(SimDevice(1, dpLargis1, {0x0010}));
  host.Open(line);
  auto t = Start(1000000);  // after the first cycle it would wait 1000 s
  ASSERT_TRUE(host.WaitRefreshes(1, 10s));
  std::this_thread::sleep_for(120ms);  // well inside the wait
  const auto frames = line.FrameCount();
  const auto asked = Clock::now();
  t->Terminate();
  ASSERT_TRUE(t->wait(QDeadlineTimer(5000)));
  EXPECT_LT(Clock::now() - asked, 5s);
  EXPECT_EQ(line.FrameCount(), frames);
  EXPECT_EQ(host.Refreshes(), 1u);
}

TEST_F(PollingThread, CyclesKeepThePeriodAndFollowItsChangeWhileRunning) {
  Add(SimDevice(5, dpLargis1, {0x0010}));
  host.Open(line);
  auto t = Start(300);
  ASSERT_TRUE(host.WaitRefreshes(3, 10s));
  t->SetPeriod(700);  // from the UI thread, without a restart
  const std::size_t changedAt = host.Refreshes();
  ASSERT_TRUE(host.WaitRefreshes(changedAt + 3, 20s));
  Stop(*t);

  // Lower bounds only: one refresh ends a cycle, the next cycle begins more
  // than a period later and then costs its exchanges plus 50 ms.
  const auto times = host.RefreshTimes();
  for (std::size_t i = 1; i < times.size(); ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]);
    // The refresh that was in flight when the period changed may still keep the old one.
    const int period = i <= changedAt ? 300 : 700;
    EXPECT_GE(gap.count(), period) << "refresh " << i;
  }
}

TEST_F(PollingThread, EmptyListOnlyRefreshes) {
  host.Open(line);
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(3, 10s));
  Stop(*t);
  EXPECT_EQ(line.FrameCount(), 0u);
}

TEST_F(PollingThread, ClosedPortLeavesTheRecordsAndTheCycleRunsOn) {
  TDevice* d = Add(SimDevice(1, dpLargis1, {0x0010}));
  // The port is never opened: every exchange returns false at once.
  auto t = Start(100);
  ASSERT_TRUE(host.WaitRefreshes(3, 10s));
  Stop(*t);
  EXPECT_EQ(line.FrameCount(), 0u);
  EXPECT_EQ(d->LevelState, 0);
  EXPECT_EQ(d->LastOperation, "Не производилась");
}

TEST_F(PollingThread, TickCounterWrapBetweenCyclesKeepsThePeriod) {
  // A clock 250 ms before the wrap of the 32-bit counter.
  const auto start = Clock::now();
  const std::uint32_t base = 0xFFFFFFFFu - 250u;
  auto t = std::make_unique<TRequestThread>(&host);
  t->SetTickSource([=] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<std::uint32_t>(base + static_cast<std::uint32_t>(ms.count()));
  });
  t->SetPeriod(200);
  t->start();
  // Cycles go on across the wrap (a comparison that breaks there stalls
  // forever or runs cycles back to back)...
  ASSERT_TRUE(host.WaitRefreshes(5, 10s));
  Stop(*t);
  // ...and still keep the period.
  const auto times = host.RefreshTimes();
  for (std::size_t i = 1; i < times.size(); ++i)
    EXPECT_GE(times[i] - times[i - 1], 200ms) << "refresh " << i;
}

// Success per device comes from each request's own result, in both protocols:
// a silent Modbus device leaves its state words 0 and must still read as failed.
TEST_F(PollingThread, EachRequestsOutcomeIsKeptAndReachesTheSnapshot) {
  for (const TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol);
    TVirtualLine fresh;
    TPollingTestHost h;
    fresh.AddDevice(SimDevice(2, protocol, {0x0010}));
    fresh.AddDevice(SimDevice(6, protocol, {0x0030}));
    TDevice* silent = h.AddRecord(SimDevice(2, protocol, {0x0010}));
    TDevice* alive = h.AddRecord(SimDevice(6, protocol, {0x0030}));
    fresh.Modify(0, [](TSimDevice& d) { d.Faults.Silent = true; });
    h.SetProtocol(protocol);
    h.Open(fresh);
    TRequestThread t(&h);
    t.SetPeriod(100);
    t.start();
    ASSERT_TRUE(h.WaitRefreshes(1, 15s));
    t.Terminate();
    ASSERT_TRUE(t.wait(QDeadlineTimer(10000)));

    const std::size_t requests = protocol == dpLargis1 ? 2 : 1;
    ASSERT_EQ(silent->PollOutcomes.size(), requests);
    ASSERT_EQ(alive->PollOutcomes.size(), requests);
    EXPECT_TRUE(silent->PollFailed());
    EXPECT_EQ(silent->PollFailureText(), "Нет связи с прибором");
    EXPECT_FALSE(alive->PollFailed());
    EXPECT_EQ(alive->PollOutcomes.back().Result, "Операция завершена успешно");

    const TLineSnapshot s = TakeLineSnapshot(h.Devices(), protocol, 1000, 1);
    ASSERT_EQ(s.Devices.size(), 2u);
    EXPECT_FALSE(s.Devices[0].Ok());
    EXPECT_EQ(s.Devices[0].FailureText(), "Нет связи с прибором");
    EXPECT_TRUE(s.Devices[1].Ok());
    EXPECT_EQ(s.Devices[1].Temperatures, (std::vector<std::uint16_t>{0x0030}));
    EXPECT_EQ(s.Devices[1].PlantNumber, 1006);
    // Both were read; only the answering one confirmed its values.
    EXPECT_TRUE(s.Devices[0].Read && s.Devices[1].Read);
    EXPECT_FALSE(s.Devices[0].LevelConfirmed || s.Devices[0].TemperaturesConfirmed);
    EXPECT_TRUE(s.Devices[1].LevelConfirmed && s.Devices[1].TemperaturesConfirmed);
  }
}
