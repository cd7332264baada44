#include "StringGrid.h"

#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {
constexpr int kObjectRole = Qt::UserRole + 1;
}

class TStringGrid::TCellDelegate : public QStyledItemDelegate {
 public:
  explicit TCellDelegate(TStringGrid* grid) : QStyledItemDelegate(grid), FGrid(grid) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const int col = index.column();
    const int row = index.row() + 1;
    const QRect rect = option.rect;
    painter->save();
    painter->setFont(option.font);
    const bool fixed = col < FGrid->FFixedCols;
    const QVariant own = index.data(Qt::BackgroundRole);
    painter->fillRect(rect, own.isValid()
                                ? QBrush(own.value<QColor>())
                                : option.palette.brush(fixed ? QPalette::Button : QPalette::Base));
    painter->setPen(option.palette.color(QPalette::Text));
    if (FGrid->OnDrawCell)
      FGrid->OnDrawCell(*painter, col, row, rect);
    else
      DrawCellText(*painter, rect, index.data().toString());
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(FGrid->FDefaultRowHeight);
    return s;
  }

 private:
  TStringGrid* FGrid;
};

TStringGrid::TStringGrid(QWidget* parent, int fixedCols)
    : QTableWidget(parent), FFixedCols(fixedCols) {
  setItemDelegate(new TCellDelegate(this));
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::NoSelection);
  setFocusPolicy(Qt::StrongFocus);
  setWordWrap(false);
  verticalHeader()->hide();
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  horizontalHeader()->setMinimumSectionSize(4);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  FDefaultRowHeight = qMax(18, fontMetrics().height() + 4);
  verticalHeader()->setDefaultSectionSize(FDefaultRowHeight);
  verticalHeader()->setMinimumSectionSize(4);
  viewport()->installEventFilter(this);
  horizontalHeader()->viewport()->installEventFilter(this);
  setColumnCount(5);
  setRowCount(1);
}

void TStringGrid::SetColCount(int count) {
  const int old = columnCount();
  setColumnCount(qMax(1, count));
  for (int c = old; c < columnCount(); ++c) setColumnWidth(c, FDefaultColWidth);
}

void TStringGrid::SetRowCount(int count) {
  setRowCount(qMax(1, count - 1));
}

QTableWidgetItem* TStringGrid::Item(int col, int row, bool create) {
  if (col < 0 || col >= columnCount() || row < 0 || row > rowCount()) return nullptr;
  if (row == 0) {
    QTableWidgetItem* item = horizontalHeaderItem(col);
    if (!item && create) {
      item = new QTableWidgetItem(QString());
      setHorizontalHeaderItem(col, item);
    }
    return item;
  }
  QTableWidgetItem* item = QTableWidget::item(row - 1, col);
  if (!item && create) {
    item = new QTableWidgetItem();
    setItem(row - 1, col, item);
  }
  return item;
}

QString TStringGrid::Cells(int col, int row) const {
  auto* self = const_cast<TStringGrid*>(this);
  QTableWidgetItem* item = self->Item(col, row, false);
  return item ? item->text() : QString();
}

void TStringGrid::SetCells(int col, int row, const QString& text) {
  if (QTableWidgetItem* item = Item(col, row, true)) item->setText(text);
}

void* TStringGrid::Objects(int col, int row) const {
  auto* self = const_cast<TStringGrid*>(this);
  QTableWidgetItem* item = self->Item(col, row, false);
  return item ? reinterpret_cast<void*>(item->data(kObjectRole).value<quintptr>()) : nullptr;
}

void TStringGrid::SetObjects(int col, int row, void* object) {
  QTableWidgetItem* item = Item(col, row, object != nullptr);
  if (item) item->setData(kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(object)));
}

QColor TStringGrid::CellColor(int col, int row) const {
  if (row < 1) return QColor();
  auto* self = const_cast<TStringGrid*>(this);
  QTableWidgetItem* item = self->Item(col, row, false);
  return item ? item->data(Qt::BackgroundRole).value<QColor>() : QColor();
}

void TStringGrid::SetCellColor(int col, int row, const QColor& color) {
  if (row < 1) return;
  if (QTableWidgetItem* item = Item(col, row, color.isValid()))
    item->setData(Qt::BackgroundRole, color.isValid() ? QVariant(color) : QVariant());
}

