// Shared helpers of the DOM library tests: the implementation through the
// vendor, loading, and short accessors that check every status.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "dom/xercesxmldom.h"
#include "dom/xmldom.h"
#include "lib/xercesxmldom/XercesTree.h"
#include "rtl/Streams.h"
#include "rtl/TextConv.h"

namespace libtest {

using rtl::ComPtr;

inline ComPtr<IDOMImplementation> Impl() { return ImplementationByDescription(SXercesXML); }

inline ComPtr<IDOMDocument> NewDoc() {
  ComPtr<IDOMDocument> d;
  DOMCheck(Impl()->CreateDocument(u"", u"", nullptr, d.put()), "CreateDocument");
  return d;
}

inline ComPtr<IDOMPersist> Persist(IDOMDocument* d) { return ComPtr<IDOMDocument>(d).try_query<IDOMPersist>(); }
inline ComPtr<IDOMParseOptions> Options(IDOMDocument* d) {
  return ComPtr<IDOMDocument>(d).try_query<IDOMParseOptions>();
}

// Loads text into doc; the load result.
inline bool LoadInto(IDOMDocument* d, std::u16string_view xml) {
  WordBool ok = 0;
  DOMCheck(Persist(d)->LoadXMLText(xml, &ok), "LoadXMLText");
  return ok != 0;
}

inline ComPtr<IDOMDocument> Parse(std::u16string_view xml) {
  ComPtr<IDOMDocument> d = NewDoc();
  EXPECT_TRUE(LoadInto(d.get(), xml)) << "document did not load";
  return d;
}

inline std::string Narrow(const WideString& s) { return rtl::Utf8Encode(s); }

inline WideString Name(IDOMNode* n) {
  WideString s;
  DOMCheck(n->GetNodeName(&s), "GetNodeName");
  return s;
}
inline WideString Value(IDOMNode* n) {
  WideString s;
  DOMCheck(n->GetNodeValue(&s), "GetNodeValue");
  return s;
}
inline uint16_t Type(IDOMNode* n) {
  uint16_t t = 0;
  DOMCheck(n->GetNodeType(&t), "GetNodeType");
  return t;
}
inline ComPtr<IDOMNodeList> Children(IDOMNode* n) {
  ComPtr<IDOMNodeList> l;
  DOMCheck(n->GetChildNodes(l.put()), "GetChildNodes");
  return l;
}
inline int32_t Length(IDOMNodeList* l) {
  int32_t n = -1;
  DOMCheck(l->GetLength(&n), "GetLength");
  return n;
}
inline ComPtr<IDOMNode> Item(IDOMNodeList* l, int32_t i) {
  ComPtr<IDOMNode> n;
  DOMCheck(l->Item(i, n.put()), "Item");
  return n;
}
inline ComPtr<IDOMNode> Child(IDOMNode* n, int32_t i) { return Item(Children(n).get(), i); }
inline int32_t ChildCount(IDOMNode* n) { return Length(Children(n).get()); }
inline ComPtr<IDOMElement> Root(IDOMDocument* d) {
  ComPtr<IDOMElement> e;
  DOMCheck(d->GetDocumentElement(e.put()), "GetDocumentElement");
  return e;
}
inline ComPtr<IDOMNamedNodeMap> Attrs(IDOMNode* n) {
  ComPtr<IDOMNamedNodeMap> m;
  DOMCheck(n->GetAttributes(m.put()), "GetAttributes");
  return m;
}
// "name=value" of every attribute in Item order, blank separated.
inline std::string AttrList(IDOMNode* n) {
  ComPtr<IDOMNamedNodeMap> m = Attrs(n);
  int32_t len = 0;
  DOMCheck(m->GetLength(&len), "GetLength");
  std::string r;
  for (int32_t i = 0; i < len; ++i) {
    ComPtr<IDOMNode> a;
    DOMCheck(m->Item(i, a.put()), "Item");
    if (!r.empty()) r += ' ';
    r += Narrow(Name(a.get())) + "=" + Narrow(Value(a.get()));
  }
  return r;
}
inline WideString XMLText(IDOMNode* n) {
  ComPtr<IDOMNodeExtension> x = ComPtr<IDOMNode>(n).try_query<IDOMNodeExtension>();
  WideString s;
  DOMCheck(x->GetXMLText(&s), "GetXMLText");
  return s;
}
inline WideString DocText(IDOMDocument* d) {
  WideString s;
  DOMCheck(Persist(d)->GetDocumentText(&s), "GetDocumentText");
  return s;
}
inline std::string XML8(IDOMNode* n) { return Narrow(XMLText(n)); }

struct ParseFailure {
  std::string reason;
  std::string srcText;
  int32_t line = 0;
  int32_t linePos = 0;
};
inline ParseFailure ErrorOf(IDOMDocument* d) {
  ComPtr<IDOMParseError> e = ComPtr<IDOMDocument>(d).try_query<IDOMParseError>();
  ParseFailure f;
  if (!e) return f;
  WideString s;
  DOMCheck(e->GetReason(&s), "GetReason");
  f.reason = Narrow(s);
  DOMCheck(e->GetSourceText(&s), "GetSourceText");
  f.srcText = Narrow(s);
  DOMCheck(e->GetLine(&f.line), "GetLine");
  DOMCheck(e->GetLinePos(&f.linePos), "GetLinePos");
  return f;
}

// The message of the exception a failed status turns into; "" when the
// status is a success.
inline std::string FailureText(HResult hr) {
  try {
    DOMCheck(hr, "operation");
  } catch (const rtl::Exception& e) {
    return e.Message();
  }
  return "";
}

// A fresh directory for files of one test.
inline std::string TempDir() {
  char tmpl[] = "/tmp/libtest.XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "/tmp";
}
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}
inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline bool LoadFile(IDOMDocument* d, const std::string& path) {
  WordBool ok = 0;
  DOMCheck(Persist(d)->LoadFromSource(rtl::OleVariant(rtl::Utf8Decode(path)), &ok), "LoadFromSource");
  return ok != 0;
}

// Builds the document's Xerces tree from its store: the reference the
// store is checked against.
inline void BuildTree(IDOMDocument* d) {
  DOMCheck(ComPtr<IDOMDocument>(d).try_query<IXercesTree>()->BuildTree(), "BuildTree");
}
inline bool HasTree(IDOMDocument* d) {
  WordBool built = 0;
  DOMCheck(ComPtr<IDOMDocument>(d).try_query<IXercesTree>()->HasTree(&built), "HasTree");
  return built != 0;
}

}  // namespace libtest
