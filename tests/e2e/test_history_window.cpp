// The window and the history database on the demo line through the real
// port: polling records, alarms appear in the dock, the overview and the
// status bar and can be acknowledged, the trend view reads a week from the
// database, the export writes CSV; a file that is not a history database is
// refused with one message while polling goes on.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QTest>
#include <fstream>

#include "../ui/test_scan_ui_support.h"
#include "AlarmsDock.h"
#include "AppSettings.h"
#include "DemoStart.h"
#include "HistoryRecorder.h"
#include "OverviewDock.h"
#include "TrendDock.h"
#include "ViewHub.h"
#include "VirtualLine.h"

using namespace scanui;

namespace {

// Answers every box and dialog from before the window exists: the history
// file is opened while the window is made, and its refusal is told then.
void Answer(TUiHooks& hooks, std::vector<TMessageRequest>& messages) {
  hooks.Messages = [&](const TMessageRequest& m) {
    messages.push_back(m);
    return int(mrOk);
  };
  hooks.Dialogs = [&](QDialog& d) {
    if (d.objectName() == QLatin1String("ExportHistoryProgress")) return d.exec();
    return int(mrOk);
  };
}

std::unique_ptr<TVirtualLine> StartForm(TMainForm& form) {
  auto line = StartDemo(form);
  form.show();
  return line;
}

}  // namespace

TEST(HistoryWindow, AlarmsAppearAreAcknowledgedAndTheHistoryIsDrawnAndExported) {
  EnsureApplication();
  TAppSettings::SetHistoryEnabled(true);
  TAppSettings::SetHistoryFile(QString());
  TAppSettings::SetHistoryIntervalSeconds(0);
  const std::string path = DefaultHistoryPath();
  ASSERT_FALSE(path.empty());
  {
    ASSERT_TRUE(EnsureParentFolder(path));
    THistoryStore store(path);
    TAlarmLimits limits;
    limits.Line.Upper = 15;  // the demo cables run up to about 17 degC
    store.SaveLimits(limits);
  }
  TUiHooks hooks;
  std::vector<TMessageRequest> messages;
  std::unique_ptr<TVirtualLine> line;
  {
    Answer(hooks, messages);
    TMainForm form;
    line = StartForm(form);
    ASSERT_TRUE(form.FHistory);
    EXPECT_TRUE(form.StatusPanel1->text().isEmpty());
    auto* alarms = form.findChild<TAlarmsDock*>(QStringLiteral("AlarmsDock"));
    auto* overview = form.findChild<TOverviewDock*>(QStringLiteral("OverviewDock"));
    auto* trends = form.findChild<TTrendDock*>(QStringLiteral("TrendDock"));
    ASSERT_TRUE(alarms && overview && trends);
    alarms->show();
    overview->show();
    trends->show();
    form.RunAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form.FHistory->Status().RecordedCycles >= 2 && !form.StatusPanel1->text().isEmpty(); },
        20000));
    const int unacknowledged = form.StatusPanel1->text().toInt();
    EXPECT_GT(unacknowledged, 0);
    alarms->FlushRefresh();
    EXPECT_EQ(alarms->Model()->rowCount(), unacknowledged);
    EXPECT_FALSE(form.FViewHub->Alarms().empty());
    overview->FlushRefresh();
    EXPECT_EQ(overview->View()->Painter().Alarms(), form.FViewHub->Alarms());

    alarms->AcknowledgeAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StatusPanel1->text().isEmpty(); }, 10000));

    // A week from the database.
    trends->SetSpanMinutes(10080);
    EXPECT_EQ(trends->SpanMinutes(), 10080);
    form.SelectDevice(0);
    trends->FlushRefresh();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          const auto counts = trends->PointCounts();
          return counts.size() > 1 && counts[1] >= 1;
        },
        10000));

    form.StopAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.FThread.isNull(); }, 10000));
    const QString csv = QString::fromStdString(path + ".csv");
    QString error;
    ASSERT_TRUE(form.ExportHistory(0, UtcNowMs() + 1000, 1201, csv, error)) << error.toStdString();
    std::ifstream in(csv.toStdString());
    std::string header, row;
    std::getline(in, header);
    std::getline(in, row);
    EXPECT_EQ(header.rfind("time_utc,time_ms,plant", 0), 0u);
    EXPECT_NE(row.find(",1201,"), std::string::npos);
    EXPECT_TRUE(messages.empty());
    form.FModified = false;
  }
  line.reset();
  // The acknowledgement is in the file, with who did it.
  THistoryStore store(path, true);
  const auto kept = store.Alarms();
  ASSERT_FALSE(kept.empty());
  for (const TAlarm& a : kept) EXPECT_TRUE(a.Acknowledged());
}

TEST(HistoryWindow, AFileThatIsNotADatabaseIsRefusedOnceAndPollingGoesOn) {
  EnsureApplication();
  const std::string notes = DefaultHistoryPath() + ".txt";
  ASSERT_TRUE(EnsureParentFolder(notes));
  std::ofstream(notes) << "Заметки\n";
  TAppSettings::SetHistoryEnabled(true);
  TAppSettings::SetHistoryFile(QString::fromStdString(notes));
  TUiHooks hooks;
  std::vector<TMessageRequest> messages;
  std::unique_ptr<TVirtualLine> line;
  {
    Answer(hooks, messages);
    TMainForm form;
    line = StartForm(form);
    form.RunAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.FPollCycles >= 3 && !messages.empty(); }, 20000));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].Text.contains(QString::fromUtf8("не может быть базой истории")));
    EXPECT_TRUE(form.HistoryNotice->isVisible());
    EXPECT_TRUE(form.StatusPanel1->text().isEmpty());
    form.StopAction->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.FThread.isNull(); }, 10000));
    form.FModified = false;
  }
  line.reset();
  std::ifstream in(notes);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "Заметки");
  TAppSettings::SetHistoryFile(QString());
}
