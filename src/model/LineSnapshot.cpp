#include "LineSnapshot.h"

#include <chrono>

#include "DeviceList.h"

bool TDeviceReading::Ok() const {
  if (Outcomes.empty()) return false;
  for (const TRequestOutcome& o : Outcomes)
    if (!o.Ok) return false;
  return true;
}

std::string TDeviceReading::FailureText() const {
  for (const TRequestOutcome& o : Outcomes)
    if (!o.Ok) return o.Result;
  return {};
}

std::int64_t UtcNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TLineSnapshot TakeLineSnapshot(const TDeviceList& devices, std::uint8_t protocol,
                               std::int64_t timeMs, std::uint64_t cycle) {
  TLineSnapshot snapshot;
  snapshot.TimeMs = timeMs;
  snapshot.Protocol = protocol;
  snapshot.Cycle = cycle;
  snapshot.Devices.reserve(static_cast<std::size_t>(devices.Count()));
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    TDeviceReading r;
    r.PlantNumber = d.PlantNumber();
    r.SystemAddress = d.SystemAddress();
    r.Name = d.Name();
    r.SensorCount = d.SensorCount();
    r.LevelCode = d.LevelCode;
    r.Level = d.Level;
    r.LevelState = d.LevelState;
    r.TemperatureState = d.TemperatureState;
    r.Temperatures = d.TemperaturesSnapshot();
    if (cycle > 0)
      SetPollOutcomes(r, protocol, d.PollOutcomes);
    else
      r.Outcomes = d.PollOutcomes;
    snapshot.Devices.push_back(std::move(r));
  }
  return snapshot;
}

void SetPollOutcomes(TDeviceReading& reading, std::uint8_t protocol,
                     std::vector<TRequestOutcome> outcomes) {
  reading.Outcomes = std::move(outcomes);
  reading.Read = !reading.Outcomes.empty();
  const auto& o = reading.Outcomes;
  if (protocol == 0 && o.size() == 2) {
    reading.LevelConfirmed = o[0].Ok;
    reading.TemperaturesConfirmed = o[1].Ok;
  } else {
    reading.LevelConfirmed = reading.TemperaturesConfirmed = reading.Ok();
  }
}
