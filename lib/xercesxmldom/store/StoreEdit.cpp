#include "lib/xercesxmldom/store/StoreEdit.h"

#include <utility>
#include <vector>

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "lib/xercesxmldom/nodes/Nodes.h"
#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom::sedit {

namespace {

// Thrown as Xerces throws it, so the message is Xerces' own.
[[noreturn]] void Refuse(short code) { throw xc::DOMException(code, 0, xc::XMLPlatformUtils::fgMemoryManager); }

// White space that Xerces lets stand under the document: not empty.
bool AllSpace(std::u16string_view text) {
  if (text.empty()) return false;
  for (char16_t c : text)
    if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') return false;
  return true;
}

// Whether parent may hold c (in place of old, kNone for none): what the
// store has, but attributes, documents and document types; under the
// document one element, and text only of white space; under an attribute
// texts and entity references only. A fragment's children are checked,
// not the fragment, all before any moves.
bool MayHold(const Store& s, uint32_t parent, uint32_t c, uint32_t old) {
  const uint8_t type = s.Type(c);
  if (type == Store::kFragment) {
    int elements = 0;
    for (uint32_t k = s.First(c); k != Store::kNone; k = s.Next(k)) {
      if (!MayHold(s, parent, k, old)) return false;
      elements += s.Type(k) == Store::kElement;
    }
    return s.Type(parent) != Store::kDocument || elements <= 1;
  }
  if (s.Type(parent) == Store::kAttribute) return type == Store::kText || type == Store::kEntityRef;
  if (s.Type(parent) != Store::kDocument)
    return type == Store::kElement || type == Store::kText || type == Store::kCData || type == Store::kPI ||
           type == Store::kComment || type == Store::kEntityRef;
  switch (type) {
    case Store::kPI:
    case Store::kComment:
      return true;
    case Store::kText:
      return AllSpace(s.Text(c));
    case Store::kElement: {
      const uint32_t e = s.DocumentElement();
      return e == Store::kNone || e == old;
    }
    case Store::kDocType: {
      const uint32_t t = s.DocType();
      return t == Store::kNone || t == old;
    }
    default:
      return false;
  }
}

// A node without children refuses any (the document type too); an entity
// reference, which is read-only, refuses every change of its children.
void RefuseChildless(const Store& s, uint32_t parent) {
  const uint8_t type = s.Type(parent);
  if (type == Store::kEntityRef) Refuse(xc::DOMException::NO_MODIFICATION_ALLOWED_ERR);
  if (type == Store::kText || type == Store::kCData || type == Store::kComment || type == Store::kPI ||
      type == Store::kDocType)
    Refuse(xc::DOMException::HIERARCHY_REQUEST_ERR);
}

// Parents whose changes the store makes: all that hold children. An
// attribute's children are made first, if they are not yet (its value as
// one text).
bool StoreHolds(Store& s, uint32_t parent) {
  RefuseChildless(s, parent);
  if (s.Type(parent) == Store::kAttribute) s.AttrText(parent);
  return Store::HoldsChildren(s.Type(parent)) || s.Type(parent) == Store::kAttribute;
}

// Before a document type of the store goes into its tree (taken out
// before, or a copy): Xerces' document holds it then, so elements made from
// now on get its defaults.
void TypeIn(XDoc* doc, uint32_t type) {
  const auto it = doc->outsideTypes.find(type);
  doc->doc->appendChild(it->second);
  doc->outsideTypes.erase(it);
  doc->elementDefaults.clear();
}

// Before the document type leaves the store's tree: Xerces' document lets
// go of it as well, and elements made from now on get no defaults from it.
void TypeOut(XDoc* doc, uint32_t type) {
  xc::DOMNode* x = doc->doc->getDoctype();
  doc->outsideTypes.emplace(type, x);
  doc->doc->removeChild(x);
  doc->elementDefaults.clear();
}

// Puts c under parent before `before`, or a fragment's children in its place.
void Place(Store& s, uint32_t parent, uint32_t c, uint32_t before) {
  if (s.Type(c) != Store::kFragment) {
    if (s.Parent(c) != Store::kNone) s.Unlink(c);
    s.InsertBefore(parent, c, before);
    return;
  }
  while (s.First(c) != Store::kNone) {
    const uint32_t k = s.First(c);
    s.Unlink(k);
    s.InsertBefore(parent, k, before);
  }
}

// A new child outside doc's store that no change under a store parent can
// take: not ours at all (refused as NodeOf refuses it), or of another
// document, which fails here rather than after both trees are built to fail
// there. Nodes of doc that only Xerces holds go on to Xerces' tree, but for
// attributes (the document type's), which no parent takes as a child.
bool OfAnother(XDoc* doc, IDOMNode* n) {
  const NodeCore* core = CoreOf(n);
  if (!core) Fail(xc::DOMException::WRONG_DOCUMENT_ERR, msg::kNotOurNode);
  return core->doc.get() != doc;
}

// The child of an insertion under parent: its store index, kNone when it
// is not in the store. Checked as the other path checks it: no node, or
// the parent or one of its ancestors, is refused first.
uint32_t ChildOf(XDoc* doc, uint32_t parent, IDOMNode* child) {
  if (!child) Fail(xc::DOMException::NOT_FOUND_ERR);
  const uint32_t c = IndexOf(doc, child);
  if (c == Store::kNone) {
    if (OfAnother(doc, child)) {
      RefuseChildless(*doc->store, parent);
      Refuse(xc::DOMException::WRONG_DOCUMENT_ERR);
    }
    if (CoreOf(child)->Node()->getNodeType() == xc::DOMNode::ATTRIBUTE_NODE) {
      RefuseChildless(*doc->store, parent);
      Refuse(xc::DOMException::HIERARCHY_REQUEST_ERR);
    }
    return c;
  }
  const Store& s = *doc->store;
  // Only a node with children can be the parent's ancestor.
  if (c == parent || s.First(c) != Store::kNone)
    for (uint32_t p = parent; p != Store::kNone; p = s.Parent(p))
      if (p == c) Fail(xc::DOMException::HIERARCHY_REQUEST_ERR);
  return c;
}

// The node a child goes before (or replaces, or that is removed) under
// parent. The children of a node in the store are there too: a node that
// is not (another document's, or one that only Xerces holds) is not one.
uint32_t PlaceOf(XDoc* doc, uint32_t parent, IDOMNode* ref) {
  const uint32_t i = IndexOf(doc, ref);
  if (i == Store::kNone) {
    if (!CoreOf(ref)) Fail(xc::DOMException::WRONG_DOCUMENT_ERR, msg::kNotOurNode);  // as NodeOf
    Refuse(xc::DOMException::NOT_FOUND_ERR);
  }
  const Store& s = *doc->store;
  if (s.Type(i) == Store::kAttribute || s.Parent(i) != parent) Refuse(xc::DOMException::NOT_FOUND_ERR);
  return i;
}

// The defaults of an element of the store name `name`, found in the element
// make() gives (Xerces' check of the name, which throws for a bad one) the
// first time.
template <class Make>
const std::vector<XDoc::Default>& DefaultsOf(XDoc* doc, uint32_t name, Make&& make) {
  if (const auto it = doc->elementDefaults.find(name); it != doc->elementDefaults.end()) return it->second;
  Store& s = *doc->store;
  std::vector<XDoc::Default> found;
  xc::DOMElement* probe = make();
  try {
    xc::DOMNamedNodeMap* defaults = probe->getAttributes();
    for (XMLSize_t i = 0; defaults && i < defaults->getLength(); ++i) {
      auto* a = static_cast<xc::DOMAttr*>(defaults->item(i));
      const XMLCh* uri = a->getNamespaceURI();
      found.push_back({a->getLocalName() ? s.Intern(uri ? uri : u"", a->getName()) : s.Intern(u"", a->getName(), true),
                       ops::ValueOf(a), a->getSpecified(), a->isId()});
    }
    probe->release();
  } catch (...) {
    probe->release();
    throw;
  }
  return doc->elementDefaults.emplace(name, std::move(found)).first->second;
}

// The defaults Xerces gives an element it makes by the qualified name of
// element, as createElement makes it.
const std::vector<XDoc::Default>& DefaultsByName(XDoc* doc, uint32_t element) {
  Store& s = *doc->store;
  const std::u16string qname(s.NameOf(element).qname);
  return DefaultsOf(doc, s.Intern(u"", qname, true), [&] { return doc->doc->createElement(qname.c_str()); });
}

// A new attribute of the store made as d, outside the tree.
uint32_t Made(Store& s, const XDoc::Default& d) {
  const uint32_t made = s.Create(Store::kAttribute, d.name, d.value);
  s.MarkAttr(made, d.specified, d.isId);
  return made;
}

// The default that takes the place of attr when it is removed from element,
// as a new attribute outside the tree; kNone for none. Xerces gives an
// element made by its name the defaults the document type declares for
// it, and looks the stand-in up by the removed attribute's name.
uint32_t DefaultFor(XDoc* doc, uint32_t element, uint32_t attr) {
  Store& s = *doc->store;
  for (const XDoc::Default& d : DefaultsByName(doc, element))
    if (s.Names()[d.name].qname == s.NameOf(attr).qname) return Made(s, d);
  return Store::kNone;
}

// Gives element the defaults the document type declares for its name that
// it does not have: those Xerces gives an element it makes by that name.
// Xerces' import would keep a default beside an imported attribute of the
// same qualified name in a namespace, two attributes of one name that no
// save can write; here the imported one stands alone.
void AddDefaults(XDoc* doc, uint32_t element) {
  Store& s = *doc->store;
  for (const XDoc::Default& d : DefaultsByName(doc, element))
    if (s.FindAttr(element, s.Names()[d.name].qname) == Store::kNone) s.AddAttr(element, Made(s, d));
}

// Xerces refuses a bad name when it makes the node; a node made for the
// check alone goes back to its document's pool.
template <class Make>
void CheckName(Make&& make) {
  make()->release();
}

// The store, what has left it freed first: each change starts here, before
// it makes anything that nothing names yet.
Store& Ready(XDoc* doc) {
  doc->CollectStore();
  return *doc->store;
}

}  // namespace

