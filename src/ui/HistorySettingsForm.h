// "Настройка → История…": whether the polling cycles are recorded, into
// which file, how often and for how long, and the alarm limits (for the
// whole line and per listed device).
#pragma once

#include <QDialog>

#include "Alarms.h"

class QCheckBox;
class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;
class QTableWidget;
class TDeviceList;

struct THistorySettings {
  bool Enabled = true;
  QString File;  // as chosen; empty = the default file
  int IntervalSeconds = 60;
  int RetentionDays = 730;
  TAlarmLimits Limits;
};

class THistorySettingsForm : public QDialog {
  Q_OBJECT
 public:
  // `defaultFile` is shown as the placeholder of the file field; the limits
  // are editable only when `limitsAvailable` (a database is open).
  THistorySettingsForm(const THistorySettings& settings, const QString& defaultFile,
                       const TDeviceList& devices, bool limitsAvailable,
                       QWidget* parent = nullptr);
  THistorySettings Settings() const;

 private:
  QCheckBox* chbRecord;
  QLineEdit* eFile;
  QSpinBox* seInterval;
  QSpinBox* seRetention;
  QCheckBox* chbUpper;
  QDoubleSpinBox* dsUpper;
  QCheckBox* chbRise;
  QDoubleSpinBox* dsRise;
  QDoubleSpinBox* dsHysteresis;
  QSpinBox* seWindow;
  QTableWidget* sgLimits;
  TAlarmLimits FLimits;
};
