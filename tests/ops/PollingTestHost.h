// A host for the polling thread without a window: the real port opened on a
// virtual line, a device list, a protocol that the test may script per device,
// and a refresh that counts and time-stamps every call (on the worker thread).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "ComPort.h"
#include "OperationHost.h"
#include "VirtualLine.h"

class TPollingTestHost : public IOperationHost {
 public:
  using Clock = std::chrono::steady_clock;

  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override {
    const int call = FProtocolCalls.fetch_add(1);
    return FScript ? FScript(call) : FProtocol.load();
  }

  void RefreshDataGrid() override {
    if (OnRefresh) OnRefresh();
    std::lock_guard lock(FMutex);
    FRefreshTimes.push_back(Clock::now());
    FChanged.notify_all();
  }
  void AddDevice(TDevice* device) override { FDevices.Add(device); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}

  // The port as the main window sets it up (read limits 50 ms gap, 2 ms a
  // byte plus 100 ms), opened on the line.
  void Open(const TVirtualLine& line) {
    FPort.Timeouts().SetReadInterval(50);
    FPort.Timeouts().SetReadTotalMultiplier(2);
    FPort.Timeouts().SetReadTotalConstant(100);
    FPort.SetPort(line.SlavePath());
    FPort.Open();
  }
  // A record for a device of the line (address, plant number, sensor count).
  TDevice* AddRecord(const TSimDevice& sim) {
    auto* d = new TDevice;
    d->SetName(sim.Name);
    d->SetSystemAddress(sim.Address);
    d->SetPlantNumber(sim.PlantNumber);
    d->SetSensorCount(sim.SensorCount());
    FDevices.Add(d);
    return d;
  }

  void SetProtocol(TDeviceProtocol p) { FProtocol.store(p); }
  // call -> protocol; the n-th call of CurrentProtocol (from 0) gets f(n).
  void ScriptProtocol(std::function<TDeviceProtocol(int)> f) { FScript = std::move(f); }

  std::size_t Refreshes() const {
    std::lock_guard lock(FMutex);
    return FRefreshTimes.size();
  }
  std::vector<Clock::time_point> RefreshTimes() const {
    std::lock_guard lock(FMutex);
    return FRefreshTimes;
  }
  bool WaitRefreshes(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] { return FRefreshTimes.size() >= count; });
  }

  // Runs on the worker thread inside each refresh, before it is counted.
  std::function<void()> OnRefresh;

 private:
  TComPort FPort;
  TDeviceList FDevices;
  std::atomic<TDeviceProtocol> FProtocol{dpLargis1};
  std::function<TDeviceProtocol(int)> FScript;
  mutable std::atomic<int> FProtocolCalls{0};
  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  std::vector<Clock::time_point> FRefreshTimes;
};
