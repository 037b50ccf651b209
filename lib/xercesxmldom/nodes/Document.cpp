// The document wrapper: DOM document operations, loading and saving, parse
// options, the XML declaration and the parse error of the last load.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lib/xercesxmldom/parse/Limits.h"
#include "lib/xercesxmldom/nodes/Nodes.h"
#include "lib/xercesxmldom/parse/Parser.h"
#include "lib/xercesxmldom/save/SaveRules.h"
#include "lib/xercesxmldom/save/Serializer.h"
#include "lib/xercesxmldom/save/Writer.h"
#include "lib/xercesxmldom/XercesTree.h"

namespace xdom {

namespace {

std::atomic<int32_t> gLiveDocs{0};

// The element with an ID attribute of the value, of those in the document.
// Xerces' table keeps an element it once held after it leaves the tree (and
// only one per value): then the first in document order is looked for.
xc::DOMElement* ElementById(xc::DOMDocument* doc, const std::u16string& id) {
  xc::DOMElement* found = doc->getElementById(id.c_str());
  if (!found) return nullptr;
  xc::DOMNode* top = found;
  while (top->getParentNode()) top = top->getParentNode();
  if (top == doc) return found;
  for (xc::DOMNode* n = doc->getFirstChild(); n;) {
    if (n->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
      xc::DOMNamedNodeMap* attrs = n->getAttributes();
      for (XMLSize_t i = 0; i < attrs->getLength(); ++i) {
        auto* a = static_cast<xc::DOMAttr*>(attrs->item(i));
        if (a->isId() && id == ops::ValueOf(a)) return static_cast<xc::DOMElement*>(n);
      }
    }
    if (n->getFirstChild()) {
      n = n->getFirstChild();
      continue;
    }
    while (n && !n->getNextSibling()) n = n->getParentNode();
    if (n) n = n->getNextSibling();
  }
  return nullptr;
}

// A snapshot of the failure of one load, handed out through
// QueryInterface(IDOMParseError) on the document.
class TParseError final : public rtl::TInterfacedObject<IDOMParseError> {
 public:
  explicit TParseError(ParseErrorInfo info) : info_(std::move(info)) {}
  HResult GetErrorCode(int32_t* r) override { return Guard([&] { *r = info_.code; }); }
  HResult GetURL(WideString* r) override { return Guard([&] { Put(r, info_.url); }); }
  HResult GetReason(WideString* r) override { return Guard([&] { Put(r, info_.reason); }); }
  HResult GetSourceText(WideString* r) override { return Guard([&] { Put(r, info_.srcText); }); }
  HResult GetLine(int32_t* r) override { return Guard([&] { *r = info_.line; }); }
  HResult GetLinePos(int32_t* r) override { return Guard([&] { *r = info_.linePos; }); }
  HResult GetFilePos(int32_t* r) override { return Guard([&] { *r = info_.filePos; }); }

 private:
  ParseErrorInfo info_;
};

std::string FileNameOf(const rtl::OleVariant& v) {
  const WideString* s = v.AsString();
  if (!s || s->empty()) FailText(msg::kNotAFileName);
  return Utf16ToUtf8(*s);
}

// A file written from the start. Only regular files are written: a named
// pipe would block the save and a device would take the text.
class OutputFile {
 public:
  OutputFile(std::string path, std::u16string shownName) : path_(std::move(path)), shown_(std::move(shownName)) {}
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, size_t n) {
    Open();
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
      ssize_t done = ::write(fd_, p, n);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) Failed(done < 0 ? errno : EIO);
      p += done;
      n -= static_cast<size_t>(done);
    }
  }
  void Close() {
    Open();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Failed(errno);
  }

 private:
  [[noreturn]] void Failed(int error) {
    FailText(FormatMsg(msg::kFileWriteFailed, shown_, Utf8ToUtf16(std::strerror(error))));
  }
  void Open() {
    if (fd_ >= 0) return;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) FailText(FormatMsg(msg::kNotARegularFile, Shown(shown_)));
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd_ < 0) Fail(kDOMErrorCreateFile, shown_);
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) FailText(FormatMsg(msg::kNotARegularFile, Shown(shown_)));
  }

  std::string path_;
  std::u16string shown_;
  int fd_ = -1;
};

