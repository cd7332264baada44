#include "UploadSummaryForm.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include "Dialogs.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr int kVisibleRows = 12;  // taller lists scroll

}  // namespace

QString UploadOutcomeText(TUploadOutcome outcome, const QString& portFailure) {
  switch (outcome) {
    case TUploadOutcome::Uploaded:
      return Tr("загружено");
    case TUploadOutcome::NoAnswer:
      return Tr("не ответил на запрос загрузки");
    case TUploadOutcome::Stopped:
      return Tr("остановлено");
    case TUploadOutcome::NotReached:
      break;
  }
  return portFailure.isEmpty() ? Tr("остановлено") : portFailure;
}

TUploadSummaryForm::TUploadSummaryForm(const QList<TUploadSummaryRow>& rows, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("TUploadSummaryForm"));
  setWindowTitle(Tr("Загрузка ПО"));
  int uploaded = 0;
  for (const TUploadSummaryRow& r : rows) uploaded += r.Uploaded ? 1 : 0;
  lTotal = new QLabel(Tr("Загружено: %1 из %2").arg(uploaded).arg(rows.size()), this);
  lTotal->setObjectName(QStringLiteral("lTotal"));

  tbResults = new QTableWidget(static_cast<int>(rows.size()), 4, this);
  tbResults->setObjectName(QStringLiteral("tbResults"));
  tbResults->setHorizontalHeaderLabels(
      {Tr("Прибор"), Tr("Зав. №"), Tr("Сист. адрес"), Tr("Результат")});
  tbResults->verticalHeader()->hide();
  tbResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tbResults->setSelectionMode(QAbstractItemView::NoSelection);
  tbResults->setFocusPolicy(Qt::NoFocus);
  tbResults->setWordWrap(false);
  const QColor failed(0xA0, 0x00, 0x00);
  for (int i = 0; i < rows.size(); ++i) {
    const TUploadSummaryRow& r = rows[i];
    const QStringList texts = {r.Name, QString::number(r.PlantNumber), QString::number(r.Address),
                               r.Result};
    for (int c = 0; c < texts.size(); ++c) {
      auto* item = new QTableWidgetItem(texts[c]);
      if (!r.Uploaded) item->setForeground(failed);
      item->setToolTip(texts[c]);
      tbResults->setItem(i, c, item);
    }
  }
  tbResults->resizeColumnsToContents();
  tbResults->horizontalHeader()->setStretchLastSection(true);
  int width = tbResults->frameWidth() * 2 + 24;
  for (int c = 0; c < tbResults->columnCount(); ++c) width += tbResults->columnWidth(c);
  const int shownRows = qBound(1, static_cast<int>(rows.size()), kVisibleRows);
  // As wide as the longest result (a port's error text), within the screen.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int widest = screen ? screen->availableGeometry().width() * 9 / 10 : 1000;
  tbResults->setMinimumSize(qMin(width, widest),
                            tbResults->horizontalHeader()->sizeHint().height() +
                                shownRows * tbResults->verticalHeader()->defaultSectionSize() +
                                tbResults->frameWidth() * 2 + 2);

  btnClose = new QPushButton(Tr("Закрыть"), this);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  btnClose->setMinimumSize(75, 25);
  btnClose->setDefault(true);
  connect(btnClose, &QPushButton::clicked, this, [this] { done(mrOk); });
  auto* bottom = CenteredRow(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lTotal);
  layout->addWidget(tbResults, 1);
  layout->addLayout(bottom);
}

void ShowUploadSummary(const QList<TUploadSummaryRow>& rows, QWidget* parent) {
  TUploadSummaryForm form(rows, parent);
  ExecDialog(form);
}
