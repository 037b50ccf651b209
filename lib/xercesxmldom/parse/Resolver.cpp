#include "lib/xercesxmldom/parse/Resolver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>

namespace xdom {

namespace {

class FileBinStream final : public xc::BinInputStream {
 public:
  explicit FileBinStream(FILE* f) : f_(f) {}
  ~FileBinStream() override { fclose(f_); }
  XMLFilePos curPos() const override { return pos_; }
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    size_t n = fread(toFill, 1, maxToRead, f_);
    pos_ += n;
    return n;
  }
  const XMLCh* getContentType() const override { return nullptr; }

 private:
  FILE* f_;
  XMLFilePos pos_ = 0;
};

class FileSource final : public xc::InputSource {
 public:
  FileSource(FILE* f, const std::u16string& systemId) : InputSource(&ParserMemory()), f_(f) {
    setSystemId(systemId.c_str());
  }
  ~FileSource() override {
    if (f_) fclose(f_);
  }
  xc::BinInputStream* makeStream() const override {
    FILE* f = std::exchange(f_, nullptr);
    return f ? new FileBinStream(f) : nullptr;
  }

 private:
  mutable FILE* f_;
};

bool IsXmlSpace(char16_t c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

std::u16string_view TrimXmlSpace(std::u16string_view s) {
  while (!s.empty() && IsXmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsXmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// The scheme of a URI ("http" of "http://x"), or empty for a path. A scheme
// has at least two characters, so a drive letter ("C:") is none.
std::u16string_view SchemeOf(std::u16string_view s) {
  size_t i = 0;
  while (i < s.size() && (IsAsciiLetter(s[i]) || (i > 0 && ((s[i] >= u'0' && s[i] <= u'9') || s[i] == u'+' ||
                                                           s[i] == u'-' || s[i] == u'.'))))
    ++i;
  return i >= 2 && i < s.size() && s[i] == u':' ? s.substr(0, i) : std::u16string_view();
}

bool IsFileScheme(std::u16string_view scheme) {
  return scheme.size() == 4 && (scheme[0] | 0x20) == u'f' && (scheme[1] | 0x20) == u'i' &&
         (scheme[2] | 0x20) == u'l' && (scheme[3] | 0x20) == u'e';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// The path of a file: URL ("file:///x", "file://localhost/x", "file:/x"),
// percent escapes decoded; empty for a remote host.
std::string PathOfFileUrl(std::u16string_view url) {
  std::u16string_view rest = url.substr(5);
  if (rest.substr(0, 2) == u"//") {
    rest.remove_prefix(2);
    size_t slash = rest.find(u'/');
    std::u16string_view host = rest.substr(0, slash);
    if (!host.empty() && host != u"localhost") return {};
    rest = slash == std::u16string_view::npos ? std::u16string_view() : rest.substr(slash);
  }
  if (rest.empty() || rest[0] != u'/') return {};
  std::string raw = Utf16ToUtf8(rest);
  std::string path;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size() && HexValue(raw[i + 1]) >= 0 && HexValue(raw[i + 2]) >= 0) {
      path += static_cast<char>(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]));
      i += 2;
    } else {
      path += raw[i];
    }
  }
  return path;
}

std::unique_ptr<xc::InputSource> EmptyInput(const XMLCh* systemId) {
  static const XMLByte kNothing[1] = {0};
  return std::make_unique<xc::MemBufInputSource>(kNothing, 0, systemId ? systemId : u"", false, &ParserMemory());
}

bool IsGrammar(xc::XMLResourceIdentifier::ResourceIdentifierType t) {
  return t == xc::XMLResourceIdentifier::SchemaGrammar || t == xc::XMLResourceIdentifier::SchemaImport ||
         t == xc::XMLResourceIdentifier::SchemaInclude || t == xc::XMLResourceIdentifier::SchemaRedefine;
}

}  // namespace

FILE* OpenRegularFile(const std::string& path, bool* notRegular) {
  *notRegular = false;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *notRegular = true;
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

std::unique_ptr<xc::InputSource> FileInput(FILE* f, const std::u16string& systemId) {
  return std::make_unique<FileSource>(f, systemId);
}

std::u16string AbsoluteSystemId(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::u16string r = Utf8ToUtf16(real ? real : path);
  free(real);
  return r;
}

std::string LocalFileFor(std::u16string_view systemId, std::u16string_view base) {
  std::u16string_view sys = TrimXmlSpace(systemId);
  if (sys.empty()) return {};
  std::u16string_view scheme = SchemeOf(sys);
  if (!scheme.empty()) return IsFileScheme(scheme) ? PathOfFileUrl(sys) : std::string();
  if (sys[0] == u'/') return Utf16ToUtf8(sys);
  base = TrimXmlSpace(base);
  std::string basePath;
  scheme = SchemeOf(base);
  if (!scheme.empty()) {
    if (!IsFileScheme(scheme)) return {};
    basePath = PathOfFileUrl(base);
    if (basePath.empty()) return {};
  } else {
    basePath = Utf16ToUtf8(base);
  }
  size_t slash = basePath.rfind('/');
  return (slash == std::string::npos ? std::string() : basePath.substr(0, slash + 1)) + Utf16ToUtf8(sys);
}

xc::InputSource* ExternalResolver::resolveEntity(xc::XMLResourceIdentifier* id) {
  const XMLCh* sys = id->getSystemId() ? id->getSystemId() : u"";
  if (!resolve_) {
    if (validate_ && IsGrammar(id->getResourceIdentifierType())) refuse_(FormatMsg(msg::kGrammarNotRead, sys));
    return EmptyInput(sys).release();
  }
  const std::string path = LocalFileFor(sys, id->getBaseURI() ? id->getBaseURI() : u"");
  if (path.empty()) refuse_(FormatMsg(msg::kNotALocalFile, TrimXmlSpace(sys)));
  bool notRegular = false;
  FILE* f = OpenRegularFile(path, &notRegular);
  if (!f) refuse_(FormatMsg(notRegular ? msg::kNotARegularFile : msg::kCannotOpenFile, Utf8ToUtf16(path)));
  return CountingSource(FileInput(f, AbsoluteSystemId(path)), budget_, Counted::AsExpansion).release();
}

}  // namespace xdom
