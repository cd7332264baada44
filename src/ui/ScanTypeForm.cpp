#include "ScanTypeForm.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "Dialogs.h"
#include "SearchThreads.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr QChar kBackspace(8);
constexpr QChar kEnter(13);
constexpr QChar kEscape(27);

bool IsAsciiDigit(QChar c) {
  return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

}  // namespace

TScanTypeForm::TScanTypeForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TScanTypeForm"));
  setWindowTitle(Tr("Критерий поиска"));

  GroupBox1 = Named(new QGroupBox(Tr(" Критерий поиска "), this), "GroupBox1");
  rbAddress = Named(new QRadioButton(Tr("Системные адреса"), GroupBox1), "rbAddress");
  rbNumber = Named(new QRadioButton(Tr("Заводские номера:"), GroupBox1), "rbNumber");
  eNumbers = Named(new QLineEdit(GroupBox1), "eNumbers");
  eNumbers->setMinimumWidth(220);
  rbAddress->setChecked(true);
  auto* criteria = new QGridLayout(GroupBox1);
  criteria->addWidget(rbAddress, 0, 0, 1, 2);
  criteria->addWidget(rbNumber, 1, 0);
  criteria->addWidget(eNumbers, 1, 1);

  GroupBox2 = Named(new QGroupBox(Tr(" Управление адресами "), this), "GroupBox2");
  Label1 = Named(new QLabel(Tr("Начать с:"), GroupBox2), "Label1");
  eStartAddress = Named(new QLineEdit(QStringLiteral("1"), GroupBox2), "eStartAddress");
  eStartAddress->setMaximumWidth(60);
  chbAddressReserved =
      Named(new QCheckBox(Tr("Резервировать адреса"), GroupBox2), "chbAddressReserved");
  lEndAddress = Named(new QLabel(Tr("до адреса"), GroupBox2), "lEndAddress");
  eEndAddress = Named(new QLineEdit(QStringLiteral("254"), GroupBox2), "eEndAddress");
  eEndAddress->setMaximumWidth(60);
  auto* addresses = new QHBoxLayout(GroupBox2);
  addresses->addWidget(Label1);
  addresses->addWidget(eStartAddress);
  addresses->addWidget(lEndAddress);
  addresses->addWidget(eEndAddress);
  addresses->addSpacing(16);
  addresses->addWidget(chbAddressReserved);
  addresses->addStretch(1);

  chbFastScan = Named(new QCheckBox(Tr("Быстрое сканирование"), this), "chbFastScan");
  chbFastScan->setToolTip(
      Tr("Каждый адрес опрашивается один раз, с тайм-аутами по времени кадров на линии.\n"
         "Адрес, откуда пришло хоть что-то, опрашивается заново с обычными тайм-аутами.\n"
         "Медленным адаптерам (например, USB с большой задержкой) может понадобиться\n"
         "обычное сканирование."));

  btnApply = Named(new QPushButton(Tr("Сканировать"), this), "btnApply");
  btnCancel = Named(new QPushButton(Tr("Отмена"), this), "btnCancel");
  btnApply->setDefault(true);
  btnCancel->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnApply);
  buttons->addWidget(btnCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(GroupBox1);
  layout->addWidget(GroupBox2);
  layout->addWidget(chbFastScan);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // fixed border, sized to contents

  SetKeyPressFilter(eNumbers, &TScanTypeForm::eNumbersKeyPress);
  SetKeyPressFilter(eStartAddress, &TScanTypeForm::eStartAddressKeyPress);
  SetKeyPressFilter(eEndAddress, &TScanTypeForm::eStartAddressKeyPress);
  connect(eNumbers, &QLineEdit::textChanged, this, [this] { eNumbersChange(); });
  connect(btnApply, &QPushButton::clicked, this, [this] { btnApplyClick(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

void TScanTypeForm::RestrictToAddressScan() {
  rbAddress->setChecked(true);
  rbNumber->setEnabled(false);
  eNumbers->setEnabled(false);
}

bool TScanTypeForm::ScanByPlantNumbers() const {
  return !rbAddress->isChecked();
}

std::uint8_t TScanTypeForm::StartAddress() const {
  return static_cast<std::uint8_t>(ScanStartAddress(eStartAddress->text().toStdString()));
}

bool TScanTypeForm::ReserveAddresses() const {
  return chbAddressReserved->isChecked();
}

QString TScanTypeForm::Numbers() const {
  return eNumbers->text();
}

std::uint8_t TScanTypeForm::EndAddress() const {
  return static_cast<std::uint8_t>(ScanEndAddress(eEndAddress->text().toStdString()));
}

bool TScanTypeForm::FastScan() const {
  return chbFastScan->isChecked();
}

void TScanTypeForm::btnApplyClick() {
  if (EndAddress() < StartAddress()) {
    MessageDlg(Tr("Конечный адрес %1 меньше начального %2.").arg(EndAddress()).arg(StartAddress()),
               mtWarning, mbOK, this);
    eEndAddress->setFocus();
    return;
  }
  done(mrOk);
}

void TScanTypeForm::eNumbersChange() {
  if (rbNumber->isEnabled()) rbNumber->setChecked(true);
}

QChar TScanTypeForm::eNumbersKeyPress(QChar key) {
  if (key == kEnter || key == kEscape) return key;  // on to the dialog's buttons
  if (key == kBackspace || key == QLatin1Char(' ') || key == QLatin1Char(',') ||
      key == QLatin1Char('-') || IsAsciiDigit(key))
    return key;
  return QChar();
}

QChar TScanTypeForm::eStartAddressKeyPress(QChar key) {
  if (key == kEnter || key == kEscape) return key;
  if (key == kBackspace || key == QLatin1Char('.') || IsAsciiDigit(key)) return key;
  return QChar();
}
