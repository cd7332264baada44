// The "Вид" menu and the docks beside the tables. Each dock is its own class
// (views/), given the view hub as its source; this file only creates, places
// and connects them, and feeds the hub from the window's own events.
#include <QMenu>
#include <QGroupBox>
#include <QMenuBar>

#include "MainForm.h"
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
    if (!gbData->isHidden()) sgData->setCurrentCell(index + 1, sgData->currentColumn() < 0 ? 0 : sgData->currentColumn());
    SelectDevice(index);
  });
  connect(sgData, &QTableWidget::currentCellChanged, this, [this] { UpdateViewedDevice(); });

  // Docks are added here, each at its default place:
  //   FViewManager->AddDock(new TSomeDock(FViewHub, this), Qt::RightDockWidgetArea);
  CreateDiagnostics();

  FViewManager->RestoreLayout();
}

void TMainForm::PublishSnapshot(std::uint64_t cycle) {
  auto snapshot = std::make_shared<TLineSnapshot>(
      TakeLineSnapshot(FDevices, static_cast<std::uint8_t>(CurrentProtocol()), UtcNowMs(), cycle));
  FViewHub->Publish(std::move(snapshot));
}

void TMainForm::UpdateViewedDevice() {
  if (!FViewHub) return;
  int index = FSelectedIndex;
  if (!gbData->isHidden() && sgData->currentRow() >= 1 && sgData->currentRow() <= DeviceCount())
    index = sgData->currentRow() - 1;
  FViewHub->SetCurrentIndex(index);
}
