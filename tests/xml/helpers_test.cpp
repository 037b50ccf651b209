// The free routines of the document layer and the option sets.
#include <gtest/gtest.h>

#include <string>

#include "rtl/Streams.h"
#include "tests/xml/XmlTestUtil.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace xmltest;

TEST(OptionSets, DefaultsAndBits) {
  EXPECT_EQ(kDefaultXMLDocOptions.Byte(), 0x1D);
  EXPECT_TRUE((kDefaultXMLDocOptions == TXMLDocOptions{doNodeAutoCreate, doAttrNull, doAutoPrefix, doNamespaceDecl}));
  EXPECT_FALSE(kDefaultXMLDocOptions.Contains(doNodeAutoIndent));
  EXPECT_FALSE(kDefaultXMLDocOptions.Contains(doAutoSave));
  TParseOptions parse;
  EXPECT_TRUE(parse.Empty());
  parse.Include(poAsyncLoad);
  EXPECT_EQ(parse.Byte(), 0x08);
  parse.Exclude(poAsyncLoad);
  EXPECT_TRUE(parse.Empty());
  EXPECT_EQ((TXMLDocOptions{doAutoSave} + TXMLDocOptions{doAttrNull}).Byte(), 0x24);
  EXPECT_EQ((kDefaultXMLDocOptions - TXMLDocOptions{doNodeAutoCreate}).Byte(), 0x1C);
}

TEST(ReadQuotedAttr, FindsValueInEitherQuote) {
  EXPECT_EQ(ReadQuotedAttr("encoding", "<?xml version=\"1.0\" encoding='UTF-8'?>", u"def"), u"UTF-8");
  EXPECT_EQ(ReadQuotedAttr("version", "<?xml version=\"1.0\" encoding='UTF-8'?>", u"def"), u"1.0");
  // Either quote closes the value, whichever opened it.
  EXPECT_EQ(ReadQuotedAttr("a", "a=\"x'y\" ", u""), u"x");
}

TEST(ReadQuotedAttr, MissingNameOrQuote) {
  EXPECT_EQ(ReadQuotedAttr("encoding", "<?xml version=\"1.0\"?>", u"def"), u"def");
  EXPECT_EQ(ReadQuotedAttr("encoding", "<?xml encoding=UTF-8 ?>", u"def"), u"");
  // No closing quote: the value ends one character before the end.
  EXPECT_EQ(ReadQuotedAttr("a", "a=\"abcd", u""), u"abc");
}

TEST(TextInList, IgnoresAsciiCase) {
  EXPECT_TRUE(TextInList("utf-16", WideEncodingNames));
  EXPECT_TRUE(TextInList("Unicode", WideEncodingNames));
  EXPECT_FALSE(TextInList("UTF-8", WideEncodingNames));
  EXPECT_FALSE(TextInList("UTF-16", {}));
  ASSERT_EQ(WideEncodingNames.size(), 3u);
  EXPECT_EQ(WideEncodingNames[0], "UTF-16");
  EXPECT_EQ(WideEncodingNames[1], "UCS-2");
  EXPECT_EQ(WideEncodingNames[2], "UNICODE");
}

TEST(DropUnlistedEncoding, KeepsWideEncodingsDropsOthers) {
  WideString kept = u"<?xml version=\"1.0\" encoding=\"utf-16\"?><a/>";
  DropUnlistedEncoding(kept, WideEncodingNames);
  EXPECT_EQ(kept, u"<?xml version=\"1.0\" encoding=\"utf-16\"?><a/>");

  WideString dropped = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>";
  DropUnlistedEncoding(dropped, WideEncodingNames);
  EXPECT_EQ(dropped, u"<?xml version=\"1.0\"?><a/>");

  WideString apostrophes = u"<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?><a/>";
  DropUnlistedEncoding(apostrophes, WideEncodingNames);
  EXPECT_EQ(apostrophes, u"<?xml version='1.0' standalone='yes'?><a/>");
}

// Only the declaration's own pseudo-attribute goes: the same words in the
// content are data, and a declaration longer than usual is still one.
TEST(DropUnlistedEncoding, OnlyTouchesALeadingDeclaration) {
  for (const char16_t* kept : {u"<!-- a comment long enough to push the declaration away --><?xml encoding=\"UTF-8\"?>",
                               u"<a encoding=\"\"/>", u"<file encoding=\"base64\">x</file>",
                               u"<r>x encoding='l' y</r>", u"<?xml-stylesheet encoding=\"UTF-8\"?><r/>"}) {
    WideString text = kept;
    DropUnlistedEncoding(text, WideEncodingNames);
    EXPECT_EQ(text, kept);
  }
  WideString longDecl = u"\uFEFF<?xml version=\"1.0\"       standalone=\"no\"      encoding=\"ISO-8859-1\"?><r/>";
  DropUnlistedEncoding(longDecl, WideEncodingNames);
  EXPECT_EQ(longDecl, u"\uFEFF<?xml version=\"1.0\"       standalone=\"no\"?><r/>");
}

TDetectedEncoding Detect(const std::string& bytes, int64_t position = 0) {
  rtl::TStringStream stream(bytes);
  stream.SetPosition(position);
  TDetectedEncoding result = DetectStreamEncoding(&stream);
  EXPECT_EQ(stream.GetPosition(), position);
  return result;
}

