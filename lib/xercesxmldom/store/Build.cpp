#include "lib/xercesxmldom/store/Build.h"

#include <algorithm>

#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom {

namespace {

// Sets new attributes, given in document order, on a new element. Xerces'
// namespace-aware add scans the whole map for each attribute; its plain add
// finds the place by a binary search on the name and costs nothing more
// when the attributes come in name order, which is how they are added here.
// The document order is recorded in order when it differs from the map's.
// sorted is scratch space.
void SetAttributes(xc::DOMElement* element, const std::vector<xc::DOMAttr*>& attrs,
                   std::vector<xc::DOMAttr*>& sorted, AttrOrder& order) {
  if (attrs.empty()) return;
  sorted = attrs;
  std::sort(sorted.begin(), sorted.end(), [](xc::DOMAttr* x, xc::DOMAttr* y) {
    return xc::XMLString::compareString(x->getNodeName(), y->getNodeName()) < 0;
  });
  // A default Xerces copied in from the document type is replaced.
  for (xc::DOMAttr* a : sorted) element->setAttributeNode(a);
  if (attrs.size() < 2) return;
  xc::DOMNamedNodeMap* map = element->getAttributes();
  if (map->getLength() != attrs.size()) return;
  bool same = true;
  for (size_t i = 0; i < attrs.size() && same; ++i) same = map->item(i) == attrs[i];
  if (!same) order.Add(element, attrs.data(), static_cast<uint32_t>(attrs.size()));
}

}  // namespace

std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order) {
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
  // The document type is in the document already: what comes before it
  // goes before it.
  xc::DOMNode* doctype = store.DocType() != Store::kNone ? doc->getDoctype() : nullptr;
  // Parents come before their children and siblings in order, so the
  // nodes are made in index order. Attributes are made with their element.
  for (uint32_t i = 1; i < store.Size(); ++i) {
    const uint32_t parent = store.Parent(i);
    const uint8_t type = store.Type(i);
    if (parent == Store::kNone || type == Store::kAttribute) continue;
    xc::DOMNode* x = nullptr;
    switch (type) {
      case Store::kElement: {
        xc::DOMElement* e = doc->createElementNS(Ns(i), store.NameOf(i).qname.c_str());
        attrs.clear();
        bool ids = false;
        for (uint32_t a = i + 1; a <= i + store.AttrCount(i); ++a) {
          xc::DOMAttr* attr = doc->createAttributeNS(Ns(a), store.NameOf(a).qname.c_str());
          xp::AppendNew(attr, doc->createTextNode(Text(a)));
          if (!store.Specified(a)) xp::SetNotSpecified(attr);
          ids = ids || store.IsId(a);
          made[a] = attr;
          attrs.push_back(attr);
        }
        SetAttributes(e, attrs, sorted, order);
        if (ids)
          for (uint32_t a = i + 1; a <= i + store.AttrCount(i); ++a)
            if (store.IsId(a)) xp::AddToIdTable(static_cast<xc::DOMAttr*>(made[a]));
        x = e;
        break;
      }
      case Store::kText:
        x = doc->createTextNode(Text(i));
        break;
      case Store::kCData:
        x = doc->createCDATASection(Text(i));
        break;
      case Store::kComment:
        x = doc->createComment(Text(i));
        break;
      case Store::kPI: {
        const std::u16string& target = store.NameOf(i).qname;
        x = doc->createProcessingInstruction(target.c_str(), Text(i));
        break;
      }
      case Store::kDocType:
        made[i] = doctype;
        doctype = nullptr;
        continue;
      default:
        continue;
    }
    if (parent == 0 && doctype)
      doc->insertBefore(x, doctype);
    else
      xp::AppendNew(made[parent], x);
    made[i] = x;
  }
  return made;
}

}  // namespace xdom
