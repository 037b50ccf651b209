// What XML text can hold: characters by XML version, names, and how a node
// that has no text form loading back the same is refused.
#pragma once

#include <initializer_list>

#include "lib/xercesxmldom/save/NodeRef.h"

namespace xdom {

enum class CharClass {
  Ordinary,       // written as it is
  LineEnd,        // a parser turns it into a line feed: a reference keeps it
  ReferenceOnly,  // XML 1.1 takes it only as a character reference
  Forbidden,      // no XML text holds it, not even as a reference
};

// How a code point may appear in XML 1.0 or 1.1 text. Lone surrogates come
// as their own code point and are forbidden.
CharClass ClassOf(char32_t cp, bool xml11);

// Calls f(codePoint, units) for each code point of a text; a surrogate
// pair is one code point, a lone surrogate its own.
template <class F>
void ForEachCodePoint(std::u16string_view s, F&& f) {
  for (size_t i = 0; i < s.size();) {
    char32_t cp = s[i];
    size_t len = 1;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      len = 2;
    }
    f(cp, s.data() + i, len);
    i += len;
  }
}
// The same for a null-terminated text (none for null).
template <class F>
void ForEachCodePoint(const XMLCh* s, F&& f) {
  ForEachCodePoint(NodeRef::View(s), f);
}

bool IsXmlName(const XMLCh* s, bool xml11);
// A name without colon.
bool IsNCName(std::u16string_view s, bool xml11);
// A name with at most one colon, between two names without one.
bool IsQName(std::u16string_view s, bool xml11);

// "U+0001".
std::u16string CodePointText(char32_t cp);
// A name or value as a message quotes it: at most 64 units, control
// characters shown as "?".
std::u16string Shown(std::u16string_view v);
// Positional "%s" replacement; inserted texts are not scanned again.
std::u16string FormatMsgArgs(std::u16string_view text, std::initializer_list<std::u16string_view> args);

// "element "a"", "the comment in element "r"", ...: a node as a message
// names it.
std::u16string Describe(NodeRef node);
// Fails the save with "Cannot save <node>: <why>".
[[noreturn]] void Refuse(NodeRef node, std::u16string_view why);
[[noreturn]] void RefuseDocument(std::u16string_view why);

}  // namespace xdom
