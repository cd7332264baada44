#include "TrendDock.h"

#include <qcustomplot.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPicture>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSignalBlocker>

#include "Dialogs.h"
#include "TemperatureScale.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Twelve colours that stay apart on white; sensors 13 … 24 take them darker,
// 25 … 32 lighter. Solid 1-pixel lines only: a dashed or wider antialiased
// line costs the raster engine a path stroke per segment, a hundred times
// the time of a plain one.
const QColor kSeriesColors[] = {
    QColor(0x1F, 0x77, 0xB4), QColor(0xFF, 0x7F, 0x0E), QColor(0x2C, 0xA0, 0x2C),
    QColor(0xD6, 0x27, 0x28), QColor(0x94, 0x67, 0xBD), QColor(0x8C, 0x56, 0x4B),
    QColor(0xE3, 0x77, 0xC2), QColor(0x7F, 0x7F, 0x7F), QColor(0xBC, 0xBD, 0x22),
    QColor(0x17, 0xBE, 0xCF), QColor(0x00, 0x3F, 0x7F), QColor(0x99, 0x66, 0x00)};
constexpr int kLegendLimit = 12;  // more series than this: no legend, the readout names them

QPen SeriesPen(int series) {
  if (series == kLevelSeries) return QPen(Qt::black, 2);
  const QColor base = kSeriesColors[(series - 1) % 12];
  const int round = (series - 1) / 12;
  return QPen(round == 0 ? base : round == 1 ? base.darker(160) : base.lighter(140), 1);
}

QString SeriesName(int series) {
  return series == kLevelSeries ? Tr("H, дм") : Tr("Датчик %1").arg(series);
}

QString ValueText(int series, double v) {
  if (std::isnan(v)) return Tr("—");
  return series == kLevelSeries ? QString::number(v, 'f', 0) : DegreesText(v);
}

}  // namespace

const std::vector<int> TTrendDock::kSpansMinutes{10, 60, 360, 1440};
const std::vector<int> TTrendDock::kLongSpansMinutes{10080, 43200};

