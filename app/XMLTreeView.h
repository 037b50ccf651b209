// The tree view of the window over a TXMLTreeModel: draws each row indented
// by its depth with an expand/collapse indicator, and lets the mouse and the
// keyboard expand and collapse items through the model.
#pragma once

#include <QTreeView>

namespace viewer {

class TXMLTreeModel;

class TXMLTreeView : public QTreeView {
  Q_OBJECT

 public:
  explicit TXMLTreeView(QWidget* parent = nullptr);

  // Also installs the model as the view's model; null detaches it.
  void SetTreeModel(TXMLTreeModel* model);
  // The installed tree model, or null.
  TXMLTreeModel* TreeModel() const { return treeModel_; }

  // Pixels per nesting level.
  int LevelIndent() const { return levelIndent_; }
  // Area of the row's expand/collapse indicator in viewport coordinates;
  // empty for rows without children.
  QRect IndicatorRect(const QModelIndex& index) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Toggle(const QModelIndex& index);

  TXMLTreeModel* treeModel_ = nullptr;
  int levelIndent_ = 19;
};

}  // namespace viewer
