#include "WorkerThread.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

TWorkerThread::TWorkerThread(IOperationHost* form, QObject* parent)
    : QThread(parent), FForm(form) {
  connect(this, &QThread::finished, this, [this] {
    if (FFreeOnTerminate.load()) deleteLater();
  });
}

TWorkerThread::~TWorkerThread() {
  Terminate();
  wait();
}

void TWorkerThread::Terminate() {
  QMutexLocker lock(&FPauseMutex);
  FTerminated.store(true);
  FPauseWake.wakeAll();
}

bool TWorkerThread::Pause(int ms) {
  QDeadlineTimer deadline(ms);
  QMutexLocker lock(&FPauseMutex);
  while (!FTerminated.load() && !deadline.hasExpired()) FPauseWake.wait(&FPauseMutex, deadline);
  return !FTerminated.load();
}

void TWorkerThread::run() {
  try {
    Execute();
  } catch (...) {
    // A worker that meets an error ends quietly; the end notification still runs.
  }
}
