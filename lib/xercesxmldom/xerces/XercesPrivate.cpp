#include "lib/xercesxmldom/xerces/XercesPrivate.h"

#include <algorithm>

#include <xercesc/dom/impl/DOMAttrImpl.hpp>
#include <xercesc/dom/impl/DOMAttrMapImpl.hpp>
#include <xercesc/dom/impl/DOMCDATASectionImpl.hpp>
#include <xercesc/dom/impl/DOMCasts.hpp>
#include <xercesc/dom/impl/DOMCommentImpl.hpp>
#include <xercesc/dom/impl/DOMDocumentImpl.hpp>
#include <xercesc/dom/impl/DOMDocumentTypeImpl.hpp>
#include <xercesc/dom/impl/DOMElementImpl.hpp>
#include <xercesc/dom/impl/DOMParentNode.hpp>
#include <xercesc/dom/impl/DOMProcessingInstructionImpl.hpp>
#include <xercesc/dom/impl/DOMStringPool.hpp>
#include <xercesc/dom/impl/DOMTextImpl.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/util/XercesVersion.hpp>

// The fields and classes reached below are those of this version; another
// may lay them out differently. Check each use against it before changing
// the version here and in CMakeLists.txt.
static_assert(XERCES_VERSION_MAJOR == 3 && XERCES_VERSION_MINOR == 2 && XERCES_VERSION_REVISION == 4,
              "XercesPrivate.cpp is written against Xerces-C++ 3.2.4");

