// Edit, save, read back. Seeded random edit sequences through the public
// API (50 to 80 operations on one of a few documents, names and values
// drawn from all of Unicode: control characters, NUL, lone surrogates,
// "]]>", "--", "?>", line ends), in UTF-8, UTF-16, ISO-8859-1 and US-ASCII,
// XML 1.0 and 1.1. Each document is saved as text, to a stream, to a file,
// and its document element with GetXML. Either what was saved reads back as
// the same tree (tests/support/SavedTree.h says what XML itself changes) or
// the save fails with a message and leaves its target as it was.
//
// CI runs a fixed set of seeds (tests/xml/extra/CMakeLists.txt); another or
// a longer run: RC_PARAMS="seed=7 max_success=20000" xml_save_property_tests
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "rtl/Streams.h"
#include "tests/support/SavedTree.h"
#include "tests/xml/vendor/DocTestSupport.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

constexpr const char16_t* kBases[] = {
    u"<?xml version=\"1.0\"?><!--head--><r xmlns:p=\"urn:p\" a=\"1\"><b>t</b><p:c p:k=\"v\"/><!--x--><?pi d?>"
    u"<![CDATA[c]]>mixed</r>",
    u"<r xmlns=\"urn:d\" xmlns:q=\"urn:q\"><q:x q:y=\"1\" z=\"2\">text</q:x><y/>\n  <z xmlns=\"\"/></r>",
    u"<!DOCTYPE r [<!ENTITY e \"ent\">]><r><a>&e;</a><b/></r>",
    u"<?xml version=\"1.1\"?><r>&#x1;<s xml:lang=\"en\"> </s></r>",
};
constexpr const char16_t* kEncodings[] = {u"UTF-8", u"UTF-16", u"ISO-8859-1", u"US-ASCII"};
constexpr const char16_t* kXmlNs = u"http://www.w3.org/XML/1998/namespace";
constexpr const char16_t* kXmlnsNs = u"http://www.w3.org/2000/xmlns/";
constexpr int kOpKinds = 18;

struct Op {
  int kind = 0;
  int node = 0, other = 0, index = 0;
  std::u16string name, value, uri;
};

void showValue(const Op& op, std::ostream& os) {
  os << "op " << op.kind << " node " << op.node << " other " << op.other << " index " << op.index << " name \""
     << U8(op.name) << "\" value \"" << U8(op.value) << "\" uri \"" << U8(op.uri) << "\"";
}

rc::Gen<std::u16string> Unit(int from, int to) {
  return rc::gen::map(rc::gen::inRange(from, to), [](int c) { return std::u16string(1, static_cast<char16_t>(c)); });
}

