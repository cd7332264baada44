// Publishing to a local mosquitto broker (started here on a free loopback
// port): (1) from the end of a polling cycle of 100 devices x 32 sensors to
// the broker's acknowledgement of the last message, and (2) catching up a
// day of queued readings (100 devices, one a minute: 144 000 messages).
// Each beside the floor: a bare libmosquitto client publishing the same
// payloads at the same QoS and waiting for the same acknowledgements.
#include <mosquitto.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "../tests/history/HistoryTestSupport.h"
#include "../tests/publish/MqttTestSupport.h"
#include "Publisher.h"

using namespace std::chrono;

namespace {

constexpr int kDevices = 100, kSensors = 32, kRepeats = 15;

std::shared_ptr<TLineSnapshot> LineCycle(std::int64_t timeMs, std::uint64_t cycle) {
  std::vector<TDeviceReading> devices;
  for (int d = 0; d < kDevices; ++d)
    devices.push_back(HealthyReading(static_cast<std::uint16_t>(1000 + d), kSensors, 18 + d % 7));
  return Cycle(timeMs, cycle, std::move(devices));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The floor: the library alone, payloads made beforehand.
class TBareClient {
 public:
  explicit TBareClient(int port) {
    mosquitto_lib_init();
    FMosq = mosquitto_new("bench-bare", true, this);
    mosquitto_publish_callback_set(FMosq, [](mosquitto*, void* self, int) {
      auto* c = static_cast<TBareClient*>(self);
      std::lock_guard lock(c->FMutex);
      ++c->FAcked;
      c->FCv.notify_all();
    });
    mosquitto_max_inflight_messages_set(FMosq, 1000);
    mosquitto_int_option(FMosq, MOSQ_OPT_TCP_NODELAY, 1);  // as the publisher
    mosquitto_connect(FMosq, "127.0.0.1", port, 30);
    mosquitto_loop_start(FMosq);
  }
  ~TBareClient() {
    mosquitto_disconnect(FMosq);
    mosquitto_loop_stop(FMosq, false);
    mosquitto_destroy(FMosq);
  }
  // Seconds until every payload was acknowledged.
  double Publish(const std::vector<std::pair<std::string, std::string>>& messages) {
    {
      std::lock_guard lock(FMutex);
      FAcked = 0;
    }
    const auto t0 = steady_clock::now();
    for (const auto& [topic, payload] : messages)
      mosquitto_publish(FMosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, false);
    std::unique_lock lock(FMutex);
    FCv.wait(lock, [&] { return FAcked >= messages.size(); });
    return duration<double>(steady_clock::now() - t0).count();
  }

 private:
  mosquitto* FMosq = nullptr;
  std::mutex FMutex;
  std::condition_variable FCv;
  std::size_t FAcked = 0;
};

TPublisherOptions Options(const TTestBroker& broker, const std::string& db) {
  TPublisherOptions o;
  SetMqttSetting(o.Mqtt, "url", broker.Url());
  SetMqttSetting(o.Mqtt, "client-id", "bench-publisher");
  CompleteMqttSettings(o.Mqtt, "bench");
  o.LineName = "bench";
  o.DatabasePath = db;
  return o;
}

std::vector<std::pair<std::string, std::string>> Payloads(const TLineSnapshot& snapshot) {
  std::vector<std::pair<std::string, std::string>> m;
  for (const TOutboxItem& i : OutboxReadings(snapshot))
    m.emplace_back("lim07/bench/" + PlantTopic(i.PlantNumber, "reading"), ReadingJson(i));
  return m;
}

void CycleToAcknowledged(const TTestBroker& broker, const TTempFolder& folder, const char* what) {
  std::printf(
      "End of a cycle (%d devices x %d sensors) to the last PUBACK, QoS 1, median of %d;\n"
      "broker: %s\n",
      kDevices, kSensors, kRepeats, what);
  std::printf("%-44s %10s %10s\n", "", "median ms", "max ms");
  TBareClient bare(broker.Port());
  std::vector<double> floor;
  for (int r = 0; r < kRepeats; ++r)
    floor.push_back(bare.Publish(Payloads(*LineCycle(UtcNowMs(), 1))) * 1000);
  for (const bool persistent : {false, true}) {
    TPublisher publisher(Options(broker, persistent ? folder.File("cycle.db") : ""));
    if (!WaitUntil([&] { return publisher.Status().Connected; }, seconds(5))) return;
    std::vector<double> ms;
    for (int r = 0; r < kRepeats; ++r) {
      auto snapshot = LineCycle(UtcNowMs(), static_cast<std::uint64_t>(r + 1));
      const auto t0 = steady_clock::now();
      publisher.Submit(std::move(snapshot));
      publisher.Drain(seconds(10));
      ms.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
    }
    std::printf(
        "%-44s %10.1f %10.1f\n",
        persistent ? "lim07 publisher, queue in the database" : "lim07 publisher, queue in memory",
        Median(ms), *std::max_element(ms.begin(), ms.end()));
    std::fflush(stdout);
  }
  std::printf("%-44s %10.1f %10.1f   (payloads made beforehand)\n", "bare libmosquitto client",
              Median(floor), *std::max_element(floor.begin(), floor.end()));
  std::fflush(stdout);
}

void CatchUpADay(const TTestBroker& broker, const TTempFolder& folder) {
  constexpr int kMinutes = 1440;
  std::printf(
      "\nCatching up a day queued in the database: %d devices, one reading a minute (%d "
      "messages)\n",
      kDevices, kDevices * kMinutes);
  const std::string db = folder.File("day.db");
  const std::int64_t start = UtcNowMs() - 86'400'000;
  std::vector<std::pair<std::string, std::string>> payloads;
  {
    THistoryStore store(db);
    THistoryOutbox box(store, "mqtt:lim07/bench");
    std::int64_t seq = 0;
    const auto t0 = steady_clock::now();
    for (int m = 0; m < kMinutes; ++m) {
      auto items =
          OutboxReadings(*LineCycle(start + m * 60'000LL, static_cast<std::uint64_t>(m + 1)));
      for (auto& i : items) i.Seq = ++seq;
      box.Append(items);
      for (auto& i : items)
        payloads.emplace_back("lim07/bench/" + PlantTopic(i.PlantNumber, "reading"),
                              ReadingJson(i));
    }
    std::printf("  queued in %.1f s (a cycle a transaction)\n",
                duration<double>(steady_clock::now() - t0).count());
  }
  const auto t0 = steady_clock::now();
  TPublisher publisher(Options(broker, db));
  const bool drained = publisher.Drain(minutes(10));
  const double ours = duration<double>(steady_clock::now() - t0).count();
  const double bare = TBareClient(broker.Port()).Publish(payloads);
  const double n = static_cast<double>(payloads.size());
  std::printf("%-44s %10s %12s\n", "", "seconds", "messages/s");
  std::printf("%-44s %10.1f %12.0f%s\n", "lim07 publisher (fetch, build JSON, send, remove)", ours,
              n / ours, drained ? "" : "  (not drained)");
  std::printf("%-44s %10.1f %12.0f   (payloads made beforehand)\n", "bare libmosquitto client",
              bare, n / bare);
  std::printf("  ratio lim07 / bare: %.2f\n", ours / bare);
}

}  // namespace

int main() {
  TTempFolder folder;
  TTestBroker broker;
  // A broker that acknowledges without waiting (Nagle's algorithm off):
  // what is left is our own cost and the library's.
  TTestBroker quick(false, "allow_anonymous true\nset_tcp_nodelay true\n");
  if (!broker.Start() || !quick.Start()) {
    std::printf("mosquitto could not be started (Debian package mosquitto)\n");
    return 0;
  }
  CycleToAcknowledged(broker, folder, "mosquitto as installed (set_tcp_nodelay false)");
  std::printf("\n");
  CycleToAcknowledged(quick, folder, "mosquitto with set_tcp_nodelay true");
  CatchUpADay(broker, folder);
  return 0;
}
