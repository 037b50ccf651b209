// Free routines shared by the node list, the node and the document.
#include "xml/XMLDoc.h"

#include <algorithm>
#include <cstring>

#include "rtl/Streams.h"
#include "rtl/TextConv.h"
#include "xml/XMLConst.h"

namespace {

bool IsQuote(char c) { return c == '"' || c == '\''; }
bool IsQuote(char16_t c) { return c == u'"' || c == u'\''; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextAscii(const AnsiString& a, const AnsiString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Reads up to 4 bytes at offset; true only when all 4 were read.
bool ReadQuad(rtl::TStream* stream, int64_t offset, uint8_t (&buf)[4]) {
  stream->Seek(offset, rtl::soBeginning);
  return stream->Read(buf, 4) == 4;
}

bool QuadIs(const uint8_t (&buf)[4], uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return buf[0] == a && buf[1] == b && buf[2] == c && buf[3] == d;
}

bool QuadAtIs(rtl::TStream* stream, int64_t offset, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t buf[4];
  return ReadQuad(stream, offset, buf) && QuadIs(buf, a, b, c, d);
}

TDetectedEncoding MatchAt(rtl::TStream* stream, int64_t i, const uint8_t (&buf)[4]) {
  if (QuadIs(buf, 0x00, 0x00, 0xFE, 0xFF)) return deUCS4BE;
  if (QuadIs(buf, 0xFF, 0xFE, 0x00, 0x00)) return deUCS4LE;
  if (QuadIs(buf, 0x00, 0x00, 0xFF, 0xFE)) return deUCS4Order2143;
  if (QuadIs(buf, 0xFE, 0xFF, 0x00, 0x00)) return deUCS4Order3412;
  if (QuadIs(buf, 0x00, 0x3C, 0x00, 0x3F)) return deUTF16BE;
  if (QuadIs(buf, 0x3C, 0x00, 0x3F, 0x00)) return deUTF16LE;
  if (QuadIs(buf, 0x3C, 0x3F, 0x78, 0x6D)) return deUTF8;
  if (QuadIs(buf, 0x4C, 0x6F, 0xA7, 0x94)) return deEBCDIC;
  if (QuadIs(buf, 0x00, 0x00, 0x00, 0x3C)) {
    if (QuadAtIs(stream, i + 4, 0x00, 0x00, 0x00, 0x3F)) return deUCS4BE;
    if (QuadAtIs(stream, i + 4, 0x3C, 0x00, 0x00, 0x00) && QuadAtIs(stream, i + 8, 0x00, 0x00, 0x3C, 0x00) &&
        QuadAtIs(stream, i + 12, 0x00, 0x3C, 0x00, 0x00))
      return deUCS4Mixed;
    return deUndetermined;
  }
  if (QuadIs(buf, 0x3C, 0x00, 0x00, 0x00)) {
    if (QuadAtIs(stream, i + 4, 0x3F, 0x00, 0x00, 0x00)) return deUCS4LE;
    return deUndetermined;
  }
  return deUndetermined;
}

}  // namespace

const TEncodingNameList WideEncodingNames = {"UTF-16", "UCS-2", "UNICODE"};

void RaiseDocError(const AnsiString& msg) { throw EXMLDocError(msg); }

void RaiseDocErrorFmt(const char* fmt, std::initializer_list<rtl::FormatArg> args) {
  throw EXMLDocError(rtl::Format(fmt, args));
}

rtl::ComPtr<IDOMNode> MakeDOMNode(IDOMDocument* doc, const WideString& nameOrData, TNodeType nodeType,
                                  const WideString& addlData) {
  rtl::ComPtr<IDOMNode> result;
  switch (nodeType) {
    case ntElement: {
      rtl::ComPtr<IDOMElement> element;
      if (addlData.empty())
        DOMCheck(doc->CreateElement(nameOrData, element.put()), "CreateElement");
      else
        DOMCheck(doc->CreateElementNS(addlData, nameOrData, element.put()), "CreateElementNS");
      result = element;
      break;
    }
    case ntAttribute: {
      rtl::ComPtr<IDOMAttr> attr;
      if (addlData.empty())
        DOMCheck(doc->CreateAttribute(nameOrData, attr.put()), "CreateAttribute");
      else
        DOMCheck(doc->CreateAttributeNS(addlData, nameOrData, attr.put()), "CreateAttributeNS");
      result = attr;
      break;
    }
    case ntText:
      DOMCheck(doc->CreateTextNode(nameOrData, result.put()), "CreateTextNode");
      break;
    case ntCDATASection:
      DOMCheck(doc->CreateCDATASection(nameOrData, result.put()), "CreateCDATASection");
      break;
    case ntEntityRef:
      DOMCheck(doc->CreateEntityReference(nameOrData, result.put()), "CreateEntityReference");
      break;
    case ntProcessingInstr:
      DOMCheck(doc->CreateProcessingInstruction(nameOrData, addlData, result.put()),
               "CreateProcessingInstruction");
      break;
    case ntComment:
      DOMCheck(doc->CreateComment(nameOrData, result.put()), "CreateComment");
      break;
    case ntDocumentFragment:
      DOMCheck(doc->CreateDocumentFragment(result.put()), "CreateDocumentFragment");
      break;
    default:
      RaiseDocError(XMLConst::SInvalidNodeType);
  }
  return result;
}

WideString ReadQuotedAttr(const AnsiString& name, const AnsiString& line, const WideString& defaultValue) {
  // Positions below are 1-based as in the declaration text's description;
  // line[p - 1] is the character at position p.
  const size_t found = line.find(name);
  if (found == AnsiString::npos) return defaultValue;
  const size_t len = line.size();
  size_t p = found + 1 + name.size();
  while (p < len && !IsQuote(line[p - 1])) ++p;
  if (p >= len) return WideString();
  size_t e = p + 1;
  while (e < len && !IsQuote(line[e - 1])) ++e;
  return rtl::NarrowToWide(line.substr(p, e - p - 1));
}

bool TextInList(const AnsiString& s, const TEncodingNameList& list) {
  return std::any_of(list.begin(), list.end(), [&](const AnsiString& item) { return SameTextAscii(s, item); });
}

// Only the encoding pseudo-attribute of a declaration at the very start is
// taken out: the same words anywhere else are the document's content.
void DropUnlistedEncoding(WideString& xml, const TEncodingNameList& keep) {
  auto space = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; };
  const size_t start = !xml.empty() && xml[0] == u'\uFEFF' ? 1 : 0;
  if (xml.compare(start, 5, u"<?xml") != 0 || start + 5 >= xml.size() || !space(xml[start + 5])) return;
  const size_t end = xml.find(u"?>", start);
  if (end == WideString::npos) return;
  size_t p = start + 5;
  while (p < end) {
    const size_t before = p;
    while (p < end && space(xml[p])) ++p;
    const size_t nameStart = p;
    while (p < end && !space(xml[p]) && xml[p] != u'=') ++p;
    const WideString name = xml.substr(nameStart, p - nameStart);
    while (p < end && space(xml[p])) ++p;
    if (p >= end || xml[p] != u'=') return;
    ++p;
    while (p < end && space(xml[p])) ++p;
    if (p >= end || !IsQuote(xml[p])) return;
    const size_t close = xml.find(xml[p], p + 1);
    if (close == WideString::npos || close > end) return;
    if (name == u"encoding") {
      const WideString value = xml.substr(p + 1, close - p - 1);
      if (value.empty() || TextInList(rtl::WideToNarrow(value), keep)) return;
      // From the blank before the name through the closing quote.
      xml.erase(before, close + 1 - before);
      return;
    }
    p = close + 1;
  }
}

TDetectedEncoding DetectStreamEncoding(rtl::TStream* stream) {
  const int64_t saved = stream->GetPosition();
  TDetectedEncoding result = deUndetermined;
  try {
    uint8_t buf[4];
    for (int64_t i = 0; result == deUndetermined && ReadQuad(stream, i, buf); ++i) {
      if (i % 4 == 0 || i % 4 == 2) result = MatchAt(stream, i, buf);
      if (result == deUndetermined && buf[0] == 0xEF && buf[1] == 0xBB && buf[2] == 0xBF) result = deUTF8BOM;
    }
  } catch (...) {
    stream->SetPosition(saved);
    throw;
  }
  stream->SetPosition(saved);
  return result;
}

void SetNodeClassEntry(TNodeClassArray& classes, TXMLNodeClass nodeClass, const WideString& nodeName,
                       const WideString& namespaceURI) {
  auto it = std::find_if(classes.begin(), classes.end(), [&](const TNodeClassInfo& info) {
    return info.NodeName == nodeName && info.NamespaceURI == namespaceURI;
  });
  if (it != classes.end()) {
    if (nodeClass)
      it->NodeClass = nodeClass;
    else
      classes.erase(it);
  } else if (nodeClass) {
    // Unregistering a pair that was never registered records nothing, so an
    // entry without a class can never be used to create a node.
    classes.push_back(TNodeClassInfo{nodeName, namespaceURI, nodeClass});
  }
}

void AppendAttrText(AnsiString& s, const AnsiString& name, const AnsiString& value) {
  if (value.empty()) return;
  if (!s.empty()) s += ' ';
  s += rtl::Format("%s=\"%s\"", {name, value});
}
