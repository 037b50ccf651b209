// TXMLDocument: the component side, activation, loading, parse errors, the
// XML lines, the document node and element, and node-change notification.
// The text side (saving, declaration, schema location) is in XMLDocText.cpp.
#include "xml/XMLDoc.h"

#include <iostream>
#include <string>
#include <utility>

#include "rtl/FormReader.h"
#include "rtl/Streams.h"
#include "rtl/TextConv.h"
#include "xml/XMLConst.h"

namespace {

// In design mode a failure while reading a form must not stop the reading;
// there is no designer in this program, so it is shown on standard error.
void ShowDesignError(const std::exception& e) { std::cerr << e.what() << std::endl; }

const WideString kDefaultIndent = u"  ";

}  // namespace

// ---------------------------------------------------------------------------
// Construction, destruction, reference counting

TXMLDocument::TXMLDocument(rtl::TComponent* owner)
    : rtl::TComponent(owner), FDocLink(new TXMLDocLink(this)) {
  // The count is 1 while constructing, so references taken and dropped here
  // cannot free the object.
  FOptions = kDefaultXMLDocOptions;
  FPrefixBase = XMLConst::SDefaultPrefixBase;
  FNodeIndentStr = kDefaultIndent;
  FOwnedByComponent = owner != nullptr;
  FXMLStrings = std::make_unique<rtl::TStringList>();
  FXMLStrings->OnChanging = [this](rtl::TStringList* sender) { XMLLinesChanging(sender); };
  FRefCount.fetch_sub(1, std::memory_order_acq_rel);
}

void TXMLDocument::AfterConstruction() {
  rtl::TComponent::AfterConstruction();
  if (ComponentState().Contains(rtl::csDesigning) && !ComponentState().Contains(rtl::csLoading))
    FDOMVendor = LookupVendor(DefaultVendorDescription);
}

TXMLDocument::~TXMLDocument() {
  Destroying();
  try {
    if (FOwnedByComponent && GetActive() && FDocumentNode && RefCount() > 1)
      FDocumentNode.query<IXMLNodeAccess>()->ClearDocumentRef();
    SetActive(false);
  } catch (const std::exception& e) {
    // A destructor cannot report; closing (an auto-save) failed.
    std::cerr << e.what() << std::endl;
  }
  // Wrappers that outlive the document find it gone instead of dangling.
  FDocLink->Clear();
  FDocLink->Release();
  FXMLStrings.reset();
}

HResult TXMLDocument::QueryInterface(const rtl::GUID& iid, void** obj) {
  if (!obj) return rtl::E_POINTER_;
  if (iid == rtl::IInterface::IID || iid == IXMLDocumentIntf::IID) {
    *obj = static_cast<IXMLDocumentIntf*>(this);
  } else if (iid == IXMLDocumentAccess::IID) {
    *obj = static_cast<IXMLDocumentAccess*>(this);
  } else {
    *obj = nullptr;
    return rtl::E_NOINTERFACE_;
  }
  AddRef();
  return rtl::S_OK_;
}

