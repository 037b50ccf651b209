#include "xml/XMLTreeSync.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace xmlsync {

std::atomic<uint64_t> detail::gEpoch{1};

namespace {

using detail::gEpoch;

// Marks are kept per changed node. Past this many the table is emptied and
// its floor raised: a list last checked before the floor then rebuilds once,
// so memory stays bounded whatever a session edits.
constexpr size_t kMaxMarks = 65536;

struct Marks {
  std::mutex lock;
  std::unordered_map<Key, uint64_t> changedAt;
  uint64_t floor = 0;
};

Marks& TheMarks() {
  static Marks* marks = new Marks;  // outlives every static wrapper
  return *marks;
}

void Mark(Marks& marks, Key key) {
  const uint64_t now = gEpoch.fetch_add(1, std::memory_order_relaxed) + 1;
  if (marks.changedAt.size() >= kMaxMarks) {
    marks.changedAt.clear();
    marks.floor = now - 1;
  }
  marks.changedAt[key] = now;
}

thread_local ListEdit* tCurrentEdit = nullptr;

}  // namespace

Key KeyOf(IDOMNode* node) {
  if (!node) return nullptr;
  rtl::IInterface* identity = nullptr;
  if (!rtl::Succeeded(node->QueryInterface(rtl::IInterface::IID, reinterpret_cast<void**>(&identity))))
    return node;
  identity->Release();  // the caller's reference keeps it alive
  return identity;
}

void Changed(IDOMNode* node) {
  const Key key = KeyOf(node);
  Marks& marks = TheMarks();
  std::lock_guard<std::mutex> guard(marks.lock);
  Mark(marks, key);
}

std::vector<rtl::ComPtr<IDOMNode>> ParentsBelow(IDOMNode* root) {
  // Iterative, for deep trees: root and every node under it that has
  // children. The references keep the nodes' identities alive.
  std::vector<rtl::ComPtr<IDOMNode>> parents{rtl::ComPtr<IDOMNode>(root)};
  const Key rootKey = KeyOf(root);
  rtl::ComPtr<IDOMNode> child = DOMFirstChild(root);
  while (child) {
    rtl::ComPtr<IDOMNode> below = DOMFirstChild(child.get());
    if (below) {
      parents.push_back(child);
      child = below;
      continue;
    }
    // Up until a node with a next sibling, never above root.
    while (child) {
      rtl::ComPtr<IDOMNode> next = DOMNextSibling(child.get());
      if (next) {
        child = next;
        break;
      }
      rtl::ComPtr<IDOMNode> up = DOMParent(child.get());
      child = up && KeyOf(up.get()) != rootKey ? up : nullptr;
    }
  }
  return parents;
}

void Changed(const std::vector<rtl::ComPtr<IDOMNode>>& nodes) {
  std::vector<Key> keys;
  keys.reserve(nodes.size());
  for (const auto& node : nodes) keys.push_back(KeyOf(node.get()));
  Marks& marks = TheMarks();
  std::lock_guard<std::mutex> guard(marks.lock);
  for (Key key : keys) Mark(marks, key);
}

bool ChangedSince(Key key, uint64_t epoch) {
  Marks& marks = TheMarks();
  std::lock_guard<std::mutex> guard(marks.lock);
  if (epoch < marks.floor) return true;
  auto it = marks.changedAt.find(key);
  return it != marks.changedAt.end() && it->second > epoch;
}

ListEdit* CurrentEdit() { return tCurrentEdit; }

EditScope::EditScope(ListEdit& edit) : outer_(tCurrentEdit) { tCurrentEdit = &edit; }

EditScope::~EditScope() { tCurrentEdit = outer_; }

}  // namespace xmlsync