// Texts are made of pieces: letters; characters that XML holds but that
// need care (markup, line ends, NEL and LS, C1 controls, characters beyond
// the basic plane); and, as often as the document is "wild" (0 to 3),
// characters and sequences that some or all nodes cannot hold: any UTF-16
// unit (NUL and lone surrogates included), control characters, "--", "?>".
rc::Gen<std::u16string> Text(int wild) {
  auto piece = rc::gen::weightedOneOf<std::u16string>({
      {6, Unit(u'a', u'z' + 1)},
      {3, rc::gen::element<std::u16string>(u"]]>", u"<", u"&", u">", u"\"", u"'", u"\r\n", u"\r", u"\n", u"\t", u" ",
                                           u"\u0085", u"\u2028", u"\u007F", u"\u0080", u"\u00E9", u"\u20AC", u"\u4E2D",
                                           u"\U0001F600", u"&lt;", u"]]", u":", u"xml")},
      {1, rc::gen::map(rc::gen::inRange(0x10000, 0x110000),
                       [](int cp) {
                         cp -= 0x10000;
                         return std::u16string{static_cast<char16_t>(0xD800 + (cp >> 10)),
                                               static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
                       })},
      {static_cast<size_t>(wild), Unit(0, 0x10000)},
      {static_cast<size_t>(wild), Unit(0, 0x20)},
      {static_cast<size_t>(wild), rc::gen::element<std::u16string>(u"--", u"-", u"?>", u"\uFFFE", u"\uFFFF")},
  });
  return rc::gen::mapcat(rc::gen::inRange(0, 7), [piece](int n) {
    return rc::gen::map(rc::gen::container<std::vector<std::u16string>>(static_cast<size_t>(n), piece),
                        [](const std::vector<std::u16string>& parts) {
                          std::u16string s;
                          for (const auto& p : parts) s += p;
                          return s;
                        });
  });
}

rc::Gen<std::u16string> Name(int wild) {
  return rc::gen::weightedOneOf<std::u16string>({
      {12, rc::gen::element<std::u16string>(u"a", u"b", u"c", u"NS1", u"x-y.z", u"\u00E9", u"\u4E2D", u"e", u"pi")},
      {3, rc::gen::element<std::u16string>(u"p:c", u"q:x", u"NS1:c", u"xml:lang", u"xmlns:p", u"xmlns")},
      {static_cast<size_t>(wild), rc::gen::element<std::u16string>(u"xmlns:xml", u"xmlns:q", u"\U00010000x", u"lt",
                                                                   u"undeclared", u"xml", u"XmL", u"p:", u":a",
                                                                   u"1bad", u"a b")},
      {static_cast<size_t>(wild), Text(wild)},
  });
}

rc::Gen<std::u16string> Value(int wild) {
  return rc::gen::weightedOneOf<std::u16string>({
      {6, Text(wild)},
      {4, rc::gen::element<std::u16string>(u"", u"t", u"]]>", u"urn:p", u" ", u"a\r\nb", u"version=\"1.0\"")},
  });
}

rc::Gen<std::u16string> Uri(int wild) {
  return rc::gen::weightedOneOf<std::u16string>({
      {8, rc::gen::element<std::u16string>(u"", u"urn:p", u"urn:q", u"urn:d")},
      {static_cast<size_t>(wild), rc::gen::element<std::u16string>(kXmlNs, kXmlnsNs)},
      {static_cast<size_t>(wild), Text(wild)},
  });
}

rc::Gen<Op> AnyOp(int wild) {
  return rc::gen::apply(
      [](int kind, int node, int other, int index, std::u16string name, std::u16string value, std::u16string uri) {
        return Op{kind, node, other, index, std::move(name), std::move(value), std::move(uri)};
      },
      rc::gen::inRange(0, kOpKinds), rc::gen::inRange(0, 64), rc::gen::inRange(0, 64), rc::gen::inRange(-2, 8),
      Name(wild), Value(wild), Uri(wild));
}

// The message of the layers' exception f raises; empty when none.
std::string FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.what()[0] ? e.what() : "(empty message)";
  }
  return {};
}

