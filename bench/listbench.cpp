// How reading a long child list costs by the order of the reads: a root
// with N empty children (250,000 by default, a 1 MB file), loaded once
// into the compact store and once as a Xerces tree (copying the document
// builds it), then read forwards, backwards and in a
// random order through one list, and forwards and backwards through a new
// list asked for every item; the same over the attributes of one element
// (a fifth as many); last, the document layer's
// GetChildNodes()->Get(i) forwards and backwards.
//
//   listbench [N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dom/xercesxmldom.h"
#include "dom/xmldom.h"
#include "rtl/TextConv.h"
#include "xml/XMLDoc.h"

using rtl::ComPtr;

namespace {

ComPtr<IDOMDocument> Load(const std::u16string& xml, bool tree) {
  ComPtr<IDOMDocument> d;
  DOMCheck(ImplementationByDescription(SXercesXML)->CreateDocument(u"", u"", nullptr, d.put()), "CreateDocument");
  WordBool ok = 0;
  DOMCheck(d.try_query<IDOMPersist>()->LoadXMLText(xml, &ok), "LoadXMLText");
  if (!ok) {
    std::fprintf(stderr, "the document did not load\n");
    std::exit(1);
  }
  ComPtr<IDOMNode> copy;
  if (tree) DOMCheck(d->CloneNode(0, copy.put()), "CloneNode");
  return d;
}

ComPtr<IDOMNode> Root(IDOMDocument* d) {
  ComPtr<IDOMElement> e;
  DOMCheck(d->GetDocumentElement(e.put()), "GetDocumentElement");
  return ComPtr<IDOMNode>(e.get());
}

ComPtr<IDOMNodeList> Children(IDOMNode* n) {
  ComPtr<IDOMNodeList> l;
  DOMCheck(n->GetChildNodes(l.put()), "GetChildNodes");
  return l;
}

ComPtr<IDOMNamedNodeMap> Attributes(IDOMNode* n) {
  ComPtr<IDOMNamedNodeMap> m;
  DOMCheck(n->GetAttributes(m.put()), "GetAttributes");
  return m;
}

// The same over the root's attributes.
double ReadAttributes(IDOMNode* root, const std::vector<int32_t>& order, bool fresh) {
  const auto start = std::chrono::steady_clock::now();
  ComPtr<IDOMNamedNodeMap> map = Attributes(root);
  for (int32_t i : order) {
    if (fresh) map = Attributes(root);
    ComPtr<IDOMNode> item;
    DOMCheck(map->Item(i, item.put()), "Item");
    if (!item) {
      std::fprintf(stderr, "attribute %d missing\n", i);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads the items in order; a new list per item when fresh. Fails loudly on
// a missing item, so a wrong answer cannot pass for a fast one.
double Read(IDOMNode* root, const std::vector<int32_t>& order, bool fresh) {
  const auto start = std::chrono::steady_clock::now();
  ComPtr<IDOMNodeList> list = Children(root);
  int32_t length = 0;
  DOMCheck(list->GetLength(&length), "GetLength");
  for (int32_t i : order) {
    if (fresh) list = Children(root);
    ComPtr<IDOMNode> item;
    DOMCheck(list->Item(i, item.put()), "Item");
    if (!item) {
      std::fprintf(stderr, "item %d missing\n", i);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The same through the document layer, which asks its node for the list
// on every read, as a user of it does. The first read wraps every child.
void ReadDocument(const std::u16string& xml, const std::vector<int32_t>& forward,
                  const std::vector<int32_t>& reverse) {
  auto* instance = new TXMLDocument(nullptr);
  ComPtr<IXMLDocumentIntf> doc(instance);
  instance->SetDOMVendor(LookupVendor(SXercesXML));
  doc->LoadFromXML(xml);
  const ComPtr<IXMLNode> root = doc->GetDocumentElement();
  const std::pair<const char*, const std::vector<int32_t>*> passes[] = {
      {"first forward", &forward}, {"forward", &forward}, {"reverse", &reverse}};
  for (const auto& [name, order] : passes) {
    const auto start = std::chrono::steady_clock::now();
    for (int32_t i : *order)
      if (!root->GetChildNodes()->Get(i)) {
        std::fprintf(stderr, "item %d missing\n", i);
        std::exit(1);
      }
    std::printf("document layer %s %8.3f s\n", name,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t n = argc > 1 ? std::atoi(argv[1]) : 250000;
  std::u16string body = u"<r>";
  for (int32_t i = 0; i < n; ++i) body += u"<c/>";
  body += u"</r>";

  std::vector<int32_t> forward(static_cast<size_t>(n));
  std::iota(forward.begin(), forward.end(), 0);
  const std::vector<int32_t> reverse(forward.rbegin(), forward.rend());
  std::vector<int32_t> random = forward;
  std::shuffle(random.begin(), random.end(), std::mt19937(20261208));

  std::printf("%d children\n", n);
  for (const bool tree : {false, true}) {
    ComPtr<IDOMDocument> d = Load(body, tree);
    const ComPtr<IDOMNode> root = Root(d.get());
    const char* path = tree ? "tree " : "store";
    std::printf("%s forward %8.3f s\n", path, Read(root.get(), forward, false));
    std::printf("%s reverse %8.3f s\n", path, Read(root.get(), reverse, false));
    std::printf("%s random  %8.3f s\n", path, Read(root.get(), random, false));
    std::printf("%s forward, new list per item %8.3f s\n", path, Read(root.get(), forward, true));
    std::printf("%s reverse, new list per item %8.3f s\n", path, Read(root.get(), reverse, true));
  }
  // The attributes of one element, a fifth as many (values unsorted by
  // name, so a tree keeps their document order aside).
  const int32_t m = n / 5;
  std::u16string element = u"<r";
  for (int32_t i = 0; i < m; ++i)
    element += u" a" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
               rtl::Utf8Decode(std::to_string(m - i)) + u"=''";
  element += u"/>";
  std::vector<int32_t> aforward(static_cast<size_t>(m));
  std::iota(aforward.begin(), aforward.end(), 0);
  const std::vector<int32_t> areverse(aforward.rbegin(), aforward.rend());
  std::vector<int32_t> arandom = aforward;
  std::shuffle(arandom.begin(), arandom.end(), std::mt19937(20261208));
  std::printf("%d attributes\n", m);
  for (const bool tree : {false, true}) {
    ComPtr<IDOMDocument> d = Load(element, tree);
    const ComPtr<IDOMNode> root = Root(d.get());
    const char* path = tree ? "tree " : "store";
    std::printf("%s attributes forward %8.3f s\n", path, ReadAttributes(root.get(), aforward, false));
    std::printf("%s attributes reverse %8.3f s\n", path, ReadAttributes(root.get(), areverse, false));
    std::printf("%s attributes random  %8.3f s\n", path, ReadAttributes(root.get(), arandom, false));
    std::printf("%s attributes forward, new map per item %8.3f s\n", path, ReadAttributes(root.get(), aforward, true));
    std::printf("%s attributes reverse, new map per item %8.3f s\n", path, ReadAttributes(root.get(), areverse, true));
  }
  ReadDocument(body, forward, reverse);
  return 0;
}
