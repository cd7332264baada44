// The three views on their own: the profile's points and where they are
// drawn, the overview's colours at and around each threshold and for failed
// devices, the thresholds dialog, and the trend view taking its points from a
// source that answers later from another thread.
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QFile>
#include <QTemporaryDir>
#include <QLabel>
#include <QMainWindow>
#include <QTest>
#include <cmath>
#include <thread>

#include "OverviewDock.h"
#include "ProfileDock.h"
#include "SessionTrendStore.h"
#include "TrendDock.h"
#include "UiTestSupport.h"

namespace {

TDeviceReading Reading(const char* name, std::uint16_t plant, std::vector<std::uint16_t> words,
                       bool ok = true) {
  TDeviceReading r;
  r.Name = name;
  r.PlantNumber = plant;
  r.SystemAddress = static_cast<std::uint8_t>(plant % 100);
  r.Temperatures = std::move(words);
  r.SensorCount = static_cast<std::uint8_t>(r.Temperatures.size());
  r.Level = 87;
  r.Outcomes = {{"Чтение температурных значений",
                 ok ? "Операция завершена успешно" : "Нет связи с прибором", ok}};
  r.Read = r.LevelConfirmed = r.TemperaturesConfirmed = ok;
  return r;
}

TSnapshotPtr Snapshot(std::vector<TDeviceReading> devices, std::int64_t timeMs = 1'700'000'000'000,
                      std::uint64_t cycle = 1) {
  auto s = std::make_shared<TLineSnapshot>();
  s->TimeMs = timeMs;
  s->Cycle = cycle;
  s->Devices = std::move(devices);
  return s;
}

// A source that answers from a thread of its own, some time later, as a
// database would.
class TLateSource : public ITrendSource {
 public:
  explicit TLateSource(std::shared_ptr<TSessionTrendStore> store) : FStore(std::move(store)) {}
  ~TLateSource() override {
    for (std::thread& t : FThreads) t.join();
  }
  std::uint64_t Query(const TTrendQuery& query, std::function<void(TTrendResult)> done) override {
    TTrendResult result = FStore->Run(query);
    result.Ticket = ++FTicket;
    const auto ticket = result.Ticket;
    FThreads.emplace_back([result = std::move(result), done = std::move(done)]() mutable {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      done(std::move(result));
    });
    return ticket;
  }
  std::uint64_t Generation() const override { return FStore->Generation(); }

 private:
  std::shared_ptr<TSessionTrendStore> FStore;
  std::vector<std::thread> FThreads;
  std::uint64_t FTicket = 0;
};

}  // namespace

TEST(ViewDocks, ProfileShowsNormalNegativeFaultAndNoDataSensorsInTheirPlaces) {
  TestApp();
  TViewHub hub;
  QMainWindow window;
  auto* dock = new TProfileDock(&hub, &window);
  window.addDockWidget(Qt::RightDockWidgetArea, dock);
  window.resize(500, 600);
  window.show();
  hub.Publish(
      Snapshot({Reading("Силос 1", 1201, {0x0191, 0xFF60, 0xAAAA, 0xDDDD, 0x55AA, 0x0010})}));
  hub.SetCurrentIndex(0);
  dock->FlushRefresh();
  const TProfileView* view = dock->View();
  struct {
    TProfilePoint::TKind Kind;
    double Celsius;
  } const expected[] = {{TProfilePoint::Value, 25.0625}, {TProfilePoint::Value, -10.0},
                        {TProfilePoint::Fault, 0},       {TProfilePoint::NoData, 0},
                        {TProfilePoint::Fault, 0},       {TProfilePoint::Value, 1.0}};
  ASSERT_EQ(view->Points().size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(view->Points()[i].Sensor, static_cast<int>(i) + 1);
    EXPECT_EQ(view->Points()[i].Kind, expected[i].Kind);
    if (expected[i].Kind == TProfilePoint::Value) {
      EXPECT_DOUBLE_EQ(view->Points()[i].Celsius, expected[i].Celsius);
    }
  }
  // The axis holds every value; the warmer sensor lies to the right, sensor 1
  // at the top; a fault mark sits at the axis.
  EXPECT_LE(view->AxisMin(), -10.0);
  EXPECT_GE(view->AxisMax(), 25.0625);
  EXPECT_GT(view->PointPosition(1).x(), view->PointPosition(2).x());
  EXPECT_LT(view->PointPosition(1).y(), view->PointPosition(6).y());
  EXPECT_LE(view->PointPosition(3).x(), view->PointPosition(2).x());  // on the axis, no value
  EXPECT_GT(view->PointPosition(3).y(), view->PointPosition(2).y());
  EXPECT_TRUE(view->Title().contains(QStringLiteral("1201")));
  dock->SetSensorOneAtTop(false);
  EXPECT_GT(view->PointPosition(1).y(), view->PointPosition(6).y());
  // The option is remembered by the next dock.
  TProfileDock again(&hub);
  EXPECT_FALSE(again.View()->SensorOneAtTop());
  dock->SetSensorOneAtTop(true);
}

