// One polling cycle's readings of the whole line as plain values: what the
// data table, the views, the history writer and the publisher take from a
// cycle. Taken once per cycle while the polling thread waits, then handed out
// read-only; nothing in it points back into the device records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"

class TDeviceList;

struct TDeviceReading {
  std::uint16_t PlantNumber = 0;  // the device's stable identity
  std::uint8_t SystemAddress = 0;
  std::string Name;  // UTF-8
  std::uint8_t SensorCount = 0;
  std::uint16_t LevelCode = 0;
  std::uint16_t Level = 0;  // decimetres
  std::uint16_t LevelState = 0;
  std::uint16_t TemperatureState = 0;
  // Raw temperature words as received (1/16 degC, kNoDataTemperature, fault marks).
  std::vector<std::uint16_t> Temperatures;
  // Each request of the poll with its result; empty when never polled.
  std::vector<TRequestOutcome> Outcomes;
  // What this snapshot read from the device: a polling cycle reads every
  // device, a single read one device, and a snapshot taken because the list
  // changed reads none (it only shows the records as they are). The values of
  // a device that was not read are its last known ones.
  bool Read = false;
  // Of what was read, what the device confirmed: the level and the
  // temperature words are this read's own values.
  bool LevelConfirmed = false;
  bool TemperaturesConfirmed = false;

  // True when the device was polled and every request succeeded.
  bool Ok() const;
  // The result text of the first failed request, else "".
  std::string FailureText() const;
};

struct TLineSnapshot {
  std::int64_t TimeMs = 0;    // UTC, ms since 1970
  std::uint8_t Protocol = 0;  // TDeviceProtocol: 0 native "Ларгис-1", 1 Modbus
  std::uint64_t Cycle = 0;    // 1 for the first cycle of a polling run, 0 for a single read
  std::vector<TDeviceReading> Devices;  // in list order
};

// The current time as UTC ms since 1970.
std::int64_t UtcNowMs();

// Copies the readings of every listed device (temperatures under each
// device's lock). A polling cycle (cycle >= 1) marks every device read, with
// what each request of its poll confirmed; cycle 0 marks none.
TLineSnapshot TakeLineSnapshot(const TDeviceList& devices, std::uint8_t protocol,
                               std::int64_t timeMs, std::uint64_t cycle);

// Marks a reading as read by a poll with these requests (in the order a poll sends
// them: natively the level read, then the temperature read; in Modbus the one
// data read, which delivers both) and sets what they confirmed.
void SetPollOutcomes(TDeviceReading& reading, std::uint8_t protocol,
                     std::vector<TRequestOutcome> outcomes);