TTrendDock::TTrendDock(TViewHub* hub, std::shared_ptr<ITrendSource> source, QWidget* parent)
    : TViewDock(QStringLiteral("TrendDock"), Tr("Тренды"), parent),
      FHub(hub),
      FSource(std::move(source)),
      FAlive(std::make_shared<TTrendDock*>(this)) {
  FSpans = kSpansMinutes;
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(2);
  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel(Tr("Период:"), content));
  FSpan = new QComboBox(content);
  FSpan->setObjectName(QStringLiteral("cbTrendSpan"));
  bar->addWidget(FSpan);
  FSeriesButton = new QToolButton(content);
  FSeriesButton->setObjectName(QStringLiteral("tbTrendSeries"));
  FSeriesButton->setText(Tr("Ряды"));
  FSeriesButton->setPopupMode(QToolButton::InstantPopup);
  FSeriesMenu = new QMenu(FSeriesButton);
  FSeriesButton->setMenu(FSeriesMenu);
  bar->addWidget(FSeriesButton);
  auto* now = new QToolButton(content);
  now->setObjectName(QStringLiteral("tbTrendNow"));
  now->setText(Tr("Сейчас"));
  now->setToolTip(Tr("Показать последние показания и следовать за ними"));
  bar->addWidget(now);
  bar->addStretch(1);
  layout->addLayout(bar);

  FPlot = new QCustomPlot(content);
  FPlot->setObjectName(QStringLiteral("TrendPlot"));
  FPlot->setMinimumSize(240, 160);
  FPlot->setNoAntialiasingOnDrag(true);
  FPlot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  FPlot->axisRect()->setRangeDrag(Qt::Horizontal);
  FPlot->axisRect()->setRangeZoom(Qt::Horizontal);
  auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
  ticker->setDateTimeFormat(QStringLiteral("HH:mm:ss\ndd.MM"));
  ticker->setDateTimeSpec(Qt::LocalTime);
  FPlot->xAxis->setTicker(ticker);
  FPlot->yAxis->setLabel(Tr("°C"));
  FPlot->yAxis2->setLabel(Tr("H, дм"));
  FPlot->yAxis2->setVisible(true);
  FPlot->plotLayout()->insertRow(0);
  FTitle =
      new QCPTextElement(FPlot, QString(), QFont(font().family(), font().pointSize(), QFont::Bold));
  FPlot->plotLayout()->addElement(0, 0, FTitle);
  FEmpty = new QCPItemText(FPlot);
  FEmpty->position->setType(QCPItemPosition::ptAxisRectRatio);
  FEmpty->position->setCoords(0.5, 0.5);
  FCursor = new QCPItemStraightLine(FPlot);
  FCursor->setPen(QPen(QColor(0x60, 0x60, 0x60), 1, Qt::DashLine));
  FCursor->setVisible(false);
  FPlot->legend->setFont(QFont(font().family(), std::max(6, font().pointSize() - 1)));
  FPlot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
  layout->addWidget(FPlot, 1);
  FReadout = new QLabel(content);
  FReadout->setObjectName(QStringLiteral("lTrendReadout"));
  FReadout->setWordWrap(true);
  FReadout->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(FReadout);
  SetContent(content);

  // Options: the span and the series, each remembered.
  BuildSpans();
  std::vector<int> series;
  const QVariant stored = Option(QStringLiteral("series"), QVariant());
  if (stored.isValid()) {
    for (const QVariant& v : stored.toList()) series.push_back(v.toInt());
  } else {
    for (int s = kLevelSeries; s <= kMaxTrendSeries; ++s) series.push_back(s);
  }
  SetSeries(series);

  connect(FSpan, &QComboBox::activated, this, [this](int i) {
    if (i < 0 || i >= static_cast<int>(FSpans.size())) return;
    if (FSpans[static_cast<std::size_t>(i)] == 0) {
      // "Период…": the item in force stays selected.
      const QSignalBlocker quiet(FSpan);
      FSpan->setCurrentIndex(FSpanIndex);
      QMetaObject::invokeMethod(this, [this] { ChooseRange(); }, Qt::QueuedConnection);
      return;
    }
    FSpanIndex = i;
    SetOption(QStringLiteral("spanMinutes"), FSpans[static_cast<std::size_t>(i)]);
    Follow();
  });
  connect(now, &QToolButton::clicked, this, &TTrendDock::Follow);
  connect(FPlot, &QCustomPlot::mouseDoubleClick, this, [this] { Follow(); });
  connect(FPlot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
    if (!FSettingRange) UserMovedRange();
  });
  connect(FPlot, &QCustomPlot::mouseMove, this,
          [this](QMouseEvent* e) { ShowCursor(e->position().x()); });
  connect(FHub, &TViewHub::SnapshotReady, this, &TViewDock::ScheduleRefresh);
  connect(FHub, &TViewHub::CurrentChanged, this, &TViewDock::ScheduleRefresh);
}

TTrendDock::~TTrendDock() {
  FAlive.reset();
}

int TTrendDock::SpanMinutes() const {
  return FSpans[static_cast<std::size_t>(std::clamp(FSpanIndex, 0, static_cast<int>(FSpans.size()) - 1))];
}

void TTrendDock::SetSpanMinutes(int minutes) {
  const auto found = std::find(FSpans.begin(), FSpans.end(), minutes);
  if (found == FSpans.end() || minutes == 0) return;
  FSpanIndex = static_cast<int>(found - FSpans.begin());
  FSpan->setCurrentIndex(FSpanIndex);
  SetOption(QStringLiteral("spanMinutes"), minutes);
  Follow();
}

void TTrendDock::BuildSpans() {
  const bool longRanges = FSpans.size() > kSpansMinutes.size();
  (void)longRanges;
  const QSignalBlocker quiet(FSpan);
  FSpan->clear();
  for (int m : FSpans) {
    if (m == 0)
      FSpan->addItem(Tr("Период…"));
    else if (m < 60)
      FSpan->addItem(Tr("%1 мин").arg(m));
    else if (m < 1440 || m == 1440)
      FSpan->addItem(Tr("%1 ч").arg(m / 60));
    else
      FSpan->addItem(Tr("%1 сут").arg(m / 1440));
  }
  const int minutes = Option(QStringLiteral("spanMinutes"), 60).toInt();
  const auto found = std::find(FSpans.begin(), FSpans.end(), minutes);
  FSpanIndex = found == FSpans.end() || minutes == 0 ? 1 : static_cast<int>(found - FSpans.begin());
  FSpan->setCurrentIndex(FSpanIndex);
}

