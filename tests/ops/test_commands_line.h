// A virtual line with one simulated device and the real serial port opened on
// it, for the single-device command tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "ComPort.h"
#include "Crc16.h"
#include "Device.h"
#include "DeviceCommands.h"
#include "VirtualLine.h"

using TBytes = std::vector<std::uint8_t>;

inline TBytes WithCrc(TBytes frame) {
  const std::uint16_t crc = Crc16(frame.data(), 0, static_cast<int>(frame.size()));
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

// Device "Bunker3" at address 5 with plant number 1234, the record matching it.
inline TSimDevice SimBunker(TDeviceProtocol protocol) {
  TSimDevice d;
  d.Name = "Bunker3";
  d.Address = 5;
  d.PlantNumber = 1234;
  d.HardwareVersion = 3;
  d.SoftwareVersion = 17;
  d.Protocol = protocol;
  d.Temperatures = {0x0198, 0xFFCC, 0xAAAA};
  d.LevelCode = 0x1234;
  d.LevelMetres = 12.3;
  d.CalibrationCode1 = 0x0FA0;
  d.UnmeasurableLevel = 125;
  d.CalibrationCode2 = 0x1B58;
  d.CalibrationLevel2 = 200;
  d.AveragingCoefficient = 4;
  return d;
}

class CommandLine : public ::testing::Test {
 protected:
  TVirtualLine line;
  TComPort port;
  TDevice device;
  int sim = -1;

  // Puts one device on the line in `protocol` and opens the port on it.
  void Start(TDeviceProtocol protocol) {
    sim = line.AddDevice(SimBunker(protocol));
    port.SetPort(line.SlavePath());
    port.Open();
    // Requests that keep the port's read limit need one.
    port.Timeouts().SetReadTotalConstant(200);
    device.SetName("Bunker3");
    device.SetSystemAddress(5);
    device.SetPlantNumber(1234);
    device.SetSensorCount(3);
    device.SetAveragingCoefficient(4);
  }

  TDeviceCommands Commands(TDeviceProtocol protocol) { return TDeviceCommands(&port, protocol); }

  void Silence(bool on = true) {
    line.Modify(sim, [on](TSimDevice& d) { d.Faults.Silent = on; });
  }

  TSimDevice Sim() const { return line.Device(sim); }

  // The requests the line has received since the last ClearFrames.
  std::vector<TBytes> Requests() const {
    std::vector<TBytes> out;
    for (const TSimFrame& f : line.Frames()) out.push_back(f.Bytes);
    return out;
  }
};
