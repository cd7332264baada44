#include "ReportWriter.h"

#include <QFontMetricsF>
#include <QPdfWriter>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "OverviewPainter.h"
#include "ProfilePainter.h"
#include "ReportPages.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Sizes in points (1/72 inch); fonts are sized in pixels of the same unit so
// that they stay put under the page's scale.
const QMarginsF kMargins(45, 48, 36, 40);
constexpr double kCellPad = 2.5;
constexpr int kValuesPerLine = 16;
const QColor kRuleColor(0xB0, 0xB0, 0xB0);
const QColor kHeaderFill(0xEC, 0xEF, 0xF3);

QFont Font(int pixels, bool bold = false) {
  QFont f(ReportFontFamily());
  f.setPixelSize(pixels);
  f.setBold(bold);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

// A table: column widths (points), per-column alignment, and rows of cells;
// text wraps inside its cell.
struct TTable {
  std::vector<double> Widths;
  std::vector<Qt::Alignment> Align;
  QFont Font;
  double Pad = kCellPad;
  double Height(const QStringList& cells) const {
    double h = QFontMetricsF(Font).height();
    for (int c = 0; c < cells.size() && c < static_cast<int>(Widths.size()); ++c)
      h = std::max(h, TReportPages::TextHeight(cells[c], Font,
                                               Widths[static_cast<std::size_t>(c)] - 2 * Pad));
    return h + 2 * Pad;
  }
  void PaintRow(QPainter& p, const QRectF& r, const QStringList& cells, bool header,
                bool ruleBelow = true) const {
    if (header) p.fillRect(r, kHeaderFill);
    QFont font = Font;
    font.setBold(header);
    p.setFont(font);
    p.setPen(Qt::black);
    double x = r.left();
    for (int c = 0; c < cells.size() && c < static_cast<int>(Widths.size()); ++c) {
      const double w = Widths[static_cast<std::size_t>(c)];
      p.drawText(QRectF(x + Pad, r.top() + Pad, w - 2 * Pad, r.height() - 2 * Pad),
                 Align[static_cast<std::size_t>(c)] | Qt::TextWordWrap | Qt::AlignTop, cells[c]);
      x += w;
    }
    if (ruleBelow) {
      p.setPen(QPen(header ? QColor(0x70, 0x70, 0x70) : kRuleColor, 0.5));
      p.drawLine(r.bottomLeft(), r.bottomRight());
    }
  }
  // Adds the header and the rows; a row may be several lines kept together.
  void AddTo(TReportPages& pages, const QStringList& header,
             const std::vector<std::vector<QStringList>>& groups, double spaceBefore) const {
    const TTable table = *this;
    const int id = pages.AddTableHeader(
        Height(header),
        [table, header](QPainter& p, const QRectF& r) { table.PaintRow(p, r, header, true); },
        spaceBefore);
    for (const auto& lines : groups)
      for (std::size_t l = 0; l < lines.size(); ++l) {
        const bool last = l + 1 == lines.size();
        const QStringList cells = lines[l];
        pages.Add(
            Height(cells),
            [table, cells, last](QPainter& p, const QRectF& r) {
              table.PaintRow(p, r, cells, false, last);
            },
            0, !last, id);
      }
  }
};

// Fixed widths scaled to the page width.
std::vector<double> Widths(std::vector<double> w, double total) {
  double sum = 0;
  for (double v : w) sum += v;
  for (double& v : w) v *= total / sum;
  return w;
}

void AddHeading(TReportPages& pages, const QString& text) {
  pages.AddText(text, Font(11, true), 14, true);
}

void AddHead(TReportPages& pages, const TReportData& data) {
  pages.AddText(Tr("Отчёт о пусконаладке"), Font(17, true), 0, true);
  const TReportHead& h = data.Head;
  TTable table;
  table.Font = Font(8);
  table.Widths = Widths({120, 394}, pages.Width());
  table.Align = {Qt::AlignLeft, Qt::AlignLeft};
  const auto value = [](const QString& s) { return s.trimmed().isEmpty() ? Tr("—") : s; };
  const std::vector<std::pair<QString, QString>> fields = {
      {Tr("Объект"), value(h.Object)},
      {Tr("Инженер"), value(h.Engineer)},
      {Tr("Дата"), value(h.Date)},
      {Tr("Примечание"), value(h.Note)},
      {Tr("Линия"), value(data.PortText)},
      {Tr("Протокол"), value(data.ProtocolText)},
      {Tr("Приборов в списке"), QString::number(data.Devices.size())},
      {Tr("Показания на"), data.Readings ? TimeText(data.Readings->TimeMs) : Tr("—")},
      {Tr("Программа"), value(data.ProgramText)},
      {Tr("Отчёт составлен"), TimeText(data.CreatedMs)}};
  for (const auto& [key, text] : fields) {
    const QStringList cells{key, text};
    pages.Add(
        table.Height(cells),
        [table, cells](QPainter& p, const QRectF& r) { table.PaintRow(p, r, cells, false); }, 0);
  }
}

void AddDeviceTable(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Приборы"));
  TTable table;
  table.Font = Font(7);
  table.Widths = Widths({76, 34, 30, 26, 30, 30, 30, 26, 24, 40, 168}, pages.Width());
  table.Align = {Qt::AlignLeft,  Qt::AlignRight, Qt::AlignRight, Qt::AlignRight,
                 Qt::AlignRight, Qt::AlignRight, Qt::AlignRight, Qt::AlignRight,
                 Qt::AlignRight, Qt::AlignLeft,  Qt::AlignLeft};
  const QStringList header{Tr("Имя"),     Tr("Зав. №"), Tr("Сист. адрес"), Tr("Т. изм."),
                           Tr("НУ [дм]"), Tr("С1"),     Tr("C2"),          Tr("H2"),
                           Tr("Kуср"),    Tr("ПО"),     Tr("Результат")};
  std::vector<std::vector<QStringList>> rows;
  for (std::size_t i = 0; i < data.Devices.size(); ++i) {
    const TReportDevice& d = data.Devices[i];
    const TDeviceReading* r =
        data.Readings && i < data.Readings->Devices.size() ? &data.Readings->Devices[i] : nullptr;
    QString result = r ? ResultText(*r) : Tr("не опрашивался");
    if (!d.Note.empty()) result += Tr("\nПримечание: ") + QString::fromStdString(d.Note);
    rows.push_back({{QString::fromStdString(d.Name), QString::number(d.PlantNumber),
                     QString::number(d.SystemAddress), QString::number(d.SensorCount),
                     QString::number(d.UnmeasurableLevel), QString::number(d.CalibrationCode1),
                     QString::number(d.CalibrationCode2), QString::number(d.CalibrationLevel2),
                     QString::number(d.AveragingCoefficient),
                     d.Firmware.empty() ? Tr("—") : QString::fromStdString(d.Firmware), result}});
  }
  table.AddTo(pages, header, rows, 4);
}

void AddReadings(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Последние показания"));
  pages.AddText(
      Tr("Температуры в °C с двумя знаками; «****» — неисправный датчик, пустая клетка — нет "
         "данных; H — уровень в дециметрах. Строка «1–16» — датчики 1…16, «17–32» — 17…32."),
      Font(7), 2, true, QColor(0x40, 0x40, 0x40));
  TTable table;
  table.Font = Font(7);
  table.Pad = 1.5;
  std::vector<double> w{74, 22, 28};
  for (int i = 0; i < kValuesPerLine; ++i) w.push_back(24.4);
  table.Widths = Widths(w, pages.Width());
  table.Align.assign(w.size(), Qt::AlignRight);
  table.Align[0] = Qt::AlignLeft;
  QStringList header{Tr("Прибор"), Tr("H, дм"), Tr("Датч.")};
  for (int i = 1; i <= kValuesPerLine; ++i) header << QString::number(i);
  std::vector<std::vector<QStringList>> groups;
  const auto& readings = data.Readings->Devices;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const TDeviceReading& r = readings[i];
    const bool temps = TemperaturesValid(r);
    const int sensors = std::max<int>(1, static_cast<int>(r.Temperatures.size()));
    const int lines = std::max(2, (sensors + kValuesPerLine - 1) / kValuesPerLine);
    std::vector<QStringList> group;
    for (int l = 0; l < lines; ++l) {
      QStringList cells;
      if (l == 0)
        cells << QString::fromStdString(r.Name)
              << (LevelValid(r) ? QString::number(r.Level) : QString());
      else if (l == 1)
        cells << Tr("№ %1, адр. %2").arg(r.PlantNumber).arg(r.SystemAddress) << QString();
      else
        cells << QString() << QString();
      const int first = l * kValuesPerLine + 1;
      const int count = static_cast<int>(r.Temperatures.size());
      cells << (first <= count ? QStringLiteral("%1–%2").arg(first).arg(
                                     std::min(count, first + kValuesPerLine - 1))
                               : QString());
      for (int s = first; s < first + kValuesPerLine; ++s)
        cells << (temps && s <= count
                      ? TemperatureCell(r.Temperatures[static_cast<std::size_t>(s - 1)])
                      : QString());
      group.push_back(cells);
    }
    groups.push_back(std::move(group));
  }
  table.AddTo(pages, header, groups, 4);
}