void TTrendDock::SetSource(std::shared_ptr<ITrendSource> source, bool longRanges) {
  FSource = std::move(source);
  FAppliedTicket = 0;
  FSpans = kSpansMinutes;
  if (longRanges) {
    FSpans.insert(FSpans.end(), kLongSpansMinutes.begin(), kLongSpansMinutes.end());
    FSpans.push_back(0);
  }
  BuildSpans();
  ScheduleRefresh();
}

void TTrendDock::ChooseRange() {
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("TTrendRangeForm"));
  dialog.setWindowTitle(Tr("Период тренда"));
  auto* form = new QFormLayout(&dialog);
  auto* from = new QDateTimeEdit(QDateTime::fromMSecsSinceEpoch(FFromMs), &dialog);
  from->setObjectName(QStringLiteral("dtFrom"));
  auto* to = new QDateTimeEdit(QDateTime::fromMSecsSinceEpoch(FToMs), &dialog);
  to->setObjectName(QStringLiteral("dtTo"));
  for (QDateTimeEdit* e : {from, to}) {
    e->setCalendarPopup(true);
    e->setDisplayFormat(QStringLiteral("dd.MM.yyyy HH:mm"));
  }
  form->addRow(Tr("С:"), from);
  form->addRow(Tr("По:"), to);
  form->addRow(MakeOkCancelButtons(dialog));
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  const std::int64_t a = from->dateTime().toMSecsSinceEpoch();
  const std::int64_t b = to->dateTime().toMSecsSinceEpoch();
  if (b <= a) {
    MessageDlg(Tr("Конец периода должен быть позже его начала. Период тренда не изменён."), mtError,
               mbOK, this);
    return;
  }
  ShowRange(a, b);
}

void TTrendDock::SetSeries(std::vector<int> series) {
  std::sort(series.begin(), series.end());
  series.erase(std::unique(series.begin(), series.end()), series.end());
  series.erase(std::remove_if(series.begin(), series.end(),
                              [](int s) { return s < kLevelSeries || s > kMaxTrendSeries; }),
               series.end());
  FSeries = std::move(series);
  QVariantList stored;
  for (int s : FSeries) stored << s;
  SetOption(QStringLiteral("series"), stored);
  BuildSeriesMenu();
  ScheduleRefresh();
}

void TTrendDock::BuildSeriesMenu() {
  FSeriesMenu->clear();
  auto* all = FSeriesMenu->addAction(Tr("Все датчики"));
  connect(all, &QAction::triggered, this, [this] {
    std::vector<int> s{kLevelSeries};
    for (int i = 1; i <= kMaxTrendSeries; ++i) s.push_back(i);
    SetSeries(s);
  });
  auto* level = FSeriesMenu->addAction(Tr("Только уровень"));
  connect(level, &QAction::triggered, this, [this] { SetSeries({kLevelSeries}); });
  FSeriesMenu->addSeparator();
  for (int s = kLevelSeries; s <= kMaxTrendSeries; ++s) {
    QAction* item =
        FSeriesMenu->addAction(s == kLevelSeries ? Tr("Уровень") : Tr("Датчик %1").arg(s));
    item->setObjectName(QStringLiteral("TrendSeries%1").arg(s));
    item->setCheckable(true);
    item->setChecked(std::binary_search(FSeries.begin(), FSeries.end(), s));
    connect(item, &QAction::toggled, this, [this, s](bool on) {
      std::vector<int> next = FSeries;
      if (on)
        next.push_back(s);
      else
        next.erase(std::remove(next.begin(), next.end(), s), next.end());
      // The menu is rebuilt once it has closed, not under the user's pointer.
      QMetaObject::invokeMethod(
          this, [this, next] { SetSeries(next); }, Qt::QueuedConnection);
    });
  }
}

void TTrendDock::Follow() {
  FFollowing = true;
  ScheduleRefresh();
}

void TTrendDock::ShowRange(std::int64_t fromMs, std::int64_t toMs) {
  SetXRange(fromMs, toMs);
  UserMovedRange();
}

