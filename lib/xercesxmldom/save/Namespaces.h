// Namespace fix-up while saving: every element and attribute is written
// with a prefix that the text binds to the node's own namespace, so that
// the text reads back into the same names and namespaces. Declarations are
// added where a namespace is used but not declared, a namespaced attribute
// whose prefix cannot be used gets one that can, and nothing is declared
// twice; what no declaration can express is refused.
//
// Nodes made without namespace information (no local name) have none to
// keep: they take the namespace their prefix, or for elements the default
// namespace, has where they are written, as a parser gives it them. Their
// prefix must be bound there.
#pragma once

#include <array>
#include <unordered_set>
#include <vector>

#include "lib/xercesxmldom/save/NodeRef.h"

namespace xdom {

// One attribute of an element's start tag.
struct TagAttribute {
  NodeRef node;                 // none for a declaration the fix-up adds
  std::u16string_view value;    // the node's value
  std::u16string ownedName;     // when the written name is not the node's own
  std::u16string ownedValue;    // a declaration's value
  std::u16string_view Name() const { return ownedName.empty() ? node.Name() : std::u16string_view(ownedName); }
  std::u16string_view Value() const { return node ? value : std::u16string_view(ownedValue); }
};

class NamespaceFixup {
 public:
  explicit NamespaceFixup(bool xml11) : xml11_(xml11) {}

  // For a node written on its own: the declarations of its ancestors, used
  // only to bind prefixes of nodes that take their namespace from where
  // they are (and then written where they are needed).
  void InheritFrom(NodeRef node);
  // The tree about to be written: a prefix the fix-up invents is one that
  // no node in it uses, bound or not.
  void Within(NodeRef root);

  // Opens the scope of element e whose attributes are attrs (in document
  // order): checks its name and attributes and gives the attributes to
  // write, declarations added last.
  void StartElement(NodeRef e, const std::vector<NodeRef>& attrs, std::vector<TagAttribute>& out);
  void EndElement();

 private:
  struct Binding {
    std::u16string prefix;  // "" for the default namespace
    std::u16string uri;
    bool written;  // false: inherited, not yet in the text
  };
  const Binding* Find(std::u16string_view prefix, bool writtenOnly) const;
  void Declare(std::u16string_view prefix, std::u16string_view uri, std::vector<TagAttribute>& out);
  // The namespace a prefix of a node without namespace information has
  // here; binds an inherited one in the text. Refuses an unbound prefix.
  std::u16string_view Resolve(NodeRef node, std::u16string_view prefix, std::vector<TagAttribute>& out);
  void ElementName(NodeRef e, std::vector<TagAttribute>& out);
  // The name to write for a namespaced attribute; empty when its own.
  std::u16string NamespacedAttribute(NodeRef a, std::vector<TagAttribute>& out);
  void CheckDuplicates(NodeRef e, const std::vector<TagAttribute>& out);
  // IsQName, remembered for names by where their text lives: the same
  // names come back again and again, and nothing changes while saving.
  bool CheckedQName(std::u16string_view name);
  std::u16string NewPrefix();

  bool xml11_;
  std::vector<Binding> bindings_;
  std::vector<size_t> marks_;
  size_t own_ = 0;  // first binding of the element being started
  std::vector<std::u16string> expanded_;
  NodeRef root_;
  std::unordered_set<std::u16string> used_;  // filled when first needed
  bool usedKnown_ = false;
  std::array<std::u16string_view, 64> checked_{};
};

}  // namespace xdom
