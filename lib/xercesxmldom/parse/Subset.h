// The internal subset of a document type as text that loads back as the
// same declarations. The parser hands each declaration of the internal
// subset over as it reads it; values arrive as they are after parsing
// (character references replaced, attribute defaults normalised), so they
// are written escaped here.
#pragma once

#include <string>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xercesc_3_2 {
class DTDAttDef;
class DTDElementDecl;
class DTDEntityDecl;
class XMLNotationDecl;
}  // namespace xercesc_3_2

namespace xdom {

class SubsetWriter {
 public:
  void Element(const xc::DTDElementDecl& decl);
  void StartAttList(const xc::DTDElementDecl& element);
  void AttDef(const xc::DTDAttDef& def);
  void EndAttList() {
    text_ += u'>';
    inAttList_ = false;
  }
  void Entity(const xc::DTDEntityDecl& decl, bool parameter);
  void Notation(const xc::XMLNotationDecl& decl);
  void Comment(const XMLCh* text);
  void PI(const XMLCh* target, const XMLCh* data);
  // White space between declarations; that inside an attribute list
  // declaration, which also comes this way, is written by AttDef.
  void Space(const XMLCh* chars, XMLSize_t length) {
    if (!inAttList_) text_.append(chars, length);
  }

  const std::u16string& Text() const { return text_; }
  void Clear() {
    text_.clear();
    inAttList_ = false;
  }

 private:
  void ExternalId(const XMLCh* publicId, const XMLCh* systemId, bool withSystem);
  std::u16string text_;
  bool inAttList_ = false;
};

// A declared value in double quotes as it reads back into itself: an
// entity's replacement text (where a reference to a general entity stays a
// reference) or an attribute's default (where everything is literal).
std::u16string QuoteDeclaredValue(std::u16string_view value, bool entity);

}  // namespace xdom
