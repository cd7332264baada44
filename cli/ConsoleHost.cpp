#include "ConsoleHost.h"

#include <algorithm>
#include <ostream>

void TConsole::Progress(const std::string& caption, int percent) {
  if (!FProgressBar) return;
  const int p = std::clamp(percent, 0, 100);
  constexpr int kWidth = 30;
  const int filled = p * kWidth / 100;
  Err << "\r\033[K" << caption << " [" << std::string(static_cast<std::size_t>(filled), '#')
      << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << p << " %"
      << std::flush;
  FBarShown = true;
}

void TConsole::EndProgress() {
  if (!FBarShown) return;
  Err << '\n' << std::flush;
  FBarShown = false;
}

void TConsoleHost::RefreshDataGrid() {
  std::lock_guard lock(FConsole.Mutex);
  if (OnRefresh) OnRefresh();
}

void TConsoleHost::AddDevice(TDevice* device) {
  {
    std::lock_guard lock(FMarksMutex);
    FDevices.Add(device);
    FMarks.resize(static_cast<std::size_t>(FDevices.Count()), 0);
  }
  std::lock_guard lock(FConsole.Mutex);
  if (OnDeviceAdded) OnDeviceAdded(device);
}

void TConsoleHost::ClearWrittenMarks(int row, bool address, bool sensorCount, bool calibration,
                                     bool coefficient) {
  ClearMarks(row - 1, WrittenColumns(address, sensorCount, calibration, coefficient));
}

void TConsoleHost::MarkAll(TColumnSet columns) {
  std::lock_guard lock(FMarksMutex);
  FMarks.assign(static_cast<std::size_t>(FDevices.Count()), columns);
}

TColumnSet TConsoleHost::Marks(int index) const {
  std::lock_guard lock(FMarksMutex);
  if (index < 0 || index >= static_cast<int>(FMarks.size())) return 0;
  return FMarks[static_cast<std::size_t>(index)];
}

void TConsoleHost::ClearMarks(int index, TColumnSet columns) {
  std::lock_guard lock(FMarksMutex);
  if (index < 0 || index >= static_cast<int>(FMarks.size())) return;
  FMarks[static_cast<std::size_t>(index)] &= ~columns;
}

void TConsoleHost::ProgressPercent(int percent) {
  std::lock_guard lock(FConsole.Mutex);
  FConsole.Progress(ProgressCaption, percent);
}

void TConsoleHost::ProgressDevice(std::uint16_t plantNumber, std::uint8_t address) {
  std::lock_guard lock(FConsole.Mutex);
  if (OnProgressDevice) OnProgressDevice(plantNumber, address);
}

void TConsoleHost::TotalUploadProgress(int index, int percent) {
  std::lock_guard lock(FConsole.Mutex);
  if (OnUploadProgress) OnUploadProgress(index, percent);
}
