// The text side of TXMLDocument: saving, the narrow text form, the values
// of the XML declaration and the schema location.
#include "xml/XMLDoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "rtl/Streams.h"
#include "rtl/TextConv.h"
#include "xml/XMLConst.h"

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

// The file a save really replaces: symbolic links are followed, so that the
// link stays a link and the file it names gets the new content.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return path;
    std::string link(buf.data(), static_cast<size_t>(n));
    if (link[0] != '/') {
      size_t slash = path.rfind('/');
      if (slash != std::string::npos) link = path.substr(0, slash + 1) + link;
    }
    path = std::move(link);
  }
  return path;
}

// A new file beside the one a save replaces, so that a failing or
// interrupted save never leaves a truncated document behind. It gets the old
// file's permissions and owner, and removes itself unless it was moved into
// place.
class TReplacementFile {
 public:
  explicit TReplacementFile(std::string target) : target_(std::move(target)) {
    size_t slash = target_.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    std::string pattern = folder + "." + base + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) Fail(XMLConst::SCreateFileFailed);
    name_ = buf.data();
    struct stat old {};
    if (stat(target_.c_str(), &old) == 0) {
      (void)fchown(fd, old.st_uid, old.st_gid);
      (void)fchmod(fd, old.st_mode & 07777);
    } else {
      mode_t mask = umask(0);
      umask(mask);
      (void)fchmod(fd, 0666 & ~mask);
    }
    close(fd);
  }
  ~TReplacementFile() {
    if (!name_.empty()) unlink(name_.c_str());
  }
  TReplacementFile(const TReplacementFile&) = delete;
  TReplacementFile& operator=(const TReplacementFile&) = delete;

  const std::string& Name() const { return name_; }

  // Makes the written content durable, then puts it in the target's place.
  void Commit() {
    int fd = open(name_.c_str(), O_RDONLY);
    if (fd >= 0) {
      (void)fsync(fd);
      close(fd);
    }
    if (rename(name_.c_str(), target_.c_str()) != 0) Fail(XMLConst::SReplaceFileFailed);
    name_.clear();
  }

 private:
  [[noreturn]] void Fail(const char* fmt) {
    int error = errno;
    RaiseDocErrorFmt(fmt, {target_, std::strerror(error)});
  }

  std::string target_;
  std::string name_;
};

}  // namespace

void TXMLDocument::SaveToFile(const WideString& fileName) {
  CheckActive();
  const WideString target = fileName.empty() ? FFileName : fileName;
  if (target.empty()) RaiseDocError(XMLConst::SMissingFileName);
  rtl::ComPtr<IDOMPersist> persist = GetDOMPersist();
  TReplacementFile file(FollowLinks(rtl::WideToNarrow(target)));
  DOMCheck(persist->SaveToDestination(OleVariant(rtl::NarrowToWide(file.Name()))),
           "SaveToDestination");
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
