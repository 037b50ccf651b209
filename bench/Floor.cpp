#include "bench/Floor.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

namespace bench {

namespace {

namespace xc = XERCES_CPP_NAMESPACE;

// The library's limit on entity expansions.
constexpr XMLSize_t kEntityExpansionLimit = 100000;

class StopOnError final : public xc::ErrorHandler {
 public:
  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException&) override {}
  void fatalError(const xc::SAXParseException& e) override { throw e; }
  void resetErrors() override {}
};

// As in the library with externals off: nothing outside the file is read.
class NoExternals final : public xc::XMLEntityResolver {
 public:
  xc::InputSource* resolveEntity(xc::XMLResourceIdentifier* id) override {
    static const XMLByte kNothing[1] = {0};
    const XMLCh* sys = id->getSystemId();
    return new xc::MemBufInputSource(kNothing, 0, sys ? sys : u"", false);
  }
};

bool IsXmlSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

void Count(xc::DOMNode* root, FloorResult& r) {
  std::vector<xc::DOMNode*> stack{root};
  while (!stack.empty()) {
    xc::DOMNode* n = stack.back();
    stack.pop_back();
    ++r.nodes;
    switch (n->getNodeType()) {
      case xc::DOMNode::ELEMENT_NODE: {
        ++r.elements;
        const XMLSize_t count = n->getAttributes()->getLength();
        r.attributes += count;
        r.nodes += count;
        break;
      }
      case xc::DOMNode::TEXT_NODE: {
        bool blank = true;
        for (const XMLCh* s = n->getNodeValue(); s && *s && blank; ++s) blank = IsXmlSpace(*s);
        if (blank) ++r.whitespaceTexts;
        break;
      }
      default:
        break;
    }
    for (xc::DOMNode* c = n->getFirstChild(); c; c = c->getNextSibling()) stack.push_back(c);
  }
}

void Fail(FloorResult& r, const std::string& text) {
  std::snprintf(r.error, sizeof r.error, "%s", text.c_str());
  r.ok = false;
}

std::string Narrow(const XMLCh* s) {
  char* t = xc::XMLString::transcode(s);
  std::string r = t ? t : "";
  xc::XMLString::release(&t);
  return r;
}

void MeasureFloor(const std::string& path, FloorResult& r) {
  xc::XMLPlatformUtils::Initialize();
  {
    xc::SecurityManager security;
    security.setEntityExpansionLimit(kEntityExpansionLimit);
    NoExternals resolver;
    StopOnError errors;
    // The library's set-up for a load with the default (empty) parse options.
    xc::XercesDOMParser parser;
    parser.setDoNamespaces(true);
    parser.setCreateEntityReferenceNodes(false);
    parser.setCreateCommentNodes(true);
    parser.setIncludeIgnorableWhitespace(false);
    parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
    parser.setDoSchema(false);
    parser.setLoadSchema(false);
    parser.setValidationConstraintFatal(false);
    parser.setLoadExternalDTD(false);
    parser.setDisableDefaultEntityResolution(true);
    parser.setExitOnFirstFatalError(true);
    parser.setCreateSchemaInfo(false);
    parser.setErrorHandler(&errors);
    parser.setXMLEntityResolver(&resolver);
    parser.setSecurityManager(&security);

    xc::DOMDocument* doc = nullptr;
    try {
      const StageTimer timer;
      parser.parse(path.c_str());
      doc = parser.adoptDocument();
      r.stage = timer.Stop();
    } catch (const xc::SAXParseException& e) {
      Fail(r, "line " + std::to_string(e.getLineNumber()) + ": " + Narrow(e.getMessage()));
    } catch (const xc::XMLException& e) {
      Fail(r, Narrow(e.getMessage()));
    } catch (const xc::DOMException& e) {
      Fail(r, Narrow(e.getMessage()));
    }
    if (doc) {
      r.ok = true;
      Count(doc, r);
      --r.nodes;  // the document node itself
      doc->release();
    } else if (!r.error[0]) {
      Fail(r, "no document");
    }
  }
  xc::XMLPlatformUtils::Terminate();
}

// The scan's handler: counts what it is told and keeps nothing.
class CountingHandler final : public xc::DefaultHandler {
 public:
  explicit CountingHandler(FloorResult& r) : r_(r) {}
  void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const, const xc::Attributes& attrs) override {
    ++r_.elements;
    r_.attributes += attrs.getLength();
  }
  void fatalError(const xc::SAXParseException& e) override { throw e; }
  // Nothing outside the file is read, as in NoExternals.
  xc::InputSource* resolveEntity(const XMLCh* const, const XMLCh* const systemId) override {
    static const XMLByte kNothing[1] = {0};
    return new xc::MemBufInputSource(kNothing, 0, systemId ? systemId : u"", false);
  }

