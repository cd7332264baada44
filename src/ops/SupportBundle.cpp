#include "SupportBundle.h"

#include <sys/stat.h>

#include <sstream>

#include "HistoryExport.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QtGlobal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ConfigFile.h"

#include "Lim07Version.h"

#ifndef LIM07_COMMIT
#define LIM07_COMMIT "unknown"
#define LIM07_BUILD_TYPE "?"
#endif

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string OsRelease() {
  std::istringstream in(ReadWhole("/etc/os-release"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string v = line.substr(12);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return "unknown";
}

std::string Timestamp(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char s[64];
  std::strftime(s, sizeof s, format, &tm);
  return s;
}

const char* const kReadmeHead =
    "Отчёт для поддержки программы «Настройка ЛИМ-07»\n"
    "Support bundle of the ЛИМ-07 service utility\n"
    "\n"
    "Создан / written: %s\n"
    "\n"
    "Files:\n";

}  // namespace

std::string ProgramVersionText() {
  return std::string("Настройка ЛИМ-07 1.2 (lim07 ") + LIM07_VERSION + ", commit " + LIM07_COMMIT +
         ", " + LIM07_BUILD_TYPE + ", g++ " + __VERSION__ + ")";
}

std::string SystemText() {
  std::string s;
  utsname u{};
  if (uname(&u) == 0)
    s += std::string("Kernel: ") + u.sysname + " " + u.release + " " + u.version + " " + u.machine +
         "\n";
  s += "Distribution: " + OsRelease() + "\n";
  s += std::string("Qt: ") + qVersion() + " (built with " + QT_VERSION_STR + ")\n";
  return s;
}

std::string PortSettingsText(const TCustomComPort& port, TDeviceProtocol protocol) {
  std::string s;
  auto line = [&](const std::string& k, const std::string& v) { s += k + ": " + v + "\n"; };
  line("Port", port.Port() + " (" + TCustomComPort::DevicePath(port.Port()) + ")");
  line("Open", port.Connected() ? "yes" : "no");
  line("BaudRate",
       BaudRateText(port.BaudRate()) + " (" + std::to_string(port.BaudRateBits()) + " bit/s)");
  line("DataBits", DataBitsText(port.DataBits()));
  line("StopBits", StopBitsText(port.StopBits()));
  line("Parity", ParityText(port.Parity().Bits()));
  line("FlowControl", FlowControlText(port.FlowControl().FlowControl()));
  line("Timeouts.ReadInterval", std::to_string(port.Timeouts().ReadInterval()));
  line("Timeouts.ReadTotalMultiplier", std::to_string(port.Timeouts().ReadTotalMultiplier()));
  line("Timeouts.ReadTotalConstant", std::to_string(port.Timeouts().ReadTotalConstant()));
  line("Protocol in use", protocol == dpModbus ? "Modbus" : "Ларгис-1");
  return s;
}

TSupportBundle BuildSupportBundle(const TCustomComPort& port, TDeviceProtocol protocol,
                                  const TDeviceList& devices, const std::string& configurationName,
                                  const std::vector<TFramePtr>& frames,
                                  const std::vector<TDeviceStatistics>& statistics,
                                  const std::string& lineCheck,
                                  const std::vector<TBundleFile>& history) {
  std::vector<TBundleFile> files;
  files.push_back({"version.txt", ProgramVersionText() + "\n", "program version and build"});
  files.push_back({"system.txt", SystemText(), "operating system and Qt versions"});
  files.push_back({"port.txt", PortSettingsText(port, protocol), "serial port settings"});
  std::string ports;
  try {
    for (const std::string& p : ListSerialPorts()) ports += p + "\n";
    if (ports.empty()) ports = "(none)\n";
  } catch (const std::exception& e) {
    ports = std::string("cannot list the serial ports: ") + e.what() + "\n";
  }
  files.push_back({"serial-ports.txt", ports, "serial ports present on this computer"});
  files.push_back({"configuration.l07", ConfigurationImage(port, devices),
                   "the configuration as it was when the bundle was made" +
                       (configurationName.empty() ? std::string(" (never saved)")
                                                  : " (from " + configurationName + ")")});
  std::string text;
  text.reserve(frames.size() * 120);
  for (const TFramePtr& f : frames) text += FrameLine(*f) + "\n";
  files.push_back({"frames.txt", text,
                   "the last " + std::to_string(frames.size()) +
                       " frames of the traffic monitor, oldest first"});
  files.push_back({"statistics.txt", StatisticsText(statistics),
                   "per-device exchange statistics of the session"});
  files.push_back({"statistics.json", StatisticsJson(statistics), "the same statistics as JSON"});
  if (!lineCheck.empty())
    files.push_back({"line-check.txt", lineCheck, "the report of the last line check"});
  for (const TBundleFile& f : history) files.push_back(f);

  char head[512];
  std::snprintf(head, sizeof head, kReadmeHead, Timestamp("%Y-%m-%d %H:%M:%S").c_str());
  std::string readme = head;
  readme += "  README.txt  this file\n";
  for (const TBundleFile& f : files) readme += "  " + f.Name + "  " + f.About + "\n";
  TSupportBundle bundle;
  bundle.Files.push_back({"README.txt", readme, "this file"});
  for (TBundleFile& f : files) bundle.Files.push_back(std::move(f));
  return bundle;
}

void WriteSupportBundle(const std::string& path, const TSupportBundle& bundle) {
  const std::string temp = path + ".part-" + std::to_string(getpid());
  archive* a = archive_write_new();
  if (!a) throw std::runtime_error("libarchive: out of memory");
  auto fail = [&](const std::string& what) {
    const std::string reason = archive_error_string(a) ? archive_error_string(a) : what;
    archive_write_free(a);
    std::remove(temp.c_str());
    throw std::runtime_error(reason);
  };
  if (archive_write_add_filter_gzip(a) != ARCHIVE_OK ||
      archive_write_set_format_pax_restricted(a) != ARCHIVE_OK)
    fail("cannot set up tar.gz");
  if (archive_write_open_filename(a, temp.c_str()) != ARCHIVE_OK) fail("cannot create " + temp);
  const std::string folder = "lim07-support-" + Timestamp("%Y%m%d-%H%M%S") + "/";
  const std::time_t now = std::time(nullptr);
  for (const TBundleFile& f : bundle.Files) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname_utf8(e, (folder + f.Name).c_str());
    archive_entry_set_size(e, static_cast<la_int64_t>(f.Contents.size()));
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_mtime(e, now, 0);
    const bool ok =
        archive_write_header(a, e) == ARCHIVE_OK &&
        (f.Contents.empty() || archive_write_data(a, f.Contents.data(), f.Contents.size()) ==
                                   static_cast<la_ssize_t>(f.Contents.size()));
    archive_entry_free(e);
    if (!ok) fail("cannot write " + f.Name);
  }
  if (archive_write_close(a) != ARCHIVE_OK) fail("cannot finish " + temp);
  archive_write_free(a);
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(temp.c_str());
    throw std::runtime_error("cannot rename " + temp + " to " + path + ": " + reason);
  }
}

