#include "tests/xml/vendor/DocTestSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "dom/xercesxmldom.h"
#include "rtl/TextConv.h"
#include "tests/xml/vendor/TestVendor.h"

namespace doctest_support {

namespace {

void RemoveTree(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // Tests may leave a folder unreadable or unwritable; undo that first.
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += static_cast<char>(c);
  }
  return out;
}

void DumpInto(IDOMNode* node, int depth, std::ostringstream& out) {
  uint16_t type = 0;
  WideString name, uri, value;
  DOMCheck(node->GetNodeType(&type), "GetNodeType");
  DOMCheck(node->GetNodeName(&name), "GetNodeName");
  DOMCheck(node->GetNamespaceURI(&uri), "GetNamespaceURI");
  DOMCheck(node->GetNodeValue(&value), "GetNodeValue");
  out << depth << ' ' << type << ' ' << U8(name);
  if (!uri.empty()) out << " {" << U8(uri) << '}';
  if (!value.empty()) out << " =\"" << Escaped(U8(value)) << '"';
  ComPtr<IDOMNamedNodeMap> attrs;
  DOMCheck(node->GetAttributes(attrs.put()), "GetAttributes");
  if (attrs) {
    int32_t n = 0;
    DOMCheck(attrs->GetLength(&n), "GetLength");
    std::vector<std::string> items;
    for (int32_t i = 0; i < n; ++i) {
      ComPtr<IDOMNode> a;
      DOMCheck(attrs->Item(i, a.put()), "Item");
      WideString an, au, av;
      DOMCheck(a->GetNodeName(&an), "GetNodeName");
      DOMCheck(a->GetNamespaceURI(&au), "GetNamespaceURI");
      DOMCheck(a->GetNodeValue(&av), "GetNodeValue");
      items.push_back(U8(an) + (au.empty() ? "" : "{" + U8(au) + "}") + "=\"" +
                      Escaped(U8(av)) + "\"");
    }
    std::sort(items.begin(), items.end());
    for (const std::string& item : items) out << ' ' << item;
  }
  out << '\n';
  ComPtr<IDOMNodeList> children;
  DOMCheck(node->GetChildNodes(children.put()), "GetChildNodes");
  int32_t count = 0;
  if (children) DOMCheck(children->GetLength(&count), "GetLength");
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IDOMNode> child;
    DOMCheck(children->Item(i, child.put()), "Item");
    DumpInto(child.get(), depth + 1, out);
  }
}

}  // namespace

const char* RealVendorDesc() { return SXercesXML; }

void EnsureTestVendors() {
  // Live for the whole test program, as the real vendor does. Objects, not
  // leaked pointers: an optimising build drops a static pointer nobody reads,
  // and LeakSanitizer then reports the vendors.
  static testvendor::TTestDOMVendor plain(testvendor::kTestVendorDesc, testvendor::kHideOptional);
  static testvendor::TTestDOMVendor noPersist(testvendor::kTestVendorNoPersistDesc,
                                              testvendor::kHideOptional | testvendor::hiPersist);
  static testvendor::TTestDOMVendor failingSave(
      testvendor::kTestVendorFailingSaveDesc, testvendor::kHideOptional | testvendor::hiFailingSaves);
}

ComPtr<IXMLDocumentIntf> NewDocument(const std::string& vendorDesc) {
  EnsureTestVendors();
  ComPtr<IXMLDocumentIntf> doc(rtl::CreateComponent<TXMLDocument>(nullptr));
  Instance(doc)->SetDOMVendor(LookupVendor(vendorDesc));
  return doc;
}

TXMLDocument* Instance(const ComPtr<IXMLDocumentIntf>& doc) {
  return doc.query<IXMLDocumentAccess>()->GetDocumentInstance();
}

WideString W(std::string_view utf8) { return rtl::Utf8Decode(utf8); }
std::string U8(WideStringView wide) { return rtl::Utf8Encode(wide); }

std::string DumpDOM(IDOMNode* node) {
  std::ostringstream out;
  DumpInto(node, 0, out);
  return out.str();
}

std::string DumpDocument(const ComPtr<IXMLDocumentIntf>& doc) {
  ComPtr<IDOMDocument> dom = doc->GetDOMDocument();
  if (!dom) return "(inactive)";
  return DumpDOM(dom.get());
}

const char* ChangeName(TNodeChange change) {
  switch (change) {
    case ncUpdateValue: return "ncUpdateValue";
    case ncInsertChild: return "ncInsertChild";
    case ncRemoveChild: return "ncRemoveChild";
    case ncAddAttribute: return "ncAddAttribute";
    case ncRemoveAttribute: return "ncRemoveAttribute";
  }
  return "?";
}

TEventLog::TEventLog(TXMLDocument* doc) {
  doc->BeforeNodeChange = [this](const ComPtr<IXMLNode>& node, TNodeChange change) {
    Events.push_back(std::string("before:") + ChangeName(change) + ":" +
                     (node ? U8(node->GetNodeName()) : "(null)"));
  };
  doc->AfterNodeChange = [this](const ComPtr<IXMLNode>& node, TNodeChange change) {
    Events.push_back(std::string("after:") + ChangeName(change) + ":" +
                     (node ? U8(node->GetNodeName()) : "(null)"));
  };
}

TScratchDir::TScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/xmltest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TScratchDir::~TScratchDir() { RemoveTree(path_); }

std::vector<std::string> TScratchDir::Entries() const {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path_.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFileBytes(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + fileName);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& fileName, const std::string& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + fileName);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Utf16Bytes(WideStringView text, bool bigEndian) {
  std::string out;
  for (char16_t c : text) {
    char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    if (bigEndian) { out += hi; out += lo; }
    else { out += lo; out += hi; }
  }
  return out;
}

std::string Latin1Bytes(WideStringView text) {
  std::string out;
  for (char16_t c : text) {
    if (c > 0xFF) throw std::runtime_error("not a Latin-1 text");
    out += static_cast<char>(c);
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace doctest_support
