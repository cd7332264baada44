#include "ReportForm.h"

#include <QAction>
#include <QCheckBox>
#include <QDate>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include "AppSettings.h"
#include "ReportWriter.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QString Key(const char* name) {
  return QStringLiteral("report/") + QLatin1String(name);
}

}  // namespace

TReportHeadForm::TReportHeadForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TReportHeadForm"));
  setWindowTitle(Tr("Отчёт о пусконаладке"));
  QSettings& store = TAppSettings::Store();
  auto* form = new QFormLayout(this);
  FObject = new QLineEdit(store.value(Key("object")).toString(), this);
  FObject->setObjectName(QStringLiteral("eObject"));
  FEngineer = new QLineEdit(store.value(Key("engineer")).toString(), this);
  FEngineer->setObjectName(QStringLiteral("eEngineer"));
  FDate = new QLineEdit(QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy")), this);
  FDate->setObjectName(QStringLiteral("eDate"));
  FNote = new QPlainTextEdit(store.value(Key("note")).toString(), this);
  FNote->setObjectName(QStringLiteral("eNote"));
  FNote->setTabChangesFocus(true);
  FNote->setFixedHeight(FNote->fontMetrics().height() * 4 + 12);
  FProfiles = new QCheckBox(Tr("Профиль температуры каждого прибора"), this);
  FProfiles->setObjectName(QStringLiteral("chbProfiles"));
  FProfiles->setChecked(store.value(Key("profiles"), true).toBool());
  form->addRow(Tr("Объект:"), FObject);
  form->addRow(Tr("Инженер:"), FEngineer);
  form->addRow(Tr("Дата:"), FDate);
  form->addRow(Tr("Примечание:"), FNote);
  form->addRow(FProfiles);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* save = buttons->addButton(Tr("Сохранить PDF…"), QDialogButtonBox::AcceptRole);
  save->setObjectName(QStringLiteral("btnSavePdf"));
  save->setDefault(true);
  QPushButton* print = buttons->addButton(Tr("Печать…"), QDialogButtonBox::ActionRole);
  print->setObjectName(QStringLiteral("btnPrint"));
  QPushButton* cancel = buttons->addButton(Tr("Отмена"), QDialogButtonBox::RejectRole);
  cancel->setObjectName(QStringLiteral("btnCancel"));
  connect(save, &QPushButton::clicked, this, [this] { done(SavePdf); });
  connect(print, &QPushButton::clicked, this, [this] { done(Print); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  form->addRow(buttons);
  setMinimumWidth(420);
}

TReportHead TReportHeadForm::Head() const {
  return {FObject->text().trimmed(), FEngineer->text().trimmed(), FDate->text().trimmed(),
          FNote->toPlainText().trimmed()};
}

bool TReportHeadForm::Profiles() const {
  return FProfiles->isChecked();
}

void TReportHeadForm::Remember() const {
  QSettings& store = TAppSettings::Store();
  store.setValue(Key("object"), FObject->text().trimmed());
  store.setValue(Key("engineer"), FEngineer->text().trimmed());
  store.setValue(Key("note"), FNote->toPlainText().trimmed());
  store.setValue(Key("profiles"), FProfiles->isChecked());
}

TReportCommand::TReportCommand(std::function<TReportData()> take, QWidget* window)
    : QObject(window), FTake(std::move(take)), FWindow(window) {
  FAction = new QAction(Tr("Отчёт о пусконаладке…"), this);
  FAction->setObjectName(QStringLiteral("CommissioningReportAction"));
  FAction->setStatusTip(
      Tr("Сохранить или напечатать отчёт: приборы, их настройки и последние показания"));
  connect(FAction, &QAction::triggered, this, [this] { RunGuarded([this] { Run(); }); });
}

TReportCommand::~TReportCommand() {
  // The window closes while a report is written: stop it and wait, since
  // the thread reads the data this object handed it.
  if (FThread) {
    FStop->store(true);
    FThread->wait();
    delete FThread.data();
  }
}

void TReportCommand::Run() {
  if (FThread) return;  // one report at a time
  TReportHeadForm form(FWindow);
  const int answer = ExecDialog(form);
  if (answer != TReportHeadForm::SavePdf && answer != TReportHeadForm::Print) return;
  form.Remember();
  auto data = std::make_shared<TReportData>(FTake());
  data->Head = form.Head();
  data->Profiles = form.Profiles();
  if (answer == TReportHeadForm::SavePdf) {
    QString name = PromptFileName(FWindow, TFileDialogKind::Save, Tr("Документ PDF|*.pdf"),
                                  QStringLiteral(".pdf"));
    if (name.isEmpty()) return;
    if (!name.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) name += QStringLiteral(".pdf");
    Start([data, name](const TReportProgress& progress,
                       QString& error) { return WriteReportPdf(*data, name, error, progress); },
          name);
    return;
  }
  auto printer = std::make_shared<QPrinter>(QPrinter::HighResolution);
  printer->setPageSize(QPageSize(QPageSize::A4));
  printer->setDocName(Tr("Отчёт о пусконаладке"));
  QPrintDialog dialog(printer.get(), FWindow);
  dialog.setObjectName(QStringLiteral("ReportPrintDialog"));
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  Start([data, printer](const TReportProgress& progress,
                        QString& error) { return RenderReport(*data, *printer, error, progress); },
        printer->printerName().isEmpty() ? printer->outputFileName() : printer->printerName());
}

void TReportCommand::Start(std::function<bool(const TReportProgress&, QString&)> render,
                           const QString& done) {
  FStop = std::make_shared<std::atomic<bool>>(false);
  FPercent = std::make_shared<std::atomic<int>>(0);
  auto result = std::make_shared<std::pair<bool, QString>>(false, QString());
  auto stop = FStop;
  auto percent = FPercent;
  FThread = QThread::create([render, stop, percent, result] {
    const TReportProgress progress = [stop, percent](int pages, int total) {
      percent->store(pages * 100 / std::max(1, total));
      return !stop->load();
    };
    result->first = render(progress, result->second);
  });
  FThread->setObjectName(QStringLiteral("ReportThread"));
  // Progress shows after half a second; "Отмена" stops after the page in work.
  FProgress = new QProgressDialog(Tr("Отчёт о пусконаладке…"), Tr("Отмена"), 0, 100, FWindow);
  FProgress->setObjectName(QStringLiteral("ReportProgress"));
  FProgress->setWindowModality(Qt::WindowModal);
  FProgress->setMinimumDuration(500);
  FProgress->setAutoClose(false);
  FProgress->setAutoReset(false);
  connect(FProgress, &QProgressDialog::canceled, this, [stop] { stop->store(true); });
  auto* timer = new QTimer(FProgress);
  connect(timer, &QTimer::timeout, this, [this, percent] {
    if (FProgress) FProgress->setValue(percent->load());
  });
  timer->start(100);
  FAction->setEnabled(false);
  connect(FThread, &QThread::finished, this, [this, result, stop, done] {
    FThread->deleteLater();
    FThread = nullptr;
    if (FProgress) FProgress->deleteLater();
    FAction->setEnabled(true);
    if (result->first) {
      emit Finished(true, done);
    } else if (stop->load() && result->second.isEmpty()) {
      emit Finished(false, Tr("Отчёт не сохранён: остановлен"));
    } else {
      const QString text = Tr("Не удалось сохранить отчёт о пусконаладке:\n%1").arg(result->second);
      emit Finished(false, text);
      MessageDlg(text, mtError, mbOK, FWindow);
    }
  });
  FThread->start();
}
