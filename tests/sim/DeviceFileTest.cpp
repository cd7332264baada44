// Device files of lim07-sim.
#include <gtest/gtest.h>

#include "DeviceFile.h"

namespace {

std::string ErrorOf(const std::string& text) {
  try {
    ParseDeviceFile(text);
  } catch (const EDeviceFile& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(DeviceFile, ReadsEveryField) {
  const auto devices = ParseDeviceFile(R"({"devices": [
    {"name": "Силос \"1\"\u0021", "address": 7, "plant": 65535, "protocol": "modbus",
     "hardware": 2, "software": 14, "temperatures": [25.5, -3.25, "fault", "fault2", "nodata", "0x0123"],
     "level": 12.34, "levelCode": 4000, "flags": 18, "coefficient": 9, "drift": true,
     "calibration": {"c1": 1, "nu": 2, "c2": 3, "h2": 4},
     "faults": {"silent": true, "badCrc": true, "errorCode": 31, "deviceType": 5, "sensorCount": 8,
                "shortBy": 2, "delayMs": 300, "garbage": "de AD 01", "remaining": 3}},
    {"address": 1, "plant": 2, "sensors": 3}
  ]})");
  ASSERT_EQ(devices.size(), 2u);
  const TSimDevice& d = devices[0];
  EXPECT_EQ(d.Name, "Силос \"1\"!");
  EXPECT_EQ(d.Address, 7);
  EXPECT_EQ(d.PlantNumber, 65535);
  EXPECT_EQ(d.Protocol, dpModbus);
  EXPECT_EQ(d.HardwareVersion, 2);
  EXPECT_EQ(d.SoftwareVersion, 14);
  EXPECT_EQ(d.Temperatures,
            (std::vector<std::uint16_t>{0x0198, 0xFFCC, 0xAAAA, 0x55AA, 0xDDDD, 0x0123}));
  EXPECT_DOUBLE_EQ(d.LevelMetres, 12.34);
  EXPECT_EQ(d.LevelCode, 4000);
  EXPECT_EQ(d.StatusFlags, 18);
  EXPECT_EQ(d.AveragingCoefficient, 9);
  EXPECT_TRUE(d.Drift);
  EXPECT_EQ(d.CalibrationCode1, 1);
  EXPECT_EQ(d.UnmeasurableLevel, 2);
  EXPECT_EQ(d.CalibrationCode2, 3);
  EXPECT_EQ(d.CalibrationLevel2, 4);
  EXPECT_TRUE(d.Faults.Silent && d.Faults.BadCrc);
  EXPECT_EQ(d.Faults.ErrorCode, 31);
  EXPECT_EQ(d.Faults.DeviceType, 5);
  EXPECT_EQ(d.Faults.SensorCount, 8);
  EXPECT_EQ(d.Faults.ShortBy, 2);
  EXPECT_EQ(d.Faults.DelayMs, 300);
  EXPECT_EQ(d.Faults.Garbage, (std::vector<std::uint8_t>{0xDE, 0xAD, 0x01}));
  EXPECT_EQ(d.Faults.Remaining, 3);
  EXPECT_EQ(devices[1].Protocol, dpLargis1);
  EXPECT_EQ(devices[1].SensorCount(), 3);
  EXPECT_EQ(ParseDeviceFile(R"([{"address": 1, "plant": 2}])").size(), 1u);
}

TEST(DeviceFile, ErrorsNameTheFieldOrThePlace) {
  EXPECT_EQ(ErrorOf(R"({"devices": [{"address": 300, "plant": 1}]})"),
            "devices[0].address: expected an integer 0..255, got 300");
  EXPECT_EQ(ErrorOf(R"([{"address": 1, "plant": 1}, {"address": 2}])"),
            "devices[1].plant: missing");
  EXPECT_EQ(ErrorOf(R"([{"address": 1, "plant": 1, "adress": 2}])"),
            "devices[0].adress: unknown field");
  EXPECT_EQ(ErrorOf(R"([{"address": 1, "plant": 1, "protocol": "rtu"}])"),
            "devices[0].protocol: expected \"native\" or \"modbus\", got \"rtu\"");
  EXPECT_EQ(ErrorOf(R"([{"address": 1, "plant": 1, "temperatures": [1, "hot"]}])"),
            "devices[0].temperatures[1]: expected degrees, \"nodata\", \"fault\", \"fault2\" or "
            "\"0xHHHH\", got \"hot\"");
  EXPECT_EQ(ErrorOf(R"([{"address": 1, "plant": 1, "sensors": 2, "temperatures": [1]}])"),
            "devices[0].sensors: says 2 but \"temperatures\" lists 1");
  EXPECT_EQ(
      ErrorOf(R"([{"address": 1, "plant": 1, "faults": {"garbage": "xyz"}}])"),
      "devices[0].faults.garbage: expected hexadecimal bytes such as \"01 A2 FF\", got \"xyz\"");
  EXPECT_EQ(ErrorOf(R"([{"address": 1.5, "plant": 1}])"),
            "devices[0].address: expected an integer 0..255, got 1.5");
  EXPECT_EQ(ErrorOf(R"({"devices": 3})"), "devices: expected a list [...], got 3");
  // Syntax errors: the place (where the unexpected token ends), then the JSON
  // library's reason.
  const struct {
    std::string Text, Place, Reason;
  } syntax[] = {
      {"{\"devices\": [\n  {\"address\": 1,, \"plant\": 1}]}",
       "line 2, column 17: ", "unexpected ','"},
      {"[{\"address\": 1, \"plant\": 1}", "line 1, column 28: ", "unexpected end of input"},
      {"", "line 1, column 1: ", "unexpected end of input"},
      {"[] x", "line 1, column 4: ", "expected end of input"},
      {"[{\"name\": \"Силос\" \"address\": 1}]", "line 1, column 27: ", "expected '}'"},
      {std::string(200, '['), "line 1, column 201: ", "unexpected end of input"},
  };
  for (const auto& c : syntax) {
    const std::string error = ErrorOf(c.Text);
    EXPECT_EQ(error.rfind(c.Place, 0), 0u) << error;
    EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
  }
}

TEST(DeviceFile, SampleFileOfTheRepositoryLoads) {
  const auto devices = LoadDeviceFile(std::string(LIM07_SIM_SOURCE_DIR) + "/sim/sample-line.json");
  EXPECT_EQ(devices.size(), 4u);
  try {
    LoadDeviceFile("/nonexistent/line.json");
    ADD_FAILURE() << "no error";
  } catch (const EDeviceFile& e) {
    EXPECT_EQ(std::string(e.what()), "/nonexistent/line.json: cannot be read");
  }
}

}  // namespace
