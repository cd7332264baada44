// lim07ctl against a virtual line, through the real port code: each test has
// its own line of simulated devices with fixed readings.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "CliTestSupport.h"
#include "ConfigFile.h"
#include "Format.h"
#include "VirtualLine.h"

namespace {

using namespace std::chrono_literals;

TSimDevice Sim(int address, int plant, std::vector<std::uint16_t> temperatures, double levelMetres,
               std::uint16_t levelCode, TDeviceProtocol protocol = dpLargis1) {
  TSimDevice d;
  d.Address = static_cast<std::uint8_t>(address);
  d.PlantNumber = static_cast<std::uint16_t>(plant);
  d.Temperatures = std::move(temperatures);
  d.LevelMetres = levelMetres;
  d.LevelCode = levelCode;
  d.Protocol = protocol;
  d.CalibrationCode1 = 4100;
  d.UnmeasurableLevel = 7;
  d.CalibrationCode2 = 7200;
  d.CalibrationLevel2 = 180;
  d.AveragingCoefficient = 3;
  return d;
}

// Two devices: 25.50, -3.25 and a fault mark at address 5; 0.06 and no data
// at address 6.
void AddPair(TVirtualLine& line, TDeviceProtocol protocol = dpLargis1) {
  line.AddDevice(Sim(5, 1234, {0x0198, 0xFFCC, 0xAAAA}, 3.4, 5000, protocol));
  line.AddDevice(Sim(6, 1300, {0x0001, 0xDDDD}, 12.0, 6100, protocol));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(CliLine, PollTwoCyclesPrintsTheDevicesReadings) {
  TVirtualLine line;
  AddPair(line);
  const TCliRun r =
      RunInProcess({"--port", line.SlavePath(), "--addresses", "5-6", "poll", "--cycles", "2"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_EQ(CountOf(r.Out, "Cycle "), 2);
  EXPECT_NE(r.Out.find("Cycle 2"), std::string::npos);
  // Identified first: default names from the plant numbers.
  EXPECT_EQ(CountOf(r.Out, "ЛИМ-07_1234"), 2);
  EXPECT_EQ(CountOf(r.Out, "ЛИМ-07_1300"), 2);
  for (const char* value : {"25.50", "-3.25", "****", "0.06", "5000", " 34 ", "6100", " 120 "})
    EXPECT_EQ(CountOf(r.Out, value), 2) << value << "\n" << r.Out;
  // Both cycles went to both devices: level and temperature reads each.
  EXPECT_GE(line.Device(0).Requests, 2 + 2 * 2);
}

TEST(CliLine, PollJsonAndCsvRowsAppendedWithATimestampPerDevice) {
  TVirtualLine line;
  AddPair(line);
  TTempDir dir;
  const std::string csv = dir.File("log.csv");
  const std::vector<std::string> args = {"--port", line.SlavePath(), "--addresses", "5,6",
                                         "poll",   "--cycles",       "2",           "--csv",
                                         csv,      "--json"};
  TCliRun r = RunInProcess(args);
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  const auto json = Lines(r.Out);
  ASSERT_EQ(json.size(), 2u) << r.Out;
  EXPECT_EQ(json[1].rfind("{\"cycle\":2,\"time\":\"", 0), 0u) << json[1];
  EXPECT_NE(json[0].find("\"temperatures\":[25.50,-3.25,\"****\"]"), std::string::npos) << json[0];
  EXPECT_NE(json[0].find("\"temperatures\":[0.06,null]"), std::string::npos) << json[0];

  r = RunInProcess(args);  // a second run appends
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  const auto rows = Lines(ReadFile(csv));
  ASSERT_EQ(rows.size(), 1u + 4 * 2) << ReadFile(csv);
  EXPECT_EQ(rows[0], "time,name,address,plant,level_code,level_dm,state,t1,t2,t3,result");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    // 2024-05-17T10:31:02.153,...
    ASSERT_GT(rows[i].size(), 24u);
    EXPECT_EQ(rows[i][4], '-');
    EXPECT_EQ(rows[i][10], 'T');
    EXPECT_EQ(rows[i][23], ',');
    const std::string fields = rows[i].substr(24);
    if (i % 2 == 1)
      EXPECT_EQ(fields,
                "ЛИМ-07_1234,5,1234,5000,34,0x00,25.50,-3.25,****,Операция завершена успешно");
    else
      EXPECT_EQ(fields, "ЛИМ-07_1300,6,1300,6100,120,0x00,0.06,,,Операция завершена успешно");
  }
}

TEST(CliLine, IdAndReadReportSilentDevicesWithStatusOne) {
  TVirtualLine line;
  AddPair(line);
  line.Modify(1, [](TSimDevice& d) { d.Faults.Silent = true; });
  TCliRun r = RunInProcess({"--port", line.SlavePath(), "--addresses", "5-6", "id", "--json"});
  EXPECT_EQ(r.Status, ecUnconfirmed);
  EXPECT_NE(r.Out.find("\"address\":5,\"ok\":true,\"plant\":1234"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\"address\":6,\"ok\":false"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Нет связи с прибором"), std::string::npos) << r.Out;

  r = RunInProcess({"--port", line.SlavePath(), "--address", "5", "read"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_NE(r.Out.find("25.50"), std::string::npos) << r.Out;
}

TEST(CliLine, ModbusReadAndSettingsThroughAConfiguration) {
  TVirtualLine line;
  AddPair(line, dpModbus);
  TTempDir dir;
  const std::string config = dir.File("line.l07");
  TCliRun r = RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device",
                            "5:1234:3:Силос 1", "--device", "6:1300:2"});
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  r = RunInProcess({"config", "show", config, "--json"});
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_NE(r.Out.find("\"port\":" + JsonString(line.SlavePath())), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("{\"name\":\"Силос 1\",\"address\":5,\"plant\":1234,\"sensors\":3"),
            std::string::npos)
      << r.Out;

  r = RunInProcess({"--config", config, "--protocol", "modbus", "read", "--json"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_NE(r.Out.find("\"name\":\"Силос 1\""), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("[25.50,-3.25,\"****\"]"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\"level_dm\":34"), std::string::npos) << r.Out;

  // The sensor count and unmeasurable level read back and saved.
  line.Modify(0, [](TSimDevice& d) { d.UnmeasurableLevel = 9; });
  r = RunInProcess(
      {"--config", config, "--protocol", "modbus", "--address", "5", "settings", "--save"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  TComPort port;
  TDeviceList devices;
  LoadConfigurationFile(config, port,
                        [&](std::unique_ptr<TDevice> d) { devices.Add(d.release()); });
  ASSERT_EQ(devices.Count(), 2);
  EXPECT_EQ(devices[0]->UnmeasurableLevel, 9);
  EXPECT_EQ(devices[0]->Name(), "Силос 1");
  EXPECT_EQ(devices[1]->PlantNumber(), 1300);
}

TEST(CliLine, NativeSettingsWriteChangesOnlyWhatWasGiven) {
  TVirtualLine line;
  AddPair(line);
  TCliRun r = RunInProcess(
      {"--port", line.SlavePath(), "--address", "5", "write-settings", "--coefficient", "9"});
  EXPECT_EQ(r.Status, ecUsage);  // no terminal: needs --yes
  EXPECT_NE(r.Err.find("--yes"), std::string::npos);
  EXPECT_EQ(line.Device(0).AveragingCoefficient, 3);

  r = RunInProcess({"--port", line.SlavePath(), "--address", "5", "write-settings", "--coefficient",
                    "9", "--h2", "210", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  const TSimDevice d = line.Device(0);
  EXPECT_EQ(d.AveragingCoefficient, 9);
  EXPECT_EQ(d.CalibrationLevel2, 210);
  EXPECT_EQ(d.CalibrationCode1, 4100);
  EXPECT_EQ(d.CalibrationCode2, 7200);
  EXPECT_EQ(d.UnmeasurableLevel, 7);
}

TEST(CliLine, SetAddressAndEmptyBunkerCalibration) {
  TVirtualLine line;
  AddPair(line);
  TCliRun r = RunInProcess(
      {"--port", line.SlavePath(), "set-address", "--plant", "1300", "--to", "17", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_EQ(line.Device(1).Address, 17);
  r = RunInProcess(
      {"--port", line.SlavePath(), "set-address", "--plant", "4321", "--to", "18", "--yes"});
  EXPECT_EQ(r.Status, ecUnconfirmed) << r.Out;

  r = RunInProcess({"--port", line.SlavePath(), "--address", "17", "calibrate-empty", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(1).EmptyBunkerCalibrations, 1);
  EXPECT_EQ(line.Device(1).UnmeasurableLevel, 7);  // kept: read from the device first
}

TEST(CliLine, SwitchProtocolBroadcastsInTheProtocolSpokenNow) {
  TVirtualLine line;
  AddPair(line);
  TCliRun r = RunInProcess({"--port", line.SlavePath(), "switch-protocol", "modbus", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  ASSERT_TRUE(line.WaitDevice(
      1, [](const TSimDevice& d) { return d.Protocol == dpModbus; }, 2s));
  std::vector<TSimFrame> frames = line.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().Bytes.at(0), 0xFF);  // native broadcast address
  EXPECT_TRUE(frames.back().Answer.empty());

  line.ClearFrames();
  r = RunInProcess(
      {"--port", line.SlavePath(), "--protocol", "modbus", "switch-protocol", "native", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err;
  ASSERT_TRUE(line.WaitDevice(
      0, [](const TSimDevice& d) { return d.Protocol == dpLargis1; }, 2s));
  frames = line.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().Bytes.at(0), 0x00);  // Modbus broadcast address
}

TEST(CliLine, UploadDeliversTheImageToOneDevice) {
  TVirtualLine line;
  AddPair(line, dpModbus);
  TTempDir dir;
  const std::string image = dir.File("fw.bin2");
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 7 + 1);
  std::ofstream(image, std::ios::binary) << bytes;

  const TCliRun r = RunInProcess({"--port", line.SlavePath(), "--protocol", "modbus", "--address",
                                  "6", "--plant", "1300", "upload", image, "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_NE(r.Out.find("firmware delivered"), std::string::npos) << r.Out;
  const TSimDevice d = line.Device(1);
  EXPECT_EQ(d.FirmwareUploads, 1);
  ASSERT_EQ(d.Firmware.size(), 384u);  // three blocks, the last one padded
  EXPECT_EQ(std::string(d.Firmware.begin(), d.Firmware.begin() + 300), bytes);
  EXPECT_EQ(line.Device(0).FirmwareUploads, 0);
}

TEST(CliLine, UploadToEveryDeviceReportsEachOne) {
  TVirtualLine line;
  AddPair(line, dpModbus);
  line.Modify(0, [](TSimDevice& d) { d.Faults.Silent = true; });  // misses its mode switch
  TTempDir dir;
  const std::string config = dir.File("line.l07");
  ASSERT_EQ(RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device", "5:1234",
                          "--device", "6:1300"})
                .Status,
            ecOk);
  const std::string image = dir.File("fw.bin2");
  std::ofstream(image, std::ios::binary) << std::string(130, 'F');
  const TCliRun r = RunInProcess(
      {"--config", config, "--protocol", "modbus", "upload", image, "--yes", "--json"});
  EXPECT_EQ(r.Status, ecUnconfirmed) << r.Err;
  EXPECT_NE(r.Out.find("\"address\":5,\"delivered\":false"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\"address\":6,\"delivered\":true"), std::string::npos) << r.Out;
  EXPECT_EQ(line.Device(0).FirmwareUploads, 0);
  EXPECT_EQ(line.Device(1).FirmwareUploads, 1);
  EXPECT_EQ(line.Device(1).Firmware.size(), 256u);
}

TEST(CliLine, BadInputIsRefusedAndTouchesNothing) {
  TVirtualLine line;
  AddPair(line, dpModbus);
  TTempDir dir;
  // Firmware that fails its checks, or the wrong protocol: nothing is sent.
  std::ofstream(dir.File("empty.bin2"), std::ios::binary);
  TCliRun r = RunInProcess({"--port", line.SlavePath(), "--protocol", "modbus", "--address", "5",
                            "--plant", "1234", "upload", dir.File("empty.bin2"), "--yes"});
  EXPECT_EQ(r.Status, ecUsage);
  r = RunInProcess({"--port", line.SlavePath(), "--protocol", "modbus", "--address", "5", "upload",
                    dir.File("missing.bin2"), "--yes"});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("missing.bin2"), std::string::npos) << r.Err;
  EXPECT_EQ(line.FrameCount(), 0u);

  // A damaged configuration is reported and left as it is.
  const std::string garbage = dir.File("bad.l07");
  std::ofstream(garbage, std::ios::binary) << "TPF0 this is not a settings block";
  r = RunInProcess({"--config", garbage, "read"});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("cannot be read"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadFile(garbage), "TPF0 this is not a settings block");

  // config new never replaces a file unasked.
  r = RunInProcess({"config", "new", garbage, "--device", "1:2"});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_EQ(ReadFile(garbage), "TPF0 this is not a settings block");

  // An address that is not in the configuration.
  const std::string config = dir.File("ok.l07");
  ASSERT_EQ(
      RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device", "5:1234"})
          .Status,
      ecOk);
  r = RunInProcess({"--config", config, "--address", "9", "id"});
  EXPECT_EQ(r.Status, ecUsage);
  EXPECT_NE(r.Err.find("address 9 is not in"), std::string::npos) << r.Err;
  EXPECT_EQ(line.FrameCount(), 0u);
}

TEST(CliLine, PortProblemsExitThreeWithTheReason) {
  TCliRun r = RunInProcess({"--port", "/dev/lim07-no-such-port", "--address", "1", "id"});
  EXPECT_EQ(r.Status, ecPort);
  EXPECT_NE(r.Err.find("not found"), std::string::npos) << r.Err;

  TVirtualLine line;
  TComPort holder;  // another program has the port
  holder.SetPort(line.SlavePath());
  holder.Open();
  r = RunInProcess({"--port", line.SlavePath(), "--address", "1", "id"});
  EXPECT_EQ(r.Status, ecPort);
  EXPECT_NE(r.Err.find("busy"), std::string::npos) << r.Err;

  TTempDir dir;
  std::ofstream(dir.File("plain")) << "x";
  r = RunInProcess({"--port", dir.File("plain"), "--address", "1", "id"});
  EXPECT_EQ(r.Status, ecPort);
  EXPECT_NE(r.Err.find("not a serial port"), std::string::npos) << r.Err;
}
