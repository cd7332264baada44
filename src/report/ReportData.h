// What a commissioning report says: the head the engineer fills in, the line
// (port, protocol, program), each device's record and last readings, the
// missing plant numbers, duplicate addresses and, when a history database is
// in use, its active and recent alarms. Plain values, taken once on the
// thread that owns the devices and then rendered anywhere.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "Alarms.h"
#include "ComPort.h"
#include "DeviceList.h"
#include "PaintStyle.h"
#include "TemperatureScale.h"

struct TReportHead {
  QString Object;    // "Объект"
  QString Engineer;  // "Инженер"
  QString Date;      // as typed, today's date by default
  QString Note;      // "Примечание", may hold line breaks
};

// One device's stored settings and what is known besides.
struct TReportDevice {
  std::string Name;
  std::uint16_t PlantNumber = 0;
  std::uint8_t SystemAddress = 0;
  std::uint8_t SensorCount = 0;
  std::uint16_t CalibrationCode1 = 0;
  std::uint16_t UnmeasurableLevel = 0;  // dm, also H1
  std::uint16_t CalibrationCode2 = 0;
  std::uint16_t CalibrationLevel2 = 0;
  std::uint8_t AveragingCoefficient = 1;
  std::string Note;
  std::string Firmware;  // "" when not known
};

// An alarm of the history: active now, or cleared within the recent period.
struct TReportAlarm {
  std::int64_t RaisedMs = 0;   // UTC ms
  std::int64_t ClearedMs = 0;  // 0 while active
  std::uint16_t PlantNumber = 0;
  std::string DeviceName;
  int Sensor = 0;    // 1 …, 0 for the device as a whole
  std::string Text;  // what is wrong, with the value
};

struct TReportData {
  TReportHead Head;
  QString PortText;  // "/dev/ttyUSB0, 9600 бит/с, 8 бит, чётность even, 1 стоп-бит"
  QString ProtocolText;  // "Ларгис-1" or "Modbus RTU"
  QString ProgramText;   // program and version
  std::int64_t CreatedMs = 0;
  std::vector<TReportDevice> Devices;
  // The readings, one per device in the same order; whether each request
  // of the last read confirmed its values (Read, LevelConfirmed,
  // TemperaturesConfirmed) is set.
  TSnapshotPtr Readings;
  std::string MissingNumbers;  // the missing-numbers message; "" for an empty list
  bool HistoryInUse = false;
  std::vector<TReportAlarm> Alarms;
  TTemperatureScale Scale;
  bool SensorOneAtTop = true;
  bool Profiles = true;  // one temperature profile per device
};

// The report of the listed devices as their records stand, in list order.
// The readings are the records' own (temperatures taken under each device's
// lock: call while nobody polls), or `readings` when given for the same
// devices (a snapshot taken while the poller waited).
TReportData MakeReportData(const TDeviceList& devices, std::uint8_t protocol, std::int64_t timeMs,
                           TSnapshotPtr readings = nullptr);

// The port's settings: "/dev/ttyUSB0, 9600 бит/с, 8 бит данных, чётность
// Even, 1 стоп-бит".
QString PortText(const TCustomComPort& port);

// The texts the report and its data files show.
QString ProtocolName(std::uint8_t protocol);
// A temperature as the state panel shows it: two decimals with the
// system's separator (or '.' when `data`), "****" for a fault mark, "" for no
// data.
QString TemperatureCell(std::uint16_t word, bool data = false);
// Whether the reading's temperatures and level are this read's own values.
bool TemperaturesValid(const TDeviceReading& r);
bool LevelValid(const TDeviceReading& r);
// The result of the last read: the first failure's text, the success text,
// or "не опрашивался".
QString ResultText(const TDeviceReading& r);
// Each system address held by more than one device: "адрес 3: Силос 1
// (зав. № 1201), Силос 4 (зав. № 1204)". Empty when none.
std::vector<QString> DuplicateAddresses(const std::vector<TReportDevice>& devices);
// Each plant number held by more than one device: "1201: Силос 1 (адрес 1),
// Силос 7 (адрес 7)". Empty when none.
std::vector<QString> DuplicatePlantNumbers(const std::vector<TReportDevice>& devices);
// The history database's alarms as the report lists them: "Превышение
// температуры: 31.20 °C (предел 30.00 °C)".
std::vector<TReportAlarm> ReportAlarms(const std::vector<TAlarm>& alarms);
// How far back cleared alarms are still "recent" in the report.
constexpr std::int64_t kRecentAlarmsMs = 7LL * 24 * 3600 * 1000;
// A time as "dd.MM.yyyy HH:mm:ss" in local time.
QString TimeText(std::int64_t utcMs);