// The versions the parser reads back.
bool IsVersionNum(std::u16string_view v) { return v == u"1.0" || v == u"1.1"; }

ComPtr<rtl::IStream> WrapProgramStream(rtl::TStream* stream) {
  if (!stream) FailText(msg::kNoStream);
  auto wrap = TheCallbacks().wrapStream;
  if (!wrap) FailText(msg::kNoStreamCallback);
  rtl::IStream* s = nullptr;
  wrap(stream, &s);
  if (!s) FailText(msg::kNoStream);
  return ComPtr<rtl::IStream>::adopt(s);
}

// The holder a document wrapper has now: a load gives it a new one.
class CurrentDoc final : public rtl::TRefCounted {
 public:
  int32_t AddRef() noexcept { return DoAddRef(); }
  int32_t Release() noexcept { return DoRelease(); }
  XDocRef doc;
};

// The document's children, over whatever it holds now: a list taken before
// a load shows what the load brought.
class TDocumentChildList final : public rtl::TInterfacedObject<IDOMNodeList> {
 public:
  explicit TDocumentChildList(CurrentDoc* current) : current_(current) {}
  HResult Item(int32_t index, IDOMNode** r) override {
    IDOMNodeList* l = nullptr;
    const HResult h = Inner(&l);
    return rtl::Failed(h) ? h : l->Item(index, r);
  }
  HResult GetLength(int32_t* r) override {
    IDOMNodeList* l = nullptr;
    const HResult h = Inner(&l);
    return rtl::Failed(h) ? h : l->GetLength(r);
  }

 private:
  HResult Inner(IDOMNodeList** l) {
    return Guard([&] {
      if (doc_ != current_->doc) {
        XDoc* d = current_->doc.get();
        list_ = ComPtr<IDOMNodeList>::adopt(d->store ? ops::StoreChildList(d, 0) : ops::ChildList(d, d->doc));
        doc_ = current_->doc;
      }
      *l = list_.get();
    });
  }

  ComPtr<CurrentDoc> current_;
  XDocRef doc_;
  ComPtr<IDOMNodeList> list_;
};

}  // namespace

