#include "Alarms.h"

#include <cmath>

#include "TrendSource.h"

namespace {

// A rise window keeps one sample per this fraction of its length (the
// newest of each slot), so a day's window holds about 64 points however
// fast the line is polled.
constexpr int kWindowSlots = 64;

}  // namespace

const char* AlarmKindText(TAlarmKind kind) {
  return kind == TAlarmKind::Rise ? "Рост температуры" : "Превышение температуры";
}

TAlarmLimit TAlarmLimits::For(std::uint16_t plant) const {
  TAlarmLimit limit = Line;
  if (const auto it = Devices.find(plant); it != Devices.end()) {
    if (it->second.Upper) limit.Upper = it->second.Upper;
    if (it->second.RisePerDay) limit.RisePerDay = it->second.RisePerDay;
  }
  return limit;
}

bool TAlarmLimits::AnyRise() const {
  if (Line.RisePerDay) return true;
  for (const auto& [plant, l] : Devices)
    if (l.RisePerDay) return true;
  return false;
}

bool TAlarmLimits::Any() const {
  if (Line.Upper || Line.RisePerDay) return true;
  for (const auto& [plant, l] : Devices)
    if (l.Upper || l.RisePerDay) return true;
  return false;
}

void TAlarmEngine::SetLimits(const TAlarmLimits& limits) {
  if (limits.RiseWindowHours != FLimits.RiseWindowHours) {
    FWindows.clear();
    FKnown.clear();
  }
  FLimits = limits;
}

void TAlarmEngine::SetActive(const std::vector<TAlarm>& active) {
  FActive.clear();
  for (const TAlarm& a : active)
    if (a.Active()) FActive[{a.PlantNumber, a.Sensor, static_cast<int>(a.Kind)}] = a;
}

std::int64_t TAlarmEngine::WindowMs() const {
  return static_cast<std::int64_t>(std::max(1, FLimits.RiseWindowHours)) * 3'600'000;
}

void TAlarmEngine::AddSample(std::uint16_t plant, int sensor, std::int64_t timeMs,
                             double degrees) {
  auto& window = FWindows[{plant, sensor}];
  const std::int64_t slot = WindowMs() / kWindowSlots;
  if (!window.empty() && timeMs < window.back().TimeMs) return;  // the clock went back
  // The newest sample of a slot stands for it; the first sample of the
  // window is kept so that its span is known.
  if (window.size() >= 2 && timeMs / slot == window.back().TimeMs / slot &&
      window[window.size() - 2].TimeMs / slot == timeMs / slot)
    window.back() = {timeMs, degrees};
  else
    window.push_back({timeMs, degrees});
  while (!window.empty() && window.front().TimeMs < timeMs - WindowMs()) window.pop_front();
}

std::optional<double> TAlarmEngine::RisePerDay(std::uint16_t plant, int sensor) const {
  const auto it = FWindows.find({plant, sensor});
  if (it == FWindows.end() || it->second.size() < 3) return std::nullopt;
  const auto& w = it->second;
  if (w.back().TimeMs - w.front().TimeMs < WindowMs() / 2) return std::nullopt;
  // Least squares over the window: a single odd reading moves it little.
  const double t0 = static_cast<double>(w.front().TimeMs);
  double st = 0, sv = 0, stt = 0, stv = 0;
  for (const TSample& s : w) {
    const double t = (static_cast<double>(s.TimeMs) - t0) / 86'400'000.0;  // days
    st += t;
    sv += s.Degrees;
    stt += t * t;
    stv += t * s.Degrees;
  }
  const double n = static_cast<double>(w.size());
  const double d = n * stt - st * st;
  if (d <= 0) return std::nullopt;
  return (n * stv - st * sv) / d;
}

std::vector<TAlarmChange> TAlarmEngine::Evaluate(const TLineSnapshot& snapshot) {
  std::vector<TAlarmChange> changes;
  for (const TDeviceReading& r : snapshot.Devices) {
    if (!r.Read || !r.TemperaturesConfirmed) continue;
    const TAlarmLimit limit = FLimits.For(r.PlantNumber);
    FKnown[r.PlantNumber] = true;
    const int sensors = std::min<int>(static_cast<int>(r.Temperatures.size()), kMaxTrendSeries);
    for (int i = 0; i < sensors; ++i) {
      const double v = TemperatureValue(r.Temperatures[static_cast<std::size_t>(i)]);
      if (std::isnan(v)) continue;
      const int sensor = i + 1;
      if (limit.RisePerDay) AddSample(r.PlantNumber, sensor, snapshot.TimeMs, v);
      const auto check = [&](TAlarmKind kind, std::optional<double> bound,
                             std::optional<double> value) {
        const TKey key{r.PlantNumber, sensor, static_cast<int>(kind)};
        const auto active = FActive.find(key);
        if (active != FActive.end()) {
          // Ends when back by the hysteresis, or when its limit was taken off.
          if (!bound || (value && *value <= *bound - FLimits.Hysteresis)) {
            TAlarm ended = active->second;
            ended.ClearedMs = snapshot.TimeMs;
            FActive.erase(active);
            changes.push_back({ended, false});
          }
          return;
        }
        if (!bound || !value || !(*value > *bound)) return;
        TAlarm a;
        a.Kind = kind;
        a.PlantNumber = r.PlantNumber;
        a.DeviceName = r.Name;
        a.Sensor = sensor;
        a.RaisedMs = snapshot.TimeMs;
        a.Value = *value;
        a.Limit = *bound;
        FActive[key] = a;
        changes.push_back({a, true});
      };
      check(TAlarmKind::Upper, limit.Upper, v);
      check(TAlarmKind::Rise, limit.RisePerDay,
            limit.RisePerDay ? RisePerDay(r.PlantNumber, sensor) : std::nullopt);
    }
  }
  return changes;
}

std::vector<TAlarm> TAlarmEngine::Active() const {
  std::vector<TAlarm> out;
  for (const auto& [key, a] : FActive) out.push_back(a);
  return out;
}
