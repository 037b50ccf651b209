// Shared pieces of the document-layer tests: documents bound to a chosen
// vendor, text conversions, a canonical dump of DOM trees, recorded change
// events and scratch folders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dom/xmldom.h"
#include "rtl/Interface.h"
#include "xml/XMLDoc.h"
#include "xml/XMLIntf.h"

namespace doctest_support {

using rtl::ComPtr;

// The real library's vendor and the test vendors that hide the optional
// interfaces (kTestVendorDesc) or those and persistence as well
// (kTestVendorNoPersistDesc), or whose saves fail half-way
// (kTestVendorFailingSaveDesc). The test vendors are registered on first call.
const char* RealVendorDesc();
void EnsureTestVendors();

// A new unowned document using the vendor of that description, held by its
// interface so that it lives exactly as long as the reference.
ComPtr<IXMLDocumentIntf> NewDocument(const std::string& vendorDesc);
// The document object behind an interface reference.
TXMLDocument* Instance(const ComPtr<IXMLDocumentIntf>& doc);

WideString W(std::string_view utf8);
std::string U8(WideStringView wide);

// One line per node: depth, kind, qualified name, namespace, value, and the
// attributes sorted by name; identical for equal trees whatever the vendor.
std::string DumpDOM(IDOMNode* node);
// DumpDOM of the document's DOM document.
std::string DumpDocument(const ComPtr<IXMLDocumentIntf>& doc);

// Records node-change events as "before:<kind>:<node name>" and
// "after:<kind>:<node name>".
class TEventLog {
 public:
  explicit TEventLog(TXMLDocument* doc);
  std::vector<std::string> Events;
  // Extra entries (for example DOM observations made inside a handler).
  void Note(const std::string& text) { Events.push_back(text); }
  void Clear() { Events.clear(); }
};
const char* ChangeName(TNodeChange change);

// A fresh folder under the system's temporary folder, removed with its
// content on destruction.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& fileName);
void WriteFileBytes(const std::string& fileName, const std::string& bytes);
// UTF-16 in the given byte order, without byte-order mark.
std::string Utf16Bytes(WideStringView text, bool bigEndian);
// Latin-1 bytes of text made only of characters up to U+00FF.
std::string Latin1Bytes(WideStringView text);
// Lines of a text split at LF, CR LF or CR; no empty last line for a
// trailing break.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace doctest_support
