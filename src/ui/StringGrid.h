// A string grid: a table of texts with one object reference per cell, fixed
// rows and columns, and program-drawn cells.
//
// Indices are those of the grid as a whole: row 0 is the fixed header row
// (shown as the table's header), rows 1… are the data rows; column 0 is the
// first column (fixed when FixedCols is 1, drawn in the button colour).
// RowCount counts the header row. A width of -1 hides a column.
#pragma once

#include <QTableWidget>
#include <functional>

class QPainter;
class TStringGrid;

// Called after the grid's own drawing of a cell (background and nothing else):
// the handler draws the contents. Without a handler the text is drawn at
// left + 2, vertically centred.
using TDrawCellEvent = std::function<void(QPainter& canvas, int col, int row, const QRect& rect)>;

class TStringGrid : public QTableWidget {
  Q_OBJECT
 public:
  explicit TStringGrid(QWidget* parent = nullptr, int fixedCols = 1);

  int ColCount() const { return columnCount(); }
  void SetColCount(int count);
  // Header row included; never below 2 (the grid always has a data row).
  int RowCount() const { return rowCount() + 1; }
  void SetRowCount(int count);
  int FixedCols() const { return FFixedCols; }

  QString Cells(int col, int row) const;
  // Writes outside the grid are ignored.
  void SetCells(int col, int row, const QString& text);
  void* Objects(int col, int row) const;
  void SetObjects(int col, int row, void* object);
  // A data cell's own background (drawn instead of the grid's; an invalid
  // colour gives it back) and tooltip. Row 0 is left alone.
  QColor CellColor(int col, int row) const;
  void SetCellColor(int col, int row, const QColor& color);
  QString CellHint(int col, int row) const;
  void SetCellHint(int col, int row, const QString& hint);

  int ColWidths(int col) const;
  void SetColWidths(int col, int width);  // -1 hides the column
  int DefaultRowHeight() const { return FDefaultRowHeight; }
  void SetDefaultRowHeight(int height);
  int DefaultColWidth() const { return FDefaultColWidth; }
  void SetDefaultColWidth(int width);

  // The rectangle of a cell in the coordinates of the grid widget itself
  // (header row included); empty when the cell is hidden or outside.
  QRect CellRect(int col, int row) const;
  // The cell under a point given in grid coordinates; -1 for each index that
  // is outside any cell.
  void MouseToCell(const QPoint& pos, int& col, int& row) const;

  // Suspends repainting; the outermost EndUpdate repaints once.
  void BeginUpdate();
  void EndUpdate();
  int PaintCount() const { return FPaintCount; }

  TDrawCellEvent OnDrawCell;

  // Draws a cell's text the way the grid does: at left + 2, centred vertically.
  static void DrawCellText(QPainter& canvas, const QRect& rect, const QString& text);

 signals:
  // Any button press on a cell or on the header, position in grid coordinates.
  void GridMouseDown(Qt::MouseButton button, const QPoint& pos);
  void GridDblClick(const QPoint& pos);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class TCellDelegate;
  QTableWidgetItem* Item(int col, int row, bool create);
  int FFixedCols;
  int FDefaultRowHeight = 18;
  int FDefaultColWidth = 64;
  int FUpdateCount = 0;
  int FPaintCount = 0;
};
