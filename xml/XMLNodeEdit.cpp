// The editing side of TXMLNode: how list edits reach the DOM and the
// document, adding child elements, and namespace declarations.
#include "xml/XMLDoc.h"

#include <utility>

#include "xml/XMLConst.h"
#include "xml/XMLTreeSync.h"
#include "xml/XMLTextRules.h"

namespace {

constexpr TNodeChange kChildChange[] = {ncInsertChild, ncRemoveChild, ncInsertChild};
constexpr TNodeChange kAttributeChange[] = {ncAddAttribute, ncRemoveAttribute, ncAddAttribute};

int32_t UpdateCountOf(const rtl::ComPtr<IXMLNodeList>& list) { return list ? list->GetUpdateCount() : 0; }

// The edit of the list that is notifying owner, when a list of owner's is;
// null when the notification came another way.
xmlsync::ListEdit* EditOf(const TXMLNode* owner) {
  xmlsync::ListEdit* edit = xmlsync::CurrentEdit();
  return edit && edit->owner == owner ? edit : nullptr;
}

// Whether the editing list leaves the DOM alone (update mode).
bool ListIsLive(const TXMLNode* owner, const rtl::ComPtr<IXMLNodeList>& cached) {
  if (xmlsync::ListEdit* edit = EditOf(owner)) return edit->live;
  return UpdateCountOf(cached) == 0;
}

void SetParentOf(const rtl::ComPtr<IXMLNode>& node, TXMLNode* parent) {
  node.query<IXMLNodeAccess>()->SetParentNode(parent);
}

bool IsDeclarationName(const WideString& name) {
  return name == XMLConst::SXMLNS || PrefixOf(name) == XMLConst::SXMLNS;
}

}  // namespace

void TXMLNode::ChildListNotify(TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                               const OleVariant& indexOrName, bool beforeOperation) {
  DoNodeChange(kChildChange[operation], beforeOperation);
  if (beforeOperation && ListIsLive(this, FChildNodes)) {
    xmlsync::ListEdit* edit = EditOf(this);
    switch (operation) {
      case nlInsert: {
        int32_t index = -1;
        indexOrName.TryToInteger(index);
        rtl::ComPtr<IDOMNode> newChild = node->GetDOMNode();
        // The node leaves its old parent, and a fragment its children: both
        // change as well as this node.
        rtl::ComPtr<IDOMNode> oldParent = DOMParent(newChild.get());
        const bool movedWithin = oldParent && xmlsync::KeyOf(oldParent.get()) == xmlsync::KeyOf(FDOMNode.get());
        const bool fragment = DOMNodeType(newChild.get()) == ntDocumentFragment;
        const uint64_t before = xmlsync::Epoch();
        xmlsync::ChangeTree({movedWithin ? nullptr : oldParent.get(), fragment ? newChild.get() : nullptr, FDOMNode.get()}, [&] {
          rtl::ComPtr<IDOMNodeList> children;
          DOMCheck(FDOMNode->GetChildNodes(children.put()), "GetChildNodes");
          int32_t length = 0;
          DOMCheck(children->GetLength(&length), "GetLength");
          rtl::ComPtr<IDOMNode> inserted;
          if (static_cast<uint32_t>(index) < static_cast<uint32_t>(length)) {
            rtl::ComPtr<IDOMNode> refChild;
            DOMCheck(children->Item(index, refChild.put()), "Item");
            DOMCheck(FDOMNode->InsertBefore(newChild.get(), refChild.get(), inserted.put()), "InsertBefore");
          } else {
            DOMCheck(FDOMNode->AppendChild(newChild.get(), inserted.put()), "AppendChild");
          }
        });
        if (edit) *edit = {edit->owner, true, true, before, xmlsync::Epoch(), movedWithin};
        // Lists that the move left behind the DOM let go now, not on next
        // use: a list below the node's new place still holding what is now
        // above it would be a reference cycle. They are the lists of the
        // node's former parent and those of the moved subtree.
        if (TXMLNode* moved = NodeObjectOf(node.get())) {
          if (rtl::ComPtr<IXMLNode> former(moved->StoredParent()); former && former.get() != static_cast<IXMLNode*>(this))
            NodeObjectOf(former.get())->SyncCachedLists();
          moved->SyncSubtreeLists();
        }
        SetParentOf(node, this);
        break;
      }
      case nlRemove: {
        const uint64_t before = xmlsync::Epoch();
        xmlsync::ChangeTree({FDOMNode.get()}, [&] {
          rtl::ComPtr<IDOMNode> removed;
          DOMCheck(FDOMNode->RemoveChild(node->GetDOMNode().get(), removed.put()), "RemoveChild");
        });
        if (edit) *edit = {edit->owner, true, true, before, xmlsync::Epoch(), false};
        SetParentOf(node, nullptr);
        break;
      }
      case nlCreateNode:
        node = AddChild(indexOrName.ToWideString(), -1);
        break;
    }
  }
  HostedListNotify(true, operation, node, indexOrName, beforeOperation);
}