bool IsShowable(const std::string& message) {
  if (message.empty() || message.find('\0') != std::string::npos) return false;
  for (unsigned char c : message)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

// Applies operations to a document through its nodes, the way a program
// would: nodes come from a small pool that the operations fill.
class Editor {
 public:
  Editor(ComPtr<IXMLDocumentIntf> doc, int wild) : doc_(std::move(doc)), wild_(wild) {
    Refill(doc_->GetDocumentElement());
  }

  void Apply(const Op& op) {
    ComPtr<IXMLNode> n = Pick(op.node);
    OleVariant value(op.value);
    switch (op.kind) {
      case 0: Keep(n->AddChild(op.name, op.index)); break;
      case 1: Keep(n->AddChildNS(op.name, op.uri, op.index & 1, -1)); break;
      case 2: n->SetAttribute(op.name, op.index == -2 ? OleVariant() : value); break;
      case 3: n->SetAttributeNS(op.name, op.uri, op.index == -2 ? OleVariant() : value); break;
      case 4: n->SetText(op.value); break;
      case 5: {
        static constexpr TNodeType kTypes[] = {ntText, ntCDATASection, ntEntityRef, ntProcessingInstr, ntComment};
        TNodeType type = kTypes[static_cast<size_t>(op.other) % 5];
        static constexpr const char16_t* kEntities[] = {u"lt", u"amp", u"quot", u"e"};
        std::u16string name = op.name;
        if (type == ntEntityRef && (wild_ == 0 || op.index >= 0)) name = kEntities[static_cast<size_t>(op.other) % 4];
        bool named = type == ntEntityRef || type == ntProcessingInstr;
        auto made = doc_->CreateNode(named ? name : op.value, type, op.value);
        n->GetChildNodes()->Insert(op.index, made);
        Keep(made);
        break;
      }
      case 6:
        // Without its element a document has no text form; only wild
        // documents lose it that way (and then are refused).
        if (n->GetNodeType() != ntDocument || wild_ >= 2) n->GetChildNodes()->Delete(op.index);
        break;
      case 7: n->GetChildNodes()->Insert(op.index, Pick(op.other)); break;
      case 8: n->GetChildNodes()->Insert(op.index, Keep(n->CloneNode(op.other & 1))); break;
      case 9: n->DeclareNamespace(op.name, op.uri); break;
      case 10: n->GetAttributeNodes()->Delete(op.index); break;
      case 11: doc_->SetDocumentElement(Pick(op.other)); break;
      case 12:
        switch (op.other % 3) {
          case 0: doc_->SetVersion(op.index & 1 ? u"1.1" : op.index < 0 ? op.value : u"1.0"); break;
          case 1: doc_->SetEncoding(op.index >= 0 ? kEncodings[op.index % 4] : op.value); break;
          default: doc_->SetStandalone(op.index & 1 ? u"yes" : op.value); break;
        }
        break;
      case 13: n->Normalize(); break;
      case 14: n->SetNodeValue(value); break;
      case 15: n->SetChildValue(OleVariant(op.name), value); break;
      case 16: doc_->SetOptions(TXMLDocOptions::FromByte(static_cast<uint8_t>(op.other & 0x1F))); break;
      default: Refill(n); break;
    }
  }

 private:
  ComPtr<IXMLNode> Pick(int i) {
    if (pool_.empty()) Refill(doc_->GetDocumentElement());
    return pool_[static_cast<size_t>(i) % pool_.size()];
  }
  ComPtr<IXMLNode> Keep(ComPtr<IXMLNode> n) {
    if (n) {
      if (pool_.size() >= 24) pool_.erase(pool_.begin() + 1);
      pool_.push_back(n);
    }
    return n;
  }
  void Refill(const ComPtr<IXMLNode>& from) {
    pool_.clear();
    pool_.push_back(doc_->GetDocumentNode());
    if (!from) return;
    pool_.push_back(from);
    auto children = from->GetChildNodes();
    for (int32_t i = 0; i < children->GetCount() && i < 8; ++i) pool_.push_back(children->Get(i));
  }

  ComPtr<IXMLDocumentIntf> doc_;
  int wild_;
  std::vector<ComPtr<IXMLNode>> pool_;
};

ComPtr<IXMLDocumentIntf> Reader() {
  auto doc = NewDocument(RealVendorDesc());
  doc->SetParseOptions(TParseOptions{poPreserveWhiteSpace});
  return doc;
}

// What a failed save must look like: a clear message, the target as it was.
void CheckRefusal(const std::string& what, const std::string& why, bool untouched) {
  if (!IsShowable(why)) RC_FAIL(what + ": unclear message \"" + why + "\"");
  if (!untouched) RC_FAIL(what + " failed (" + why + ") but changed its target");
}

void CheckReadBack(const std::string& what, IDOMNode* saved, const ComPtr<IXMLDocumentIntf>& back,
                   const std::string& loadFailure, const savedtree::ReadRules& rules, const std::string& text) {
  if (!loadFailure.empty()) RC_FAIL(what + " does not load again: " + loadFailure + "\n" + text);
  std::string diff = savedtree::Difference(saved, back->GetDOMDocument().get(), rules);
  if (!diff.empty()) RC_FAIL(what + " reads back differently: " + diff + "\n" + text);
}

}  // namespace

