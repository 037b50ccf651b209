#include "lib/xercesxmldom/store/Build.h"

#include <algorithm>

#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom {

void PutInDocument(xc::DOMDocument* doc, xc::DOMNode* n, xc::DOMNode* before) {
  if (n->getNodeType() != xc::DOMNode::TEXT_NODE) {
    doc->insertBefore(n, before);
    return;
  }
  // Xerces takes only white space as text of the document, but lets it
  // change after: other text goes in as a blank and gets its value back.
  const std::u16string value(n->getNodeValue());
  n->setNodeValue(u" ");
  doc->insertBefore(n, before);
  n->setNodeValue(value.c_str());
}

namespace {

// Sets new attributes, given in document order, on a new element. Xerces'
// namespace-aware add scans the whole map for each attribute; its plain add
// finds the place by a binary search on the name and costs nothing more
// when the attributes come in name order, which is how they are added here.
// The document order is recorded in order when it differs from the map's.
// sorted is scratch space.
void SetAttributes(xc::DOMElement* element, const std::vector<xc::DOMAttr*>& attrs,
                   std::vector<xc::DOMAttr*>& sorted, AttrOrder& order) {
  xc::DOMNamedNodeMap* map = element->getAttributes();
  if (attrs.empty() && map->getLength() == 0) return;
  sorted = attrs;
  std::sort(sorted.begin(), sorted.end(), [](xc::DOMAttr* x, xc::DOMAttr* y) {
    return xc::XMLString::compareString(x->getNodeName(), y->getNodeName()) < 0;
  });
  // A default Xerces copied in from the document type is replaced.
  for (xc::DOMAttr* a : sorted) element->setAttributeNode(a);
  if (map->getLength() < attrs.size()) {
    // Two of one name, one of them made without namespace information:
    // only adding the other by its namespace keeps both, as it did when
    // they were set.
    for (xc::DOMAttr* a : attrs)
      if (a->getOwnerElement() == element) xp::RemoveWithoutDefault(element, a);
    for (xc::DOMAttr* a : attrs) a->getLocalName() ? element->setAttributeNodeNS(a) : element->setAttributeNode(a);
  }
  // A default Xerces put in that the store does not have: the document
  // gave the attribute under another prefix.
  for (XMLSize_t i = map->getLength(); map->getLength() > attrs.size() && i-- > 0;) {
    auto* a = static_cast<xc::DOMAttr*>(map->item(i));
    if (std::find(attrs.begin(), attrs.end(), a) == attrs.end()) xp::RemoveWithoutDefault(element, a);
  }
  if (attrs.size() < 2 || map->getLength() != attrs.size()) return;
  bool same = true;
  for (size_t i = 0; i < attrs.size() && same; ++i) same = map->item(i) == attrs[i];
  if (!same) order.Add(element, attrs.data(), static_cast<uint32_t>(attrs.size()));
}

}  // namespace

