// The commissioning report as pages: A4 (or the printer's paper), a running
// head, "Страница N из M", tables that continue on the next page under their
// header without cutting a row, the line overview across the page width and
// one small temperature profile per device. Runs on any thread: it reads
// only the data it is given.
#pragma once

#include <QPagedPaintDevice>
#include <QString>
#include <functional>

#include "ReportData.h"

// Called after each page with the pages done and the total; return false to
// stop.
using TReportProgress = std::function<bool(int done, int total)>;

// The font the report is set in: DejaVu Sans (Debian's fonts-dejavu-core),
// which holds Cyrillic.
QString ReportFontFamily();

// Paints every page onto the device (a PDF writer or a printer). False with
// the reason in `error` when the device could not be painted on or the work
// was stopped (error then empty).
bool RenderReport(const TReportData& data, QPagedPaintDevice& device, QString& error,
                  const TReportProgress& progress = {});

// Writes the report as an A4 PDF file; the file appears whole or not at all.
// False with the reason in `error` (empty when stopped).
bool WriteReportPdf(const TReportData& data, const QString& fileName, QString& error,
                    const TReportProgress& progress = {});
