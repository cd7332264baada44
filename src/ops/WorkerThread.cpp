#include "WorkerThread.h"

#include <chrono>

TWorkerThread::TWorkerThread(IOperationHost* form, QObject* parent) : QThread(parent), FForm(form) {
  connect(this, &QThread::finished, this, [this] {
    if (FFreeOnTerminate.load()) deleteLater();
  });
}

TWorkerThread::~TWorkerThread() {
  Terminate();
  wait();
}

void TWorkerThread::Terminate() {
  std::lock_guard lock(FPauseMutex);
  FTerminated.store(true);
  FPauseWake.notify_all();
}

bool TWorkerThread::Pause(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock lock(FPauseMutex);
  FPauseWake.wait_until(lock, deadline, [this] { return FTerminated.load(); });
  return !FTerminated.load();
}

void TWorkerThread::run() {
  try {
    Execute();
  } catch (...) {
    // A worker that meets an error ends quietly; the end notification still runs.
    NoteError(std::current_exception());
  }
}

std::exception_ptr TWorkerThread::Error() const {
  std::lock_guard lock(FErrorMutex);
  return FError;
}

void TWorkerThread::NoteError(std::exception_ptr error) {
  std::lock_guard lock(FErrorMutex);
  if (!FError) FError = std::move(error);
}

std::string TWorkerThread::PortError() const {
  const std::exception_ptr error = Error();
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const EComPort& e) {
    return e.what()[0] != '\0' ? e.what() : "?";
  } catch (...) {
  }
  return {};
}
