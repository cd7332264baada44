// The firmware-upload worker threads: one device (already switched into its
// upload mode by the window) or every device of the list in turn. Both send
// the file with XModem-CRC at 9600 baud and report progress to the host
// (WM_PROGRESS_PERCENT and WM_TOTAL_UPLOAD_PROGRESS respectively).
//
// A stop request (Terminate) is honoured between packets, between devices and
// between the one-byte reads of the handshakes; the longest wait after it is
// one read: up to 5 s in the single-device upload, about 0.25 s in the
// all-devices upload. Port failures and EBufferOutOfSize end the thread
// quietly.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "WorkerThread.h"
#include "XModemCRC.h"

// How an upload run ended for one device.
enum class TUploadOutcome {
  NotReached,  // not (or not completely) served: the run was stopped or failed first
  Uploaded,    // every block acknowledged and the end of transmission sent
  NoAnswer,    // the device did not take the upload-mode request or never asked for data
  Stopped,     // "Стоп" came while this device was in work
};

class TSoftwareUploadThread : public TWorkerThread {
 public:
  // Created not running; the caller stores it, connects its end handler and
  // starts it. The thread frees itself when it ends.
  TSoftwareUploadThread(const std::string& fileName, IOperationHost* form);
  ~TSoftwareUploadThread() override;

  // One-byte reads allowed while waiting for the receiver's first byte: a
  // first read and 256 further ones, each up to 5002 ms with the window's
  // multiplier.
  static constexpr int kHandshakeReads = 257;
  // The packet buffer the threads pass to the sender.
  static constexpr int kPacketBufferSize = 256;

  // The outcome per device, once the thread has finished: one entry for the
  // single-device upload, one per listed device (in list order) for the
  // all-devices upload. A device left NotReached by a run that ended with a
  // port failure was cut off by it (PortError()).
  std::vector<TUploadOutcome> Outcomes() const;

 protected:
  void Execute() override;
  void SetOutcomeCount(int count);
  void SetOutcome(int index, TUploadOutcome outcome);
  // Sends the file to a receiver whose first reply is `reply`, reporting each
  // packet through report; true when every block was acknowledged and the
  // end of transmission sent. With assumeEotAck the EOT's reply is not read
  // (the device leaves its loader at the EOT).
  bool Transfer(std::string reply, bool assumeEotAck, const std::function<void()>& report);
  // Reads single bytes until one arrives, `reads` attempts have passed or a
  // stop is asked; returns what arrived (empty: nothing).
  std::string Handshake(int reads);

  std::unique_ptr<TXModemCRC> FXModem;

 private:
  mutable std::mutex FOutcomeMutex;
  std::vector<TUploadOutcome> FOutcomes;
};

class TTotalSoftwareUploadThread : public TSoftwareUploadThread {
 public:
  using TSoftwareUploadThread::TSoftwareUploadThread;

  // One-byte reads (up to 251 ms each) a device gets after its mode switch
  // to send its first byte: 120, about 30 s, a fair time for a device to
  // restart into its loader, which then asks every few seconds.
  static constexpr int kDefaultHandshakeReads = 120;
  // Pause after each device, in ms, while it restarts with its new firmware.
  static constexpr int kDevicePauseMs = 3000;

  // For tests and impatient front ends; set before the thread starts.
  void SetHandshakeReads(int reads) { FHandshakeReads = reads; }
  void SetDevicePause(int ms) { FDevicePauseMs = ms; }

 protected:
  void Execute() override;

 private:
  // Sends the file to one device whose mode switch succeeded and records its
  // outcome; false when the device never sent its first byte (it is skipped
  // without a pause).
  bool UploadToDevice(int index);

  int FHandshakeReads = kDefaultHandshakeReads;
  int FDevicePauseMs = kDevicePauseMs;
};