void AddOverview(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Обзор линии"));
  auto painter = std::make_shared<TLineOverviewPainter>();
  painter->SetStyle(TPaintStyle::Paper(Font(6)));
  painter->SetScale(data.Scale);
  painter->SetSensorOneAtTop(data.SensorOneAtTop);
  painter->SetSnapshot(data.Readings);
  TAlarmCells alarms;
  for (const TReportAlarm& a : data.Alarms)
    if (a.ClearedMs == 0) alarms.insert({a.PlantNumber, a.Sensor});
  painter->SetAlarms(alarms);
  const double height = std::min(300.0, pages.Width() * 0.55);
  pages.Add(
      height,
      [painter](QPainter& p, const QRectF& r) {
        painter->Paint(p, r, TLineOverviewPainter::Vector);
      },
      4);
}

void AddProfiles(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Профили температуры"));
  constexpr int kPerRow = 4;
  constexpr double kGap = 8, kHeight = 170;
  const double w = (pages.Width() - (kPerRow - 1) * kGap) / kPerRow;
  const TSnapshotPtr readings = data.Readings;
  const auto& devices = readings->Devices;
  const TPaintStyle style = TPaintStyle::Paper(Font(6));
  const bool top = data.SensorOneAtTop;
  std::map<std::uint16_t, std::set<int>> alarmed;
  for (const TReportAlarm& a : data.Alarms)
    if (a.ClearedMs == 0 && a.Sensor > 0) alarmed[a.PlantNumber].insert(a.Sensor);
  for (std::size_t first = 0; first < devices.size(); first += kPerRow) {
    const std::size_t last = std::min(devices.size(), first + kPerRow);
    std::vector<std::set<int>> marks;
    for (std::size_t i = first; i < last; ++i) {
      auto it = alarmed.find(devices[i].PlantNumber);
      marks.push_back(it == alarmed.end() ? std::set<int>() : it->second);
    }
    pages.Add(
        kHeight,
        [readings, first, last, w, style, top, marks](QPainter& p, const QRectF& r) {
          for (std::size_t i = first; i < last; ++i) {
            TProfilePainter profile;
            profile.SetStyle(style);
            profile.SetSensorOneAtTop(top);
            const TDeviceReading& reading = readings->Devices[i];
            TDeviceReading shown = reading;
            if (!TemperaturesValid(reading))
              std::fill(shown.Temperatures.begin(), shown.Temperatures.end(), kNoDataTemperature);
            profile.SetReading(&shown, readings->TimeMs, QString());
            profile.SetAlarmedSensors(marks[i - first]);
            const QRectF cell(r.left() + static_cast<double>(i - first) * (w + kGap), r.top(), w,
                              r.height());
            profile.Paint(p, cell);
            p.setPen(QPen(kRuleColor, 0.5));
            p.setBrush(Qt::NoBrush);
            p.drawRect(cell);
          }
        },
        first == 0 ? 4 : kGap, first == 0);
  }
}

