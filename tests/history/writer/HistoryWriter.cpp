// Records cycles into a history database as fast as it can, for the
// reliability tests: killed at random moments, limited in file size, or
// writing beside another writer.
//
//   history_writer DB kill PLANT_BASE          until killed; "committed N" after each cycle
//   history_writer DB fsize BYTES              until recording stopped and resumed
//   history_writer DB seconds S PLANT_BASE     for S seconds; "lost N failures F" at the end
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "HistoryRecorder.h"
#include "../HistoryTestSupport.h"

namespace {

std::shared_ptr<TLineSnapshot> LineCycle(std::uint64_t n, int base, int devices) {
  std::vector<TDeviceReading> readings;
  for (int d = 0; d < devices; ++d)
    readings.push_back(HealthyReading(static_cast<std::uint16_t>(base + d), 32, 20 + (n % 50) / 10.0));
  // Distinct times: the cycle number is the millisecond.
  return Cycle(1'700'000'000'000 + static_cast<std::int64_t>(n), n, std::move(readings));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string path = argv[1], mode = argv[2];
  THistoryOptions options;
  options.Path = path;
  options.IntervalMs = 0;
  options.RetentionDays = 0;
  options.RetryMs = 50;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (mode == "kill") {
    THistoryRecorder recorder(options);
    const int base = std::atoi(argv[3]);
    for (std::uint64_t n = 1;; ++n) {
      recorder.Submit(LineCycle(n, base, 20));
      recorder.Flush();
      if (recorder.Status().State != THistoryState::Recording) return 1;
      std::printf("committed %llu\n", static_cast<unsigned long long>(n));
    }
  }
  if (mode == "fsize") {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{static_cast<rlim_t>(std::atoll(argv[3])), limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    THistoryRecorder recorder(options);
    bool stopped = false;
    for (std::uint64_t n = 1; n < 100000; ++n) {
      recorder.Submit(LineCycle(n, 1, 20));
      recorder.Flush();
      const THistoryStatus s = recorder.Status();
      if (!stopped && s.State == THistoryState::Failing) {
        stopped = true;
        std::printf("stopped after %llu: %s\n", static_cast<unsigned long long>(s.RecordedCycles),
                    s.Message.c_str());
        // Polling goes on meanwhile; then room is made.
        for (int i = 0; i < 5; ++i) recorder.Submit(LineCycle(++n, 1, 20));
        recorder.Flush();
        setrlimit(RLIMIT_FSIZE, &limit);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
      } else if (stopped && s.State == THistoryState::Recording) {
        std::printf("resumed with %llu lost %llu\n",
                    static_cast<unsigned long long>(s.RecordedCycles),
                    static_cast<unsigned long long>(s.LostCycles));
        return 0;
      }
    }
    return 1;
  }
  if (mode == "seconds" && argc >= 5) {
    options.RetryMs = 1000;
    THistoryRecorder recorder(options);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    const int base = std::atoi(argv[4]);
    int failures = 0;
    for (std::uint64_t n = 1; std::chrono::steady_clock::now() < end; ++n) {
      recorder.Submit(LineCycle(n, base, 50));
      recorder.Flush();
      if (recorder.Status().State != THistoryState::Recording) {
        ++failures;
        std::printf("failure: %s\n", recorder.Status().Message.c_str());
      }
    }
    std::printf("lost %llu failures %d recorded %llu\n",
                static_cast<unsigned long long>(recorder.Status().LostCycles), failures,
                static_cast<unsigned long long>(recorder.Status().RecordedCycles));
    return failures == 0 ? 0 : 1;
  }
  return 2;
}
