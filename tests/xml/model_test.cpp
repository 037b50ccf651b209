// Random edit sequences over three documents, checking after every step that
// every list anyone can reach lists its owner's DOM children (or attributes)
// in DOM order, that every parent link names the DOM parent's wrapper or
// nothing, and that walking the lists ends. One kind of step is a plain
// walk that holds only the lists it is in, so that the layer lets go of
// what it made behind it: what anyone else holds must not change under it,
// nodes of a class with state of their own must stay, and walking again
// (or holding everything) must read the same; an edit through another
// reference may come in the middle of it. RapidCheck shrinks a failure to
// a short sequence and prints it with the seed that replays it
// (RC_PARAMS="seed=..." or the "reproduce" string it prints).
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <array>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "XmlTestUtil.h"
#include "tests/support/PlainWalk.h"
#include "xml/XMLConst.h"
#include "xml/XMLTreeSync.h"

namespace {

using namespace xmltest;

enum Kind : uint8_t {
  kNop, kTakeChildren, kTakeAttributes, kTakeItem, kTakeRelative, kAddChild, kInsert, kRemove, kReplace,
  kFragment, kSetAttribute, kAddAttributeNode, kSetDocumentElement, kRefresh, kUpdateMode, kHost, kReload,
  kRelease, kText, kClone, kCreate, kIndent, kDropDocument, kClear, kWalk, kKinds
};
constexpr const char* kKindNames[] = {
    "Nop", "TakeChildren", "TakeAttributes", "TakeItem", "TakeRelative", "AddChild", "Insert", "Remove",
    "Replace", "Fragment", "SetAttribute", "AddAttributeNode", "SetDocumentElement", "Refresh", "UpdateMode",
    "Host", "Reload", "Release", "Text", "Clone", "Create", "Indent", "DropDocument", "Clear", "Walk"};

// One step; its numbers pick documents, held nodes, held lists, names and
// positions (modulo what there is), so any sequence is valid.
struct Op {
  uint8_t kind = kNop;
  uint8_t a = 0, b = 0, c = 0, d = 0;
};

// Shown without the steps that shrinking turned into no-ops.
struct Sequence {
  std::vector<Op> ops;
};

void showValue(const Sequence& sequence, std::ostream& os) {
  for (size_t i = 0; i < sequence.ops.size(); ++i) {
    const Op& op = sequence.ops[i];
    if (op.kind % kKinds == kNop) continue;
    os << "\n  step " << i << ": " << kKindNames[op.kind % kKinds] << "(" << int(op.a) << ", " << int(op.b)
       << ", " << int(op.c) << ", " << int(op.d) << ")";
  }
}

constexpr std::array<const char*, 3> kTexts = {"<r><a/><b x='1'><c/>t</b></r>",
                                                "<s xmlns:p='urn:p'><p:d y='2'/><!--c--><e/></s>", "<t/>"};
const std::array<const char16_t*, 5> kNames = {u"a", u"b", u"x", u"p:d", u"y"};

// A node class with state of its own: the layer must keep its wrappers.
struct TTagged : TXMLNode {
  using TXMLNode::TXMLNode;
  XMLNODE_CLASS(TTagged)
  int tag = 0;
};

// Every node from start on as any reader walks a document (name, attributes
// with their text, a text element's text), holding only the lists it is in
// unless keepAll. before(k, node) comes before the k-th node. A list in
// update mode may list an ancestor of its owner: such a walk never ends,
// and is given up (as a refusal) after as many nodes as Check reads.
template <class F>
std::vector<WideString> Walk(ComPtr<IXMLNode> start, bool keepAll, F&& before) {
  std::vector<ComPtr<IXMLNode>> kept;
  std::vector<WideString> seen;
  int visits = 0;
  plainwalk::WalkNodes(std::move(start), [&](const ComPtr<IXMLNode>& node) {
    if (visits == 20000) throw std::length_error("the lists in update mode make a cycle");
    before(visits++, node);
    if (keepAll) kept.push_back(node);
    seen.push_back(node->GetNodeName());
    const bool hasAttributes = node->HasAttributeNodes();
    const ComPtr<IXMLNodeList> attributes = node->GetAttributeNodes();
    RC_ASSERT(hasAttributes == (attributes->GetCount() > 0));
    for (int32_t j = 0, n = attributes->GetCount(); j < n; ++j) {
      const ComPtr<IXMLNode> attribute = attributes->Get(j);
      seen.push_back(attribute->GetNodeName());
      // A list in update mode may list an element as an attribute: its
      // GetText would add a text child.
      seen.push_back(attribute->GetNodeType() == ntAttribute ? attribute->GetText() : u"?");
    }
    if (WideString text; node->ReadTextElement(text)) seen.push_back(u"#" + text);
  });
  return seen;
}

class Model {
 public:
  explicit Model(bool checkEachStep) : checkEachStep_(checkEachStep) {
    for (size_t i = 0; i < docs_.size(); ++i) Open(i);
  }
  ~Model() {
    for (TXMLDocLink* link : links_) link->Release();
  }

