#include "ReportPages.h"

#include <QFontMetricsF>
#include <algorithm>

TReportPages::TReportPages(QSizeF content, QString runningHead, QFont smallFont)
    : FContent(content), FRunningHead(std::move(runningHead)), FSmallFont(std::move(smallFont)) {}

void TReportPages::Add(double height, TPaint paint, double spaceBefore, bool keepWithNext,
                       int table) {
  FItems.push_back({height, spaceBefore, keepWithNext, table, false, std::move(paint)});
}

int TReportPages::AddTableHeader(double height, TPaint paint, double spaceBefore) {
  const int id = static_cast<int>(FTableHeaders.size());
  FTableHeaders.push_back(static_cast<int>(FItems.size()));
  // A header never ends a page: it keeps with the first row.
  FItems.push_back({height, spaceBefore, true, id, true, std::move(paint)});
  return id;
}

double TReportPages::TextHeight(const QString& text, const QFont& font, double width) {
  const QFontMetricsF fm(font);
  if (text.isEmpty()) return fm.height();
  return fm.boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap | Qt::AlignLeft, text).height();
}

void TReportPages::AddText(const QString& text, const QFont& font, double spaceBefore,
                           bool keepWithNext, QColor color) {
  const double h = TextHeight(text, font, Width());
  Add(
      h,
      [text, font, color](QPainter& p, const QRectF& r) {
        p.setFont(font);
        p.setPen(color);
        p.drawText(r, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
      },
      spaceBefore, keepWithNext);
}

int TReportPages::Paginate() {
  FPages.assign(1, {});
  double y = 0;
  const double bottom = FContent.height();
  const auto newPage = [&] {
    FPages.emplace_back();
    y = 0;
  };
  const int n = static_cast<int>(FItems.size());
  for (int i = 0; i < n; ++i) {
    const TItem& item = FItems[static_cast<std::size_t>(i)];
    // The chain that must stay together with this item.
    double chain = item.Height;
    for (int j = i; j + 1 < n && FItems[static_cast<std::size_t>(j)].KeepWithNext; ++j)
      chain += FItems[static_cast<std::size_t>(j) + 1].SpaceBefore +
               FItems[static_cast<std::size_t>(j) + 1].Height;
    const double space = FPages.back().empty() ? 0 : item.SpaceBefore;
    // A header repeated on a new page takes room before this row.
    const auto headerHeight = [&] {
      return item.Table >= 0 && !item.Header
                 ? FItems[static_cast<std::size_t>(
                              FTableHeaders[static_cast<std::size_t>(item.Table)])]
                       .Height
                 : 0.0;
    };
    const bool fitsHere = y + space + chain <= bottom;
    const bool fitsEmpty = headerHeight() + chain <= bottom;
    if (!FPages.back().empty() && (!fitsHere && (fitsEmpty || y + space + item.Height > bottom)))
      newPage();
    if (FPages.back().empty() && item.Table >= 0 && !item.Header) {
      const int header = FTableHeaders[static_cast<std::size_t>(item.Table)];
      FPages.back().push_back({header, y});
      y += FItems[static_cast<std::size_t>(header)].Height;
    }
    if (!FPages.back().empty()) y += item.SpaceBefore;
    FPages.back().push_back({i, y});
    y += item.Height;
  }
  return PageCount();
}

void TReportPages::PaintPage(QPainter& p, int index, const QSizeF& page, const QMarginsF& m) const {
  const double left = m.left(), top = m.top();
  const QFontMetricsF small(FSmallFont);
  // The running head and the page number.
  p.setFont(FSmallFont);
  p.setPen(QColor(0x60, 0x60, 0x60));
  const QRectF head(left, top - small.height() - 8, FContent.width(), small.height());
  p.drawText(head, Qt::AlignLeft | Qt::AlignVCenter, FRunningHead);
  p.setPen(QPen(QColor(0xA0, 0xA0, 0xA0), 0.5));
  p.drawLine(QPointF(left, top - 5), QPointF(left + FContent.width(), top - 5));
  p.setPen(QColor(0x60, 0x60, 0x60));
  p.drawText(QRectF(left, page.height() - m.bottom() + 8, FContent.width(), small.height()),
             Qt::AlignHCenter | Qt::AlignVCenter,
             QString::fromUtf8("Страница %1 из %2").arg(index + 1).arg(PageCount()));
  for (const TPlaced& placed : FPages[static_cast<std::size_t>(index)]) {
    const TItem& item = FItems[static_cast<std::size_t>(placed.Item)];
    p.save();
    item.Paint(p, QRectF(left, top + placed.Y, FContent.width(), item.Height));
    p.restore();
  }
}
