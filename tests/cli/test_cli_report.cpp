// lim07ctl report on the demo line through the real port code: the read
// before the report, the PDF, CSV and JSON; --no-poll, an empty
// configuration, and the failures with their exit statuses.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "../report/GuiTestSupport.h"
#include "CliTestSupport.h"

TEST(CliReport, DemoLineEmptyConfigurationNoPollAndFailures) {
  QTemporaryDir dir;
  const std::string d = dir.path().toStdString() + "/";
  ASSERT_EQ(RunInProcess({"config", "new", d + "empty.l07", "--port", "/dev/null"}).Status, 0);
  // A history database recorded by poll: the report lists its alarms.
  ASSERT_EQ(RunInProcess({"--demo", "poll", "--cycles", "1", "--db", d + "h.db"}).Status, 0);
  struct {
    std::vector<std::string> Args;
    int Status;
    std::vector<std::string> Texts;  // in the PDF
  } const cases[] = {
      {{"--demo", "report", "--out", d + "demo.pdf", "--csv", d + "demo.csv", "--json", "--object",
        "Элеватор"},
       ecOk,
       {"Элеватор", "Силос 1", "Бункер 5", "1205", "2 / 14", "Операция завершена успешно",
        "Профили температуры"}},
      {{"--demo", "report", "--out", d + "cfg.pdf", "--no-poll", "--no-profiles"},
       ecOk,
       {"Силос 1", "не опрашивался"}},
      {{"--config", d + "empty.l07", "report", "--out", d + "empty.pdf"},
       ecOk,
       {"Список приборов пуст"}},
      {{"--demo", "report", "--out", d + "db.pdf", "--no-poll", "--db", d + "h.db"},
       ecOk,
       {"Тревоги", "Активных и недавних тревог нет."}},
      {{"--demo", "report", "--out", d + "x.pdf", "--db", d + "missing.db"}, ecUsage, {}},
      {{"--demo", "report"}, ecUsage, {}},
      {{"--demo", "report", "--out", d + "no/such/dir/r.pdf", "--no-poll"}, ecWrite, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.back());
    const TCliRun run = RunInProcess(c.Args);
    EXPECT_EQ(run.Status, c.Status) << run.Err;
    if (c.Texts.empty()) continue;
    const std::string pdf =
        c.Args[std::find(c.Args.begin(), c.Args.end(), "--out") - c.Args.begin() + 1];
    EXPECT_GE(PdfPages(pdf), 1);
    const std::string text = PdfText(pdf);
    for (const std::string& t : c.Texts) EXPECT_NE(text.find(t), std::string::npos) << t;
  }
  // The data of the first case: every demo device read, values as numbers.
  const TCliRun json = RunInProcess({"--demo", "--addresses", "1,2", "report", "--out",
                                     d + "two.pdf", "--json", "--no-profiles"});
  ASSERT_EQ(json.Status, ecOk) << json.Err;
  const QJsonArray devices = QJsonDocument::fromJson(QByteArray::fromStdString(json.Out))
                                 .object()[QStringLiteral("devices")]
                                 .toArray();
  ASSERT_EQ(devices.size(), 2);
  EXPECT_TRUE(devices[0].toObject()[QStringLiteral("ok")].toBool());
  EXPECT_EQ(devices[1].toObject()[QStringLiteral("temperatures")].toArray().size(), 12);
  EXPECT_TRUE(devices[1].toObject()[QStringLiteral("temperatures")].toArray()[0].isDouble());
  const std::string csv = ::Run("cat '" + d + "demo.csv'");
  EXPECT_EQ(csv.rfind("name,plant,address,sensors", 0), 0u);
  EXPECT_NE(csv.find("Бункер 5,1205,5,16"), std::string::npos);
}
