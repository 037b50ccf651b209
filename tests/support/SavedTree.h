// How a saved document must read back, as the save tests and the edit
// fuzzer check it: the tree the saved text loads into (white space kept)
// against the tree that was saved. They must be equal, except for what XML
// itself does on reading:
// - adjacent text, CDATA sections and entity references read back as one
//   text (CDATA split around "]]>" or a reference, entities expanded);
// - line ends in comments and processing instructions read back as line
//   feeds (in XML 1.1 also NEL and LS), and the data of a processing
//   instruction without its leading white space;
// - declarations the namespace fix-up added appear as attributes, and a
//   namespaced attribute may carry another prefix bound to its namespace;
// - a node made without namespace information (no local name) reads back
//   in the namespace its name has where it is written: only its name counts;
// - a leading processing instruction "xml" reads back as the declaration,
//   and white space outside the document element is no node.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "dom/xmldom.h"
#include "rtl/TextConv.h"

namespace savedtree {

using rtl::ComPtr;

struct ReadRules {
  bool xml11 = false;
  // Replacement texts of the entities the saved document declares.
  std::map<std::u16string, std::u16string> entities{
      {u"lt", u"<"}, {u"gt", u">"}, {u"amp", u"&"}, {u"apos", u"'"}, {u"quot", u"\""}};
};

namespace detail {

struct Info {
  uint16_t type = 0;
  WideString name, local, prefix, uri, value;
};

inline Info InfoOf(IDOMNode* n) {
  Info i;
  DOMCheck(n->GetNodeType(&i.type), "GetNodeType");
  DOMCheck(n->GetNodeName(&i.name), "GetNodeName");
  DOMCheck(n->GetLocalName(&i.local), "GetLocalName");
  DOMCheck(n->GetPrefix(&i.prefix), "GetPrefix");
  DOMCheck(n->GetNamespaceURI(&i.uri), "GetNamespaceURI");
  DOMCheck(n->GetNodeValue(&i.value), "GetNodeValue");
  return i;
}

inline std::vector<ComPtr<IDOMNode>> Children(IDOMNode* n) {
  std::vector<ComPtr<IDOMNode>> out;
  ComPtr<IDOMNodeList> list;
  DOMCheck(n->GetChildNodes(list.put()), "GetChildNodes");
  int32_t count = 0;
  if (list) DOMCheck(list->GetLength(&count), "GetLength");
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IDOMNode> c;
    DOMCheck(list->Item(i, c.put()), "Item");
    out.push_back(c);
  }
  return out;
}

inline std::vector<Info> Attributes(IDOMNode* n) {
  std::vector<Info> out;
  ComPtr<IDOMNamedNodeMap> map;
  DOMCheck(n->GetAttributes(map.put()), "GetAttributes");
  int32_t count = 0;
  if (map) DOMCheck(map->GetLength(&count), "GetLength");
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IDOMNode> a;
    DOMCheck(map->Item(i, a.put()), "Item");
    out.push_back(InfoOf(a.get()));
  }
  return out;
}

inline bool IsDeclaration(const Info& a) { return a.name == u"xmlns" || a.name.rfind(u"xmlns:", 0) == 0; }

inline std::u16string LineEnds(std::u16string s, bool xml11) {
  std::u16string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    bool nextEnds = i + 1 < s.size() && (s[i + 1] == u'\n' || (xml11 && s[i + 1] == u'\u0085'));
    if (c == u'\r') {
      out += u'\n';
      if (nextEnds) ++i;
    } else if (xml11 && (c == u'\u0085' || c == u'\u2028')) {
      out += u'\n';
    } else {
      out += c;
    }
  }
  return out;
}

// One item of a node's content as it reads back.
struct Item {
  uint16_t type;  // 3 for any run of text
  std::u16string text;
  ComPtr<IDOMNode> node;
};

inline std::vector<Item> Content(IDOMNode* parent, const ReadRules& rules, std::string& why) {
  std::vector<Item> items;
  uint16_t parentType = 0;
  DOMCheck(parent->GetNodeType(&parentType), "GetNodeType");
  bool first = parentType == 9;
  for (const ComPtr<IDOMNode>& c : Children(parent)) {
    Info i = InfoOf(c.get());
    bool leadingDecl = first && i.type == 7 && i.name == u"xml";
    first = false;
    // White space outside the document element is no node when read.
    bool outsideSpace = parentType == 9 && i.type == 3 && i.value.find_first_not_of(u" \t\r\n") == std::u16string::npos;
    if (leadingDecl || outsideSpace) continue;
    if (i.type == 3 || i.type == 4 || i.type == 5) {
      std::u16string text = i.value;
      if (i.type == 5) {
        auto e = rules.entities.find(i.name);
        if (e == rules.entities.end()) {
          why = "an entity reference to \"" + rtl::Utf8Encode(i.name) + "\" was saved";
          return items;
        }
        text = e->second;
      }
      if (text.empty()) continue;
      if (!items.empty() && items.back().type == 3)
        items.back().text += text;
      else
        items.push_back({3, text, nullptr});
    } else if (i.type == 8) {
      items.push_back({8, LineEnds(i.value, rules.xml11), nullptr});
    } else if (i.type == 7) {
      std::u16string data = LineEnds(i.value, rules.xml11);
      size_t start = data.find_first_not_of(u" \t\n");
      items.push_back({7, i.name + u"?" + (start == std::u16string::npos ? u"" : data.substr(start)), nullptr});
    } else if (i.type == 1) {
      items.push_back({1, {}, c});
    } else if (i.type == 10) {
      items.push_back({10, i.name, nullptr});
    }
  }
  return items;
}

