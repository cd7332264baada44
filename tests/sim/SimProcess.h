// Running programs from the simulator's tests: lim07-sim itself and peers.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; returns its exit status and output (stdout and
// stderr together).
inline int RunShell(const std::string& command, std::string* output = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buffer[4096];
  std::string out;
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lim07-sim program of this build.
inline std::string SimProgram() {
#ifdef LIM07_SIM_PROGRAM
  return LIM07_SIM_PROGRAM;
#else
  return "lim07-sim";
#endif
}

// A child process with its stdout on a pipe.
class TChild {
 public:
  TChild(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    FPid = fork();
    if (FPid == 0) {
      dup2(out[1], 1);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    FOut = out[0];
  }
  ~TChild() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
  }
  pid_t Pid() const { return FPid; }

  // One line of the child's output, waiting at most timeoutMs.
  std::string ReadLine(int timeoutMs) {
    std::string line;
    for (;;) {
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return line;
      char c;
      if (read(FOut, &c, 1) != 1 || c == '\n') return line;
      line += c;
    }
  }

  // Sends a signal and waits for the exit status (-1: killed or lost).
  int Stop(int signal) {
    kill(FPid, signal);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t FPid = -1;
  int FOut = -1;
};
