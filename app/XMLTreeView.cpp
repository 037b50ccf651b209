#include "app/XMLTreeView.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cstdint>
#include <limits>

#include "app/XMLTreeModel.h"

namespace viewer {

namespace {

constexpr size_t kCodeUnits = 0x10000;
// Tab stops of the rows' text layout.
constexpr int kTabWidth = 80;

// Paints a row as the tree shows it: indentation for the depth, the branch
// indicator of an item with children, then icon and text.
class TTreeRowDelegate : public QStyledItemDelegate {
 public:
  explicit TTreeRowDelegate(TXMLTreeView* view) : QStyledItemDelegate(view), view_(view) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int indent = index.data(TXMLTreeModel::DepthRole).toInt() * view_->LevelIndent();
    if (index.data(TXMLTreeModel::HasChildrenRole).toBool()) {
      QStyleOption branch;
      branch.initFrom(view_);
      branch.rect = QRect(option.rect.x() + indent, option.rect.y(), TXMLTreeView::kIndicatorWidth,
                          option.rect.height());
      branch.state = QStyle::State_Item | QStyle::State_Children;
      if (index.data(TXMLTreeModel::ExpandedRole).toBool()) branch.state |= QStyle::State_Open;
      view_->style()->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, painter, view_);
    }
    // Selection and focus frame hug the icon and text, as in a classic tree,
    // rather than running to the column's end.
    QStyleOptionViewItem rest = option;
    rest.rect.setLeft(option.rect.x() + indent + TXMLTreeView::kIndicatorWidth);
    rest.rect.setWidth(std::min(rest.rect.width(), QStyledItemDelegate::sizeHint(option, index).width()));
    QStyledItemDelegate::paint(painter, rest, index);
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int depth = index.data(TXMLTreeModel::DepthRole).toInt();
    return QSize(size.width() + depth * view_->LevelIndent() + TXMLTreeView::kIndicatorWidth, size.height());
  }

 private:
  TXMLTreeView* view_;
};

}  // namespace

TXMLTreeView::TXMLTreeView(QWidget* parent) : QAbstractItemView(parent), advances_(kCodeUnits, -1) {
  // The model hands the view a flat list of rows; nesting is drawn by the
  // delegate.
  setSelectionMode(SingleSelection);
  setSelectionBehavior(SelectRows);
  setIconSize(QSize(16, 16));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setItemDelegate(new TTreeRowDelegate(this));
}

void TXMLTreeView::SetTreeModel(TXMLTreeModel* model) {
  if (treeModel_) disconnect(treeModel_, nullptr, this, nullptr);
  treeModel_ = model;
  setModel(model);
  if (model) {
    connect(model, &QAbstractItemModel::modelReset, this, &TXMLTreeView::UpdateContentWidth);
    connect(model, &QAbstractItemModel::rowsInserted, this, &TXMLTreeView::UpdateContentWidth);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &TXMLTreeView::UpdateContentWidth);
  }
  UpdateContentWidth();
}

int TXMLTreeView::Advance(char16_t unit) {
  int16_t& known = advances_[unit];
  if (known < 0) {
    const QFontMetrics metrics = fontMetrics();
    int width;
    if (unit >= 0xD800 && unit < 0xDC00)
      width = std::max(metrics.maxWidth(), metrics.height());  // the pair's character, from any font
    else if (unit >= 0xDC00 && unit < 0xE000)
      width = 0;
    else if (unit == u'\t')
      width = kTabWidth;
    else
      width = metrics.horizontalAdvance(QChar(unit));
    known = static_cast<int16_t>(std::clamp(width, 0, INT16_MAX));
  }
  return known;
}

int TXMLTreeView::TextWidth(std::u16string_view text, bool cut) {
  int width = cut ? Advance(u'\u2026') : 0;
  for (const char16_t unit : text) width += Advance(unit);
  return width;
}

