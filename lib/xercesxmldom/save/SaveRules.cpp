#include "lib/xercesxmldom/save/SaveRules.h"

#include <xercesc/util/XMLChar.hpp>

namespace xdom {

CharClass ClassOf(char32_t cp, bool xml11) {
  if (cp == 0x9 || cp == 0xA) return CharClass::Ordinary;
  if (cp == 0xD) return CharClass::LineEnd;
  if (cp < 0x20) return xml11 && cp != 0 ? CharClass::ReferenceOnly : CharClass::Forbidden;
  if (cp < 0x7F) return CharClass::Ordinary;
  if (xml11) {
    if (cp == 0x85 || cp == 0x2028) return CharClass::LineEnd;
    if (cp <= 0x9F) return CharClass::ReferenceOnly;
  }
  if (cp <= 0xD7FF || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF)) return CharClass::Ordinary;
  return CharClass::Forbidden;
}

bool IsXmlName(const XMLCh* s, bool xml11) {
  if (!s || !*s) return false;
  return xml11 ? xc::XMLChar1_1::isValidName(s) : xc::XMLChar1_0::isValidName(s);
}

bool IsNCName(std::u16string_view s, bool xml11) {
  if (s.empty()) return false;
  return xml11 ? xc::XMLChar1_1::isValidNCName(s.data(), s.size()) : xc::XMLChar1_0::isValidNCName(s.data(), s.size());
}

bool IsQName(std::u16string_view s, bool xml11) {
  if (s.empty()) return false;
  return xml11 ? xc::XMLChar1_1::isValidQName(s.data(), s.size()) : xc::XMLChar1_0::isValidQName(s.data(), s.size());
}

std::u16string CodePointText(char32_t cp) {
  static const char16_t hex[] = u"0123456789ABCDEF";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), hex[cp & 0xF]);
    cp >>= 4;
  } while (cp);
  while (digits.size() < 4) digits.insert(digits.begin(), u'0');
  return u"U+" + digits;
}

std::u16string Shown(std::u16string_view v) {
  std::u16string s(v.substr(0, 64));
  for (char16_t& c : s)
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) c = u'?';
  return s;
}

std::u16string FormatMsgArgs(std::u16string_view text, std::initializer_list<std::u16string_view> args) {
  std::u16string r;
  auto arg = args.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 1 < text.size() && text[i + 1] == u's' && arg != args.end()) {
      r += *arg++;
      ++i;
    } else {
      r += text[i];
    }
  }
  return r;
}

namespace {

std::u16string NameOf(NodeRef n) { return Shown(n ? n.Name() : std::u16string_view()); }

// The element a node sits in; none at the top of the document or detached.
NodeRef ElementAround(NodeRef n) {
  NodeRef p = n.Parent();
  while (p && p.Type() != xc::DOMNode::ELEMENT_NODE) {
    if (p.Type() == xc::DOMNode::DOCUMENT_NODE) return {};
    p = p.Parent();
  }
  return p;
}

std::u16string InElement(NodeRef n, std::u16string_view inText, std::u16string_view outside) {
  NodeRef e = ElementAround(n);
  return e ? FormatMsg(inText, NameOf(e)) : std::u16string(outside);
}

}  // namespace

std::u16string Describe(NodeRef n) {
  switch (n.Type()) {
    case xc::DOMNode::ELEMENT_NODE:
      return FormatMsg(msg::kWhatElement, NameOf(n));
    case xc::DOMNode::ATTRIBUTE_NODE: {
      NodeRef owner = n.Owner();
      return owner ? FormatMsgArgs(msg::kWhatAttribute, {NameOf(n), NameOf(owner)})
                   : FormatMsg(msg::kWhatAttributeAlone, NameOf(n));
    }
    case xc::DOMNode::TEXT_NODE:
      return InElement(n, msg::kWhatText, n.Parent() ? msg::kWhatTopText : msg::kWhatNode);
    case xc::DOMNode::CDATA_SECTION_NODE:
      return InElement(n, msg::kWhatCData, n.Parent() ? msg::kWhatTopText : msg::kWhatNode);
    case xc::DOMNode::COMMENT_NODE:
      return InElement(n, msg::kWhatComment, msg::kWhatTopComment);
    case xc::DOMNode::PROCESSING_INSTRUCTION_NODE:
      return FormatMsg(msg::kWhatPI, NameOf(n));
    case xc::DOMNode::ENTITY_REFERENCE_NODE:
      return FormatMsg(msg::kWhatEntityRef, NameOf(n));
    case xc::DOMNode::DOCUMENT_TYPE_NODE:
      return FormatMsg(msg::kWhatDoctype, NameOf(n));
    case xc::DOMNode::DOCUMENT_NODE:
      return msg::kWhatDocument;
    default:
      return msg::kWhatNode;
  }
}

void Refuse(NodeRef node, std::u16string_view why) {
  FailText(FormatMsgArgs(msg::kCannotSave, {Describe(node), why}));
}

void RefuseDocument(std::u16string_view why) { FailText(FormatMsgArgs(msg::kCannotSave, {msg::kWhatDocument, why})); }

}  // namespace xdom
