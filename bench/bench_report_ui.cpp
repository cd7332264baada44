// The commissioning report of a large line: 247 devices x 32 sensors, each
// read, with a few faults, no-data words and silent devices; the PDF written
// with a profile per device and without, each the median of several runs,
// against the goal of 5 s with profiles. `--keep FILE.pdf` keeps one report
// to look at.
// Usage: bench_report_ui [--keep FILE.pdf]. Prints its table and exits 0.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ReportWriter.h"

namespace {

TReportData Line(int devices, int sensors) {
  TReportData data;
  data.Head = {QString::fromUtf8("Элеватор"), QString::fromUtf8("Инженер"),
               QStringLiteral("01.01.2027"), QString()};
  data.PortText = QStringLiteral("/dev/ttyUSB0, 9600");
  data.ProtocolText = ProtocolName(0);
  data.CreatedMs = 1'700'000'000'000;
  auto snapshot = std::make_shared<TLineSnapshot>();
  snapshot->TimeMs = data.CreatedMs;
  for (int d = 0; d < devices; ++d) {
    TReportDevice device;
    device.Name = "Силос " + std::to_string(d + 1);
    device.PlantNumber = static_cast<std::uint16_t>(1000 + d * 2);
    device.SystemAddress = static_cast<std::uint8_t>(d % 254 + 1);
    device.SensorCount = static_cast<std::uint8_t>(sensors);
    device.Firmware = "2 / 14";
    data.Devices.push_back(device);
    TDeviceReading r;
    r.Name = device.Name;
    r.PlantNumber = device.PlantNumber;
    r.SystemAddress = device.SystemAddress;
    r.SensorCount = device.SensorCount;
    r.Level = static_cast<std::uint16_t>(40 + (d * 7) % 160);
    const bool ok = d % 50 != 17;
    r.Outcomes = {
        {"Чтение уровня", ok ? "Операция завершена успешно" : "Нет связи с прибором", ok}};
    SetPollOutcomes(r, 1, r.Outcomes);
    for (int i = 0; i < sensors; ++i) {
      const double t = 8 + 20 * std::sin(3.14159 * i / sensors) + d % 5;
      std::uint16_t word = static_cast<std::uint16_t>(static_cast<std::int16_t>(t * 16));
      if ((d * 31 + i) % 97 == 0) word = kFaultTemperatureA;
      if ((d * 17 + i) % 89 == 0) word = kNoDataTemperature;
      r.Temperatures.push_back(word);
    }
    snapshot->Devices.push_back(std::move(r));
  }
  std::vector<int> plants;
  for (const TReportDevice& d : data.Devices) plants.push_back(d.PlantNumber);
  data.MissingNumbers = GetLostMumberReport(plants);
  data.Readings = snapshot;
  return data;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QString keep;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--keep") == 0) keep = QString::fromLocal8Bit(argv[i + 1]);
  constexpr int kRuns = 5;
  QTemporaryDir dir;
  TReportData data = Line(247, 32);
  std::printf("Commissioning report of 247 devices x 32 sensors (median of %d runs)\n", kRuns);
  std::printf("%-34s %8s %8s %10s %12s\n", "report", "pages", "ms", "KiB", "of the goal");
  double with = 0, without = 0;
  for (bool profiles : {true, false}) {
    data.Profiles = profiles;
    std::vector<double> ms;
    int pages = 0;
    const QString file = dir.filePath(QStringLiteral("report.pdf"));
    for (int run = 0; run < kRuns; ++run) {
      QString error;
      QElapsedTimer t;
      t.start();
      if (!WriteReportPdf(data, file, error, [&](int, int total) {
            pages = total;
            return true;
          })) {
        std::printf("failed: %s\n", error.toUtf8().constData());
        return 0;
      }
      ms.push_back(t.nsecsElapsed() / 1e6);
    }
    const double m = Median(ms);
    (profiles ? with : without) = m;
    std::printf("%-34s %8d %8.0f %10.0f %12.3f\n",
                profiles ? "with a profile per device" : "without profiles", pages, m,
                QFileInfo(file).size() / 1024.0, m / 5000.0);
    if (profiles && !keep.isEmpty()) {
      QString error;
      WriteReportPdf(data, keep, error);
    }
  }
  std::printf("goal: with profiles <= 5000 ms (1.000 of the goal); profiles: x%.2f the time\n",
              with / std::max(1.0, without));
  return 0;
}
