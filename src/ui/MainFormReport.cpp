// "Файл" → "Отчёт о пусконаладке…": the window hands the report command the
// line as it stands; the command asks, renders and writes on its own.
#include <QAction>
#include <QMenu>
#include <QStatusBar>

#include "AppSettings.h"
#include "HistoryRecorder.h"
#include "MainForm.h"
#include "ReportForm.h"
#include "SupportBundle.h"
#include "ViewHub.h"

void TMainForm::CreateReport() {
  auto* report = new TReportCommand(
      [this] {
        // While a worker runs it writes the readings into the records: they
        // are then taken from the snapshot of the last synchronised refresh.
        const TSnapshotPtr latest = FViewHub ? FViewHub->Latest() : nullptr;
        TReportData data = MakeReportData(FDevices, static_cast<std::uint8_t>(CurrentProtocol()),
                                          UtcNowMs(), Busy() ? latest : nullptr);
        data.PortText = PortText(FComPort);
        data.ProgramText = QString::fromStdString(ProgramVersionText());
        // The history's active alarms and those of the last days.
        if (FHistory) {
          const THistoryStatus status = FHistory->Status();
          data.HistoryInUse = true;
          if (status.Alarms) {
            std::vector<TAlarm> recent;
            for (const TAlarm& a : *status.Alarms)
              if (a.Active() || a.ClearedMs >= data.CreatedMs - kRecentAlarmsMs)
                recent.push_back(a);
            data.Alarms = ReportAlarms(recent);
          }
        }
        // The overview as the view shows it: its thresholds and orientation.
        const QString view = QStringLiteral("OverviewDock");
        data.Scale = TTemperatureScale::FromOption(
            TAppSettings::ViewValue(view, QStringLiteral("thresholds"), QVariant()));
        data.SensorOneAtTop =
            TAppSettings::ViewValue(view, QStringLiteral("sensorOneAtTop"), true).toBool();
        return data;
      },
      this);
  mFile->insertAction(mExit, report->Action());
  mFile->insertSeparator(mExit);
  connect(report, &TReportCommand::Finished, this, [this](bool ok, const QString& text) {
    if (ok)
      statusBar()->showMessage(QString::fromUtf8("Отчёт о пусконаладке сохранён: %1").arg(text),
                               10000);
  });
}
