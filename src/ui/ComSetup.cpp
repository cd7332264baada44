#include "ComSetup.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "UiHooks.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QStringList ItemsOf(TComProperty property) {
  QStringList items;
  switch (property) {
    case cpPort:
      for (const std::string& name : ListSerialPorts()) items << Q(name);
      break;
    case cpBaudRate:
      for (int v = brCustom; v <= br256000; ++v)
        items << Q(BaudRateText(static_cast<TBaudRate>(v)));
      break;
    case cpDataBits:
      for (int v = dbFive; v <= dbEight; ++v) items << Q(DataBitsText(static_cast<TDataBits>(v)));
      break;
    case cpStopBits:
      for (int v = sbOneStopBit; v <= sbTwoStopBits; ++v)
        items << Q(StopBitsText(static_cast<TStopBits>(v)));
      break;
    case cpParity:
      for (int v = prNone; v <= prSpace; ++v) items << Q(ParityText(static_cast<TParityBits>(v)));
      break;
    case cpFlowControl:
      for (int v = fcHardware; v <= fcCustom; ++v)
        items << Q(FlowControlText(static_cast<TFlowControl>(v)));
      break;
  }
  return items;
}

}  // namespace

TComComboBox::TComComboBox(TComPort& port, TComProperty property, QWidget* parent)
    : QComboBox(parent), FComPort(port), FComProperty(property) {
  setEditable(false);
  addItems(ItemsOf(property));
  setMinimumWidth(120);
  connect(this, &QComboBox::activated, this, [this] {
    if (FAutoApply) ApplySetting();
  });
}

QString TComComboBox::CurrentValueText() const {
  switch (FComProperty) {
    case cpPort:
      return Q(FComPort.Port());
    case cpBaudRate:
      return Q(BaudRateText(FComPort.BaudRate()));
    case cpDataBits:
      return Q(DataBitsText(FComPort.DataBits()));
    case cpStopBits:
      return Q(StopBitsText(FComPort.StopBits()));
    case cpParity:
      return Q(ParityText(FComPort.Parity().Bits()));
    case cpFlowControl:
      return Q(FlowControlText(FComPort.FlowControl().FlowControl()));
  }
  return QString();
}

void TComComboBox::SelectCurrent() {
  const QString current = CurrentValueText();
  int found = -1;
  for (int i = 0; i < count() && found < 0; ++i)
    if (itemText(i).compare(current, Qt::CaseInsensitive) == 0) found = i;
  setCurrentIndex(found);
}

void TComComboBox::ApplySetting() {
  if (currentIndex() < 0) return;  // nothing chosen: the setting stays as it is
  const std::string text = currentText().toStdString();
  switch (FComProperty) {
    case cpPort:
      FComPort.SetPort(text);
      break;
    case cpBaudRate:
      FComPort.SetBaudRate(BaudRateFromText(text));
      break;
    case cpDataBits:
      FComPort.SetDataBits(DataBitsFromText(text));
      break;
    case cpStopBits:
      FComPort.SetStopBits(StopBitsFromText(text));
      break;
    case cpParity:
      FComPort.Parity().SetBits(ParityFromText(text));
      break;
    case cpFlowControl:
      FComPort.FlowControl().SetFlowControl(FlowControlFromText(text));
      break;
  }
}

TComSetupFrm::TComSetupFrm(TComPort& port, QWidget* parent) : QDialog(parent), FComPort(port) {
  setObjectName(QStringLiteral("TComSetupFrm"));
  setWindowTitle(QString::fromUtf8("Настройка"));
  auto* group = new QGroupBox(QString::fromUtf8(" Свойства "), this);
  auto* form = new QFormLayout(group);
  struct Row {
    TComComboBox** Combo;
    const char* Name;
    const char* Label;
    TComProperty Property;
  };
  const Row rows[] = {{&Combo1, "Combo1", "Порт", cpPort},
                      {&Combo2, "Combo2", "Скорость", cpBaudRate},
                      {&Combo3, "Combo3", "Данные", cpDataBits},
                      {&Combo4, "Combo4", "Стоп бит", cpStopBits},
                      {&Combo5, "Combo5", "Четность", cpParity},
                      {&Combo6, "Combo6", "Управление потоком", cpFlowControl}};
  for (const Row& r : rows) {
    *r.Combo = new TComComboBox(port, r.Property, group);
    (*r.Combo)->setObjectName(QLatin1String(r.Name));
    (*r.Combo)->SelectCurrent();
    form->addRow(QString::fromUtf8(r.Label), *r.Combo);
  }
  Combo1->setMinimumWidth(180);
  btnOk = new QPushButton(QString::fromUtf8("Принять"), this);
  btnOk->setObjectName(QStringLiteral("btnOk"));
  btnOk->setDefault(true);
  btnCancel = new QPushButton(QString::fromUtf8("Отмена"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  connect(btnOk, &QPushButton::clicked, this, [this] { done(mrOk); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOk);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TComSetupFrm::ApplySettings() {
  FComPort.HoldSetup();
  try {
    for (TComComboBox* c : {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6}) c->ApplySetting();
  } catch (...) {
    FComPort.ReleaseSetup();
    throw;
  }
  FComPort.ReleaseSetup();
}

bool EditPortSettings(TComPort& port, QWidget* parent) {
  TComSetupFrm form(port, parent);
  if (ExecDialog(form) != mrOk) return false;
  form.ApplySettings();
  return true;
}
