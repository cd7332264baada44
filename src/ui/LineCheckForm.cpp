#include "LineCheckForm.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QColor VerdictColour(TCheckVerdict v) {
  switch (v) {
    case cvHealthy:
      return QColor(0xD8, 0xF0, 0xD8);
    case cvLinkFaults:
      return QColor(0xFF, 0xF0, 0xC0);
    case cvOtherProtocol:
    case cvOtherBaud:
      return QColor(0xD8, 0xE8, 0xFF);
    default:
      return QColor(0xFF, 0xD0, 0xD0);
  }
}

}  // namespace

TLineCheckForm::TLineCheckForm(const std::vector<TDeviceCheck>& checks, const QString& heading,
                               QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("TLineCheckForm"));
  setWindowTitle(Tr("Проверка линии"));
  auto* layout = new QVBoxLayout(this);
  auto* head = new QLabel(heading, this);
  head->setObjectName(QStringLiteral("lLineCheckHeading"));
  layout->addWidget(head);
  FTable = new QTableWidget(static_cast<int>(checks.size()), 6, this);
  FTable->setObjectName(QStringLiteral("sgLineCheck"));
  FTable->setHorizontalHeaderLabels({Tr("Адрес"), Tr("Зав. №"), Tr("Прибор"), Tr("Заключение"),
                                     Tr("Успешно"), Tr("Подробности")});
  FTable->verticalHeader()->hide();
  FTable->setWordWrap(false);
  FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FTable->horizontalHeader()->setStretchLastSection(true);
  for (int r = 0; r < static_cast<int>(checks.size()); ++r) {
    const TDeviceCheck& c = checks[static_cast<std::size_t>(r)];
    const QStringList cells = {
        QString::number(c.Device.Address),     QString::number(c.Device.PlantNumber),
        QString::fromStdString(c.Device.Name), Tr(VerdictText(c.Verdict)),
        QString::fromStdString(c.RateText()),  QString::fromStdString(c.DetailText())};
    for (int col = 0; col < cells.size(); ++col) {
      auto* item = new QTableWidgetItem(cells[col]);
      if (col == 3) item->setBackground(VerdictColour(c.Verdict));
      item->setToolTip(cells[col]);
      FTable->setItem(r, col, item);
    }
  }
  const int widths[] = {50, 60, 110, 120, 135};
  for (int col = 0; col < 5; ++col) FTable->setColumnWidth(col, widths[col]);
  layout->addWidget(FTable, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText(Tr("Закрыть"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(860, 120 + 26 * std::max<int>(3, static_cast<int>(checks.size())));
}
