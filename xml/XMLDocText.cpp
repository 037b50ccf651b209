// The text side of TXMLDocument: saving, the narrow text form, the values
// of the XML declaration and the schema location.
#include "xml/XMLDoc.h"

#include <string>

#include "rtl/Streams.h"
#include "rtl/TextConv.h"
#include "xml/XMLConst.h"
#include "xml/XMLReplaceFile.h"

namespace {

enum DeclItem : int { kVersion = 0, kEncoding = 1, kStandalone = 2 };

const char* DeclItemName(int item) {
  switch (item) {
    case kVersion: return XMLConst::SVersion;
    case kEncoding: return XMLConst::SEncoding;
    default: return XMLConst::SStandalone;
  }
}

// The location part of a schema location: the text from its first white
// space on, without leading white space (the whole text when there is none).
WideString CutSchemaLocation(const WideString& text) {
  if (text.size() <= 1) return text;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] <= u' ') {
      size_t start = i;
      while (start < text.size() && text[start] <= u' ') ++start;
      return text.substr(start);
    }
  }
  return text;
}

}  // namespace

void TXMLDocument::SaveToFile(const WideString& fileName) {
  CheckActive();
  const WideString target = fileName.empty() ? FFileName : fileName;
  if (target.empty()) RaiseDocError(XMLConst::SMissingFileName);
  rtl::ComPtr<IDOMPersist> persist = GetDOMPersist();
  TReplacementFile file(rtl::WideToNarrow(target));
  file.Write([&](const std::string& name) {
    DOMCheck(persist->SaveToDestination(OleVariant(rtl::NarrowToWide(name))), "SaveToDestination");
  });
  file.Commit();
  // The modification count starts again: XML lines written for an earlier
  // count must not pass for the current content.
  FXMLStrSyncCount = FXMLStrSyncCount == FModified ? 0 : -1;
  SetModified(false);
}

void TXMLDocument::SaveToStream(rtl::TStream* stream) {
  CheckActive();
  DOMCheck(GetDOMPersist()->SaveToStream(stream), "SaveToStream");
}

void TXMLDocument::SaveToXML(WideString& xml) {
  CheckActive();
  WideString text;
  DOMCheck(GetDOMPersist()->GetDocumentText(&text), "GetDocumentText");
  xml = std::move(text);
}

void TXMLDocument::SaveToXML(AnsiString& xml) {
  if (IsEmptyDocument()) {
    xml.clear();
    return;
  }
  rtl::TStringStream stream;
  SaveToStream(&stream);
  switch (DetectStreamEncoding(&stream)) {
    case deUndetermined:
    case deUTF8BOM:
    case deUTF8:
      xml = stream.DataString();
      break;
    default:
      xml = SaveAsUTF8WithDecl();
      break;
  }
}

AnsiString TXMLDocument::SaveAsUTF8WithDecl() {
  WideString wide;
  SaveToXML(wide);
  AnsiString text = rtl::Utf8Encode(wide);

  AnsiString attrs;
  if (auto decl = FDOMDocument.try_query<IDOMXMLDeclaration>()) {
    WideString version;
    WideString standalone;
    DOMCheck(decl->GetVersion(&version), "GetVersion");
    DOMCheck(decl->GetStandalone(&standalone), "GetStandalone");
    // XML requires the version first and encoding before standalone.
    AppendAttrText(attrs, XMLConst::SVersion,
                   version.empty() ? AnsiString(XMLConst::SDefaultVersion) : rtl::WideToNarrow(version));
    AppendAttrText(attrs, XMLConst::SEncoding, XMLConst::SUTF8);
    AppendAttrText(attrs, XMLConst::SStandalone, rtl::WideToNarrow(standalone));
  } else {
    attrs = BuildDeclText(GetXMLDeclNode(), kEncoding, rtl::AsciiToWide(XMLConst::SUTF8));
  }
  AnsiString declaration = "<?xml " + attrs + "?>";
  if (text.compare(0, 5, "<?xml") == 0) {
    const size_t end = text.find('>');
    text.erase(0, end == AnsiString::npos ? text.size() : end + 1);
  } else {
    declaration += '\n';
  }
  return declaration + text;
}

rtl::ComPtr<IXMLNode> TXMLDocument::GetXMLDeclNode() {
  CheckActive();
  rtl::ComPtr<IXMLNode> documentNode = GetDocumentNode();
  if (!documentNode->HasChildNodes()) return nullptr;
  rtl::ComPtr<IXMLNode> first = documentNode->GetChildNodes()->First();
  if (first && first->GetNodeType() == ntProcessingInstr && first->GetNodeName() == XMLConst::SXMLDeclTarget)
    return first;
  return nullptr;
}

