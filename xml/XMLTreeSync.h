// How the layer's cached lists stay equal to the DOM (layer-internal).
//
// Every change the layer makes to the DOM's tree is recorded here against
// the DOM node whose children or attributes changed, and advances one tree
// epoch. A list remembers the epoch at which it last matched the DOM; before
// any use it asks whether its owner changed since, and rebuilds from the DOM
// if so. A list is therefore never patched into a state nobody checked: it
// is patched only for its own edit when nothing else happened meanwhile, and
// otherwise rebuilt.
//
// DOM nodes are told apart by identity: the DOM library hands out one object
// per node while any reference to it lives, so the IInterface pointer of a
// reference names its node.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "dom/xmldom.h"

namespace xmlsync {

using Key = const void*;

// The identity of a DOM node; null for null.
Key KeyOf(IDOMNode* node);

namespace detail {
extern std::atomic<uint64_t> gEpoch;
}  // namespace detail

// The current tree epoch; it only grows. Inline: every list read asks it.
inline uint64_t Epoch() { return detail::gEpoch.load(std::memory_order_relaxed); }

// Records that the children or attributes of node changed.
void Changed(IDOMNode* node);
void Changed(const std::vector<rtl::ComPtr<IDOMNode>>& nodes);
// Root and every node below it that has children.
std::vector<rtl::ComPtr<IDOMNode>> ParentsBelow(IDOMNode* root);

// Runs call, a DOM call that changes the children or attributes of the
// given nodes (nulls are skipped), and records the change whether or not
// the call fails part-way (a fragment may move some children and refuse
// the rest).
template <class F>
void ChangeTree(std::initializer_list<IDOMNode*> changed, F&& call) {
  struct Record {
    std::initializer_list<IDOMNode*> nodes;
    ~Record() {
      for (IDOMNode* node : nodes)
        if (node) Changed(node);
    }
  } record{changed};
  call();
}

// True when the node named by key may have changed after epoch.
bool ChangedSince(Key key, uint64_t epoch);

// The DOM insertion or removal one list edit asked of its owner, as the
// owner reports it back: the epochs just before and just after the DOM call,
// and whether the node moved within the owner's own children. A list patches
// itself only when no other change came in between.
struct ListEdit {
  const void* owner = nullptr;  // the node the editing list notifies
  bool applied = false;        // the owner changed the DOM
  bool live = true;            // the list was not in update mode
  uint64_t before = 0;
  uint64_t after = 0;
  bool movedWithin = false;
};

// The edit of the innermost list operation on this thread; null outside one.
ListEdit* CurrentEdit();

// Makes edit the current one for its lifetime (nested edits restore the
// outer one).
class EditScope {
 public:
  explicit EditScope(ListEdit& edit);
  ~EditScope();
  EditScope(const EditScope&) = delete;
  EditScope& operator=(const EditScope&) = delete;

 private:
  ListEdit* outer_;
};

}  // namespace xmlsync
