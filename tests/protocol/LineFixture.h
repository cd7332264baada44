// A virtual line with the real serial port opened on it, as the program sees
// a line of devices. Each test gets its own line, so tests run in parallel.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>

#include "ComPort.h"
#include "ModbusRequests.h"
#include "NativeRequests.h"
#include "TestFrames.h"
#include "VirtualLine.h"

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort(line.SlavePath());
    // The main window's read limits: 50 ms quiet gap, 2 ms per byte.
    port.Timeouts().SetReadInterval(50);
    port.Timeouts().SetReadTotalMultiplier(2);
    port.Open();
  }

  // A simulated device and its record in the program, both at `address`.
  int AddDevice(std::uint8_t address, std::uint16_t plant, TDeviceProtocol protocol,
                std::vector<std::uint16_t> temperatures = {0x0198, 0xFFCC, 0xAAAA}) {
    TSimDevice d;
    d.Address = address;
    d.PlantNumber = plant;
    d.Protocol = protocol;
    d.Temperatures = std::move(temperatures);
    const int index = line.AddDevice(d);
    device.SetSystemAddress(address);
    device.SetPlantNumber(plant);
    device.SetSensorCount(static_cast<int>(d.Temperatures.size()));
    return index;
  }

  // Replaces the device's faults by fresh ones as `set` makes them.
  void SetFaults(int index, const std::function<void(TSimFaults&)>& set) {
    TSimFaults faults;
    set(faults);
    line.Modify(index, [&](TSimDevice& d) { d.Faults = faults; });
  }

  // The frame the line logged as number `n` (0-based), waiting for it.
  TSimFrame Frame(std::size_t n) {
    EXPECT_TRUE(line.WaitFrames(n + 1, std::chrono::seconds(3)));
    const auto frames = line.Frames();
    if (frames.size() <= n) return {};
    return frames[n];
  }

  // The frames in the order sent, for tests where every exchange sends one.
  TSimFrame NextFrame() { return Frame(FNextFrame++); }

  static std::string Hex(const Bytes& b) { return SimHex(b); }
  // The first `n` bytes of a frame in hexadecimal (the rest is the CRC).
  static std::string Prefix(const Bytes& b, std::size_t n) {
    return SimHex(Bytes(b.begin(), b.begin() + static_cast<long>(std::min(n, b.size()))));
  }

  // The native discipline as the line saw it: the address byte with mark
  // parity in a read of its own, the rest with space parity. The line samples
  // parity and time when its thread gets the bytes; on a loaded machine it can
  // be late (sampling after the switch to space, or seeing both writes at
  // once), so a few tries are allowed. A program that never sends mark parity
  // fails every try; the port's write trace is the exact record.
  void ExpectNativeDiscipline(TTransaction& t, TDevice* target) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      t.Execute(target);
      const TSimFrame f = NextFrame();
      const bool seen = f.GapAfterFirstMs > 0 && f.FirstParity == TSimParity::Mark;
      if (!seen && attempt < 4) continue;
      EXPECT_EQ(f.FirstParity, TSimParity::Mark);
      EXPECT_EQ(f.RestParity, TSimParity::Space);
      EXPECT_GT(f.GapAfterFirstMs, 0.0);
      return;
    }
  }

  std::vector<std::uint16_t> Temps() const { return device.TemperaturesSnapshot(); }

  // Milliseconds taken by f().
  template <class F>
  static double Timed(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  TVirtualLine line;  // declared first: outlives the port
  TComPort port;
  TDevice device;
  std::size_t FNextFrame = 0;
};
