// The serial port settings dialog (TComSetupFrm): six fixed lists, each bound
// to one setting of the port; nothing reaches the port until "Принять".
#pragma once

#include <QComboBox>
#include <QDialog>

#include "ComPort.h"

class QPushButton;

enum TComProperty { cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// A drop-down list of the texts of one port setting.
class TComComboBox : public QComboBox {
  Q_OBJECT
 public:
  TComComboBox(TComPort& port, TComProperty property, QWidget* parent = nullptr);
  TComPort& ComPort() const { return FComPort; }
  TComProperty ComProperty() const { return FComProperty; }
  // Off: a choice is handed to the port only by ApplySettings.
  bool AutoApply() const { return FAutoApply; }
  void SetAutoApply(bool value) { FAutoApply = value; }
  // The text of the port's current value (for the flow control, the derived mode).
  QString CurrentValueText() const;
  // Selects the item equal, without regard to case, to the current value;
  // none when it is not among the items.
  void SelectCurrent();
  // Hands the selected item to the port; nothing when no item is selected.
  void ApplySetting();

 private:
  TComPort& FComPort;
  TComProperty FComProperty;
  bool FAutoApply = false;
};

class TComSetupFrm : public QDialog {
  Q_OBJECT
 public:
  // Fills the lists; raises EComPort 23 when the port list cannot be read.
  explicit TComSetupFrm(TComPort& port, QWidget* parent = nullptr);
  TComComboBox* Combo1;  // Порт
  TComComboBox* Combo2;  // Скорость
  TComComboBox* Combo3;  // Данные
  TComComboBox* Combo4;  // Стоп бит
  TComComboBox* Combo5;  // Четность
  TComComboBox* Combo6;  // Управление потоком
  QPushButton* btnOk;
  QPushButton* btnCancel;
  // Hands all six choices to the port at once (inside one hold).
  void ApplySettings();

 private:
  TComPort& FComPort;
};

// Runs the dialog on the port; true when the user accepted with "Принять".
bool EditPortSettings(TComPort& port, QWidget* parent = nullptr);
