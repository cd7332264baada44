// Scans and batch operations through lim07ctl on a virtual line: the saved
// configuration, and the per-device report of what was confirmed.
#include <gtest/gtest.h>

#include <fstream>

#include "CliTestSupport.h"
#include "ConfigFile.h"
#include "VirtualLine.h"

namespace {

TSimDevice Sim(int address, int plant, int sensors, TDeviceProtocol protocol = dpLargis1) {
  TSimDevice d;
  d.Address = static_cast<std::uint8_t>(address);
  d.PlantNumber = static_cast<std::uint16_t>(plant);
  d.Temperatures.assign(static_cast<std::size_t>(sensors), 0x0150);
  d.UnmeasurableLevel = static_cast<std::uint16_t>(plant % 100);
  d.Protocol = protocol;
  return d;
}

struct TLoaded {
  TComPort Port;
  TDeviceList Devices;
};

std::unique_ptr<TLoaded> Load(const std::string& path) {
  auto l = std::make_unique<TLoaded>();
  LoadConfigurationFile(path, l->Port,
                        [&](std::unique_ptr<TDevice> d) { l->Devices.Add(d.release()); });
  return l;
}

}  // namespace

TEST(CliBatch, AddressScanSavesWhatTheModelReadsBack) {
  TVirtualLine line;
  line.AddDevice(Sim(252, 4711, 5));
  line.AddDevice(Sim(254, 4712, 3));
  line.AddDevice(Sim(250, 4713, 2));  // below the start address
  TTempDir dir;
  const std::string out = dir.File("found.l07");
  TCliRun r = RunInProcess({"--port", line.SlavePath(), "scan", "--start", "251", "--out", out});
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_NE(r.Out.find("Saved 2 device(s)"), std::string::npos) << r.Out;
  auto loaded = Load(out);
  ASSERT_EQ(loaded->Devices.Count(), 2);
  EXPECT_EQ(loaded->Devices[0]->SystemAddress(), 252);
  EXPECT_EQ(loaded->Devices[0]->PlantNumber(), 4711);
  EXPECT_EQ(loaded->Devices[0]->SensorCount(), 5);
  EXPECT_EQ(loaded->Devices[0]->UnmeasurableLevel, 11);
  EXPECT_EQ(loaded->Devices[0]->Name(), "ЛИМ-07_4711");
  EXPECT_EQ(loaded->Devices[1]->SystemAddress(), 254);
  EXPECT_EQ(loaded->Port.Port(), line.SlavePath());

  // Shown again from the file; an existing file is not replaced unasked.
  r = RunInProcess({"config", "show", out});
  EXPECT_EQ(r.Status, ecOk);
  EXPECT_NE(r.Out.find("ЛИМ-07_4712"), std::string::npos) << r.Out;
  const auto before = std::filesystem::file_size(out);
  r = RunInProcess({"--port", line.SlavePath(), "scan", "--start", "254", "--out", out});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("--force"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(out), before);
}

TEST(CliBatch, PlantNumberScanGivesConsecutiveAddresses) {
  TVirtualLine line;
  line.AddDevice(Sim(9, 100, 2));
  line.AddDevice(Sim(9, 102, 2));
  TTempDir dir;
  const std::string out = dir.File("plants.l07");
  TCliRun r = RunInProcess({"--port", line.SlavePath(), "scan", "--plants", "100-102", "--start",
                            "20", "--reserve", "--out", out, "--json"});
  EXPECT_EQ(r.Status, ecUnconfirmed) << r.Err;  // 101 is missing
  EXPECT_NE(r.Err.find("not found: plant number 101"), std::string::npos) << r.Err;
  EXPECT_EQ(line.Device(0).Address, 20);
  EXPECT_EQ(line.Device(1).Address, 22);  // 21 kept free for 101
  auto loaded = Load(out);
  ASSERT_EQ(loaded->Devices.Count(), 2);
  EXPECT_EQ(loaded->Devices[1]->SystemAddress(), 22);
  EXPECT_NE(r.Out.find("\"plant\":102"), std::string::npos) << r.Out;

  r = RunInProcess({"--port", line.SlavePath(), "--protocol", "modbus", "scan", "--plants", "5",
                    "--out", dir.File("x.l07")});
  EXPECT_EQ(r.Status, ecUsage);
  r = RunInProcess(
      {"--port", line.SlavePath(), "scan", "--plants", "5-x", "--out", dir.File("x.l07")});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("plant-number list"), std::string::npos) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.l07")));
}