  // Lets go of everything; then no wrapper of any document may be left.
  // (A list left in update mode may hold what holds it, its owner say: a
  // cycle that only ending update mode breaks. Users end what they begin.)
  void Finish() {
    for (auto& list : lists_) EndUpdates(list);
    lists_.clear();
    nodes_.clear();
    for (auto& doc : docs_) doc = nullptr;
    owner_.reset();
    for (TXMLDocLink* link : links_) RC_ASSERT(link->Refs() == 1);
  }

  void Run(const Op& op) {
    // A step that only reads, and the check's own reading, must leave every
    // held node that stood in its parent's list there, and every held list
    // its owner handed out its owner's. (Letting go of a list may end its
    // update mode: then it follows the DOM again; a parent nobody held may
    // go: then the node has none.)
    const Kind kind = static_cast<Kind>(op.kind % kKinds);
    const bool endsUpdates = kind == kRelease && !(op.b % 2 && !nodes_.empty()) && !lists_.empty() &&
                             lists_[op.a % lists_.size()]->GetUpdateCount() != 0;
    const bool reads = kind <= kTakeRelative || (kind == kRelease && !endsUpdates) ||
                       (kind == kWalk && op.c % 2 == 0 && op.d % 2 == 0);
    const std::map<const void*, int> before = reads ? Observe() : std::map<const void*, int>();
    try {
      Step(op);
    } catch (const std::exception&) {
      // Refusals (DOM errors, bad positions, read-only...) are fine; the
      // invariant must hold after them too.
    }
    if (checkEachStep_) Check();
    if (reads)
      for (const auto& [object, shown] : Observe())
        if (auto it = before.find(object); it != before.end()) RC_ASSERT(it->second != 1 || shown != 0);
  }

  // Every reachable list equals the DOM; parent links are right.
  void Check() {
    std::set<IXMLNodeList*> seenLists;
    std::vector<ComPtr<IXMLNodeList>> lists;
    auto addList = [&](ComPtr<IXMLNodeList> list) {
      if (seenLists.insert(list.get()).second) lists.push_back(std::move(list));
    };
    std::vector<ComPtr<IXMLNode>> nodes = nodes_;
    for (auto& list : lists_) addList(list);
    // Everything reachable from the documents and held nodes, by the lists.
    std::vector<ComPtr<IXMLNode>> pending;
    for (auto& doc : docs_)
      if (doc && doc->GetActive()) pending.push_back(doc->GetDocumentNode());
    for (auto& node : nodes_) pending.push_back(node);
    std::set<IXMLNode*> seen;
    size_t steps = 0;
    while (!pending.empty()) {
      ComPtr<IXMLNode> node = pending.back();
      pending.pop_back();
      RC_ASSERT(++steps < 20000u);  // a walk over the lists ends
      if (!seen.insert(node.get()).second) continue;
      nodes.push_back(node);
      for (ComPtr<IXMLNodeList> list : {node->GetChildNodes(), node->GetAttributeNodes()}) {
        addList(list);
        for (int32_t i = 0, n = list->GetCount(); i < n; ++i) pending.push_back(list->Get(i));
      }
    }
    for (auto& list : lists) CheckList(list.get());
    for (auto& node : nodes) CheckParent(node);
  }

