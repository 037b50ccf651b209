// The document tree as the window shows it: a compact store of items in the
// order they were added, presented to the view as the flat list of rows that
// are visible under the current expansion.
//
// Items are always added under the last added item or one of its ancestors,
// so the store's order is the tree's pre-order and every subtree is one
// contiguous range of items. That keeps filling, expanding and mapping rows
// linear and free of recursion however deep the tree is; the view draws the
// nesting from each row's depth.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QList>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Types.h"

namespace viewer {

class TImageList;

class TXMLTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Role {
    ImageIndexRole = Qt::UserRole + 1,  // int, -1 when not set
    DepthRole,                          // int, 0 for top-level items
    HasChildrenRole,                    // bool
    ExpandedRole,                       // bool
    ItemRole,                           // int, the item behind the row
  };
  static constexpr int kNoItem = -1;
  // A row shows at most this many UTF-16 units of its item's text; a longer
  // text shows its start and an ellipsis, so that painting a row takes
  // bounded time however long the text is. The item keeps its whole text.
  static constexpr size_t kMaxShownLength = 1000;

  explicit TXMLTreeModel(QObject* parent = nullptr);
  ~TXMLTreeModel() override;

  // Pictures for the decoration role; null shows none. Not owned.
  void SetImages(const TImageList* images);

  // Removes every item.
  void Clear();
  // Items added between BeginUpdate and EndUpdate reach the views at
  // EndUpdate, in one reset; the calls nest. New items start collapsed.
  void BeginUpdate();
  void EndUpdate();
  bool Updating() const { return updates_ > 0; }

  // Adds an item as the last child of parent (kNoItem: a top-level item) and
  // returns it. Raises std::logic_error outside BeginUpdate/EndUpdate, and
  // when parent is neither the last added item nor one of its ancestors.
  int AddItem(int parent, rtl::WideStringView text);
  // The same, with the item's image index set (as SetImageIndex does).
  int AddItem(int parent, rtl::WideStringView text, int imageIndex);
  // Sets the item's image index and selected-image index (always equal).
  void SetImageIndex(int item, int index);

  int ItemCount() const { return static_cast<int>(items_.size()); }
  // Parent item, or kNoItem for a top-level item.
  int Parent(int item) const { return items_[Slot(item)].parent; }
  int Depth(int item) const { return items_[Slot(item)].depth; }
  // The greatest depth of any item, shown or not; 0 without items.
  int MaxDepth() const { return maxDepth_; }
  // -1 when never set.
  int ImageIndex(int item) const { return items_[Slot(item)].image; }
  rtl::WideString Text(int item) const;
  // The start of the text that the item's row shows (all of it when short
  // enough; never half of a surrogate pair), and whether an ellipsis follows.
  std::u16string_view ShownText(int item, bool* cut = nullptr) const;
  // Children in order (walks the item's subtree).
  std::vector<int> Children(int item) const;
  // The top-level items in order.
  std::vector<int> TopLevelItems() const;
  bool HasChildren(int item) const;
  bool IsExpanded(int item) const { return items_[Slot(item)].expanded; }

  // Expands every item that has children.
  void ExpandAll();
  // Expands or collapses one item; its descendants keep their own state.
  void SetExpanded(int item, bool expanded);

  // Row of the item in the flat list, or -1 while a collapsed ancestor hides it.
  int RowOfItem(int item) const;
  // Item shown in the row, or kNoItem outside 0..rowCount()-1.
  int ItemAtRow(int row) const;

  // QAbstractItemModel: one column of visible rows, no nested indexes.
  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  // 24 bytes: a large document has millions of items.
  struct Item {
    uint32_t textOffset = 0;
    uint32_t textLength = 0;
    int32_t parent = kNoItem;
    // One past the last item of the subtree; valid outside updates.
    int32_t end = 0;
    int32_t depth = 0;
    uint16_t textBlock = 0;
    int8_t image = -1;
    bool expanded = false;
  };

  // Items in blocks of a fixed size: growing never moves them, so filling
  // takes no more memory than the items themselves.
  class TItemStore {
   public:
    size_t size() const { return size_; }
    Item& operator[](size_t i) { return blocks_[i >> kShift][i & kMask]; }
    const Item& operator[](size_t i) const { return blocks_[i >> kShift][i & kMask]; }
    void push_back(const Item& item);
    void clear();

   private:
    static constexpr size_t kShift = 16;
    static constexpr size_t kMask = (size_t(1) << kShift) - 1;
    std::vector<std::unique_ptr<Item[]>> blocks_;
    size_t size_ = 0;
  };

  // Texts in blocks, each text whole in one block, for the same reason.
  // Short texts (names, mostly) repeat throughout a document: one met
  // recently is shared instead of stored again.
  class TTextStore {
   public:
    // Stores the text, or finds it, and sets the item's text fields.
    void Add(std::u16string_view text, Item& item);
    std::u16string_view Get(const Item& item) const {
      return std::u16string_view(blocks_[item.textBlock]).substr(item.textOffset, item.textLength);
    }
    void clear();

   private:
    std::vector<std::u16string> blocks_;
    // Recently stored short texts by hash; textLength 0: none. The hash
    // spares most lookups a read of a stored text far back in the blocks.
    struct Recent {
      uint64_t hash = 0;
      Item item;
    };
    std::vector<Recent> recent_;
  };

  size_t Slot(int item) const;
  void RebuildRows();
  void ComputeSubtreeEnds();

  TItemStore items_;
  TTextStore texts_;
  // The path from a top-level item to the last added item, by depth.
  std::vector<int32_t> path_;
  // Items of the visible rows, ascending; when allRows_ is set every item
  // is a row (everything expanded) and rows_ is empty.
  std::vector<int32_t> rows_;
  bool allRows_ = false;
  // Makes rows_ hold the rows allRows_ stood for.
  void ListAllRows();
  QList<QIcon> icons_;
  int updates_ = 0;
  int maxDepth_ = 0;
};

}  // namespace viewer
