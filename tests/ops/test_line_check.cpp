// The line check on the virtual line: a sound device, one with link faults,
// one moved to another speed, one switched to Modbus and one that is gone;
// the port comes back as it was and nothing is written to any device. And
// the support bundle's contents.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <filesystem>
#include <fstream>

#include "ConfigFile.h"
#include "LineCheck.h"
#include "PollingTestHost.h"
#include "SupportBundle.h"

namespace {

class TCheckHost : public TPollingTestHost {
 public:
  void ProgressPercent(int percent) override {
    std::lock_guard lock(Mutex);
    Progress.push_back(percent);
  }
  std::mutex Mutex;
  std::vector<int> Progress;
};

TSimDevice SimDevice(std::uint8_t address, std::uint16_t plant) {
  TSimDevice d;
  d.Name = "Силос " + std::to_string(address);
  d.Address = address;
  d.PlantNumber = plant;
  d.Temperatures = {0x0190, 0x0180};
  return d;
}

}  // namespace

TEST(LineCheck, FindsTheDeviceAtAnotherSpeedAndTheOneInModbusAndPutsThePortBack) {
  TVirtualLine line;
  TCheckHost host;
  TSimDevice sound = SimDevice(1, 1201), faulty = SimDevice(2, 1202), fast = SimDevice(3, 1203),
             modbus = SimDevice(4, 1204), gone = SimDevice(5, 1205);
  faulty.Faults.BadCrc = true;
  faulty.Faults.Remaining = 2;
  fast.Baud = 19200;
  modbus.Protocol = dpModbus;
  gone.Faults.Silent = true;
  for (const TSimDevice& d : {sound, faulty, fast, modbus, gone}) {
    line.AddDevice(d);
    host.AddRecord(d);
  }
  host.Open(line);
  TComPort& port = host.ComPort();
  port.Parity().SetBits(prEven);
  port.Timeouts().SetReadTotalConstant(250);
  const int appliedBefore = port.LineSettingsApplyCount();

  TLineCheckOptions options;
  options.Exchanges = 4;
  options.BaudRates = {9600, 19200};
  options.ProbeAttempts = 1;
  auto* thread = new TLineCheckThread(&host, options);
  const auto report = thread->Report();
  thread->start();
  ASSERT_TRUE(thread->wait(QDeadlineTimer(60000)));
  delete thread;

  std::lock_guard lock(report->Mutex);
  ASSERT_TRUE(report->Done);
  ASSERT_EQ(report->Error, "");
  const auto& c = report->Checks;
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].Verdict, cvHealthy);
  EXPECT_EQ(c[0].RateText(), "4 из 4 (100 %)");
  EXPECT_EQ(c[0].AnsweredPlant, 1201);
  EXPECT_EQ(c[1].Verdict, cvLinkFaults);
  EXPECT_EQ(c[1].Successes, 2);
  EXPECT_EQ(c[1].Failures.at("Ошибка контрольной суммы"), 2);
  EXPECT_EQ(c[2].Verdict, cvOtherBaud);
  EXPECT_EQ(c[2].DetailText(), "отвечает на 19200, Ларгис-1 (зав. № 1203)");
  EXPECT_EQ(c[3].Verdict, cvOtherProtocol);
  EXPECT_EQ(c[3].DetailText(), "отвечает на 9600, Modbus (зав. № 1204)");
  EXPECT_EQ(c[4].Verdict, cvSilent);
  EXPECT_EQ(c[4].Failures.at("Нет связи с прибором"), 4);
  EXPECT_STREQ(VerdictText(c[4].Verdict), "не отвечает");
  const std::string text = LineCheckText(c, 9600, dpLargis1);
  EXPECT_NE(text.find("другая скорость"), std::string::npos) << text;
  EXPECT_NE(LineCheckJson(c).find("\"answersAt\":{\"baud\":19200,\"protocol\":\"native\"}"),
            std::string::npos);

  // The port as it was; it went elsewhere in between.
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.Parity().Bits(), prEven);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 250);
  EXPECT_GT(port.LineSettingsApplyCount(), appliedBefore);
  // Identification reads only: the devices are as they were, the records too.
  for (const TSimFrame& f : line.Frames()) {
    if (f.Bytes.size() > 1) {
      EXPECT_TRUE(f.Bytes[1] == 0x20 || f.Bytes[1] == 0x2B) << SimHex(f.Bytes);
    }
  }
  EXPECT_EQ(line.Device(3).Protocol, dpModbus);
  EXPECT_EQ(line.Device(2).Address, 3);
  EXPECT_EQ(host.Devices()[2]->LastOperation, TDevice().LastOperation);  // untouched
  std::lock_guard progress(host.Mutex);
  ASSERT_FALSE(host.Progress.empty());
  EXPECT_TRUE(std::is_sorted(host.Progress.begin(), host.Progress.end()));
  EXPECT_EQ(host.Progress.back(), 100);
}

