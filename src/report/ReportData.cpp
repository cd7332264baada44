#include "ReportData.h"

#include <QDateTime>
#include <QLocale>
#include <map>

#include "HistoryExport.h"
#include "TrendSource.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

TReportData MakeReportData(const TDeviceList& devices, std::uint8_t protocol, std::int64_t timeMs,
                           TSnapshotPtr readings) {
  TReportData data;
  data.CreatedMs = timeMs;
  data.ProtocolText = ProtocolName(protocol);
  auto snapshot =
      readings && static_cast<int>(readings->Devices.size()) == devices.Count()
          ? std::make_shared<TLineSnapshot>(*readings)
          : std::make_shared<TLineSnapshot>(TakeLineSnapshot(devices, protocol, timeMs, 0));
  for (TDeviceReading& r : snapshot->Devices) SetPollOutcomes(r, protocol, r.Outcomes);
  data.Readings = snapshot;
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    TReportDevice r;
    r.Name = d.Name();
    r.PlantNumber = d.PlantNumber();
    r.SystemAddress = d.SystemAddress();
    r.SensorCount = d.SensorCount();
    r.CalibrationCode1 = d.CalibrationCode1;
    r.UnmeasurableLevel = d.UnmeasurableLevel;
    r.CalibrationCode2 = d.CalibrationCode2;
    r.CalibrationLevel2 = d.CalibrationLevel2;
    r.AveragingCoefficient = d.AveragingCoefficient();
    r.Note = d.Note();
    data.Devices.push_back(std::move(r));
  }
  data.MissingNumbers = LostNumbersMessage(devices);
  return data;
}

QString ProtocolName(std::uint8_t protocol) {
  return protocol == 1 ? Tr("Modbus RTU") : Tr("Ларгис-1");
}

QString TemperatureCell(std::uint16_t word, bool data) {
  if (word == kNoDataTemperature) return {};
  if (word == kFaultTemperatureA || word == kFaultTemperatureB) return QStringLiteral("****");
  const double value = TemperatureValue(word);
  if (data) return QString::number(value, 'f', 2);
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(value, 'f', 2);
}

bool TemperaturesValid(const TDeviceReading& r) {
  return r.Read && r.TemperaturesConfirmed && !(r.TemperatureState & kStateFailed);
}

bool LevelValid(const TDeviceReading& r) {
  return r.Read && r.LevelConfirmed && !(r.LevelState & kStateFailed);
}

QString ResultText(const TDeviceReading& r) {
  if (r.Outcomes.empty()) return Tr("не опрашивался");
  if (r.Ok()) return QString::fromStdString(r.Outcomes.back().Result);
  return QString::fromStdString(r.FailureText());
}

std::vector<QString> DuplicateAddresses(const std::vector<TReportDevice>& devices) {
  std::map<int, std::vector<const TReportDevice*>> byAddress;
  for (const TReportDevice& d : devices) byAddress[d.SystemAddress].push_back(&d);
  std::vector<QString> lines;
  for (const auto& [address, list] : byAddress) {
    if (list.size() < 2) continue;
    QStringList names;
    for (const TReportDevice* d : list)
      names << Tr("%1 (зав. № %2)").arg(QString::fromStdString(d->Name)).arg(d->PlantNumber);
    lines.push_back(Tr("адрес %1: %2").arg(address).arg(names.join(QStringLiteral(", "))));
  }
  return lines;
}

std::vector<QString> DuplicatePlantNumbers(const std::vector<TReportDevice>& devices) {
  std::map<int, std::vector<const TReportDevice*>> byPlant;
  for (const TReportDevice& d : devices) byPlant[d.PlantNumber].push_back(&d);
  std::vector<QString> lines;
  for (const auto& [plant, list] : byPlant) {
    if (list.size() < 2) continue;
    QStringList names;
    for (const TReportDevice* d : list)
      names << Tr("%1 (адрес %2)").arg(QString::fromStdString(d->Name)).arg(d->SystemAddress);
    lines.push_back(Tr("%1: %2").arg(plant).arg(names.join(QStringLiteral(", "))));
  }
  return lines;
}

std::vector<TReportAlarm> ReportAlarms(const std::vector<TAlarm>& alarms) {
  std::vector<TReportAlarm> out;
  for (const TAlarm& a : alarms)
    out.push_back({a.RaisedMs, a.ClearedMs, a.PlantNumber, a.DeviceName, a.Sensor,
                   std::string(AlarmKindText(a.Kind)) + ": " + AlarmValueText(a.Kind, a.Value) +
                       " (предел " + AlarmValueText(a.Kind, a.Limit) + ")"});
  return out;
}

QString TimeText(std::int64_t utcMs) {
  return QDateTime::fromMSecsSinceEpoch(utcMs).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString PortText(const TCustomComPort& port) {
  const QString baud = port.BaudRate() == brCustom
                           ? QString::number(port.CustomBaudRate())
                           : QString::fromStdString(BaudRateText(port.BaudRate()));
  return Tr("%1, %2 бит/с, %3 бит данных, чётность %4, %5 стоп-бит")
      .arg(QString::fromStdString(port.Port()), baud,
           QString::fromStdString(DataBitsText(port.DataBits())),
           QString::fromStdString(ParityText(port.Parity().Bits())),
           QString::fromStdString(StopBitsText(port.StopBits())));
}