uint32_t IndexOf(XDoc* doc, IDOMNode* n) {
  NodeCore* core = CoreOf(n);
  return core && core->doc.get() == doc && core->InStore() ? core->idx : Store::kNone;
}

bool InsertBefore(XDoc* doc, uint32_t parent, IDOMNode* child, IDOMNode* ref, IDOMNode** r) {
  Store& s = Ready(doc);
  const uint32_t c = ChildOf(doc, parent, child);
  if (c == Store::kNone || !StoreHolds(s, parent)) return false;
  const uint32_t before = ref ? PlaceOf(doc, parent, ref) : Store::kNone;
  if (!MayHold(s, parent, c, Store::kNone)) Refuse(xc::DOMException::HIERARCHY_REQUEST_ERR);
  // Before itself it stays where it is.
  if (before != c) {
    if (s.Type(c) == Store::kDocType) TypeIn(doc, c);
    Place(s, parent, c, before);
  }
  doc->Touch();
  if (r) *r = WrapAt(doc, c);
  return true;
}

bool ReplaceChild(XDoc* doc, uint32_t parent, IDOMNode* child, IDOMNode* old, IDOMNode** r) {
  Store& s = Ready(doc);
  const uint32_t c = ChildOf(doc, parent, child);
  if (c == Store::kNone) return false;
  if (!old) Fail(xc::DOMException::NOT_FOUND_ERR);
  if (!StoreHolds(s, parent)) return false;
  const uint32_t o = PlaceOf(doc, parent, old);
  if (!MayHold(s, parent, c, o)) Refuse(xc::DOMException::HIERARCHY_REQUEST_ERR);
  // In its own place it stays there.
  if (o != c) {
    if (s.Type(o) == Store::kDocType) TypeOut(doc, o);
    if (s.Type(c) == Store::kDocType) TypeIn(doc, c);
    Place(s, parent, c, o);
    s.Unlink(o);
  }
  doc->Touch();
  if (r) *r = WrapAt(doc, o);
  return true;
}

