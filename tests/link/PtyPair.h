// A pseudo-terminal pair for port tests: the port opens the slave path, the
// test plays the other end on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FMaster >= 0 && grantpt(FMaster) == 0 && unlockpt(FMaster) == 0) {
      char name[128] = {};
      if (ptsname_r(FMaster, name, sizeof name) == 0) FSlavePath = name;
    }
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return FMaster >= 0 && !FSlavePath.empty(); }
  int Master() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }
  void CloseMaster() {
    if (FMaster >= 0) ::close(FMaster);
    FMaster = -1;
  }

  void Write(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t r = ::write(FMaster, bytes.data() + done, bytes.size() - done);
      if (r > 0) done += static_cast<std::size_t>(r);
      if (r < 0) {
        pollfd p{FMaster, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Reads until `count` bytes arrived or `limitMs` passed.
  std::vector<std::uint8_t> Read(std::size_t count, int limitMs = 2000) const {
    std::vector<std::uint8_t> bytes;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[256];
      const ssize_t r = ::read(FMaster, buf, sizeof buf);
      if (r > 0) bytes.insert(bytes.end(), buf, buf + r);
    }
    return bytes;
  }

  // The slave's line settings, as the other end sees them.
  tcflag_t CFlag() const {
    termios t{};
    tcgetattr(FMaster, &t);
    return t.c_cflag;
  }

 private:
  int FMaster = -1;
  std::string FSlavePath;
};
