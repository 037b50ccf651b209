// The tree view of the window over a TXMLTreeModel: draws each row indented
// by its depth with an expand/collapse indicator, and lets the mouse and the
// keyboard expand and collapse items through the model.
//
// All rows have the height of the first, so the view keeps nothing per row:
// a row's place follows from its number, and laying out and painting cost
// what is in sight, however many rows the model has. It scrolls a row at a
// time up and down and a pixel at a time sideways.
//
// However deep the tree, every row can be reached: the width the view
// scrolls over is that of its widest row, worked out once whenever the rows
// change (so the scroll bars keep their range while scrolling), and the
// view follows the current item sideways (as far as it takes to read it) as
// well as up and down. Trees too
// deep for the widest row the view draws get a smaller step per level.
#pragma once

#include <QAbstractItemView>
#include <cstdint>
#include <string_view>
#include <vector>

namespace viewer {

class TXMLTreeModel;

class TXMLTreeView : public QAbstractItemView {
  Q_OBJECT

 public:
  // Pixels per nesting level, and the width of the indicator in front of
  // each item.
  static constexpr int kLevelIndent = 19;
  static constexpr int kIndicatorWidth = 19;
  // The widest row the view draws, in pixels.
  static constexpr int kMaxContentWidth = 1048575;

  explicit TXMLTreeView(QWidget* parent = nullptr);

  // Also installs the model as the view's model; null detaches it.
  void SetTreeModel(TXMLTreeModel* model);
  // The installed tree model, or null.
  TXMLTreeModel* TreeModel() const { return treeModel_; }

  // Pixels per nesting level now: kLevelIndent, or less for a very deep tree.
  int LevelIndent() const { return levelIndent_; }
  // The width the view scrolls over: that of the widest row.
  int ContentWidth() const { return contentWidth_; }
  // Height of every row; that of the first row, or of the font without rows.
  int RowHeight() const { return rowHeight_; }
  // Area of the row's expand/collapse indicator in viewport coordinates;
  // empty for rows without children.
  QRect IndicatorRect(const QModelIndex& index) const;
  // Area of the row's indicator, icon and text in viewport coordinates.
  QRect ItemRect(const QModelIndex& index) const;

  // QAbstractItemView. A row's rectangle is as wide as the content; rows
  // above the first shown ones lie above the viewport.
  QRect visualRect(const QModelIndex& index) const override;
  // Also follows the item sideways, unless the mouse chose it, when less than
  // its readable part shows, and only as far as that part needs: rows that
  // show it where they are never move the view.
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
  QModelIndex indexAt(const QPoint& point) const override;

 protected:
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  int horizontalOffset() const override;
  int verticalOffset() const override;
  bool isIndexHidden(const QModelIndex&) const override { return false; }
  void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) override;
  QRegion visualRegionForSelection(const QItemSelection& selection) const override;
  void updateGeometries() override;
  void scrollContentsBy(int dx, int dy) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Toggle(const QModelIndex& index);
  void UpdateContentWidth();
  // What of an item as wide as itemWidth must show for it to be readable:
  // its indicator, icon and the start of its text, up to half the viewport.
  int ReadableWidth(int itemWidth) const;
  // Rows that fit wholly in the viewport, at least one.
  int RowsPerPage() const;
  // An upper bound of the width of text as the rows draw it, from the
  // advances of its UTF-16 units.
  int TextWidth(std::u16string_view text, bool cut);
  int Advance(char16_t unit);
  // Scrolls sideways by a step when the current item reaches beyond the
  // edge on that side; false when it does not.
  bool ScrollAlongItem(int direction);

  TXMLTreeModel* treeModel_ = nullptr;
  int levelIndent_ = kLevelIndent;
  int contentWidth_ = 0;
  int rowHeight_ = 1;
  bool mouseChoosing_ = false;
  // Advance of each UTF-16 unit in the view's font, filled on first use
  // (-1: not yet measured).
  std::vector<int16_t> advances_;
};

}  // namespace viewer