void TTrendDock::UserMovedRange() {
  FFollowing = false;
  FFromMs = static_cast<std::int64_t>(std::llround(FPlot->xAxis->range().lower * 1000.0));
  FToMs = static_cast<std::int64_t>(std::llround(FPlot->xAxis->range().upper * 1000.0));
  ScheduleRefresh();
}

void TTrendDock::SetXRange(std::int64_t fromMs, std::int64_t toMs) {
  FFromMs = fromMs;
  FToMs = toMs;
  FSettingRange = true;
  FPlot->xAxis->setRange(fromMs / 1000.0, toMs / 1000.0);
  FSettingRange = false;
}

void TTrendDock::RefreshView() {
  const TSnapshotPtr snapshot = FHub->Latest();
  const int index = FHub->CurrentIndex();
  FHasDevice = snapshot && index >= 0 && index < static_cast<int>(snapshot->Devices.size());
  if (!FHasDevice) {
    FTitle->setText(QString());
    FEmpty->setText(index < 0 ? Tr("Нет выбранного прибора") : Tr("Нет данных опроса"));
    FPlot->clearGraphs();
    FGraphSeries.clear();
    FPlot->replot();
    return;
  }
  const TDeviceReading& device = snapshot->Devices[static_cast<std::size_t>(index)];
  FPlant = device.PlantNumber;
  FTitle->setText(
      Tr("%1, зав. № %2").arg(QString::fromStdString(device.Name)).arg(device.PlantNumber));
  if (FFollowing) {
    const std::int64_t span = static_cast<std::int64_t>(SpanMinutes()) * 60'000;
    SetXRange(snapshot->TimeMs - span, snapshot->TimeMs);
  }
  TTrendQuery query;
  query.PlantNumber = FPlant;
  query.Series = FSeries;
  query.FromMs = FFromMs;
  query.ToMs = FToMs;
  query.Columns = std::max(1, FPlot->axisRect()->width());
  std::weak_ptr<TTrendDock*> alive = FAlive;
  FSource->Query(query, [alive](TTrendResult result) {
    auto deliver = [alive, result = std::move(result)]() mutable {
      if (auto dock = alive.lock()) (*dock)->Apply(std::move(result));
    };
    // Taken on the window's thread: at once when the answer is already there.
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
      deliver();
    else
      QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(deliver),
                                Qt::QueuedConnection);
  });
}

void TTrendDock::Apply(TTrendResult result) {
  if (result.Superseded || result.Ticket <= FAppliedTicket) return;  // overtaken by a later question
  FAppliedTicket = result.Ticket;
  // The same series as last time (every new cycle): the graphs are kept and
  // only their points replaced, which spares building thirty-three of them.
  std::vector<int> series;
  for (const TTrendSeries& s : result.Series) series.push_back(s.Series);
  const bool reuse = series == FGraphSeries && FPlot->graphCount() == static_cast<int>(series.size());
  if (!reuse) {
    FPlot->clearGraphs();
    FGraphSeries = series;
  }
  bool any = false, anyTemperature = false, anyLevel = false;
  int index = 0;
  for (const TTrendSeries& s : result.Series) {
    QCPGraph* graph = reuse ? FPlot->graph(index) : nullptr;
    ++index;
    if (!graph) {
      graph = FPlot->addGraph(FPlot->xAxis,
                              s.Series == kLevelSeries ? FPlot->yAxis2 : FPlot->yAxis);
      graph->setPen(SeriesPen(s.Series));
      graph->setName(SeriesName(s.Series));
      graph->setAdaptiveSampling(false);  // the source has reduced already
    }
    QVector<double> keys, values;
    keys.reserve(static_cast<int>(s.Points.size()));
    values.reserve(static_cast<int>(s.Points.size()));
    bool has = false;
    for (const TTrendPoint& p : s.Points) {
      keys.push_back(p.TimeMs / 1000.0);
      values.push_back(p.Value);
      has = has || !std::isnan(p.Value);
    }
    graph->setData(keys, values, true);
    if (has) {
      any = true;
      (s.Series == kLevelSeries ? anyLevel : anyTemperature) = true;
    }
  }
  // Value axes fit what is visible, with a margin.
  const auto fit = [this](QCPAxis* axis, bool level) {
    bool first = true;
    for (int i = 0; i < FPlot->graphCount(); ++i) {
      QCPGraph* g = FPlot->graph(i);
      if ((g->valueAxis() == FPlot->yAxis2) != level) continue;
      bool found = false;
      const QCPRange r = g->getValueRange(found, QCP::sdBoth, FPlot->xAxis->range());
      if (!found) continue;
      axis->setRange(first ? r
                           : QCPRange(std::min(axis->range().lower, r.lower),
                                      std::max(axis->range().upper, r.upper)));
      first = false;
    }
    if (first) return;
    const double margin = std::max(level ? 1.0 : 0.5, axis->range().size() * 0.08);
    axis->setRange(axis->range().lower - margin, axis->range().upper + margin);
  };
  if (anyTemperature) fit(FPlot->yAxis, false);
  if (anyLevel) fit(FPlot->yAxis2, true);
  FPlot->legend->setVisible(any && FPlot->graphCount() <= kLegendLimit);
  // A few lines are drawn smooth; a bundle of thirty is drawn plain, which is
  // cheaper and looks the same where the lines crowd.
  const bool smooth = FPlot->graphCount() <= kLegendLimit;
  for (int i = 0; i < FPlot->graphCount(); ++i) FPlot->graph(i)->setAntialiased(smooth);
  FEmpty->setText(any                     ? QString()
                  : !result.Error.empty() ? Tr("История недоступна: %1")
                                                .arg(QString::fromStdString(result.Error))
                                          : Tr("Нет показаний за этот период"));
  FPlot->replot(QCustomPlot::rpQueuedReplot);
}