namespace xdom::xp {

namespace {

// The node and child parts of a node the builder appends, found by its
// type: Xerces finds them with a dynamic_cast each, several per append.
// Null for a type the builder does not append.
struct ChildParts {
  xc::DOMNodeImpl* node = nullptr;
  xc::DOMChildNode* child = nullptr;
};

template <class Impl>
ChildParts PartsAs(xc::DOMNode* n) {
  Impl* impl = static_cast<Impl*>(n);
  return {static_cast<xc::HasDOMNodeImpl*>(impl)->getNodeImpl(), static_cast<xc::HasDOMChildImpl*>(impl)->getChildNodeImpl()};
}

ChildParts PartsOf(xc::DOMNode* n) {
  switch (n->getNodeType()) {
    case xc::DOMNode::ELEMENT_NODE:
      return PartsAs<xc::DOMElementImpl>(n);
    case xc::DOMNode::TEXT_NODE:
      return PartsAs<xc::DOMTextImpl>(n);
    case xc::DOMNode::CDATA_SECTION_NODE:
      return PartsAs<xc::DOMCDATASectionImpl>(n);
    case xc::DOMNode::COMMENT_NODE:
      return PartsAs<xc::DOMCommentImpl>(n);
    case xc::DOMNode::PROCESSING_INSTRUCTION_NODE:
      return PartsAs<xc::DOMProcessingInstructionImpl>(n);
    default:
      return {};
  }
}

// What DOMParentNode::appendChildFast does, with the parts found by type:
// the first child's previous sibling is the last child.
void AppendChild(xc::DOMParentNode& parent, xc::DOMNode* child) {
  const ChildParts c = PartsOf(child);
  xc::DOMNode* first = parent.fFirstChild;
  const ChildParts f = first ? PartsOf(first) : ChildParts{};
  xc::DOMNode* last = f.node ? f.child->previousSibling : nullptr;
  const ChildParts l = last ? PartsOf(last) : ChildParts{};
  if (!c.node || (first && (!f.node || !l.node))) {
    parent.appendChildFast(child);
    return;
  }
  c.node->fOwnerNode = parent.fContainingNode;
  c.node->isOwned(true);
  if (!first) {
    parent.fFirstChild = child;
    c.node->isFirstChild(true);
    c.child->previousSibling = child;
    return;
  }
  l.child->nextSibling = child;
  c.child->previousSibling = last;
  f.child->previousSibling = child;
}

constexpr XMLSize_t kNamePoolSize = 32749;

// The pool's fields are protected: reached through member pointers taken
// in a derived class (a cast of the object to a class it is not would be
// undefined).
struct NamePoolAccess : xc::DOMDocumentImpl {
  static auto Table() { return &NamePoolAccess::fNameTable; }
  static auto Size() { return &NamePoolAccess::fNameTableSize; }
};

struct SubsetAccess : xc::DOMDocumentTypeImpl {
  static auto Setter() { return &SubsetAccess::setInternalSubset; }
};

}  // namespace

void AppendNew(xc::DOMNode* parent, xc::DOMNode* child) {
  switch (parent->getNodeType()) {
    case xc::DOMNode::ELEMENT_NODE:
      AppendChild(static_cast<xc::DOMElementImpl*>(parent)->fParent, child);
      break;
    case xc::DOMNode::ATTRIBUTE_NODE:
      AppendChild(static_cast<xc::DOMAttrImpl*>(parent)->fParent, child);
      break;
    default:
      parent->appendChild(child);
  }
}

void WidenNamePool(xc::DOMDocument* document) {
  auto* doc = static_cast<xc::DOMDocumentImpl*>(document);
  xc::DOMStringPoolEntry**& table = doc->*NamePoolAccess::Table();
  XMLSize_t& size = doc->*NamePoolAccess::Size();
  if (size >= kNamePoolSize) return;
  auto** wide = static_cast<xc::DOMStringPoolEntry**>(doc->allocate(sizeof(xc::DOMStringPoolEntry*) * kNamePoolSize));
  std::fill(wide, wide + kNamePoolSize, nullptr);
  for (XMLSize_t i = 0; i < size; ++i) {
    for (xc::DOMStringPoolEntry* e = table[i]; e;) {
      xc::DOMStringPoolEntry* next = e->fNext;
      XMLSize_t at = xc::XMLString::hash(e->fString, kNamePoolSize);
      e->fNext = wide[at];
      wide[at] = e;
      e = next;
    }
  }
  table = wide;
  size = kNamePoolSize;
}

void SetNotSpecified(xc::DOMAttr* attr) { static_cast<xc::DOMAttrImpl*>(attr)->setSpecified(false); }
void RemoveWithoutDefault(xc::DOMElement* element, xc::DOMAttr* attr) {
  auto* map = static_cast<xc::DOMAttrMapImpl*>(element->getAttributes());
  const bool defaults = map->hasDefaults();
  map->hasDefaults(false);
  element->removeAttributeNode(attr);
  map->hasDefaults(defaults);
}
void AddToIdTable(xc::DOMAttr* attr) { static_cast<xc::DOMAttrImpl*>(attr)->addAttrToIDNodeMap(); }

int ChangeCount(const xc::DOMDocument* doc) { return static_cast<const xc::DOMDocumentImpl*>(doc)->changes(); }
void CountChange(xc::DOMDocument* doc) { static_cast<xc::DOMDocumentImpl*>(doc)->changed(); }

void ClearFirstChildMark(xc::DOMNode* copy) { xc::castToNodeImpl(copy)->isFirstChild(false); }

void SetInternalSubset(xc::DOMDocumentType* type, const XMLCh* subset) {
  (static_cast<xc::DOMDocumentTypeImpl*>(type)->*SubsetAccess::Setter())(subset);
}

size_t ReaderSize() { return sizeof(xc::XMLReader); }

const xc::XMLEntityDecl* CurrentEntity(const xc::XMLScanner* scanner) {
  return scanner->getReaderMgr()->getCurrentEntity();
}
const xc::Locator* PlaceOf(const xc::XMLScanner* scanner) { return scanner->getLocator(); }
const XMLCh* NamespaceOfId(const xc::XMLScanner* scanner, unsigned int id) {
  return id != scanner->getEmptyNamespaceId() ? scanner->getURIText(id) : nullptr;
}

}  // namespace xdom::xp
