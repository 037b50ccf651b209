// Loading: sources, parse errors, encodings, parse options and the shape of
// the tree the library builds.
#include "LibTest.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr std::chrono::milliseconds kSlowHandler{30};
}  // namespace

using namespace libtest;

TEST(LibLoad, TextLoadsAndNavigates) {
  auto d = Parse(u"<?xml version=\"1.0\"?><root a=\"1\"><!--c--><?pi data?>text<![CDATA[cd]]><child/></root>");
  auto root = Root(d.get());
  ASSERT_TRUE(root);
  EXPECT_EQ(Name(root.get()), u"root");
  ASSERT_EQ(ChildCount(root.get()), 5);
  EXPECT_EQ(Type(Child(root.get(), 0).get()), ntComment);
  EXPECT_EQ(Type(Child(root.get(), 1).get()), ntProcessingInstr);
  EXPECT_EQ(Name(Child(root.get(), 1).get()), u"pi");
  EXPECT_EQ(Value(Child(root.get(), 1).get()), u"data");
  EXPECT_EQ(Type(Child(root.get(), 2).get()), ntText);
  EXPECT_EQ(Value(Child(root.get(), 2).get()), u"text");
  EXPECT_EQ(Type(Child(root.get(), 3).get()), ntCDATASection);
  EXPECT_EQ(Type(Child(root.get(), 4).get()), ntElement);
  EXPECT_FALSE(Child(root.get(), 5)) << "out of range gives null";
  EXPECT_FALSE(Child(root.get(), -1));

  ComPtr<IDOMNode> parent;
  DOMCheck(Child(root.get(), 4)->GetParentNode(parent.put()), "GetParentNode");
  EXPECT_EQ(Name(parent.get()), u"root");
  ComPtr<IDOMDocument> owner;
  DOMCheck(root->GetOwnerDocument(owner.put()), "GetOwnerDocument");
  EXPECT_TRUE(rtl::SameObject(owner.get(), d.get())) << "the live document wrapper is handed back";
  ComPtr<IDOMNode> docParent;
  DOMCheck(root->GetParentNode(docParent.put()), "GetParentNode");
  EXPECT_EQ(Type(docParent.get()), ntDocument);
}

TEST(LibLoad, ChildListIsLiveAndIndexesBothWays) {
  auto d = Parse(u"<r><a/><b/><c/><d/><e/></r>");
  auto root = Root(d.get());
  auto list = Children(root.get());
  EXPECT_EQ(Length(list.get()), 5);
  // Forward, backward and jumping access must all agree with the order.
  const char16_t* names[] = {u"a", u"b", u"c", u"d", u"e"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Name(Item(list.get(), i).get()), names[i]);
  for (int i = 4; i >= 0; --i) EXPECT_EQ(Name(Item(list.get(), i).get()), names[i]);
  EXPECT_EQ(Name(Item(list.get(), 3).get()), u"d");
  EXPECT_EQ(Name(Item(list.get(), 1).get()), u"b");
  EXPECT_FALSE(Item(list.get(), 5));

  // Changes through any wrapper show up in the list already handed out.
  ComPtr<IDOMNode> removed;
  DOMCheck(root->RemoveChild(Item(list.get(), 0).get(), removed.put()), "RemoveChild");
  EXPECT_EQ(Length(list.get()), 4);
  EXPECT_EQ(Name(Item(list.get(), 0).get()), u"b");
  DOMCheck(root->AppendChild(removed.get(), nullptr), "AppendChild");
  EXPECT_EQ(Length(list.get()), 5);
  EXPECT_EQ(Name(Item(list.get(), 4).get()), u"a");
}

TEST(LibLoad, ParseErrorGivesReasonLineAndSourceLine) {
  auto d = NewDoc();
  EXPECT_FALSE(LoadInto(d.get(), u"<root>\n  <a>\n  <b></a>\n</root>"));
  ParseFailure f = ErrorOf(d.get());
  EXPECT_FALSE(f.reason.empty());
  EXPECT_EQ(f.line, 3);
  EXPECT_GT(f.linePos, 0);
  EXPECT_EQ(f.srcText, "  <b></a>");
  // A failed load leaves the document empty.
  WordBool has = -1;
  DOMCheck(d->HasChildNodes(&has), "HasChildNodes");
  EXPECT_EQ(has, 0);
  EXPECT_FALSE(Root(d.get()));
}

