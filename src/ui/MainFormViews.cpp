// The "Вид" menu and the docks beside the tables. Each dock is its own class
// (views/), given the view hub as its source; this file only creates, places
// and connects them, and feeds the hub from the window's own events.
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include "MainForm.h"
#include "OverviewDock.h"
#include "ProfileDock.h"
#include "SessionTrendStore.h"
#include "Transaction.h"
#include "TrendDock.h"
#include "ViewHub.h"
#include "ViewManager.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

void TMainForm::CreateViews() {
  FViewHub = new TViewHub(this);
  mView = new QMenu(Tr("Вид"), this);
  mView->setObjectName(QStringLiteral("mView"));
  menuBar()->insertMenu(mHelp->menuAction(), mView);
  FViewManager = new TViewManager(this, mView);

  // A view asks for a device: the window selects it in the device table (and
  // while polling puts the data table's cursor on its row).
  connect(FViewHub, &TViewHub::SelectRequested, this, [this](int index) {
    if (index < 0 || index >= DeviceCount()) return;
    if (!gbData->isHidden())
      sgData->setCurrentCell(index + 1, sgData->currentColumn() < 0 ? 0 : sgData->currentColumn());
    SelectDevice(index);
  });
  connect(sgData, &QTableWidget::currentCellChanged, this, [this] { UpdateViewedDevice(); });

  // The session's readings are kept before any view sees the snapshot, so
  // that the trend view finds the newest reading in its source.
  FSessionTrends = std::make_shared<TSessionTrendStore>();
  connect(FViewHub, &TViewHub::SnapshotReady, this,
          [store = FSessionTrends.get()](TSnapshotPtr snapshot) { store->Add(*snapshot); });
  // A changed list (added, removed, sorted, loaded) is shown as it is: one
  // snapshot of the records once the change is complete, reading nothing.
  auto listSnapshotPending = std::make_shared<bool>(false);
  connect(FViewHub, &TViewHub::DeviceListChanged, this, [this, listSnapshotPending] {
    if (*listSnapshotPending) return;
    *listSnapshotPending = true;
    QTimer::singleShot(0, this, [this, listSnapshotPending] {
      *listSnapshotPending = false;
      PublishSnapshot(0);
    });
  });

  // Docks, each at its default place (all hidden until the user asks).
  FViewManager->AddDock(new TProfileDock(FViewHub, this), Qt::RightDockWidgetArea);
  FViewManager->AddDock(new TOverviewDock(FViewHub, this), Qt::TopDockWidgetArea);
  FTrendDock = new TTrendDock(FViewHub, FSessionTrends, this);
  FViewManager->AddDock(FTrendDock, Qt::BottomDockWidgetArea);
  CreateDiagnostics();
  CreateHistory();

  FViewManager->RestoreLayout();
}

void TMainForm::PublishSnapshot(std::uint64_t cycle) {
  auto snapshot = std::make_shared<TLineSnapshot>(
      TakeLineSnapshot(FDevices, static_cast<std::uint8_t>(CurrentProtocol()), UtcNowMs(), cycle));
  FViewHub->Publish(std::move(snapshot));
}

void TMainForm::PublishSingleRead(TDevice* device, bool temperatures, bool level, bool executed) {
  const int index = FDevices.IndexOf(device);
  if (index < 0) return;
  const auto protocol = static_cast<std::uint8_t>(CurrentProtocol());
  auto snapshot =
      std::make_shared<TLineSnapshot>(TakeLineSnapshot(FDevices, protocol, UtcNowMs(), 0));
  TDeviceReading& reading = snapshot->Devices[static_cast<std::size_t>(index)];
  const TRequestOutcome outcome = RequestOutcome(executed, *device);
  reading.Outcomes = {outcome};
  reading.Read = true;
  reading.LevelConfirmed = level && outcome.Ok;
  reading.TemperaturesConfirmed = temperatures && outcome.Ok;
  FViewHub->Publish(std::move(snapshot));
}

void TMainForm::UpdateViewedDevice() {
  if (!FViewHub) return;
  int index = FSelectedIndex;
  if (!gbData->isHidden() && sgData->currentRow() >= 1 && sgData->currentRow() <= DeviceCount())
    index = sgData->currentRow() - 1;
  FViewHub->SetCurrentIndex(index);
}
