// The report as poppler's tools read it: an empty list, a small line with
// every kind of reading, and 247 devices over several pages; the page flow
// on its own; the CSV and JSON of the same data; a stop and a failed write.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <sstream>

#include "GuiTestSupport.h"
#include "ReportExport.h"
#include "ReportPages.h"
#include "ReportWriter.h"

namespace {

std::string U8(const QString& s) {
  return s.toStdString();
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> Pages(const std::string& text) {
  std::vector<std::string> pages;
  std::stringstream in(text);
  std::string page;
  while (std::getline(in, page, '\f'))
    if (!page.empty()) pages.push_back(page);
  return pages;
}

// A report of `n` devices, made up: device i is "Силос i", plant 1200 + i,
// address i % 254 + 1, 32 sensors; device 2 has a fault and no-data word,
// device 3 did not answer.
TReportData Line(int n) {
  TReportData data;
  data.Head = {QString::fromUtf8("Элеватор «Северный»"), QString::fromUtf8("Иванов И. И."),
               QStringLiteral("08.12.2026"), QString::fromUtf8("Линия 1")};
  data.PortText = QString::fromUtf8("/dev/ttyUSB0, 9600 бит/с");
  data.ProtocolText = ProtocolName(0);
  data.CreatedMs = 1'700'000'000'000;
  auto snapshot = std::make_shared<TLineSnapshot>();
  snapshot->TimeMs = data.CreatedMs;
  std::vector<int> plants;
  for (int i = 1; i <= n; ++i) {
    TReportDevice d;
    d.Name = "Силос " + std::to_string(i);
    d.PlantNumber = static_cast<std::uint16_t>(1200 + i + (i > 4 ? 3 : 0));
    d.SystemAddress = static_cast<std::uint8_t>(i % 254 + 1);
    d.SensorCount = 32;
    d.UnmeasurableLevel = 5;
    std::vector<std::uint16_t> words(32);
    for (int s = 0; s < 32; ++s)
      words[static_cast<std::size_t>(s)] = static_cast<std::uint16_t>(0x0100 + s * 8 + i);
    if (i == 2) words[0] = 0x0191, words[1] = 0xFF60, words[2] = 0xAAAA, words[3] = 0xDDDD;
    TDeviceReading r = MadeReading(d.Name.c_str(), d.PlantNumber, d.SystemAddress, words, i != 3);
    SetPollOutcomes(r, 0, r.Outcomes);
    snapshot->Devices.push_back(r);
    plants.push_back(d.PlantNumber);
    data.Devices.push_back(d);
  }
  data.Readings = snapshot;
  data.MissingNumbers = n > 0 ? "Младший: 1201, Старший: " + std::to_string(plants.back()) +
                                    ".\r\n" + GetLostMumberReport(plants)
                              : "";
  return data;
}

}  // namespace

TEST(Report, PdfOfAnEmptyListASmallLineAnd247DevicesReadsBackInCyrillic) {
  GuiApp();
  QTemporaryDir dir;
  struct {
    int Devices;
    int MinPages, MaxPages;
    std::vector<std::string> Texts;
  } const cases[] = {
      {0,
       1,
       1,
       {"Отчёт о пусконаладке", "Элеватор «Северный»", "Список приборов пуст", "Страница 1 из 1"}},
      {5,
       2,
       3,
       {"Силос 2", "1202", "25.06", "-10.00", "****", "Нет связи с прибором", "Профили температуры",
        "Младший: 1201, Старший: 1208.", "1205-1207", "Страница 2 из"}},
      {247,
       10,
       40,
       {"Силос 1 ", "Силос 124 ", "Силос 247 ", "1450", "Обзор линии", "адрес 2: Силос 1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Devices);
    TReportData data = Line(c.Devices);
    if (c.Devices == 247) data.Devices[254 % 247].SystemAddress = 2;  // one duplicate
    const QString file = dir.filePath(QStringLiteral("r%1.pdf").arg(c.Devices));
    QString error;
    int calls = 0;
    ASSERT_TRUE(WriteReportPdf(data, file, error, [&](int, int) { return ++calls > 0; }))
        << U8(error);
    std::string size;
    const int pages = PdfPages(U8(file), &size);
    EXPECT_GE(pages, c.MinPages);
    EXPECT_LE(pages, c.MaxPages);
    EXPECT_EQ(calls, pages);
    EXPECT_NE(size.find("595 x 842 pts (A4)"), std::string::npos) << size;
    const std::string text = PdfText(U8(file));
    for (const std::string& t : c.Texts) EXPECT_NE(text.find(t), std::string::npos) << t;
    if (c.Devices != 247) continue;
    // Every device in both tables; the tables span pages, each page of a
    // table under its header, no row cut (a device's name and result on one
    // line).
    for (int i = 1; i <= 247; ++i) {
      // Both tables, the duplicate-address line, and one profile.
      EXPECT_EQ(Count(text, "Силос " + std::to_string(i) + " "), 2 + (i == 1 || i == 8)) << i;
      EXPECT_EQ(Count(text, "Силос " + std::to_string(i) + ", зав. №"), 1) << i;
    }
    int headed = 0;
    for (const std::string& page : Pages(text))
      headed += page.find("Сист.") != std::string::npos || page.find("Датч.") != std::string::npos;
    EXPECT_GE(headed, 4);
    std::stringstream lines(text);
    int rows = 0;
    for (std::string line; std::getline(lines, line);)
      rows += line.find("Силос ") != std::string::npos &&
              (line.find("Операция завершена успешно") != std::string::npos ||
               line.find("Нет связи с прибором") != std::string::npos);
    EXPECT_EQ(rows, 247);
  }
}

TEST(Report, PagesRepeatTheHeaderKeepChainsTogetherAndNeverCrossTheBottom) {
  GuiApp();
  TReportPages pages(QSizeF(500, 100), QStringLiteral("head"), QFont());
  std::vector<std::pair<int, QRectF>> painted;  // item number, rectangle
  const auto item = [&](int n) {
    return [&painted, n](QPainter&, const QRectF& r) { painted.push_back({n, r}); };
  };
  pages.Add(30, item(0));
  pages.Add(20, item(1), 0, true);  // a heading kept with the table
  const int table = pages.AddTableHeader(10, item(2));
  for (int row = 0; row < 12; ++row) pages.Add(15, item(10 + row), 0, row % 2 == 0, table);
  ASSERT_EQ(pages.Paginate(), 3);
  QImage image(600, 300, QImage::Format_RGB32);
  QPainter p(&image);
  std::vector<std::vector<int>> onPage;
  for (int i = 0; i < pages.PageCount(); ++i) {
    painted.clear();
    pages.PaintPage(p, i, QSizeF(600, 300), QMarginsF(50, 50, 50, 150));
    std::vector<int> items;
    for (const auto& [n, r] : painted) {
      items.push_back(n);
      EXPECT_LE(r.bottom(), 150.0 + 1e-9) << n;
    }
    onPage.push_back(items);
  }
  // Page 1: the text, the heading, the header and rows 0-1 (a pair); later
  // pages start with the header again, and pairs never part.
  EXPECT_EQ(onPage[0], (std::vector<int>{0, 1, 2, 10, 11}));
  EXPECT_EQ(onPage[1], (std::vector<int>{2, 12, 13, 14, 15, 16, 17}));
  for (std::size_t i = 1; i < onPage.size(); ++i) {
    EXPECT_EQ(onPage[i].front(), 2);
    EXPECT_EQ((onPage[i][1] - 10) % 2, 0);
  }
}

TEST(Report, CsvAndJsonHoldTheSameValuesAndLeaveOutWhatWasNotRead) {
  GuiApp();
  TReportData data = Line(3);
  data.Devices[0].Firmware = "2 / 14";
  data.Devices[1].Name = "Бункер, \"южный\"";
  data.HistoryInUse = true;
  data.Alarms.push_back({1'700'000'000'000, 0, 1202, "Бункер", 1, "Перегрев 31.00 °C"});
  const QString csv = QString::fromUtf8(ReportCsv(data));
  const QStringList lines = csv.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 4);
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("name,plant,address")));
  EXPECT_TRUE(lines[0].endsWith(QStringLiteral(",t32")));
  EXPECT_TRUE(lines[1].contains(QStringLiteral(",2 / 14,")));
  EXPECT_TRUE(lines[2].startsWith(QString::fromUtf8("\"Бункер, \"\"южный\"\"\",1202,")));
  EXPECT_TRUE(lines[2].contains(QStringLiteral(",87,25.06,-10.00,****,,")));
  EXPECT_TRUE(lines[3].contains(QString::fromUtf8("Нет связи с прибором,,,,")));