bool RemoveChild(XDoc* doc, uint32_t parent, IDOMNode* old, IDOMNode** r) {
  Store& s = Ready(doc);
  if (s.Type(parent) == Store::kEntityRef) Refuse(xc::DOMException::NO_MODIFICATION_ALLOWED_ERR);
  if (!old) Fail(xc::DOMException::NOT_FOUND_ERR);
  const uint32_t o = PlaceOf(doc, parent, old);
  if (s.Type(o) == Store::kDocType) TypeOut(doc, o);
  s.Unlink(o);
  doc->Touch();
  if (r) *r = WrapAt(doc, o);
  return true;
}

void SetNodeValue(XDoc* doc, uint32_t node, WideStringView value) {
  Store& s = Ready(doc);
  const std::u16string v = Z(value);
  switch (s.Type(node)) {
    case Store::kElement:
    case Store::kDocument:
    case Store::kDocType:
    case Store::kFragment:
    case Store::kEntityRef:
      break;
    case Store::kAttribute:
      s.SetText(node, v);
      s.SetSpecified(node);
      break;
    default:
      // An attribute's text child changes the attribute's value with it,
      // which stays as specified as it was (as in Xerces).
      s.SetText(node, v);
  }
  doc->Touch();
}

void SetText(XDoc* doc, uint32_t node, WideStringView text) {
  Store& s = Ready(doc);
  if (s.Type(node) != Store::kElement && s.Type(node) != Store::kFragment) return SetNodeValue(doc, node, text);
  const std::u16string v = Z(text);
  // Made first: if it fails, nothing has changed.
  const uint32_t t = v.empty() ? Store::kNone : s.Create(Store::kText, Store::kNone, v);
  // Children are detached, not dropped: wrappers of them stay valid.
  while (s.First(node) != Store::kNone) s.Unlink(s.First(node));
  if (t != Store::kNone) s.InsertBefore(node, t, Store::kNone);
  doc->Touch();
}

