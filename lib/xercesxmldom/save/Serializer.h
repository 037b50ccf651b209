// The serializer: writes a tree (Xerces' or the store's, see NodeRef.h) as
// XML text that reads back into the same tree, or refuses it (see
// SaveRules.h, Namespaces.h) before anything of the offending node is
// handed on. Iterative, so deep trees do not exhaust the stack.
#pragma once

#include <functional>
#include <string>

#include "lib/xercesxmldom/save/NodeRef.h"

namespace xdom {

class Encoder;

// Receives the text in chunks.
using TextSink = std::function<void(const char16_t* text, size_t size)>;

struct SerializeOptions {
  // The encoding the text is written in; null for UTF-16 text, which holds
  // every character.
  const Encoder* encoder = nullptr;
  // Replaces the declared encoding in the written declaration.
  const std::u16string* declEncoding = nullptr;
  // Declarations added to the internal subset; a document without a
  // document type gets one for them.
  const std::u16string* extraSubset = nullptr;
  // A document without children is written as empty text (which the
  // document layer reads back as an empty document) instead of refused.
  bool emptyAllowed = false;
};

void SerializeDocument(XDoc* doc, const SerializeOptions& options, const TextSink& sink);
// The declaration the document is written with: its own values, or those of
// a processing instruction "xml" that comes first and stands for it.
XMLDecl DeclarationOf(XDoc* doc);
// One node and what is below it.
void SerializeNode(XDoc* doc, NodeRef node, const TextSink& sink);

}  // namespace xdom
