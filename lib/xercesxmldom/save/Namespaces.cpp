#include "lib/xercesxmldom/save/Namespaces.h"

#include "lib/xercesxmldom/save/SaveRules.h"

namespace xdom {

namespace {

constexpr std::u16string_view kXmlNs = u"http://www.w3.org/XML/1998/namespace";
constexpr std::u16string_view kXmlnsNs = u"http://www.w3.org/2000/xmlns/";

// A namespace declaration by its name; one made with a namespace must be
// in the xmlns namespace (any other attribute there is refused).
bool IsDeclaration(NodeRef a) {
  std::u16string_view name = a.Name();
  bool named = name == u"xmlns" || name.substr(0, 6) == u"xmlns:";
  return named && (!a.HasLocalName() || a.Namespace() == kXmlnsNs);
}

// The prefix a declaration binds ("" for the default namespace).
std::u16string_view DeclaredPrefix(NodeRef decl) {
  std::u16string_view name = decl.Name();
  return name.size() > 6 ? name.substr(6) : std::u16string_view();
}

std::u16string_view PrefixPart(std::u16string_view qname) {
  size_t colon = qname.find(u':');
  return colon == std::u16string_view::npos ? std::u16string_view() : qname.substr(0, colon);
}

std::u16string_view LocalPart(std::u16string_view qname) {
  size_t colon = qname.find(u':');
  return colon == std::u16string_view::npos ? qname : qname.substr(colon + 1);
}

// What a declaration may bind: the reserved prefixes and namespaces only to
// each other, and a prefix to no namespace only in XML 1.1.
void CheckDeclaration(NodeRef decl, std::u16string_view prefix, std::u16string_view uri, bool xml11) {
  bool reserved = prefix == u"xmlns" || uri == kXmlnsNs || (prefix == u"xml") != (uri == kXmlNs);
  if (reserved) Refuse(decl, FormatMsg(msg::kWhyReservedBinding, Shown(decl.Name())));
  if (!prefix.empty() && uri.empty() && !xml11) Refuse(decl, FormatMsg(msg::kWhyEmptyBinding, Shown(prefix)));
}

[[noreturn]] void RefuseReserved(NodeRef n, std::u16string_view prefix, std::u16string_view uri) {
  Refuse(n, FormatMsgArgs(msg::kWhyReservedPrefix, {Shown(prefix), Shown(uri)}));
}

}  // namespace

const NamespaceFixup::Binding* NamespaceFixup::Find(std::u16string_view prefix, bool writtenOnly) const {
  for (size_t i = bindings_.size(); i-- > 0;) {
    const Binding& b = bindings_[i];
    if (b.prefix == prefix && (b.written || !writtenOnly)) return &b;
  }
  return nullptr;
}

void NamespaceFixup::Declare(std::u16string_view prefix, std::u16string_view uri, std::vector<TagAttribute>& out) {
  bindings_.push_back({std::u16string(prefix), std::u16string(uri), true});
  TagAttribute& decl = out.emplace_back();
  decl.ownedName = prefix.empty() ? u"xmlns" : u"xmlns:" + std::u16string(prefix);
  decl.ownedValue = std::u16string(uri);
}

std::u16string_view NamespaceFixup::Resolve(NodeRef node, std::u16string_view prefix,
                                            std::vector<TagAttribute>& out) {
  if (prefix == u"xml") return kXmlNs;
  if (prefix == u"xmlns") RefuseReserved(node, prefix, kXmlnsNs);
  if (const Binding* b = Find(prefix, false); b && !b->uri.empty()) {
    if (b->written) return b->uri;
    std::u16string uri = b->uri;
    Declare(prefix, uri, out);
    return bindings_.back().uri;
  }
  Refuse(node, FormatMsg(msg::kWhyUnboundPrefix, Shown(prefix)));
}

void NamespaceFixup::InheritFrom(NodeRef node) {
  std::vector<NodeRef> chain;
  for (NodeRef p = node.Parent(); p && p.Type() == xc::DOMNode::ELEMENT_NODE; p = p.Parent()) chain.push_back(p);
  for (size_t i = chain.size(); i-- > 0;) {
    NodeRef e = chain[i];
    size_t first = bindings_.size();
    e.ForEachAttribute([&](NodeRef a) {
      if (IsDeclaration(a)) bindings_.push_back({std::u16string(DeclaredPrefix(a)), std::u16string(a.Value()), false});
    });
    std::u16string_view prefix = e.Prefix(), uri = e.Namespace();
    bool declared = false;
    for (size_t k = first; k < bindings_.size(); ++k) declared = declared || bindings_[k].prefix == prefix;
    if (e.HasLocalName() && !uri.empty() && !declared) bindings_.push_back({std::u16string(prefix), std::u16string(uri), false});
  }
}

void NamespaceFixup::ElementName(NodeRef e, std::vector<TagAttribute>& out) {
  if (!e.HasLocalName()) {
    std::u16string_view prefix = PrefixPart(e.Name());
    if (!prefix.empty()) {
      Resolve(e, prefix, out);
    } else if (!Find(u"", true)) {
      // Written on its own, it keeps the default namespace of its place.
      if (const Binding* b = Find(u"", false); b && !b->uri.empty()) Declare(u"", std::u16string(b->uri), out);
    }
    return;
  }
  std::u16string_view prefix = e.Prefix(), uri = e.Namespace();
  if (prefix == u"xmlns" || uri == kXmlnsNs || (prefix == u"xml") != (uri == kXmlNs)) RefuseReserved(e, prefix, uri);
  if (prefix == u"xml") return;
  for (size_t i = own_; i < bindings_.size(); ++i) {
    if (bindings_[i].prefix != prefix) continue;
    if (SameText(bindings_[i].uri, uri)) return;
    if (prefix.empty()) Refuse(e, FormatMsgArgs(msg::kWhyDefaultConflict, {Shown(uri), Shown(bindings_[i].uri)}));
    Refuse(e, FormatMsgArgs(msg::kWhyPrefixConflict, {Shown(uri), Shown(prefix), Shown(bindings_[i].uri)}));
  }
  if (uri.empty() && !prefix.empty()) Refuse(e, FormatMsg(msg::kWhyUnboundPrefix, Shown(prefix)));
  const Binding* b = Find(prefix, true);
  if (!SameText(b ? std::u16string_view(b->uri) : std::u16string_view(), uri)) Declare(prefix, uri, out);
}

// A namespaced attribute keeps its prefix when the text can bind it to the
// attribute's namespace here; otherwise it takes a prefix bound to that
// namespace, or a new one ("NS1", "NS2", ...) that is declared.
std::u16string NamespaceFixup::NamespacedAttribute(NodeRef a, std::vector<TagAttribute>& out) {
  std::u16string_view prefix = a.Prefix(), uri = a.Namespace();
  if (uri == kXmlnsNs) RefuseReserved(a, prefix, uri);
  std::u16string chosen;
  if (uri == kXmlNs) {
    chosen = u"xml";
  } else if (!prefix.empty() && prefix != u"xml" && prefix != u"xmlns") {
    const Binding* b = Find(prefix, true);
    if (b && b->uri == uri) {
      chosen = prefix;
    } else if (!b || b->uri.empty()) {
      chosen = prefix;
      Declare(prefix, uri, out);
    }
  }
  if (chosen.empty()) {
    for (size_t i = bindings_.size(); i-- > 0 && chosen.empty();) {
      const Binding& b = bindings_[i];
      if (b.written && b.uri == uri && !b.prefix.empty() && Find(b.prefix, true) == &b) chosen = b.prefix;
    }
  }
  if (chosen.empty()) {
    chosen = NewPrefix();
    Declare(chosen, uri, out);
  }
  std::u16string_view local = a.LocalName();
  expanded_.push_back(std::u16string(uri) + u'\uFFFF' + std::u16string(local));
  return chosen == prefix ? std::u16string() : chosen + u":" + std::u16string(local);
}

void NamespaceFixup::Within(NodeRef root) {
  if (root == root_) return;
  root_ = root;
  usedKnown_ = false;
  used_.clear();
}

// Not only the bound prefixes: a node made without namespace information
// takes its namespace from its prefix where it is written, so a prefix it
// uses unbound, declared by the save for another namespace, would put it in
// that namespace.
std::u16string NamespaceFixup::NewPrefix() {
  if (!usedKnown_ && root_) {
    usedKnown_ = true;
    auto add = [&](std::u16string_view qname) {
      if (std::u16string_view p = PrefixPart(qname); !p.empty()) used_.emplace(p);
      if (qname.substr(0, 6) == u"xmlns:") used_.emplace(qname.substr(6));
    };
    for (NodeRef n = root_; n;) {
      const bool element = n.Type() == xc::DOMNode::ELEMENT_NODE;
      if (element) {
        add(n.Name());
        n.ForEachAttribute([&](NodeRef a) { add(a.Name()); });
      }
      NodeRef next = n == root_ || element ? n.First() : NodeRef();
      while (!next && n && n != root_) {
        next = n.Next();
        if (!next) n = n.Parent();
      }
      n = next;
    }
  }
  for (int k = 1;; ++k) {
    std::string digits = std::to_string(k);
    std::u16string candidate = u"NS" + std::u16string(digits.begin(), digits.end());
    if (!Find(candidate, false) && !used_.count(candidate)) return candidate;
  }
}

bool NamespaceFixup::CheckedQName(std::u16string_view name) {
  std::u16string_view& seen = checked_[(reinterpret_cast<uintptr_t>(name.data()) >> 3) % checked_.size()];
  if (seen.data() == name.data() && seen.size() == name.size()) return true;
  if (!IsQName(name, xml11_)) return false;
  seen = name;
  return true;
}

void NamespaceFixup::StartElement(NodeRef e, const std::vector<NodeRef>& attrs, std::vector<TagAttribute>& out) {
  out.clear();
  expanded_.clear();
  marks_.push_back(bindings_.size());
  own_ = bindings_.size();
  if (!CheckedQName(e.Name())) Refuse(e, FormatMsg(msg::kWhyBadQName, Shown(e.Name())));
  // At most one declaration for the element and one per attribute.
  out.reserve(2 * attrs.size() + 1);
  for (NodeRef a : attrs) {
    if (!CheckedQName(a.Name())) Refuse(a, FormatMsg(msg::kWhyBadQName, Shown(a.Name())));
    TagAttribute& t = out.emplace_back();
    t.node = a;
    t.value = a.Value();
    if (!IsDeclaration(a)) continue;
    std::u16string_view prefix = DeclaredPrefix(a), uri = t.value;
    CheckDeclaration(a, prefix, uri, xml11_);
    bindings_.push_back({std::u16string(prefix), std::u16string(uri), true});
  }
  ElementName(e, out);
  // Namespaced attributes first, so that the prefixes they bind are there
  // for the attributes that take their namespace from the prefix.
  const size_t count = attrs.size();
  for (size_t i = 0; i < count; ++i) {
    NodeRef a = out[i].node;
    if (!a.HasLocalName() || a.Namespace().empty() || IsDeclaration(a)) continue;
    std::u16string renamed = NamespacedAttribute(a, out);
    if (!renamed.empty()) out[i].ownedName = std::move(renamed);
  }
  for (size_t i = 0; i < count; ++i) {
    NodeRef a = out[i].node;
    if (IsDeclaration(a) || (a.HasLocalName() && !a.Namespace().empty())) continue;
    std::u16string_view name = a.Name();
    std::u16string_view prefix = PrefixPart(name);
    // Unprefixed ones are in no namespace: the names themselves differ.
    if (prefix.empty()) continue;
    std::u16string_view uri = Resolve(a, prefix, out);
    expanded_.push_back(std::u16string(uri) + u'\uFFFF' + std::u16string(LocalPart(name)));
  }
  CheckDuplicates(e, out);
}

void NamespaceFixup::CheckDuplicates(NodeRef e, const std::vector<TagAttribute>& out) {
  if (out.size() < 2) return;
  auto refuse = [&](std::u16string_view name) { Refuse(e, FormatMsg(msg::kWhyDuplicate, Shown(name))); };
  // Most elements have a few attributes: compared pairwise, without
  // allocating; many go through a set.
  if (out.size() <= 8) {
    for (size_t i = 1; i < out.size(); ++i)
      for (size_t k = 0; k < i; ++k)
        if (out[i].Name() == out[k].Name()) refuse(out[i].Name());
  } else {
    std::unordered_set<std::u16string_view> names;
    for (const TagAttribute& t : out)
      if (!names.insert(t.Name()).second) refuse(t.Name());
  }
  // Different names for one attribute: two prefixes bound to one namespace.
  if (expanded_.size() < 2) return;
  std::unordered_set<std::u16string_view> seen;
  for (const std::u16string& key : expanded_)
    if (!seen.insert(key).second) refuse(std::u16string_view(key).substr(key.rfind(u'\uFFFF') + 1));
}

void NamespaceFixup::EndElement() {
  if (marks_.empty()) return;
  bindings_.resize(marks_.back());
  marks_.pop_back();
}

}  // namespace xdom
