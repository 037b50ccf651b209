// Walks through the public interfaces, interleaved with holds, releases and
// edits through held references, on generated documents whose elements are
// a node class with state of its own. After every step: every held node is
// still the very wrapper its parent's list gives, up to the document
// node; every held child list is still its owner's; every held list and a
// fresh walk show what the DOM holds; every wrapper given state is still the
// one a fresh walk meets. At the end, with nothing held and no state left,
// a walk leaves no wrapper but the document element's behind.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "XmlTestUtil.h"
#include "tests/support/SavedTree.h"
#include "xml/XMLTreeSync.h"

namespace {

using namespace xmltest;

// An element wrapper with a field of its own; it is state only once set.
class TTaggedNode : public TXMLNode {
 public:
  XMLNODE_CLASS(TTaggedNode)
  TTaggedNode(const ComPtr<IDOMNode>& domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc)
      : TXMLNode(domNode, parentNode, ownerDoc) {
    ++live;
  }
  ~TTaggedNode() override { --live; }
  bool KeepsState() const override { return tag != 0 || KeepsLayerState(); }

  int tag = 0;
  static inline int live = 0;
};

class TTaggingDocument : public TXMLDocument {
 public:
  TTaggingDocument() : TXMLDocument(nullptr) {}
  TXMLNodeClass ChooseNodeClass(IDOMNode* domNode) override {
    return DOMNodeType(domNode) == ntElement ? NodeClassOf<TTaggedNode>() : nullptr;
  }
};

TTaggedNode* Tagged(const ComPtr<IXMLNode>& node) { return dynamic_cast<TTaggedNode*>(NodeObjectOf(node.get())); }

const void* Key(const ComPtr<IXMLNode>& node) { return xmlsync::KeyOf(node->GetDOMNode().get()); }

// A nested document of elements a, b, c with attributes and text.
std::string MakeText(uint32_t seed) {
  std::minstd_rand random(seed);
  std::string text;
  const auto element = [&](auto& self, int depth) -> void {
    const char name = static_cast<char>('a' + random() % 3);
    text += '<';
    text += name;
    for (uint32_t i = 0, n = random() % 3; i < n; ++i) text += " k" + std::to_string(i) + "='v" + std::to_string(random() % 9) + "'";
    text += '>';
    for (uint32_t i = 0, n = depth < 4 ? random() % 4 : 0; i < n; ++i) {
      if (random() % 3 == 0) text += "t" + std::to_string(random() % 9);
      else self(self, depth + 1);
    }
    text += "</";
    text += name;
    text += '>';
  };
  element(element, 0);
  return text;
}

// What the DOM itself holds below node: names, attributes (their text
// children too), values.
std::string DOMText(IDOMNode* node) {
  std::string out = N(DOMNodeName(node)) + "=" + N(savedtree::detail::InfoOf(node).value) + "[";
  ComPtr<IDOMNamedNodeMap> map;
  DOMCheck(node->GetAttributes(map.put()), "GetAttributes");
  int32_t length = 0;
  if (map) DOMCheck(map->GetLength(&length), "GetLength");
  for (int32_t i = 0; i < length; ++i) {
    ComPtr<IDOMNode> attr;
    DOMCheck(map->Item(i, attr.put()), "Item");
    out += DOMText(attr.get());
  }
  out += "](";
  for (const ComPtr<IDOMNode>& child : savedtree::detail::Children(node)) out += DOMText(child.get());
  return out + ")";
}

// What a wrapper met on a walk carried: its tag and read-only flag.
using Met = std::map<const void*, std::pair<int, bool>>;

// The same through the layer's lists, noting what each tagged wrapper met
// carried.
std::string LayerText(const ComPtr<IXMLNode>& node, Met* met) {
  if (TTaggedNode* tagged = Tagged(node); tagged && met) (*met)[Key(node)] = {tagged->tag, tagged->GetReadOnly()};
  std::string out = N(node->GetNodeName()) + "=" + (node->GetNodeType() == ntElement ? "" : N(node->GetText())) + "[";
  const ComPtr<IXMLNodeList> attributes = node->GetAttributeNodes();
  for (int32_t i = 0; i < attributes->GetCount(); ++i) out += LayerText(attributes->Get(i), met);
  out += "](";
  const ComPtr<IXMLNodeList> children = node->GetChildNodes();
  for (int32_t i = 0; i < children->GetCount(); ++i) out += LayerText(children->Get(i), met);
  return out + ")";
}

std::string Names(const ComPtr<IXMLNodeList>& list) {
  std::string out;
  for (int32_t i = 0; i < list->GetCount(); ++i) out += N(list->Get(i)->GetNodeName()) + "|";
  return out;
}

// A walk one node at a time that holds only the lists it is going through
// and the node it stands on, as a plain reader does.
class Walk {
 public:
  explicit Walk(ComPtr<IXMLNode> root) { Visit(std::move(root)); }
  const ComPtr<IXMLNode>& Current() const { return current_; }
  bool Next() {
    current_ = nullptr;
    while (!stack_.empty() && stack_.back().next >= stack_.back().list->GetCount()) stack_.pop_back();
    if (stack_.empty()) return false;
    Frame& top = stack_.back();
    Visit(top.list->Get(top.next++));
    return true;
  }

