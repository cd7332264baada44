#include "RequestThread.h"

#include <algorithm>
#include <chrono>

#include "ModbusRequests.h"
#include "NativeRequests.h"

std::uint32_t TickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(ms.count());
}

TRequestThread::TRequestThread(IOperationHost* form, QObject* parent)
    : TWorkerThread(form, parent), FTickCount(TickCount) {}

void TRequestThread::SetPeriod(std::uint32_t value) {
  FPeriod.store(std::max(value, kRequestThreadMinPeriod));
}

void TRequestThread::Execute() {
  SetPeriod(FPeriod.load());
  if (FForm == nullptr) return;

  // Created once per run, on the host's port, in the native protocol; the
  // Modbus data read sends with its own discipline whatever that says.
  TLevelTransaction level(&FForm->ComPort());
  TTemperatureTransaction temperature(&FForm->ComPort());
  TModbusDataTransaction data(&FForm->ComPort());

  std::uint32_t lastCycleEnd = 0;
  bool first = true;
  while (!Terminated()) {
    if (!first && !PeriodElapsed(FTickCount(), lastCycleEnd, FPeriod.load())) {
      Pause(kRequestThreadStepMs);
      continue;
    }
    first = false;
    if (!PollDevices(level, temperature, data)) break;
    FForm->RefreshDataGrid();
    lastCycleEnd = FTickCount();
    FCycles.fetch_add(1);
  }
}

bool TRequestThread::PollDevices(TLevelTransaction& level, TTemperatureTransaction& temperature,
                                 TModbusDataTransaction& data) {
  TDeviceList& devices = FForm->Devices();
  const int count = devices.Count();
  for (int i = 0; i < count && i < devices.Count(); ++i) {
    TDevice* device = devices[i];
    std::vector<TRequestOutcome> outcomes;
    // Each request's own result decides success; the state words do not say
    // it in every protocol (a failed Modbus data read leaves them 0).
    const auto run = [&](TTransaction& request) {
      const bool executed = request.Execute(device);
      outcomes.push_back(RequestOutcome(executed, *device));
    };
    switch (FForm->CurrentProtocol()) {
      case dpLargis1:
        run(level);
        run(temperature);
        break;
      case dpModbus:
        run(data);
        break;
    }
    device->PollOutcomes = std::move(outcomes);
    if (Terminated()) return false;
    if (!Pause(kRequestThreadStepMs)) return false;
  }
  return !Terminated();
}