std::vector<int> TTrendDock::PointCounts() const {
  std::vector<int> counts;
  for (int i = 0; i < FPlot->graphCount(); ++i) counts.push_back(FPlot->graph(i)->dataCount());
  return counts;
}

QString TTrendDock::ValuesAt(std::int64_t timeMs) const {
  const double key = timeMs / 1000.0;
  QStringList parts;
  for (int i = 0; i < FPlot->graphCount() && i < static_cast<int>(FSeries.size()); ++i) {
    const QCPGraph* g = FPlot->graph(i);
    const auto data = g->data();
    if (data->isEmpty()) continue;
    // The reading nearest in time.
    auto it = data->findBegin(key, false);
    if (it == data->constEnd()) --it;
    if (it != data->constBegin()) {
      auto before = it - 1;
      if (std::fabs(before->key - key) < std::fabs(it->key - key)) it = before;
    }
    const int series = FSeries[static_cast<std::size_t>(i)];
    parts << (series == kLevelSeries ? Tr("H: %1 дм").arg(ValueText(series, it->value))
                                     : Tr("%1: %2").arg(series).arg(ValueText(series, it->value)));
  }
  if (parts.isEmpty()) return {};
  return QDateTime::fromMSecsSinceEpoch(timeMs).toString(QStringLiteral("dd.MM HH:mm:ss")) +
         Tr(" — ") + parts.join(Tr("; ")) + Tr(" °C");
}

void TTrendDock::ShowCursor(double x) {
  if (!FPlot->axisRect()->rect().contains(
          QPoint(static_cast<int>(x), FPlot->axisRect()->center().y()))) {
    FCursor->setVisible(false);
    FPlot->replot(QCustomPlot::rpQueuedReplot);
    return;
  }
  const double key = FPlot->xAxis->pixelToCoord(x);
  FCursor->point1->setCoords(key, 0);
  FCursor->point2->setCoords(key, 1);
  FCursor->setVisible(true);
  FReadout->setText(ValuesAt(static_cast<std::int64_t>(std::llround(key * 1000.0))));
  FPlot->replot(QCustomPlot::rpQueuedReplot);
}

QSize TTrendDock::ImageSize() const {
  return FPlot->size().isEmpty() ? QSize(800, 400) : FPlot->size();
}

void TTrendDock::RenderImage(QPainter& painter, const QSize& size) {
  // The plot alone, drawn afresh at the size asked for (vector in an SVG).
  // Recorded as drawing commands first, so that an SVG gets lines, not pixels.
  FCursor->setVisible(false);
  QPicture picture;
  QCPPainter recorder(&picture);
  FPlot->toPainter(&recorder, size.width(), size.height());
  recorder.end();
  painter.drawPicture(0, 0, picture);
}