 private:
  struct Frame {
    ComPtr<IXMLNodeList> list;
    int32_t next = 0;
  };
  void Visit(ComPtr<IXMLNode> node) {
    current_ = std::move(node);
    const ComPtr<IXMLNodeList> attributes = current_->GetAttributeNodes();
    for (int32_t i = 0; i < attributes->GetCount(); ++i) attributes->Get(i)->GetText();
    current_->GetNodeName();
    if (current_->HasChildNodes()) stack_.push_back({current_->GetChildNodes(), 0});
  }
  std::vector<Frame> stack_;
  ComPtr<IXMLNode> current_;
};

enum Kind : uint8_t { kStep, kHoldNode, kHoldChildren, kHoldAttributes, kHoldItem, kRelease, kTag, kReadOnly,
                      kAddChild, kSetAttribute, kDelete, kRestart, kKinds };

struct Op {
  uint8_t kind = kStep, a = 0, b = 0;
};

struct Held {
  ComPtr<IXMLNode> node;
  ComPtr<IXMLNodeList> list;
  bool children = false;  // list is node's child list
};

class Model {
 public:
  explicit Model(uint32_t seed) {
    auto* doc = new TTaggingDocument();
    doc_ = ComPtr<IXMLDocumentIntf>(doc);
    doc->SetDOMVendor(LookupVendor("Xerces XML"));
    doc_->LoadFromXML(W(MakeText(seed)));
    walk_ = std::make_unique<Walk>(doc_->GetDocumentElement());
  }

  void Run(const Op& op) {
    const ComPtr<IXMLNode> at = walk_ ? walk_->Current() : nullptr;
    Held* held = held_.empty() ? nullptr : &held_[op.a % held_.size()];
    try {
      switch (op.kind % kKinds) {
        case kStep:
          for (int i = 0; walk_ && i < 1 + op.b % 8; ++i)
            if (!walk_->Next()) walk_ = nullptr;
          break;
        case kHoldNode:
          if (at) held_.push_back({at, nullptr, false});
          break;
        case kHoldChildren:
          if (at) held_.push_back({at, at->GetChildNodes(), true});
          break;
        case kHoldAttributes:
          if (at) held_.push_back({at, at->GetAttributeNodes(), false});
          break;
        case kHoldItem:
          // A node nobody walked: it caches no list of its own.
          if (held && held->list && held->list->GetCount() > 0)
            held_.push_back({held->list->Get(op.b % held->list->GetCount()), nullptr, false});
          break;
        case kRelease:
          if (held) held_.erase(held_.begin() + op.a % held_.size());
          break;
        case kTag:
          if (TTaggedNode* tagged = held ? Tagged(held->node) : nullptr) tags_[Key(held->node)] = tagged->tag = 1 + op.b;
          break;
        case kReadOnly:
          if (held && held->node->GetNodeType() == ntElement) {
            held->node->SetReadOnly(true);
            tags_.try_emplace(Key(held->node), 0);
          }
          break;
        case kAddChild:
          if (held && held->node->GetNodeType() == ntElement) held->node->AddChild(op.b % 2 ? u"a" : u"c");
          break;
        case kSetAttribute:
          if (held && held->node->GetNodeType() == ntElement)
            held->node->SetAttribute(u"k" + W(std::to_string(op.b % 3)), OleVariant(WideString(u"w")));
          break;
        case kDelete:
          if (held && held->list && held->list->GetCount() > 0) held->list->Delete(op.b % held->list->GetCount());
          break;
        case kRestart:
          walk_ = std::make_unique<Walk>(doc_->GetDocumentElement());
          break;
      }
    } catch (const std::exception&) {
      // A read-only node refuses edits; what follows must hold all the same.
    }
    Check();
  }

