// Shared by the history tests: a temporary folder and snapshots of a line.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "LineSnapshot.h"

class TTempFolder {
 public:
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lim07-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) FPath = pattern;
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// A reading of a healthy device: sensors at `degrees` (+0.0625 a sensor).
inline TDeviceReading HealthyReading(std::uint16_t plant, int sensors, double degrees,
                                     std::uint8_t protocol = 0) {
  TDeviceReading r;
  r.PlantNumber = plant;
  r.SystemAddress = static_cast<std::uint8_t>(plant % 250 + 1);
  r.Name = "Силос " + std::to_string(plant);
  r.SensorCount = static_cast<std::uint8_t>(sensors);
  r.LevelCode = 1234;
  r.Level = 57;
  for (int i = 0; i < sensors; ++i)
    r.Temperatures.push_back(static_cast<std::uint16_t>(static_cast<std::int16_t>(degrees * 16) + i));
  if (protocol == 0)
    SetPollOutcomes(r, 0,
                    {{"Чтение уровня", "Операция завершена успешно", true},
                     {"Чтение температуры", "Операция завершена успешно", true}});
  else
    SetPollOutcomes(r, 1, {{"Чтение данных", "Операция завершена успешно", true}});
  return r;
}

inline std::shared_ptr<TLineSnapshot> Cycle(std::int64_t timeMs, std::uint64_t cycle,
                                            std::vector<TDeviceReading> devices,
                                            std::uint8_t protocol = 0) {
  auto s = std::make_shared<TLineSnapshot>();
  s->TimeMs = timeMs;
  s->Cycle = cycle;
  s->Protocol = protocol;
  s->Devices = std::move(devices);
  return s;
}
