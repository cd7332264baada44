// The lim07-sim program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "SimProcess.h"
#include "SimTestPort.h"

namespace {

struct TTempDir {
  std::string Path;
  TTempDir() {
    char t[] = "/tmp/lim07-simprog-XXXXXX";
    Path = mkdtemp(t);
  }
  ~TTempDir() { RunShell("rm -rf '" + Path + "'"); }
};

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(SimProgram, DemoLineAnswersAnnouncesItselfAndCleansUp) {
  const std::string program = SimProgram();
  ASSERT_TRUE(Exists(program)) << program;
  TTempDir dir;
  const std::string link = dir.Path + "/line", log = dir.Path + "/frames.jsonl";
  TChild sim({program, "--demo", "--link", link, "--log", log}, {"XDG_RUNTIME_DIR=" + dir.Path});
  const std::string slave = sim.ReadLine(10000);
  ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  const std::string announced = dir.Path + "/lim07-lines/lim07-sim-" + std::to_string(sim.Pid());
  EXPECT_EQ(sim.ReadLine(5000), "announced: " + announced);
  EXPECT_TRUE(Exists(announced));
  EXPECT_TRUE(Exists(link));
  {
    TTestPort port(link);
    // Demo device 1 has plant number 1201 (0x04B1), native protocol.
    const TBytes answer = port.Native(WithCrc({0x01, 0x20, 0x01}));
    ASSERT_EQ(answer.size(), 10u);
    EXPECT_EQ(TBytes(answer.begin(), answer.begin() + 6),
              (TBytes{0x01, 0x20, 0x06, 0x06, 0x04, 0xB1}));
  }
  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  EXPECT_FALSE(Exists(announced));
  EXPECT_FALSE(Exists(link));
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\"request\":\"01 20 01"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\"first_parity\":\""), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\"rest_parity\":\"space\""), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\"plant\":1201"), std::string::npos) << text.str();
}

TEST(SimProgram, MalformedDeviceFileGetsAMessageNamingTheField) {
  TTempDir dir;
  const std::string file = dir.Path + "/bad.json";
  std::ofstream(file) << R"({"devices": [{"address": 1, "plant": 70000}]})";
  std::string output;
  EXPECT_EQ(RunShell(SimProgram() + " --devices " + file, &output), 1);
  EXPECT_EQ(output,
            "lim07-sim: " + file + ": devices[0].plant: expected an integer 0..65535, got 70000\n");
  EXPECT_EQ(RunShell(SimProgram() + " --demo --devices " + file, &output), 2);
  EXPECT_NE(output.find("either --demo or --devices"), std::string::npos) << output;
}

}  // namespace