RC_GTEST_PROP(SaveRoundTrip, EditedDocumentsReadBackTheSameOrRefuseCleanly, ()) {
  // Drawn at full size, so every base and every degree of wildness is as
  // likely in the first documents as in the last.
  const int base = *rc::gen::resize(100, rc::gen::inRange(0, 4));
  const int wild = *rc::gen::resize(100, rc::gen::inRange(0, 4));
  const std::vector<Op> ops = *rc::gen::container<std::vector<Op>>(
      static_cast<size_t>(*rc::gen::inRange(50, 81)), AnyOp(wild));

  auto doc = NewDocument(RealVendorDesc());
  doc->LoadFromXML(WideString(kBases[base]));
  doc->SetVersion(*rc::gen::inRange(0, 2) ? u"1.1" : u"1.0");
  doc->SetEncoding(kEncodings[*rc::gen::inRange(0, 4)]);
  Editor editor(doc, wild);
  for (const Op& op : ops) (void)FailureOf([&] { editor.Apply(op); });
  if (!doc->GetActive()) return;

  savedtree::ReadRules rules;
  rules.xml11 = doc->GetVersion() == u"1.1";
  if (base == 2) rules.entities[u"e"] = u"ent";
  ComPtr<IDOMDocument> saved = doc->GetDOMDocument();

  // Text.
  const WideString sentinel = u"\u2603 not written";
  WideString text = sentinel;
  std::string why = FailureOf([&] { doc->SaveToXML(text); });
  RC_TAG(why.empty() ? "saved and read back" : "refused", wild);
  if (why.empty()) {
    auto back = Reader();
    std::string loaded = FailureOf([&] { back->LoadFromXML(text); });
    CheckReadBack("the saved text", saved.get(), back, loaded, rules, U8(text));
  } else {
    CheckRefusal("saving as text", why, text == sentinel);
  }

  // Stream.
  rtl::TStringStream stream("not written");
  why = FailureOf([&] { doc->SaveToStream(&stream); });
  if (!why.empty()) CheckRefusal("saving to a stream", why, stream.DataString() == "not written");

  // File.
  TScratchDir dir;
  const std::string file = dir.File("doc.xml");
  WriteFileBytes(file, "<old/>");
  why = FailureOf([&] { doc->SaveToFile(W(file)); });
  if (why.empty()) {
    auto back = Reader();
    std::string loaded = FailureOf([&] { back->LoadFromFile(W(file)); });
    CheckReadBack("the saved file", saved.get(), back, loaded, rules, ReadFileBytes(file));
  } else {
    CheckRefusal("saving to a file", why, ReadFileBytes(file) == "<old/>" && dir.Entries().size() == 1);
  }

  // The document element on its own (read back with the document's version;
  // entities need the document type, so only without one).
  auto root = doc->GetDocumentElement();
  if (!root || base == 2) return;
  WideString xml;
  why = FailureOf([&] { xml = root->GetXML(); });
  if (!why.empty()) {
    CheckRefusal("GetXML", why, true);
    return;
  }
  auto back = Reader();
  std::string loaded = FailureOf([&] { back->LoadFromXML((rules.xml11 ? u"<?xml version=\"1.1\"?>" : u"") + xml); });
  if (!loaded.empty()) RC_FAIL("GetXML does not load again: " + loaded + "\n" + U8(xml));
  std::string diff =
      savedtree::ElementDifference(root->GetDOMNode().get(), back->GetDocumentElement()->GetDOMNode().get(), rules);
  if (!diff.empty()) RC_FAIL("GetXML reads back differently: " + diff + "\n" + U8(xml));
}
