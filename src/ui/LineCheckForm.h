// The line check's verdicts, one row a device: what the check found and, for
// a device that answers elsewhere, where ("отвечает на 19200, Modbus").
#pragma once

#include <QDialog>
#include <vector>

#include "LineCheck.h"

class QTableWidget;

class TLineCheckForm : public QDialog {
  Q_OBJECT
 public:
  TLineCheckForm(const std::vector<TDeviceCheck>& checks, const QString& heading,
                 QWidget* parent = nullptr);
  QTableWidget* Table() const { return FTable; }

 private:
  QTableWidget* FTable;
};
