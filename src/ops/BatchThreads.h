// Batch operations over the whole device list, device by device: read the
// settings back (TConfigRefreshThread), write calibration and coefficient
// (TDeviceRefreshThread), give every device its configured address
// (TAllAddressUpdateThread).
//
// Their report is the cell marks of the device table: the caller marks the
// cells an operation is about to confirm before starting it, and the thread
// clears the marks of each confirmed device through the synchronised
// ClearWrittenMarks (row = list index + 1).
//
// The exchanges run on a working copy of each listed device; everything they
// wrote into it (values read, an answering address, temperatures cleared by a
// silent device, the last operation and result) is copied back into the
// listed device inside a synchronised call (IOperationHost::Synchronize), so
// the threads never change the list while the window may be drawing it.
//
// A port failure ends a run: the final progress report is still sent, and
// PortError() tells the failure.
#pragma once

#include "WorkerThread.h"

// Batch read: identification (2 attempts, must give the record's plant
// number), then sensor count and unmeasurable level (2 attempts each).
// ProgressDevice(plant, address) before each device, (0, 0) at the end.
class TConfigRefreshThread : public TWorkerThread {
  Q_OBJECT
 public:
  explicit TConfigRefreshThread(IOperationHost* form);
  ~TConfigRefreshThread() override;

 protected:
  void Execute() override;

 private:
  int FRow = 0;
  bool FSensorCountRead = false;
  bool FLevelRead = false;
};

// Batch write, always in the native protocol: identification (2 attempts,
// the record's plant number), then the calibration points and the averaging
// coefficient (2 attempts each); the port is purged after each device, then
// 350 ms pass. ProgressDevice before each device, (0, 0) at the end.
class TDeviceRefreshThread : public TWorkerThread {
  Q_OBJECT
 public:
  explicit TDeviceRefreshThread(IOperationHost* form);
  ~TDeviceRefreshThread() override;

 protected:
  void Execute() override;

 private:
  int FRow = 0;
  bool FCalibrationWritten = false;
  bool FCoefficientWritten = false;
};

// Address write: each listed device, found by its plant number, takes the
// address the configuration holds for it (native address write, or
// WriteAddressModbus in Modbus; 2 attempts). ProgressPercent((I + 1) * 100 / N)
// before each device's write, and 100 at the end in any case.
class TAllAddressUpdateThread : public TWorkerThread {
  Q_OBJECT
 public:
  explicit TAllAddressUpdateThread(IOperationHost* form);
  ~TAllAddressUpdateThread() override;

 protected:
  void Execute() override;

 private:
  int FRow = 0;
};
