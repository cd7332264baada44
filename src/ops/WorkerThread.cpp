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

std::string TWorkerThread::PortError() const {
  std::lock_guard lock(FErrorMutex);
  return FPortError;
}

void TWorkerThread::SetPortError(const std::string& text) {
  std::lock_guard lock(FErrorMutex);
  if (FPortError.empty()) FPortError = text.empty() ? "?" : text;
}

void TWorkerThread::run() {
  try {
    Execute();
  } catch (const EComPort& e) {
    // The line is gone: the end notification runs and the host tells it.
    SetPortError(e.what());
  } catch (...) {
    // Any other error ends the worker quietly; the end notification still runs.
  }
}
