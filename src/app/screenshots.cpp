// Renders the main window and every dialog to PNG files, offscreen, so that
// the interface can be looked at without a display:
//   lim07-screenshots [folder]      (default: screenshots)
#include <QApplication>
#include <QButtonGroup>
#include <QDir>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <cstdio>

#include "AppSettings.h"
#include "ComSetup.h"
#include "DemoStart.h"
#include "Dialogs.h"
#include "DoubleProgressForm.h"
#include "LineCheck.h"
#include "LineCheckForm.h"
#include "MainForm.h"
#include "NativeRequests.h"
#include "OverviewDock.h"
#include "ProfileDock.h"
#include "ReportForm.h"
#include "StatisticsDock.h"
#include "TrafficDock.h"
#include "Translations.h"
#include "TrendDock.h"
#include "UiHooks.h"
#include "UploadSummaryForm.h"
#include "VirtualLine.h"

namespace {

QString gFolder;
int gFailures = 0;

void Save(QWidget& w, const QString& name) {
  w.show();
  QApplication::processEvents();
  const QString path = gFolder + QLatin1Char('/') + name + QStringLiteral(".png");
  // The offscreen platform draws no frames: put the caption above the grab.
  const QPixmap body = w.grab();
  QImage image(body.width(), body.height() + 22, QImage::Format_RGB32);
  image.fill(QColor(0x3A, 0x5F, 0x9E));
  {
    QPainter p(&image);
    p.setPen(Qt::white);
    p.drawText(QRect(6, 0, image.width() - 12, 22), Qt::AlignVCenter | Qt::AlignLeft,
               w.windowTitle());
    p.drawPixmap(0, 22, body);
  }
  if (qobject_cast<QMenu*>(&w)) image = body.toImage();
  if (!image.save(path)) {
    ++gFailures;
    std::fprintf(stderr, "cannot write %s\n", path.toUtf8().constData());
    return;
  }
  std::printf("%s\n", path.toUtf8().constData());
}

TDevice* DemoDevice(const char* name, int plant, int address, std::vector<std::uint16_t> temps) {
  auto* d = new TDevice;
  d->SetName(name);
  d->SetPlantNumber(static_cast<std::uint16_t>(plant));
  d->SetSystemAddress(static_cast<std::uint8_t>(address));
  d->SetSensorCount(static_cast<int>(temps.size()));
  std::uint16_t* block = d->LockTemperatures();
  for (std::size_t i = 0; i < temps.size(); ++i) block[i] = temps[i];
  d->UnlockTemperatures();
  d->UnmeasurableLevel = 12;
  d->LevelCode = 1834;
  d->Level = 87;
  d->LevelState = 0x0002;
  d->TemperatureState = 0x0004;
  d->LastOperation = "Чтение температурных значений";
  d->LastResult = "Операция завершена успешно";
  return d;
}

// The diagnostics on a small virtual line: a sound device, one with a few
// bad answers, one that does not answer, one moved to 19200 baud. A few polls
// on the window's own port fill the traffic monitor and the statistics; the
// line check's verdicts follow.
void ShootDiagnostics() {
  TVirtualLine line;
  auto sim = [](std::uint8_t address, std::uint16_t plant) {
    TSimDevice d;
    d.Address = address;
    d.PlantNumber = plant;
    d.Temperatures = {0x0191, 0x0188, 0x0180, 0xAAAA};
    d.LevelMetres = 8.7;
    return d;
  };
  TSimDevice noisy = sim(2, 1202), moved = sim(4, 1204), silent = sim(3, 1203);
  noisy.Faults.BadCrc = true;
  noisy.Faults.Remaining = 2;
  silent.Faults.Silent = true;
  moved.Baud = 19200;
  for (const TSimDevice& d : {sim(1, 1201), noisy, silent, moved}) line.AddDevice(d);
  TMainForm form;
  const char* names[] = {"Силос 1", "Силос 2", "Бункер 3", "Бункер 4"};
  for (int i = 0; i < 4; ++i) {
    auto* d = DemoDevice(names[i], 1201 + i, i + 1, {0, 0, 0, 0});
    form.AddDevice(d);
  }
  form.ComPort().SetPort(line.SlavePath());
  form.OpenPortActionExecute();
  TLevelTransaction level(&form.ComPort());
  TTemperatureTransaction temperatures(&form.ComPort());
  for (int cycle = 0; cycle < 3; ++cycle)
    for (int i = 0; i < form.DeviceCount(); ++i) {
      level.Execute(form.FDevices[i]);
      temperatures.Execute(form.FDevices[i]);
    }
  for (const char* name : {"TrafficDock", "StatisticsDock"}) {
    auto* dock = form.findChild<TViewDock*>(QString::fromLatin1(name));
    if (!dock) continue;
    dock->setFloating(true);
    dock->resize(1180, 330);
    dock->show();
    dock->FlushRefresh();
    Save(*dock, dock->objectName());
    dock->hide();
  }
  TLineCheckOptions options;
  options.Exchanges = 10;
  options.BaudRates = {9600, 19200};
  options.ProbeAttempts = 1;
  std::vector<TCheckedDevice> devices;
  for (int i = 0; i < form.DeviceCount(); ++i)
    devices.push_back(
        {names[i], static_cast<std::uint8_t>(i + 1), static_cast<std::uint16_t>(1201 + i)});
  line.Modify(1, [](TSimDevice& d) {
    d.Faults.BadCrc = true;
    d.Faults.Remaining = 3;
  });
  const auto checks = RunLineCheck(form.ComPort(), dpLargis1, devices, options, {}, {});
  TLineCheckForm report(checks, QString::fromUtf8("Скорость 9600, протокол Ларгис-1"));
  Save(report, report.objectName());
  form.FModified = false;
}

void RunEvents(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The three views on the demo line while the window polls it through the
// real port: the window with the views docked, then each view on its own.
void ShootViews(TDeviceProtocol protocol) {
  const QString suffix = protocol == dpModbus ? QStringLiteral("_modbus") : QString();
  TUiHooks answer;
  answer.Messages = [](const TMessageRequest&) { return int(mrNo); };
  answer.Dialogs = [protocol](QDialog& d) {
    if (auto* start = qobject_cast<TStartModeForm*>(&d)) {
      start->SetItemIndex(protocol == dpModbus ? 1 : 0);
      return int(QDialog::Accepted);
    }
    return int(QDialog::Rejected);
  };
  TMainForm form;
  const auto line = StartDemo(form);
  form.resize(1280, 900);
  form.show();
  auto* profile = form.findChild<TProfileDock*>(QStringLiteral("ProfileDock"));
  auto* overview = form.findChild<TOverviewDock*>(QStringLiteral("OverviewDock"));
  auto* trends = form.findChild<TTrendDock*>(QStringLiteral("TrendDock"));
  if (!profile || !overview || !trends) {
    ++gFailures;
    return;
  }
  for (TViewDock* dock : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                          static_cast<TViewDock*>(trends)})
    dock->show();
  form.RunActionExecute();
  // Some cycles of the demo line, with the cursor on the second device.
  RunEvents(2500);
  form.sgData->setCurrentCell(2, 5);
  RunEvents(5500);
  trends->SetSeries({kLevelSeries, 1, 4, 7, 8, 10, 12});
  const auto begin = trends->ToMs() - 9000;
  trends->ShowRange(begin, trends->ToMs() + 500);
  RunEvents(400);
  for (TViewDock* dock : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                          static_cast<TViewDock*>(trends)})
    dock->FlushRefresh();
  QApplication::processEvents();
  Save(form, QStringLiteral("TMainForm_views") + suffix);
  const QSize sizes[] = {QSize(380, 520), QSize(900, 380), QSize(1000, 420)};
  int i = 0;
  for (TViewDock* dock : {static_cast<TViewDock*>(profile), static_cast<TViewDock*>(overview),
                          static_cast<TViewDock*>(trends)}) {
    dock->setFloating(true);
    dock->resize(sizes[i++]);
    QApplication::processEvents();
    dock->FlushRefresh();
    QApplication::processEvents();
    Save(*dock, dock->objectName() + suffix);
  }
  form.StopActionExecute();
  RunEvents(800);
  form.FModified = false;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // The service mode is switched on below: never in the user's own settings.
  qputenv("LIM07_SETTINGS", ":temporary:");
  // Nor is anything polled here recorded into the user's history database.
  qputenv("LIM07_HISTORY", ":temporary:");
  QApplication app(argc, argv);
  InstallToolkitTranslations(app);
  gFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
  QDir().mkpath(gFolder);

