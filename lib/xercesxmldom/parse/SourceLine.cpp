#include "lib/xercesxmldom/parse/SourceLine.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "lib/xercesxmldom/parse/Resolver.h"
#include "lib/xercesxmldom/save/Writer.h"

namespace xdom {

namespace {

// Reads the given 1-based line from a byte source: UTF-16 (by byte-order
// mark or the "<?" pattern) or 8-bit in the encoding the declaration names.
template <class Read>
std::u16string LineFromBytes(Read&& read, int32_t line) {
  std::vector<uint8_t> chunk(65536);
  size_t n = read(chunk.data(), chunk.size());
  if (n == 0) return {};
  std::vector<uint8_t> head(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(n, 256)));
  int wide = 0;  // 1 little endian, 2 big endian
  if (n >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) wide = 1;
  if (n >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) wide = 2;
  if (n >= 4 && chunk[0] == '<' && chunk[1] == 0 && chunk[2] == '?' && chunk[3] == 0) wide = 1;
  if (n >= 4 && chunk[0] == 0 && chunk[1] == '<' && chunk[2] == 0 && chunk[3] == '?') wide = 2;
  const size_t unit = wide ? 2 : 1;
  const size_t maxBytes = kMaxSourceLine * (wide ? 2 : 4);

  int32_t current = 1;
  bool lastWasCR = false;
  std::vector<uint8_t> bytes;
  bool done = false;
  size_t carry = 0;  // odd byte of a split UTF-16 unit
  uint8_t carried = 0;
  while (!done && n > 0) {
    size_t i = 0;
    auto unitAt = [&](size_t k, uint8_t first) -> uint32_t {
      if (!wide) return chunk[k];
      uint8_t b0 = first, b1 = chunk[k];
      return wide == 1 ? (b0 | (b1 << 8)) : ((b0 << 8) | b1);
    };
    // Counts the line ends; keep adds the unit's bytes while on the line.
    auto step = [&](uint32_t u, auto&& keep) {
      if (u == 0x0A) {
        if (!lastWasCR) ++current;
        lastWasCR = false;
      } else if (u == 0x0D) {
        ++current;
        lastWasCR = true;
      } else {
        lastWasCR = false;
        if (current == line && bytes.size() < maxBytes) keep();
      }
      if (current > line || (current == line && bytes.size() >= maxBytes)) done = true;
    };
    if (carry && n > 0) {
      i = 1;
      carry = 0;
      step(unitAt(0, carried), [&] {
        bytes.push_back(carried);
        bytes.push_back(chunk[0]);
      });
    }
    for (; !done && i + unit <= n; i += unit) {
      step(wide ? unitAt(i + 1, chunk[i]) : chunk[i], [&] {
        bytes.insert(bytes.end(), chunk.begin() + static_cast<std::ptrdiff_t>(i),
                     chunk.begin() + static_cast<std::ptrdiff_t>(i + unit));
      });
    }
    if (done) break;
    if (wide && i < n) {
      carry = 1;
      carried = chunk[i];
    }
    n = read(chunk.data(), chunk.size());
  }

  std::u16string out;
  if (wide) {
    size_t start = 0;
    if (line == 1 && bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF)))
      start = 2;
    for (size_t k = start; k + 1 < bytes.size(); k += 2)
      out += wide == 1 ? static_cast<char16_t>(bytes[k] | (bytes[k + 1] << 8))
                       : static_cast<char16_t>((bytes[k] << 8) | bytes[k + 1]);
  } else {
    size_t start = 0;
    if (line == 1 && bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    out = DecodeWithHead(bytes.data() + start, bytes.size() - start, head.data(), head.size());
  }
  if (out.size() > kMaxSourceLine) out.resize(kMaxSourceLine);
  return out;
}

std::u16string LineFromText(std::u16string_view text, int32_t line) {
  int32_t current = 1;
  size_t start = 0;
  for (size_t i = 0; i < text.size() && current < line; ++i) {
    if (text[i] == u'\r' || text[i] == u'\n') {
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      ++current;
      start = i + 1;
    }
  }
  if (current != line) return {};
  size_t end = text.find_first_of(u"\r\n", start);
  if (end == std::u16string_view::npos) end = text.size();
  std::u16string_view l = text.substr(start, std::min(end - start, kMaxSourceLine));
  if (line == 1 && !l.empty() && l[0] == 0xFEFF) l.remove_prefix(1);
  return std::u16string(l);
}


std::u16string LineFromFile(const std::string& path, int32_t line) {
  bool notRegular = false;
  FILE* f = OpenRegularFile(path, &notRegular);
  if (!f) return {};
  std::u16string r = LineFromBytes([&](uint8_t* buf, size_t size) { return fread(buf, 1, size, f); }, line);
  fclose(f);
  return r;
}

// A local file path from a system id ("/x", "file:///x"), or empty.
std::string LocalPathOf(const std::u16string& systemId) {
  std::u16string_view s = systemId;
  if (s.substr(0, 7) == u"file://") s.remove_prefix(7);
  if (s.empty() || s[0] != u'/') return {};
  return Utf16ToUtf8(s);
}

}  // namespace

void FillSourceText(const ParseSource& src, const std::u16string& mainId, int64_t streamStart,
                    bool externalsRead, ParseErrorInfo& info) {
  if (info.line <= 0) return;
  bool inMain = info.url.empty() || info.url == mainId;
  if (!inMain) {
    // An external resource the parser was not allowed to read is not read
    // for the message either.
    if (!externalsRead) return;
    std::string path = LocalPathOf(info.url);
    if (!path.empty()) info.srcText = LineFromFile(path, info.line);
    return;
  }
  switch (src.kind) {
    case ParseSource::Text:
      info.srcText = LineFromText(src.text, info.line);
      break;
    case ParseSource::Bytes: {
      size_t pos = 0;
      info.srcText = LineFromBytes(
          [&](uint8_t* buf, size_t size) {
            size_t n = std::min(size, src.size - pos);
            std::copy(src.bytes + pos, src.bytes + pos + n, buf);
            pos += n;
            return n;
          },
          info.line);
      break;
    }
    case ParseSource::File:
      info.srcText = LineFromFile(src.path, info.line);
      break;
    case ParseSource::Stream: {
      if (streamStart < 0 || rtl::Failed(src.stream->Seek(streamStart, rtl::soBeginning, nullptr))) return;
      info.srcText = LineFromBytes(
          [&](uint8_t* buf, size_t size) -> size_t {
            int32_t got = 0;
            if (rtl::Failed(src.stream->Read(buf, static_cast<int32_t>(size), &got)) || got < 0) return 0;
            return static_cast<size_t>(got);
          },
          info.line);
      break;
    }
  }
}


}  // namespace xdom
