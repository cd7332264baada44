// lim07ctl and the history database: poll records (with the alarms of the
// limits kept there), history export and history alarms read it back.
#include <gtest/gtest.h>

#include <fstream>

#include "CliTestSupport.h"
#include "HistoryStore.h"

namespace {

struct TDbFolder {
  std::string Path;
  TDbFolder() {
    std::string p = (std::filesystem::temp_directory_path() / "lim07-cli-XXXXXX").string();
    Path = ::mkdtemp(p.data()) ? p : std::string();
  }
  ~TDbFolder() {
    std::error_code e;
    std::filesystem::remove_all(Path, e);
  }
};

int Lines(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

}  // namespace

TEST(CliHistory, PollRecordsAndHistoryReadsBackReadingsAndAlarms) {
  TDbFolder dir;
  const std::string db = dir.Path + "/h.db", csv = dir.Path + "/out.csv";
  {
    THistoryStore store(db);
    TAlarmLimits limits;
    limits.Line.Upper = 15;  // the demo cables run up to about 17 degC
    store.SaveLimits(limits);
  }
  const TCliRun poll =
      RunInProcess({"--demo", "poll", "--cycles", "2", "--db", db, "--interval", "0"});
  ASSERT_EQ(poll.Status, ecOk) << poll.Err;
  const TCliRun alarms = RunInProcess({"history", "alarms", "--db", db});
  EXPECT_EQ(alarms.Status, ecOk) << alarms.Err;
  EXPECT_NE(alarms.Out.find("Превышение температуры"), std::string::npos) << alarms.Out;
  const TCliRun json = RunInProcess({"history", "alarms", "--db", db, "--active", "--json"});
  EXPECT_NE(json.Out.find("\"kind\":\"upper\""), std::string::npos) << json.Out;
  const TCliRun out = RunInProcess(
      {"history", "export", "--db", db, "--from", "2000-01-01", "--to", "now", "--csv", csv});
  ASSERT_EQ(out.Status, ecOk) << out.Err;
  EXPECT_EQ(Lines(csv), 1 + 2 * 5);  // header, two cycles of the five demo devices
  const TCliRun one = RunInProcess({"history", "export", "--db", db, "--from", "2000-01-01",
                                    "--to", "now", "--plant", "1201", "--csv", csv});
  EXPECT_EQ(one.Status, ecOk) << one.Err;
  EXPECT_EQ(Lines(csv), 1 + 2);
}

TEST(CliHistory, RefusesWhatIsNotAHistoryDatabaseAndBadOptions) {
  TDbFolder dir;
  const std::string notes = dir.Path + "/notes.txt";
  std::ofstream(notes) << "не база\n";
  const struct {
    std::vector<std::string> Args;
    int Status;
    const char* Says;
  } cases[] = {
      {{"--demo", "poll", "--cycles", "1", "--db", notes}, ecUsage, "не может быть базой истории"},
      {{"--demo", "poll", "--db", notes, "--no-db"}, ecUsage, "--no-db excludes"},
      {{"history", "export", "--db", notes, "--from", "2024-01-01", "--to", "now", "--csv",
        dir.Path + "/x.csv"},
       ecUsage, "не может быть базой истории"},
      {{"history", "export", "--db", dir.Path + "/none.db", "--from", "2024-01-01", "--to",
        "now", "--csv", dir.Path + "/x.csv"},
       ecUsage, "no history database"},
      {{"history", "export", "--from", "yesterday", "--to", "now", "--csv", "x.csv"}, ecUsage,
       "is not a time"},
      {{"history", "export", "--from", "2024-01-01", "--csv", "x.csv"}, ecUsage, "needs --from, --to"},
      {{"history"}, ecUsage, "history needs"},
  };
  for (const auto& c : cases) {
    const TCliRun r = RunInProcess(c.Args);
    EXPECT_EQ(r.Status, c.Status) << c.Args.back() << r.Err;
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
  }
  std::ifstream in(notes);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "не база");
  EXPECT_FALSE(std::filesystem::exists(dir.Path + "/x.csv"));
}
