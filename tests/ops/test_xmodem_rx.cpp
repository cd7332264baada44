// A real XModem receiver (rx of lrzsz) on a pseudo-terminal must take our
// sender's files intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UploadTestFiles.h"
#include "XModemCRC.h"

extern char** environ;

namespace {

std::string FindRx() {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
    std::string path = std::string(dir) + "/rx";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// Reads one byte within ms milliseconds; empty on silence.
std::string ReadByte(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return {};
  char c;
  return read(fd, &c, 1) == 1 ? std::string(1, c) : std::string();
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

// Waits for the child up to ms milliseconds; its exit status, or -1.
int WaitExit(pid_t pid, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// True when the child ends within ms milliseconds; its exit status in code.
bool Exited(pid_t pid, int ms, int& code) {
  for (int waited = 0; waited <= ms; waited += 20) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class XModemToRx : public ::testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(XModemToRx, ReceivedFileEqualsSentOne) {
  const std::string rx = FindRx();
  if (rx.empty()) GTEST_SKIP() << "rx (lrzsz) is not installed";

  TTempDir dir;
  const std::vector<std::uint8_t> data = PatternBytes(GetParam());
  const std::string in = dir.Write("in.bin2", data);
  const std::string out = dir.Path("out.bin");

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  // Raw from the start, so nothing echoes before rx sets the mode itself.
  int slaveFd = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slaveFd, 0);
  termios tio{};
  tcgetattr(slaveFd, &tio);
  cfmakeraw(&tio);
  tcsetattr(slaveFd, TCSANOW, &tio);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slaveFd, 0);
  posix_spawn_file_actions_adddup2(&actions, slaveFd, 1);
  // rx refuses path names in its restricted mode: run it in the folder.
  posix_spawn_file_actions_addchdir_np(&actions, dir.Path("").c_str());
  std::vector<std::string> args = {rx, "-c", "-b", "-q", "out.bin"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, rx.c_str(), &actions, nullptr, argv.data(), environ), 0);
  // Ends rx on every way out of the test.
  std::unique_ptr<pid_t, void (*)(pid_t*)> reaper(&pid, [](pid_t* p) {
    if (*p > 0 && waitpid(*p, nullptr, WNOHANG) == 0) {
      kill(*p, SIGKILL);
      waitpid(*p, nullptr, 0);
    }
  });
  posix_spawn_file_actions_destroy(&actions);
  close(slaveFd);

  // rx asks with "C" and repeats it until the first block arrives.
  std::string reply;
  for (int i = 0; i < 20 && reply != "C"; ++i) reply = ReadByte(master, 1000);
  ASSERT_EQ(reply, "C");

  TXModemCRC sender(in);
  std::uint8_t buffer[256];
  std::uint16_t length = sizeof buffer;
  int packets = 0;
  std::string trace;  // what went out and what came back, for a failure
  int exitCode = -1;
  while (sender.NextPacket(reply, buffer, length) && packets < 2000) {
    ++packets;
    const bool eot = buffer[0] == kXModemEOT;
    tcflush(master, TCIFLUSH);  // as the upload threads purge before each packet
    ASSERT_TRUE(WriteAll(master, buffer, length));
    // Silence asks for the packet again, as on the line.
    reply = ReadByte(master, 3000);
    trace += (eot ? std::string("EOT") : "#" + std::to_string(buffer[1])) + "->" +
             (reply.empty() ? std::string("-") : std::to_string(std::uint8_t(reply[0]))) + " ";
    // rx answers the EOT after a second and often loses that ACK on a pty:
    // silence after an EOT and rx gone means done.
    if (eot && reply.empty() && Exited(pid, 1500, exitCode)) {
      pid = 0;
      break;
    }
    length = sizeof buffer;
  }
  if (pid > 0) exitCode = WaitExit(pid, 5000);
  pid = 0;
  EXPECT_EQ(exitCode, 0) << trace;
  close(master);

  std::ifstream f(out, std::ios::binary);
  std::vector<std::uint8_t> got((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
  ASSERT_GE(got.size(), data.size());
  EXPECT_LT(got.size(), data.size() + 128);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
  for (std::size_t i = data.size(); i < got.size(); ++i)
    ASSERT_TRUE(got[i] == 0x00 || got[i] == 0x1A) << "padding byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, XModemToRx, ::testing::Values(1, 128, 129, 3000, 65536));
