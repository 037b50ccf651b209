#include "app/XMLTreeModel.h"

#include <QString>
#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "app/Icons.h"

namespace viewer {

namespace {

constexpr const char* kNotUpdating = "tree items can only be added between BeginUpdate and EndUpdate";
constexpr const char* kOutOfOrder = "a tree item must be added under the last added item or one of its ancestors";
constexpr const char* kBadItem = "tree item index out of range";
constexpr const char* kTooManyItems = "too many tree items";
// Units per text block; a longer text gets a block of its own.
constexpr size_t kTextBlock = size_t(1) << 20;
// Texts up to this many units are shared with an equal one stored recently,
// remembered in this many places.
constexpr size_t kShareableLength = 32;
constexpr size_t kRecentTexts = 4096;

// An image index as an item keeps it: -1 (none) to 127.
int8_t ImageIndexOf(int index) { return static_cast<int8_t>(std::clamp(index, -1, 127)); }

}  // namespace

TXMLTreeModel::TXMLTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

TXMLTreeModel::~TXMLTreeModel() = default;

size_t TXMLTreeModel::Slot(int item) const {
  if (item < 0 || static_cast<size_t>(item) >= items_.size()) throw std::out_of_range(kBadItem);
  return static_cast<size_t>(item);
}

void TXMLTreeModel::TItemStore::push_back(const Item& item) {
  if (size_ == blocks_.size() << kShift) blocks_.push_back(std::unique_ptr<Item[]>(new Item[size_t(1) << kShift]));
  (*this)[size_++] = item;
}

void TXMLTreeModel::TItemStore::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  size_ = 0;
}

void TXMLTreeModel::TTextStore::Add(std::u16string_view text, Item& item) {
  Recent* seen = nullptr;
  uint64_t hash = text.size();
  if (!text.empty() && text.size() <= kShareableLength) {
    // Four units at a time.
    size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
    }
    for (; i < text.size(); ++i) hash = (hash ^ text[i]) * 0x9E3779B97F4A7C15u;
    if (recent_.empty()) recent_.resize(kRecentTexts);
    seen = &recent_[(hash >> 40) & (kRecentTexts - 1)];
    if (seen->hash == hash && seen->item.textLength == text.size() &&
        std::memcmp(Get(seen->item).data(), text.data(), text.size() * sizeof(char16_t)) == 0) {
      item.textBlock = seen->item.textBlock;
      item.textOffset = seen->item.textOffset;
      item.textLength = seen->item.textLength;
      return;
    }
  }
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < text.size()) {
    if (blocks_.size() > std::numeric_limits<uint16_t>::max()) throw std::length_error(kTooManyItems);
    blocks_.emplace_back().reserve(std::max(kTextBlock, text.size()));
  }
  item.textBlock = static_cast<uint16_t>(blocks_.size() - 1);
  item.textOffset = static_cast<uint32_t>(blocks_.back().size());
  item.textLength = static_cast<uint32_t>(text.size());
  blocks_.back().append(text);
  if (seen) *seen = {hash, item};
}

void TXMLTreeModel::TTextStore::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  recent_.clear();
  recent_.shrink_to_fit();
}

void TXMLTreeModel::SetImages(const TImageList* images) {
  beginResetModel();
  icons_.clear();
  if (images)
    for (int i = 0; i < images->Count(); ++i) icons_.append(QIcon(images->Get(i)));
  endResetModel();
}

void TXMLTreeModel::Clear() {
  beginResetModel();
  items_.clear();
  texts_.clear();
  path_.clear();
  rows_.clear();
  rows_.shrink_to_fit();
  allRows_ = false;
  maxDepth_ = 0;
  endResetModel();
}

void TXMLTreeModel::BeginUpdate() {
  if (updates_++ == 0) beginResetModel();
}

void TXMLTreeModel::EndUpdate() {
  if (updates_ == 0) return;
  if (--updates_ > 0) return;
  ComputeSubtreeEnds();
  RebuildRows();
  endResetModel();
}