  void Check() {
    const ComPtr<IXMLNode> root = doc_->GetDocumentElement();
    for (const Held& held : held_) {
      if (held.list) {
        if (held.children) RC_ASSERT(held.node->GetChildNodes().get() == held.list.get());
        const ComPtr<IXMLNodeList> now = held.children ? held.node->GetChildNodes() : held.node->GetAttributeNodes();
        RC_ASSERT(Names(held.list) == Names(now));
      }
      if (!Attached(held.node)) continue;
      // The very wrapper, at every level up to the document node.
      ComPtr<IXMLNode> node = held.node;
      for (ComPtr<IXMLNode> parent = node->GetParentNode(); parent; parent = node->GetParentNode()) {
        RC_ASSERT(parent->GetChildNodes()->IndexOf(node) >= 0);
        node = parent;
      }
      RC_ASSERT(node.get() == doc_->GetDocumentNode().get());
    }
    Met met;
    RC_ASSERT(LayerText(root, &met) == DOMText(root->GetDOMNode().get()));
    for (const auto& [key, tag] : tags_) {
      const auto found = met.find(key);
      if (found == met.end()) continue;  // deleted from the tree
      RC_ASSERT(found->second.first == tag);
      RC_ASSERT(found->second.second || tag != 0);
    }
  }

  // Lets go of everything and takes all state away: then a walk keeps no
  // wrapper but the one of the document element, held by the document.
  void Finish() {
    held_.clear();
    walk_ = nullptr;
    for (Walk walk(doc_->GetDocumentElement());;) {
      if (TTaggedNode* tagged = Tagged(walk.Current())) {
        tagged->tag = 0;
        tagged->SetReadOnly(false);
      }
      if (!walk.Next()) break;
    }
    for (Walk walk(doc_->GetDocumentElement()); walk.Next();) {
    }
    RC_ASSERT(TTaggedNode::live == 1);
  }

 private:
  // Whether the DOM node is still in the document's tree.
  bool Attached(const ComPtr<IXMLNode>& node) const {
    if (node->GetNodeType() != ntElement) return false;
    ComPtr<IDOMNode> up = node->GetDOMNode();
    while (up && DOMNodeType(up.get()) != ntDocument) up = DOMParent(up.get());
    return up != nullptr;
  }

  ComPtr<IXMLDocumentIntf> doc_;
  std::unique_ptr<Walk> walk_;
  std::vector<Held> held_;
  std::map<const void*, int> tags_;  // tag given (0: read-only set) per DOM node
};

RC_GTEST_PROP(WalkCaching, HeldAndTaggedWrappersStayAndTheRestGoes, ()) {
  const uint32_t seed = *rc::gen::arbitrary<uint32_t>();
  const auto ops = *rc::gen::container<std::vector<Op>>(rc::gen::build<Op>(
      rc::gen::set(&Op::kind, rc::gen::inRange<uint8_t>(0, kKinds)), rc::gen::set(&Op::a, rc::gen::arbitrary<uint8_t>()),
      rc::gen::set(&Op::b, rc::gen::arbitrary<uint8_t>())));
  {
    Model model(seed);
    for (const Op& op : ops) model.Run(op);
    model.Finish();
  }
  RC_ASSERT(TTaggedNode::live == 0);
}

}  // namespace

namespace {

// The shortest way to a node held while its parent is let go: taken from a
// list that is then released, its owner held by nothing but its own list.
TEST(WalkCaching, ANodeTakenFromAReleasedListStaysListed) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a><b/>t</a></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes()->Get(0)->GetChildNodes();
  const ComPtr<IXMLNode> b = list->Get(0);
  list = nullptr;
  const ComPtr<IXMLNode> a = b->GetParentNode();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetChildNodes()->IndexOf(b), 0);
  EXPECT_EQ(b->NextSibling()->GetText(), u"t");
}

}  // namespace
