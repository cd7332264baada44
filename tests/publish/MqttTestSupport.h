// A real MQTT broker for tests: Debian's mosquitto on a free loopback port,
// started and stopped by the test, and mosquitto_sub collecting what arrives.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// A child process whose stdout and stderr are collected by a thread.
class TTestProcess {
 public:
  explicit TTestProcess(std::vector<std::string> argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawnp(&FPid, args[0], &actions, nullptr, args.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FReader = std::thread([this, fd = out[0]] {
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        std::lock_guard lock(FMutex);
        FOutput.append(buffer, static_cast<std::size_t>(n));
      }
      close(fd);
    });
  }
  ~TTestProcess() { Stop(SIGKILL); }
  TTestProcess(const TTestProcess&) = delete;
  TTestProcess& operator=(const TTestProcess&) = delete;

  bool Started() const { return FPid > 0; }
  std::string Output() const {
    std::lock_guard lock(FMutex);
    return FOutput;
  }
  // Signals the process and reaps it; returns its exit status (128 + signal).
  int Stop(int signal = SIGTERM) {
    if (FPid > 0) {
      kill(FPid, signal);
      int status = 0;
      waitpid(FPid, &status, 0);
      FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      FPid = -1;
    }
    if (FReader.joinable()) FReader.join();
    return FStatus;
  }

 private:
  pid_t FPid = -1;
  int FStatus = -1;
  mutable std::mutex FMutex;
  std::string FOutput;
  std::thread FReader;
};

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  close(s);
  return ntohs(a.sin_port);
}

inline bool PortAccepts(int port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// mosquitto on 127.0.0.1, its files in a folder of its own. With
// `persistent`, what it holds (retained messages, persistent sessions and
// their queued messages) survives a Stop and Start.
class TTestBroker {
 public:
  explicit TTestBroker(bool persistent = false, std::string extraConfig = "")
      : FPort(FreeLoopbackPort()) {
    FDir = std::filesystem::temp_directory_path() /
           ("lim07-broker-" + std::to_string(getpid()) + "-" + std::to_string(FPort));
    std::filesystem::create_directories(FDir);
    // Started as root, mosquitto runs as its own user: it must write here.
    std::filesystem::permissions(FDir, std::filesystem::perms::all);
    std::ofstream conf(FDir / "mosquitto.conf");
    conf << "listener " << FPort << " 127.0.0.1\n"
         << (extraConfig.empty() ? "allow_anonymous true\n" : extraConfig) << "persistence "
         << (persistent ? "true" : "false") << "\n"
         << "persistence_location " << FDir.string() << "/\n"
         << "max_queued_messages 100000\n"
         << "log_dest stdout\n";
  }
  ~TTestBroker() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  bool Start() {
    FProcess = std::make_unique<TTestProcess>(
        std::vector<std::string>{"mosquitto", "-c", (FDir / "mosquitto.conf").string()});
    return FProcess->Started() &&
           WaitUntil([&] { return PortAccepts(FPort); }, std::chrono::seconds(5));
  }
  void Stop() {
    if (FProcess) FProcess->Stop(SIGTERM);
    FProcess.reset();
  }
  int Port() const { return FPort; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(FPort); }
  std::filesystem::path Dir() const { return FDir; }

 private:
  int FPort;
  std::filesystem::path FDir;
  std::unique_ptr<TTestProcess> FProcess;
};

struct TMqttMessage {
  bool Retained = false;
  std::string Topic;
  std::string Payload;
};

// mosquitto_sub on a topic filter. Ready once its subscription is in place
// (a probe message came back). `clientId` makes it a persistent session at
// QoS 1: messages published while it is away wait for it in the broker.
class TTestSubscriber {
 public:
  TTestSubscriber(int port, const std::string& filter, const std::string& clientId = "") {
    std::vector<std::string> argv = {"mosquitto_sub",
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(port),
                                     "-q",
                                     "1",
                                     "-F",
                                     "%r|%t|%p",
                                     "-t",
                                     filter,
                                     "-t",
                                     "probe/#"};
    if (!clientId.empty()) argv.insert(argv.end(), {"-c", "-i", clientId});
    FProcess = std::make_unique<TTestProcess>(argv);
    FReady = WaitUntil(
        [&] {
          TTestProcess probe({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
                              "probe/ready", "-m", "x"});
          probe.Stop(0);
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          return FProcess->Output().find("|probe/ready|") != std::string::npos;
        },
        std::chrono::seconds(5));
  }
  bool Ready() const { return FReady; }
  // The messages so far, probes left out.
  std::vector<TMqttMessage> Messages() const {
    std::vector<TMqttMessage> all;
    const std::string out = FProcess->Output();
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = out.substr(start, end - start);
      const auto a = line.find('|');
      const auto b = a == std::string::npos ? a : line.find('|', a + 1);
      if (b == std::string::npos) continue;
      TMqttMessage m{line.substr(0, a) == "1", line.substr(a + 1, b - a - 1), line.substr(b + 1)};
      if (m.Topic.rfind("probe/", 0) != 0) all.push_back(std::move(m));
    }
    return all;
  }
  std::vector<TMqttMessage> On(const std::string& topicEnd) const {
    std::vector<TMqttMessage> found;
    for (auto& m : Messages())
      if (m.Topic.size() >= topicEnd.size() &&
          m.Topic.compare(m.Topic.size() - topicEnd.size(), topicEnd.size(), topicEnd) == 0)
        found.push_back(m);
    return found;
  }
  void Stop() { FProcess->Stop(SIGTERM); }

 private:
  std::unique_ptr<TTestProcess> FProcess;
  bool FReady = false;
};
