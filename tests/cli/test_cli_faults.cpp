// A failure never reads as success: every subcommand that talks to a device,
// in both protocols, against a device with each fault of the virtual line.
// The printed result, the JSON, the CSV and the exit status say failure, and
// the configuration after --save is byte for byte what it was.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

#include "CliTestSupport.h"
#include "ConfigFile.h"
#include "VirtualLine.h"

namespace {

using namespace std::chrono_literals;

const std::string kSuccess = "Операция завершена успешно";

enum TFault { fSilent, fBadCrc, fErrorAnswer, fShort, fSensorCount, fWrongPlant };
const char* const kFaultNames[] = {"Silent",      "BadCrc",      "ErrorAnswer",
                                   "WrongLength", "SensorCount", "WrongPlant"};

struct TCommandCase {
  const char* Name;
  std::vector<std::string> Args;  // "{plant}": the configuration's plant number
  bool Native = true, Modbus = true;
  bool DataRead = false;  // read and poll: the sensor-count fault applies, the plant is not checked
};

const TCommandCase kCommands[] = {
    {"Id", {"id"}},
    {"Read", {"read"}, true, true, true},
    {"Poll", {"poll", "--cycles", "1"}, true, true, true},
    {"Settings", {"settings", "--save"}},
    {"WriteSettings", {"write-settings", "--level", "12", "--yes", "--save"}},
    {"SetAddress", {"--plant", "{plant}", "set-address", "--to", "9", "--yes", "--save"}},
    {"CalibrateEmpty", {"calibrate-empty", "--level", "12", "--yes", "--save"}},
    {"BatchRead", {"batch-read", "--save"}},
    {"BatchWrite", {"batch-write", "--yes"}, true, false},
    {"WriteAddresses", {"write-addresses", "--yes"}},
    {"Upload", {"upload", "{image}", "--yes"}, false, true},
};

using TParam = std::tuple<TCommandCase, TDeviceProtocol, TFault>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The JSON without the per-request details (a native level read can succeed
// while the temperature read of the same device fails).
std::string WithoutRequests(const std::string& json) {
  return std::regex_replace(json, std::regex(R"("requests":\[[^\]]*\])"), "");
}

// gtest names the case by these (instead of dumping the bytes).
void PrintTo(const TCommandCase& command, std::ostream* out) {
  *out << command.Name;
}

// Every subcommand, in each protocol it is offered in, with each fault that
// applies to it: the sensor-count fault only to data answers, and data reads
// do not check the plant number.
std::vector<TParam> Cases() {
  std::vector<TParam> cases;
  for (const TCommandCase& command : kCommands)
    for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
      if (!(protocol == dpLargis1 ? command.Native : command.Modbus)) continue;
      for (TFault fault : {fSilent, fBadCrc, fErrorAnswer, fShort, fSensorCount, fWrongPlant}) {
        const bool applies = fault == fSensorCount  ? command.DataRead
                             : fault == fWrongPlant ? !command.DataRead
                                                    : true;
        if (applies) cases.emplace_back(command, protocol, fault);
      }
    }
  return cases;
}

class CliFaults : public testing::TestWithParam<TParam> {};

TEST_P(CliFaults, FailureIsReportedAndNothingIsStored) {
  const auto& [command, protocol, fault] = GetParam();

  TVirtualLine line;
  TSimDevice sim;
  sim.Address = 5;
  sim.PlantNumber = 1234;
  sim.Protocol = protocol;
  sim.Temperatures = {0x0198, 0xFFCC, 0x0010};
  sim.LevelMetres = 3.4;
  sim.UnmeasurableLevel = 7;
  line.AddDevice(sim);
  line.Modify(0, [fault = fault](TSimDevice& d) {
    d.Faults.Silent = fault == fSilent;
    d.Faults.BadCrc = fault == fBadCrc;
    d.Faults.ErrorCode = fault == fErrorAnswer ? 2 : -1;
    d.Faults.ShortBy = fault == fShort ? 2 : 0;
    d.Faults.SensorCount = fault == fSensorCount ? 2 : -1;
  });

  TTempDir dir;
  const std::string config = dir.File("line.l07");
  const std::string plant = fault == fWrongPlant ? "4321" : "1234";
  ASSERT_EQ(RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device",
                          "5:" + plant + ":3:Силос"})
                .Status,
            ecOk);
  const std::string image = dir.File("fw.bin2");
  std::ofstream(image, std::ios::binary) << std::string(200, 'F');
  const std::string before = ReadFile(config);

  std::vector<std::string> args = {"--config", config, "--protocol",
                                   protocol == dpModbus ? "modbus" : "native"};
  for (const std::string& a : command.Args)
    args.push_back(a == "{plant}" ? plant : a == "{image}" ? image : a);

  // The printed form (a CSV log for poll) and the JSON.
  const std::string csv = dir.File("log.csv");
  std::vector<std::string> plain = args;
  if (command.Name == std::string("Poll")) plain.insert(plain.end(), {"--csv", csv});
  const TCliRun text = RunInProcess(plain);
  EXPECT_EQ(text.Status, ecUnconfirmed) << text.Out << text.Err;
  EXPECT_EQ(text.Out.find(kSuccess), std::string::npos) << text.Out;
  std::vector<std::string> jsonArgs = args;
  jsonArgs.push_back("--json");
  const TCliRun json = RunInProcess(jsonArgs);
  EXPECT_EQ(json.Status, ecUnconfirmed) << json.Out << json.Err;
  const std::string summary = WithoutRequests(json.Out);
  EXPECT_NE(summary.find("\"ok\":false"), std::string::npos) << json.Out;
  EXPECT_EQ(summary.find("\"ok\":true"), std::string::npos) << json.Out;
  EXPECT_EQ(summary.find(kSuccess), std::string::npos) << json.Out;

  if (command.Name == std::string("Poll")) {
    const std::string log = ReadFile(csv);
    ASSERT_EQ(log.rfind("time,name,address,plant,level_code,level_dm,state,t1,t2,t3,result\n", 0),
              0u)
        << log;
    const std::string row = log.substr(log.find('\n') + 1);
    const std::string result = row.substr(row.rfind(',') + 1);
    EXPECT_NE(result, kSuccess + "\n") << row;
    EXPECT_GT(result.size(), 1u) << row;
  }
  EXPECT_EQ(ReadFile(config), before) << "the configuration changed";
}