class TDocument final
    : public TNodeImpl<IDOMDocument, IDOMPersist, IDOMParseOptions, IDOMXMLDeclaration, IXercesTree> {
 public:
  explicit TDocument(XDoc* d) : TNodeImpl(d, d->doc, 0), current_(new CurrentDoc) {
    d->owner = this;
    current_->doc = XDocRef(d);
  }
  ~TDocument() override {
    if (doc->owner == this) doc->owner = nullptr;
  }

  // The document as a factory of new nodes, and with its tree.
  xc::DOMDocument* xdoc() const { return doc->doc; }
  xc::DOMDocument* tree() const { return doc->Tree(); }

  HResult BuildTree() override {
    return Guard([&] { tree(); });
  }
  HResult HasTree(WordBool* r) override {
    return Guard([&] { *r = WB(!doc->store); });
  }

  HResult GetChildNodes(IDOMNodeList** r) override {
    return Guard([&] {
      if (!children_) children_ = ComPtr<IDOMNodeList>(new TDocumentChildList(current_.get()));
      *r = ComPtr<IDOMNodeList>(children_).detach();
    });
  }

  // IDOMDocument
  HResult GetDoctype(IDOMDocumentType** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMDocumentType>(doc.get(), S().DocType())
                     : WrapAs<IDOMDocumentType>(doc.get(), xdoc()->getDoctype());
    });
  }
  HResult GetDomImplementation(IDOMImplementation** r) override;
  HResult GetDocumentElement(IDOMElement** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMElement>(doc.get(), S().DocumentElement())
                     : WrapAs<IDOMElement>(doc.get(), xdoc()->getDocumentElement());
    });
  }
  HResult GetElementById(WideStringView id, IDOMElement** r) override {
    return Guard([&] {
      std::u16string key = Z(id);
      *r = InStore() ? WrapAs<IDOMElement>(doc.get(), S().ElementById(key))
                     : WrapAs<IDOMElement>(doc.get(), ElementById(tree(), key));
    });
  }
  HResult CreateElement(WideStringView tagName, IDOMElement** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMElement>(doc.get(), sedit::CreateElement(doc.get(), nullptr, tagName))
                     : WrapAs<IDOMElement>(doc.get(), xdoc()->createElement(Z(tagName).c_str()));
    });
  }
  HResult CreateDocumentFragment(IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateFragment(doc.get())) : Wrap(doc.get(), xdoc()->createDocumentFragment());
    });
  }
  HResult CreateTextNode(WideStringView data, IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateData(doc.get(), Store::kText, data))
                     : Wrap(doc.get(), xdoc()->createTextNode(Z(data).c_str()));
    });
  }
  HResult CreateComment(WideStringView data, IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateData(doc.get(), Store::kComment, data))
                     : Wrap(doc.get(), xdoc()->createComment(Z(data).c_str()));
    });
  }
  HResult CreateCDATASection(WideStringView data, IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateData(doc.get(), Store::kCData, data))
                     : Wrap(doc.get(), xdoc()->createCDATASection(Z(data).c_str()));
    });
  }
  HResult CreateProcessingInstruction(WideStringView target, WideStringView data, IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateProcessingInstruction(doc.get(), target, data))
                     : Wrap(doc.get(), xdoc()->createProcessingInstruction(Z(target).c_str(), Z(data).c_str()));
    });
  }
  HResult CreateAttribute(WideStringView name, IDOMAttr** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMAttr>(doc.get(), sedit::CreateAttribute(doc.get(), nullptr, name))
                     : WrapAs<IDOMAttr>(doc.get(), xdoc()->createAttribute(Z(name).c_str()));
    });
  }
  HResult CreateEntityReference(WideStringView name, IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAt(doc.get(), sedit::CreateEntityReference(doc.get(), name))
                     : Wrap(doc.get(), xdoc()->createEntityReference(Z(name).c_str()));
    });
  }
  HResult GetElementsByTagName(WideStringView tagName, IDOMNodeList** r) override {
    return Guard([&] {
      *r = InStore() ? ops::StoreTagList(doc.get(), 0, nullptr, tagName)
                     : WrapXercesList(doc.get(), tree()->getElementsByTagName(Z(tagName).c_str()));
    });
  }
  HResult ImportNode(IDOMNode* imported, WordBool deep, IDOMNode** r) override {
    return Guard([&] {
      if (InStore()) {
        if (const uint32_t copy = sedit::Import(doc.get(), imported, deep != 0); copy != Store::kNone) {
          *r = WrapAt(doc.get(), copy);
          return;
        }
      }
      xc::DOMNode* src = NodeOf(imported);
      if (!src) Fail(xc::DOMException::NOT_FOUND_ERR);
      // Neither can be imported; Xerces' deep copy would copy a document
      // type of this document.
      if (src->getNodeType() == xc::DOMNode::DOCUMENT_NODE || src->getNodeType() == xc::DOMNode::DOCUMENT_TYPE_NODE)
        Fail(xc::DOMException::NOT_SUPPORTED_ERR);
      // The copies take the source's attribute order, as clones do.
      ops::AttrOrderCopy order(CoreOf(imported)->doc.get(), doc.get());
      xc::DOMNode* n = deep ? ops::CloneDeep(xdoc(), src, order) : xdoc()->importNode(src, false);
      if (!deep) order.Add(src, n);
      *r = Wrap(doc.get(), n);
    });
  }
  HResult CreateElementNS(WideStringView ns, WideStringView qname, IDOMElement** r) override {
    return Guard([&] {
      std::u16string n = Z(ns);
      *r = InStore() ? WrapAs<IDOMElement>(doc.get(), sedit::CreateElement(doc.get(), &n, qname))
                     : WrapAs<IDOMElement>(doc.get(), xdoc()->createElementNS(NullIfEmpty(n), Z(qname).c_str()));
    });
  }
  HResult CreateAttributeNS(WideStringView ns, WideStringView qname, IDOMAttr** r) override {
    return Guard([&] {
      std::u16string n = Z(ns);
      *r = InStore() ? WrapAs<IDOMAttr>(doc.get(), sedit::CreateAttribute(doc.get(), &n, qname))
                     : WrapAs<IDOMAttr>(doc.get(), xdoc()->createAttributeNS(NullIfEmpty(n), Z(qname).c_str()));
    });
  }
  HResult GetElementsByTagNameNS(WideStringView ns, WideStringView localName, IDOMNodeList** r) override {
    return Guard([&] {
      std::u16string n = Z(ns);
      *r = InStore() ? ops::StoreTagList(doc.get(), 0, &n, localName)
                     : WrapXercesList(doc.get(), tree()->getElementsByTagNameNS(NullIfEmpty(n), Z(localName).c_str()));
    });
  }

  // IDOMPersist
  HResult GetDocumentText(WideString* r) override {
    return Guard([&] { Put(r, DocumentText(doc.get())); });
  }
  HResult GetAsyncLoadState(int32_t* r) override {
    return Guard([&] { *r = loadState_; });
  }
  HResult LoadFromSource(const rtl::OleVariant& source, WordBool* r) override {
    return Guard([&] {
      ParseSource src;
      src.kind = ParseSource::File;
      src.path = FileNameOf(source);
      Load(src, r);
    });
  }
  HResult LoadFromStream(rtl::TStream* stream, WordBool* r) override {
    return Guard([&] {
      ComPtr<rtl::IStream> s = WrapProgramStream(stream);
      ParseSource src;
      src.kind = ParseSource::Stream;
      src.stream = s.get();
      Load(src, r);
    });
  }
  HResult LoadXMLText(WideStringView xml, WordBool* r) override {
    return Guard([&] {
      ParseSource src;
      src.kind = ParseSource::Text;
      src.text = xml;
      Load(src, r);
    });
  }
  HResult SaveToDestination(const rtl::OleVariant& destination) override {
    return Guard([&] {
      std::string path = FileNameOf(destination);
      // Resolve the encoding before the file is touched, so an unsupported
      // one does not leave an empty file behind.
      auto encoder = MakeEncoder(DeclarationOf(doc.get()).encoding);
      // The file is opened with the first bytes, after the serializer has
      // found nothing to refuse.
      OutputFile file(path, *destination.AsString());
      WriteDocument(doc.get(), *encoder, [&](const void* data, size_t n) { file.Write(data, n); });
      file.Close();
    });
  }
  HResult SaveToStream(rtl::TStream* stream) override {
    return Guard([&] {
      ComPtr<rtl::IStream> s = WrapProgramStream(stream);
      auto encoder = MakeEncoder(DeclarationOf(doc.get()).encoding);
      WriteDocument(doc.get(), *encoder, [&](const void* data, size_t n) {
        const auto* p = static_cast<const char*>(data);
        while (n > 0) {
          int32_t chunk = static_cast<int32_t>(std::min<size_t>(n, 1u << 30));
          int32_t written = 0;
          if (rtl::Failed(s->Write(p, chunk, &written)) || written <= 0) FailText(msg::kStreamWriteFailed);
          p += written;
          n -= static_cast<size_t>(written);
        }
      });
    });
  }
  HResult SetAsyncLoadHandler(rtl::TObject* sender, const TAsyncEventHandler& handler) override {
    return Guard([&] {
      asyncSender_ = sender;
      asyncHandler_ = handler;
    });
  }

  // IDOMParseOptions
  HResult GetAsync(WordBool* r) override { return Guard([&] { *r = WB(async_); }); }
  HResult GetPreserveWhiteSpace(WordBool* r) override {
    return Guard([&] { *r = WB(settings_.preserveWhiteSpace); });
  }
  HResult GetResolveExternals(WordBool* r) override {
    return Guard([&] { *r = WB(settings_.resolveExternals); });
  }
  HResult GetValidate(WordBool* r) override { return Guard([&] { *r = WB(settings_.validate); }); }
  HResult SetAsync(WordBool v) override { return Guard([&] { async_ = v != 0; }); }
  HResult SetPreserveWhiteSpace(WordBool v) override {
    return Guard([&] { settings_.preserveWhiteSpace = v != 0; });
  }
  HResult SetResolveExternals(WordBool v) override {
    return Guard([&] { settings_.resolveExternals = v != 0; });
  }
  HResult SetValidate(WordBool v) override { return Guard([&] { settings_.validate = v != 0; }); }

  // IDOMXMLDeclaration
  HResult GetEncoding(WideString* r) override { return Guard([&] { Put(r, doc->decl.encoding); }); }
  HResult GetStandalone(WideString* r) override { return Guard([&] { Put(r, doc->decl.standalone); }); }
  HResult GetVersion(WideString* r) override { return Guard([&] { Put(r, doc->decl.version); }); }
  // The values go into the declaration as they are, so only what it can
  // hold is taken; anything else would make the saved text unloadable.
  HResult SetEncoding(WideStringView v) override {
    return Guard([&] {
      if (!v.empty() && !IsEncodingName(v)) FailText(FormatMsg(msg::kUnsupportedEncoding, Shown(v)));
      doc->decl.encoding = std::u16string(v);
    });
  }
  HResult SetStandalone(WideStringView v) override {
    return Guard([&] {
      if (!v.empty() && v != u"yes" && v != u"no") FailText(FormatMsg(msg::kBadStandalone, Shown(v)));
      doc->decl.standalone = std::u16string(v);
    });
  }
  HResult SetVersion(WideStringView v) override {
    return Guard([&] {
      if (!v.empty() && !IsVersionNum(v)) FailText(FormatMsg(msg::kBadVersion, Shown(v)));
      doc->decl.version = std::u16string(v);
    });
  }

  // Loads bytes (a transform's output) as this document's new content;
  // returns the failure reason, empty on success.
  std::u16string LoadBytes(const uint8_t* data, size_t size) {
    ParseSource src;
      src.kind = ParseSource::Bytes;
    src.bytes = data;
    src.size = size;
    WordBool ok = 0;
    Load(src, &ok);
    return ok ? std::u16string() : error_.reason;
  }

 protected:
  HResult QueryOther(const rtl::GUID& iid, void** obj) override {
    if (iid == IDOMParseError::IID) {
      auto* e = new TParseError(error_);
      e->AddRef();
      *obj = static_cast<IDOMParseError*>(e);
      return rtl::S_OK_;
    }
    return TNodeImpl::QueryOther(iid, obj);
  }

 private:
  void Load(const ParseSource& src, WordBool* r) {
    SetLoadState(kLoadStateLoading);
    ParseSettings settings = settings_;
    if (async_ && asyncHandler_) settings.progress = [this] { asyncHandler_(asyncSender_, kLoadStateLoading); };
    ParseOutcome out;
    try {
      out = Parse(src, settings);
    } catch (...) {
      // The old content is gone either way; a failed load leaves it empty.
      Replace(XercesImpl()->createDocument(), XMLDecl{}, nullptr);
      GiveBackMemory();
      SetLoadState(kLoadStateCompleted);
      throw;
    }
    if (out.doc) {
      error_ = ParseErrorInfo{};
      Replace(out.doc, std::move(out.decl), std::move(out.store));
    } else {
      error_ = std::move(out.error);
      Replace(XercesImpl()->createDocument(), XMLDecl{}, nullptr);
    }
    *r = WB(out.doc != nullptr);
    // The parser freed a failed load's partial tree as it ended.
    GiveBackMemory();
    SetLoadState(kLoadStateCompleted);
  }

  void Replace(xc::DOMDocument* d, XMLDecl decl, std::unique_ptr<Store> store) {
    XDocRef fresh(new XDoc(d));
    // A failed load leaves an empty document, which lives in a store too.
    fresh->store = store ? std::move(store) : std::make_unique<Store>();
    fresh->decl = std::move(decl);
    if (doc->owner == this) doc->owner = nullptr;
    doc = fresh;
    current_->doc = fresh;
    node_ = d;
    doc->owner = this;
  }

  void SetLoadState(int32_t state) {
    loadState_ = state;
    if (async_ && asyncHandler_) asyncHandler_(asyncSender_, state);
  }

  ComPtr<CurrentDoc> current_;
  ParseSettings settings_;
  bool async_ = false;
  int32_t loadState_ = kLoadStateNone;
  rtl::TObject* asyncSender_ = nullptr;
  TAsyncEventHandler asyncHandler_;
  ParseErrorInfo error_;
};

