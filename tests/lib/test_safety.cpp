// Hostile and extreme input: expansion bombs, attribute floods and very
// deep documents must fail or succeed in bounded time without crashing.
#include "LibTest.h"

#include <time.h>

using namespace libtest;

namespace {

// The calling thread's CPU time: the load runs on it, and other work on a
// busy machine does not count against the bounds below.
double CpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double Seconds(double since) { return CpuNow() - since; }

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

bool MentionsEntityExpansion(std::string why) {
  for (char& c : why) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return why.find("entity expansion") != std::string::npos;
}

// Loads text and returns the parse failure ("" when it loaded).
std::string LoadFailure(const std::string& xml, double* seconds) {
  auto d = NewDoc();
  const double t0 = CpuNow();
  bool ok = LoadInto(d.get(), W(xml));
  *seconds = Seconds(t0);
  return ok ? "" : ErrorOf(d.get()).reason;
}

// What a refused bomb may cost, in CPU time. Far above a normal build's
// figures (half a second); under the sanitizers every entity's reader is a
// fresh mapping of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kBoundSeconds = 60;
#else
constexpr double kBoundSeconds = 20;
#endif

std::string Deep(int levels) {
  std::string s;
  s.reserve(static_cast<size_t>(levels) * 8);
  for (int i = 0; i < levels; ++i) s += "<e>";
  s += "x";
  for (int i = 0; i < levels; ++i) s += "</e>";
  return s;
}

}  // namespace

TEST(LibSafety, ExponentialEntityExpansionIsRefused) {
  std::string xml = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 10; ++i) {
    xml += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) xml += "&l" + std::to_string(i - 1) + ";";
    xml += "\">";
  }
  xml += "]><r>&l10;</r>";
  double secs = 0;
  std::string why = LoadFailure(xml, &secs);
  EXPECT_TRUE(MentionsEntityExpansion(why)) << "a billion characters must not load: " << why;
  EXPECT_LT(secs, kBoundSeconds);

  // The same in an attribute value.
  xml.replace(xml.find("<r>&l10;</r>"), std::string::npos, "<r a=\"&l10;\"/>");
  why = LoadFailure(xml, &secs);
  EXPECT_TRUE(MentionsEntityExpansion(why)) << why;
  EXPECT_LT(secs, kBoundSeconds);

  // Empty entities nested six deep in a default attribute: a million
  // entities opened for no character, refused by the cost of each opened.
  std::string nest = "<!DOCTYPE r [<!ENTITY n0 \"\">";
  for (int i = 1; i <= 6; ++i) {
    nest += "<!ENTITY n" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) nest += "&n" + std::to_string(i - 1) + ";";
    nest += "\">";
  }
  why = LoadFailure(nest + "<!ATTLIST r a CDATA \"&n6;\">]><r/>", &secs);
  EXPECT_TRUE(MentionsEntityExpansion(why)) << "empty entities in a default: " << why;
}

TEST(LibSafety, QuadraticEntityExpansionIsRefused) {
  // One 10,000-character entity referenced 40,000 times: 130 KB of input
  // for 400 million characters of output.
  std::string entity(10000, 'x');
  std::string refs;
  for (int i = 0; i < 40000; ++i) refs += "&a;";
  std::string head = "<!DOCTYPE r [<!ENTITY a \"" + entity + "\">]>";
  double secs = 0;
  std::string why = LoadFailure(head + "<r>" + refs + "</r>", &secs);
  EXPECT_TRUE(MentionsEntityExpansion(why)) << why;
  EXPECT_LT(secs, kBoundSeconds);

  why = LoadFailure(head + "<r a=\"" + refs + "\"/>", &secs);
  EXPECT_TRUE(MentionsEntityExpansion(why)) << "in an attribute value: " << why;
  EXPECT_LT(secs, kBoundSeconds);

  // Modest use of entities still loads.
  std::string some;
  for (int i = 0; i < 100; ++i) some += "&a;";
  why = LoadFailure(head + "<r>" + some + "</r>", &secs);
  EXPECT_EQ(why, "");
}

TEST(LibSafety, AnAttributeFloodLoads) {
  // Each attribute is added without a scan of the others, so 50,000 on one
  // element load as fast as 50,000 elements would.
  std::string xml = "<r";
  for (int i = 0; i < 50000; ++i) xml += " a" + std::to_string(i) + "=\"v" + std::to_string(i) + "\"";
  xml += "/>";
  auto d = NewDoc();
  const double t0 = CpuNow();
  ASSERT_TRUE(LoadInto(d.get(), W(xml))) << ErrorOf(d.get()).reason;
  EXPECT_LT(Seconds(t0), kBoundSeconds);
  ComPtr<IDOMElement> r = Root(d.get());
  WideString v;
  DOMCheck(r->GetAttribute(u"a49999", &v), "GetAttribute");
  EXPECT_EQ(v, u"v49999");
  // Document order survives (the map itself is sorted by name).
  EXPECT_EQ(XML8(r.get()).substr(0, 34), "<r a0=\"v0\" a1=\"v1\" a2=\"v2\" a3=\"v3\"");
}

