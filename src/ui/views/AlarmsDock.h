// "Тревоги": the alarms of the history database, newest first: every active
// or unacknowledged one and those of the last week, with the time, the
// device, the sensor, the kind, the value, the limit, whether it is still
// active, and when and by whom it was acknowledged. "Квитировать" takes the
// selected rows, "Квитировать все" every unacknowledged one.
//
// The list comes from the recorder (its thread reads the database); the
// dock only shows it and hands acknowledgements back through `acknowledge`.
#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <memory>
#include <vector>

#include "Alarms.h"
#include "ViewDock.h"

class QLabel;
class QPushButton;
class QTableView;

class TAlarmsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn { cTime, cDevice, cPlant, cSensor, cKind, cValue, cLimit, cState, cAck, cCount };
  using QAbstractTableModel::QAbstractTableModel;
  void SetAlarms(std::shared_ptr<const std::vector<TAlarm>> alarms);
  const TAlarm* At(int row) const;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::shared_ptr<const std::vector<TAlarm>> FAlarms;
};

class TAlarmsDock : public TViewDock {
  Q_OBJECT
 public:
  using TAcknowledge = std::function<void(std::vector<std::int64_t> ids)>;
  TAlarmsDock(TAcknowledge acknowledge, QWidget* parent = nullptr);

  void SetAlarms(std::shared_ptr<const std::vector<TAlarm>> alarms, const QString& notice);
  TAlarmsModel* Model() const { return FModel; }
  QTableView* Table() const { return FTable; }
  void AcknowledgeSelected();
  void AcknowledgeAll();

 protected:
  void RefreshView() override;

 private:
  TAcknowledge FAcknowledge;
  TAlarmsModel* FModel;
  QTableView* FTable;
  QLabel* FNotice;
  QPushButton* FAckSelected;
  QPushButton* FAckAll;
  std::shared_ptr<const std::vector<TAlarm>> FPending;
};
