// The dock framework beside the tables: the "Вид" menu, the saved and reset
// layout, the capped repaint of a dock, its image commands, and the window
// feeding the view hub (snapshots, the device shown, selection from a view).
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

#include "AppSettings.h"
#include "UiTestSupport.h"
#include "ViewDock.h"
#include "ViewHub.h"
#include "ViewManager.h"

namespace {

class TCountingDock : public TViewDock {
 public:
  TCountingDock(const char* name, QWidget* parent) : TViewDock(QLatin1String(name), U8("Тест"), parent) {
    auto* content = new QWidget;
    content->resize(120, 80);
    SetContent(content);
  }

 protected:
  void RefreshView() override {}
};

struct TWindowWithDocks {
  QMainWindow window;
  QMenu* menu = window.menuBar()->addMenu(U8("Вид"));
  TViewManager manager{&window, menu};
  TCountingDock* a = new TCountingDock("DockA", &window);
  TCountingDock* b = new TCountingDock("DockB", &window);
  TWindowWithDocks() {
    manager.AddDock(a, Qt::RightDockWidgetArea);
    manager.AddDock(b, Qt::BottomDockWidgetArea);
    manager.RestoreLayout();
    window.show();
  }
};

}  // namespace

TEST(Views, DocksStartHiddenAndTheLayoutIsRememberedAndReset) {
  TestApp();
  TAppSettings::SetWindowState({});
  {
    TWindowWithDocks w;
    EXPECT_TRUE(w.a->isHidden());
    EXPECT_TRUE(w.b->isHidden());
    // One item per dock, then a separator and the reset item.
    const auto items = w.menu->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->objectName(), QStringLiteral("DockAViewAction"));
    EXPECT_EQ(items[3]->text(), U8("Сбросить расположение"));
    items[1]->trigger();
    EXPECT_FALSE(w.b->isHidden());
    w.manager.SaveLayout();
  }
  {
    TWindowWithDocks w;
    EXPECT_TRUE(w.a->isHidden());
    EXPECT_FALSE(w.b->isHidden());
    w.manager.ResetLayoutAction()->trigger();
    EXPECT_TRUE(w.b->isHidden());
  }
}

TEST(Views, RepaintIsCappedAndAHiddenDockWaitsUntilShown) {
  TestApp();
  TAppSettings::SetWindowState({});
  TWindowWithDocks w;
  const int start = w.a->RefreshCount();
  w.a->ScheduleRefresh();
  QTest::qWait(100);
  EXPECT_EQ(w.a->RefreshCount(), start);  // hidden: only marked
  w.a->show();
  QTest::qWait(100);
  EXPECT_EQ(w.a->RefreshCount(), start + 1);
  // A burst of requests within one frame gap gives at most two refreshes.
  for (int i = 0; i < 50; ++i) w.a->ScheduleRefresh();
  QTest::qWait(100);
  EXPECT_GE(w.a->RefreshCount(), start + 2);
  EXPECT_LE(w.a->RefreshCount(), start + 3);
}

TEST(Views, ImageIsWrittenAsPngOrSvgAndAFailureIsReported) {
  TestApp();
  TWindowWithDocks w;
  QTemporaryDir dir;
  ASSERT_TRUE(w.a->WriteImage(dir.filePath(QStringLiteral("a.png"))));
  EXPECT_EQ(QImage(dir.filePath(QStringLiteral("a.png"))).size(), QSize(120, 80));
  ASSERT_TRUE(w.a->WriteImage(dir.filePath(QStringLiteral("b"))));  // gets .png
  EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("b.png"))));
  ASSERT_TRUE(w.a->WriteImage(dir.filePath(QStringLiteral("a.svg"))));
  QFile svg(dir.filePath(QStringLiteral("a.svg")));
  ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
  EXPECT_TRUE(svg.readAll().contains("<svg"));

  TAnswering answers;
  answers.FileNames.push_back(dir.filePath(QStringLiteral("no/such/folder/c.png")));
  w.a->SaveImageAction()->trigger();
  EXPECT_EQ(answers.Messages.size(), 1u);
  EXPECT_TRUE(answers.LastText().contains(QStringLiteral("c.png")));
}

TEST(Views, WindowFeedsTheHubAndSelectsWhatAViewAsksFor) {
  TAnswering answers;
  auto form = MakeForm(answers);
  // "Вид" stands before "Справка".
  const auto menus = form->menuBar()->actions();
  ASSERT_GE(menus.size(), 2);
  EXPECT_EQ(menus[menus.size() - 2]->text(), U8("Вид"));
  form->AddDevice(MakeDevice("A", 1201, 1, {0x0190}));
  form->AddDevice(MakeDevice("B", 1202, 2, {0x0010, 0xDDDD}));
  EXPECT_EQ(form->FViewHub->CurrentIndex(), 1);  // adding selects

  int snapshots = 0;
  QObject::connect(form->FViewHub, &TViewHub::SnapshotReady, [&](TSnapshotPtr) { ++snapshots; });
  form->FOnRefreshDataGrid();
  form->FOnRefreshDataGrid();
  EXPECT_EQ(snapshots, 2);
  const TSnapshotPtr latest = form->FViewHub->Latest();
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->Cycle, 2u);
  ASSERT_EQ(latest->Devices.size(), 2u);
  EXPECT_EQ(latest->Devices[1].Temperatures, (std::vector<std::uint16_t>{0x0010, 0xDDDD}));

  form->FViewHub->RequestSelect(0);
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_EQ(form->FViewHub->CurrentIndex(), 0);
  form->FViewHub->RequestSelect(7);  // no such device: nothing changes
  EXPECT_EQ(form->SelectedIndex(), 0);
}
