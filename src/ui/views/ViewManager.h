// The docks beside the tables and the "Вид" menu that shows and hides them.
// The main window creates each dock, hands it here with its default place,
// then calls RestoreLayout once; the layout is saved when the window closes.
//
// The default layout has every dock hidden, so that the window is exactly the
// window of the tables until the user asks for a view. The saved layout refers
// to docks by their object names (stable ASCII names, never the titles) and
// carries kLayoutVersion; a layout saved by another version is ignored.
#pragma once

#include <QList>
#include <QObject>

class QAction;
class QDockWidget;
class QMainWindow;
class QMenu;

class TViewManager : public QObject {
  Q_OBJECT
 public:
  static constexpr int kLayoutVersion = 1;

  // `viewMenu` receives one checkable item per dock, then a separator and
  // "Сбросить расположение".
  TViewManager(QMainWindow* window, QMenu* viewMenu);

  // Places the dock at `area`, hidden, with its item in the menu. Docks added
  // to the same area are stacked as tabs.
  void AddDock(QDockWidget* dock, Qt::DockWidgetArea area);
  // Remembers the built-in layout, then applies the saved one (if any and of
  // this version). Call once, after every AddDock.
  void RestoreLayout();
  // Stores the current layout (the docks; the window's own place and size stay
  // as the program sets them at start-up).
  void SaveLayout() const;
  // Back to the built-in layout: every dock hidden at its default place.
  void ResetLayout();

  const QList<QDockWidget*>& Docks() const { return FDocks; }
  QAction* ResetLayoutAction() const { return FResetAction; }

 private:
  QMainWindow* FWindow;
  QMenu* FMenu;
  QAction* FResetSeparator;
  QAction* FResetAction;
  QList<QDockWidget*> FDocks;
  QByteArray FDefaultState;
};
