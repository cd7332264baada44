// A host for the scan and batch threads: the real port on a virtual line, a
// device list, and a record of every synchronised call and progress report
// in the order the thread made them.
#pragma once

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OperationHost.h"
#include "VirtualLine.h"
#include "WorkerThread.h"

struct TMarksCall {
  int Row;
  bool Address, SensorCount, Calibration, Coefficient;
  bool operator==(const TMarksCall&) const = default;
};

struct TDeviceReport {
  int PlantNumber, Address;
  bool operator==(const TDeviceReport&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const TMarksCall& m) {
  return os << "{row " << m.Row << ": " << m.Address << m.SensorCount << m.Calibration
            << m.Coefficient << "}";
}
inline std::ostream& operator<<(std::ostream& os, const TDeviceReport& r) {
  return os << "{" << r.PlantNumber << ", " << r.Address << "}";
}

class TScanTestHost : public IOperationHost {
 public:
  explicit TScanTestHost(TVirtualLine& line, TDeviceProtocol protocol = dpLargis1)
      : FProtocol(protocol) {
    FPort.SetPort(line.SlavePath());
    FPort.Open();
  }

  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return FProtocol; }

  // Synchronised calls run under one lock, as they would run one at a time
  // on the user-interface thread.
  void RefreshDataGrid() override {}
  void AddDevice(TDevice* device) override {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    Found.Add(device);
  }
  void ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                         bool coefficient) override {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    Marks.push_back({row, address, sensorCount, calibration, coefficient});
  }
  void Synchronize(const std::function<void()>& f) override {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    ++SynchronizeCalls;
    f();
  }
  void ProgressPercent(int percent) override {
    {
      std::lock_guard<std::recursive_mutex> lock(FLock);
      Percents.push_back(percent);
    }
    if (OnPercent) OnPercent(percent);
  }
  void ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) override {
    {
      std::lock_guard<std::recursive_mutex> lock(FLock);
      DeviceReports.push_back({plantNumber, address});
    }
    if (OnDevice) OnDevice(plantNumber, address);
  }
  void TotalUploadProgress(int, int) override {}

  // Runs the thread to its end (generous limit); false when it did not end.
  // QThread's own end and wait are invisible to ThreadSanitizer (Qt's futex
  // locks are not instrumented), so the worker passes the host's lock on its
  // way out and the test takes it before reading what the worker recorded.
  bool Run(TWorkerThread& thread, int limitMs = 60000) {
    QObject::connect(
        &thread, &QThread::finished, &thread,
        [this] { std::lock_guard<std::recursive_mutex> lock(FLock); }, Qt::DirectConnection);
    thread.start();
    const bool ended = thread.wait(QDeadlineTimer(limitMs));
    std::lock_guard<std::recursive_mutex> lock(FLock);
    return ended;
  }

  // A listed device as a configuration holds it.
  TDevice* List(std::uint16_t plant, std::uint8_t address) {
    auto* d = new TDevice;
    d->SetPlantNumber(plant);
    d->SetSystemAddress(address);
    FDevices.Add(d);
    return d;
  }

  // What the thread reported (read after it ended).
  TDeviceList Found;
  std::vector<TMarksCall> Marks;
  std::vector<int> Percents;
  std::vector<TDeviceReport> DeviceReports;
  int SynchronizeCalls = 0;
  // Called on the worker thread after a report is recorded.
  std::function<void(int)> OnPercent;
  std::function<void(int, int)> OnDevice;

 private:
  TComPort FPort;
  TDeviceList FDevices;
  TDeviceProtocol FProtocol;
  std::recursive_mutex FLock;
};

// A simulated device with distinct settings.
inline TSimDevice SimDevice(std::uint8_t address, std::uint16_t plant,
                            TDeviceProtocol protocol = dpLargis1) {
  TSimDevice d;
  d.Address = address;
  d.PlantNumber = plant;
  d.Protocol = protocol;
  d.Temperatures.assign(static_cast<std::size_t>(3 + plant % 5), 0x0190);
  d.UnmeasurableLevel = static_cast<std::uint16_t>(100 + plant % 50);
  d.AveragingCoefficient = 4;
  d.CalibrationCode1 = 0x0F00;
  d.CalibrationCode2 = 0x1B00;
  d.CalibrationLevel2 = 300;
  return d;
}

// Requests of the frame log that went to `address` with command `command`.
inline int CountFrames(const TVirtualLine& line, std::uint8_t address, std::uint8_t command) {
  int n = 0;
  for (const TSimFrame& f : line.Frames())
    if (f.Bytes.size() >= 2 && f.Bytes[0] == address && f.Bytes[1] == command) ++n;
  return n;
}
