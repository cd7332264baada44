// The messages a gateway publishes, as JSON (the schema is
// packaging/mqtt/lim07-mqtt.schema.json), and their topics below the prefix:
//   <plant>/reading   one a device and polling cycle
//   <plant>/meta      the device's record (retained)
//   <plant>/alarm     an alarm raised or ended
//   status            "online", or "offline" (retained; the last will)
// Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Alarms.h"
#include "HistoryOutbox.h"

// What the meta message tells of a device: its record and, when the gateway
// could identify it at start, its versions.
struct TDeviceMeta {
  std::uint16_t PlantNumber = 0;
  std::uint8_t SystemAddress = 0;
  std::string Name;  // UTF-8
  std::string Note;
  int SensorCount = 0;
  std::uint16_t CalibrationCode1 = 0, CalibrationCode2 = 0;
  std::uint16_t UnmeasurableLevel = 0, CalibrationLevel2 = 0;  // dm
  int AveragingCoefficient = 1;
  std::optional<int> HardwareVersion, SoftwareVersion;
};

// "2024-05-17T10:31:02.153Z"
std::string UtcIsoTime(std::int64_t ms);

std::string PlantTopic(std::uint16_t plant, const char* leaf);  // "1201/reading"

// The reading message of a queued device-reading. Temperatures are degrees
// (the word / 16); a fault mark or no data is null, and temperature_flags
// says which ("ok", "fault", "no_data"); a read that failed gives null
// values throughout.
std::string ReadingJson(const TOutboxItem& item);
std::string MetaJson(const TDeviceMeta& meta, const std::string& line, int protocol,
                     std::int64_t timeMs);
// An alarm as an outbox message: topic <plant>/alarm and its JSON.
TOutboxItem AlarmMessage(const TAlarmChange& change);
