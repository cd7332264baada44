// "Файл → Отчёт о пусконаладке…": the small dialog for the report's head
// (object, engineer, date, note; remembered, the date today's), whether to
// add a temperature profile per device, and "Сохранить PDF…" or "Печать…";
// then the pages rendered on a thread of their own, with progress and
// "Отмена", the window staying responsive.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>

#include "ReportData.h"
#include "ReportWriter.h"

class QAction;
class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressDialog;
class QThread;

class TReportHeadForm : public QDialog {
  Q_OBJECT
 public:
  // Modal results besides Rejected.
  enum { SavePdf = 10, Print = 11 };
  explicit TReportHeadForm(QWidget* parent = nullptr);

  TReportHead Head() const;
  bool Profiles() const;
  // Keeps what was entered for the next report (the date is not kept).
  void Remember() const;

 private:
  QLineEdit* FObject;
  QLineEdit* FEngineer;
  QLineEdit* FDate;
  QPlainTextEdit* FNote;
  QCheckBox* FProfiles;
};

class TReportCommand : public QObject {
  Q_OBJECT
 public:
  // `take` gives the report of the line as it stands (called on the UI
  // thread when the command runs).
  TReportCommand(std::function<TReportData()> take, QWidget* window);
  ~TReportCommand() override;
  QAction* Action() const { return FAction; }
  bool Running() const { return FThread != nullptr; }

 signals:
  // The report was written (ok) or not; `text` says where or why.
  void Finished(bool ok, const QString& text);

 private:
  void Run();
  // Renders on a thread of its own; `render` returns false with the reason.
  void Start(std::function<bool(const TReportProgress&, QString&)> render, const QString& done);

  std::function<TReportData()> FTake;
  QWidget* FWindow;
  QAction* FAction;
  QPointer<QThread> FThread;
  QPointer<QProgressDialog> FProgress;
  std::shared_ptr<std::atomic<bool>> FStop;
  std::shared_ptr<std::atomic<int>> FPercent;
};