void TXMLNode::AttributeListNotify(TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                                   const OleVariant& indexOrName, bool beforeOperation) {
  DoNodeChange(kAttributeChange[operation], beforeOperation);
  if (beforeOperation && ListIsLive(this, FAttributeNodes)) {
    switch (operation) {
      case nlInsert: {
        rtl::ComPtr<IDOMElement> element = GetDOMElement();
        rtl::ComPtr<IDOMAttr> replaced;
        DOMCheck(element->SetAttributeNode(node->GetDOMNode().query<IDOMAttr>().get(), replaced.put()),
                 "SetAttributeNode");
        xmlsync::Changed(FDOMNode.get());
        break;
      }
      case nlRemove: {
        rtl::ComPtr<IDOMElement> element = GetDOMElement();
        rtl::ComPtr<IDOMAttr> removed;
        DOMCheck(element->RemoveAttributeNode(node->GetDOMNode().query<IDOMAttr>().get(), removed.put()),
                 "RemoveAttributeNode");
        xmlsync::Changed(FDOMNode.get());
        break;
      }
      case nlCreateNode: {
        const WideString name = indexOrName.ToWideString();
        if (TXMLDocument* doc = Document()) {
          node = doc->CreateNode(name, ntAttribute, WideString());
        } else {
          rtl::ComPtr<IDOMDocument> domDoc;
          DOMCheck(FDOMNode->GetOwnerDocument(domDoc.put()), "GetOwnerDocument");
          node = rtl::ComPtr<IXMLNode>(
              new TXMLNode(MakeDOMNode(domDoc.get(), name, ntAttribute, WideString()), nullptr, nullptr));
        }
        GetAttributeNodes()->Add(node);
        break;
      }
    }
  }
  HostedListNotify(false, operation, node, indexOrName, beforeOperation);
}

rtl::ComPtr<IXMLNode> TXMLNode::InternalAddChild(TXMLNodeClass nodeClass, const WideString& tagName,
                                                 const WideString& namespaceURI, int32_t index) {
  rtl::ComPtr<IDOMDocument> domDoc = DOMDocument();
  rtl::ComPtr<IDOMNode> element = MakeDOMNode(domDoc.get(), tagName, ntElement, namespaceURI);
  rtl::ComPtr<IXMLNode> result = nodeClass
                                     ? rtl::ComPtr<IXMLNode>(nodeClass->Create(std::move(element), this, Document()))
                                     : CreateChildNode(std::move(element));
  GetChildNodes()->Insert(index, result);
  return result;
}

rtl::ComPtr<IXMLNode> TXMLNode::AddChildOfClass(const WideString& tagName, const WideString& namespaceURI,
                                                TXMLNodeClass nodeClass, int32_t index) {
  return InternalAddChild(nodeClass, tagName, namespaceURI, index);
}

rtl::ComPtr<IXMLNode> TXMLNode::AddChild(const WideString& tagName, int32_t index) {
  if (IsQualifiedName(tagName)) return InternalAddChild(nullptr, tagName, FindNamespaceURI(tagName), index);
  return InternalAddChild(nullptr, MakeQualifiedName(GetPrefix(), tagName), GetNamespaceURI(), index);
}

