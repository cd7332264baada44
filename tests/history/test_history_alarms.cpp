// Alarms: crossing the upper limit, the hysteresis, the rise over a sliding
// window, limits per device; the recorder keeps them and their
// acknowledgement in the database.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "HistoryRecorder.h"
#include "HistoryTestSupport.h"

namespace {

constexpr std::int64_t kHour = 3'600'000;

TLineSnapshot OneSensor(std::uint16_t plant, double degrees, std::int64_t t) {
  TDeviceReading r = HealthyReading(plant, 1, degrees);
  return *Cycle(t, 2, {r});
}

}  // namespace

TEST(Alarms, UpperLimitRaisesOnceAndEndsBelowTheHysteresis) {
  TAlarmEngine engine;
  TAlarmLimits limits;
  limits.Line.Upper = 30;
  limits.Hysteresis = 1.5;
  engine.SetLimits(limits);
  // value -> expected change: +1 raised, -1 ended, 0 nothing
  const std::pair<double, int> steps[] = {{29, 0},   {30, 0},    {30.0625, 1}, {35, 0},
                                          {29, 0},   {28.5, -1}, {28, 0},      {31, 1}};
  std::int64_t t = 1'000'000;
  for (const auto& [value, expected] : steps) {
    const auto changes = engine.Evaluate(OneSensor(5, value, t += 1000));
    ASSERT_EQ(changes.size(), expected == 0 ? 0u : 1u) << value;
    if (expected == 0) continue;
    EXPECT_EQ(changes[0].Raised, expected > 0) << value;
    EXPECT_EQ(changes[0].Alarm.Sensor, 1);
    EXPECT_EQ(changes[0].Alarm.Kind, TAlarmKind::Upper);
    if (expected > 0) {
      EXPECT_DOUBLE_EQ(changes[0].Alarm.Value, value);
    }
  }
  // A failed read or a fault mark changes nothing.
  TDeviceReading failed = HealthyReading(5, 1, 10);
  SetPollOutcomes(failed, 0, {{"a", "ok", true}, {"b", "Таймаут", false}});
  EXPECT_TRUE(engine.Evaluate(*Cycle(t += 1000, 2, {failed})).empty());
  TDeviceReading fault = HealthyReading(5, 1, 10);
  fault.Temperatures[0] = kFaultTemperatureA;
  EXPECT_TRUE(engine.Evaluate(*Cycle(t += 1000, 2, {fault})).empty());
  EXPECT_EQ(engine.Active().size(), 1u);
}

TEST(Alarms, DeviceOverridesAndLimitsOffUntilSet) {
  TAlarmLimits limits;
  EXPECT_FALSE(limits.Any());
  limits.Line.Upper = 30;
  limits.Devices[7].Upper = 40;
  limits.Devices[8].RisePerDay = 2;
  EXPECT_EQ(limits.For(7).Upper, 40);
  EXPECT_EQ(limits.For(8).Upper, 30);
  EXPECT_EQ(limits.For(8).RisePerDay, 2);
  EXPECT_FALSE(limits.For(9).RisePerDay);
  TAlarmEngine engine;
  engine.SetLimits(limits);
  auto snapshot = *Cycle(1000, 2, {HealthyReading(7, 1, 35), HealthyReading(9, 1, 35)});
  const auto changes = engine.Evaluate(snapshot);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].Alarm.PlantNumber, 9);
  // Taking the limit off ends the alarm.
  limits.Line.Upper.reset();
  engine.SetLimits(limits);
  snapshot.TimeMs = 2000;
  const auto ended = engine.Evaluate(snapshot);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_FALSE(ended[0].Raised);
}

TEST(Alarms, RiseIsTheSlopeOverTheSlidingWindow) {
  TAlarmEngine engine;
  TAlarmLimits limits;
  limits.Line.RisePerDay = 2;
  limits.Hysteresis = 0.5;
  limits.RiseWindowHours = 12;
  engine.SetLimits(limits);
  std::int64_t t = 0;
  int raised = 0, ended = 0;
  // 1 degC a day for a day, then 3 a day for a day, then flat for a day;
  // a reading every 5 minutes with a little noise.
  double v = 15;
  for (int phase = 0; phase < 3; ++phase) {
    const double perDay = phase == 0 ? 1 : phase == 1 ? 3 : 0;
    for (int i = 0; i < 288; ++i) {
      t += 5 * 60'000;
      v += perDay / 288;
      const double noisy = v + ((i % 7) - 3) * 0.0625;
      for (const TAlarmChange& c : engine.Evaluate(OneSensor(3, noisy, t))) {
        EXPECT_EQ(c.Alarm.Kind, TAlarmKind::Rise);
        if (c.Raised) {
          ++raised;
          EXPECT_EQ(phase, 1);
          EXPECT_GT(c.Alarm.Value, 2);
        } else {
          ++ended;
          EXPECT_EQ(phase, 2);
        }
      }
    }
    const auto slope = engine.RisePerDay(3, 1);
    ASSERT_TRUE(slope);
    EXPECT_NEAR(*slope, perDay, 0.3) << phase;
  }
  EXPECT_EQ(raised, 1);
  EXPECT_EQ(ended, 1);
  // Less than half a window of readings: no slope yet.
  TAlarmEngine fresh;
  fresh.SetLimits(limits);
  for (int i = 0; i < 10; ++i) fresh.Evaluate(OneSensor(3, 15 + i, i * kHour / 2));
  EXPECT_FALSE(fresh.RisePerDay(3, 1));
}

