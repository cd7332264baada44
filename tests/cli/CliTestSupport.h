// Running lim07ctl in tests: in process through RunCli, or the built program
// as a child process (for signals and the real exit status).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"

extern char** environ;

struct TCliRun {
  int Status = -1;  // exit status, or 128 + signal
  std::string Out;
  std::string Err;
};

inline TCliRun RunInProcess(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  TCliRun r;
  r.Status = RunCli(args, out, err, false);
  r.Out = out.str();
  r.Err = err.str();
  return r;
}

// The program beside this test: LIM07_BINARY_DIR/cli/lim07ctl, or found from
// this test's own path (build/tests/cli/test_cli) when ctest did not pass it.
inline std::string CtlBinary() {
  if (const char* dir = std::getenv("LIM07_BINARY_DIR"); dir && *dir)
    return std::string(dir) + "/cli/lim07ctl";
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path().parent_path() / "cli" / "lim07ctl").string();
}

// A child lim07ctl with its output collected. `onOutput` is called with the
// output so far whenever more arrives; it may signal the child.
class TCliChild {
 public:
  explicit TCliChild(const std::vector<std::string>& args) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> all = {CtlBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    FOut = outPipe[0];
    FErr = errPipe[0];
  }
  ~TCliChild() {
    if (FPid > 0 && !FReaped) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
    if (FErr >= 0) close(FErr);
  }
  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }

  // Collects output until the child has closed both streams and exited, or
  // the time is up (then the child is killed and Status stays -1).
  TCliRun Wait(std::chrono::milliseconds limit,
               const std::function<void(const TCliRun&)>& onOutput = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
      if (poll(fds, 2, 50) <= 0) continue;
      char buffer[4096];
      bool more = false;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          (i == 0 ? outOpen : errOpen) = false;
        } else {
          (i == 0 ? FRun.Out : FRun.Err).append(buffer, static_cast<std::size_t>(n));
          more = true;
        }
      }
      if (more && onOutput) onOutput(FRun);
    }
    if (outOpen || errOpen) return FRun;  // timed out
    int status = 0;
    if (waitpid(FPid, &status, 0) == FPid) {
      FReaped = true;
      FRun.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return FRun;
  }

 private:
  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  bool FReaped = false;
  TCliRun FRun;
};

inline TCliRun RunChild(const std::vector<std::string>& args,
                        std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  TCliChild child(args);
  return child.Wait(limit);
}

// A fresh folder for a test's files, removed at the end.
class TTempDir {
 public:
  TTempDir() {
    char pattern[] = "/tmp/lim07ctl-test-XXXXXX";
    FPath = mkdtemp(pattern) ? pattern : "/tmp";
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}
