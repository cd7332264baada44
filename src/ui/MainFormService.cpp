// The service mode: "Настройка → Сервисный режим", a checkable item that is
// off by default and remembered between runs. On, it shows the finished
// commands the window otherwise keeps hidden (the calibration dialog, reading
// the calibration points, reading and writing one device's settings, reading
// and writing the averaging coefficient, the batch settings write) and the
// device-table columns they fill (С1, C2, H2, Kуср). Off, every one of them
// is hidden again, as the window is designed.
#include <QAction>
#include <QMenu>

#include "AppSettings.h"
#include "MainForm.h"

namespace {

// Columns of the device table the hidden commands read and write, and the
// width they get in the service mode.
constexpr int kServiceColumns[] = {5, 7, 8, 9};
constexpr int kServiceColumnWidth = 48;

}  // namespace

void TMainForm::CreateServiceMode() {
  ServiceModeAction = new QAction(QString::fromUtf8("Сервисный режим"), this);
  ServiceModeAction->setObjectName(QStringLiteral("ServiceModeAction"));
  ServiceModeAction->setCheckable(true);
  ServiceModeAction->setChecked(TAppSettings::ServiceMode());
  mSettings->addSeparator();
  mSettings->addAction(ServiceModeAction);
  connect(ServiceModeAction, &QAction::toggled, this, [this](bool on) {
    TAppSettings::SetServiceMode(on);
    ApplyServiceMode(on);
  });
  ApplyServiceMode(ServiceModeAction->isChecked());
}

void TMainForm::ApplyServiceMode(bool on) {
  for (QAction* a :
       {clbrReadAction, clbrWriteAction, ConfigReadAction, tWriteAction, UpdateDeviceAction})
    a->setVisible(on);
  // These two actions are visible by design; only their context-menu items
  // are hidden (PopupMenuPopup reads the property).
  for (QAction* item : {pmCoeff, pmCoeffWrite}) item->setProperty("itemHidden", !on);
  for (int col : kServiceColumns) sgDevices->SetColWidths(col, on ? kServiceColumnWidth : -1);
}
