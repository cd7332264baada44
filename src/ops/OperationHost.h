// What the worker threads need of the program around them: the device list,
// the protocol in use, the port, the synchronised calls and the progress
// reports. The main window implements it (synchronised calls run on the
// user-interface thread while the worker waits); so does the console front end.
#pragma once

#include <cstdint>
#include <functional>

#include "ComPort.h"
#include "DeviceList.h"
#include "DeviceProtocol.h"

// Window message numbers of the progress reports.
constexpr int WM_PROGRESS_PERCENT = 1126;
constexpr int WM_PROGRESS_DEVICE = 1127;
constexpr int WM_TOTAL_UPLOAD_PROGRESS = 1128;

class IOperationHost {
 public:
  virtual ~IOperationHost() = default;

  // Read by workers without a lock: the host keeps them unchanged while a
  // worker runs.
  virtual TComPort& ComPort() = 0;
  virtual TDeviceList& Devices() = 0;
  virtual TDeviceProtocol CurrentProtocol() const = 0;

  // Synchronised calls: each returns once the host has run it (on the
  // user-interface thread in the window).
  virtual void RefreshDataGrid() = 0;
  // Takes ownership of the device.
  virtual void AddDevice(TDevice* device) = 0;
  // Clears the cell marks of the confirmed columns of a device-table row
  // (row = list index + 1).
  virtual void ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                                 bool coefficient) = 0;
  // Runs f where the device list may be changed (on the user-interface thread
  // in the window) and returns once it has run. Workers use it to store what
  // they read into listed devices. The default runs f on the calling thread,
  // which suits a host without a user-interface thread.
  virtual void Synchronize(const std::function<void()>& f) { f(); }

  // Progress reports, sent and waited for.
  virtual void ProgressPercent(int percent) = 0;                                     // 1126
  virtual void ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) = 0;  // 1127
  virtual void TotalUploadProgress(int index, int percent) = 0;                      // 1128
};
