#include "CalibrationForm.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "Dialogs.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

TCalibrationForm::TCalibrationForm(QWidget* owner, std::uint16_t c1, std::uint16_t c2,
                                   std::uint16_t h1, std::uint16_t h2)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("TCalibrationForm"));
  setWindowTitle(Tr("Калибровка"));

  auto edit = [this](const char* name, std::uint16_t value) {
    auto* e = new QLineEdit(QString::number(value), this);
    e->setObjectName(QLatin1String(name));
    e->setMinimumWidth(80);
    return e;
  };
  auto label = [this](const char* name, const char* caption, QLineEdit* buddy) {
    auto* l = new QLabel(QLatin1String(caption), this);
    l->setObjectName(QLatin1String(name));
    l->setBuddy(buddy);
    return l;
  };
  eC1 = edit("eC1", c1);
  eH1 = edit("eH1", h1);
  eC2 = edit("eC2", c2);
  eH2 = edit("eH2", h2);
  lC1 = label("lC1", "C1", eC1);
  lH1 = label("lH1", "H1", eH1);
  lC2 = label("lC2", "C2", eC2);
  lH2 = label("lH2", "H2", eH2);
  // Only the code of point 1 has a key filter. Enter and Escape are no typed
  // characters here: they reach the dialog.
  SetKeyPressFilter(eC1, [](QChar key) {
    if (key == QChar(13) || key == QChar(27)) return key;
    return editKeyPress(key);
  });

  btnApply = new QPushButton(Tr("Применить"), this);
  btnApply->setObjectName(QStringLiteral("btnApply"));
  btnCancel = new QPushButton(Tr("Отмена"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  for (QPushButton* b : {btnApply, btnCancel}) {
    b->setMinimumSize(75, 25);
    b->setAutoDefault(false);
  }
  connect(btnApply, &QPushButton::clicked, this, [this] { done(mrOk); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });

  // Two rows: C1 beside H1, C2 beside H2.
  auto* grid = new QGridLayout;
  grid->addWidget(lC1, 0, 0);
  grid->addWidget(eC1, 0, 1);
  grid->addWidget(lH1, 0, 2);
  grid->addWidget(eH1, 0, 3);
  grid->addWidget(lC2, 1, 0);
  grid->addWidget(eC2, 1, 1);
  grid->addWidget(lH2, 1, 2);
  grid->addWidget(eH2, 1, 3);
  grid->setHorizontalSpacing(8);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnApply);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // fixed dialog border

  setTabOrder(eC1, eH1);
  setTabOrder(eH1, eC2);
  setTabOrder(eC2, eH2);
  setTabOrder(eH2, btnApply);
  setTabOrder(btnApply, btnCancel);
  eC1->setFocus();
}

void TCalibrationForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the screen, not on the owner.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

QChar TCalibrationForm::editKeyPress(QChar key) {
  if (key == QChar(8) || key == QLatin1Char('.') ||
      (key >= QLatin1Char('0') && key <= QLatin1Char('9')))
    return key;
  return QChar();
}

std::uint16_t TCalibrationForm::ValueOf(const QString& text) {
  bool ok = false;
  const int value = text.toInt(&ok, 10);
  if (!ok) return 0;
  return static_cast<std::uint16_t>(static_cast<unsigned>(value) & 0xFFFFu);
}

std::uint16_t TCalibrationForm::C1() const {
  return ValueOf(eC1->text());
}
std::uint16_t TCalibrationForm::C2() const {
  return ValueOf(eC2->text());
}
std::uint16_t TCalibrationForm::H1() const {
  return ValueOf(eH1->text());
}
std::uint16_t TCalibrationForm::H2() const {
  return ValueOf(eH2->text());
}