rtl::ComPtr<IXMLNode> TXMLNode::AddChildNS(const WideString& tagName, const WideString& namespaceURI,
                                           bool generatePrefix, int32_t index) {
  rtl::ComPtr<IXMLNode> decl = FindNamespaceDecl(namespaceURI);
  WideString prefix;
  WideString name = tagName;
  TXMLDocument* doc = Document();
  if (decl) {
    name = GetPrefixedName(tagName, namespaceURI);
  } else if (IsQualifiedName(tagName)) {
    prefix = PrefixOf(tagName);
  } else if (generatePrefix && doc) {
    prefix = doc->MakeUniquePrefix(rtl::ComPtr<IXMLNode>(this));
    name = MakeQualifiedName(prefix, tagName);
  }
  rtl::ComPtr<IXMLNode> result = InternalAddChild(nullptr, name, namespaceURI, index);
  if (!decl && doc && !namespaceURI.empty() && doc->GetOptions().Contains(doNamespaceDecl))
    result->DeclareNamespace(prefix, namespaceURI);
  return result;
}

void TXMLNode::DeclareNamespace(const WideString& prefix, const WideString& uri) {
  if (prefix.empty())
    SetAttributeNS(XMLConst::SXMLNS, XMLConst::SXMLNamespaceURI, uri);
  else
    SetAttributeNS(WideString(XMLConst::SXMLNSColon) + prefix, XMLConst::SXMLNamespaceURI, uri);
}

WideString TXMLNode::FindNamespaceURI(const WideString& tagOrPrefix) {
  const WideString prefix = IsQualifiedName(tagOrPrefix) ? PrefixOf(tagOrPrefix) : tagOrPrefix;
  for (TXMLNode* node = this; node; node = node->ParentNode()) {
    rtl::ComPtr<IXMLNodeList> attrs = node->GetAttributeNodes();
    for (int32_t i = 0, n = attrs->GetCount(); i < n; ++i) {
      rtl::ComPtr<IXMLNode> attr = attrs->Get(i);
      const WideString name = attr->GetNodeName();
      if (PrefixOf(name) == XMLConst::SXMLNS && LocalNameOf(name) == prefix) return attr->GetText();
    }
  }
  return WideString();
}

rtl::ComPtr<IXMLNode> TXMLNode::FindNamespaceDecl(const WideString& namespaceURI) {
  // Walks up instead of recursing, for deep documents.
  for (TXMLNode* node = this; node; node = node->ParentNode()) {
    rtl::ComPtr<IXMLNode> found;
    rtl::ComPtr<IXMLNodeList> attrs = node->GetAttributeNodes();
    for (int32_t i = 0, n = attrs->GetCount(); i < n; ++i) {
      rtl::ComPtr<IXMLNode> attr = attrs->Get(i);
      if (IsDeclarationName(attr->GetNodeName()) && SameTextWide(attr->GetText(), namespaceURI)) found = attr;
    }
    if (found) return found;
  }
  return nullptr;
}

WideString TXMLNode::GetPrefixedName(const WideString& name, const WideString& namespaceURI) {
  if (DocOptions().Contains(doAutoPrefix) && !IsQualifiedName(name)) {
    rtl::ComPtr<IXMLNode> decl = FindNamespaceDecl(namespaceURI);
    if (decl) {
      const WideString declName = decl->GetNodeName();
      if (declName != XMLConst::SXMLNS) return MakeQualifiedName(LocalNameOf(declName), name);
    }
  }
  return name;
}

void TXMLNode::SetAttributeNS(const WideString& attrName, const WideString& namespaceURI,
                              const OleVariant& value) {
  if (!value.IsNull()) CheckValueText(value.ToWideString(), attrName);
  const WideString name = GetPrefixedName(attrName, namespaceURI);
  const TNodeChange kind = value.IsNull() ? ncRemoveAttribute : ncAddAttribute;
  DoNodeChange(kind, true);
  rtl::ComPtr<IDOMElement> element = GetDOMElement();
  if (kind == ncAddAttribute)
    DOMCheck(element->SetAttributeNS(namespaceURI, name, value.ToWideString()), "SetAttributeNS");
  else
    DOMCheck(element->RemoveAttributeNS(namespaceURI, name), "RemoveAttributeNS");
  xmlsync::Changed(FDOMNode.get());
  SetAttributeNodes(nullptr);
  DoNodeChange(kind, false);
}
