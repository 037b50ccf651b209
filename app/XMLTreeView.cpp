#include "app/XMLTreeView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "app/XMLTreeModel.h"

namespace viewer {

namespace {

// Paints a row as the tree shows it: indentation for the depth, the branch
// indicator of an item with children, then icon and text.
class TTreeRowDelegate : public QStyledItemDelegate {
 public:
  TTreeRowDelegate(TXMLTreeView* view) : QStyledItemDelegate(view), view_(view) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int step = view_->LevelIndent();
    const int indent = index.data(TXMLTreeModel::DepthRole).toInt() * step;
    if (index.data(TXMLTreeModel::HasChildrenRole).toBool()) {
      QStyleOption branch;
      branch.initFrom(view_);
      branch.rect = QRect(option.rect.x() + indent, option.rect.y(), step, option.rect.height());
      branch.state = QStyle::State_Item | QStyle::State_Children;
      if (index.data(TXMLTreeModel::ExpandedRole).toBool()) branch.state |= QStyle::State_Open;
      view_->style()->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, painter, view_);
    }
    // Selection and focus frame hug the icon and text, as in a classic tree,
    // rather than running to the column's end.
    QStyleOptionViewItem rest = option;
    rest.rect.setLeft(option.rect.x() + indent + step);
    rest.rect.setWidth(std::min(rest.rect.width(), QStyledItemDelegate::sizeHint(option, index).width()));
    QStyledItemDelegate::paint(painter, rest, index);
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int depth = index.data(TXMLTreeModel::DepthRole).toInt();
    return QSize(size.width() + (depth + 1) * view_->LevelIndent(), size.height());
  }

 private:
  TXMLTreeView* view_;
};

}  // namespace

TXMLTreeView::TXMLTreeView(QWidget* parent) : QTreeView(parent) {
  // The model hands the view a flat list of rows; nesting is drawn by the
  // delegate, so the view's own tree machinery stays out of the way.
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setExpandsOnDoubleClick(false);
  setUniformRowHeights(true);
  setHeaderHidden(true);
  setIndentation(0);
  setIconSize(QSize(16, 16));
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setItemDelegate(new TTreeRowDelegate(this));
}

void TXMLTreeView::SetTreeModel(TXMLTreeModel* model) {
  treeModel_ = model;
  setModel(model);
}

QRect TXMLTreeView::IndicatorRect(const QModelIndex& index) const {
  if (!index.isValid() || !index.data(TXMLTreeModel::HasChildrenRole).toBool()) return QRect();
  const QRect row = visualRect(index);
  const int indent = index.data(TXMLTreeModel::DepthRole).toInt() * levelIndent_;
  return QRect(row.x() + indent, row.y(), levelIndent_, row.height());
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
  QTreeView::mousePressEvent(event);
}

void TXMLTreeView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && !IndicatorRect(index).contains(event->position().toPoint())) {
    Toggle(index);
    event->accept();
    return;
  }
  QTreeView::mouseDoubleClickEvent(event);
}

void TXMLTreeView::keyPressEvent(QKeyEvent* event) {
  const QModelIndex current = currentIndex();
  if (!treeModel_ || !current.isValid()) {
    QTreeView::keyPressEvent(event);
    return;
  }
  const int item = current.data(TXMLTreeModel::ItemRole).toInt();
  const bool hasChildren = treeModel_->HasChildren(item);
  const bool expanded = treeModel_->IsExpanded(item);
  switch (event->key()) {
    case Qt::Key_Plus:
      treeModel_->SetExpanded(item, true);
      return;
    case Qt::Key_Minus:
      treeModel_->SetExpanded(item, false);
      return;
    case Qt::Key_Right:
      if (hasChildren && !expanded)
        treeModel_->SetExpanded(item, true);
      else if (hasChildren)
        setCurrentIndex(treeModel_->index(current.row() + 1, 0));
      return;
    case Qt::Key_Left:
      if (hasChildren && expanded) {
        treeModel_->SetExpanded(item, false);
      } else {
        const int parent = treeModel_->Parent(item);
        if (parent != TXMLTreeModel::kNoItem) setCurrentIndex(treeModel_->index(treeModel_->RowOfItem(parent), 0));
      }
      return;
    default:
      QTreeView::keyPressEvent(event);
  }
}

}  // namespace viewer