TEST(LibLoad, SuccessfulLoadReplacesContentAndClearsTheError) {
  auto d = Parse(u"<first/>");
  auto oldRoot = Root(d.get());
  const ComPtr<IDOMNodeList> kids = Children(d.get());
  EXPECT_FALSE(LoadInto(d.get(), u"<broken"));
  EXPECT_FALSE(Root(d.get()));
  EXPECT_EQ(Length(kids.get()), 0);
  EXPECT_TRUE(LoadInto(d.get(), u"<!--c--><second/>"));
  EXPECT_EQ(Name(Root(d.get()).get()), u"second");
  // The document's child list, taken before, shows what the load brought.
  ASSERT_EQ(Length(kids.get()), 2);
  EXPECT_EQ(Name(Item(kids.get(), 1).get()), u"second");
  EXPECT_EQ(ErrorOf(d.get()).reason, "");
  // The wrapper of the first document's element still works.
  EXPECT_EQ(Name(oldRoot.get()), u"first");
}

TEST(LibLoad, FileErrorsCarryTheFailingLineOfTheFile) {
  std::string dir = TempDir();
  WriteFile(dir + "/bad.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r>\n<x a=\"\xE9t\xE9\" b=></x>\n</r>\n");
  auto d = NewDoc();
  EXPECT_FALSE(LoadFile(d.get(), dir + "/bad.xml"));
  ParseFailure f = ErrorOf(d.get());
  EXPECT_EQ(f.line, 3);
  EXPECT_EQ(f.srcText, "<x a=\"\xC3\xA9t\xC3\xA9\" b=></x>") << "decoded from the declared encoding";

  EXPECT_FALSE(LoadFile(d.get(), dir + "/missing.xml"));
  EXPECT_EQ(ErrorOf(d.get()).reason, "Cannot open file \"" + dir + "/missing.xml\": " + std::strerror(ENOENT));
  // A "%s" in the name is the name, not a place for the reason.
  EXPECT_FALSE(LoadFile(d.get(), dir + "/%s.xml"));
  EXPECT_EQ(ErrorOf(d.get()).reason, "Cannot open file \"" + dir + "/%s.xml\": " + std::strerror(ENOENT));
}

TEST(LibLoad, StreamLoadsAndReportsItsFailingLine) {
  rtl::TStringStream good("<a><b>x</b></a>");
  auto d = NewDoc();
  WordBool ok = 0;
  DOMCheck(Persist(d.get())->LoadFromStream(&good, &ok), "LoadFromStream");
  EXPECT_TRUE(ok);
  EXPECT_EQ(XML8(Root(d.get()).get()), "<a><b>x</b></a>");

  rtl::TStringStream bad("<a>\n<b>x</c>\n</a>");
  DOMCheck(Persist(d.get())->LoadFromStream(&bad, &ok), "LoadFromStream");
  EXPECT_FALSE(ok);
  ParseFailure f = ErrorOf(d.get());
  EXPECT_EQ(f.line, 2);
  EXPECT_EQ(f.srcText, "<b>x</c>");
}

