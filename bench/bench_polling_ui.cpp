// The window's side of polling, offscreen:
//  1. one data-table refresh at the largest line (247 devices x 32 sensors),
//     as a fraction of a 16 ms frame: the cell update alone (every cell
//     changed, and nothing changed) and the one repaint that follows;
//  2. the longest stall of the user-interface event loop while the window
//     polls 100 devices on the virtual line (unpaced, cycles back to back).
// Prints its tables and exits 0.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "MainForm.h"
#include "RequestThread.h"
#include "UiHooks.h"
#include "VirtualLine.h"

namespace {

constexpr double kFrameMs = 16.0;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

TDevice* Record(int index, int sensors) {
  auto* d = new TDevice;
  d->SetName("ЛИМ-07_" + std::to_string(1000 + index));
  d->SetSystemAddress(static_cast<std::uint8_t>(index % 247 + 1));
  d->SetPlantNumber(static_cast<std::uint16_t>(1000 + index));
  d->SetSensorCount(sensors);
  return d;
}

// Gives every device new readings so that every cell changes.
void NewReadings(TDeviceList& list, int round) {
  for (int i = 0; i < list.Count(); ++i) {
    TDevice* d = list[i];
    d->LevelCode = static_cast<std::uint16_t>(1000 + round + i);
    d->Level = static_cast<std::uint16_t>(round % 200 + i);
    d->LevelState = static_cast<std::uint16_t>(round & 0x32);
    std::uint16_t* t = d->LockTemperatures();
    for (int s = 0; s < d->SensorCount(); ++s)
      t[s] = static_cast<std::uint16_t>(0x0100 + ((round * 7 + i + s) % 400) - 200);
    d->UnlockTemperatures();
  }
}

// Reference: the straightforward refresh, every cell written through the
// grid with its own change notice and every temperature formatted afresh.
void PlainRefresh(TMainForm& form) {
  TStringGrid* g = form.sgData;
  g->BeginUpdate();
  const int sensors = g->ColCount() - 4;
  for (int i = 0; i < form.DeviceCount(); ++i) {
    const TDevice& d = *form.FDevices[i];
    const bool failed = (d.LevelState & kStateFailed) != 0;
    g->SetCells(1, i + 1, failed ? QString() : QString::number(d.LevelCode));
    g->SetCells(2, i + 1, failed ? QString() : QString::number(d.Level));
    g->SetCells(3, i + 1, TMainForm::StateText(d.LevelState, d.TemperatureState));
    const auto words = d.TemperaturesSnapshot();
    for (int s = 0; s < sensors; ++s)
      g->SetCells(
          4 + s, i + 1,
          s < static_cast<int>(words.size()) ? TMainForm::TemperatureText(words[s]) : QString());
  }
  g->EndUpdate();
}

void RefreshCost() {
  auto form = std::make_unique<TMainForm>();
  for (int i = 0; i < 247; ++i) form->AddDevice(Record(i, 32));
  form->BuildDataGrid();
  form->gbDevices->hide();
  form->gbState->hide();
  form->gbData->show();
  form->show();
  QApplication::processEvents();

  std::vector<double> changed, same, paint, plain;
  std::vector<int> paints;
  QElapsedTimer t;
  for (int round = 0; round < 21; ++round) {
    NewReadings(form->FDevices, round);
    t.start();
    form->UpdateDataGrid();
    changed.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    t.start();
    form->UpdateDataGrid();
    same.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    NewReadings(form->FDevices, round + 100);
    t.start();
    PlainRefresh(*form);
    plain.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    QApplication::processEvents();
    NewReadings(form->FDevices, round + 200);
    form->UpdateDataGrid();
    const int before = form->sgData->PaintCount();
    t.start();
    QApplication::processEvents();  // the one repaint the refresh asked for
    paint.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    paints.push_back(form->sgData->PaintCount() - before);
  }
  const double c = Median(changed), s = Median(same), p = Median(paint);
  std::printf("Data-table refresh, 247 devices x 32 sensors (%d cells), median of 21\n", 247 * 35);
  std::printf("%-40s %10s %14s\n", "step", "ms", "of a 16 ms frame");
  std::printf("%-40s %10.3f %14.3f\n", "cells, every one changed", c, c / kFrameMs);
  std::printf("%-40s %10.3f %14.3f\n", "cells, none changed", s, s / kFrameMs);
  std::printf("%-40s %10.3f %14.3f\n", "repaint of the visible table", p, p / kFrameMs);
  std::printf("%-40s %10.3f %14.3f\n", "refresh with its repaint", c + p, (c + p) / kFrameMs);
  const double r = Median(plain);
  std::printf("%-40s %10.3f %14.3f\n", "reference: plain per-cell writes", r, r / kFrameMs);
  std::printf("cells, every one changed, against the reference: %.3f\n", r > 0 ? c / r : 0.0);
  std::printf("repaints per refresh: median %d, max %d\n\n",
              static_cast<int>(Median(std::vector<double>(paints.begin(), paints.end()))),
              *std::max_element(paints.begin(), paints.end()));
  form->FModified = false;
}

void EventLoopStall(int devices, int seconds) {
  TVirtualLine line;
  auto form = std::make_unique<TMainForm>();
  for (int i = 0; i < devices; ++i) {
    TSimDevice d;
    d.Address = static_cast<std::uint8_t>(i + 1);
    d.PlantNumber = static_cast<std::uint16_t>(1000 + i);
    d.Temperatures.assign(32, 0x0191);
    d.Drift = true;
    line.AddDevice(d);
    form->AddDevice(Record(i, 32));
    form->FDevices[i]->SetSystemAddress(d.Address);
  }
  form->show();
  form->ComPort().SetPort(line.SlavePath());
  form->OpenPortActionExecute();
  form->RunActionExecute();
  // The window's minimum period for 100 devices is 20 s; the thread is
  // pushed to back-to-back cycles to see as many refreshes as possible.
  if (auto* t = qobject_cast<TRequestThread*>(form->FThread.data())) t->SetPeriod(100);

  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed(), longest = 0;
  std::vector<double> gaps;
  QTimer tick;
  tick.setInterval(1);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    gaps.push_back(static_cast<double>(now - last) / 1e6);
    last = now;
  });
  tick.start();
  std::uint64_t cycles0 = 0;
  if (auto* t = qobject_cast<TRequestThread*>(form->FThread.data())) cycles0 = t->Cycles();
  while (clock.elapsed() < seconds * 1000)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  tick.stop();
  std::uint64_t cycles = 0;
  if (auto* t = qobject_cast<TRequestThread*>(form->FThread.data())) cycles = t->Cycles() - cycles0;
  form->StopActionExecute();
  while (form->FThread) QApplication::processEvents(QEventLoop::AllEvents, 50);

  std::printf("Event loop while polling %d devices x 32 sensors for %d s (%llu refreshes)\n",
              devices, seconds, static_cast<unsigned long long>(cycles));
  std::printf("%-40s %10s %14s\n", "1 ms timer gap", "ms", "of a 16 ms frame");
  std::printf("%-40s %10.3f %14.3f\n", "median", Median(gaps), Median(gaps) / kFrameMs);
  const double worst = static_cast<double>(longest) / 1e6;
  std::printf("%-40s %10.3f %14.3f\n", "longest", worst, worst / kFrameMs);
  form->FModified = false;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TUiHooks hooks;  // the start-up question is answered "native"
  hooks.Dialogs = [](QDialog&) { return int(QDialog::Accepted); };
  hooks.Messages = [](const TMessageRequest&) { return int(mrNo); };
  RefreshCost();
  if (argc < 2) EventLoopStall(100, 12);
  return 0;
}
