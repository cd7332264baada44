// "Тренды": the level and the chosen sensors of the device the views show,
// over time: the last hour by default (10 minutes to 24 hours), zoomed and
// panned with the mouse (wheel and drag along the time axis; a double click
// or "Сейчас" returns to following the newest readings), the values under
// the cursor below the plot.
//
// The points come from an ITrendSource (the session's readings in memory, a
// history database later), asked for the visible range with one reduction
// column per pixel, so a day of readings costs the plot what an hour does.
// Answers may come later and from another thread; they are taken on the
// window's thread, and an answer overtaken by a later question is dropped.
#pragma once

#include <QVector>
#include <memory>
#include <vector>

#include "TrendSource.h"
#include "ViewDock.h"
#include "ViewHub.h"

class QComboBox;
class QLabel;
class QMenu;
class QToolButton;
class QCustomPlot;
class QCPItemStraightLine;
class QCPItemText;
class QCPTextElement;

class TTrendDock : public TViewDock {
  Q_OBJECT
 public:
  // The time spans offered, in minutes; the default is the second (1 hour).
  static const std::vector<int> kSpansMinutes;
  // Offered besides when a history database is the source: a week, a month.
  static const std::vector<int> kLongSpansMinutes;

  TTrendDock(TViewHub* hub, std::shared_ptr<ITrendSource> source, QWidget* parent = nullptr);
  ~TTrendDock() override;

  // Another source (the history database with the session's readings);
  // `longRanges` offers a week, a month and a chosen range ("Период…").
  void SetSource(std::shared_ptr<ITrendSource> source, bool longRanges);
  const std::shared_ptr<ITrendSource>& Source() const { return FSource; }
  // Asks for a time range and shows it (the "Период…" item).
  void ChooseRange();

  QCustomPlot* Plot() const { return FPlot; }
  // The series shown (kLevelSeries, sensor numbers), ascending.
  const std::vector<int>& Series() const { return FSeries; }
  void SetSeries(std::vector<int> series);
  int SpanMinutes() const;
  void SetSpanMinutes(int minutes);
  // Follows the newest readings (true) or stays where the user zoomed or panned.
  bool Following() const { return FFollowing; }
  void Follow();
  // The visible time range, UTC ms.
  std::int64_t FromMs() const { return FFromMs; }
  std::int64_t ToMs() const { return FToMs; }
  // Shows the time range as if the user had zoomed or panned to it.
  void ShowRange(std::int64_t fromMs, std::int64_t toMs);
  // The values at a time (what the cursor readout says there).
  QString ValuesAt(std::int64_t timeMs) const;
  QLabel* Readout() const { return FReadout; }
  // Points per series of the last answer taken (for tests and benchmarks).
  std::vector<int> PointCounts() const;

  QSize ImageSize() const override;
  void RenderImage(QPainter& painter, const QSize& size) override;

 protected:
  void RefreshView() override;

 private:
  void BuildSeriesMenu();
  void BuildSpans();
  void Apply(TTrendResult result);
  void SetXRange(std::int64_t fromMs, std::int64_t toMs);
  void UserMovedRange();
  void ShowCursor(double x);

  TViewHub* FHub;
  std::shared_ptr<ITrendSource> FSource;
  QCustomPlot* FPlot;
  QCPTextElement* FTitle;
  QCPItemText* FEmpty;
  QCPItemStraightLine* FCursor;
  QComboBox* FSpan;
  QToolButton* FSeriesButton;
  QMenu* FSeriesMenu;
  QLabel* FReadout;
  std::vector<int> FSeries;
  std::vector<int> FSpans;  // minutes of each item of FSpan; 0: "Период…"
  int FSpanIndex = 1;       // the span item in force
  std::vector<int> FGraphSeries;  // the series the plot's graphs stand for, in order
  bool FFollowing = true;
  bool FSettingRange = false;
  std::int64_t FFromMs = 0, FToMs = 0;
  std::uint16_t FPlant = 0;
  bool FHasDevice = false;
  std::uint64_t FAppliedTicket = 0;
  // Lets an answer from another thread find out whether this dock still exists.
  std::shared_ptr<TTrendDock*> FAlive;
};
