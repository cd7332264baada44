#include "ViewHub.h"

void TViewHub::Publish(TSnapshotPtr snapshot) {
  FLatest = std::move(snapshot);
  emit SnapshotReady(FLatest);
}

void TViewHub::SetCurrentIndex(int index) {
  if (index == FCurrent) return;
  FCurrent = index;
  emit CurrentChanged(index);
}

void TViewHub::SetAlarms(TAlarmCells alarms) {
  if (alarms == FAlarms) return;
  FAlarms = std::move(alarms);
  emit AlarmsChanged();
}
