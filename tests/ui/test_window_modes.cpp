// The device table's context menu on its header row, and the service mode
// that shows the commands the window otherwise hides.
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTest>

#include "AppSettings.h"
#include "UiTestSupport.h"
#include "VirtualLine.h"

TEST(DeviceTableMenu, HeaderRowGivesTheMenuWithItsDeviceCommandsDisabled) {
  TAnswering answers;
  TVirtualLine line;
  auto form = MakeForm(answers);
  form->AddDevice(MakeDevice("A", 1201, 1));
  form->ComPort().SetPort(line.SlavePath());
  form->OpenPortAction->trigger();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  TStringGrid* grid = form->sgDevices;
  const auto rightClick = [&](QWidget* w, QPoint p) {
    form->PopupMenu->hide();
    QTest::mousePress(w, Qt::RightButton, {}, p);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, p, w->mapToGlobal(p));
    QApplication::sendEvent(w, &menu);
    QTest::mouseRelease(w, Qt::RightButton, {}, p);
    return form->PopupMenu->isVisible();
  };
  // On a device row the commands are on: the same test can fail.
  ASSERT_TRUE(rightClick(grid->viewport(), grid->visualRect(grid->model()->index(0, 2)).center()));
  EXPECT_TRUE(form->pmID->isEnabled());
  form->SelectDevice(-1);
  ASSERT_TRUE(rightClick(grid->horizontalHeader()->viewport(), QPoint(40, 5)));
  EXPECT_EQ(form->FHitRow, 0);
  EXPECT_EQ(form->SelectedIndex(), -1);  // the selection stays as it was
  for (QAction* item : {form->pmT, form->pmID, form->pmSA, form->pmSN, form->pmConfigRead})
    EXPECT_FALSE(item->isEnabled()) << item->objectName().toStdString();
  EXPECT_TRUE(form->pmSortPN->isEnabled());
  form->PopupMenu->hide();
  form->FModified = false;
}

TEST(ServiceMode, ShowsTheHiddenCommandsAndIsRemembered) {
  TAnswering answers;
  TAppSettings::SetServiceMode(false);
  auto form = MakeForm(answers);
  form->AddDevice(MakeDevice("A", 1201, 1));
  // What the mode shows: actions, context-menu items, and device-table columns.
  const auto shown = [&](TMainForm& f) {
    f.PopupMenuPopup();
    QStringList s;
    for (QAction* a : {f.clbrReadAction, f.clbrWriteAction, f.ConfigReadAction, f.tWriteAction,
                       f.UpdateDeviceAction, f.pmCA, f.pmClbr, f.pmCoeff, f.pmCoeffWrite,
                       f.pmConfigRead, f.pmTuneWrite})
      if (a->isVisible()) s << a->objectName();
    for (int col : {5, 7, 8, 9})
      if (f.sgDevices->ColWidths(col) > 0) s << QString::number(col);
    return s;
  };
  const QStringList all = {"clbrReadAction", "clbrWriteAction", "ConfigReadAction",
                           "tWriteAction",   "UpdateDeviceAction", "pmCA",
                           "pmClbr",         "pmCoeff",         "pmCoeffWrite",
                           "pmConfigRead",   "pmTuneWrite",     "5",
                           "7",              "8",               "9"};
  EXPECT_TRUE(form->mSettings->actions().contains(form->ServiceModeAction));
  EXPECT_FALSE(form->ServiceModeAction->isChecked());
  EXPECT_EQ(shown(*form), QStringList());
  form->ServiceModeAction->trigger();
  EXPECT_EQ(shown(*form), all);
  EXPECT_TRUE(TAppSettings::ServiceMode());
  form->ApplyProtocol(dpModbus);  // the protocol switch hides no column of the mode
  EXPECT_EQ(shown(*form).filter("8"), QStringList{"8"});

  // The next window starts in it; switched off, everything hides again.
  auto next = MakeForm(answers);
  next->AddDevice(MakeDevice("B", 1202, 2));
  EXPECT_TRUE(next->ServiceModeAction->isChecked());
  EXPECT_EQ(shown(*next), all);
  next->ServiceModeAction->trigger();
  EXPECT_EQ(shown(*next), QStringList());
  EXPECT_FALSE(TAppSettings::ServiceMode());
  form->FModified = next->FModified = false;
}