inline std::string Element(IDOMNode* saved, IDOMNode* back, const ReadRules& rules, const std::string& path);

// Whether the saved element or an ancestor gives the prefix a namespace: a
// declaration, or a node named with it in a namespace. A node made without
// namespace information whose prefix none of them gives has no namespace to
// read back in; a save that binds its prefix made one up.
inline bool PrefixIsGiven(IDOMNode* element, const WideString& prefix) {
  auto gives = [&](const Info& i) { return !i.local.empty() && !i.uri.empty() && i.prefix == prefix; };
  for (ComPtr<IDOMNode> e(element); e;) {
    Info i = InfoOf(e.get());
    if (i.type != 1) break;
    if (gives(i)) return true;
    for (const Info& a : Attributes(e.get()))
      if (a.name == u"xmlns:" + prefix || gives(a)) return true;
    ComPtr<IDOMNode> parent;
    DOMCheck(e->GetParentNode(parent.put()), "GetParentNode");
    e = parent;
  }
  return false;
}

inline std::string UngivenPrefix(IDOMNode* element, const Info& node) {
  size_t colon = node.name.find(u':');
  if (!node.local.empty() || colon == WideString::npos) return {};
  WideString prefix = node.name.substr(0, colon);
  return prefix == u"xml" || PrefixIsGiven(element, prefix) ? std::string() : "the prefix of \"" + rtl::Utf8Encode(node.name) +
                                                             "\" is bound nowhere, yet it was saved";
}

inline std::string Compare(IDOMNode* saved, IDOMNode* back, const ReadRules& rules, const std::string& path) {
  std::string why;
  std::vector<Item> a = Content(saved, rules, why);
  if (!why.empty()) return path + ": " + why;
  std::vector<Item> b = Content(back, rules, why);
  if (a.size() != b.size())
    return path + ": " + std::to_string(a.size()) + " items saved, " + std::to_string(b.size()) + " read back";
  for (size_t k = 0; k < a.size(); ++k) {
    std::string at = path + "/" + std::to_string(k);
    if (a[k].type != b[k].type)
      return at + ": node type " + std::to_string(a[k].type) + " read back as " + std::to_string(b[k].type);
    if (a[k].type != 1) {
      if (a[k].text != b[k].text)
        return at + ": \"" + rtl::Utf8Encode(a[k].text) + "\" read back as \"" + rtl::Utf8Encode(b[k].text) + "\"";
      continue;
    }
    std::string d = Element(a[k].node.get(), b[k].node.get(), rules, at);
    if (!d.empty()) return d;
  }
  return {};
}

inline std::string Element(IDOMNode* saved, IDOMNode* back, const ReadRules& rules, const std::string& path) {
  Info a = InfoOf(saved), b = InfoOf(back);
  std::string at = path + " <" + rtl::Utf8Encode(a.name) + ">";
  bool sameName = a.local.empty() ? a.name == b.name : a.local == b.local && a.prefix == b.prefix && a.uri == b.uri;
  if (!sameName)
    return at + ": read back as <" + rtl::Utf8Encode(b.name) + "> in \"" + rtl::Utf8Encode(b.uri) + "\" (saved in \"" +
           rtl::Utf8Encode(a.uri) + "\")";
  if (std::string why = UngivenPrefix(saved, a); !why.empty()) return at + ": " + why;
  std::vector<Info> savedAttrs = Attributes(saved), backAttrs = Attributes(back);
  size_t plainSaved = 0, plainBack = 0;
  for (const Info& x : backAttrs) plainBack += !IsDeclaration(x);
  for (const Info& x : savedAttrs) {
    bool decl = IsDeclaration(x);
    plainSaved += !decl;
    if (std::string why = decl ? std::string() : UngivenPrefix(saved, x); !why.empty()) return at + ": " + why;
    bool byNamespace = !decl && !x.local.empty() && !x.uri.empty();
    const Info* match = nullptr;
    for (const Info& y : backAttrs)
      if (IsDeclaration(y) == decl && (byNamespace ? y.uri == x.uri && y.local == x.local : y.name == x.name)) match = &y;
    if (!match) return at + ": attribute \"" + rtl::Utf8Encode(x.name) + "\" is missing";
    if (match->value != x.value)
      return at + ": attribute \"" + rtl::Utf8Encode(x.name) + "\" read back as \"" + rtl::Utf8Encode(match->value) +
             "\"";
  }
  if (plainSaved != plainBack)
    return at + ": " + std::to_string(plainSaved) + " attributes saved, " + std::to_string(plainBack) + " read back";
  return Compare(saved, back, rules, at);
}

}  // namespace detail

// Empty when `back` reads as `saved` (see above); otherwise where and how
// they differ.
inline std::string Difference(IDOMNode* saved, IDOMNode* back, const ReadRules& rules) {
  return detail::Compare(saved, back, rules, "");
}

// The same for one element and what it read back as.
inline std::string ElementDifference(IDOMNode* saved, IDOMNode* back, const ReadRules& rules) {
  return detail::Element(saved, back, rules, "");
}

}  // namespace savedtree