void TXMLTreeView::UpdateContentWidth() {
  int fixedPart = kIndicatorWidth + iconSize().width();
  int widest = 0;
  const int rows = treeModel_ ? treeModel_->rowCount() : 0;
  rowHeight_ = std::max(1, std::max(fontMetrics().height(), iconSize().height()));
  if (rows > 0) {
    // What the style adds around icon and text, from a row drawn by it, and
    // room for a text that comes out wider than its characters' sum.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QModelIndex first = treeModel_->index(0, 0);
    const QSize hint = itemDelegate()->sizeHint(option, first);
    rowHeight_ = std::max(1, hint.height());
    fixedPart = hint.width() - treeModel_->Depth(treeModel_->ItemAtRow(0)) * levelIndent_ -
                fontMetrics().horizontalAdvance(first.data().toString()) + fontMetrics().averageCharWidth();
  }
  // Rows cannot be wider than the view draws; a tree too deep for that gets
  // a smaller step per level, the same whichever items are open, so that
  // its deepest rows and their widest possible text stay in reach.
  const int limit = kMaxContentWidth - fixedPart;
  const int widestText = static_cast<int>(TXMLTreeModel::kMaxShownLength + 1) *
                         std::max(fontMetrics().maxWidth(), fontMetrics().height());
  const int deepest = treeModel_ ? treeModel_->MaxDepth() : 0;
  levelIndent_ = deepest == 0 || int64_t(deepest) * kLevelIndent + widestText <= limit
                     ? kLevelIndent
                     : std::max(0, (limit - widestText) / deepest);
  for (int row = 0; row < rows; ++row) {
    const int item = treeModel_->ItemAtRow(row);
    bool cut = false;
    const int text = TextWidth(treeModel_->ShownText(item, &cut), cut);
    widest = std::max(widest, treeModel_->Depth(item) * levelIndent_ + text);
  }
  contentWidth_ = std::min(widest + fixedPart, kMaxContentWidth);
  updateGeometries();
  viewport()->update();
}

int TXMLTreeView::RowsPerPage() const { return std::max(1, viewport()->height() / rowHeight_); }

void TXMLTreeView::updateGeometries() {
  const int rows = treeModel_ ? treeModel_->rowCount() : 0;
  const int page = RowsPerPage();
  QScrollBar* down = verticalScrollBar();
  down->setRange(0, std::max(0, rows - page));
  down->setPageStep(page);
  down->setSingleStep(1);
  QScrollBar* across = horizontalScrollBar();
  across->setRange(0, std::max(0, contentWidth_ - viewport()->width()));
  across->setPageStep(viewport()->width());
  across->setSingleStep(kLevelIndent);
  QAbstractItemView::updateGeometries();
}

int TXMLTreeView::horizontalOffset() const { return horizontalScrollBar()->value(); }

// In rows: the first row shown.
int TXMLTreeView::verticalOffset() const { return verticalScrollBar()->value(); }

void TXMLTreeView::scrollContentsBy(int, int) { viewport()->update(); }

QRect TXMLTreeView::visualRect(const QModelIndex& index) const {
  if (!treeModel_ || !index.isValid() || index.model() != treeModel_) return QRect();
  // Rows far from those in sight may lie beyond the coordinates' range.
  const int64_t y = (int64_t(index.row()) - verticalOffset()) * rowHeight_;
  constexpr int64_t kFar = std::numeric_limits<int>::max() / 2;
  return QRect(-horizontalOffset(), static_cast<int>(std::clamp(y, -kFar, kFar)), contentWidth_, rowHeight_);
}

QModelIndex TXMLTreeView::indexAt(const QPoint& point) const {
  if (!treeModel_ || point.y() < 0) return QModelIndex();
  const int x = point.x() + horizontalOffset();
  if (x < 0 || x >= contentWidth_) return QModelIndex();
  const int64_t row = int64_t(verticalOffset()) + point.y() / rowHeight_;
  if (row >= treeModel_->rowCount()) return QModelIndex();
  return treeModel_->index(static_cast<int>(row), 0);
}

QModelIndex TXMLTreeView::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
  const int rows = treeModel_ ? treeModel_->rowCount() : 0;
  if (rows == 0) return QModelIndex();
  const QModelIndex current = currentIndex();
  if (!current.isValid()) return treeModel_->index(0, 0);
  int64_t row = current.row();
  switch (action) {
    case MoveUp:
    case MovePrevious: --row; break;
    case MoveDown:
    case MoveNext: ++row; break;
    case MovePageUp: row -= RowsPerPage(); break;
    case MovePageDown: row += RowsPerPage(); break;
    case MoveHome: row = 0; break;
    case MoveEnd: row = rows - 1; break;
    case MoveLeft:
    case MoveRight: break;
  }
  return treeModel_->index(static_cast<int>(std::clamp<int64_t>(row, 0, rows - 1)), 0);
}

