// Base of the worker threads (polling, line scan, batch operations, firmware
// upload): a QThread with the host it works for, a stop request that also
// wakes its pauses, and free-on-end.
#pragma once

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>

#include "OperationHost.h"

class TWorkerThread : public QThread {
  Q_OBJECT
 public:
  explicit TWorkerThread(IOperationHost* form, QObject* parent = nullptr);
  ~TWorkerThread() override;

  IOperationHost* FForm;

  // Asks the thread to stop; it finishes the step in work. Safe from any thread.
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }

  // Free-on-end: the object deletes itself (deleteLater on its owner's thread)
  // once it has finished. Must be set before the thread ends.
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value); }
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }

  // The error that ended the run body (one that escaped it, or one it caught
  // itself and noted), null when it ended normally. A front end without a
  // window reports it, e.g. a serial port that went away mid-way.
  std::exception_ptr Error() const;
  // The text of that error when it is a port failure (EComPort), else empty.
  std::string PortError() const;

 protected:
  // The run body. An exception that escapes it ends the thread quietly.
  virtual void Execute() = 0;
  // Keeps an error the run body caught and ended on, for Error(); the first
  // one noted stays.
  void NoteError(std::exception_ptr error);
  // Sleeps ms milliseconds, or less when a stop is requested; returns false
  // when the stop was requested.
  bool Pause(int ms);

 private:
  void run() final;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFreeOnTerminate{false};
  // Standard primitives rather than Qt's: ThreadSanitizer sees through them
  // (an uninstrumented QWaitCondition hides its unlock and relock).
  std::mutex FPauseMutex;
  std::condition_variable FPauseWake;
  mutable std::mutex FErrorMutex;
  std::exception_ptr FError;
};
