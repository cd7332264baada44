// A stand-in for the main window in the upload-thread tests: it owns the port
// and the device list, records every progress report and, like the progress
// windows, can ask the thread to stop when a report arrives.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "OperationHost.h"
#include "WorkerThread.h"

inline void EnsureQtApp() {
  static int argc = 1;
  static char name[] = "test_ops";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

class TUploadTestHost : public IOperationHost {
 public:
  // The port as the main window sets it up, opened on `path`.
  explicit TUploadTestHost(const std::string& path) {
    FPort.SetPort(path);
    FPort.Parity().SetBits(prEven);
    FPort.Timeouts().SetReadInterval(50);
    FPort.Timeouts().SetReadTotalMultiplier(2);
    FPort.Timeouts().SetReadTotalConstant(100);
    FPort.Open();
  }

  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return dpModbus; }
  void RefreshDataGrid() override {}
  void AddDevice(TDevice* device) override { FDevices.Add(device); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}

  void ProgressPercent(int percent) override {
    std::function<void(int)> hook;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FPercents.push_back(percent);
      hook = OnPercent;
    }
    if (hook) hook(percent);
  }
  // Recorded as the double progress window shows it: (overall, current).
  void TotalUploadProgress(int index, int percent) override {
    std::function<void(int, int)> hook;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FTotals.emplace_back(index * 100 / FDevices.Count(), percent);
      hook = OnTotal;
    }
    if (hook) hook(index, percent);
  }

  std::vector<int> Percents() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FPercents;
  }
  std::vector<std::pair<int, int>> Totals() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FTotals;
  }

  TDevice* AddModbusDevice(std::uint8_t address, std::uint16_t plant) {
    auto* device = new TDevice;
    device->SetSystemAddress(address);
    device->SetPlantNumber(plant);
    FDevices.Add(device);
    return device;
  }

  // Set before the thread starts; called on the worker thread.
  std::function<void(int)> OnPercent;
  std::function<void(int, int)> OnTotal;

 private:
  TComPort FPort;
  TDeviceList FDevices;
  mutable std::mutex FMutex;
  std::vector<int> FPercents;
  std::vector<std::pair<int, int>> FTotals;
};

// Starts the thread and runs the event loop until it has ended and freed
// itself, or timeoutMs have passed. `stopAfterMs` >= 0 asks it to stop that
// long after the start. Returns the time it took, or -1 on the time-out (the
// thread is then stopped and waited for, so nothing outlives the test).
inline long long RunUploadThread(TWorkerThread* thread, int timeoutMs, int stopAfterMs = -1) {
  EnsureQtApp();
  QPointer<TWorkerThread> alive(thread);
  QEventLoop loop;
  bool freed = false;
  QObject::connect(thread, &QObject::destroyed, &loop, [&] {
    freed = true;
    loop.quit();
  });
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  if (stopAfterMs >= 0)
    QTimer::singleShot(stopAfterMs, &loop, [alive] {
      if (alive) alive->Terminate();
    });
  auto start = std::chrono::steady_clock::now();
  thread->start();
  loop.exec();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  if (freed) return ms;
  if (alive) {
    alive->Terminate();
    alive->wait();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return -1;
}

// The device end of a pseudo-terminal, played by the test byte by byte.
class TScriptedPeer {
 public:
  TScriptedPeer() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (FMaster >= 0 && grantpt(FMaster) == 0 && unlockpt(FMaster) == 0)
      FSlavePath = ptsname(FMaster);
  }
  ~TScriptedPeer() {
    if (FMaster >= 0) close(FMaster);
  }
  const std::string& SlavePath() const { return FSlavePath; }

  // Reads until `count` bytes have come or timeoutMs have passed.
  std::vector<std::uint8_t> Read(std::size_t count, int timeoutMs) {
    std::vector<std::uint8_t> bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0 || !(p.revents & POLLIN)) continue;
      std::uint8_t buffer[512];
      ssize_t n = read(FMaster, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }
  void Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int FMaster = -1;
  std::string FSlavePath;
};