void TXMLTreeView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) {
  const int rows = treeModel_ ? treeModel_->rowCount() : 0;
  if (rows == 0 || !selectionModel()) return;
  const auto rowAt = [&](int y) {
    const int64_t row = int64_t(verticalOffset()) + (y < 0 ? (y - rowHeight_ + 1) / rowHeight_ : y / rowHeight_);
    return static_cast<int>(std::clamp<int64_t>(row, 0, rows - 1));
  };
  const QRect area = rect.normalized();
  selectionModel()->select(QItemSelection(treeModel_->index(rowAt(area.top()), 0),
                                          treeModel_->index(rowAt(area.bottom()), 0)),
                           flags);
}

QRegion TXMLTreeView::visualRegionForSelection(const QItemSelection& selection) const {
  // Only the rows in sight count: a selection may span millions of rows.
  const int top = verticalOffset();
  const int bottom = top + viewport()->height() / rowHeight_ + 1;
  QRegion region;
  for (const QItemSelectionRange& range : selection) {
    const int first = std::max(range.top(), top);
    const int last = std::min(range.bottom(), bottom);
    if (first > last) continue;
    const QRect from = visualRect(treeModel_->index(first, 0));
    region += QRect(from.topLeft(), QSize(contentWidth_, (last - first + 1) * rowHeight_));
  }
  return region;
}

void TXMLTreeView::paintEvent(QPaintEvent* event) {
  if (!treeModel_) return;
  QPainter painter(viewport());
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const QStyle::State state = option.state;
  const QRect area = event->rect();
  const int top = verticalOffset();
  const int first = top + std::max(0, area.top()) / rowHeight_;
  const int last = std::min(treeModel_->rowCount() - 1, top + std::max(0, area.bottom()) / rowHeight_);
  const QModelIndex current = currentIndex();
  const bool focus = (hasFocus() || viewport()->hasFocus()) && current.isValid();
  const QItemSelectionModel* selection = selectionModel();
  for (int row = first; row <= last; ++row) {
    const QModelIndex index = treeModel_->index(row, 0);
    option.rect = visualRect(index);
    option.state = state;
    if (selection && selection->isSelected(index)) option.state |= QStyle::State_Selected;
    if (focus && index == current) option.state |= QStyle::State_HasFocus;
    itemDelegate()->paint(&painter, option, index);
  }
}

QRect TXMLTreeView::IndicatorRect(const QModelIndex& index) const {
  if (!index.isValid() || !index.data(TXMLTreeModel::HasChildrenRole).toBool()) return QRect();
  const QRect row = visualRect(index);
  const int indent = index.data(TXMLTreeModel::DepthRole).toInt() * levelIndent_;
  return QRect(row.x() + indent, row.y(), kIndicatorWidth, row.height());
}

QRect TXMLTreeView::ItemRect(const QModelIndex& index) const {
  if (!index.isValid()) return QRect();
  const QRect row = visualRect(index);
  const int indent = index.data(TXMLTreeModel::DepthRole).toInt() * levelIndent_;
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  return QRect(row.x() + indent, row.y(), itemDelegate()->sizeHint(option, index).width() - indent, row.height());
}

void TXMLTreeView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  if (!treeModel_ || !index.isValid()) return;
  QScrollBar* down = verticalScrollBar();
  const int row = index.row();
  const int page = RowsPerPage();
  int top = down->value();
  switch (hint) {
    case EnsureVisible:
      if (row < top)
        top = row;
      else if (row >= top + page)
        top = row - page + 1;
      break;
    case PositionAtTop: top = row; break;
    case PositionAtBottom: top = row - page + 1; break;
    case PositionAtCenter: top = row - page / 2; break;
  }
  down->setValue(top);
  // Sideways the view moves only when the item is not readable where it is
  // (unless the mouse chose it), and then no further than it must: what the
  // view moves past hides the indicators of the levels above.
  if (mouseChoosing_) return;
  QScrollBar* across = horizontalScrollBar();
  const int width = viewport()->width();
  const QRect item = ItemRect(index);
  const int readable = ReadableWidth(item.width());
  if (item.left() >= 0 && item.left() + readable <= width) return;
  // Content coordinates: the item's start, and the furthest left the view
  // can stand with the readable part still in sight.
  const int start = across->value() + item.left();
  across->setValue(std::clamp(start + readable - width, 0, std::max(0, start)));
}

