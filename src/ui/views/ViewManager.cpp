#include "ViewManager.h"

#include <QAction>
#include <QDockWidget>
#include <QMainWindow>
#include <QMenu>

#include "AppSettings.h"

TViewManager::TViewManager(QMainWindow* window, QMenu* viewMenu)
    : QObject(window), FWindow(window), FMenu(viewMenu) {
  FResetSeparator = FMenu->addSeparator();
  FResetAction = FMenu->addAction(QString::fromUtf8("Сбросить расположение"));
  FResetAction->setObjectName(QStringLiteral("ResetLayoutAction"));
  connect(FResetAction, &QAction::triggered, this, &TViewManager::ResetLayout);
}

void TViewManager::AddDock(QDockWidget* dock, Qt::DockWidgetArea area) {
  QDockWidget* sibling = nullptr;
  for (QDockWidget* d : FDocks)
    if (FWindow->dockWidgetArea(d) == area) sibling = d;
  FWindow->addDockWidget(area, dock);
  if (sibling) FWindow->tabifyDockWidget(sibling, dock);
  dock->hide();
  QAction* toggle = dock->toggleViewAction();
  toggle->setObjectName(dock->objectName() + QStringLiteral("ViewAction"));
  FMenu->insertAction(FResetSeparator, toggle);
  FDocks.append(dock);
}

void TViewManager::RestoreLayout() {
  FDefaultState = FWindow->saveState(kLayoutVersion);
  const QByteArray saved = TAppSettings::WindowState();
  if (!saved.isEmpty()) FWindow->restoreState(saved, kLayoutVersion);
}

void TViewManager::SaveLayout() const {
  TAppSettings::SetWindowState(FWindow->saveState(kLayoutVersion));
}

void TViewManager::ResetLayout() {
  FWindow->restoreState(FDefaultState, kLayoutVersion);
  for (QDockWidget* d : FDocks) d->hide();
}