int TXMLTreeModel::AddItem(int parent, rtl::WideStringView text) { return AddItem(parent, text, -1); }

int TXMLTreeModel::AddItem(int parent, rtl::WideStringView text, int imageIndex) {
  if (updates_ == 0) throw std::logic_error(kNotUpdating);
  if (items_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
      text.size() > std::numeric_limits<uint32_t>::max())
    throw std::length_error(kTooManyItems);
  int32_t depth = 0;
  if (parent != kNoItem) {
    const Item& p = items_[Slot(parent)];
    if (static_cast<size_t>(p.depth) >= path_.size() || path_[static_cast<size_t>(p.depth)] != parent)
      throw std::logic_error(kOutOfOrder);
    depth = p.depth + 1;
  }
  const int32_t id = static_cast<int32_t>(items_.size());
  Item item;
  item.parent = parent;
  item.end = id + 1;
  item.depth = depth;
  item.image = ImageIndexOf(imageIndex);
  texts_.Add(text, item);
  items_.push_back(item);
  path_.resize(static_cast<size_t>(depth));
  path_.push_back(id);
  maxDepth_ = std::max(maxDepth_, depth);
  return id;
}

void TXMLTreeModel::SetImageIndex(int item, int index) {
  items_[Slot(item)].image = ImageIndexOf(index);
  if (updates_ == 0) {
    const int row = RowOfItem(item);
    if (row >= 0) emit dataChanged(createIndex(row, 0), createIndex(row, 0));
  }
}

rtl::WideString TXMLTreeModel::Text(int item) const {
  return rtl::WideString(texts_.Get(items_[Slot(item)]));
}

std::u16string_view TXMLTreeModel::ShownText(int item, bool* cut) const {
  std::u16string_view text = texts_.Get(items_[Slot(item)]);
  const bool longer = text.size() > kMaxShownLength;
  if (longer) {
    size_t length = kMaxShownLength;
    if (text[length - 1] >= 0xD800 && text[length - 1] < 0xDC00) --length;
    text = text.substr(0, length);
  }
  if (cut) *cut = longer;
  return text;
}

bool TXMLTreeModel::HasChildren(int item) const {
  const size_t slot = Slot(item);
  return slot + 1 < items_.size() && items_[slot + 1].parent == item;
}

std::vector<int> TXMLTreeModel::Children(int item) const {
  std::vector<int> children;
  const size_t slot = Slot(item);
  const int depth = items_[slot].depth;
  for (size_t i = slot + 1; i < items_.size() && items_[i].depth > depth; ++i)
    if (items_[i].parent == item) children.push_back(static_cast<int>(i));
  return children;
}

std::vector<int> TXMLTreeModel::TopLevelItems() const {
  std::vector<int> top;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].parent == kNoItem) top.push_back(static_cast<int>(i));
  return top;
}

void TXMLTreeModel::ComputeSubtreeEnds() {
  // Children come after their parents, so one backward pass carries each
  // subtree's end up to its parent.
  for (size_t i = items_.size(); i-- > 0;) {
    Item& it = items_[i];
    it.end = std::max(it.end, static_cast<int32_t>(i + 1));
    if (it.parent != kNoItem) {
      Item& p = items_[static_cast<size_t>(it.parent)];
      p.end = std::max(p.end, it.end);
    }
  }
}

void TXMLTreeModel::RebuildRows() {
  // Counted first, so that the list takes just its size: with everything
  // expanded there are as many rows as items.
  const int32_t count = static_cast<int32_t>(items_.size());
  const auto next = [&](int32_t i) {
    return items_[static_cast<size_t>(i)].expanded ? i + 1 : items_[static_cast<size_t>(i)].end;
  };
  size_t shown = 0;
  for (int32_t i = 0; i < count; i = next(i)) ++shown;
  std::vector<int32_t> rows;
  rows.reserve(shown);
  for (int32_t i = 0; i < count; i = next(i)) rows.push_back(i);
  rows_.swap(rows);
  allRows_ = false;
}

