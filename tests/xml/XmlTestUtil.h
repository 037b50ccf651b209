// Small helpers of the document layer's own tests: documents bound to the
// real DOM vendor and text conversions.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "rtl/Component.h"
#include "rtl/TextConv.h"
#include "xml/XMLDoc.h"

namespace xmltest {

using rtl::ComPtr;

// The message call throws, "(no error)" when it throws none.
inline std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

inline WideString W(std::string_view utf8) { return rtl::Utf8Decode(utf8); }
inline std::string N(WideStringView wide) { return rtl::Utf8Encode(wide); }

// An unowned document on the real DOM, held by its interface.
inline ComPtr<IXMLDocumentIntf> NewDoc() {
  auto* doc = new TXMLDocument(nullptr);
  ComPtr<IXMLDocumentIntf> intf(doc);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  return intf;
}

inline TXMLDocument* Inst(const ComPtr<IXMLDocumentIntf>& doc) {
  return doc.query<IXMLDocumentAccess>()->GetDocumentInstance();
}

inline ComPtr<IXMLDocumentIntf> LoadDoc(std::string_view xml, TXMLDocOptions options = kDefaultXMLDocOptions) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->SetOptions(options);
  doc->LoadFromXML(W(xml));
  return doc;
}

// The document's XML text without declaration and line breaks.
inline std::string Body(const ComPtr<IXMLDocumentIntf>& doc) {
  return N(doc->GetDocumentElement()->GetXML());
}

// A component owning documents, freed with the test.
struct OwnerComponent : rtl::TComponent {
  OwnerComponent() : rtl::TComponent(nullptr) {}
};

}  // namespace xmltest