  // Every modal window is handed to us instead of being run.
  TUiHooks hooks;
  hooks.Messages = [](const TMessageRequest&) { return int(mrNo); };
  hooks.Dialogs = [](QDialog& d) {
    Save(d, d.objectName());
    return int(QDialog::Rejected);
  };

  {
    TMainForm form;
    form.AddDevice(DemoDevice(
        "Силос 1", 1201, 1,
        {0x0191, 0xFF60, 0xDDDD, 0xAAAA, 0x0150, 0x0148, 0x0140, 0x0139, 0x0130, 0x0128}));
    form.AddDevice(
        DemoDevice("Силос 2", 1202, 2, {0x0100, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105}));
    form.AddDevice(DemoDevice("Бункер 3", 1205, 3, {0x0200, 0x0210, 0x0220, 0x0230}));
    form.SetCellMark(3, 2, form.FMark);
    form.SelectDevice(0);
    form.UpdateActions();
    Save(form, QStringLiteral("TMainForm"));

    form.ApplyProtocol(dpModbus);
    form.UpdateActions();
    Save(form, QStringLiteral("TMainForm_modbus"));

    form.FHitCol = 1;
    form.FHitRow = 1;
    form.PopupMenuPopup();
    Save(*form.PopupMenu, QStringLiteral("PopupMenu"));
    form.PopupMenu->hide();
    for (QMenu* m : {form.mFile, form.mRun, form.mSettings, form.mHelp}) {
      m->adjustSize();
      Save(*m, m->objectName());
      m->hide();
    }
    form.HistorySettingsActionExecute();  // the dialog is saved by the hook

    // Polling: the data table with a device whose last read failed.
    form.FDevices[0]->PollOutcomes = {
        {"Чтение уровня", "Операция завершена успешно", true},
        {"Чтение температурных значений", "Операция завершена успешно", true}};
    form.FDevices[1]->PollOutcomes = {
        {"Чтение уровня", "Нет связи с прибором", false},
        {"Чтение температурных значений", "Нет связи с прибором", false}};
    form.FDevices[1]->LevelState = kStateFailed;
    form.FDevices[1]->TemperatureState = kStateFailed;
    form.FDevices[1]->ClearTemperatures();
    form.ApplyProtocol(dpLargis1);
    form.BuildDataGrid();
    form.UpdateDataGrid();
    form.gbDevices->hide();
    form.gbState->hide();
    form.gbData->show();
    Save(form, QStringLiteral("TMainForm_polling_failed_row"));
    form.gbData->hide();
    form.gbDevices->show();
    form.gbState->show();

    // The service mode: the hidden commands in their menus and places.
    form.ServiceModeAction->setChecked(true);
    form.UpdateActions();
    Save(form, QStringLiteral("TMainForm_service"));
    form.PopupMenuPopup();
    Save(*form.PopupMenu, QStringLiteral("PopupMenu_service"));
    form.PopupMenu->hide();
    for (QMenu* m : {form.mRun, form.mSettings}) {
      m->adjustSize();
      Save(*m, m->objectName() + QStringLiteral("_service"));
      m->hide();
    }
    form.ServiceModeAction->setChecked(false);
    form.FModified = false;
  }

