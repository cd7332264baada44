// The choice of how to scan the line (TScanTypeForm, "Критерий поиска"): by
// system addresses from a start address, or by a list of plant numbers that
// get consecutive addresses; beside them the end address ("до адреса") and
// the fast scan ("Быстрое сканирование", off by default).
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TScanTypeForm : public QDialog {
  Q_OBJECT
 public:
  explicit TScanTypeForm(QWidget* parent = nullptr);

  QGroupBox* GroupBox1;
  QRadioButton* rbAddress;
  QRadioButton* rbNumber;
  QLineEdit* eNumbers;
  QGroupBox* GroupBox2;
  QLabel* Label1;
  QLineEdit* eStartAddress;
  QCheckBox* chbAddressReserved;
  QLabel* lEndAddress;
  QLineEdit* eEndAddress;
  QCheckBox* chbFastScan;
  QPushButton* btnApply;
  QPushButton* btnCancel;

  // Only the address scan is offered (the Modbus protocol has no address
  // write by plant number).
  void RestrictToAddressScan();

  // Results, read after the dialog closed with OK.
  bool ScanByPlantNumbers() const;
  // The typed start address; 1 when it is not a whole number in 1..254.
  std::uint8_t StartAddress() const;
  bool ReserveAddresses() const;
  QString Numbers() const;
  // The typed end address; 254 when it is not a whole number in 1..254.
  std::uint8_t EndAddress() const;
  bool FastScan() const;

  // "Сканировать": closes with OK unless the end address lies below the
  // start address, which is refused with a message (the dialog stays open).
  void btnApplyClick();

  // Handlers.
  void eNumbersChange();
  // Character filters: a null character discards the key.
  static QChar eNumbersKeyPress(QChar key);
  static QChar eStartAddressKeyPress(QChar key);
};
