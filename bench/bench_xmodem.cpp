// XModem-CRC sender benchmarks, printed as ratios measured side by side:
//  1. a 64 KiB image to rx (lrzsz) over a socat pseudo-terminal pair: our
//     sender through TComPort against sx (both include rx's own second of
//     waiting after the EOT);
//  2. the single-device upload thread to a virtual line paced at 9600 baud,
//     against the line's floor (every packet and reply byte at 11 bits).
// Each figure is the median of several runs. Exits 0 whatever the numbers.
// "--quick" runs each case once.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "OperationHost.h"
#include "UploadThreads.h"
#include "VirtualLine.h"
#include "XModemCRC.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Which(const char* name) {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
    std::string p = std::string(dir) + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& tty, const std::string& cwd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!tty.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, tty.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool WaitExit(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

// A socat pair of linked pseudo-terminals, A and B, in dir.
struct TPtyPair {
  pid_t Socat = -1;
  std::string A, B;
  TPtyPair(const std::string& socat, const std::string& dir) : A(dir + "/A"), B(dir + "/B") {
    Socat = Spawn({socat, "pty,raw,echo=0,link=" + A, "pty,raw,echo=0,link=" + B}, "", "");
    for (int i = 0; i < 200 && !(std::filesystem::exists(A) && std::filesystem::exists(B)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~TPtyPair() {
    if (Socat > 0) {
      kill(Socat, SIGTERM);
      waitpid(Socat, nullptr, 0);
    }
  }
};

bool SameUpToPadding(const std::string& out, const std::vector<std::uint8_t>& data) {
  std::ifstream f(out, std::ios::binary);
  std::vector<std::uint8_t> got((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
  return got.size() >= data.size() && std::equal(data.begin(), data.end(), got.begin());
}

// Our sender to rx; seconds from the start until rx has exited, or -1.
double OursToRx(const std::string& rx, const std::string& socat, const std::string& dir,
                const std::string& file, const std::vector<std::uint8_t>& data) {
  TPtyPair pair(socat, dir);
  std::filesystem::remove(dir + "/out.bin");
  TComPort port;
  port.SetPort(pair.B);
  port.Timeouts().SetReadInterval(20);
  port.Timeouts().SetReadTotalMultiplier(0);
  port.Timeouts().SetReadTotalConstant(3000);
  port.Open();
  auto start = Clock::now();
  pid_t pid = Spawn({rx, "-c", "-b", "-q", "out.bin"}, pair.A, dir);
  // The receiver has the file when it exits; its lost final ACK must not
  // count against the sender.
  Clock::time_point end{};
  bool exited = false;
  std::atomic<bool> gone{false};
  std::thread watcher([&] {
    exited = waitpid(pid, nullptr, 0) == pid;
    end = Clock::now();
    gone = true;
  });
  std::string reply;
  for (int i = 0; i < 10 && reply != "C"; ++i) port.ReceiveText(reply, 1);
  TXModemCRC sender(file);
  std::uint8_t buffer[256];
  std::uint16_t length = sizeof buffer;

  while (sender.NextPacket(reply, buffer, length)) {
    const bool eot = buffer[0] == kXModemEOT;
    port.PurgeBuffers(true, false);
    port.SendBytes(buffer, length);
    port.ReceiveText(reply, 1);
    if (eot && reply.empty()) break;
    length = sizeof buffer;
  }
  // rx takes a second after the EOT; one that hangs is ended.
  for (int i = 0; i < 500 && !gone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool hung = !gone;
  if (hung) kill(pid, SIGKILL);
  watcher.join();
  return exited && !hung && SameUpToPadding(dir + "/out.bin", data) ? Seconds(start, end) : -1;
}

double SxToRx(const std::string& sx, const std::string& rx, const std::string& socat,
              const std::string& dir, const std::string& file,
              const std::vector<std::uint8_t>& data) {
  TPtyPair pair(socat, dir);
  std::filesystem::remove(dir + "/out.bin");
  auto start = Clock::now();
  pid_t receiver = Spawn({rx, "-c", "-b", "-q", "out.bin"}, pair.A, dir);
  pid_t sender = Spawn({sx, "-b", "-q", file}, pair.B, dir);
  bool ok = WaitExit(receiver, 30000);
  auto end = Clock::now();
  WaitExit(sender, 2000);  // it may wait for the lost ACK
  return ok && SameUpToPadding(dir + "/out.bin", data) ? Seconds(start, end) : -1;
}

class TBenchHost : public IOperationHost {
 public:
  TComPort Port;
  TDeviceList List;
  TWorkerThread* Thread = nullptr;
  TComPort& ComPort() override { return Port; }
  TDeviceList& Devices() override { return List; }
  TDeviceProtocol CurrentProtocol() const override { return dpModbus; }
  void RefreshDataGrid() override {}
  void AddDevice(TDevice* d) override { List.Add(d); }
  void ClearWrittenMarks(int, bool, bool, bool, bool) override {}
  void ProgressPercent(int percent) override {
    if (percent >= 100 && Thread) Thread->Terminate();  // as the progress window does
  }
  void ProgressDevice(std::uint16_t, std::uint8_t) override {}
  void TotalUploadProgress(int, int) override {}
};

// The upload thread to a paced virtual line: seconds, or -1.
double ThreadToLine(const std::string& file, const std::vector<std::uint8_t>& data) {
  TVirtualLine line;
  line.SetPacing(9600);
  TSimXModemTiming timing;
  timing.FirstCMs = 10;
  timing.CIntervalMs = 10;
  line.SetXModemTiming(timing);
  TSimDevice d;
  d.Protocol = dpModbus;
  int index = line.AddDevice(d);
  TBenchHost host;
  host.Port.SetPort(line.SlavePath());
  host.Port.Parity().SetBits(prEven);
  host.Port.Timeouts().SetReadInterval(50);
  host.Port.Timeouts().SetReadTotalMultiplier(2);
  host.Port.Timeouts().SetReadTotalConstant(100);
  host.Port.Open();
  auto* thread = new TSoftwareUploadThread(file, &host);
  host.Thread = thread;
  QEventLoop loop;
  QObject::connect(thread, &QObject::destroyed, &loop, &QEventLoop::quit);
  line.BeginUpload(index);
  auto start = Clock::now();
  thread->start();
  loop.exec();
  auto end = Clock::now();
  std::vector<std::uint8_t> padded = data;
  padded.resize((data.size() + 127) / 128 * 128, 0);
  return line.Device(index).Firmware == padded ? Seconds(start, end) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int runs = quick ? 1 : 3;
  char dirName[] = "/tmp/lim07-bench-xmodem-XXXXXX";
  if (!mkdtemp(dirName)) return 0;
  const std::string dir = dirName;

  std::vector<std::uint8_t> big(64 * 1024);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + i / 97);
  const std::string bigFile = dir + "/fw64k.bin2";
  std::ofstream(bigFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(big.data()), static_cast<std::streamsize>(big.size()));

  std::printf("XModem-CRC sender, median of %d run(s)\n\n", runs);
  const std::string rx = Which("rx"), sx = Which("sx"), socat = Which("socat");
  if (rx.empty() || sx.empty() || socat.empty()) {
    std::printf("64 KiB to rx: skipped (lrzsz or socat missing)\n");
  } else {
    std::vector<double> ours, theirs;
    for (int i = 0; i < runs; ++i) {
      ours.push_back(OursToRx(rx, socat, dir, bigFile, big));
      theirs.push_back(SxToRx(sx, rx, socat, dir, bigFile, big));
    }
    const double o = Median(ours), t = Median(theirs);
    std::printf("%-34s %10s %10s %8s\n", "case", "ours s", "sx s", "ratio");
    std::printf("%-34s %10.3f %10.3f %8.3f%s\n", "64 KiB to rx over a socat pty pair", o, t,
                t > 0 ? o / t : 0.0, (o < 0 || t < 0) ? "  (a transfer failed)" : "");
  }

  // 8 KiB keeps a paced run near ten seconds.
  std::vector<std::uint8_t> small(big.begin(), big.begin() + 8 * 1024);
  const std::string smallFile = dir + "/fw8k.bin2";
  std::ofstream(smallFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(small.data()),
             static_cast<std::streamsize>(small.size()));
  const int blocks = static_cast<int>((small.size() + 127) / 128);
  const double floor = ((blocks * 133 + 1) + (blocks + 1)) * 11.0 / 9600.0;
  std::vector<double> paced;
  for (int i = 0; i < runs; ++i) paced.push_back(ThreadToLine(smallFile, small));
  const double p = Median(paced);
  std::printf("\n%-34s %10s %10s %8s\n", "case", "ours s", "floor s", "ratio");
  std::printf("%-34s %10.3f %10.3f %8.3f%s\n", "8 KiB upload thread, 9600 baud", p, floor,
              p / floor, p < 0 ? "  (the image was wrong)" : "");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
