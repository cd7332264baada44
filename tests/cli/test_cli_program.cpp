// The built program as scripts run it: exit statuses and Ctrl-C.
#include <gtest/gtest.h>

#include "CliTestSupport.h"
#include "VirtualLine.h"

using namespace std::chrono_literals;

TEST(CliProgram, ExitStatusesOfTheBinary) {
  EXPECT_EQ(RunChild({"--help"}).Status, 0);
  TCliRun r = RunChild({"no-such-subcommand"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("unknown subcommand"), std::string::npos) << r.Err;
  r = RunChild({"--port", "/dev/lim07-no-such-port", "--address", "1", "read"});
  EXPECT_EQ(r.Status, 3) << r.Err;

  TVirtualLine line;
  TSimDevice d;
  d.Address = 7;
  d.PlantNumber = 77;
  d.Temperatures = {0x0100};
  line.AddDevice(d);
  r = RunChild({"--port", line.SlavePath(), "--addresses", "7", "read"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("16.00"), std::string::npos) << r.Out;
  r = RunChild({"--port", line.SlavePath(), "--addresses", "7-8", "id"});
  EXPECT_EQ(r.Status, 1) << r.Err;
}

TEST(CliProgram, CtrlCEndsPollingCleanlyAfterTheDeviceInWork) {
  TCliChild child({"--demo", "poll"});
  ASSERT_TRUE(child.Started());
  bool sent = false;
  const TCliRun r = child.Wait(60s, [&](const TCliRun& so_far) {
    if (!sent && so_far.Out.find("Cycle 1") != std::string::npos) {
      kill(child.Pid(), SIGINT);
      sent = true;
    }
  });
  ASSERT_TRUE(sent) << r.Err;
  EXPECT_EQ(r.Status, 0) << r.Err;  // not killed by the signal
  EXPECT_NE(r.Err.find("Stopping after the device in work"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("Polling stopped after"), std::string::npos) << r.Err;
  // Every table printed is whole: the last line is a device row of the last cycle.
  EXPECT_EQ(r.Out.substr(r.Out.size() - 2), "\n\n");
}