 private:
  static bool Same(const ComPtr<IDOMNode>& x, const ComPtr<IDOMNode>& y) {
    return xmlsync::KeyOf(x.get()) == xmlsync::KeyOf(y.get());
  }

  static void CheckList(IXMLNodeList* list) {
    TXMLNodeList* object = ListObjectOf(list);
    RC_ASSERT(object);
    if (list->GetUpdateCount() != 0 || object->Source() == TXMLNodeList::lsNone) return;
    RC_ASSERT(object->Owner());
    IDOMNode* owner = object->Owner()->DOMNode();
    std::vector<ComPtr<IDOMNode>> dom;
    int32_t length = 0;
    if (object->Source() == TXMLNodeList::lsAttributes) {
      ComPtr<IDOMNamedNodeMap> map;
      DOMCheck(owner->GetAttributes(map.put()), "GetAttributes");
      if (map) DOMCheck(map->GetLength(&length), "GetLength");
      for (int32_t i = 0; i < length; ++i) DOMCheck(map->Item(i, dom.emplace_back().put()), "Item");
    } else {
      ComPtr<IDOMNodeList> children;
      DOMCheck(owner->GetChildNodes(children.put()), "GetChildNodes");
      DOMCheck(children->GetLength(&length), "GetLength");
      for (int32_t i = 0; i < length; ++i) DOMCheck(children->Item(i, dom.emplace_back().put()), "Item");
    }
    RC_ASSERT(list->GetCount() == length);
    for (int32_t i = 0; i < length; ++i)
      RC_ASSERT(Same(list->Get(i)->GetDOMNode(), dom[static_cast<size_t>(i)]));
  }

  static void CheckParent(const ComPtr<IXMLNode>& node) {
    ComPtr<IXMLNode> parent = node->GetParentNode();
    if (!parent) return;
    ComPtr<IDOMNode> domParent;
    DOMCheck(node->GetDOMNode()->GetParentNode(domParent.put()), "GetParentNode");
    RC_ASSERT(Same(parent->GetDOMNode(), domParent));
    size_t depth = 0;
    for (ComPtr<IXMLNode> up = parent; up; up = up->GetParentNode()) RC_ASSERT(++depth < 1000u);
  }

  template <class T>
  static ComPtr<T> Pick(const std::vector<ComPtr<T>>& pool, uint8_t i) {
    return pool.empty() ? nullptr : pool[i % pool.size()];
  }
  template <class T>
  static void Keep(std::vector<ComPtr<T>>& pool, ComPtr<T> item, uint8_t slot) {
    if (!item) return;
    if (pool.size() < 48) {
      pool.push_back(std::move(item));
      return;
    }
    if constexpr (std::is_same_v<T, IXMLNodeList>) EndUpdates(pool[slot % pool.size()]);
    pool[slot % pool.size()] = std::move(item);
  }

  void Open(size_t i) {
    if (i == 2) {
      // One document is owned by a component, which frees it at once.
      owner_ = std::make_unique<OwnerComponent>();
      auto* doc = new TXMLDocument(owner_.get());
      doc->SetDOMVendor(LookupVendor("Xerces XML"));
      docs_[i] = ComPtr<IXMLDocumentIntf>(doc);
    } else {
      docs_[i] = NewDoc();
    }
    docs_[i]->LoadFromXML(W(kTexts[i]));
    links_.push_back(Inst(docs_[i])->DocLink());
    links_.back()->AddRef();
  }

