// report: the commissioning report of the line as a PDF (and its data as CSV
// or JSON). The devices' last readings are taken by one read of the line
// just before, as `read` does (natively the level and the temperatures, in
// Modbus the data read), with an identification of each device for its
// versions; --no-poll leaves the line alone and reports the configuration
// only (every device "не опрашивался").
#include <sys/stat.h>
#include <QDate>
#include <QGuiApplication>
#include <ostream>

#include "Commands.h"
#include "DataOutput.h"
#include "DeviceCommands.h"
#include "HistoryStore.h"
#include "ReportExport.h"
#include "ReportWriter.h"
#include "SupportBundle.h"

namespace {

// The report paints text: it needs a Qt Gui application, which lim07ctl
// makes once, offscreen (no display is needed or used).
void EnsureGuiApplication() {
  if (QCoreApplication::instance()) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
      throw ECliError(ecWrite, "cannot render the report: no Qt Gui application");
    return;
  }
  static int argc = 1;
  static char name[] = "lim07ctl";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  (void)app;
}

// One read of every device, with its identification first; the versions by
// device index. False when a device did not answer or confirm.
bool ReadLine(TSession& session, std::vector<std::string>& firmware) {
  session.OpenPort();
  bool all = session.IdentifyNew();
  TDeviceCommands commands(&session.Port(), session.Protocol());
  TDeviceList& devices = session.Devices();
  firmware.assign(static_cast<std::size_t>(devices.Count()), std::string());
  for (int i = 0; i < devices.Count() && !InterruptRequested(); ++i) {
    TDevice* d = devices[i];
    session.Console().Progress("Reading the line", i * 100 / devices.Count());
    std::vector<TRequestOutcome> outcomes;
    if (session.IdentificationFailed(d)) {
      outcomes.push_back({d->LastOperation, d->LastResult, false});
    } else {
      // The identification tells the versions; the record keeps its own
      // plant number whatever answers.
      const std::uint16_t plant = d->PlantNumber();
      const TCommandResult id = commands.ReadIdentification(d);
      if (!id.Failed)
        firmware[static_cast<std::size_t>(i)] =
            std::to_string(id.HardwareVersion) + " / " + std::to_string(id.SoftwareVersion);
      d->SetPlantNumber(plant);
      const auto run = [&](const TCommandResult& r) {
        outcomes.push_back(RequestOutcome(!r.Failed, *d));
      };
      if (session.Protocol() == dpModbus) {
        run(commands.ReadModbusData(d));
      } else {
        run(commands.ReadLevel(d));
        run(commands.ReadTemperatures(d));
      }
    }
    d->PollOutcomes = std::move(outcomes);
    if (!DataReadOk(*d)) {
      all = false;
      std::lock_guard lock(session.Console().Mutex);
      session.Console().EndProgress();
      session.Console().Err << "warning: " << d->Name() << " ("
                            << static_cast<int>(d->SystemAddress()) << "): " << DataReadResult(*d)
                            << '\n';
    }
  }
  session.Console().Progress("Reading the line", 100);
  std::lock_guard lock(session.Console().Mutex);
  session.Console().EndProgress();
  return all;
}

// The alarms of the history database, when one is in use: --db FILE, else
// the per-user one if it exists (none with --no-db). A named database that
// cannot be read is a usage error; the default one only a warning.
void AddAlarms(TSession& session, TReportData& data) {
  const TCliOptions& o = session.Options();
  if (o.NoDb) return;
  const std::string path = o.Db.empty() ? DefaultHistoryPath() : o.Db;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    if (!o.Db.empty()) throw EUsage("no history database at " + path, o.Command);
    return;
  }
  try {
    THistoryStore store(path, true);
    TAlarmFilter filter;
    filter.SinceMs = data.CreatedMs - kRecentAlarmsMs;
    data.Alarms = ReportAlarms(store.Alarms(filter));
    data.HistoryInUse = true;
  } catch (const std::exception& e) {
    if (!o.Db.empty()) throw ECliError(ecUsage, "cannot read " + path + ": " + e.what());
    std::lock_guard lock(session.Console().Mutex);
    session.Console().Err << "warning: history database " << path << " not read: " << e.what()
                          << '\n';
  }
}

}  // namespace

int CmdReport(TSession& session) {
  const TCliOptions& o = session.Options();
  if (o.Out.empty()) throw EUsage("report needs --out FILE.pdf", o.Command);
  session.SelectDevices();
  TDeviceList& devices = session.Devices();
  std::vector<std::string> firmware;
  bool all = true;
  // The port as configured: the native protocol's exchanges leave it at
  // their last parity.
  const QString portText = PortText(session.Port());
  if (!o.NoPoll && devices.Count() > 0) {
    all = ReadLine(session, firmware);
    if (InterruptRequested()) return ecInterrupted;
  }
  EnsureGuiApplication();
  TReportData data = MakeReportData(devices, session.Protocol(), UtcNowMs());
  for (std::size_t i = 0; i < firmware.size() && i < data.Devices.size(); ++i)
    data.Devices[i].Firmware = firmware[i];
  data.Head.Object = QString::fromStdString(o.Object);
  data.Head.Engineer = QString::fromStdString(o.Engineer);
  data.Head.Date = o.Date.empty() ? QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"))
                                  : QString::fromStdString(o.Date);
  data.Head.Note = QString::fromStdString(o.Note);
  data.PortText = portText;
  data.ProgramText = QString::fromStdString(ProgramVersionText());
  data.Profiles = !o.NoProfiles;
  AddAlarms(session, data);

  QString error;
  int pages = 0;
  const bool written =
      WriteReportPdf(data, QString::fromStdString(o.Out), error, [&](int done, int total) {
        pages = total;
        session.Console().Progress("Writing the report", done * 100 / total);
        return !InterruptRequested();
      });
  {
    std::lock_guard lock(session.Console().Mutex);
    session.Console().EndProgress();
  }
  if (!written && error.isEmpty()) return ecInterrupted;
  if (!written) throw ECliError(ecWrite, "cannot write " + o.Out + ": " + error.toStdString());
  if (!o.Csv.empty() && !WriteReportFile(QString::fromStdString(o.Csv), ReportCsv(data), error))
    throw ECliError(ecWrite, "cannot write " + o.Csv + ": " + error.toStdString());
  if (o.Json) session.Console().Out << ReportJson(data).toStdString();
  session.Console().Err << o.Out << ": " << pages << " page(s), " << devices.Count()
                        << " device(s)\n";
  return all ? ecOk : ecUnconfirmed;
}
