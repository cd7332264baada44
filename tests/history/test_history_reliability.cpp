// The database under abuse: the writer killed at random moments, a file
// that may not grow, two writers on one file. Each runs the history_writer
// program as a child process.
//
// LIM07_LONG_TESTS=1 runs the two writers for a minute (the default run
// takes 10 seconds); the kill loop always runs its 50 rounds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "HistoryRecorder.h"
#include "HistoryTestSupport.h"

namespace {

// A child with its standard output on a pipe.
struct TChild {
  pid_t Pid = -1;
  int Out = -1;
  std::string Text;

  explicit TChild(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    Pid = ::fork();
    if (Pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    Out = fds[0];
  }
  ~TChild() {
    if (Out >= 0) ::close(Out);
  }
  // Reads what is there until the child closes its output.
  void ReadAll() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(Out, buf, sizeof buf)) > 0) Text.append(buf, static_cast<std::size_t>(n));
  }
  // Reads until `needle` has appeared (or the output ends).
  void ReadUntil(const std::string& needle) {
    char buf[256];
    while (Text.find(needle) == std::string::npos) {
      const ssize_t n = ::read(Out, buf, sizeof buf);
      if (n <= 0) return;
      Text.append(buf, static_cast<std::size_t>(n));
    }
  }
  int Wait() {
    int status = 0;
    ::waitpid(Pid, &status, 0);
    return status;
  }
};

std::uint64_t LastCommitted(const std::string& text) {
  const auto at = text.rfind("committed ");
  if (at == std::string::npos) return 0;
  const auto end = text.find('\n', at);
  if (end == std::string::npos) {
    // A line cut by the kill: the one before it.
    return at == 0 ? 0 : LastCommitted(text.substr(0, at));
  }
  return std::stoull(text.substr(at + 10, end - at - 10));
}

}  // namespace

TEST(HistoryReliability, SurvivesFiftyKillsMidRecording) {
  TTempFolder dir;
  const std::string db = dir.File("kill.db");
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay(5, 120);
  std::int64_t lastCount = 0;
  for (int round = 0; round < 50; ++round) {
    TChild child({LIM07_HISTORY_WRITER, db, "kill", std::to_string(1000 + round * 20)});
    ASSERT_GT(child.Pid, 0);
    child.ReadUntil("committed 1\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
    ::kill(child.Pid, SIGKILL);
    child.ReadAll();
    child.Wait();
    const std::uint64_t committed = LastCommitted(child.Text);
    ASSERT_GE(committed, 1u) << child.Text;
    THistoryStore store(db);
    ASSERT_EQ(store.IntegrityCheck(), "ok") << "round " << round;
    // Whole cycles only, every committed one, at most the one in flight more.
    const std::int64_t count = store.ReadingCount();
    const std::int64_t mine = store.Db().QueryInt(
        "SELECT count(*) FROM readings WHERE plant >= " + std::to_string(1000 + round * 20) +
        " AND plant < " + std::to_string(1020 + round * 20));
    EXPECT_EQ(mine % 20, 0);
    EXPECT_GE(mine / 20, static_cast<std::int64_t>(committed)) << "round " << round;
    EXPECT_LE(mine / 20, static_cast<std::int64_t>(committed) + 1) << "round " << round;
    EXPECT_EQ(count - lastCount, mine);  // nothing of the earlier rounds went
    lastCount = count;
  }
}

TEST(HistoryReliability, AFileThatMayNotGrowStopsRecordingWhichResumesLater) {
  TTempFolder dir;
  const std::string db = dir.File("full.db");
  TChild child({LIM07_HISTORY_WRITER, db, "fsize", "262144"});
  ASSERT_GT(child.Pid, 0);
  child.ReadAll();
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.Text;
  EXPECT_NE(child.Text.find("stopped after"), std::string::npos) << child.Text;
  EXPECT_NE(child.Text.find("диск заполнен"), std::string::npos) << child.Text;
  unsigned long long before = 0, after = 0, lost = 0;
  const auto stop = child.Text.find("stopped after ");
  const auto resume = child.Text.find("resumed with ");
  ASSERT_NE(resume, std::string::npos) << child.Text;
  std::sscanf(child.Text.c_str() + stop, "stopped after %llu", &before);
  std::sscanf(child.Text.c_str() + resume, "resumed with %llu lost %llu", &after, &lost);
  EXPECT_GT(before, 0u);
  EXPECT_GT(after, before);
  EXPECT_GE(lost, 5u);  // the cycles while the disk was full
  THistoryStore store(db);
  EXPECT_EQ(store.IntegrityCheck(), "ok");
  // Nothing recorded before the disk filled was lost.
  EXPECT_EQ(store.ReadingCount(), static_cast<std::int64_t>(after) * 20);
}

TEST(HistoryReliability, TwoWritersShareOneFileWithoutLockFailures) {
  TTempFolder dir;
  const std::string db = dir.File("shared.db");
  const char* longRun = std::getenv("LIM07_LONG_TESTS");
  const int seconds = longRun && std::string(longRun) == "1" ? 60 : 10;
  // The other writer: a second program on another line.
  TChild other({LIM07_HISTORY_WRITER, db, "seconds", std::to_string(seconds), "5000"});
  ASSERT_GT(other.Pid, 0);
  // This one: the window's recorder, with the trend view reading meanwhile.
  THistoryOptions options;
  options.Path = db;
  options.IntervalMs = 0;
  THistoryRecorder recorder(options);
  int failures = 0;
  std::uint64_t n = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::vector<TDeviceReading> line;
    for (int d = 0; d < 50; ++d) line.push_back(HealthyReading(static_cast<std::uint16_t>(100 + d), 32, 20));
    ++n;
    recorder.Submit(Cycle(UtcNowMs() + static_cast<std::int64_t>(n), n, std::move(line)));
    recorder.Flush();
    if (recorder.Status().State != THistoryState::Recording) ++failures;
    if (n % 10 == 0) {
      THistoryStore reader(db, true);
      reader.Trend({120, {1, 32}, 0, UtcNowMs() + 1'000'000, 400});
    }
  }
  other.ReadAll();
  const int status = other.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << other.Text;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(recorder.Status().LostCycles, 0u);
  EXPECT_NE(other.Text.find("lost 0 failures 0"), std::string::npos) << other.Text;
  EXPECT_GT(n, 10u);
}
