// The three views on the demo line through the real port, in both protocols:
// polling fills the overview, the profile and the trends (a silent device is
// greyed, a fault cell black, a no-data cell white), a click on a column
// selects the device, and a single read after polling adds its own reading.
#include <gtest/gtest.h>

#include <QAction>
#include <QTest>

#include "../ui/test_scan_ui_support.h"
#include "DemoStart.h"
#include "OverviewDock.h"
#include "ProfileDock.h"
#include "SessionTrendStore.h"
#include "TrendDock.h"
#include "ViewHub.h"
#include "VirtualLine.h"

using namespace scanui;

namespace {

std::size_t Rows(TMainForm& form, std::uint16_t plant) {
  TTrendQuery q;
  q.PlantNumber = plant;
  q.Series = {kLevelSeries};
  q.FromMs = 0;
  q.ToMs = UtcNowMs() + 60'000;
  std::size_t n = 0;
  const TTrendResult result = form.FSessionTrends->Run(q);
  for (const TTrendPoint& p : result.Series[0].Points) n += !std::isnan(p.Value);
  return n;
}

}  // namespace

TEST(ViewsWindow, PollingAndASingleReadFillTheViewsInBothProtocols) {
  for (TDeviceProtocol protocol : {dpLargis1, dpModbus}) {
    SCOPED_TRACE(protocol == dpLargis1 ? "native" : "Modbus");
    EnsureApplication();
    TUiHooks hooks;
    std::vector<TMessageRequest> messages;
    hooks.Messages = [&](const TMessageRequest& m) {
      messages.push_back(m);
      return int(mrOk);
    };
    hooks.Dialogs = [&](QDialog& d) {
      if (auto* start = qobject_cast<TStartModeForm*>(&d))
        start->SetItemIndex(protocol == dpModbus ? 1 : 0);
      return int(mrOk);
    };
    std::unique_ptr<TVirtualLine> line;
    {
      TMainForm form;
      line = StartDemo(form);
      form.show();
      auto* overview = form.findChild<TOverviewDock*>(QStringLiteral("OverviewDock"));
      auto* profile = form.findChild<TProfileDock*>(QStringLiteral("ProfileDock"));
      auto* trends = form.findChild<TTrendDock*>(QStringLiteral("TrendDock"));
      ASSERT_TRUE(overview && profile && trends);
      for (QDockWidget* dock :
           {static_cast<QDockWidget*>(overview), static_cast<QDockWidget*>(profile),
            static_cast<QDockWidget*>(trends)})
        dock->show();
      line->Modify(3, [](TSimDevice& d) { d.Faults.Silent = true; });  // "Силос 4"

      form.RunAction->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(form, 1201) >= 2; }, 20000));
      overview->FlushRefresh();
      TLineOverview* view = overview->View();
      EXPECT_EQ(view->CellColor(3, 1), TTemperatureScale::kFailedColor);
      EXPECT_TRUE(view->ToolTipAt(view->CellCentre(3, 1))
                      .contains(QString::fromUtf8("Нет связи с прибором")));
      EXPECT_EQ(view->CellColor(1, 8), TTemperatureScale::kFaultColor);  // "Силос 2", sensor 8
      EXPECT_EQ(view->CellColor(2, 6), TTemperatureScale::kNoDataColor);  // "Бункер 3", sensor 6
      const QColor sound = view->CellColor(0, 1);
      EXPECT_NE(std::find(TTemperatureScale::kBandColors.begin(),
                          TTemperatureScale::kBandColors.end(), sound),
                TTemperatureScale::kBandColors.end());

      // A click on a column selects that device; the profile and the trends follow.
      QTest::mouseClick(view, Qt::LeftButton, {}, view->CellCentre(4, 2));
      EXPECT_EQ(form.FViewHub->CurrentIndex(), 4);
      profile->FlushRefresh();
      EXPECT_TRUE(profile->View()->Title().contains(QStringLiteral("1205")));
      EXPECT_EQ(profile->View()->Points().size(), 16u);
      trends->FlushRefresh();
      QApplication::processEvents();
      const auto counts = trends->PointCounts();
      ASSERT_FALSE(counts.empty());
      EXPECT_GE(counts[0], 1);   // the level (equal readings in one pixel column are one point)
      EXPECT_GE(counts[16], 1);  // sensor 16
      const QString level = QString::number(form.FViewHub->Latest()->Devices[4].Level);
      EXPECT_TRUE(
          trends->ValuesAt(trends->ToMs()).contains(QString::fromUtf8("H: %1 дм").arg(level)));

      form.StopAction->trigger();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.FThread.isNull(); }, 10000));
      // A single read after polling: the device read alone, at cycle 0.
      const std::size_t before = Rows(form, 1205);
      form.SelectDevice(4);
      if (protocol == dpModbus)
        form.ModbusDataReadActionExecute();
      else
        form.hReadActionExecute();
      const TSnapshotPtr latest = form.FViewHub->Latest();
      ASSERT_TRUE(latest);
      EXPECT_EQ(latest->Cycle, 0u);
      EXPECT_TRUE(latest->Devices[4].Read);
      EXPECT_TRUE(latest->Devices[4].LevelConfirmed);
      EXPECT_FALSE(latest->Devices[0].Read);
      EXPECT_EQ(Rows(form, 1205), before + 1);
      EXPECT_TRUE(messages.empty());
      form.FModified = false;
    }
    line.reset();
  }
}