TEST(HistoryRecorder, KeepsAlarmsAndTheirAcknowledgementAcrossRestarts) {
  TTempFolder dir;
  THistoryOptions options;
  options.Path = dir.File("h.db");
  options.IntervalMs = 60'000;
  std::int64_t t = UtcNowMs() - kHour;
  std::int64_t alarmId = 0;
  {
    THistoryRecorder recorder(options);
    TAlarmLimits limits;
    limits.Line.Upper = 25;
    recorder.SetLimits(limits);
    std::uint64_t cycle = 1;
    for (double v : {20.0, 24.0, 26.0, 27.0, 26.5, 20.0, 21.0}) {
      recorder.Submit(Cycle(t += 10'000, cycle++, {HealthyReading(4, 2, v)}));
    }
    recorder.Flush();
    const THistoryStatus s = recorder.Status();
    EXPECT_EQ(s.State, THistoryState::Recording);
    // Every 10 s with a 60 s interval: the first, the two alarm changes.
    EXPECT_EQ(s.RecordedCycles, 3u);
    ASSERT_EQ(s.Alarms->size(), 2u);  // sensors 1 and 2, both ended again
    EXPECT_EQ(s.Unacknowledged, 2);
    EXPECT_FALSE((*s.Alarms)[0].Active());
    alarmId = (*s.Alarms)[0].Id;
    recorder.Acknowledge({alarmId}, "Иванов");
    recorder.Flush();
    EXPECT_EQ(recorder.Status().Unacknowledged, 1);
  }
  THistoryRecorder again(options);
  again.Flush();
  const THistoryStatus s = again.Status();
  EXPECT_EQ(again.Limits().Line.Upper, 25);
  EXPECT_EQ(s.Unacknowledged, 1);
  bool found = false;
  for (const TAlarm& a : *s.Alarms) {
    if (a.Id != alarmId) continue;
    found = true;
    EXPECT_EQ(a.AckBy, "Иванов");
    EXPECT_GT(a.AckMs, 0);
    EXPECT_EQ(a.DeviceName, "Силос 4");
  }
  EXPECT_TRUE(found);
}

// Limits set meanwhile by another program (lim07ctl history limits while a
// gateway polls) are taken at the next cycle and told to the listener.
TEST(HistoryRecorder, TakesLimitsSavedElsewhereAtTheNextCycle) {
  TTempFolder dir;
  THistoryOptions options;
  options.Path = dir.File("h.db");
  std::atomic<int> raised{0};
  options.AlarmListener = [&](const std::vector<TAlarmChange>& changes) {
    for (const auto& c : changes) raised += c.Raised;
  };
  THistoryRecorder recorder(options);
  const std::int64_t t = UtcNowMs() - kHour;
  recorder.Submit(Cycle(t, 1, {HealthyReading(4, 2, 30)}));
  recorder.Flush();
  EXPECT_EQ(raised, 0);
  {
    THistoryStore other(options.Path);
    TAlarmLimits limits = other.LoadLimits();
    limits.Line.Upper = 25;
    other.SaveLimits(limits);
  }
  recorder.Submit(Cycle(t + 10'000, 2, {HealthyReading(4, 2, 30)}));
  recorder.Flush();
  EXPECT_EQ(raised, 2);
  EXPECT_EQ(recorder.Limits().Line.Upper, 25);
}

TEST(HistoryRecorder, RecordsAtTheIntervalAndCountsTheLineStatistics) {
  TTempFolder dir;
  THistoryOptions options;
  options.Path = dir.File("h.db");
  options.IntervalMs = 30'000;
  THistoryRecorder recorder(options);
  const std::int64_t t0 = UtcNowMs() - kHour;
  for (int i = 0; i < 12; ++i) {
    recorder.RecordExchange(9, 3, i % 4 != 0, i % 4 != 0 ? 20'000 : -1);
    // Cycle 1 of a second run at i = 6.
    recorder.Submit(Cycle(t0 + i * 10'000, i < 6 ? i + 1 : i - 5, {HealthyReading(9, 4, 20)}));
    recorder.Flush();
  }
  recorder.Submit(Cycle(t0 + 200'000, 0, {HealthyReading(9, 4, 20)}));  // a single read
  recorder.Flush();
  // i = 0, 3, 6 (a new run), 9.
  EXPECT_EQ(recorder.Status().RecordedCycles, 4u);
  THistoryStore store(options.Path, true);
  const auto readings = store.Readings(9, 0, t0 + kHour);
  ASSERT_EQ(readings.size(), 4u);
  EXPECT_TRUE(readings[2].FirstOfRun);
  EXPECT_EQ(store.Db().QueryInt("SELECT sum(requests) FROM line_stats WHERE plant=9"), 10);
  EXPECT_EQ(store.Db().QueryInt("SELECT sum(successes) FROM line_stats WHERE plant=9"), 7);
}

TEST(HistoryRecorder, RefusesAForeignFileAndNeverWritesIt) {
  TTempFolder dir;
  THistoryOptions options;
  options.Path = dir.File("notes.db");
  {
    std::ofstream f(options.Path);
    f << "не база";
  }
  THistoryRecorder recorder(options);
  recorder.Submit(Cycle(UtcNowMs(), 1, {HealthyReading(1, 4, 20)}));
  recorder.Flush();
  const THistoryStatus s = recorder.Status();
  EXPECT_EQ(s.State, THistoryState::Refused);
  EXPECT_NE(s.Message.find("не база данных"), std::string::npos);
  EXPECT_EQ(s.LostCycles, 1u);
  std::ifstream in(options.Path);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "не база");
}