TEST(LibLoad, EncodingsFromDeclarationAndByteOrderMark) {
  std::string dir = TempDir();
  const std::u16string expected = u"h\u00E9llo \u20AC";
  // UTF-8
  WriteFile(dir + "/u8.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><t>h\xC3\xA9llo \xE2\x82\xAC</t>");
  // UTF-16 LE and BE with byte-order marks
  auto utf16 = [](std::u16string_view s, bool big) {
    std::string b = big ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
      char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
      b += big ? hi : lo;
      b += big ? lo : hi;
    }
    return b;
  };
  std::u16string body = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><t>h\u00E9llo \u20AC</t>";
  WriteFile(dir + "/le.xml", utf16(body, false));
  WriteFile(dir + "/be.xml", utf16(body, true));
  for (const char* name : {"u8.xml", "le.xml", "be.xml"}) {
    auto d = NewDoc();
    ASSERT_TRUE(LoadFile(d.get(), dir + "/" + name)) << name << ": " << ErrorOf(d.get()).reason;
    EXPECT_EQ(Value(Child(Root(d.get()).get(), 0).get()), expected) << name;
  }
  // ISO-8859-1: bytes above 0x7F are the Latin-1 characters.
  WriteFile(dir + "/l1.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><t>h\xE9llo \xA4</t>");
  auto d = NewDoc();
  ASSERT_TRUE(LoadFile(d.get(), dir + "/l1.xml"));
  EXPECT_EQ(Value(Child(Root(d.get()).get(), 0).get()), u"h\u00E9llo \u00A4");
  ComPtr<IDOMXMLDeclaration> decl = ComPtr<IDOMDocument>(d).try_query<IDOMXMLDeclaration>();
  WideString enc;
  DOMCheck(decl->GetEncoding(&enc), "GetEncoding");
  EXPECT_EQ(enc, u"ISO-8859-1");
}

