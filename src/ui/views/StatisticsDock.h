// "Статистика": per device of the session, the requests, the successes, each
// failure kind by its result text, the mean and worst response time and the
// time of the last success, with "Сбросить". The numbers come from the
// statistics the port's recorder keeps; the table updates in place (one
// dataChanged a tick) and only when they have changed.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "TrafficRecorder.h"
#include "ViewDock.h"

class QTableView;

class TStatisticsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn {
    colAddress,
    colPlant,
    colName,
    colRequests,
    colSuccesses,
    colFailures,
    colRate,
    colMean,
    colWorst,
    colLastSuccess,
    colKinds,
    colCount
  };
  explicit TStatisticsModel(TLineStatistics* statistics, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Takes the numbers afresh when they changed; true when they had.
  bool Update();
  void Reset();  // zeroes the statistics themselves
  const std::vector<TDeviceStatistics>& Rows() const { return FRows; }

 private:
  TLineStatistics* FStatistics;
  std::vector<TDeviceStatistics> FRows;
  std::uint64_t FGeneration = ~0ull;
};

class TStatisticsDock : public TViewDock {
  Q_OBJECT
 public:
  TStatisticsDock(TLineStatistics* statistics, QWidget* parent = nullptr);
  TStatisticsModel* Model() const { return FModel; }
  QTableView* View() const { return FView; }

 protected:
  void RefreshView() override;

 private:
  TStatisticsModel* FModel;
  QTableView* FView;
};
