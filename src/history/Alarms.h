// Hot-spot alarms: per device an upper temperature limit and a limit on the
// rise per day, both off until set, with defaults for the whole line and
// overrides per device. An alarm is raised once when a sensor crosses its
// limit and stays active until the value has come back by the hysteresis;
// it is kept with the time, the device, the sensor, the value and the kind,
// and later when and by whom it was acknowledged. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "LineSnapshot.h"

enum class TAlarmKind : int { Upper = 1, Rise = 2 };

struct TAlarm {
  std::int64_t Id = 0;  // in the database; 0 before it is stored
  TAlarmKind Kind = TAlarmKind::Upper;
  std::uint16_t PlantNumber = 0;
  std::string DeviceName;  // UTF-8, as named when raised
  int Sensor = 0;          // 1 … 32
  std::int64_t RaisedMs = 0;
  double Value = 0;  // degC (upper) or degC a day (rise) when raised
  double Limit = 0;  // the limit in force then
  std::int64_t ClearedMs = 0;  // 0 while active
  std::int64_t AckMs = 0;      // 0 until acknowledged
  std::string AckBy;
  bool Active() const { return ClearedMs == 0; }
  bool Acknowledged() const { return AckMs != 0; }
};

// "Превышение температуры" / "Рост температуры".
const char* AlarmKindText(TAlarmKind kind);

struct TAlarmLimit {
  std::optional<double> Upper;       // degC
  std::optional<double> RisePerDay;  // degC a day
  bool operator==(const TAlarmLimit&) const = default;
};

struct TAlarmLimits {
  TAlarmLimit Line;                              // defaults for every device
  std::map<std::uint16_t, TAlarmLimit> Devices;  // by plant number; a set field overrides
  // How far a value must come back below its limit before the alarm ends:
  // degC for the upper limit, degC a day for the rise.
  double Hysteresis = 1.0;
  // The rise is the slope of the readings of this many hours behind the newest.
  int RiseWindowHours = 24;
  // The limits in force for a device.
  TAlarmLimit For(std::uint16_t plant) const;
  bool AnyRise() const;
  bool Any() const;
  bool operator==(const TAlarmLimits&) const = default;
};

// One raised or ended alarm, as the engine reports it.
struct TAlarmChange {
  TAlarm Alarm;
  bool Raised = true;  // false: it ended (ClearedMs is set)
};

// Watches the readings of each cycle against the limits. Not locked: one
// thread (the recorder's).
class TAlarmEngine {
 public:
  void SetLimits(const TAlarmLimits& limits);
  const TAlarmLimits& Limits() const { return FLimits; }
  // The alarms still active (from the database after a restart): they are
  // not raised again, and end as any other.
  void SetActive(const std::vector<TAlarm>& active);
  // Adds a past reading of a sensor to its rise window (priming after a
  // restart); readings must come in time order.
  void AddSample(std::uint16_t plant, int sensor, std::int64_t timeMs, double degrees);
  // Whether the rise window of a device has been primed (or filled by cycles).
  bool Knows(std::uint16_t plant) const { return FKnown.count(plant) != 0; }
  void MarkKnown(std::uint16_t plant) { FKnown[plant] = true; }

  // Takes one cycle's readings: the alarms it raised and ended. Sensors the
  // cycle did not confirm (failed reads, no data, fault marks) change nothing.
  std::vector<TAlarmChange> Evaluate(const TLineSnapshot& snapshot);
  // The slope of a sensor's rise window, degC a day; nullopt while the
  // window spans less than half its length.
  std::optional<double> RisePerDay(std::uint16_t plant, int sensor) const;
  // The alarms active now.
  std::vector<TAlarm> Active() const;

 private:
  using TKey = std::tuple<std::uint16_t, int, int>;  // plant, sensor, kind
  struct TSample {
    std::int64_t TimeMs;
    double Degrees;
  };
  std::int64_t WindowMs() const;

  TAlarmLimits FLimits;
  std::map<TKey, TAlarm> FActive;
  std::map<std::pair<std::uint16_t, int>, std::deque<TSample>> FWindows;
  std::map<std::uint16_t, bool> FKnown;
};
