// A bare client of the virtual line for the simulator's own tests: the slave
// side opened as a plain file descriptor, no TComPort involved.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Crc16.h"
#include "VirtualLine.h"

using TBytes = std::vector<std::uint8_t>;

inline TBytes WithCrc(TBytes frame) {
  const std::uint16_t crc = Crc16(frame.data(), 0, static_cast<int>(frame.size()));
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

class TTestPort {
 public:
  explicit TTestPort(const std::string& path) {
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FFd < 0) throw std::runtime_error("cannot open " + path);
    termios t;
    tcgetattr(FFd, &t);
    cfmakeraw(&t);
    tcsetattr(FFd, TCSANOW, &t);
  }
  ~TTestPort() { close(FFd); }
  TTestPort(const TTestPort&) = delete;
  TTestPort& operator=(const TTestPort&) = delete;
  int Fd() const { return FFd; }

  // What the sender's parity looks like on a pty (PARENB is cleared there).
  void SetParity(TSimParity parity) {
    termios t;
    tcgetattr(FFd, &t);
    t.c_cflag &= ~static_cast<tcflag_t>(PARODD | CMSPAR);
    if (parity == TSimParity::Mark) t.c_cflag |= PARENB | PARODD | CMSPAR;
    if (parity == TSimParity::Space) t.c_cflag |= PARENB | CMSPAR;
    if (parity == TSimParity::Odd) t.c_cflag |= PARENB | PARODD;
    tcsetattr(FFd, TCSANOW, &t);  // a pty may report EINVAL for PARENB: harmless
  }

  void Write(const TBytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(FFd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("write failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // The native discipline: address with mark parity, a pause, the rest with
  // space parity.
  void SendNative(const TBytes& frame) {
    SetParity(TSimParity::Mark);
    Write({frame[0]});
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    SetParity(TSimParity::Space);
    Write(TBytes(frame.begin() + 1, frame.end()));
  }

  void SendModbus(const TBytes& frame) {
    SetParity(TSimParity::NoneOrEven);
    Write(frame);
  }

  // Reads until max bytes are in, the line is quiet for quietMs after a byte,
  // or totalMs have passed.
  TBytes Read(std::size_t max, int totalMs = 1000, int quietMs = 60) {
    TBytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
    while (out.size() < max) {
      auto now = std::chrono::steady_clock::now();
      if (now >= end) break;
      int wait = static_cast<int>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) +
                 1;
      if (!out.empty() && wait > quietMs) wait = quietMs;
      pollfd p{FFd, POLLIN, 0};
      const int r = poll(&p, 1, wait);
      if (r <= 0) {
        if (!out.empty()) break;
        continue;
      }
      if (p.revents & (POLLHUP | POLLERR) && !(p.revents & POLLIN)) break;
      std::uint8_t buffer[512];
      const ssize_t n = read(FFd, buffer, std::min(sizeof buffer, max - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

  TBytes Native(const TBytes& frame, std::size_t max = 256, int totalMs = 1000) {
    tcflush(FFd, TCIFLUSH);
    SendNative(frame);
    return Read(max, totalMs);
  }
  TBytes Modbus(const TBytes& frame, std::size_t max = 256, int totalMs = 1000) {
    tcflush(FFd, TCIFLUSH);
    SendModbus(frame);
    return Read(max, totalMs);
  }

 private:
  int FFd = -1;
};

// A device as the tests like it: address 5, plant number 1234 (0x04D2).
inline TSimDevice TestDevice(TDeviceProtocol protocol = dpLargis1) {
  TSimDevice d;
  d.Name = "test";
  d.Address = 5;
  d.PlantNumber = 1234;
  d.HardwareVersion = 3;
  d.SoftwareVersion = 17;
  d.Protocol = protocol;
  d.Temperatures = {0x0198, 0xFFCC, 0xAAAA};
  d.LevelCode = 0x1234;
  d.LevelMetres = 12.34;
  d.StatusFlags = 0x0012;
  d.CalibrationCode1 = 0x0FA0;
  d.UnmeasurableLevel = 125;
  d.CalibrationCode2 = 0x1B58;
  d.CalibrationLevel2 = 200;
  d.AveragingCoefficient = 4;
  return d;
}