TEST(DetectStreamEncoding, Patterns) {
  EXPECT_EQ(Detect("<?"), deUndetermined);
  EXPECT_EQ(Detect(""), deUndetermined);
  EXPECT_EQ(Detect("<?xml version=\"1.0\"?><a/>", 3), deUTF8);
  EXPECT_EQ(Detect("\xEF\xBB\xBF<?xml version=\"1.0\"?>"), deUTF8BOM);
  EXPECT_EQ(Detect(std::string("\xFF\xFE<\0?\0x\0", 8)), deUTF16LE);  // found at offset 2
  EXPECT_EQ(Detect(std::string("\0<\0?\0x", 6)), deUTF16BE);
  EXPECT_EQ(Detect(std::string("\0\0\0<\0\0\0?", 8)), deUCS4BE);
  EXPECT_EQ(Detect(std::string("<\0\0\0?\0\0\0", 8)), deUCS4LE);
  EXPECT_EQ(Detect(std::string("\0\0\xFE\xFF", 4)), deUCS4BE);
  EXPECT_EQ(Detect(std::string("\xFF\xFE\0\0", 4)), deUCS4LE);
  EXPECT_EQ(Detect(std::string("\0\0\xFF\xFE", 4)), deUCS4Order2143);
  EXPECT_EQ(Detect(std::string("\xFE\xFF\0\0", 4)), deUCS4Order3412);
  EXPECT_EQ(Detect(std::string("\0\0\0<<\0\0\0\0\0<\0\0<\0\0", 16)), deUCS4Mixed);
  EXPECT_EQ(Detect("\x4C\x6F\xA7\x94"), deEBCDIC);
  EXPECT_EQ(Detect("<a>no declaration here</a>"), deUndetermined);
  // Patterns are looked for at even offsets past the start as well.
  EXPECT_EQ(Detect("ab<?xml?>"), deUTF8);
  EXPECT_EQ(Detect("abc<?xml?>"), deUndetermined);
}

TEST(SetNodeClassEntry, AddReplaceRemoveKeepOrder) {
  struct A : TXMLNode {
    using TXMLNode::TXMLNode;
    XMLNODE_CLASS(A)
  };
  struct B : TXMLNode {
    using TXMLNode::TXMLNode;
    XMLNODE_CLASS(B)
  };
  TNodeClassArray classes;
  SetNodeClassEntry(classes, NodeClassOf<A>(), u"a", u"");
  SetNodeClassEntry(classes, NodeClassOf<A>(), u"b", u"urn:x");
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0].NodeName, u"a");
  EXPECT_EQ(classes[1].NamespaceURI, u"urn:x");
  SetNodeClassEntry(classes, NodeClassOf<B>(), u"a", u"");
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0].NodeClass, NodeClassOf<B>());
  // Names and namespaces compare exactly.
  SetNodeClassEntry(classes, nullptr, u"B", u"urn:x");
  EXPECT_EQ(classes.size(), 2u);
  SetNodeClassEntry(classes, nullptr, u"a", u"");
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].NodeName, u"b");
  // Unregistering an unknown pair records nothing.
  SetNodeClassEntry(classes, nullptr, u"zz", u"");
  EXPECT_EQ(classes.size(), 1u);
}

TEST(AppendAttrText, BlankSeparatedNoEscaping) {
  AnsiString s;
  AppendAttrText(s, "version", "");
  EXPECT_EQ(s, "");
  AppendAttrText(s, "version", "1.0");
  EXPECT_EQ(s, "version=\"1.0\"");
  AppendAttrText(s, "x", "a\"b");
  EXPECT_EQ(s, "version=\"1.0\" x=\"a\"b\"");
}

TEST(RaiseDocError, CarriesFormattedText) {
  try {
    RaiseDocErrorFmt(XMLConst::SNodeNotFound, {"abc"});
    FAIL();
  } catch (const EXMLDocError& e) {
    EXPECT_STREQ(e.what(), "Node \"abc\" not found");
  }
  EXPECT_THROW(RaiseDocError("x"), EXMLDocError);
}

TEST(MakeDOMNode, EveryKindAndInvalidKinds) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  IDOMDocument* dom = doc->GetDOMDocument().get();
  struct Case {
    TNodeType type;
    const char16_t* name;
    const char16_t* extra;
    const char16_t* expectName;
  };
  const Case cases[] = {
      {ntElement, u"e", u"", u"e"},
      {ntElement, u"p:e", u"urn:p", u"p:e"},
      {ntAttribute, u"a", u"", u"a"},
      {ntAttribute, u"p:a", u"urn:p", u"p:a"},
      {ntText, u"t", u"", u"#text"},
      {ntCDATASection, u"c", u"", u"#cdata-section"},
      {ntProcessingInstr, u"target", u"data", u"target"},
      {ntComment, u"c", u"", u"#comment"},
      {ntDocumentFragment, u"ignored", u"ignored", u"#document-fragment"},
  };
  for (const Case& c : cases) {
    ComPtr<IDOMNode> node = MakeDOMNode(dom, c.name, c.type, c.extra);
    ASSERT_TRUE(node);
    EXPECT_EQ(DOMNodeType(node.get()), c.type);
    EXPECT_EQ(DOMNodeName(node.get()), c.expectName);
    ComPtr<IDOMNode> parent;
    DOMCheck(node->GetParentNode(parent.put()), "GetParentNode");
    EXPECT_FALSE(parent);
  }
  ComPtr<IDOMNode> ns = MakeDOMNode(dom, u"p:e", ntElement, u"urn:p");
  WideString uri;
  DOMCheck(ns->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:p");
  for (TNodeType bad : {ntReserved, ntEntity, ntDocument, ntDocumentType, ntNotation}) {
    try {
      MakeDOMNode(dom, u"x", bad, u"");
      FAIL() << int(bad);
    } catch (const EXMLDocError& e) {
      EXPECT_STREQ(e.what(), "Invalid node type");
    }
  }
}

}  // namespace