  static void EndUpdates(const ComPtr<IXMLNodeList>& list) {
    while (list->GetUpdateCount() > 0) list->EndUpdate();
    while (list->GetUpdateCount() < 0) list->BeginUpdate();
  }

  ComPtr<IXMLDocumentIntf>& Doc(uint8_t i) {
    ComPtr<IXMLDocumentIntf>& doc = docs_[i % docs_.size()];
    if (!doc) Open(i % docs_.size());
    return doc;
  }
  ComPtr<IXMLNode> Node(uint8_t i) { return Pick(nodes_, i); }
  ComPtr<IXMLNodeList> List(uint8_t i) { return Pick(lists_, i); }
  static int32_t Position(const ComPtr<IXMLNodeList>& list, uint8_t i) {
    return i % 4 == 0 ? -1 : static_cast<int32_t>(i % (list->GetCount() + 1));
  }

  void Step(const Op& op) {
    const uint8_t a = op.a, b = op.b, c = op.c, d = op.d;
    switch (op.kind % kKinds) {
      case kNop:
        break;
      case kTakeChildren:
        if (auto n = Node(a)) Keep(lists_, n->GetChildNodes(), b);
        else Keep(lists_, Doc(a)->GetChildNodes(), b);
        break;
      case kTakeAttributes:
        if (auto n = Node(a)) Keep(lists_, n->GetAttributeNodes(), b);
        break;
      case kTakeItem:
        if (auto l = List(a); l && l->GetCount() > 0) Keep(nodes_, l->Get(b % l->GetCount()), c);
        break;
      case kTakeRelative: {
        auto n = Node(a);
        if (!n || b % 4 == 3) Keep(nodes_, b % 2 ? Doc(c)->GetDocumentElement() : Doc(c)->GetDocumentNode(), d);
        else Keep(nodes_, b % 4 == 0 ? n->GetParentNode() : b % 4 == 1 ? n->NextSibling() : n->PreviousSibling(), d);
        break;
      }
      case kAddChild:
        if (auto n = Node(a)) Keep(nodes_, n->AddChild(kNames[b % kNames.size()], c % 3 ? -1 : d % 3), d);
        break;
      case kInsert:
        if (auto l = List(a); l && Node(c)) l->Insert(Position(l, b), Node(c));
        break;
      case kRemove:
        if (auto l = List(a)) {
          if (d % 2 && l->GetCount() > 0) l->Delete(b % l->GetCount());
          else if (Node(c)) l->Remove(Node(c));
        }
        break;
      case kReplace:
        if (auto l = List(a); l && Node(c))
          l->ReplaceNode(l->GetCount() > 0 && d % 2 ? l->Get(b % l->GetCount()) : Node(b), Node(c));
        break;
      case kFragment: {
        ComPtr<IXMLNode> fragment = Doc(a)->CreateNode(u"", ntDocumentFragment);
        for (int i = 0; i < 1 + b % 3; ++i) fragment->GetChildNodes()->Add(Doc(a)->CreateElement(u"f", u""));
        Keep(lists_, fragment->GetChildNodes(), d);
        if (auto l = List(c)) l->Insert(Position(l, d), fragment);
        break;
      }
      case kSetAttribute:
        if (auto n = Node(a))
          n->SetAttribute(kNames[b % kNames.size()], c % 3 ? OleVariant(WideString(u"v")) : OleVariant::Null());
        break;
      case kAddAttributeNode:
        if (auto n = Node(a)) n->GetAttributeNodes()->Add(Doc(c)->CreateNode(kNames[b % kNames.size()], ntAttribute));
        break;
      case kSetDocumentElement:
        if (auto n = Node(a)) Doc(b)->SetDocumentElement(n);
        break;
      case kRefresh:
        if (auto n = Node(a)) {
          if (b % 3 == 0) n->Resync();
          else if (b % 3 == 1) n->Normalize();
          else
            n.query<IXMLNodeAccess>()->RegisterChildNode(
                kNames[c % kNames.size()],
                c % 3 == 0 ? nullptr : c % 3 == 1 ? NodeClassOf<TXMLNode>() : NodeClassOf<TTagged>());
        }
        break;
      case kUpdateMode:
        if (auto l = List(a)) {
          if (b % 2 && l->GetUpdateCount() < 2) l->BeginUpdate();
          else if (!(b % 2) && l->GetUpdateCount() > -1) l->EndUpdate();
        }
        break;
      case kHost:
        if (auto n = Node(a))
          Keep(nodes_, n.query<IXMLNodeAccess>()->CreateHostedNode(NodeClassOf<TXMLNode>(), IXMLNode::IID, u"", u""), b);
        break;
      case kReload: {
        auto& doc = Doc(a);
        if (b % 3 == 0) doc->SetActive(false);
        else if (b % 3 == 1) doc->LoadFromXML(W(kTexts[c % kTexts.size()]));
        else doc->SetActive(true);
        break;
      }
      case kRelease:
        if (b % 2 && !nodes_.empty()) nodes_.erase(nodes_.begin() + a % nodes_.size());
        else if (!lists_.empty()) {
          EndUpdates(lists_[a % lists_.size()]);
          lists_.erase(lists_.begin() + a % lists_.size());
        }
        break;
      case kText:
        if (auto n = Node(a)) {
          if (b % 2) n->SetText(u"t");
          else n->GetText();
        }
        break;
      case kClone:
        // Deep clones only of small subtrees: clone-and-insert must not
        // double the documents at every step.
        if (auto n = Node(a)) Keep(nodes_, n->CloneNode(b % 2 && n->GetXML().size() < 200), c);
        break;
      case kCreate:
        Keep(nodes_, b % 3 ? Doc(a)->CreateElement(kNames[c % kNames.size()], u"") : Doc(a)->CreateNode(u"w", ntText), d);
        break;
      case kIndent: {
        TXMLDocOptions options = Doc(a)->GetOptions();
        options = options.Contains(doNodeAutoIndent) ? options - TXMLDocOptions{doNodeAutoIndent}
                                                      : options + TXMLDocOptions{doNodeAutoIndent};
        Doc(a)->SetOptions(options);
        break;
      }
      case kDropDocument:
        docs_[a % docs_.size()] = nullptr;
        if (a % 3 == 2) owner_.reset();  // the owner frees its document
        break;
      case kClear:
        if (auto l = List(a)) l->Clear();
        break;
      case kWalk:
        WalkStep(op);
        break;
    }
  }

