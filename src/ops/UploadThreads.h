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

#include <memory>
#include <string>

#include "WorkerThread.h"
#include "XModemCRC.h"

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

 protected:
  void Execute() override;
  // Reads single bytes until one arrives, `reads` attempts have passed or a
  // stop is asked; returns what arrived (empty: nothing).
  std::string Handshake(int reads);

  std::unique_ptr<TXModemCRC> FXModem;
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
  // Sends the file to one device whose mode switch succeeded; false when the
  // device never sent its first byte (it is skipped without a pause).
  bool UploadToDevice(int index);

  int FHandshakeReads = kDefaultHandshakeReads;
  int FDevicePauseMs = kDevicePauseMs;
};
