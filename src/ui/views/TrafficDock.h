// "Обмен": every frame the program sends and receives, decoded. The frames
// come from the ring the port's recorder fills on whichever thread uses the
// port; the dock drains it in batches on its capped refresh (one
// beginInsertRows a batch, the oldest rows trimmed with one beginRemoveRows),
// so appending costs the user-interface thread one short step per tick.
#pragma once

#include <QAbstractTableModel>
#include <deque>
#include <set>
#include <thread>

#include "TrafficRecorder.h"
#include "ViewDock.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

class TTrafficModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn {
    colTime,
    colDirection,
    colParity,
    colBytes,
    colMeaning,
    colResult,
    colResponse,
    colCount
  };
  // At most `rows` frames are kept (by default the ring's bound).
  explicit TTrafficModel(TFrameRing* ring, QObject* parent = nullptr, std::size_t rows = 0);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Takes up to `maxFrames` new frames from the ring (unless paused); returns
  // how many were taken.
  std::size_t Drain(std::size_t maxFrames = 20000);
  void SetPaused(bool paused) { FPaused = paused; }
  bool Paused() const { return FPaused; }
  // Filters: one device (system address; -1 all) and failed exchanges only.
  void SetAddressFilter(int address);
  void SetOnlyFailures(bool on);
  // Empties the list and the ring.
  void Clear();

  const TFramePtr& Frame(int row) const { return FRows[static_cast<std::size_t>(row)]; }
  std::size_t Kept() const { return FAll.size(); }
  // Addresses seen so far (for the device filter).
  const std::set<int>& Addresses() const { return FAddresses; }
  // The shown rows, oldest first, and as text lines.
  std::vector<TFramePtr> Rows() const { return {FRows.begin(), FRows.end()}; }
  std::string Text() const;

 signals:
  void AddressesChanged();

 private:
  bool Accepts(const TFrameRecord& frame) const;
  void Rebuild();

  TFrameRing* FRing;
  std::size_t FLimit;
  std::uint64_t FLastSeq = 0;
  bool FPaused = false;
  int FAddress = -1;
  bool FOnlyFailures = false;
  std::deque<TFramePtr> FAll;   // everything taken, bounded
  std::deque<TFramePtr> FRows;  // what the filters let through
  std::set<int> FAddresses;
};

class TTrafficDock : public TViewDock {
  Q_OBJECT
 public:
  TTrafficDock(TFrameRing* ring, QWidget* parent = nullptr);
  ~TTrafficDock() override;
  TTrafficModel* Model() const { return FModel; }
  QTableView* View() const { return FView; }
  // Writes the shown frames as text; false (and a message) when it cannot.
  bool SaveText(const QString& fileName);
  // The same on a thread of its own ("Сохранить…": a long list is decoded
  // without holding the window); the outcome shows when it is done.
  void SaveTextInBackground(const QString& fileName);

 protected:
  void RefreshView() override;

 private:
  void FillDevices();

  TTrafficModel* FModel;
  QTableView* FView;
  QComboBox* FDevice;
  QCheckBox* FOnlyFailures;
  QPushButton* FPause;
  QLabel* FCount;
  QTimer* FTick;
  std::thread FSaver;
};