std::string CaseName(const testing::TestParamInfo<TParam>& info) {
  const auto& [command, protocol, fault] = info.param;
  return std::string(command.Name) + (protocol == dpModbus ? "Modbus" : "Native") +
         kFaultNames[fault];
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, CliFaults, testing::ValuesIn(Cases()), CaseName);

}  // namespace

// What a device confirms does reach it and the file: in Modbus the level goes
// before the calibration command, and an upload by bare address learns the
// plant number its mode switch needs.
TEST(CliConfirmed, ModbusLevelAndUploadByAddress) {
  TVirtualLine line;
  TSimDevice sim;
  sim.Address = 5;
  sim.PlantNumber = 1234;
  sim.Protocol = dpModbus;
  sim.Temperatures = {0x0100, 0x0200, 0x0300};
  sim.UnmeasurableLevel = 7;
  line.AddDevice(sim);
  TTempDir dir;
  const std::string config = dir.File("line.l07");
  ASSERT_EQ(
      RunInProcess({"config", "new", config, "--port", line.SlavePath(), "--device", "5:1234:3"})
          .Status,
      ecOk);
  const std::vector<std::string> modbus = {"--config", config, "--protocol", "modbus"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), modbus.begin(), modbus.end());
    return RunInProcess(args);
  };
  TCliRun r = with({"calibrate-empty", "--level", "12", "--yes", "--save", "--json"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(0).UnmeasurableLevel, 12);
  EXPECT_EQ(line.Device(0).EmptyBunkerCalibrations, 1);
  r = with({"write-settings", "--level", "15", "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(0).UnmeasurableLevel, 15);
  r = RunInProcess({"config", "show", config, "--json"});
  EXPECT_NE(r.Out.find("\"h1_dm\":12"), std::string::npos) << r.Out;  // saved once confirmed

  std::ofstream(dir.File("fw.bin2"), std::ios::binary) << std::string(130, 'F');
  r = RunInProcess({"--port", line.SlavePath(), "--protocol", "modbus", "--address", "5", "upload",
                    dir.File("fw.bin2"), "--yes"});
  EXPECT_EQ(r.Status, ecOk) << r.Err << r.Out;
  EXPECT_EQ(line.Device(0).FirmwareUploads, 1);
}

// The adapter pulled out while polling: the cycles printed stay, and the
// program says so and ends with the port's status.
TEST(CliConfirmed, LineLostMidPollExitsThree) {
  TVirtualLine line;
  TSimDevice sim;
  sim.Address = 5;
  sim.PlantNumber = 1234;
  sim.Temperatures = {0x0100};
  line.AddDevice(sim);
  TCliChild child({"--port", line.SlavePath(), "--address", "5", "poll"});
  ASSERT_TRUE(child.Started());
  const TCliRun r = child.Wait(60s, [&](const TCliRun& soFar) {
    if (line.Plugged() && soFar.Out.find("Cycle 1") != std::string::npos) line.Unplug();
  });
  EXPECT_EQ(r.Status, ecPort) << r.Err;
  EXPECT_NE(r.Err.find("lost the serial port"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("16.00"), std::string::npos) << r.Out;
}

// Read limits absent from a file are shown as the line operations use them.
TEST(CliConfirmed, ConfigShowNamesTheDefaultsItUses) {
  TTempDir dir;
  const std::string config = dir.File("bare.l07");
  TComPort port;  // the component's own limits: not written into the file
  port.SetPort("/dev/ttyUSB0");
  TDeviceList none;
  SaveConfigurationFile(config, port, none);
  TCliRun r = RunInProcess({"config", "show", config});
  ASSERT_EQ(r.Status, ecOk) << r.Err;
  EXPECT_NE(r.Out.find("read_interval_ms: 50  (not in the file: default)"), std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("read_total_constant_ms: 100  (not in the file: default)"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("port: /dev/ttyUSB0\n"), std::string::npos) << r.Out;
  r = RunInProcess({"config", "show", config, "--json"});
  EXPECT_NE(r.Out.find("\"port_defaults\":[\"read_interval_ms\",\"read_total_multiplier_ms\","
                       "\"read_total_constant_ms\""),
            std::string::npos)
      << r.Out;
}

// A device that answers its identification but not the reads after it is
// saved by the scan (it is on the line), yet not reported as done.
TEST(CliConfirmed, ScanTellsADeviceWhoseSettingsWereNotRead) {
  TVirtualLine line;
  TSimDevice sim;
  sim.Address = 253;
  sim.PlantNumber = 4711;
  sim.Temperatures = {0x0100};
  line.AddDevice(sim);
  line.SetFrameListener([&line](const TSimFrame& frame) {
    if (frame.Bytes.size() > 1 && frame.Bytes[1] == 0x20)  // identified: silent from now on
      line.Modify(0, [](TSimDevice& d) { d.Faults.Silent = true; });
  });
  TTempDir dir;
  const TCliRun r = RunInProcess(
      {"--port", line.SlavePath(), "scan", "--start", "253", "--out", dir.File("found.l07")});
  EXPECT_EQ(r.Status, ecUnconfirmed) << r.Err << r.Out;
  EXPECT_NE(r.Out.find("its settings were not all read"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Saved 1 device(s)"), std::string::npos) << r.Out;
}
