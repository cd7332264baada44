// The demo line: a handful of named devices with plausible readings.
#include <cmath>
#include <random>

#include "VirtualLine.h"

namespace {

std::uint16_t Raw(double celsius) {
  return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(celsius * 16)));
}

// Grain warms towards the middle of a bunker and is cooler at the walls.
std::vector<std::uint16_t> Profile(int sensors, double top, double core) {
  std::vector<std::uint16_t> t;
  for (int i = 0; i < sensors; ++i) {
    const double x = sensors > 1 ? static_cast<double>(i) / (sensors - 1) : 0.5;
    t.push_back(Raw(top + (core - top) * std::sin(x * 3.14159265358979)));
  }
  return t;
}

TSimDevice Demo(const char* name, int address, int plant, int sensors, double level, double top,
                double core, TDeviceProtocol protocol) {
  TSimDevice d;
  d.Name = name;
  d.Address = static_cast<std::uint8_t>(address);
  d.PlantNumber = static_cast<std::uint16_t>(plant);
  d.HardwareVersion = 2;
  d.SoftwareVersion = 14;
  d.Protocol = protocol;
  d.Temperatures = Profile(sensors, top, core);
  d.LevelMetres = level;
  d.LevelCode = static_cast<std::uint16_t>(4000 + std::lround(level * 150));
  d.CalibrationCode1 = 4000;
  d.UnmeasurableLevel = 5;
  d.CalibrationCode2 = 7000;
  d.CalibrationLevel2 = 200;
  d.AveragingCoefficient = 4;
  d.Drift = true;
  return d;
}

}  // namespace

std::vector<TSimDevice> DemoDevices(TDeviceProtocol protocol) {
  std::vector<TSimDevice> devices = {
      Demo("Силос 1", 1, 1201, 8, 12.4, 11.0, 17.5, protocol),
      Demo("Силос 2", 2, 1202, 12, 18.9, 9.5, 21.0, protocol),
      Demo("Бункер 3", 3, 1203, 6, 4.2, 13.0, 15.0, protocol),
      Demo("Силос 4", 4, 1204, 10, 7.75, 8.0, 24.5, protocol),
      Demo("Бункер 5", 5, 1205, 16, 15.1, 10.0, 19.0, protocol),
  };
  devices[1].Temperatures[7] = kSimFaultA;  // a broken sensor
  devices[2].Temperatures[5] = kSimNoData;  // a sensor without data
  devices[2].StatusFlags = 0x0008;          // "Ошибка датчика"
  return devices;
}

std::unique_ptr<TVirtualLine> MakeDemoLine(TDeviceProtocol protocol) {
  auto line = std::make_unique<TVirtualLine>();
  for (const TSimDevice& d : DemoDevices(protocol)) line->AddDevice(d);
  return line;
}

void DriftDevice(TSimDevice& d, double seconds) {
  std::minstd_rand random(static_cast<unsigned>(d.PlantNumber) * 7919u +
                          static_cast<unsigned>(seconds));
  std::uniform_int_distribution<int> step(-1, 1);
  for (std::uint16_t& word : d.Temperatures) {
    if (word == kSimNoData || word == kSimFaultA || word == kSimFaultB) continue;
    const int t = static_cast<std::int16_t>(word) + step(random);
    if (t > -40 * 16 && t < 80 * 16)
      word = static_cast<std::uint16_t>(static_cast<std::int16_t>(t));
  }
  if (std::isfinite(d.LevelMetres)) {
    // A slow fill and draw-off of a few centimetres a minute.
    d.LevelMetres += 0.02 * std::sin(seconds / 90.0 + d.PlantNumber);
    if (d.LevelMetres < 0.5) d.LevelMetres = 0.5;
    if (d.LevelMetres > 25.0) d.LevelMetres = 25.0;
    d.LevelCode = static_cast<std::uint16_t>(4000 + std::lround(d.LevelMetres * 150));
  }
}