TEST(ViewDocks, OverviewColoursAtAndAroundEachThresholdAndForFailedDevices) {
  TestApp();
  TTemperatureScale scale;
  struct {
    double Celsius;
    int Band;
  } const cases[] = {{-25, 0}, {9.9375, 0},  {10, 1}, {19.9375, 1},
                     {20, 2},  {29.9375, 2}, {30, 3}, {85, 3}};
  for (const auto& c : cases) EXPECT_EQ(scale.Band(c.Celsius), c.Band) << c.Celsius;

  TViewHub hub;
  QMainWindow window;
  auto* dock = new TOverviewDock(&hub, &window);
  window.addDockWidget(Qt::TopDockWidgetArea, dock);
  window.resize(700, 400);
  window.show();
  // 9.9375, 10.0, 30.0 degC, a fault, no data; a failed device; one never read.
  TDeviceReading never = Reading("Бункер 3", 1203, {0x0100});
  never.Outcomes.clear();
  hub.Publish(Snapshot({Reading("Силос 1", 1201, {0x009F, 0x00A0, 0x01E0, 0xAAAA, 0xDDDD}),
                        Reading("Силос 2", 1202, {0xDDDD, 0xDDDD}, false), never}));
  dock->FlushRefresh();
  TLineOverview* view = dock->View();
  const auto& bands = TTemperatureScale::kBandColors;
  EXPECT_EQ(view->CellColor(0, 1), bands[0]);
  EXPECT_EQ(view->CellColor(0, 2), bands[1]);
  EXPECT_EQ(view->CellColor(0, 3), bands[3]);
  EXPECT_EQ(view->CellColor(0, 4), TTemperatureScale::kFaultColor);
  EXPECT_EQ(view->CellColor(0, 5), TTemperatureScale::kNoDataColor);
  EXPECT_EQ(view->CellColor(1, 1), TTemperatureScale::kFailedColor);
  EXPECT_EQ(view->CellColor(2, 1), TTemperatureScale::kNotReadColor);
  EXPECT_TRUE(
      view->ToolTipAt(view->CellCentre(1, 2)).contains(QString::fromUtf8("Нет связи с прибором")));
  EXPECT_TRUE(view->ToolTipAt(view->CellCentre(0, 3)).contains(QString::fromUtf8("Датчик 3: 30")));
  // Clicks on a column ask for that device.
  int asked = -1;
  QObject::connect(&hub, &TViewHub::SelectRequested, [&](int i) { asked = i; });
  QTest::mouseClick(view, Qt::LeftButton, {}, view->CellCentre(2, 1));
  EXPECT_EQ(asked, 2);

  // Thresholds that do not rise are refused with a message; rising ones are
  // taken and recolour the cells.
  TAnswering answers;
  answers.OnDialog = [](QDialog& d) {
    const double values[] = {15, 12, 40};
    for (int i = 0; i < 3; ++i)
      d.findChild<QDoubleSpinBox*>(QStringLiteral("eThreshold%1").arg(i + 1))->setValue(values[i]);
    return int(QDialog::Accepted);
  };
  dock->findChild<QAction*>(QStringLiteral("OverviewThresholdsAction"))->trigger();
  ASSERT_EQ(answers.Messages.size(), 1u);
  EXPECT_TRUE(answers.LastText().contains(QString::fromUtf8("Пороги должны возрастать")));
  EXPECT_EQ(view->CellColor(0, 2), bands[1]);
  ASSERT_TRUE(dock->SetThresholds({5, 9.5, 10}));
  EXPECT_EQ(view->CellColor(0, 1), bands[2]);
  EXPECT_EQ(view->CellColor(0, 2), bands[3]);
  EXPECT_EQ(TTemperatureScale::Load(*dock).Thresholds[1], 9.5);
  ASSERT_TRUE(dock->SetThresholds(TTemperatureScale::kDefaultThresholds));

  // 247 devices stay columns of at least a pixel: the view scrolls instead.
  std::vector<TDeviceReading> many(247, Reading("Х", 1, std::vector<std::uint16_t>(32, 0x0100)));
  hub.Publish(Snapshot(many));
  dock->FlushRefresh();
  EXPECT_GE(view->minimumSizeHint().width(), 247);
  EXPECT_EQ(view->CellColor(246, 32), bands[1]);
}

