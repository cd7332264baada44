// The window's diagnostics on the virtual line through the real port: the
// traffic monitor and the statistics fill while polling, their models pass
// Qt's model tester, the filters and the bound hold; the line check runs
// behind its progress window and shows its verdicts; the support bundle
// holds the frames, the statistics and the check.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QDockWidget>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "../ui/test_scan_ui_support.h"
#include "LineCheckForm.h"
#include "LineDiagnostics.h"
#include "StatisticsDock.h"
#include "SupportBundle.h"
#include "TrafficDock.h"

using namespace scanui;

TEST(TrafficModel, TakesBatchesKeepsItsBoundAndFilters) {
  EnsureApplication();
  TFrameRing ring(1000);
  TTrafficModel model(&ring, nullptr, 20);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  auto push = [&](int n) {
    for (int i = 0; i < n; ++i) {
      TFrameRecord f;
      f.Direction = i % 2 ? 'R' : 'T';
      f.Address = 1 + i % 3;
      f.Failed = f.Address == 2;
      f.Bytes = {static_cast<std::uint8_t>(f.Address), 0x20, 0x01};
      ring.Push(std::move(f));
    }
  };
  push(15);
  EXPECT_EQ(model.Drain(10), 10u);
  EXPECT_EQ(model.Drain(), 5u);
  push(35);
  model.Drain();
  EXPECT_EQ(model.rowCount(), 20);  // the oldest went
  EXPECT_EQ(model.Frame(0)->Seq, 31u);
  EXPECT_EQ(model.Addresses(), (std::set<int>{1, 2, 3}));
  model.SetOnlyFailures(true);
  for (int r = 0; r < model.rowCount(); ++r) EXPECT_TRUE(model.Frame(r)->Failed);
  model.SetOnlyFailures(false);
  model.SetAddressFilter(3);
  for (int r = 0; r < model.rowCount(); ++r) EXPECT_EQ(model.Frame(r)->Address, 3);
  model.SetAddressFilter(-1);
  model.SetPaused(true);
  push(5);
  EXPECT_EQ(model.Drain(), 0u);
  model.SetPaused(false);
  EXPECT_EQ(model.Drain(), 5u);
  const int address = model.Frame(0)->Address;
  EXPECT_EQ(model.data(model.index(0, TTrafficModel::colBytes), Qt::DisplayRole).toString(),
            QStringLiteral("0%1 20 01").arg(address));
  model.Clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(ring.Size(), 0u);
}

TEST(DiagnosticsWindow, MonitorStatisticsLineCheckAndBundleOnTheLine) {
  TVirtualLine line;
  line.AddDevice(SimAt(1, 1201));
  TSimDevice moved = SimAt(2, 1202);
  moved.Baud = 19200;
  line.AddDevice(moved);
  TWindowOnLine w(line, dpLargis1);
  ASSERT_TRUE(w.Form->ComPort().Connected());
  w.List("Силос 1", 1201, 1)->SetSensorCount(4);
  w.List("Силос 2", 1202, 2)->SetSensorCount(4);
  auto* traffic = w.Form->findChild<TTrafficDock*>(QStringLiteral("TrafficDock"));
  auto* statistics = w.Form->findChild<TStatisticsDock*>(QStringLiteral("StatisticsDock"));
  ASSERT_TRUE(traffic && statistics);
  EXPECT_TRUE(traffic->isHidden());  // new views start hidden
  QAbstractItemModelTester trafficTester(traffic->Model(),
                                         QAbstractItemModelTester::FailureReportingMode::Fatal);
  QAbstractItemModelTester statisticsTester(statistics->Model(),
                                            QAbstractItemModelTester::FailureReportingMode::Fatal);

  // Poll a few cycles with both docks hidden: the recorder fills anyway.
  w.Form->UpdateActions();
  w.Form->RunAction->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.Form->FPollCycles >= 2; }, 20000));
  w.Form->StopAction->trigger();
  ASSERT_TRUE(w.WaitIdle());
  EXPECT_EQ(traffic->Model()->rowCount(), 0);
  traffic->show();
  statistics->show();
  traffic->FlushRefresh();
  statistics->FlushRefresh();
  const int rows = traffic->Model()->rowCount();
  EXPECT_GE(rows, 2 * 2 * 2 + 2 * 2);  // requests of both devices, answers of the first
  const auto& stats = statistics->Model()->Rows();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].Successes, stats[0].Requests);
  EXPECT_EQ(stats[1].Successes, 0u);
  EXPECT_EQ(stats[1].Failures.at("Нет связи с прибором"), stats[1].Requests);
  EXPECT_EQ(statistics->Model()
                ->data(statistics->Model()->index(1, TStatisticsModel::colKinds), Qt::DisplayRole)
                .toString(),
            QStringLiteral("%1 × Нет связи с прибором").arg(stats[1].Requests));
  traffic->findChild<QCheckBox*>(QStringLiteral("chbTrafficFailures"))->setChecked(true);
  ASSERT_GT(traffic->Model()->rowCount(), 0);
  for (int r = 0; r < traffic->Model()->rowCount(); ++r)
    EXPECT_EQ(traffic->Model()->Frame(r)->Address, 2);
  traffic->findChild<QCheckBox*>(QStringLiteral("chbTrafficFailures"))->setChecked(false);
  const std::string dir = testing::TempDir() + "diag-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(traffic->SaveText(QString::fromStdString(dir + "/traffic.txt")));
  std::ifstream saved(dir + "/traffic.txt");
  const std::string firstLine = [&] {
    std::string l;
    std::getline(saved, l);
    return l;
  }();
  EXPECT_NE(firstLine.find("-> [M|S "), std::string::npos) << firstLine;

  // The line check, behind its progress window, finds the moved device.
  w.Form->UpdateActions();
  ASSERT_TRUE(w.Form->LineCheckAction->isEnabled());
  w.Form->LineCheckAction->trigger();
  ASSERT_TRUE(w.WaitIdle());
  TLineCheckForm* form = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return (form = w.Form->findChild<TLineCheckForm*>()) != nullptr; }, 5000));
  EXPECT_TRUE(w.Dialogs.size() >= 1 && w.Dialogs.back().Name == QStringLiteral("TProgressForm"));
  QTableWidget* table = form->Table();
  ASSERT_EQ(table->rowCount(), 2);
  EXPECT_EQ(table->item(0, 3)->text(), QStringLiteral("исправен"));
  EXPECT_EQ(table->item(1, 3)->text(), QStringLiteral("другая скорость"));
  EXPECT_TRUE(table->item(1, 5)->text().startsWith(QStringLiteral("отвечает на 19200, Ларгис-1")));
  EXPECT_EQ(w.Form->ComPort().BaudRate(), br9600);
  form->close();

  // The bundle has it all.
  QString error;
  const std::string path = dir + "/support.tar.gz";
  ASSERT_TRUE(w.Form->SaveSupportBundle(QString::fromStdString(path), error))
      << error.toStdString();
  bool check = false, frames = false;
  for (const TBundleFile& f : ReadSupportBundle(path)) {
    if (f.Name == "line-check.txt") check = f.Contents.find("другая скорость") != std::string::npos;
    if (f.Name == "frames.txt")
      frames = f.Contents.find("Чтение идентификации") != std::string::npos;
  }
  EXPECT_TRUE(check && frames);
  EXPECT_FALSE(
      w.Form->SaveSupportBundle(QString::fromStdString(dir + "/no/such/dir/x.tar.gz"), error));
  EXPECT_FALSE(error.isEmpty());
  std::filesystem::remove_all(dir);
}
