// Editing: the input is a program of edit operations on a small document.
// Each operation takes its operands from the bytes that follow it; nodes come
// from a small pool that operations fill (children, clones, created nodes),
// so nodes get moved between parents, detached, re-attached, compared and
// dropped in any order. Refusals are fine; crashes, leaks, and a save that
// neither reads back as the same tree nor fails cleanly are not.
#include <cstdio>
#include <string>

#include "rtl/TextConv.h"
#include "tests/support/SavedTree.h"

#include "FuzzSupport.h"

using fuzzsupport::Guarded;
using rtl::ComPtr;

namespace {

constexpr const char16_t* kNames[] = {u"a", u"b", u"p:c", u"q:d", u"xmlns", u"xmlns:p", u"xml:lang", u"x-y.z", u"é", u"1bad", u"", u"a b"};
constexpr const char16_t* kUris[] = {u"", u"urn:p", u"urn:q", u"http://www.w3.org/XML/1998/namespace", u"http://www.w3.org/2000/xmlns/"};
// Texts a user may type: markup characters, non-ASCII, a surrogate pair, line
// ends; and what XML holds only as a reference or not at all.
constexpr const char16_t* kTexts[] = {u"", u"t", u"<&>\"'", u"]]>", u"\U0001F600\u00E9", u"  ", u"a\r\nb", u"--", u"?>",
                                      u"1.1", u"\u0001\u007F", u"\xD800", u"\u0085\u2028\r", u"\uFFFE", u"-->x<!--"};

class Program {
 public:
  Program(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool Done() const { return p_ >= end_; }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  template <size_t N>
  const char16_t* Pick(const char16_t* const (&table)[N]) { return table[Byte() % N]; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

[[noreturn]] void Finding(const char* what, const std::string& detail, const WideString& saved) {
  std::fprintf(stderr, "%s: %s\n%s\n", what, detail.c_str(), rtl::Utf8Encode(saved).c_str());
  __builtin_trap();
}

// The rule of every save: the text reads back as the same tree (as
// tests/support/SavedTree.h spells out), or the save fails with a message
// and leaves its target alone. Returns the saved text, empty when refused.
WideString CheckSave(const ComPtr<IXMLDocumentIntf>& doc) {
  const WideString untouched = u"\u2603";
  WideString saved = untouched;
  try {
    doc->SaveToXML(saved);
  } catch (const rtl::Exception& e) {
    if (!e.what()[0]) Finding("a refused save gave no reason", "", saved);
    if (saved != untouched) Finding("a refused save changed its target", e.what(), saved);
    return WideString();
  }
  auto again = fuzzsupport::NewDocument();
  again->SetParseOptions(TParseOptions{poPreserveWhiteSpace});
  try {
    again->LoadFromXML(saved);
  } catch (const rtl::Exception& e) {
    Finding("saved text does not load again", e.what(), saved);
  }
  savedtree::ReadRules rules;
  rules.xml11 = doc->GetVersion() == u"1.1";
  std::string diff = savedtree::Difference(doc->GetDOMDocument().get(), again->GetDOMDocument().get(), rules);
  if (!diff.empty()) Finding("saved text reads back differently", diff, saved);
  fuzzsupport::Walk(again);
  return saved;
}

class Editor {
 public:
  explicit Editor(ComPtr<IXMLDocumentIntf> doc) : doc_(std::move(doc)) { Refill(); }

  void Step(Program& in) {
    const uint8_t op = in.Byte();
    ComPtr<IXMLNode> n = Node(in);
    switch (op % 28) {
      case 0: Keep(n->AddChild(in.Pick(kNames), static_cast<int8_t>(in.Byte()))); break;
      case 1: Keep(n->AddChildNS(in.Pick(kNames), in.Pick(kUris), static_cast<int8_t>(in.Byte()))); break;
      case 2: n->SetAttribute(in.Pick(kNames), OleVariant(WideString(in.Pick(kTexts)))); break;
      case 3: n->SetAttributeNS(in.Pick(kNames), in.Pick(kUris), OleVariant(WideString(in.Pick(kTexts)))); break;
      case 4: n->SetText(in.Pick(kTexts)); break;
      case 5: n->SetNodeValue(in.Byte() & 1 ? OleVariant() : OleVariant(WideString(in.Pick(kTexts)))); break;
      case 6: n->GetChildNodes()->Delete(static_cast<int8_t>(in.Byte())); break;
      case 7: n->GetChildNodes()->Insert(static_cast<int8_t>(in.Byte()), Node(in)); break;
      case 8: n->GetChildNodes()->Add(Node(in)); break;
      case 9: n->GetChildNodes()->Remove(Node(in)); break;
      case 10: Keep(n->GetChildNodes()->ReplaceNode(Node(in), Node(in))); break;
      case 11: Keep(n->CloneNode(in.Byte() & 1)); break;
      case 12: n->Normalize(); break;
      case 13: n->DeclareNamespace(in.Pick(kNames), in.Pick(kUris)); break;
      case 14: n->GetAttributeNodes()->Delete(static_cast<int8_t>(in.Byte())); break;
      case 15: Keep(doc_->CreateNode(in.Pick(kTexts), static_cast<TNodeType>(1 + in.Byte() % 12), in.Pick(kTexts))); break;
      case 16: Keep(doc_->CreateElement(in.Pick(kNames), in.Pick(kUris))); break;
      case 17: n->SetReadOnly(in.Byte() & 1); break;
      case 18: Keep(n->GetParentNode()); Keep(n->NextSibling()); Keep(n->PreviousSibling()); break;
      case 19: (void)n->GetXML(); (void)n->GetText(); (void)n->FindNamespaceURI(in.Pick(kNames)); break;
      case 20: doc_->SetOptions(TXMLDocOptions::FromByte(in.Byte() & 0x1F)); break;
      case 21: doc_->SetDocumentElement(Node(in)); break;
      case 22: {
        auto list = n->GetChildNodes();
        list->BeginUpdate();
        list->Clear();
        list->EndUpdate();
        break;
      }
      case 23: n->Resync(); Keep(n->GetChildNodes()->FindNode(in.Pick(kNames))); break;
      case 24: n->SetChildValue(OleVariant(WideString(in.Pick(kNames))), OleVariant(WideString(in.Pick(kTexts)))); break;
      case 25: doc_->SetVersion(in.Pick(kTexts)); doc_->SetStandalone(in.Byte() & 1 ? u"yes" : u""); break;
      case 26: ReloadFromSaved(); break;
      case 27: if (pool_.size() > 1) pool_.erase(pool_.begin() + static_cast<std::ptrdiff_t>(in.Byte() % pool_.size())); break;
    }
  }

  // Goes on with what the saved text reads back as.
  void ReloadFromSaved() {
    if (!doc_->GetActive()) return;
    WideString saved = CheckSave(doc_);
    if (saved.empty()) return;
    pool_.clear();
    doc_->LoadFromXML(saved);
    Refill();
  }

  void Finish() {
    if (doc_->GetActive()) CheckSave(doc_);
  }

 private:
  ComPtr<IXMLNode> Node(Program& in) {
    if (pool_.empty()) Refill();
    return pool_[in.Byte() % pool_.size()];
  }
  void Keep(ComPtr<IXMLNode> n) {
    if (!n) return;
    if (pool_.size() >= 16) pool_.erase(pool_.begin() + 1);
    pool_.push_back(std::move(n));
  }
  void Refill() {
    pool_.clear();
    pool_.push_back(doc_->GetDocumentNode());
    if (auto root = doc_->GetDocumentElement()) {
      pool_.push_back(root);
      auto children = root->GetChildNodes();
      for (int32_t i = 0; i < children->GetCount() && i < 6; ++i) pool_.push_back(children->Get(i));
    }
  }

  ComPtr<IXMLDocumentIntf> doc_;
  std::vector<ComPtr<IXMLNode>> pool_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = fuzzsupport::NewDocument();
  doc->LoadFromXML(WideString(
      u"<?xml version=\"1.0\"?><!--head--><r xmlns:p=\"urn:p\" a=\"1\"><b>t</b><p:c p:k=\"v\"/>"
      u"<!--x--><?pi d?><![CDATA[c]]>mixed</r>"));
  Editor editor(doc);
  Program in(data, size);
  for (int steps = 0; !in.Done() && steps < 200; ++steps)
    if (!Guarded([&] { editor.Step(in); })) {
      // A refusal must leave a document that still works.
      (void)doc->GetActive();
    }
  editor.Finish();
  return 0;
}
