// valbench [--runs N] FILE: what validation adds to the library's load of
// FILE, a file made by xmlgen, against a document type and against a
// schema.
//
// In a folder of its own under $TMPDIR (or /tmp), removed at the end, the
// tool writes two copies of FILE: one with a document type naming an
// external DTD ("dtd"), one whose root names a schema through
// xsi:schemaLocation ("xsd"), each grammar beside its copy and open
// enough that the copy is valid. Each copy is loaded into a fresh
// TXMLDocument with externals resolved, unvalidated ("-pl") and then
// validated ("-val"), one after the other, N times each (--runs, 1 by
// default); the fastest CPU and wall time of each count, with the added
// resident peak of its first run, as in xmlbench. The last line is
// "ratio-valid dtd-cpu=X dtd-memory=Y schema-cpu=X schema-memory=Y",
// validated over unvalidated (CPU; added peak over added peak).
//
// So that the ratio cannot come from a validation that never ran, a small
// generated document is first checked against a stricter grammar of each
// kind (records declared empty; a root of simple type): it must load
// unvalidated and be refused validated ("refused-" lines give why). When
// it is not, or any other load or write fails, the tool ends with a
// message and exit status 1.
#include <array>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "bench/Copies.h"
#include "bench/Measure.h"
#include "bench/XmlGen.h"
#include "rtl/TextConv.h"
#include "xml/XMLDoc.h"

namespace {

std::string gScratch;  // the tool's folder, removed on every way out

void RemoveScratch() {
  std::error_code ignored;
  if (!gScratch.empty()) std::filesystem::remove_all(gScratch, ignored);
}

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "valbench: %s\n", text.c_str());
  RemoveScratch();
  std::exit(1);
}

// What xmlgen writes (bench/XmlGen.cpp: the root in Generator::Run, the
// rest in Generator::Record), every attribute as it appears in the file,
// namespace declarations included. A validated load fails on whatever this
// list misses, so a change to the generator shows up here.
constexpr const char* kCatalogNamespace = "urn:example:catalog";
struct Declared {
  const char* element;
  std::array<const char*, 3> attributes;
};
constexpr Declared kVocabulary[] = {
    {"catalog", {"xmlns", "xmlns:meta", "version"}},
    {"batch", {"n"}},
    {"record", {"id", "type", "meta:status"}},
    {"title", {}},
    {"creator", {"role"}},
    {"name", {}},
    {"born", {}},
    {"price", {"currency"}},
    {"meta:note", {"xml:lang"}},
    {"summary", {}},
    {"em", {}},
    {"tags", {}},
    {"tag", {}},
    {"section", {"level"}},
    {"para", {}},
    {"flags", {"hidden", "checked"}},
};

// Every element ANY but record, whose content is recordContent; every
// attribute CDATA but record's id, an ID.
std::string Dtd(const std::string& recordContent) {
  std::string text;
  for (const Declared& d : kVocabulary) {
    const bool record = std::strcmp(d.element, "record") == 0;
    text += std::string("<!ELEMENT ") + d.element + " " + (record ? recordContent : "ANY") + ">\n";
    if (!d.attributes[0]) continue;
    text += std::string("<!ATTLIST ") + d.element;
    for (const char* a : d.attributes) {
      if (a) text += std::string("\n  ") + a + (record && std::strcmp(a, "id") == 0 ? " ID" : " CDATA") + " #IMPLIED";
    }
    text += ">\n";
  }
  return text;
}

// The catalog namespace's elements (those without a prefix) with an open
// mixed type, the root with rootType: anything in them, elements checked
// where declared (the other namespace's are not), any attribute.
std::string Schema(const std::string& rootType) {
  std::string text = std::string("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:c=\"") +
                     kCatalogNamespace + "\" targetNamespace=\"" + kCatalogNamespace +
                     "\" elementFormDefault=\"qualified\">\n"
                     "  <xs:complexType name=\"open\" mixed=\"true\">\n"
                     "    <xs:sequence><xs:any minOccurs=\"0\" maxOccurs=\"unbounded\" processContents=\"lax\"/>"
                     "</xs:sequence>\n"
                     "    <xs:anyAttribute processContents=\"lax\"/>\n"
                     "  </xs:complexType>\n";
  for (const Declared& d : kVocabulary) {
    if (std::strchr(d.element, ':')) continue;
    const bool root = std::strcmp(d.element, "catalog") == 0;
    text += std::string("  <xs:element name=\"") + d.element + "\" type=\"" + (root ? rootType : "c:open") + "\"/>\n";
  }
  return text + "</xs:schema>\n";
}

// Writes text with a document type naming the DTD, and the DTD, to the
// tool's folder as NAME-dtd.xml and NAME.dtd; returns the document's path.
std::string WriteWithDtd(std::string text, const std::string& name, const std::string& dtd) {
  bench::AddDocumentType(text, "SYSTEM \"" + name + ".dtd\"");
  bench::WriteFileText(gScratch + "/" + name + ".dtd", dtd);
  bench::WriteFileText(gScratch + "/" + name + "-dtd.xml", text);
  return gScratch + "/" + name + "-dtd.xml";
}

