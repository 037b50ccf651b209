#include "lib/xercesxmldom/parse/Subset.h"

#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

namespace xdom {

namespace {

std::u16string_view View(const XMLCh* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

// A system or public literal, in the quotes it does not contain.
std::u16string QuoteId(std::u16string_view id) {
  const char16_t q = id.find(u'"') == std::u16string_view::npos ? u'"' : u'\'';
  return q + std::u16string(id) + q;
}

const char16_t* TypeName(xc::XMLAttDef::AttTypes type) {
  switch (type) {
    case xc::XMLAttDef::ID: return u"ID";
    case xc::XMLAttDef::IDRef: return u"IDREF";
    case xc::XMLAttDef::IDRefs: return u"IDREFS";
    case xc::XMLAttDef::Entity: return u"ENTITY";
    case xc::XMLAttDef::Entities: return u"ENTITIES";
    case xc::XMLAttDef::NmToken: return u"NMTOKEN";
    case xc::XMLAttDef::NmTokens: return u"NMTOKENS";
    case xc::XMLAttDef::Notation: return u"NOTATION";
    default: return u"CDATA";
  }
}

}  // namespace

std::u16string QuoteDeclaredValue(std::u16string_view value, bool entity) {
  auto isReference = [&](size_t at) {
    const size_t end = value.find(u';', at + 1);
    if (end == std::u16string_view::npos || end == at + 1 || value[at + 1] == u'#') return false;
    for (size_t i = at + 1; i < end; ++i)
      if (std::u16string_view(u" \t\r\n&<%\"'").find(value[i]) != std::u16string_view::npos) return false;
    return true;
  };
  std::u16string out(1, u'"');
  out.reserve(value.size() + 2);
  for (size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c == u'%') out += u"&#37;";
    else if (c == u'"') out += u"&#34;";
    else if (c == u'\r') out += u"&#13;";
    // Line ends of XML 1.1, which a parser turns into line feeds.
    else if (c == 0x85) out += u"&#x85;";
    else if (c == 0x2028) out += u"&#x2028;";
    else if (c == u'&' && !(entity && isReference(i))) out += u"&#38;";
    else if (!entity && c == u'<') out += u"&#60;";
    else if (!entity && c == u'\t') out += u"&#9;";
    else if (!entity && c == u'\n') out += u"&#10;";
    else out += c;
  }
  return out += u'"';
}

void SubsetWriter::Element(const xc::DTDElementDecl& decl) {
  text_ += u"<!ELEMENT ";
  text_ += View(decl.getFullName());
  if (const XMLCh* model = decl.getFormattedContentModel(); model && *model) (text_ += u' ') += model;
  text_ += u'>';
}

void SubsetWriter::StartAttList(const xc::DTDElementDecl& element) {
  text_ += u"<!ATTLIST ";
  text_ += View(element.getFullName());
  inAttList_ = true;
}

void SubsetWriter::AttDef(const xc::DTDAttDef& def) {
  ((text_ += u' ') += View(def.getFullName())) += u' ';
  const auto type = def.getType();
  if (type == xc::XMLAttDef::Notation || type == xc::XMLAttDef::Enumeration) {
    if (type == xc::XMLAttDef::Notation) text_ += u"NOTATION ";
    // The values come separated by spaces.
    std::u16string values(View(def.getEnumeration()));
    for (char16_t& c : values)
      if (c == u' ') c = u'|';
    ((text_ += u'(') += values) += u')';
  } else {
    text_ += TypeName(type);
  }
  switch (def.getDefaultType()) {
    case xc::XMLAttDef::Required: text_ += u" #REQUIRED"; return;
    case xc::XMLAttDef::Implied: text_ += u" #IMPLIED"; return;
    case xc::XMLAttDef::Fixed: text_ += u" #FIXED"; break;
    default: break;
  }
  (text_ += u' ') += QuoteDeclaredValue(View(def.getValue()), false);
}

void SubsetWriter::Entity(const xc::DTDEntityDecl& decl, bool parameter) {
  text_ += parameter ? u"<!ENTITY % " : u"<!ENTITY ";
  text_ += View(decl.getName());
  if (decl.isExternal()) {
    ExternalId(decl.getPublicId(), decl.getSystemId(), true);
    if (const XMLCh* notation = decl.getNotationName(); notation && *notation) (text_ += u" NDATA ") += notation;
  } else {
    (text_ += u' ') += QuoteDeclaredValue(View(decl.getValue()), true);
  }
  text_ += u'>';
}

void SubsetWriter::Notation(const xc::XMLNotationDecl& decl) {
  text_ += u"<!NOTATION ";
  text_ += View(decl.getName());
  ExternalId(decl.getPublicId(), decl.getSystemId(), false);
  text_ += u'>';
}

void SubsetWriter::ExternalId(const XMLCh* publicId, const XMLCh* systemId, bool withSystem) {
  // A notation may have a public identifier alone.
  if (publicId && *publicId) {
    (text_ += u" PUBLIC ") += QuoteId(publicId);
    if (withSystem || (systemId && *systemId)) (text_ += u' ') += QuoteId(View(systemId));
  } else {
    (text_ += u" SYSTEM ") += QuoteId(View(systemId));
  }
}

void SubsetWriter::Comment(const XMLCh* text) {
  ((text_ += u"<!--") += View(text)) += u"-->";
}

void SubsetWriter::PI(const XMLCh* target, const XMLCh* data) {
  (text_ += u"<?") += View(target);
  if (data && *data) (text_ += u' ') += data;
  text_ += u"?>";
}

}  // namespace xdom
