// Which plotting library draws long trends faster at equal quality: the same
// series (a level and four sensors, a slow drift with noise) set into a plot
// of each library and drawn into a 1000 × 400 picture, offscreen, both with
// antialiased 1-pixel lines, time on the horizontal axis. For each length the
// table gives the median of several repetitions of "set the data and draw".
//
// The trend view itself hands the plot at most two points per pixel column
// (min/max per column), so the first rows are what the view costs; the long
// rows show what happens when a library gets every point.
// Usage: bench_trend_plot_ui. Prints its table and exits 0.
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#ifdef LIM07_HAVE_QCUSTOMPLOT
#include <qcustomplot.h>
#endif
#ifdef LIM07_HAVE_QTCHARTS
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#endif

namespace {

constexpr int kWidth = 1000, kHeight = 400, kSeries = 5, kRepeats = 7;

struct TData {
  QVector<double> Keys;  // seconds since 1970
  std::vector<QVector<double>> Values;
};

TData MakeData(int points) {
  TData d;
  std::minstd_rand random(7);
  std::normal_distribution<double> noise(0, 0.08);
  const double start = 1.7e9;
  for (int i = 0; i < points; ++i) d.Keys.push_back(start + i * 10.0);
  for (int s = 0; s < kSeries; ++s) {
    QVector<double> v;
    double x = 12 + 3 * s;
    for (int i = 0; i < points; ++i) {
      x += noise(random) + 0.002 * std::sin(i / 500.0 + s);
      v.push_back(x);
    }
    d.Values.push_back(v);
  }
  return d;
}

double MedianMs(const std::function<void()>& run) {
  std::vector<double> times;
  run();  // warm-up: fonts, caches
  for (int i = 0; i < kRepeats; ++i) {
    QElapsedTimer t;
    t.start();
    run();
    times.push_back(t.nsecsElapsed() / 1e6);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

#ifdef LIM07_HAVE_QCUSTOMPLOT
double CustomPlotMs(const TData& d) {
  QCustomPlot plot;
  plot.resize(kWidth, kHeight);
  plot.setAntialiasedElements(QCP::aePlottables);
  auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
  ticker->setDateTimeFormat(QStringLiteral("HH:mm"));
  plot.xAxis->setTicker(ticker);
  for (int s = 0; s < kSeries; ++s)
    plot.addGraph()->setPen(QPen(QColor::fromHsv(s * 60, 200, 200), 1));
  QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
  const double ms = MedianMs([&] {
    for (int s = 0; s < kSeries; ++s) plot.graph(s)->setData(d.Keys, d.Values[s], true);
    plot.rescaleAxes();
    plot.replot();
    QApplication::processEvents();
    image.fill(Qt::white);
    QPainter p(&image);
    plot.render(&p);
  });
  if (!qEnvironmentVariableIsEmpty("LIM07_BENCH_IMAGES"))
    image.save(QStringLiteral("customplot_%1.png").arg(d.Keys.size()));
  return ms;
}
#endif

#ifdef LIM07_HAVE_QTCHARTS
double ChartsMs(const TData& d) {
  auto* chart = new QChart;
  chart->legend()->hide();
  auto* x = new QDateTimeAxis;
  x->setFormat(QStringLiteral("HH:mm"));
  auto* y = new QValueAxis;
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  std::vector<QLineSeries*> series;
  for (int s = 0; s < kSeries; ++s) {
    auto* line = new QLineSeries;
    line->setPen(QPen(QColor::fromHsv(s * 60, 200, 200), 1));
    chart->addSeries(line);
    line->attachAxis(x);
    line->attachAxis(y);
    series.push_back(line);
  }
  QChartView view(chart);
  view.setRenderHint(QPainter::Antialiasing);
  view.resize(kWidth, kHeight);
  view.show();  // a chart lays itself out only in a shown view
  QApplication::processEvents();
  QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
  const double ms = MedianMs([&] {
    double lo = 1e9, hi = -1e9;
    for (int s = 0; s < kSeries; ++s) {
      QList<QPointF> points;
      points.reserve(d.Keys.size());
      for (int i = 0; i < d.Keys.size(); ++i) {
        points.append(QPointF(d.Keys[i] * 1000.0, d.Values[s][i]));
        lo = std::min(lo, d.Values[s][i]);
        hi = std::max(hi, d.Values[s][i]);
      }
      series[s]->replace(points);
    }
    x->setRange(QDateTime::fromMSecsSinceEpoch(qint64(d.Keys.front() * 1000)),
                QDateTime::fromMSecsSinceEpoch(qint64(d.Keys.back() * 1000)));
    y->setRange(lo, hi);
    // Qt Charts lays out its series items from the event loop.
    QApplication::processEvents();
    image.fill(Qt::white);
    QPainter p(&image);
    view.render(&p);
  });
  if (!qEnvironmentVariableIsEmpty("LIM07_BENCH_IMAGES"))
    image.save(QStringLiteral("charts_%1.png").arg(d.Keys.size()));
  return ms;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::printf("Long trends: %d series into %d x %d px, antialiased; median of %d, ms\n", kSeries,
              kWidth, kHeight, kRepeats);
  std::printf("%10s %14s %14s %10s\n", "points", "QCustomPlot", "Qt Charts", "ratio");
  for (int points : {400, 2000, 8640, 50000}) {
    const TData d = MakeData(points);
    double custom = -1, charts = -1;
#ifdef LIM07_HAVE_QCUSTOMPLOT
    custom = CustomPlotMs(d);
#endif
#ifdef LIM07_HAVE_QTCHARTS
    charts = ChartsMs(d);
#endif
    std::printf("%10d %14.2f %14.2f %10s\n", points, custom, charts,
                custom > 0 && charts > 0
                    ? QString::number(charts / custom, 'f', 1).toUtf8().constData()
                    : "-");
  }
  std::printf("(ratio: Qt Charts time / QCustomPlot time; -1: library not installed)\n");
  return 0;
}