namespace {

// Copies nodes of one store into another or the same one. A copy made by
// an import keeps only the attributes the source gives itself, as Xerces'
// import does: the target's declarations, not the source's, say what is
// defaulted there (defaults names the target document when it has any).
class Copier {
 public:
  Copier(const Store& from, Store& to, bool import, XDoc* defaults = nullptr)
      : from_(from), to_(to), import_(import), defaults_(defaults) {}

  // node, with its subtree when deep, outside the tree.
  uint32_t Tree(uint32_t node, bool deep) {
    const uint32_t root = One(node);
    if (from_.Type(node) == Store::kAttribute) {
      // An attribute copied on its own keeps its marks in a clone; an
      // imported one is the caller's, and no declaration makes it an ID.
      to_.MarkAttr(root, import_ || from_.Specified(node), !import_ && from_.IsId(node));
      return root;
    }
    if (!deep) return root;
    // Depth first; each copy goes last under the copy of its parent.
    std::vector<std::pair<uint32_t, uint32_t>> open{{node, root}};
    uint32_t n = from_.First(node);
    while (n != Store::kNone) {
      const uint32_t copy = One(n);
      to_.InsertBefore(open.back().second, copy, Store::kNone);
      if (from_.First(n) != Store::kNone) {
        open.emplace_back(n, copy);
        n = from_.First(n);
        continue;
      }
      while (n != node && from_.Next(n) == Store::kNone) {
        n = from_.Parent(n);
        if (n == open.back().first) open.pop_back();
      }
      if (n == node) break;
      n = from_.Next(n);
    }
    return root;
  }

 private:
  uint32_t Name(uint32_t id) {
    if (&from_ == &to_ || id == Store::kNone) return id;
    if (ids_.size() <= id) ids_.resize(id + 1, Store::kNone);
    if (ids_[id] == Store::kNone) {
      const Store::Name& n = from_.Names()[id];
      ids_[id] = to_.Intern(n.ns, n.qname, n.bare);
    }
    return ids_[id];
  }