int TXMLTreeView::ReadableWidth(int itemWidth) const {
  const int half = std::max(viewport()->width() / 2, kIndicatorWidth + iconSize().width());
  return std::min({itemWidth, half, viewport()->width()});
}

bool TXMLTreeView::ScrollAlongItem(int direction) {
  const QRect item = ItemRect(currentIndex());
  QScrollBar* bar = horizontalScrollBar();
  const int step = std::max(bar->singleStep(), viewport()->width() / 2);
  if (direction > 0 && item.right() >= viewport()->width()) {
    bar->setValue(bar->value() + std::min(step, item.right() - viewport()->width() + 1));
    return true;
  }
  if (direction < 0 && item.left() < 0) {
    bar->setValue(bar->value() - std::min(step, -item.left()));
    return true;
  }
  return false;
}

void TXMLTreeView::Toggle(const QModelIndex& index) {
  if (!treeModel_ || !index.isValid()) return;
  const int item = index.data(TXMLTreeModel::ItemRole).toInt();
  treeModel_->SetExpanded(item, !treeModel_->IsExpanded(item));
}

void TXMLTreeView::mousePressEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && IndicatorRect(index).contains(event->position().toPoint())) {
    Toggle(index);
    event->accept();
    return;
  }
  // What the mouse picks is in view already; following it sideways would
  // pull the text away from under the pointer.
  mouseChoosing_ = true;
  QAbstractItemView::mousePressEvent(event);
  mouseChoosing_ = false;
}

void TXMLTreeView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && !IndicatorRect(index).contains(event->position().toPoint())) {
    Toggle(index);
    event->accept();
    return;
  }
  QAbstractItemView::mouseDoubleClickEvent(event);
}

void TXMLTreeView::keyPressEvent(QKeyEvent* event) {
  const QModelIndex current = currentIndex();
  if (!treeModel_ || !current.isValid()) {
    QAbstractItemView::keyPressEvent(event);
    return;
  }
  const int item = current.data(TXMLTreeModel::ItemRole).toInt();
  if (event->matches(QKeySequence::Copy)) {
    // The whole text, not the start the row shows.
    QApplication::clipboard()->setText(QString::fromStdU16String(treeModel_->Text(item)));
    return;
  }
  const bool hasChildren = treeModel_->HasChildren(item);
  const bool expanded = treeModel_->IsExpanded(item);
  // Opening or closing the item moves the rows around it; it stays in view.
  const auto setExpanded = [&](bool value) {
    treeModel_->SetExpanded(item, value);
    scrollTo(currentIndex());
  };
  switch (event->key()) {
    case Qt::Key_Plus:
      setExpanded(true);
      return;
    case Qt::Key_Minus:
      setExpanded(false);
      return;
    case Qt::Key_Right:
      if (hasChildren && !expanded)
        setExpanded(true);
      else if (hasChildren)
        setCurrentIndex(treeModel_->index(current.row() + 1, 0));
      else
        ScrollAlongItem(+1);
      return;
    case Qt::Key_Left:
      if (ScrollAlongItem(-1)) return;
      if (hasChildren && expanded) {
        setExpanded(false);
      } else {
        const int parent = treeModel_->Parent(item);
        if (parent != TXMLTreeModel::kNoItem) setCurrentIndex(treeModel_->index(treeModel_->RowOfItem(parent), 0));
      }
      return;
    default:
      QAbstractItemView::keyPressEvent(event);
  }
}

void TXMLTreeView::changeEvent(QEvent* event) {
  QAbstractItemView::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    std::fill(advances_.begin(), advances_.end(), int16_t(-1));
    UpdateContentWidth();
  }
}

}  // namespace viewer