void TXMLTreeModel::ListAllRows() {
  if (!allRows_) return;
  rows_.resize(items_.size());
  std::iota(rows_.begin(), rows_.end(), 0);
  allRows_ = false;
}

void TXMLTreeModel::ExpandAll() {
  beginResetModel();
  // An item has children when the next item is its child.
  const size_t count = items_.size();
  for (size_t i = 0; i + 1 < count; ++i) items_[i].expanded = items_[i + 1].parent == static_cast<int32_t>(i);
  if (count > 0) items_[count - 1].expanded = false;
  // With everything expanded every item is a row, in order: nothing to list.
  rows_.clear();
  rows_.shrink_to_fit();
  allRows_ = true;
  endResetModel();
}

void TXMLTreeModel::SetExpanded(int item, bool expanded) {
  Item& it = items_[Slot(item)];
  if (!HasChildren(item) || it.expanded == expanded) return;
  const int row = updates_ == 0 ? RowOfItem(item) : -1;
  if (row < 0) {
    it.expanded = expanded;
    return;
  }
  ListAllRows();
  if (expanded) {
    std::vector<int32_t> shown;
    for (int32_t i = item + 1; i < it.end;) {
      shown.push_back(i);
      const Item& c = items_[static_cast<size_t>(i)];
      i = c.expanded ? i + 1 : c.end;
    }
    beginInsertRows(QModelIndex(), row + 1, row + static_cast<int>(shown.size()));
    it.expanded = true;
    rows_.insert(rows_.begin() + row + 1, shown.begin(), shown.end());
    endInsertRows();
  } else {
    const auto first = rows_.begin() + row + 1;
    const auto last = std::lower_bound(first, rows_.end(), it.end);
    beginRemoveRows(QModelIndex(), row + 1, row + static_cast<int>(last - first));
    it.expanded = false;
    rows_.erase(first, last);
    endRemoveRows();
  }
  const QModelIndex changed = createIndex(row, 0);
  emit dataChanged(changed, changed, {ExpandedRole});
}

int TXMLTreeModel::RowOfItem(int item) const {
  if (allRows_) return item >= 0 && static_cast<size_t>(item) < items_.size() ? item : -1;
  const auto pos = std::lower_bound(rows_.begin(), rows_.end(), item);
  if (pos == rows_.end() || *pos != item) return -1;
  return static_cast<int>(pos - rows_.begin());
}

int TXMLTreeModel::ItemAtRow(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= (allRows_ ? items_.size() : rows_.size())) return kNoItem;
  return allRows_ ? row : rows_[static_cast<size_t>(row)];
}

QModelIndex TXMLTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!hasIndex(row, column, parent)) return QModelIndex();
  return createIndex(row, column);
}

QModelIndex TXMLTreeModel::parent(const QModelIndex&) const { return QModelIndex(); }

int TXMLTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(allRows_ ? items_.size() : rows_.size());
}

int TXMLTreeModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant TXMLTreeModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return QVariant();
  const int item = ItemAtRow(index.row());
  const Item& it = items_[static_cast<size_t>(item)];
  switch (role) {
    case Qt::DisplayRole: {
      bool cut = false;
      const std::u16string_view shown = ShownText(item, &cut);
      QString text = QString::fromUtf16(shown.data(), static_cast<qsizetype>(shown.size()));
      if (cut) text += QChar(0x2026);
      return text;
    }
    case Qt::DecorationRole:
      if (it.image >= 0 && it.image < icons_.size()) return icons_[it.image];
      return QVariant();
    case ImageIndexRole: return static_cast<int>(it.image);
    case DepthRole: return static_cast<int>(it.depth);
    case HasChildrenRole: return HasChildren(item);
    case ExpandedRole: return static_cast<bool>(it.expanded);
    case ItemRole: return item;
    default: return QVariant();
  }
}

Qt::ItemFlags TXMLTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

}  // namespace viewer
