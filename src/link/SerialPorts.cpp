// Port names and the list of serial ports present.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ComPort.h"

std::string TCustomComPort::DevicePath(const std::string& port) {
  if (port.find('/') != std::string::npos) return port;
  // "COMn" (any letter case), n >= 1: the n-th UART, /dev/ttyS(n-1).
  if (port.size() > 3 && strncasecmp(port.c_str(), "COM", 3) == 0 &&
      std::all_of(port.begin() + 3, port.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    const long n = port.size() <= 12 ? std::strtol(port.c_str() + 3, nullptr, 10) : 0;
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  if (port.empty()) return port;
  return "/dev/" + port;
}

std::string VirtualLineDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/lim07-lines";
  return "/tmp/lim07-lines-" + std::to_string(getuid());
}

namespace {

// Entry names of a folder, without "." and ".."; false when it cannot be read.
bool FolderEntries(const std::string& dir, std::vector<std::string>& names, int& error) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    error = errno;
    return false;
  }
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return true;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The UART type the serial core reports; 0 (PORT_UNKNOWN) for the ttyS
// entries the kernel creates whether or not a UART answers there.
bool UartPresent(const std::string& entry) {
  std::ifstream in(entry + "/type");
  int type = 0;
  return in >> type && type != 0;
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  const int c = strcasecmp(a.c_str(), b.c_str());
  return c != 0 ? c < 0 : a < b;
}

}  // namespace

std::vector<std::string> ListSerialPortsIn(const std::string& sysClassTty,
                                           const std::string& byIdDir, const std::string& lineDir) {
  std::vector<std::string> ports;
  std::vector<std::string> names;
  int error = 0;
  if (!FolderEntries(sysClassTty, names, error)) throw EComPort(23, error);
  for (const auto& name : names) {
    const std::string entry = sysClassTty + "/" + name;
    if (!Exists(entry + "/device")) continue;  // consoles, ptys and other virtual ttys
    if (name.rfind("ttyS", 0) == 0 && !UartPresent(entry)) continue;
    ports.push_back("/dev/" + name);
  }
  names.clear();
  if (FolderEntries(byIdDir, names, error)) {
    for (const auto& name : names) ports.push_back(byIdDir + "/" + name);
  }
  names.clear();
  if (FolderEntries(lineDir, names, error)) {
    // Announced lines are symlinks; one whose simulator has gone dangles.
    for (const auto& name : names)
      if (Exists(lineDir + "/" + name)) ports.push_back(lineDir + "/" + name);
  }
  std::sort(ports.begin(), ports.end(), LessIgnoringCase);
  return ports;
}

std::vector<std::string> ListSerialPorts() {
  return ListSerialPortsIn("/sys/class/tty", "/dev/serial/by-id", VirtualLineDirectory());
}
