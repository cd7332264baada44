#include "ReportExport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>

namespace {

QString Csv(const QString& s) {
  if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) &&
      !s.contains(QLatin1Char('\n')) && !s.contains(QLatin1Char('\r')))
    return s;
  QString quoted = s;
  quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

const TDeviceReading* ReadingOf(const TReportData& data, std::size_t i) {
  return data.Readings && i < data.Readings->Devices.size() ? &data.Readings->Devices[i] : nullptr;
}

}  // namespace

QByteArray ReportCsv(const TReportData& data) {
  int sensors = 0;
  for (const TReportDevice& d : data.Devices) sensors = std::max<int>(sensors, d.SensorCount);
  QStringList header{QStringLiteral("name"),
                     QStringLiteral("plant"),
                     QStringLiteral("address"),
                     QStringLiteral("sensors"),
                     QStringLiteral("unmeasurable_level_dm"),
                     QStringLiteral("c1"),
                     QStringLiteral("c2"),
                     QStringLiteral("h2"),
                     QStringLiteral("coefficient"),
                     QStringLiteral("firmware"),
                     QStringLiteral("result"),
                     QStringLiteral("level_dm")};
  for (int s = 1; s <= sensors; ++s) header << QStringLiteral("t%1").arg(s);
  QString out = header.join(QLatin1Char(',')) + QLatin1Char('\n');
  for (std::size_t i = 0; i < data.Devices.size(); ++i) {
    const TReportDevice& d = data.Devices[i];
    const TDeviceReading* r = ReadingOf(data, i);
    QStringList row{Csv(QString::fromStdString(d.Name)),
                    QString::number(d.PlantNumber),
                    QString::number(d.SystemAddress),
                    QString::number(d.SensorCount),
                    QString::number(d.UnmeasurableLevel),
                    QString::number(d.CalibrationCode1),
                    QString::number(d.CalibrationCode2),
                    QString::number(d.CalibrationLevel2),
                    QString::number(d.AveragingCoefficient),
                    Csv(QString::fromStdString(d.Firmware)),
                    Csv(r ? ResultText(*r) : QString()),
                    r && LevelValid(*r) ? QString::number(r->Level) : QString()};
    const bool temps = r && TemperaturesValid(*r);
    for (int s = 0; s < sensors; ++s)
      row << (temps && s < static_cast<int>(r->Temperatures.size())
                  ? TemperatureCell(r->Temperatures[static_cast<std::size_t>(s)], true)
                  : QString());
    out += row.join(QLatin1Char(',')) + QLatin1Char('\n');
  }
  return out.toUtf8();
}

QByteArray ReportJson(const TReportData& data) {
  QJsonObject head{{QStringLiteral("object"), data.Head.Object},
                   {QStringLiteral("engineer"), data.Head.Engineer},
                   {QStringLiteral("date"), data.Head.Date},
                   {QStringLiteral("note"), data.Head.Note}};
  QJsonArray devices;
  for (std::size_t i = 0; i < data.Devices.size(); ++i) {
    const TReportDevice& d = data.Devices[i];
    const TDeviceReading* r = ReadingOf(data, i);
    QJsonObject o{{QStringLiteral("name"), QString::fromStdString(d.Name)},
                  {QStringLiteral("plant"), d.PlantNumber},
                  {QStringLiteral("address"), d.SystemAddress},
                  {QStringLiteral("sensors"), d.SensorCount},
                  {QStringLiteral("unmeasurable_level_dm"), d.UnmeasurableLevel},
                  {QStringLiteral("c1"), d.CalibrationCode1},
                  {QStringLiteral("c2"), d.CalibrationCode2},
                  {QStringLiteral("h2"), d.CalibrationLevel2},
                  {QStringLiteral("coefficient"), d.AveragingCoefficient},
                  {QStringLiteral("note"), QString::fromStdString(d.Note)}};
    o.insert(QStringLiteral("firmware"),
             d.Firmware.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(d.Firmware)));
    o.insert(QStringLiteral("ok"), r && r->Ok());
    o.insert(QStringLiteral("result"), r ? ResultText(*r) : QString());
    o.insert(QStringLiteral("level_dm"), r && LevelValid(*r) ? QJsonValue(r->Level) : QJsonValue());
    QJsonArray temps;
    const bool valid = r && TemperaturesValid(*r);
    for (int s = 0; s < d.SensorCount; ++s) {
      const std::uint16_t word = r && s < static_cast<int>(r->Temperatures.size())
                                     ? r->Temperatures[static_cast<std::size_t>(s)]
                                     : kNoDataTemperature;
      const QString cell = valid ? TemperatureCell(word, true) : QString();
      temps.append(cell.isEmpty()                   ? QJsonValue()
                   : cell == QStringLiteral("****") ? QJsonValue(cell)
                                                    : QJsonValue(cell.toDouble()));
    }
    o.insert(QStringLiteral("temperatures"), temps);
    devices.append(o);
  }
  QJsonArray duplicates;
  for (const QString& line : DuplicateAddresses(data.Devices)) duplicates.append(line);
  QJsonArray plants;
  for (const QString& line : DuplicatePlantNumbers(data.Devices)) plants.append(line);
  QJsonObject root{
      {QStringLiteral("head"), head},
      {QStringLiteral("line"), data.PortText},
      {QStringLiteral("protocol"), data.ProtocolText},
      {QStringLiteral("program"), data.ProgramText},
      {QStringLiteral("created"), TimeText(data.CreatedMs)},
      {QStringLiteral("readings_time"),
       data.Readings ? TimeText(data.Readings->TimeMs) : QString()},
      {QStringLiteral("devices"), devices},
      {QStringLiteral("missing_plant_numbers"), QString::fromStdString(data.MissingNumbers)},
      {QStringLiteral("duplicate_addresses"), duplicates}};
  if (data.HistoryInUse) {
    QJsonArray alarms;
    for (const TReportAlarm& a : data.Alarms)
      alarms.append(QJsonObject{{QStringLiteral("raised"), TimeText(a.RaisedMs)},
                                {QStringLiteral("cleared"),
                                 a.ClearedMs ? QJsonValue(TimeText(a.ClearedMs)) : QJsonValue()},
                                {QStringLiteral("plant"), a.PlantNumber},
                                {QStringLiteral("device"), QString::fromStdString(a.DeviceName)},
                                {QStringLiteral("sensor"), a.Sensor},
                                {QStringLiteral("text"), QString::fromStdString(a.Text)}});
    root.insert(QStringLiteral("alarms"), alarms);
  }
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool WriteReportFile(const QString& fileName, const QByteArray& bytes, QString& error) {
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    error = file.errorString();
    return false;
  }
  return true;
}