std::vector<TBundleFile> ReadSupportBundle(const std::string& path) {
  archive* a = archive_read_new();
  archive_read_support_filter_all(a);
  archive_read_support_format_all(a);
  if (archive_read_open_filename(a, path.c_str(), 65536) != ARCHIVE_OK) {
    const std::string reason = archive_error_string(a) ? archive_error_string(a) : "cannot open";
    archive_read_free(a);
    throw std::runtime_error(path + ": " + reason);
  }
  std::vector<TBundleFile> files;
  archive_entry* e = nullptr;
  int r;
  while ((r = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
    if (archive_entry_filetype(e) != AE_IFREG) continue;
    std::string name = archive_entry_pathname(e);
    if (const auto slash = name.find('/'); slash != std::string::npos)
      name = name.substr(slash + 1);
    std::string contents;
    char buffer[65536];
    la_ssize_t n;
    while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0)
      contents.append(buffer, static_cast<std::size_t>(n));
    if (n < 0) break;
    files.push_back({name, contents, ""});
  }
  const bool ok = r == ARCHIVE_EOF;
  const std::string reason = archive_error_string(a) ? archive_error_string(a) : "damaged archive";
  archive_read_free(a);
  if (!ok) throw std::runtime_error(path + ": " + reason);
  return files;
}

std::vector<TBundleFile> HistoryBundleFiles(const std::string& path, std::int64_t nowMs) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
  constexpr std::int64_t kDayMs = 86'400'000;
  try {
    THistoryStore store(path, true);
    std::ostringstream csv;
    ExportHistoryCsv(store, {nowMs - kDayMs, nowMs, {}}, csv);
    TAlarmFilter filter;
    filter.SinceMs = nowMs - 7 * kDayMs;
    return {{"history-last-day.csv", csv.str(),
             "the readings of the last day from the history database " + path},
            {"alarms.txt", AlarmsTable(store.Alarms(filter)),
             "the alarms of the last week, the active and unacknowledged ones"}};
  } catch (const std::exception& e) {
    return {{"history-error.txt", std::string(e.what()) + "\n",
             "why the history database could not be read"}};
  }
}