std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order,
                                    const std::unordered_map<uint32_t, xc::DOMNode*>& outsideTypes) {
  // A tree of many distinct names needs the wide pool; the parse widened
  // it only once the store passed 256 names.
  xp::WidenNamePool(doc);
  std::vector<xc::DOMNode*> made(store.Size(), nullptr);
  made[0] = doc;
  std::u16string text;
  std::vector<xc::DOMAttr*> attrs, sorted;
  auto Text = [&](uint32_t i) -> const XMLCh* {
    text.assign(store.Text(i));
    return text.c_str();
  };
  auto Ns = [&](uint32_t i) -> const XMLCh* {
    const std::u16string& ns = store.NameOf(i).ns;
    return ns.empty() ? nullptr : ns.c_str();
  };
  auto Attr = [&](uint32_t a) {
    const Store::Name& name = store.NameOf(a);
    xc::DOMAttr* attr = name.bare ? doc->createAttribute(name.qname.c_str())
                                  : doc->createAttributeNS(Ns(a), name.qname.c_str());
    // Its value as its text child, but for one made without a value or
    // whose child was taken out, and one given children of its own.
    if (!store.OneText(a)) {
      for (uint32_t c = store.First(a); c != Store::kNone; c = store.Next(c)) {
        xc::DOMNode* x = store.Type(c) == Store::kText ? static_cast<xc::DOMNode*>(doc->createTextNode(Text(c)))
                                                       : doc->createEntityReference(store.NameOf(c).qname.c_str());
        xp::AppendNew(attr, x);
        made[c] = x;
      }
    } else if (!store.Childless(a)) {
      xc::DOMNode* value = doc->createTextNode(Text(a));
      xp::AppendNew(attr, value);
      if (store.First(a) != Store::kNone) made[store.First(a)] = value;
    }
    if (!store.Specified(a)) xp::SetNotSpecified(attr);
    made[a] = attr;
    return attr;
  };
  auto Make = [&](uint32_t i) -> xc::DOMNode* {
    switch (store.Type(i)) {
      case Store::kElement: {
        const Store::Name& name = store.NameOf(i);
        xc::DOMElement* e =
            name.bare ? doc->createElement(name.qname.c_str()) : doc->createElementNS(Ns(i), name.qname.c_str());
        attrs.clear();
        bool ids = false;
        for (uint32_t a = store.FirstAttr(i); a != Store::kNone; a = store.Next(a)) {
          attrs.push_back(Attr(a));
          ids = ids || store.IsId(a);
        }
        SetAttributes(e, attrs, sorted, order);
        if (ids)
          for (uint32_t a = store.FirstAttr(i); a != Store::kNone; a = store.Next(a))
            if (store.IsId(a)) xp::AddToIdTable(static_cast<xc::DOMAttr*>(made[a]));
        return e;
      }
      case Store::kAttribute:
        return Attr(i);
      case Store::kText:
        return doc->createTextNode(Text(i));
      case Store::kCData:
        return doc->createCDATASection(Text(i));
      case Store::kComment:
        return doc->createComment(Text(i));
      case Store::kPI:
        return doc->createProcessingInstruction(store.NameOf(i).qname.c_str(), Text(i));
      case Store::kFragment:
        return doc->createDocumentFragment();
      case Store::kEntityRef:
        return doc->createEntityReference(store.NameOf(i).qname.c_str());
      default:
        return nullptr;
    }
  };
  // The document type is in the document already: what comes before it
  // goes before it.
  xc::DOMNode* doctype = store.DocType() != Store::kNone ? doc->getDoctype() : nullptr;
  // Depth first, in document order, so every node is appended after its
  // earlier siblings.
  auto Subtree = [&](uint32_t root) {
    if (root != 0 && store.Type(root) != Store::kDocType) {
      made[root] = Make(root);
    } else if (root != 0) {
      // A document type that nothing names any more, not freed yet, has
      // no node.
      const auto type = outsideTypes.find(root);
      if (type != outsideTypes.end()) made[root] = type->second;
    }
    // An attribute's text child came with it.
    uint32_t n = store.Type(root) == Store::kAttribute ? Store::kNone : store.First(root);
    while (n != Store::kNone) {
      const uint32_t parent = store.Parent(n);
      if (store.Type(n) == Store::kDocType) {
        made[n] = doctype;
        doctype = nullptr;
      } else {
        xc::DOMNode* x = Make(n);
        if (parent == 0)
          PutInDocument(doc, x, doctype);
        else
          xp::AppendNew(made[parent], x);
        made[n] = x;
      }
      n = store.After(n, root);
    }
  };
  Subtree(0);
  // The tops of the subtrees outside the tree have no parent.
  for (uint32_t i = 1; i < store.Size(); ++i)
    if (!made[i] && store.Parent(i) == Store::kNone) Subtree(i);
  xp::CountChange(doc);
  return made;
}

}  // namespace xdom
