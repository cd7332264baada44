// The report's device table and readings as data: CSV (one row a device,
// ';'-free plain commas with quoting, '.' as decimal separator) and JSON
// (the head, the line, every device with its settings, result, level and
// temperatures, the missing plant numbers, duplicate addresses and alarms).
// Values a read did not deliver are empty cells and null.
#pragma once

#include <QByteArray>
#include <QString>

#include "ReportData.h"

QByteArray ReportCsv(const TReportData& data);
QByteArray ReportJson(const TReportData& data);
// Writes bytes to a file atomically; false with the reason.
bool WriteReportFile(const QString& fileName, const QByteArray& bytes, QString& error);
