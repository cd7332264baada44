// The support bundle: one tar.gz that a service engineer hands over when the
// line misbehaves. It holds the program's version and build, the OS and Qt
// versions, the port settings and the serial ports present, the configuration,
// the last frames of the traffic monitor, the per-device statistics and, when
// there is one, a line-check report; a README inside says what each file is.
// Nothing else goes in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ComPort.h"
#include "DeviceList.h"
#include "TrafficRecorder.h"

constexpr std::size_t kBundleFrames = 10000;

struct TBundleFile {
  std::string Name;      // path inside the bundle's folder, e.g. "frames.txt"
  std::string Contents;  // bytes
  std::string About;     // one line for the README
};

struct TSupportBundle {
  std::vector<TBundleFile> Files;  // in the order they go in (README first)
};

// "Настройка ЛИМ-07 1.2 (lim07 0.1, commit abc1234, Debug, g++ 12.2.0)".
std::string ProgramVersionText();
// Kernel, distribution (os-release) and Qt version, one per line.
std::string SystemText();
// " COM1 / 9600 / 8 / 1 " and every other setting of the port, one a line.
std::string PortSettingsText(const TCustomComPort& port, TDeviceProtocol protocol);

// Builds the bundle's files from what the program holds. `configurationName`
// is the file the configuration came from (may be empty); the configuration
// is taken as it is now, saved or not. `lineCheck` may be empty. `history`
// is for files of a history store (the last day), added as given.
TSupportBundle BuildSupportBundle(const TCustomComPort& port, TDeviceProtocol protocol,
                                  const TDeviceList& devices, const std::string& configurationName,
                                  const std::vector<TFramePtr>& frames,
                                  const std::vector<TDeviceStatistics>& statistics,
                                  const std::string& lineCheck,
                                  const std::vector<TBundleFile>& history = {});

// The files of the history database for the bundle: the last day of
// readings as CSV and the alarms of the last week. None when there is no
// such database at `path` (or it cannot be read: the README then says why).
std::vector<TBundleFile> HistoryBundleFiles(const std::string& path, std::int64_t nowMs);

// Writes the bundle as tar.gz, atomically (a temporary file renamed over
// `path`). Throws std::runtime_error with the reason when it cannot.
void WriteSupportBundle(const std::string& path, const TSupportBundle& bundle);

// Reads a tar.gz back: the names (without the top folder) and contents of
// its regular files. Throws std::runtime_error. For tests and checks.
std::vector<TBundleFile> ReadSupportBundle(const std::string& path);