  // What the held objects show: whether each held node stands in its
  // parent's child list (-1: it has no parent), and whether each held list
  // is the one its owner hands out.
  std::map<const void*, int> Observe() {
    std::map<const void*, int> shown;
    for (auto& node : nodes_) {
      ComPtr<IXMLNode> parent = node->GetParentNode();
      shown[node.get()] = parent ? parent->GetChildNodes()->IndexOf(node) >= 0 : -1;
    }
    for (auto& list : lists_) {
      TXMLNodeList* object = ListObjectOf(list.get());
      TXMLNode* owner = object->Owner();
      const bool follows = owner && object->Source() != TXMLNodeList::lsNone && list->GetUpdateCount() == 0;
      shown[list.get()] = follows && (object->Source() == TXMLNodeList::lsChildren ? owner->GetChildNodes()
                                                                                 : owner->GetAttributeNodes()) == list;
    }
    return shown;
  }

  ComPtr<IXMLNode> WalkStart(const Op& op) {
    ComPtr<IXMLNode> start = op.b % 2 ? Node(op.a) : nullptr;
    if (!start && Doc(op.a)->GetActive()) start = Doc(op.a)->GetDocumentElement();
    return start;
  }

  void WalkStep(const Op& op) {
    ComPtr<IXMLNode> start = WalkStart(op);
    if (!start) return;
    if (op.c % 2) {
      // Another reference edits the document (or another) while the walk
      // goes; the checks after the step see what came of it.
      const Op edit{static_cast<uint8_t>((op.c / 2) % kWalk), op.d, op.a, op.b, op.c};
      Walk(std::move(start), false, [&](int k, const ComPtr<IXMLNode>&) {
        if (k == op.d % 8) Step(edit);
      });
      return;
    }
    // Children of a child nobody holds are made tagged (registering drops
    // that child's list): the first walk tags them, and they must show
    // their tags again.
    if (op.d % 2)
      for (int32_t i = 0, n = start->GetChildNodes()->GetCount(); i < n; ++i)
        if (ComPtr<IXMLNode> child = start->GetChildNodes()->Get(i); child->HasChildNodes()) {
          child.query<IXMLNodeAccess>()->RegisterChildNode(child->GetChildNodes()->Get(0)->GetNodeName(),
                                                            NodeClassOf<TTagged>());
          break;
        }
    int next = 0;
    std::vector<int> tags[2];
    const auto tagger = [&](std::vector<int>& into) {
      return [&next, to = &into](int, const ComPtr<IXMLNode>& node) {
        if (auto* tagged = dynamic_cast<TTagged*>(NodeObjectOf(node.get()))) {
          if (!tagged->tag) tagged->tag = ++next;
          to->push_back(tagged->tag);
        }
      };
    };
    const std::vector<WideString> first = Walk(start, false, tagger(tags[0]));
    const std::vector<WideString> again = Walk(start, false, tagger(tags[1]));
    start = nullptr;
    RC_ASSERT(again == first);
    RC_ASSERT(tags[1] == tags[0]);
    RC_ASSERT(Walk(WalkStart(op), true, [](int, const ComPtr<IXMLNode>&) {}) == first);
  }

