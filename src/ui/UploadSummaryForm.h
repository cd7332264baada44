// The end of a firmware upload run, shown once: every device the run was to
// serve with how it ended ("загружено", "не ответил на запрос загрузки",
// "остановлено" or the port's error), and how many took the image.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <string>

#include "UploadThreads.h"

class QLabel;
class QPushButton;
class QTableWidget;

struct TUploadSummaryRow {
  QString Name;
  int PlantNumber = 0;
  int Address = 0;
  QString Result;
  bool Uploaded = false;
};

// The text of an outcome. A device the run never finished with is cut off by
// the port failure when there was one (its text is the result), otherwise it
// was stopped.
QString UploadOutcomeText(TUploadOutcome outcome, const QString& portFailure);

class TUploadSummaryForm : public QDialog {
  Q_OBJECT
 public:
  explicit TUploadSummaryForm(const QList<TUploadSummaryRow>& rows, QWidget* parent = nullptr);
  QLabel* lTotal;  // "Загружено: k из N"
  QTableWidget* tbResults;
  QPushButton* btnClose;
};

// Shows the summary modally (through ExecDialog).
void ShowUploadSummary(const QList<TUploadSummaryRow>& rows, QWidget* parent);
