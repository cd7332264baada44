// Configuration files of 5,000 devices: load, save and sort, each as a ratio
// to reading or writing the same number of bytes raw, measured side by side
// (median of several repetitions). With the window library linked in, the
// same through the window (device table filled, the table re-sorted).
// Prints a table and exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ComPort.h"
#include "ConfigFile.h"
#include "Device.h"
#include "DeviceList.h"

#ifdef LIM07_BENCH_WINDOW
#include <QApplication>

#include "MainForm.h"
#include "UiHooks.h"
#endif

namespace {

constexpr int kDevices = 5000;
constexpr int kRepetitions = 7;

double MedianMs(int repetitions, const std::function<void()>& setup,
                const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i) {
    setup();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void FillList(TDeviceList& list) {
  std::srand(7);
  for (int i = 0; i < kDevices; ++i) {
    auto* d = new TDevice;
    d->SetName("ЛИМ-07_" + std::to_string(i));
    d->SetPlantNumber(static_cast<std::uint16_t>(std::rand()));
    d->SetSystemAddress(static_cast<std::uint8_t>(1 + std::rand() % 254));
    d->SetSensorCount(1 + std::rand() % 32);
    d->SetNote("бункер " + std::to_string(i % 40));
    list.Add(d);
  }
}

std::string RawRead(const std::string& path) {
  std::string data;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) data.append(buffer, n);
  close(fd);
  return data;
}

// The same durability as the save: written, flushed to the disk, renamed.
void RawWrite(const std::string& path, const std::string& data) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::abort();
  fsync(fd);
  close(fd);
  std::rename(temp.c_str(), path.c_str());
}

void Row(const char* what, double ours, double raw) {
  std::printf("%-44s %10.2f %10.3f %10.1f\n", what, ours, raw, ours / raw);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/lim07-bench-config-XXXXXX";
  if (!mkdtemp(tmpl)) return 0;
  const std::string dir = tmpl;
  const std::string file = dir + "/big.l07";
  const std::string rawFile = dir + "/raw.bin";

  TComPort port;
  port.SetPort("COM1");
  port.SetLeft(104);
  port.SetTop(168);
  TDeviceList list;
  FillList(list);
  SaveConfigurationFile(file, port, list);
  const std::string image = RawRead(file);
  RawWrite(rawFile, image);

  std::printf("Configuration of %d devices, %zu bytes; median of %d runs\n", kDevices, image.size(),
              kRepetitions);
  std::printf("%-44s %10s %10s %10s\n", "", "ours ms", "raw ms", "ratio");

  const double rawRead = MedianMs(
      kRepetitions, [] {}, [&] { RawRead(rawFile); });
  const double rawWrite = MedianMs(
      kRepetitions, [] {}, [&] { RawWrite(rawFile, image); });

  TDeviceList loaded;
  const double load = MedianMs(
      kRepetitions, [&] { loaded.Clear(); },
      [&] {
        TComPort p;
        LoadConfigurationFile(file, p,
                              [&](std::unique_ptr<TDevice> d) { loaded.Add(d.release()); });
      });
  Row("load (settings + records) / raw read", load, rawRead);
  const double save = MedianMs(
      kRepetitions, [] {}, [&] { SaveConfigurationFile(file, port, list); });
  Row("save (temporary, fsync, rename) / raw write", save, rawWrite);
  bool byPlant = false;
  const double sort = MedianMs(
      kRepetitions, [&] { byPlant = !byPlant; },
      [&] { byPlant ? loaded.SortByPlantNumber() : loaded.SortBySystemAddress(); });
  Row("sort the list / raw read", sort, rawRead);

#ifdef LIM07_BENCH_WINDOW
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TUiHooks hooks;
  hooks.Dialogs = [](QDialog&) { return int(QDialog::Rejected); };
  hooks.Messages = [](const TMessageRequest&) { return int(mrNo); };
  TMainForm form;
  const QString name = QString::fromStdString(file);
  const double windowLoad = MedianMs(
      3, [&] { form.FModified = false; }, [&] { form.LoadConfiguration(name); });
  Row("window: open (table filled) / raw read", windowLoad, rawRead);
  const double windowSave = MedianMs(
      3, [&] { form.FModified = true; }, [&] { form.SaveConfiguration(name); });
  Row("window: save / raw write", windowSave, rawWrite);
  bool windowByPlant = false;
  const double windowSort = MedianMs(
      3, [&] { windowByPlant = !windowByPlant; },
      [&] { form.SortDevices(windowByPlant ? TSortKey::PlantNumber : TSortKey::SystemAddress); });
  Row("window: sort (table refilled) / raw read", windowSort, rawRead);
  form.FModified = false;
#else
  (void)argc;
  (void)argv;
#endif
  fs::remove_all(dir);
  return 0;
}
