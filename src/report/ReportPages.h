// A small page layout for the report: a flow of items (headings, text,
// table rows, pictures) of known height, placed top to bottom on pages of
// one size. A table's header row repeats at the top of every page the table
// continues on; rows are never cut, and items chained by KeepWithNext (a
// heading and what follows, the lines of one device) move to the next page
// together. Pages get a running head and "Страница N из M".
#pragma once

#include <QFont>
#include <QPainter>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class TReportPages {
 public:
  using TPaint = std::function<void(QPainter&, const QRectF&)>;

  // Content width and height of a page, in points; the running head's text.
  TReportPages(QSizeF content, QString runningHead, QFont smallFont);

  double Width() const { return FContent.width(); }

  // An item of the flow. `table` >= 0 makes it a row of that table (see
  // AddTableHeader); rows of a table are placed under its header.
  void Add(double height, TPaint paint, double spaceBefore = 0, bool keepWithNext = false,
           int table = -1);
  // Declares a table and its header row; returns the table's id. The header
  // is placed like an item and repeated on every later page of the table.
  int AddTableHeader(double height, TPaint paint, double spaceBefore = 0);
  // Text in `font`, wrapped to the width.
  void AddText(const QString& text, const QFont& font, double spaceBefore = 0,
               bool keepWithNext = false, QColor color = Qt::black);

  // Places every item; returns the number of pages.
  int Paginate();
  int PageCount() const { return static_cast<int>(FPages.size()); }
  // Paints page `index` (0 …) of `count` with its origin at the page's
  // top-left corner, in points.
  void PaintPage(QPainter& painter, int index, const QSizeF& page, const QMarginsF& margins) const;

  // Height of wrapped text at a width.
  static double TextHeight(const QString& text, const QFont& font, double width);

 private:
  struct TItem {
    double Height = 0, SpaceBefore = 0;
    bool KeepWithNext = false;
    int Table = -1;
    bool Header = false;
    TPaint Paint;
  };
  struct TPlaced {
    int Item;
    double Y;
  };

  QSizeF FContent;
  QString FRunningHead;
  QFont FSmallFont;
  std::vector<TItem> FItems;
  std::vector<int> FTableHeaders;  // table id -> its header item
  std::vector<std::vector<TPlaced>> FPages;
};