TEST(ViewDocks, TrendsTakeLateAnswersFromAnotherThreadAndShowTheValuesUnderTheCursor) {
  TestApp();
  auto store = std::make_shared<TSessionTrendStore>();
  const std::int64_t t0 = 1'700'000'000'000;
  for (int i = 0; i < 120; ++i) {
    auto s = Snapshot({Reading("Силос 1", 1201, {static_cast<std::uint16_t>(0x0100 + i), 0x0200})},
                      t0 + i * 10'000, static_cast<std::uint64_t>(i + 1));
    store->Add(*s);
  }
  TViewHub hub;
  QMainWindow window;
  auto* dock = new TTrendDock(&hub, std::make_shared<TLateSource>(store), &window);
  window.addDockWidget(Qt::BottomDockWidgetArea, dock);
  window.resize(900, 500);
  window.show();
  dock->SetSeries({kLevelSeries, 1});
  hub.Publish(Snapshot({Reading("Силос 1", 1201, {0x0100, 0x0200})}, t0 + 119 * 10'000, 120));
  hub.SetCurrentIndex(0);
  dock->FlushRefresh();
  EXPECT_TRUE(dock->PointCounts().empty());  // the answer is not there yet
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dock->PointCounts().empty(); }, 5000));
  EXPECT_TRUE(dock->Following());
  EXPECT_EQ(dock->ToMs() - dock->FromMs(), 3'600'000);  // the last hour by default
  const auto counts = dock->PointCounts();
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_GE(counts[1], 120);  // a gap before the first reading, then every reading
  // Sensor 1 at t0 + 600 s reads 0x0100 + 60 sixteenths.
  EXPECT_TRUE(dock->ValuesAt(t0 + 600'000)
                  .contains(QStringLiteral("1: ") + DegreesText((0x0100 + 60) / 16.0)));
  EXPECT_TRUE(dock->ValuesAt(t0 + 600'000).contains(QString::fromUtf8("H: 87 дм")));
  // Zoomed to the first ten minutes: fewer points, no longer following; the
  // answer to the older question (already taken) is never applied over it.
  dock->ShowRange(t0, t0 + 600'000);
  EXPECT_FALSE(dock->Following());
  dock->FlushRefresh();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return dock->PointCounts().size() == 2 && dock->PointCounts()[1] < 80; }, 5000));
  EXPECT_EQ(dock->FromMs(), t0);
  // "Период…" with the end before the start: said so, the range stays.
  {
    QStringList messages;
    TUiHooks hooks;
    hooks.Messages = [&](const TMessageRequest& m) {
      messages << m.Text;
      return int(mrOk);
    };
    hooks.Dialogs = [&](QDialog& d) {
      d.findChild<QDateTimeEdit*>(QStringLiteral("dtTo"))
          ->setDateTime(QDateTime::fromMSecsSinceEpoch(t0 - 3'600'000));
      return int(QDialog::Accepted);
    };
    dock->ChooseRange();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QString::fromUtf8("Конец периода должен быть позже")));
    EXPECT_EQ(dock->FromMs(), t0);
    EXPECT_EQ(dock->ToMs(), t0 + 600'000);
  }
  // Each view's picture as PNG and as SVG (lines, not an embedded picture).
  QTemporaryDir dir;
  for (TViewDock* view : {static_cast<TViewDock*>(dock), static_cast<TViewDock*>(new TOverviewDock(&hub, &window)),
                          static_cast<TViewDock*>(new TProfileDock(&hub, &window))}) {
    SCOPED_TRACE(view->objectName().toStdString());
    view->FlushRefresh();
    ASSERT_TRUE(view->WriteImage(dir.filePath(view->objectName() + QStringLiteral(".png"))));
    ASSERT_TRUE(view->WriteImage(dir.filePath(view->objectName() + QStringLiteral(".svg"))));
    QFile svg(dir.filePath(view->objectName() + QStringLiteral(".svg")));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    const QByteArray text = svg.readAll();
    EXPECT_TRUE(text.contains("<svg"));
    EXPECT_FALSE(text.contains("<image"));
  }
}