TEST(LibSafety, DeepDocumentLoadsSavesClonesAndReleases) {
  const int levels = 100000;
  const std::string xml = Deep(levels);
  auto d = NewDoc();
  ASSERT_TRUE(LoadInto(d.get(), W(xml))) << ErrorOf(d.get()).reason;

  // Text forms are written without recursion.
  EXPECT_EQ(XML8(Root(d.get()).get()), xml);
  WideString text;
  DOMCheck(Persist(d.get())->GetDocumentText(&text), "GetDocumentText");
  EXPECT_EQ(text.size(), xml.size() + 1);
  rtl::TStringStream out;
  DOMCheck(Persist(d.get())->SaveToStream(&out), "SaveToStream");
  EXPECT_EQ(out.DataString(), xml + "\n");
  ComPtr<IDOMNodeExtension> ext = ComPtr<IDOMElement>(Root(d.get())).try_query<IDOMNodeExtension>();
  DOMCheck(ext->GetText(&text), "GetText");
  EXPECT_EQ(text, u"x");

  // Deep clones of the element and of the whole document.
  ComPtr<IDOMNode> clone;
  DOMCheck(Root(d.get())->CloneNode(-1, clone.put()), "CloneNode");
  EXPECT_EQ(XML8(clone.get()), xml);
  ComPtr<IDOMNode> docClone;
  DOMCheck(d->CloneNode(-1, docClone.put()), "CloneNode");
  EXPECT_EQ(XML8(docClone.get()), xml + "\n");
  DOMCheck(Root(d.get())->Normalize(), "Normalize");

  // Releasing the clones and the document does not recurse either.
  clone = nullptr;
  docClone = nullptr;
  d = nullptr;
  SUCCEED();
}

TEST(LibSafety, DeepDocumentSurvivesAMillionLevels) {
  const std::string xml = Deep(1000000);
  auto d = NewDoc();
  ASSERT_TRUE(LoadInto(d.get(), W(xml))) << ErrorOf(d.get()).reason;
  rtl::TStringStream out;
  DOMCheck(Persist(d.get())->SaveToStream(&out), "SaveToStream");
  EXPECT_EQ(out.DataString().size(), xml.size() + 1);
  // Dropping a removed deep subtree and the document must not crash.
  auto root = Root(d.get());
  ComPtr<IDOMNode> inner = Child(root.get(), 0);
  ComPtr<IDOMNode> removed;
  DOMCheck(root->RemoveChild(inner.get(), removed.put()), "RemoveChild");
  inner = nullptr;
  removed = nullptr;
  root = nullptr;
  d = nullptr;
  SUCCEED();
}

TEST(LibSafety, CyclesAreRefusedWithHierarchyRequestError) {
  auto d = Parse(u"<a><b><c/></b></a>");
  auto a = Root(d.get());
  ComPtr<IDOMNode> b = Child(a.get(), 0);
  ComPtr<IDOMNode> c = Child(b.get(), 0);
  EXPECT_EQ(FailureText(a->AppendChild(a.get(), nullptr)), "Hierarchy request error");
  EXPECT_EQ(FailureText(c->AppendChild(a.get(), nullptr)), "Hierarchy request error");
  EXPECT_EQ(FailureText(c->InsertBefore(b.get(), nullptr, nullptr)), "Hierarchy request error");
  ComPtr<IDOMElement> x;
  DOMCheck(d->CreateElement(u"x", x.put()), "CreateElement");
  // A leaf can only be its own ancestor.
  EXPECT_EQ(FailureText(x->AppendChild(x.get(), nullptr)), "Hierarchy request error");
  DOMCheck(c->AppendChild(x.get(), nullptr), "AppendChild");
  EXPECT_EQ(FailureText(x->AppendChild(x.get(), nullptr)), "Hierarchy request error");
  EXPECT_EQ(FailureText(c->ReplaceChild(b.get(), x.get(), nullptr)), "Hierarchy request error");
  // The tree is unchanged and still serialises.
  EXPECT_EQ(XML8(a.get()), "<a><b><c><x/></c></b></a>");
}

TEST(LibSafety, WrappersOutliveTheirDocument) {
  ComPtr<IDOMNode> leaf;
  ComPtr<IDOMNodeList> list;
  {
    auto d = Parse(u"<a><b>text</b><c/></a>");
    leaf = Child(Child(Root(d.get()).get(), 0).get(), 0);
    list = Children(Root(d.get()).get());
  }
  EXPECT_EQ(Value(leaf.get()), u"text");
  EXPECT_EQ(Length(list.get()), 2);
  ComPtr<IDOMDocument> owner;
  DOMCheck(leaf->GetOwnerDocument(owner.put()), "GetOwnerDocument");
  EXPECT_EQ(Name(Root(owner.get()).get()), u"a");
}