  uint32_t One(uint32_t src) {
    const uint8_t type = from_.Type(src);
    if (type == Store::kAttribute) {
      const uint32_t copy = to_.Create(type, Name(from_.NameId(src)), from_.Text(src));
      AttrChildren(src, copy);
      return copy;
    }
    if (type != Store::kElement) return to_.Create(type, Name(from_.NameId(src)), from_.Text(src));
    const uint32_t copy = to_.Create(type, Name(from_.NameId(src)), {});
    for (uint32_t a = from_.FirstAttr(src); a != Store::kNone; a = from_.Next(a)) {
      if (import_ && !from_.Specified(a)) continue;
      const uint32_t c = to_.Create(Store::kAttribute, Name(from_.NameId(a)), from_.Text(a));
      to_.MarkAttr(c, from_.Specified(a), from_.IsId(a));
      AttrChildren(a, c);
      to_.AddAttr(copy, c);
    }
    if (defaults_) AddDefaults(defaults_, copy);
    return copy;
  }

  // The children of a copied attribute, when they are more than its value
  // as one text: Xerces copies an attribute with its children, deep or not.
  void AttrChildren(uint32_t src, uint32_t copy) {
    if (from_.Childless(src)) return to_.MarkChildless(copy);
    if (from_.OneText(src)) return;
    for (uint32_t c = from_.First(src); c != Store::kNone; c = from_.Next(c)) to_.InsertBefore(copy, One(c), Store::kNone);
  }

  const Store& from_;
  Store& to_;
  const bool import_;
  XDoc* defaults_;
  std::vector<uint32_t> ids_;  // the source's name ids -> the target's
};

}  // namespace

uint32_t Clone(XDoc* doc, uint32_t node, bool deep) {
  Store& s = Ready(doc);
  if (s.Type(node) == Store::kDocType) {
    // Xerces' copy says what the copy says; the store gives it its place.
    xc::DOMNode* copy = doc->TypeNode(node)->cloneNode(deep);
    const uint32_t made = s.Create(Store::kDocType, s.Intern(u"", s.NameOf(node).qname), {});
    doc->outsideTypes[made] = copy;
    return made;
  }
  Copier copier(s, s, false);
  return copier.Tree(node, deep);
}

IDOMNode* CloneDocument(XDoc* doc, bool deep) {
  XDocRef copy(new XDoc(XercesImpl()->createDocument()));
  copy->store = std::make_unique<Store>();
  copy->decl = doc->decl;
  if (!deep) return WrapDocument(copy.get());
  const Store& from = *doc->store;
  Store& to = *copy->store;
  Copier copier(from, to, true);
  for (uint32_t c = from.First(0); c != Store::kNone; c = from.Next(c)) {
    if (from.Type(c) != Store::kDocType) {
      to.InsertBefore(0, copier.Tree(c, true), Store::kNone);
      continue;
    }
    // The public interface cannot set the internal subset of a new
    // document type.
    const xc::DOMDocumentType* dt = doc->doc->getDoctype();
    xc::DOMDocumentType* made = copy->doc->createDocumentType(dt->getName(), dt->getPublicId(), dt->getSystemId());
    xp::SetInternalSubset(made, dt->getInternalSubset());
    copy->doc->appendChild(made);
    to.InsertBefore(0, to.Create(Store::kDocType, to.Intern(u"", from.NameOf(c).qname), {}), Store::kNone);
  }
  return WrapDocument(copy.get());
}

uint32_t Import(XDoc* doc, IDOMNode* imported, bool deep) {
  NodeCore* core = CoreOf(imported);
  if (!core || !core->InStore()) return Store::kNone;
  Store& to = Ready(doc);
  const Store& from = *core->doc->store;
  const uint8_t type = from.Type(core->idx);
  if (type == Store::kDocument || type == Store::kDocType) Refuse(xc::DOMException::NOT_SUPPORTED_ERR);
  Copier copier(from, to, true, to.DocType() != Store::kNone ? doc : nullptr);
  return copier.Tree(core->idx, deep);
}