TEST(LibLoad, WideTextIgnoresADeclaredByteEncoding) {
  // The text is UTF-16 whatever its declaration says.
  auto d = Parse(u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><t>\u20AC\u4E2D</t>");
  EXPECT_EQ(Value(Child(Root(d.get()).get(), 0).get()), u"\u20AC\u4E2D");
}

TEST(LibLoad, WhiteSpaceOnlyTextIsDroppedUnlessPreservedOrAsked) {
  const std::u16string xml =
      u"<r>\n  <a> </a>\n  <b xml:space=\"preserve\"> <c> </c> <d xml:space=\"default\"> </d></b>\n  <e> x </e>\n</r>";
  auto d = Parse(xml);
  auto r = Root(d.get());
  EXPECT_EQ(XML8(r.get()),
            "<r><a/><b xml:space=\"preserve\"> <c> </c> <d xml:space=\"default\"/></b><e> x </e></r>");

  auto kept = NewDoc();
  DOMCheck(Options(kept.get())->SetPreserveWhiteSpace(-1), "SetPreserveWhiteSpace");
  ASSERT_TRUE(LoadInto(kept.get(), xml));
  EXPECT_EQ(ChildCount(Root(kept.get()).get()), 7);
  EXPECT_EQ(XML8(Root(kept.get()).get()), rtl::Utf8Encode(xml));
}

TEST(LibLoad, AdjacentTextIsMergedAndEntitiesExpanded) {
  auto d = Parse(u"<!DOCTYPE r [<!ENTITY e \"EXP<i>in</i>\">]><r>a&amp;b&e;&#65;c</r>");
  auto r = Root(d.get());
  ASSERT_EQ(ChildCount(r.get()), 3);
  EXPECT_EQ(Value(Child(r.get(), 0).get()), u"a&bEXP");
  EXPECT_EQ(Name(Child(r.get(), 1).get()), u"i");
  EXPECT_EQ(Value(Child(r.get(), 2).get()), u"Ac");
  for (int i = 0; i < 3; ++i) EXPECT_NE(Type(Child(r.get(), i).get()), ntEntityRef);
}

TEST(LibLoad, AttributesComeInDocumentOrderWithNamespaceDeclarations) {
  auto d = Parse(u"<r zeta=\"1\" xmlns:p=\"urn:p\" alpha=\"2\" p:mid=\"3\" beta=\"4\"><s b=\"1\" a=\"2\"/></r>");
  auto r = Root(d.get());
  EXPECT_EQ(AttrList(r.get()), "zeta=1 xmlns:p=urn:p alpha=2 p:mid=3 beta=4");
  EXPECT_EQ(AttrList(Child(r.get(), 0).get()), "b=1 a=2");
  // Saved text keeps the order too.
  EXPECT_EQ(XML8(r.get()), "<r zeta=\"1\" xmlns:p=\"urn:p\" alpha=\"2\" p:mid=\"3\" beta=\"4\"><s b=\"1\" a=\"2\"/></r>");

  // An attribute added later comes after the parsed ones; a removed one goes.
  DOMCheck(r->SetAttribute(u"aaa", u"5"), "SetAttribute");
  DOMCheck(r->RemoveAttribute(u"alpha"), "RemoveAttribute");
  EXPECT_EQ(AttrList(r.get()), "zeta=1 xmlns:p=urn:p p:mid=3 beta=4 aaa=5");

  ComPtr<IDOMNode> ns;
  DOMCheck(Attrs(r.get())->GetNamedItemNS(u"urn:p", u"mid", ns.put()), "GetNamedItemNS");
  ASSERT_TRUE(ns);
  EXPECT_EQ(Value(ns.get()), u"3");
  WideString uri;
  DOMCheck(ns->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:p");
}

TEST(LibLoad, DocumentTypeIsKeptWithSystemPseudoAttribute) {
  std::string dir = TempDir();
  WriteFile(dir + "/s.dtd", "<!ELEMENT r (#PCDATA)>");
  WriteFile(dir + "/d.xml", "<!DOCTYPE r SYSTEM \"s.dtd\"><r>x</r>");
  auto d = NewDoc();
  ASSERT_TRUE(LoadFile(d.get(), dir + "/d.xml"));
  ComPtr<IDOMNode> first = Child(d.get(), 0);
  ASSERT_EQ(Type(first.get()), ntDocumentType);
  EXPECT_EQ(Name(first.get()), u"r");
  EXPECT_EQ(AttrList(first.get()), "SYSTEM=s.dtd");
  ComPtr<IDOMDocumentType> dt;
  DOMCheck(d->GetDoctype(dt.put()), "GetDoctype");
  WideString sys;
  DOMCheck(dt->GetSystemId(&sys), "GetSystemId");
  EXPECT_EQ(sys, u"s.dtd");
  // Let go of and asked for again, before and after the tree is built.
  for (int round = 0; round < 2; ++round) {
    first = nullptr;
    dt = nullptr;
    DOMCheck(d->GetDoctype(dt.put()), "GetDoctype");
    EXPECT_EQ(Name(ComPtr<IDOMNode>(dt.get()).get()), u"r");
    EXPECT_EQ(Name(Child(d.get(), 0).get()), u"r");
    BuildTree(d.get());
  }

  // A control character in a system identifier is not XML (the scanner
  // lets it through): refused at load, not when the document is saved.
  for (const char16_t* bad : {u"<!DOCTYPE r SYSTEM \"a\u0003\"><r/>", u"<!DOCTYPE r [<!ENTITY e SYSTEM \"a\u0003\">]><r/>",
                              u"<!DOCTYPE r [<!NOTATION n SYSTEM \"a\u0002\">]><r/>",
                              u"<?xml version=\"1.1\"?><!DOCTYPE r SYSTEM \"a\u0003\"><r/>"}) {
    auto refused = NewDoc();
    EXPECT_FALSE(LoadInto(refused.get(), bad));
    EXPECT_NE(ErrorOf(refused.get()).reason.find("contains the character U+000"), std::string::npos)
        << ErrorOf(refused.get()).reason;
  }
}

TEST(LibLoad, ValidationFailsOnlyWhenAsked) {
  const std::u16string xml = u"<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>";
  auto lax = NewDoc();
  EXPECT_TRUE(LoadInto(lax.get(), xml));

  auto strict = NewDoc();
  DOMCheck(Options(strict.get())->SetValidate(-1), "SetValidate");
  EXPECT_FALSE(LoadInto(strict.get(), xml));
  EXPECT_EQ(ErrorOf(strict.get()).line, 1);
  EXPECT_FALSE(ErrorOf(strict.get()).reason.empty());
  EXPECT_TRUE(LoadInto(strict.get(), u"<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><a/></r>"));
}

TEST(LibLoad, ExternalEntitiesAreReadOnlyWhenResolvingIsOn) {
  std::string dir = TempDir();
  WriteFile(dir + "/secret.txt", "SECRET-CONTENT");
  WriteFile(dir + "/ext.dtd", "<!ENTITY fromdtd \"DTD-CONTENT\">");
  WriteFile(dir + "/d.xml",
            "<!DOCTYPE r SYSTEM \"ext.dtd\" [<!ENTITY s SYSTEM \"secret.txt\">]><r>[&s;]</r>");
  auto off = NewDoc();
  ASSERT_TRUE(LoadFile(off.get(), dir + "/d.xml")) << ErrorOf(off.get()).reason;
  EXPECT_EQ(Narrow(XMLText(Root(off.get()).get())), "<r>[]</r>") << "nothing outside the document is read";

  auto on = NewDoc();
  DOMCheck(Options(on.get())->SetResolveExternals(-1), "SetResolveExternals");
  ASSERT_TRUE(LoadFile(on.get(), dir + "/d.xml")) << ErrorOf(on.get()).reason;
  EXPECT_EQ(Narrow(XMLText(Root(on.get()).get())), "<r>[SECRET-CONTENT]</r>");

  // A local file named by a URL with white space around it, as XML allows.
  WriteFile(dir + "/url.xml", "<!DOCTYPE r [<!ENTITY s SYSTEM \"\n file://" + dir + "/secret.txt \">]><r>[&s;]</r>");
  ASSERT_TRUE(LoadFile(on.get(), dir + "/url.xml")) << ErrorOf(on.get()).reason;
  EXPECT_EQ(Narrow(XMLText(Root(on.get()).get())), "<r>[SECRET-CONTENT]</r>");

  // A network reference is never fetched, even with resolving on: the load
  // fails and says why.
  WriteFile(dir + "/net.xml", "<!DOCTYPE r [<!ENTITY n SYSTEM \" http://192.0.2.1/x\">]><r>[&n;]</r>");
  ASSERT_FALSE(LoadFile(on.get(), dir + "/net.xml"));
  EXPECT_EQ(ErrorOf(on.get()).reason,
            "\"http://192.0.2.1/x\" was not read: external resources are read from local files only, never from "
            "the network");
}

TEST(LibLoad, AsyncLoadReportsCompletionToTheHandler) {
  auto d = NewDoc();
  std::vector<int32_t> states;
  rtl::TObject sender;
  rtl::TObject* seen = nullptr;
  DOMCheck(Persist(d.get())->SetAsyncLoadHandler(&sender,
                                                 [&](rtl::TObject* s, int32_t state) {
                                                   seen = s;
                                                   states.push_back(state);
                                                 }),
           "SetAsyncLoadHandler");
  int32_t state = -1;
  DOMCheck(Persist(d.get())->GetAsyncLoadState(&state), "GetAsyncLoadState");
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(LoadInto(d.get(), u"<a/>"));
  EXPECT_TRUE(states.empty()) << "without the async option the handler is not called";

  DOMCheck(Options(d.get())->SetAsync(-1), "SetAsync");
  EXPECT_TRUE(LoadInto(d.get(), u"<a/>"));
  // A start, progress reports only if the load outlasts their interval (a
  // busy machine can stretch even this one), and the end.
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states.front(), 1);
  EXPECT_EQ(states.back(), 4);
  EXPECT_TRUE(std::all_of(states.begin(), states.end() - 1, [](int32_t s) { return s == 1; }));
  EXPECT_EQ(seen, &sender);
  DOMCheck(Persist(d.get())->GetAsyncLoadState(&state), "GetAsyncLoadState");
  EXPECT_EQ(state, 4);
}

TEST(LibLoad, LongLoadsReportProgressAndTheHandlerCanEndThem) {
  // Many buffers of source; a handler that takes its time makes the next
  // buffer late enough for a progress call.
  std::u16string xml = u"<r>";
  int32_t elements = 0;
  for (; xml.size() < 8000000; ++elements) xml += u"<e a=\"1\">some text</e>";
  xml += u"</r>";
  auto d = NewDoc();
  DOMCheck(Options(d.get())->SetAsync(-1), "SetAsync");
  std::vector<int32_t> states;
  int32_t stopAt = -1;
  DOMCheck(Persist(d.get())->SetAsyncLoadHandler(nullptr,
                                                 [&](rtl::TObject*, int32_t state) {
                                                   states.push_back(state);
                                                   if (static_cast<int32_t>(states.size()) == stopAt)
                                                     throw rtl::Exception("stopped by the handler");
                                                   if (state == 1 && states.size() < 4) std::this_thread::sleep_for(kSlowHandler);
                                                 }),
           "SetAsyncLoadHandler");
  EXPECT_TRUE(LoadInto(d.get(), xml));
  ASSERT_GE(states.size(), 4u) << "no progress during the parse";
  EXPECT_EQ(states.back(), 4);
  EXPECT_EQ(std::count(states.begin(), states.end(), 1), static_cast<long>(states.size() - 1));
  EXPECT_EQ(ChildCount(Root(d.get()).get()), elements);

  // Raised from a progress call: the load fails with the handler's message
  // and leaves the document empty.
  states.clear();
  stopAt = 3;
  WordBool ok = 0;
  EXPECT_EQ(FailureText(Persist(d.get())->LoadXMLText(xml, &ok)), "stopped by the handler");
  EXPECT_EQ(states, (std::vector<int32_t>{1, 1, 1, 4}));
  EXPECT_EQ(ChildCount(d.get()), 0);
  int32_t state = -1;
  DOMCheck(Persist(d.get())->GetAsyncLoadState(&state), "GetAsyncLoadState");
  EXPECT_EQ(state, 4);
}

TEST(LibLoad, NamespaceRulesAndDTDDefaults) {
  // A DTD default for an attribute the element also gives is no duplicate.
  auto d = Parse(u"<!DOCTYPE r [<!ATTLIST r a CDATA \"dflt\" b CDATA \"bdef\">]><r a=\"given\"/>");
  EXPECT_EQ(AttrList(Root(d.get()).get()), "a=given b=bdef");
  ComPtr<IDOMAttr> b;
  DOMCheck(Root(d.get())->GetAttributeNode(u"b", b.put()), "GetAttributeNode");
  WordBool specified = -1;
  DOMCheck(b->GetSpecified(&specified), "GetSpecified");
  EXPECT_FALSE(specified);
  DOMCheck(Root(d.get())->GetAttributeNode(u"a", b.put()), "GetAttributeNode");
  DOMCheck(b->GetSpecified(&specified), "GetSpecified");
  EXPECT_TRUE(specified);

  auto bad = NewDoc();
  for (const char16_t* xml : {u"<r xmlns:xml=\"urn:other\"/>", u"<r xmlns:x=\"http://www.w3.org/XML/1998/namespace\"/>",
                              u"<r xmlns:xmlns=\"urn:x\"/>", u"<r xmlns:x=\"http://www.w3.org/2000/xmlns/\"/>",
                              u"<?a:b data?><r/>", u"<!DOCTYPE r [<!ENTITY a:b \"x\">]><r/>"}) {
    EXPECT_FALSE(LoadInto(bad.get(), xml)) << rtl::Utf8Encode(xml);
  }
  EXPECT_TRUE(LoadInto(bad.get(), u"<r xmlns:xml=\"http://www.w3.org/XML/1998/namespace\" xml:lang=\"en\"/>"));
  // XML 1.1 may undeclare a prefix, which then cannot be used.
  EXPECT_TRUE(LoadInto(bad.get(), u"<?xml version=\"1.1\"?><r xmlns:a=\"urn:a\"><s xmlns:a=\"\"/></r>"));
  EXPECT_FALSE(LoadInto(bad.get(), u"<?xml version=\"1.1\"?><r xmlns:a=\"urn:a\"><s xmlns:a=\"\"><a:t/></s></r>"));
}
