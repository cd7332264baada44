// libFuzzer target for the configuration-file reader.
//
// Besides crashes and sanitizer reports it checks the round trip: whatever
// loads is saved again, and that image must load back to the same device
// records and the same port settings, byte for byte. Every record that was
// within its limits must come back exactly as it stood in the input.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ComPort.h"
#include "ConfigFile.h"
#include "Device.h"
#include "DeviceList.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "round trip broken: %s\n", what);
  std::abort();
}

std::vector<std::string> Records(const TDeviceList& list) {
  std::vector<std::string> out;
  std::array<std::uint8_t, kDeviceRecordSize> r{};
  for (int i = 0; i < list.Count(); ++i) {
    list[i]->WriteRecord(r.data());
    out.emplace_back(reinterpret_cast<const char*>(r.data()), r.size());
  }
  return out;
}

// The file the loader reads: an anonymous in-memory file reached through
// /proc, so that the real entry point (path, stat, open) is what runs.
class TMemoryFile {
 public:
  TMemoryFile() : FFd(memfd_create("lim07-fuzz", 0)) {
    Check(FFd >= 0, "memfd_create");
    FPath = "/proc/self/fd/" + std::to_string(FFd);
  }
  ~TMemoryFile() { close(FFd); }
  const std::string& Fill(const void* data, std::size_t size) {
    Check(ftruncate(FFd, 0) == 0 && pwrite(FFd, data, size, 0) == static_cast<ssize_t>(size),
          "memfd write");
    return FPath;
  }

 private:
  int FFd;
  std::string FPath;
};

bool Load(const std::string& path, TComPort& port, TDeviceList& list) {
  try {
    LoadConfigurationFile(path, port, [&](std::unique_ptr<TDevice> d) { list.Add(d.release()); });
    return true;
  } catch (const EConfigFormat&) {
    return false;
  }
}

bool WithinLimits(const std::uint8_t* record) {
  return record[0] <= 16 && record[20] <= kMaxSensorCount && record[30] <= 64;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TMemoryFile file;

  TComPort port;
  TDeviceList list;
  const bool loaded = Load(file.Fill(data, size), port, list);
  Check(!port.Connected(), "port left open after loading");
  static const bool verbose = std::getenv("LIM07_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "loaded: %d, devices: %d\n", loaded ? 1 : 0, list.Count());
  if (!loaded) return 0;

  // Where the settings block ends, found by the stream reader alone; the
  // records follow it, and any record within its limits reads back exactly.
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  TComPort scratch;
  ReadComPortSettings(in, scratch);
  const std::size_t blockEnd = static_cast<std::size_t>(in.tellg());
  const std::size_t n = static_cast<std::size_t>(list.Count());
  Check(n == (size - blockEnd) / kDeviceRecordSize, "wrong number of records");
  const std::vector<std::string> records = Records(list);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* r = data + blockEnd + i * kDeviceRecordSize;
    if (WithinLimits(r))
      Check(std::memcmp(r, records[i].data(), kDeviceRecordSize) == 0, "record not kept exactly");
  }

  const std::string image = ConfigurationImage(port, list);
  // The writer leaves out what equals the component's stored default; the one
  // such default a fresh port does not have is the empty port name ("COM1" is
  // what the window gives it). Start the reload from that default, so that the
  // second image must equal the first byte for byte.
  TComPort port2;
  port2.SetPort("");
  TDeviceList list2;
  Check(Load(file.Fill(image.data(), image.size()), port2, list2), "saved image does not load");
  Check(Records(list2) == records, "device records differ after reload");
  Check(ConfigurationImage(port2, list2) == image, "second save differs from the first");
  return 0;
}