void Normalize(XDoc* doc, uint32_t root) {
  Store& s = Ready(doc);
  std::u16string merged;
  auto mergeChildren = [&](uint32_t parent) {
    uint32_t c = s.First(parent);
    while (c != Store::kNone) {
      uint32_t next = s.Next(c);
      if (s.Type(c) == Store::kText) {
        if (next != Store::kNone && s.Type(next) == Store::kText) {
          merged.assign(s.Text(c));
          uint32_t end = next;
          for (; end != Store::kNone && s.Type(end) == Store::kText; end = s.Next(end)) merged += s.Text(end);
          // The merged text is kept before any node leaves: a failure
          // changes nothing.
          s.SetText(c, merged);
          while (next != end) {
            const uint32_t after = s.Next(next);
            s.Unlink(next);
            next = after;
          }
        }
        if (s.Text(c).empty()) s.Unlink(c);
      }
      c = next;
    }
  };
  for (uint32_t n = root; n != Store::kNone; n = s.After(n, root)) {
    mergeChildren(n);
    // Attributes' children too (those made so far).
    if (s.Type(n) == Store::kElement)
      for (uint32_t a = s.FirstAttr(n); a != Store::kNone; a = s.Next(a)) mergeChildren(a);
  }
  doc->Touch();
}

void SetAttribute(XDoc* doc, uint32_t element, WideStringView name, WideStringView value) {
  Store& s = Ready(doc);
  const std::u16string n = Z(name), v = Z(value);
  uint32_t a = s.FindAttr(element, n);
  if (a == Store::kNone) {
    CheckName([&] { return doc->doc->createAttribute(n.c_str()); });
    a = s.Create(Store::kAttribute, s.Intern(u"", n, true), v);
    s.AddAttr(element, a);
  } else {
    s.SetText(a, v);
    s.SetSpecified(a);
  }
  doc->Touch();
}

void SetAttributeNS(XDoc* doc, uint32_t element, WideStringView ns, WideStringView qname, WideStringView value) {
  Store& s = Ready(doc);
  const std::u16string n = Z(ns), q = Z(qname), v = Z(value);
  CheckName([&] { return doc->doc->createAttributeNS(NullIfEmpty(n), q.c_str()); });
  const size_t colon = q.find(u':');
  const std::u16string_view local = colon == std::u16string::npos ? std::u16string_view(q) : std::u16string_view(q).substr(colon + 1);
  const uint32_t name = s.Intern(n, q);
  uint32_t a = s.FindAttrNS(element, n, local);
  if (a == Store::kNone) {
    a = s.Create(Store::kAttribute, name, v);
    s.AddAttr(element, a);
  } else {
    // The prefix follows the name given.
    s.SetText(a, v);
    s.Rename(a, name);
    s.SetSpecified(a);
  }
  doc->Touch();
}

bool SetAttributeNode(XDoc* doc, uint32_t element, IDOMNode* attr, bool byNamespace, uint32_t* old) {
  Store& s = Ready(doc);
  const uint32_t a = IndexOf(doc, attr);
  if (a == Store::kNone) {
    // Not ours (as NodeOf says), another document's, or the document
    // type's "SYSTEM" or "PUBLIC", which only Xerces holds.
    NodeCore* core = CoreOf(attr);
    if (!core) Fail(xc::DOMException::WRONG_DOCUMENT_ERR, msg::kNotOurNode);
    if (core->doc.get() != doc) Refuse(xc::DOMException::WRONG_DOCUMENT_ERR);
    if (doc->IsTypeAttr(core->Node())) Refuse(xc::DOMException::INUSE_ATTRIBUTE_ERR);
    return false;
  }
  if (s.Type(a) != Store::kAttribute) Refuse(xc::DOMException::HIERARCHY_REQUEST_ERR);
  // One of this element's own replaces itself: nothing changes.
  if (s.Parent(a) == element) {
    *old = a;
    return true;
  }
  if (s.Parent(a) != Store::kNone) Refuse(xc::DOMException::INUSE_ATTRIBUTE_ERR);
  // One made without namespace information has no local name to be found
  // by: it takes the place of the attribute of its qualified name.
  const Store::Name& name = s.NameOf(a);
  *old = byNamespace && !name.bare ? s.FindAttrNS(element, name.ns, name.Local()) : s.FindAttr(element, name.qname);
  s.AddAttr(element, a, *old);
  if (*old != Store::kNone) s.RemoveAttr(*old);
  doc->Touch();
  return true;
}