QString TStringGrid::CellHint(int col, int row) const {
  if (row < 1) return QString();
  auto* self = const_cast<TStringGrid*>(this);
  QTableWidgetItem* item = self->Item(col, row, false);
  return item ? item->toolTip() : QString();
}

void TStringGrid::SetCellHint(int col, int row, const QString& hint) {
  if (row < 1) return;
  if (QTableWidgetItem* item = Item(col, row, !hint.isEmpty())) item->setToolTip(hint);
}

int TStringGrid::ColWidths(int col) const {
  if (col < 0 || col >= columnCount()) return 0;
  return isColumnHidden(col) ? -1 : columnWidth(col);
}

void TStringGrid::SetColWidths(int col, int width) {
  if (col < 0 || col >= columnCount()) return;
  if (width < 0) {
    setColumnHidden(col, true);
  } else {
    setColumnHidden(col, false);
    setColumnWidth(col, width);
  }
}

void TStringGrid::SetDefaultRowHeight(int height) {
  FDefaultRowHeight = height;
  verticalHeader()->setDefaultSectionSize(height);
}

void TStringGrid::SetDefaultColWidth(int width) {
  FDefaultColWidth = width;
  horizontalHeader()->setDefaultSectionSize(width);
  for (int c = 0; c < columnCount(); ++c)
    if (!isColumnHidden(c)) setColumnWidth(c, width);
}

QRect TStringGrid::CellRect(int col, int row) const {
  if (col < 0 || col >= columnCount() || row < 0 || row > rowCount() || isColumnHidden(col))
    return QRect();
  const QHeaderView* header = horizontalHeader();
  if (row == 0) {
    QRect r(header->sectionViewportPosition(col), 0, header->sectionSize(col), header->height());
    return r.translated(header->viewport()->mapTo(this, QPoint(0, 0)));
  }
  QRect r = visualRect(model()->index(row - 1, col));
  return r.translated(viewport()->mapTo(this, QPoint(0, 0)));
}

void TStringGrid::MouseToCell(const QPoint& pos, int& col, int& row) const {
  col = -1;
  row = -1;
  const QHeaderView* header = horizontalHeader();
  const QPoint inHeader = header->viewport()->mapFrom(this, pos);
  if (header->isVisible() && header->viewport()->rect().contains(inHeader)) {
    col = header->logicalIndexAt(inHeader.x());
    row = col >= 0 ? 0 : -1;
    return;
  }
  const QPoint inView = viewport()->mapFrom(this, pos);
  if (!viewport()->rect().contains(inView)) return;
  const int c = columnAt(inView.x());
  const int r = rowAt(inView.y());
  col = c;
  row = r >= 0 ? r + 1 : -1;
}

void TStringGrid::BeginUpdate() {
  if (FUpdateCount++ == 0) viewport()->setUpdatesEnabled(false);
}

void TStringGrid::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) {
    viewport()->setUpdatesEnabled(true);
    viewport()->update();
  }
}

void TStringGrid::DrawCellText(QPainter& canvas, const QRect& rect, const QString& text) {
  if (text.isEmpty()) return;
  const QFontMetrics fm(canvas.font());
  const int y = rect.top() + (rect.height() - fm.height()) / 2;
  canvas.drawText(QRect(rect.left() + 2, y, qMax(0, rect.width() - 2), fm.height()),
                  Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
}

bool TStringGrid::eventFilter(QObject* watched, QEvent* event) {
  auto* w = qobject_cast<QWidget*>(watched);
  if (w && (watched == viewport() || watched == horizontalHeader()->viewport())) {
    switch (event->type()) {
      case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(event);
        emit GridMouseDown(me->button(), w->mapTo(this, me->position().toPoint()));
        break;
      }
      case QEvent::MouseButtonDblClick: {
        auto* me = static_cast<QMouseEvent*>(event);
        emit GridDblClick(w->mapTo(this, me->position().toPoint()));
        return true;
      }
      case QEvent::Paint:
        if (watched == viewport()) ++FPaintCount;
        break;
      default:
        break;
    }
  }
  return QTableWidget::eventFilter(watched, event);
}
