// The console front end of the worker threads: what the window offers them
// (port, device list, protocol, synchronised calls, progress reports),
// without a window. Synchronised calls run directly on the worker thread,
// serialised with the main thread's output by one mutex; progress reports
// draw a bar on stderr when it is a terminal.
#pragma once

#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "ComPort.h"
#include "DeviceCommands.h"
#include "OperationHost.h"

// Where output goes, and a lock for it.
class TConsole {
 public:
  TConsole(std::ostream& out, std::ostream& err, bool progressBar)
      : Out(out), Err(err), FProgressBar(progressBar) {}
  std::ostream& Out;
  std::ostream& Err;
  std::mutex Mutex;

  // A progress bar on the error stream ("caption [#####     ]  42 %"),
  // redrawn in place; nothing when the stream is not a terminal.
  void Progress(const std::string& caption, int percent);
  // Ends a bar in progress with a line break (call under Mutex).
  void EndProgress();
  bool ProgressBar() const { return FProgressBar; }

 private:
  bool FProgressBar;
  bool FBarShown = false;
};

class TConsoleHost : public IOperationHost {
 public:
  explicit TConsoleHost(TConsole& console) : FConsole(console) {}

  TComPort& ComPort() override { return FPort; }
  TDeviceList& Devices() override { return FDevices; }
  TDeviceProtocol CurrentProtocol() const override { return FProtocol; }
  void SetProtocol(TDeviceProtocol value) { FProtocol = value; }

  void RefreshDataGrid() override;
  void AddDevice(TDevice* device) override;
  void ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                         bool coefficient) override;
  void ProgressPercent(int percent) override;
  void ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) override;
  void TotalUploadProgress(int index, int percent) override;

  // Cell marks as the window keeps them: the unconfirmed columns per device.
  void MarkAll(TColumnSet columns);
  TColumnSet Marks(int index) const;
  void ClearMarks(int index, TColumnSet columns);

  // Hooks, run under the console lock on whichever thread reports.
  std::function<void()> OnRefresh;
  std::function<void(TDevice*)> OnDeviceAdded;
  std::function<void(std::uint16_t plant, std::uint8_t address)> OnProgressDevice;
  std::function<void(int index, int percent)> OnUploadProgress;
  std::string ProgressCaption = "";

  TConsole& Console() { return FConsole; }

 private:
  TConsole& FConsole;
  TComPort FPort;
  TDeviceList FDevices;
  TDeviceProtocol FProtocol = dpLargis1;
  mutable std::mutex FMarksMutex;
  std::vector<TColumnSet> FMarks;
};
