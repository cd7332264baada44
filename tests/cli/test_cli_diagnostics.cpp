// lim07ctl check, support-bundle, --stats and the decoded --trace, on the
// in-process demo line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "CliTestSupport.h"
#include "SupportBundle.h"

TEST(CliDiagnostics, CheckReportsEveryDeviceAndTraceDecodesWithStatistics) {
  const TCliRun check =
      RunInProcess({"--demo", "--addresses", "1-2", "check", "--exchanges", "2", "--json"});
  EXPECT_EQ(check.Status, 0) << check.Err;
  EXPECT_NE(check.Out.find("\"verdict\":\"исправен\",\"exchanges\":2,\"successes\":2"),
            std::string::npos)
      << check.Out;

  const TCliRun read = RunInProcess({"--demo", "--address", "1", "--trace", "--stats", "read"});
  EXPECT_EQ(read.Status, 0) << read.Err;
  EXPECT_NE(read.Err.find("-> [M|S "), std::string::npos) << read.Err;
  EXPECT_NE(read.Err.find("Ларгис-1, адрес 1: Чтение показаний температуры"), std::string::npos);
  EXPECT_NE(read.Err.find("|  Операция завершена успешно"), std::string::npos);
  EXPECT_NE(read.Err.find("Statistics:"), std::string::npos);
  EXPECT_NE(read.Err.find("Силос 1"), std::string::npos);
}

TEST(CliDiagnostics, SupportBundleWithAndWithoutALine) {
  const std::string dir = testing::TempDir() + "cli-bundle-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const TCliRun polled = RunInProcess(
      {"--demo", "--addresses", "1,3", "support-bundle", dir + "/a.tar.gz", "--cycles", "1"});
  ASSERT_EQ(polled.Status, 0) << polled.Err;
  std::string frames, statistics;
  for (const TBundleFile& f : ReadSupportBundle(dir + "/a.tar.gz")) {
    if (f.Name == "frames.txt") frames = f.Contents;
    if (f.Name == "statistics.txt") statistics = f.Contents;
  }
  EXPECT_NE(frames.find("Чтение данных уровнемера"), std::string::npos);
  EXPECT_NE(statistics.find("Бункер 3"), std::string::npos) << statistics;

  const TCliRun bare = RunInProcess({"support-bundle", dir + "/b.tar.gz"});
  EXPECT_EQ(bare.Status, 0) << bare.Err;
  EXPECT_EQ(ReadSupportBundle(dir + "/b.tar.gz").size(), 9u);  // no line check
  EXPECT_EQ(RunInProcess({"support-bundle"}).Status, 2);
  EXPECT_EQ(RunInProcess({"--demo", "support-bundle", dir + "/no/such/c.tar.gz"}).Status, 4);
  std::filesystem::remove_all(dir);
}