IDOMNode* WrapDocument(XDoc* d) {
  if (d->owner) {
    IDOMDocument* existing = d->owner;
    existing->AddRef();
    return existing;
  }
  IDOMDocument* fresh = new TDocument(d);
  fresh->AddRef();
  return fresh;
}

std::u16string LoadIntoDocument(IDOMDocument* output, const uint8_t* data, size_t size) {
  auto* core = CoreOf(output);
  // A document names index 0 of its store, if it has one: no tree is
  // needed to tell (the load replaces the document's).
  const bool isDocument =
      core && (core->InStore() ? core->idx == 0 : core->Node()->getNodeType() == xc::DOMNode::DOCUMENT_NODE);
  if (!isDocument || core->doc->owner == nullptr)
    FailText(msg::kNotAnOutputDocument);
  return core->doc->owner->LoadBytes(data, size);
}

// ---------------------------------------------------------------------------

XDoc::XDoc(xc::DOMDocument* d) : doc(d) { ++gLiveDocs; }

XDoc::~XDoc() {
  // Releasing a Xerces document frees its memory pool wholesale; nothing
  // recurses over the tree, so deep documents are safe here.
  if (doc) doc->release();
  --gLiveDocs;
  // The tables kept beside the tree grow with it (the attribute order of a
  // large document takes megabytes): they go before the heap is trimmed.
  attrOrder = AttrOrder{};
  store.reset();
  decltype(byIndex)().swap(byIndex);
  decltype(wrappers)().swap(wrappers);
  decltype(storeSlots)().swap(storeSlots);
  decltype(freeSlots)().swap(freeSlots);
  GiveBackMemory();
}