void RemoveAttribute(XDoc* doc, uint32_t element, uint32_t attr) {
  Store& s = Ready(doc);
  if (attr != Store::kNone) {
    if (s.Parent(attr) != element) Refuse(xc::DOMException::NOT_FOUND_ERR);
    // An attribute of the same qualified name that stays (one set by
    // namespace beside one without namespace information) keeps the name
    // given: a default beside it would be a second attribute of that name,
    // which no save can write.
    bool nameStays = false;
    for (uint32_t a = s.FirstAttr(element); a != Store::kNone && !nameStays; a = s.Next(a))
      nameStays = a != attr && SameText(s.NameOf(a).qname, s.NameOf(attr).qname);
    const uint32_t standIn =
        s.DocType() != Store::kNone && !nameStays ? DefaultFor(doc, element, attr) : Store::kNone;
    if (standIn != Store::kNone) s.AddAttr(element, standIn, attr);
    s.RemoveAttr(attr);
  }
  doc->Touch();
}

uint32_t CreateElement(XDoc* doc, const std::u16string* ns, WideStringView qname) {
  const std::u16string q = Z(qname);
  Store& s = Ready(doc);
  // Xerces' own checks the name and gives the defaults the document type
  // declares for it, which the new element has too.
  const uint32_t name = ns ? s.Intern(*ns, q) : s.Intern(u"", q, true);
  const std::vector<XDoc::Default>& defaults = DefaultsOf(doc, name, [&] {
    return ns ? doc->doc->createElementNS(NullIfEmpty(*ns), q.c_str()) : doc->doc->createElement(q.c_str());
  });
  const uint32_t e = s.Create(Store::kElement, name, {});
  for (const XDoc::Default& d : defaults) s.AddAttr(e, Made(s, d));
  return e;
}

uint32_t CreateAttribute(XDoc* doc, const std::u16string* ns, WideStringView qname) {
  const std::u16string q = Z(qname);
  if (ns)
    CheckName([&] { return doc->doc->createAttributeNS(NullIfEmpty(*ns), q.c_str()); });
  else
    CheckName([&] { return doc->doc->createAttribute(q.c_str()); });
  Store& s = Ready(doc);
  // Without a value yet, and so without a text child, as Xerces makes it.
  const uint32_t a = s.Create(Store::kAttribute, ns ? s.Intern(*ns, q) : s.Intern(u"", q, true), {});
  s.MarkChildless(a);
  return a;
}

uint32_t CreateData(XDoc* doc, uint8_t type, WideStringView data) {
  return Ready(doc).Create(type, Store::kNone, Z(data));
}

uint32_t CreateFragment(XDoc* doc) { return Ready(doc).Create(Store::kFragment, Store::kNone, {}); }

uint32_t CreateEntityReference(XDoc* doc, WideStringView name) {
  const std::u16string n = Z(name);
  CheckName([&] { return doc->doc->createEntityReference(n.c_str()); });
  Store& s = Ready(doc);
  return s.Create(Store::kEntityRef, s.Intern(u"", n, true), {});
}

uint32_t CreateProcessingInstruction(XDoc* doc, WideStringView target, WideStringView data) {
  const std::u16string t = Z(target), d = Z(data);
  CheckName([&] { return doc->doc->createProcessingInstruction(t.c_str(), d.c_str()); });
  Store& s = Ready(doc);
  return s.Create(Store::kPI, s.Intern(u"", t), d);
}

}  // namespace xdom::sedit