TEST(LineCheck, StopEndsTheCheckSoonAndSaysSo) {
  TVirtualLine line;
  TCheckHost host;
  TSimDevice gone = SimDevice(1, 1201);
  gone.Faults.Silent = true;
  line.AddDevice(gone);
  host.AddRecord(gone);
  host.AddRecord(SimDevice(2, 1202));
  host.Open(line);
  TLineCheckThread thread(&host);  // 20 exchanges, then every speed: many seconds
  const auto report = thread.Report();
  thread.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  thread.Terminate();
  ASSERT_TRUE(thread.wait(QDeadlineTimer(3000)));
  std::lock_guard lock(report->Mutex);
  ASSERT_EQ(report->Checks.size(), 1u);
  EXPECT_TRUE(report->Checks[0].Stopped);
  EXPECT_NE(report->Checks[0].DetailText().find("проверка остановлена"), std::string::npos);
  EXPECT_EQ(host.ComPort().BaudRate(), br9600);
}

TEST(SupportBundle, HoldsWhatItSaysAndNothingElse) {
  TComPort port;
  port.SetPort("/dev/ttyUSB7");
  port.SetBaudRate(br19200);
  TDeviceList devices;
  auto* d = new TDevice;
  d->SetName("Силос 1");
  d->SetSystemAddress(3);
  d->SetPlantNumber(1234);
  devices.Add(d);
  std::vector<TFramePtr> frames;
  for (int i = 0; i < 5; ++i) {
    auto f = std::make_shared<TFrameRecord>();
    f->Bytes = {0x05, 0x20, 0x01, 0xB9, 0xC1};
    f->FirstParity = prMark;
    f->RestParity = prSpace;
    frames.push_back(f);
  }
  TLineStatistics statistics;
  statistics.Record({3, "Силос 1", 1234, false, "Чтение", "Нет связи с прибором", -1, 0});
  const TSupportBundle bundle = BuildSupportBundle(port, dpModbus, devices, "/srv/line.l07", frames,
                                                   statistics.Snapshot(), "Проверка линии: ...\n");
  const std::string dir = testing::TempDir() + "bundle-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/support.tar.gz";
  WriteSupportBundle(path, bundle);
  const auto files = ReadSupportBundle(path);
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.Name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"README.txt", "version.txt", "system.txt", "port.txt",
                                      "serial-ports.txt", "configuration.l07", "frames.txt",
                                      "statistics.txt", "statistics.json", "line-check.txt"}));
  auto contents = [&](const std::string& name) {
    for (const auto& f : files)
      if (f.Name == name) return f.Contents;
    return std::string();
  };
  for (const std::string& name : names)
    EXPECT_NE(contents("README.txt").find("  " + name + "  "), std::string::npos) << name;
  EXPECT_NE(contents("port.txt").find("Port: /dev/ttyUSB7"), std::string::npos);
  EXPECT_NE(contents("port.txt").find("BaudRate: 19200"), std::string::npos);
  EXPECT_NE(contents("port.txt").find("Protocol in use: Modbus"), std::string::npos);
  EXPECT_NE(contents("system.txt").find("Qt: 6."), std::string::npos);
  EXPECT_NE(contents("version.txt").find("Настройка ЛИМ-07"), std::string::npos);
  const std::string frameText = contents("frames.txt");
  EXPECT_EQ(std::count(frameText.begin(), frameText.end(), '\n'), 5);
  EXPECT_NE(contents("frames.txt").find("Чтение идентификации устройства"), std::string::npos);
  EXPECT_NE(contents("statistics.txt").find("1 × Нет связи с прибором"), std::string::npos);
  // The configuration reads back as the program's own file.
  const std::string config = dir + "/back.l07";
  std::ofstream(config, std::ios::binary) << contents("configuration.l07");
  TComPort loaded;
  TDeviceList back;
  LoadConfigurationFile(config, loaded, [&](std::unique_ptr<TDevice> x) { back.Add(x.release()); });
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back[0]->PlantNumber(), 1234);
  EXPECT_EQ(loaded.Port(), "/dev/ttyUSB7");

  // A place that cannot be written: a failure, and no half-written file.
  EXPECT_THROW(WriteSupportBundle(dir + "/missing/support.tar.gz", bundle), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
  std::filesystem::remove_all(dir);
}