  // The dialogs, each in a telling state.
  {
    TEditForm f;
    f.setWindowTitle(QString::fromUtf8("Неизмеряемый уровень [дм]"));
    f.Editor->setText(QStringLiteral("12"));
    f.FitWidth();
    Save(f, QStringLiteral("TEditForm"));
  }
  {
    TIDForm f;
    f.Memo->setPlainText(
        QString::fromUtf8("Тип устройства: ЛИМ-07\nЗаводской номер: 1201\n"
                          "Версия аппаратуры: 3\nВерсия ПО: 12"));
    Save(f, QStringLiteral("TIDForm"));
  }
  {
    TAddLimForm f;
    f.eName->setText(QString::fromUtf8("Силос 4"));
    f.eNumber->setText(QStringLiteral("1206"));
    f.eAddress->setText(QStringLiteral("4"));
    Save(f, QStringLiteral("TAddLimForm"));
  }
  {
    TProgressForm f;
    f.setWindowTitle(QString::fromUtf8("Сканирование линии"));
    f.ProgressBar->setValue(50);
    f.StaticText->setText(QStringLiteral("50 %"));
    Save(f, QStringLiteral("TProgressForm"));
  }
  {
    TProgressXForm f;
    f.setWindowTitle(QString::fromUtf8("Пакетное чтение"));
    f.SetNumber(1234);
    f.SetAddress(7);
    Save(f, QStringLiteral("TProgressXForm"));
  }
  {
    TDoubleProgressForm f;
    f.setWindowTitle(QString::fromUtf8("Загрузка ПО"));
    f.SetDevice(QString::fromUtf8("Силос 2"), 2, 3);
    f.SetOverall(33);
    f.SetCurrent(58);
    Save(f, QStringLiteral("TDoubleProgressForm"));
  }
  {
    const QString failure = QString::fromUtf8(
        "Ошибка последовательного порта /dev/ttyUSB0: ReadFile function failed (win error "
        "code: 5)");
    TUploadSummaryForm f({{QString::fromUtf8("Силос 1"), 1201, 1,
                           UploadOutcomeText(TUploadOutcome::Uploaded, failure), true},
                          {QString::fromUtf8("Силос 2"), 1202, 2,
                           UploadOutcomeText(TUploadOutcome::NoAnswer, failure), false},
                          {QString::fromUtf8("Бункер 3"), 1205, 3,
                           UploadOutcomeText(TUploadOutcome::NotReached, failure), false}});
    Save(f, QStringLiteral("TUploadSummaryForm"));
  }
  {
    TStartModeForm f;
    Save(f, QStringLiteral("TStartModeForm"));
  }
  {
    TReportHeadForm f;
    Save(f, QStringLiteral("TReportHeadForm"));
  }
  {
    TAboutForm f;
    Save(f, QStringLiteral("TAboutForm"));
  }
  {
    TComPort port;
    port.Parity().SetBits(prEven);
    TComSetupFrm f(port);
    Save(f, QStringLiteral("TComSetupFrm"));
  }
  ShootDiagnostics();
  ShootViews(dpLargis1);
  ShootViews(dpModbus);
  return gFailures == 0 ? 0 : 1;
}