int32_t XDoc::LiveCount() { return gLiveDocs.load(); }

// ---------------------------------------------------------------------------

namespace {

class TImplementation final : public rtl::TInterfacedObject<IDOMImplementation> {
 public:
  HResult HasFeature(WideStringView feature, WideStringView version, WordBool* r) override {
    return Guard([&] {
      std::u16string v = Z(version);
      *r = WB(XercesImpl()->hasFeature(Z(feature).c_str(), NullIfEmpty(v)));
    });
  }
  HResult CreateDocumentType(WideStringView, WideStringView, WideStringView, IDOMDocumentType** r) override {
    if (r) *r = nullptr;
    return Guard([] { FailUnsupported(u"CreateDocumentType"); });
  }
  HResult CreateDocument(WideStringView ns, WideStringView qname, IDOMDocumentType* docType,
                         IDOMDocument** r) override {
    return Guard([&] {
      *r = nullptr;
      if (docType) FailUnsupported(u"CreateDocument");
      // A new document lives in a store like a loaded one.
      XDocRef holder(new XDoc(XercesImpl()->createDocument()));
      holder->store = std::make_unique<Store>();
      if (!qname.empty()) {
        std::u16string n = Z(ns);
        holder->store->InsertBefore(0, sedit::CreateElement(holder.get(), &n, qname), Store::kNone);
      }
      *r = static_cast<IDOMDocument*>(WrapDocument(holder.get()));
    });
  }
};

}  // namespace

IDOMImplementation* NewImplementation() {
  IDOMImplementation* impl = new TImplementation();
  impl->AddRef();
  return impl;
}

HResult TDocument::GetDomImplementation(IDOMImplementation** r) {
  return Guard([&] { *r = NewImplementation(); });
}

}  // namespace xdom