void AddChecks(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Заводские номера и адреса"));
  QString missing = QString::fromStdString(data.MissingNumbers);
  missing.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  pages.AddText(Tr("Пропущенные заводские номера:"), Font(8, true), 4, true);
  pages.AddText(missing.trimmed().isEmpty() ? Tr("—") : missing, Font(8), 2);
  // Equal plant numbers make the missing-numbers text the error of its
  // procedure: the devices that share one are named here.
  const std::vector<QString> plants = DuplicatePlantNumbers(data.Devices);
  if (!plants.empty()) {
    pages.AddText(Tr("Повторяющиеся заводские номера:"), Font(8, true), 8, true);
    for (const QString& line : plants) pages.AddText(line, Font(8), 2, false, QColor(0xB0, 0, 0));
  }
  const std::vector<QString> duplicates = DuplicateAddresses(data.Devices);
  pages.AddText(Tr("Повторяющиеся системные адреса:"), Font(8, true), 8, true);
  if (duplicates.empty()) pages.AddText(Tr("нет"), Font(8), 2);
  for (const QString& line : duplicates) pages.AddText(line, Font(8), 2, false, QColor(0xB0, 0, 0));
}

void AddAlarms(TReportPages& pages, const TReportData& data) {
  AddHeading(pages, Tr("Тревоги"));
  if (data.Alarms.empty()) {
    pages.AddText(Tr("Активных и недавних тревог нет."), Font(8), 4);
    return;
  }
  TTable table;
  table.Font = Font(7);
  table.Widths = Widths({70, 70, 110, 40, 224}, pages.Width());
  table.Align = {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignLeft, Qt::AlignRight, Qt::AlignLeft};
  std::vector<std::vector<QStringList>> rows;
  for (const TReportAlarm& a : data.Alarms)
    rows.push_back(
        {{TimeText(a.RaisedMs), a.ClearedMs ? TimeText(a.ClearedMs) : Tr("активна"),
          Tr("%1 (зав. № %2)").arg(QString::fromStdString(a.DeviceName)).arg(a.PlantNumber),
          a.Sensor > 0 ? QString::number(a.Sensor) : Tr("—"), QString::fromStdString(a.Text)}});
  table.AddTo(pages, {Tr("Возникла"), Tr("Снята"), Tr("Прибор"), Tr("Датчик"), Tr("Тревога")}, rows,
              4);
}