WideString TXMLDocument::GetDeclValue(int item, const WideString& defaultValue) {
  if (!FDOMDocument) RaiseDocError(XMLConst::SNotActive);
  if (auto decl = FDOMDocument.try_query<IDOMXMLDeclaration>()) {
    WideString value;
    switch (item) {
      case kVersion: DOMCheck(decl->GetVersion(&value), "GetVersion"); break;
      case kEncoding: DOMCheck(decl->GetEncoding(&value), "GetEncoding"); break;
      default: DOMCheck(decl->GetStandalone(&value), "GetStandalone"); break;
    }
    return value.empty() ? defaultValue : value;
  }
  rtl::ComPtr<IXMLNode> declNode = GetXMLDeclNode();
  if (!declNode) return defaultValue;
  return ReadQuotedAttr(DeclItemName(item), rtl::WideToNarrow(declNode->GetNodeValue().ToWideString()),
                        defaultValue);
}

AnsiString TXMLDocument::BuildDeclText(const rtl::ComPtr<IXMLNode>& declNode, int item, const WideString& value) {
  WideString values[3];
  if (declNode) {
    values[kVersion] = GetDeclValue(kVersion, rtl::AsciiToWide(XMLConst::SDefaultVersion));
    values[kEncoding] = GetDeclValue(kEncoding, WideString());
    values[kStandalone] = GetDeclValue(kStandalone, WideString());
  } else {
    values[kVersion] = rtl::AsciiToWide(XMLConst::SDefaultVersion);
  }
  values[item] = value;
  AnsiString text;
  for (int i : {kVersion, kEncoding, kStandalone}) AppendAttrText(text, DeclItemName(i), rtl::WideToNarrow(values[i]));
  return text;
}

void TXMLDocument::SetDeclValue(int item, const WideString& value) {
  if (!FDOMDocument) RaiseDocError(XMLConst::SNotActive);
  if (auto decl = FDOMDocument.try_query<IDOMXMLDeclaration>()) {
    switch (item) {
      case kVersion: DOMCheck(decl->SetVersion(value), "SetVersion"); break;
      case kEncoding: DOMCheck(decl->SetEncoding(value), "SetEncoding"); break;
      default: DOMCheck(decl->SetStandalone(value), "SetStandalone"); break;
    }
    return;
  }
  rtl::ComPtr<IXMLNode> declNode = GetXMLDeclNode();
  const AnsiString text = BuildDeclText(declNode, item, value);
  rtl::ComPtr<IXMLNode> newNode = CreateNode(XMLConst::SXMLDeclTarget, ntProcessingInstr, rtl::NarrowToWide(text));
  rtl::ComPtr<IXMLNodeList> children = GetDocumentNode()->GetChildNodes();
  if (declNode)
    children->ReplaceNode(declNode, newNode);
  else
    children->Insert(0, newNode);
}

WideString TXMLDocument::GetVersion() { return GetDeclValue(kVersion, WideString()); }
WideString TXMLDocument::GetEncoding() { return GetDeclValue(kEncoding, WideString()); }
WideString TXMLDocument::GetStandalone() { return GetDeclValue(kStandalone, WideString()); }
void TXMLDocument::SetVersion(const WideString& value) { SetDeclValue(kVersion, value); }
void TXMLDocument::SetEncoding(const WideString& value) { SetDeclValue(kEncoding, value); }
void TXMLDocument::SetStandalone(const WideString& value) { SetDeclValue(kStandalone, value); }

WideString TXMLDocument::GetSchemaLocation() {
  WideString result;
  rtl::ComPtr<IXMLNodeList> children = GetDocumentNode()->GetChildNodes();
  for (int32_t i = 0, n = children->GetCount(); i < n; ++i) {
    rtl::ComPtr<IXMLNode> child = children->Get(i);
    if (child->GetNodeType() != ntDocumentType) continue;
    rtl::ComPtr<IXMLNodeList> attrs = child->GetAttributeNodes();
    for (int32_t j = 0, m = attrs->GetCount(); j < m; ++j) {
      rtl::ComPtr<IXMLNode> attr = attrs->Get(j);
      if (attr->GetNodeName() == XMLConst::SSystemAttr) {
        result = attr->GetText();
        break;
      }
    }
    break;
  }
  if (result.empty()) {
    if (rtl::ComPtr<IXMLNode> element = GetDocumentElement()) {
      result = CutSchemaLocation(
          element->GetAttributeNS(XMLConst::SSchemaLocation, XMLConst::SXMLSchemaInstanceURI).ToWideString());
      if (result.empty())
        result = CutSchemaLocation(
            element->GetAttributeNS(XMLConst::SNoNamespaceSchemaLocation, XMLConst::SXMLSchemaInstanceURI)
                .ToWideString());
    }
  }
  return result;
}
