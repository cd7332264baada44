// The one source the docks beside the tables take their data from: the
// readings of each polling cycle (or single read) as one read-only snapshot,
// the device the user looks at, and the way back from a view to the window
// (a view asks for a device to be selected; the window decides).
//
// Threading: user-interface thread only. The window publishes from its
// synchronised data-table refresh, so the polling thread's wait is one
// snapshot copy long however many views subscribe; subscribers only keep the
// pointer and schedule their own repaint.
#pragma once

#include <QObject>
#include <memory>

#include "LineSnapshot.h"
#include "PaintStyle.h"

using TSnapshotPtr = std::shared_ptr<const TLineSnapshot>;

class TViewHub : public QObject {
  Q_OBJECT
 public:
  explicit TViewHub(QObject* parent = nullptr) : QObject(parent) {}

  // The latest snapshot, null before the first.
  TSnapshotPtr Latest() const { return FLatest; }
  // Keeps the snapshot as the latest and hands it to every subscriber.
  void Publish(TSnapshotPtr snapshot);

  // The device the views show: the selected device of the device table, or
  // while polling the device under the data table's cursor; -1 none.
  int CurrentIndex() const { return FCurrent; }
  // By the window; emits CurrentChanged when the index changes.
  void SetCurrentIndex(int index);
  // By a view (a click on a column of the line overview): asks the window to
  // select the device; the window answers with SetCurrentIndex.
  void RequestSelect(int index) { emit SelectRequested(index); }
  // By the window when devices were added, removed, sorted or edited.
  void NotifyDeviceListChanged() { emit DeviceListChanged(); }
  // The places of the line in alarm now (from the history's alarms); empty
  // when none or when no database is in use.
  const TAlarmCells& Alarms() const { return FAlarms; }
  void SetAlarms(TAlarmCells alarms);

 signals:
  void SnapshotReady(TSnapshotPtr snapshot);
  void CurrentChanged(int index);
  void SelectRequested(int index);
  void DeviceListChanged();
  void AlarmsChanged();

 private:
  TSnapshotPtr FLatest;
  int FCurrent = -1;
  TAlarmCells FAlarms;
};