TEST(CliBatch, FastScanUpToTheEndAddressInBothProtocols) {
  TTempDir dir;
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    TVirtualLine line;
    line.AddDevice(Sim(1, 501, 4, protocol));
    line.AddDevice(Sim(3, 503, 2, protocol));
    line.AddDevice(Sim(5, 505, 2, protocol));  // beyond the end
    const std::string out = dir.File(protocol == dpModbus ? "modbus.l07" : "native.l07");
    TCliRun r = RunInProcess({"--port", line.SlavePath(), "--protocol",
                              protocol == dpModbus ? "modbus" : "native", "scan", "--fast", "--end",
                              "4", "--out", out});
    ASSERT_EQ(r.Status, ecOk) << r.Err;
    auto loaded = Load(out);
    ASSERT_EQ(loaded->Devices.Count(), 2);
    EXPECT_EQ(loaded->Devices[0]->PlantNumber(), 501);
    EXPECT_EQ(loaded->Devices[0]->SensorCount(), 4);
    EXPECT_EQ(loaded->Devices[1]->SystemAddress(), 3);
    EXPECT_EQ(line.Device(2).Requests, 0);
  }
}

TEST(CliBatch, BatchReadReportsConfirmedAndUnconfirmedPerDevice) {
  TVirtualLine line;
  line.AddDevice(Sim(3, 1203, 6));
  line.AddDevice(Sim(4, 1204, 4));
  line.Modify(1, [](TSimDevice& d) { d.Faults.Silent = true; });
  TTempDir dir;
  const std::string config = dir.File("line.l07");
  // The configuration says 2 sensors for device 3; the device has 6.
  ASSERT_EQ(RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device",
                          "3:1203:2", "--device", "4:1204:4"})
                .Status,
            ecOk);
  TCliRun r = RunInProcess({"--config", config, "batch-read", "--json", "--save"});
  EXPECT_EQ(r.Status, ecUnconfirmed) << r.Err;
  EXPECT_NE(r.Out.find("\"address\":3,\"plant\":1203,\"confirmed\":[\"sensors\",\"c1\",\"h1\","
                       "\"c2\",\"h2\"],\"unconfirmed\":[\"coefficient\"]"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("\"address\":4,\"plant\":1204,\"confirmed\":[],\"unconfirmed\":[\"sensors\","
                       "\"c1\",\"h1\",\"c2\",\"h2\",\"coefficient\"]"),
            std::string::npos)
      << r.Out;
  auto loaded = Load(config);
  ASSERT_EQ(loaded->Devices.Count(), 2);
  EXPECT_EQ(loaded->Devices[0]->SensorCount(), 6);
  EXPECT_EQ(loaded->Devices[0]->UnmeasurableLevel, 3);

  line.Modify(1, [](TSimDevice& d) { d.Faults.Silent = false; });
  r = RunInProcess({"--config", config, "batch-read"});
  EXPECT_EQ(r.Status, ecOk) << r.Out;
}

TEST(CliBatch, WriteAddressesAndBatchWriteFromAConfiguration) {
  TVirtualLine line;
  line.AddDevice(Sim(3, 1203, 2));
  line.AddDevice(Sim(4, 1204, 2));
  TTempDir dir;
  const std::string config = dir.File("line.l07");
  ASSERT_EQ(RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device",
                          "13:1203:2", "--device", "14:1204:2"})
                .Status,
            ecOk);
  TCliRun r = RunInProcess({"--config", config, "write-addresses", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(0).Address, 13);
  EXPECT_EQ(line.Device(1).Address, 14);

  // The configuration's calibration (zeros from config new, coefficient 1).
  line.Modify(0, [](TSimDevice& d) { d.AveragingCoefficient = 8; });
  r = RunInProcess({"--config", config, "--address", "13", "batch-write", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(0).AveragingCoefficient, 1);

  // Duplicate addresses: refused before anything is sent.
  const std::string dup = dir.File("dup.l07");
  ASSERT_EQ(RunInProcess({"config", "new", dup, "--port", line.SlavePath(), "--device", "5:1203",
                          "--device", "5:1204"})
                .Status,
            ecOk);
  line.ClearFrames();
  r = RunInProcess({"--config", dup, "write-addresses", "--yes"});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("Обнаружено совпадение системных адресов!"), std::string::npos) << r.Err;
  EXPECT_EQ(line.FrameCount(), 0u);
}