 private:
  FloorResult& r_;
};

void MeasureScan(const std::string& path, FloorResult& r) {
  xc::XMLPlatformUtils::Initialize();
  {
    xc::SecurityManager security;
    security.setEntityExpansionLimit(kEntityExpansionLimit);
    CountingHandler handler(r);
    // The library's settings again, namespaces done by the scanner.
    std::unique_ptr<xc::SAX2XMLReader> reader(xc::XMLReaderFactory::createXMLReader());
    reader->setFeature(xc::XMLUni::fgSAX2CoreNameSpaces, true);
    reader->setFeature(xc::XMLUni::fgSAX2CoreNameSpacePrefixes, true);  // xmlns attributes counted too
    reader->setFeature(xc::XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(xc::XMLUni::fgXercesSchema, false);
    reader->setFeature(xc::XMLUni::fgXercesLoadSchema, false);
    reader->setFeature(xc::XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(xc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setExitOnFirstFatalError(true);
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    reader->setEntityResolver(&handler);
    reader->setProperty(xc::XMLUni::fgXercesSecurityManager, &security);
    try {
      const StageTimer timer;
      reader->parse(path.c_str());
      r.stage = timer.Stop();
      r.ok = true;
    } catch (const xc::SAXParseException& e) {
      Fail(r, "line " + std::to_string(e.getLineNumber()) + ": " + Narrow(e.getMessage()));
    } catch (const xc::XMLException& e) {
      Fail(r, Narrow(e.getMessage()));
    }
  }
  xc::XMLPlatformUtils::Terminate();
}

// Runs measure(path, result) in a forked child and hands back its result.
FloorResult InChild(const std::string& path, void (*measure)(const std::string&, FloorResult&)) {
  FloorResult result;
  int fds[2];
  if (pipe(fds) != 0) {
    Fail(result, std::string("pipe: ") + std::strerror(errno));
    return result;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    Fail(result, std::string("fork: ") + std::strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (child == 0) {
    close(fds[0]);
    FloorResult r;
    try {
      measure(path, r);
    } catch (...) {
      Fail(r, "unexpected exception");
    }
    const char* p = reinterpret_cast<const char*>(&r);
    size_t left = sizeof r;
    while (left > 0) {
      const ssize_t n = write(fds[1], p, left);
      if (n <= 0 && errno != EINTR) _exit(1);
      if (n > 0) {
        p += n;
        left -= static_cast<size_t>(n);
      }
    }
    _exit(0);
  }
  close(fds[1]);
  char* p = reinterpret_cast<char*>(&result);
  size_t got = 0;
  while (got < sizeof result) {
    const ssize_t n = read(fds[0], p + got, sizeof result - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (got != sizeof result) {
    result = FloorResult();
    Fail(result, "the floor process ended without a result (status " + std::to_string(status) + ")");
  }
  return result;
}

}  // namespace

FloorResult MeasureFloorInChild(const std::string& path) { return InChild(path, MeasureFloor); }

FloorResult MeasureScanInChild(const std::string& path) { return InChild(path, MeasureScan); }

}  // namespace bench