TReportPages Layout(const TReportData& data, const QSizeF& page) {
  const QSizeF content(page.width() - kMargins.left() - kMargins.right(),
                       page.height() - kMargins.top() - kMargins.bottom());
  QString head = Tr("Отчёт о пусконаладке");
  if (!data.Head.Object.trimmed().isEmpty()) head += Tr(" · ") + data.Head.Object.trimmed();
  if (!data.Head.Date.trimmed().isEmpty()) head += Tr(" · ") + data.Head.Date.trimmed();
  TReportPages pages(content, head, Font(7));
  AddHead(pages, data);
  if (data.Devices.empty() || !data.Readings) {
    pages.AddText(Tr("Список приборов пуст: в конфигурации нет ни одного прибора."), Font(10, true),
                  16);
  } else {
    AddDeviceTable(pages, data);
    AddReadings(pages, data);
    AddOverview(pages, data);
    if (data.Profiles) AddProfiles(pages, data);
    AddChecks(pages, data);
  }
  if (data.HistoryInUse) AddAlarms(pages, data);
  pages.Paginate();
  return pages;
}

}  // namespace

QString ReportFontFamily() {
  return QStringLiteral("DejaVu Sans");
}

bool RenderReport(const TReportData& data, QPagedPaintDevice& device, QString& error,
                  const TReportProgress& progress) {
  error.clear();
  const QPageLayout layout = device.pageLayout();
  const QSizeF page = layout.paintRectPoints().size();
  const TReportPages pages = Layout(data, page);
  QPainter p;
  if (!p.begin(&device)) {
    error = Tr("не удалось начать печать страниц");
    return false;
  }
  // Points on the device: its own resolution per inch over 72.
  p.scale(device.logicalDpiX() / 72.0, device.logicalDpiY() / 72.0);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
  for (int i = 0; i < pages.PageCount(); ++i) {
    if (i > 0 && !device.newPage()) {
      error = Tr("не удалось начать страницу %1").arg(i + 1);
      p.end();
      return false;
    }
    pages.PaintPage(p, i, page, kMargins);
    if (progress && !progress(i + 1, pages.PageCount())) {
      p.end();
      return false;
    }
  }
  if (!p.end()) {
    error = Tr("не удалось завершить печать страниц");
    return false;
  }
  return true;
}

bool WriteReportPdf(const TReportData& data, const QString& fileName, QString& error,
                    const TReportProgress& progress) {
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly)) {
    error = file.errorString();
    return false;
  }
  {
    QPdfWriter pdf(&file);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setResolution(300);
    pdf.setTitle(Tr("Отчёт о пусконаладке"));
    pdf.setCreator(data.ProgramText);
    if (!RenderReport(data, pdf, error, progress)) {
      file.cancelWriting();
      return false;
    }
  }
  if (!file.commit()) {
    error = file.errorString();
    return false;
  }
  return true;
}