  const QJsonObject root = QJsonDocument::fromJson(ReportJson(data)).object();
  const QJsonArray devices = root[QStringLiteral("devices")].toArray();
  ASSERT_EQ(devices.size(), 3);
  const QJsonArray t = devices[1].toObject()[QStringLiteral("temperatures")].toArray();
  ASSERT_EQ(t.size(), 32);
  EXPECT_DOUBLE_EQ(t[0].toDouble(), 25.0625 - 0.0025);  // two decimals: 25.06
  EXPECT_EQ(t[2].toString(), QStringLiteral("****"));
  EXPECT_TRUE(t[3].isNull());
  EXPECT_TRUE(devices[2].toObject()[QStringLiteral("level_dm")].isNull());
  EXPECT_FALSE(devices[2].toObject()[QStringLiteral("ok")].toBool());
  EXPECT_TRUE(devices[1].toObject()[QStringLiteral("firmware")].isNull());
  EXPECT_EQ(root[QStringLiteral("head")].toObject()[QStringLiteral("object")].toString(),
            data.Head.Object);
  EXPECT_EQ(root[QStringLiteral("alarms")].toArray().size(), 1);
}

TEST(Report, AStopOrAnUnwritableFileLeavesNoFileAndAlarmsAreListed) {
  GuiApp();
  QTemporaryDir dir;
  TReportData data = Line(40);
  data.HistoryInUse = true;
  data.Alarms.push_back({1'700'000'000'000, 0, 1202, "Силос 2", 5, "Перегрев: 31.00 °C"});
  data.Alarms.push_back({1'700'000'000'000, 1'700'000'600'000, 1201, "Силос 1", 0, "Нет связи"});
  data.Devices[6].PlantNumber = 1201;  // shares Силос 1's plant number
  data.MissingNumbers = "Ошибка! Процедура GetLostMumberReport. Список не отсортирован.";
  QString error;
  const QString stopped = dir.filePath(QStringLiteral("stopped.pdf"));
  EXPECT_FALSE(WriteReportPdf(data, stopped, error, [](int done, int) { return done < 2; }));
  EXPECT_TRUE(error.isEmpty());
  EXPECT_FALSE(QFile::exists(stopped));
  EXPECT_FALSE(WriteReportPdf(data, dir.filePath(QStringLiteral("no/such/dir/r.pdf")), error));
  EXPECT_FALSE(error.isEmpty());
  const QString file = dir.filePath(QStringLiteral("alarms.pdf"));
  ASSERT_TRUE(WriteReportPdf(data, file, error));
  const std::string text = PdfText(U8(file));
  for (const char* t :
       {"Тревоги", "Перегрев: 31.00 °C", "активна", "Нет связи", "Силос 2 (зав. № 1202)",
        "Повторяющиеся заводские номера:", "1201: Силос 1 (адрес 2), Силос 7 (адрес 8)"})
    EXPECT_NE(text.find(t), std::string::npos) << t;
}