// Writes text with its root naming the schema, and the schema, to the
// tool's folder as NAME-xsd.xml and NAME.xsd; returns the document's path.
std::string WriteWithSchema(std::string text, const std::string& name, const std::string& schema) {
  text.insert(bench::FindRootName(text).end,
              std::string(" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"") +
                  kCatalogNamespace + " " + name + ".xsd\"");
  bench::WriteFileText(gScratch + "/" + name + ".xsd", schema);
  bench::WriteFileText(gScratch + "/" + name + "-xsd.xml", text);
  return gScratch + "/" + name + "-xsd.xml";
}

// Loads path into a fresh document, externals resolved; the document is
// freed after the measurement.
bench::StageResult Load(const std::string& path, bool validate) {
  rtl::ComPtr<IXMLDocumentIntf> doc(new TXMLDocument(nullptr));
  doc->SetParseOptions(validate ? TParseOptions{poResolveExternals, poValidateOnParse}
                                : TParseOptions{poResolveExternals});
  const bench::StageTimer timer;
  doc->LoadFromFile(rtl::NarrowToWide(path));
  return timer.Stop();
}

// An invalid document must load unvalidated and fail validated; returns
// why it failed.
std::string Refusal(const std::string& path, const char* kind) {
  try {
    Load(path, false);
  } catch (...) {
    Die(std::string(kind) + ": the invalid document does not even load unvalidated: " +
        bench::Message(std::current_exception()));
  }
  try {
    Load(path, true);
  } catch (...) {
    const std::string why = bench::Message(std::current_exception());
    return why.substr(0, why.find('\n'));  // the reason, without the place
  }
  Die(std::string(kind) + ": an invalid document passed validation; the grammar was not applied");
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = bench::TakeRuns(argc, argv);
  if (argc != 2 || runs == 0) {
    std::fprintf(stderr, "usage: valbench [--runs N] FILE\n");
    return 2;
  }
  const std::string file = argv[1];
  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  if (!bench::ResetPeak()) std::printf("warning: the resident peak cannot be reset here; peaks add up\n");

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/valbench-XXXXXX";
  if (!mkdtemp(pattern.data())) Die("cannot make a folder from " + pattern + ": " + std::strerror(errno));
  gScratch = pattern;

  std::string dtdCopy, schemaCopy;
  try {
    const std::string text = bench::ReadFileText(file);
    std::printf("file %s bytes=%zu runs=%d\n", file.c_str(), text.size(), runs);
    const std::string small = bench::GenerateXmlText(4096, 1);
    const std::string dtdRefused = Refusal(WriteWithDtd(small, "strict", Dtd("EMPTY")), "dtd");
    const std::string schemaRefused = Refusal(WriteWithSchema(small, "strict", Schema("xs:string")), "xsd");
    std::printf("refused-dtd %s\nrefused-xsd %s\n", dtdRefused.c_str(), schemaRefused.c_str());
    dtdCopy = WriteWithDtd(text, "catalog", Dtd("ANY"));
    schemaCopy = WriteWithSchema(text, "catalog", Schema("c:open"));
  } catch (...) {
    Die(bench::Message(std::current_exception()));
  }
  if (std::FILE* load = std::fopen("/proc/loadavg", "r")) {
    char text[128] = "";
    if (std::fgets(text, sizeof text, load)) std::printf("loadavg %s", text);
    std::fclose(load);
  }
  std::fflush(stdout);

  // [copy][validated]: the fastest times, the first run's peaks.
  bench::StageResult best[2][2];
  const std::string* copies[2] = {&dtdCopy, &schemaCopy};
  for (int run = 0; run < runs; ++run) {
    for (int c = 0; c < 2; ++c) {
      for (int validate = 0; validate < 2; ++validate) {
        bench::StageResult r;
        try {
          r = Load(*copies[c], validate == 1);
        } catch (...) {
          Die(std::string(c == 0 ? "dtd" : "xsd") + (validate ? " validated" : " unvalidated") +
              " load failed: " + bench::Message(std::current_exception()));
        }
        if (run == 0) best[c][validate] = r;
        else best[c][validate].KeepFastest(r);
      }
    }
  }
  RemoveScratch();

  std::printf("%s  [DTD copy, externals resolved, not validated]\n", bench::FormatStage("dtd-pl", best[0][0], 0).c_str());
  std::printf("%s  [DTD copy, validated]\n", bench::FormatStage("dtd-val", best[0][1], 0).c_str());
  std::printf("%s  [schema copy, externals resolved, not validated]\n", bench::FormatStage("xsd-pl", best[1][0], 0).c_str());
  std::printf("%s  [schema copy, validated]\n", bench::FormatStage("xsd-val", best[1][1], 0).c_str());
  const auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
  const auto added = [](const bench::StageResult& r) { return static_cast<double>(r.Added()); };
  std::printf("ratio-valid dtd-cpu=%.2f dtd-memory=%.2f schema-cpu=%.2f schema-memory=%.2f\n",
              ratio(best[0][1].cpu, best[0][0].cpu), ratio(added(best[0][1]), added(best[0][0])),
              ratio(best[1][1].cpu, best[1][0].cpu), ratio(added(best[1][1]), added(best[1][0])));
  return 0;
}