  bool checkEachStep_;
  std::vector<TXMLDocLink*> links_;  // one reference each, to see who is left
  std::unique_ptr<OwnerComponent> owner_;
  std::array<ComPtr<IXMLDocumentIntf>, 3> docs_;
  std::vector<ComPtr<IXMLNode>> nodes_;
  std::vector<ComPtr<IXMLNodeList>> lists_;
};

Sequence AnySequence() {
  // Steps are drawn at full size: every kind of step equally likely from the
  // first sequence on.
  const auto genOp = rc::gen::resize(100, rc::gen::build<Op>(
      rc::gen::set(&Op::kind, rc::gen::inRange<uint8_t>(0, kKinds)), rc::gen::set(&Op::a, rc::gen::arbitrary<uint8_t>()),
      rc::gen::set(&Op::b, rc::gen::arbitrary<uint8_t>()), rc::gen::set(&Op::c, rc::gen::arbitrary<uint8_t>()),
      rc::gen::set(&Op::d, rc::gen::arbitrary<uint8_t>())));
  return *rc::gen::map(rc::gen::mapcat(rc::gen::inRange(50, 90), [genOp](int count) {
    return rc::gen::container<std::vector<Op>>(static_cast<size_t>(count), genOp);
  }), [](std::vector<Op> ops) { return Sequence{std::move(ops)}; });
}

RC_GTEST_PROP(ListsFollowTheDOM, AfterEveryStepOfARandomEditSequence, ()) {
  const Sequence sequence = AnySequence();
  Model model(true);
  model.Check();
  for (const Op& op : sequence.ops) model.Run(op);
  model.Finish();
}

// The same steps without looking in between: lists nobody used since the
// DOM changed under them must not keep anything alive either.
// Cheaper than checking every step, so four sequences a case.
RC_GTEST_PROP(ListsFollowTheDOM, NothingOutlivesItsHoldersUnchecked, ()) {
  for (int i = 0; i < 4; ++i) {
    const Sequence sequence = AnySequence();
    Model model(false);
    for (const Op& op : sequence.ops) model.Run(op);
    model.Finish();
  }
}

}  // namespace