int32_t TXMLDocument::AddRef() { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t TXMLDocument::Release() {
  const int32_t n = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  // References taken and dropped while the document is being destroyed
  // must not destroy it a second time.
  if (n == 0 && !FOwnedByComponent && !ComponentState().Contains(rtl::csDestroying)) delete this;
  return n;
}

TXMLDocument* TXMLDocument::GetDocumentInstance() { return this; }

rtl::ComPtr<IDOMPersist> TXMLDocument::GetDOMPersist() {
  if (!FDOMPersist && FDOMDocument) FDOMPersist = FDOMDocument.query<IDOMPersist>();
  return FDOMPersist;
}

rtl::ComPtr<IDOMParseOptions> TXMLDocument::GetDOMParseOptions() {
  if (!FDOMParseOptionsQueried && FDOMDocument) {
    FDOMParseOptions = FDOMDocument.try_query<IDOMParseOptions>();
    FDOMParseOptionsQueried = true;
  }
  return FDOMParseOptions;
}

// ---------------------------------------------------------------------------
// Form description

void TXMLDocument::Loaded() {
  rtl::TComponent::Loaded();
  if (!FStreamedActive) return;
  try {
    SetActive(true);
  } catch (const std::exception& e) {
    if (!ComponentState().Contains(rtl::csDesigning)) throw;
    ShowDesignError(e);
  }
}

void TXMLDocument::DefineProperties(rtl::TFormReader& reader) {
  rtl::TComponent::DefineProperties(reader);
  reader.DefineProperty(XMLConst::SDOMVendorDesc, [this](rtl::TFormReader& r) {
    const AnsiString description = r.ReadString();
    if (description.empty()) return;
    try {
      SetDOMVendor(LookupVendor(description));
    } catch (const std::exception& e) {
      if (!ComponentState().Contains(rtl::csDesigning)) throw;
      ShowDesignError(e);
    }
  });
}

bool TXMLDocument::ReadProperty(std::string_view name, rtl::TFormReader& reader) {
  if (name != "Active") return rtl::TComponent::ReadProperty(name, reader);
  SetActive(reader.ReadBoolean());
  return true;
}

// ---------------------------------------------------------------------------
// Activation

bool TXMLDocument::GetActive() { return static_cast<bool>(FDOMDocument); }

void TXMLDocument::SetActive(bool value) {
  if (ComponentState().Contains(rtl::csReading)) {
    FStreamedActive = value;
    return;
  }
  if (value == GetActive()) return;
  if (value) {
    DoBeforeOpen();
    EnsureDOMImplementation();
    OpenDocument();
    DoAfterOpen();
  } else {
    DoBeforeClose();
    ReleaseDocument(true);
    DoAfterClose();
  }
}

void TXMLDocument::OpenDocument() {
  try {
    DOMCheck(FDOMImplementation->CreateDocument(WideString(), WideString(), nullptr, FDOMDocument.put()),
             "CreateDocument");
    LoadDocument();
  } catch (...) {
    ReleaseDocument(false);
    throw;
  }
}

void TXMLDocument::EnsureDOMImplementation() {
  if (FDOMImplementation) return;
  if (FDOMVendor)
    FDOMImplementation = FDOMVendor->GetImplementation();
  else
    FDOMImplementation = ImplementationByDescription(DefaultVendorDescription);
}

void TXMLDocument::SetDOMVendor(TDOMVendor* value) {
  if (value == FDOMVendor) return;
  FDOMVendor = value;
  SetDOMImplementation(nullptr);
}

void TXMLDocument::SetDOMImplementation(const rtl::ComPtr<IDOMImplementation>& value) {
  if (value == FDOMImplementation) return;
  SetActive(false);
  FDOMImplementation = value;
}

void TXMLDocument::CheckActive() {
  EnsureDOMImplementation();
  if (!FDOMDocument) RaiseDocError(XMLConst::SNotActive);
}

void TXMLDocument::DoAfterClose() {
  if (AfterClose) AfterClose(this);
}
void TXMLDocument::DoAfterOpen() {
  if (AfterOpen) AfterOpen(this);
}
void TXMLDocument::DoBeforeClose() {
  if (BeforeClose) BeforeClose(this);
}
void TXMLDocument::DoBeforeOpen() {
  if (BeforeOpen) BeforeOpen(this);
}

void TXMLDocument::ApplyParseOptions() {
  rtl::ComPtr<IDOMParseOptions> options = GetDOMParseOptions();
  if (!options) {
    if (!FParseOptions.Empty()) RaiseDocError(XMLConst::SMissingParseOpts);
    return;
  }
  DOMCheck(options->SetPreserveWhiteSpace(rtl::ToWordBool(FParseOptions.Contains(poPreserveWhiteSpace))),
           "SetPreserveWhiteSpace");
  DOMCheck(options->SetResolveExternals(rtl::ToWordBool(FParseOptions.Contains(poResolveExternals))),
           "SetResolveExternals");
  DOMCheck(options->SetValidate(rtl::ToWordBool(FParseOptions.Contains(poValidateOnParse))), "SetValidate");
  DOMCheck(options->SetAsync(rtl::ToWordBool(FParseOptions.Contains(poAsyncLoad))), "SetAsync");
  if (FOnAsyncLoad) DOMCheck(GetDOMPersist()->SetAsyncLoadHandler(this, FOnAsyncLoad), "SetAsyncLoadHandler");
}

void TXMLDocument::LoadDocument() {
  FDocumentSource = dsNone;
  FXMLStrSyncCount = -1;
  ApplyParseOptions();
  WordBool loaded = rtl::kWordTrue;
  if (!FXMLStrings->Empty()) {
    rtl::TStringStream stream(FXMLStrings->GetText());
    DOMCheck(GetDOMPersist()->LoadFromStream(&stream, &loaded), "LoadFromStream");
    FDocumentSource = dsXMLLines;
    FXMLStrSyncCount = 0;
  } else if (!FXMLData.empty()) {
    WideString xml = FXMLData;
    DropUnlistedEncoding(xml, WideEncodingNames);
    if (!xml.empty() && xml[0] == u'\uFEFF') xml.erase(0, 1);
    DOMCheck(GetDOMPersist()->LoadXMLText(xml, &loaded), "LoadXMLText");
    FXMLData.clear();
    FDocumentSource = dsXMLText;
  } else if (FLoadFromStream) {
    rtl::TStream* stream = FLoadFromStream;
    FLoadFromStream = nullptr;
    stream->Seek(0, rtl::soBeginning);
    DOMCheck(GetDOMPersist()->LoadFromStream(stream, &loaded), "LoadFromStream");
    FDocumentSource = dsStream;
  } else if (!FFileName.empty()) {
    DOMCheck(GetDOMPersist()->LoadFromSource(OleVariant(FFileName), &loaded), "LoadFromSource");
    FDocumentSource = dsFile;
  }
  if (!rtl::FromWordBool(loaded)) {
    FDocumentSource = dsNone;
    rtl::ComPtr<IDOMParseError> error = FDOMDocument.query<IDOMParseError>();
    WideString reason;
    WideString sourceText;
    int32_t line = 0;
    DOMCheck(error->GetReason(&reason), "GetReason");
    DOMCheck(error->GetLine(&line), "GetLine");
    DOMCheck(error->GetSourceText(&sourceText), "GetSourceText");
    throw EDOMParseError(error, rtl::Format(XMLConst::SParseErrorFmt,
                                            {rtl::WideToNarrow(reason), "\n", XMLConst::SLine, line, "\n",
                                             rtl::WideToNarrow(WideStringView(sourceText).substr(0, 40))}));
  }
  SetModified(false);
}

void TXMLDocument::ReleaseDocument(bool autoSave) {
  if (autoSave) AutoSaveOnClose();
  FDocumentNode = nullptr;
  FDOMPersist = nullptr;
  FDOMDocument = nullptr;
  FDOMParseOptions = nullptr;
  FDOMParseOptionsQueried = false;
  FPrefixID = 0;
  SetModified(false);
  if (FDocumentSource != dsXMLLines) SetXMLLinesSilently(AnsiString());
  // Wrappers of the closed DOM that callers still hold no longer reach this
  // document: no events, no modification, no options.
  FDocLink->NextSession();
}

void TXMLDocument::AutoSaveOnClose() {
  if (!FOptions.Contains(doAutoSave) || !GetModified()) return;
  if (FDocumentSource == dsXMLLines)
    SyncXMLLines();
  else if (FDocumentSource == dsFile)
    SaveToFile(FFileName);
}

// ---------------------------------------------------------------------------
// XML lines

void TXMLDocument::SetXMLLinesSilently(const AnsiString& text) {
  rtl::TStringList::ChangeHandler handler = std::move(FXMLStrings->OnChanging);
  FXMLStrings->OnChanging = nullptr;
  try {
    FXMLStrings->SetText(text);
  } catch (...) {
    FXMLStrings->OnChanging = std::move(handler);
    throw;
  }
  FXMLStrings->OnChanging = std::move(handler);
}

void TXMLDocument::SyncXMLLines() {
  if (FXMLStrSyncCount == FModified) return;
  AnsiString text;
  SaveToXML(text);
  SetXMLLinesSilently(text);
  FXMLStrSyncCount = FModified;
}

void TXMLDocument::XMLLinesChanging(rtl::TStringList*) {
  if (!ComponentState().Contains(rtl::csLoading) && GetActive()) SetActive(false);
  FFileName.clear();
}

rtl::TStrings* TXMLDocument::GetXML() {
  if (GetActive()) SyncXMLLines();
  return FXMLStrings.get();
}

void TXMLDocument::SetXML(const rtl::TStrings& value) { FXMLStrings->Assign(value); }

// ---------------------------------------------------------------------------
// Loading

WideString TXMLDocument::GetFileName() { return FFileName; }

void TXMLDocument::SetFileName(const WideString& value) {
  if (value == FFileName) return;
  if (GetActive() && FDocumentSource == dsFile)
    SetActive(false);
  else
    SetXMLLinesSilently(AnsiString());
  FFileName = value;
}

void TXMLDocument::LoadFromFile(const WideString& fileName) {
  SetActive(false);
  if (!fileName.empty()) SetFileName(fileName);
  if (FFileName.empty()) RaiseDocError(XMLConst::SMissingFileName);
  FXMLData.clear();
  SetXMLLinesSilently(AnsiString());
  SetActive(true);
}

void TXMLDocument::LoadFromStream(rtl::TStream* stream, int32_t) {
  if (!stream) RaiseDocError(XMLConst::SMissingStream);
  SetActive(false);
  SetXMLLinesSilently(AnsiString());
  FXMLData.clear();
  FLoadFromStream = stream;
  try {
    SetActive(true);
  } catch (...) {
    // The stream belongs to the caller; a later opening must not read it.
    FLoadFromStream = nullptr;
    throw;
  }
}

void TXMLDocument::LoadFromXML(const WideString& xml) {
  SetActive(false);
  SetXMLLinesSilently(AnsiString());
  FXMLData = xml;
  try {
    SetActive(true);
  } catch (...) {
    FXMLData.clear();
    throw;
  }
}

void TXMLDocument::LoadFromXML(const AnsiString& xml) {
  rtl::TStringStream stream(xml);
  LoadFromStream(&stream, 0);
}

void TXMLDocument::Refresh() {
  CheckActive();
  ReleaseDocument(false);
  if (FDocumentSource != dsXMLLines && FDocumentSource != dsFile) RaiseDocError(XMLConst::SOnlyWhenActive);
  OpenDocument();
}

// ---------------------------------------------------------------------------
// Plain properties

int32_t TXMLDocument::GetAsyncLoadState() {
  if (!FDOMDocument) RaiseDocError(XMLConst::SNotActive);
  int32_t state = 0;
  DOMCheck(GetDOMPersist()->GetAsyncLoadState(&state), "GetAsyncLoadState");
  return state;
}

rtl::ComPtr<IDOMDocument> TXMLDocument::GetDOMDocument() { return FDOMDocument; }

void TXMLDocument::SetDOMDocument(const rtl::ComPtr<IDOMDocument>& value) {
  SetActive(false);
  DoBeforeOpen();
  FDOMDocument = value;
  DoAfterOpen();
}

bool TXMLDocument::GetModified() { return FModified != 0; }

void TXMLDocument::SetModified(bool value) {
  if (value)
    ++FModified;
  else
    FModified = 0;
}

WideString TXMLDocument::GetNodeIndentStr() { return FNodeIndentStr; }
void TXMLDocument::SetNodeIndentStr(const WideString& value) { FNodeIndentStr = value; }
TXMLDocOptions TXMLDocument::GetOptions() { return FOptions; }
void TXMLDocument::SetOptions(TXMLDocOptions value) { FOptions = value; }
TParseOptions TXMLDocument::GetParseOptions() { return FParseOptions; }
void TXMLDocument::SetParseOptions(TParseOptions value) { FParseOptions = value; }

void TXMLDocument::SetOnAsyncLoad(const TAsyncEventHandler& value) {
  FOnAsyncLoad = value;
  if (GetActive()) DOMCheck(GetDOMPersist()->SetAsyncLoadHandler(this, FOnAsyncLoad), "SetAsyncLoadHandler");
}

bool TXMLDocument::IsEmptyDocument() {
  if (!FDOMDocument) return true;
  WordBool hasChildren = rtl::kWordFalse;
  DOMCheck(FDOMDocument->HasChildNodes(&hasChildren), "HasChildNodes");
  return !rtl::FromWordBool(hasChildren);
}

// ---------------------------------------------------------------------------
// Document node and element, node creation

rtl::ComPtr<IXMLNode> TXMLDocument::GetDocumentNode() {
  CheckActive();
  if (!FDocumentNode) {
    auto* node = new TXMLNode(FDOMDocument, nullptr, this);
    FDocumentNode = rtl::ComPtr<IXMLNode>(node);
    if (!FRootNodeClasses.empty()) node->AssignChildNodeClasses(FRootNodeClasses);
  }
  return FDocumentNode;
}

rtl::ComPtr<IXMLNodeList> TXMLDocument::GetChildNodes() { return GetDocumentNode()->GetChildNodes(); }

rtl::ComPtr<IXMLNode> TXMLDocument::GetDocumentElement() {
  CheckActive();
  rtl::ComPtr<IXMLNode> documentNode = GetDocumentNode();
  if (!documentNode->HasChildNodes()) return nullptr;
  // From the last child backwards, by position: stepping through
  // PreviousSibling would search the list once per step.
  rtl::ComPtr<IXMLNodeList> children = documentNode->GetChildNodes();
  for (int32_t i = children->GetCount() - 1; i >= 0; --i) {
    rtl::ComPtr<IXMLNode> child = children->Get(i);
    if (child->GetNodeType() == ntElement) return child;
  }
  return nullptr;
}

void TXMLDocument::SetDocumentElement(const rtl::ComPtr<IXMLNode>& value) {
  CheckActive();
  if (!value) RaiseDocError(XMLConst::SMissingXMLNode);
  rtl::ComPtr<IXMLNode> old = GetDocumentElement();
  if (old)
    GetDocumentNode()->GetChildNodes()->ReplaceNode(old, value);
  else
    GetDocumentNode()->GetChildNodes()->Add(value);
}

rtl::ComPtr<IXMLNode> TXMLDocument::AddChild(const WideString& tagName) {
  return GetDocumentNode()->AddChild(tagName, -1);
}

rtl::ComPtr<IXMLNode> TXMLDocument::AddChildNS(const WideString& tagName, const WideString& namespaceURI) {
  return GetDocumentNode()->AddChildNS(tagName, namespaceURI, false, -1);
}

rtl::ComPtr<IXMLNode> TXMLDocument::CreateElement(const WideString& tagName, const WideString& namespaceURI) {
  return CreateNode(tagName, ntElement, namespaceURI);
}

rtl::ComPtr<IXMLNode> TXMLDocument::CreateNode(const WideString& nameOrData, TNodeType nodeType,
                                               const WideString& addlData) {
  if (!FDOMDocument) RaiseDocError(XMLConst::SNotActive);
  rtl::ComPtr<IDOMNode> domNode = MakeDOMNode(FDOMDocument.get(), nameOrData, nodeType, addlData);
  return rtl::ComPtr<IXMLNode>(new TXMLNode(std::move(domNode), nullptr, this));
}

WideString TXMLDocument::MakeUniquePrefix(const rtl::ComPtr<IXMLNode>& node) {
  if (!node) RaiseDocError(XMLConst::SMissingXMLNode);
  WideString candidate;
  do {
    ++FPrefixID;
    candidate = FPrefixBase + rtl::AsciiToWide(std::to_string(FPrefixID));
  } while (!node->FindNamespaceURI(candidate).empty());
  return candidate;
}

rtl::ComPtr<IXMLNode> TXMLDocument::BindRootElement(const WideString& tagName, TXMLNodeClass nodeClass,
                                                    const WideString& namespaceURI) {
  RegisterRootNodeClass(tagName, nodeClass, namespaceURI);
  if (!GetActive())
    SetActive(true);
  else
    FDocumentNode = nullptr;
  rtl::ComPtr<IDOMElement> element;
  DOMCheck(FDOMDocument->GetDocumentElement(element.put()), "GetDocumentElement");
  if (!element) {
    if (!namespaceURI.empty())
      GetDocumentNode()->AddChildNS(tagName, namespaceURI, false, -1);
    else
      GetDocumentNode()->AddChild(tagName, -1);
  }
  return GetDocumentElement();
}

void TXMLDocument::RegisterRootNodeClass(const WideString& tagName, TXMLNodeClass nodeClass,
                                         const WideString& namespaceURI) {
  FDocumentNode = nullptr;
  SetNodeClassEntry(FRootNodeClasses, nodeClass, tagName, namespaceURI);
}

void TXMLDocument::ResetDocumentNode() {
  CheckActive();
  FDocumentNode = nullptr;
}

TXMLNodeClass TXMLDocument::ChooseNodeClass(IDOMNode*) { return nullptr; }

void TXMLDocument::DoNodeChange(const rtl::ComPtr<IXMLNode>& node, TNodeChange changeType, bool beforeChange) {
  SetModified(true);
  if (beforeChange) {
    if (BeforeNodeChange) BeforeNodeChange(node, changeType);
  } else {
    if (AfterNodeChange) AfterNodeChange(node, changeType);
  }
}
