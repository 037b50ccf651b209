// xmledit INPUT OUTPUT NOTE: loads INPUT, appends <note>NOTE</note> to its
// root element, stamps the root with notes="N" (the notes it now holds),
// and saves the result to OUTPUT. Prints N; on failure prints the error and
// exits with 1.
#include <iostream>
#include <string>

#include "rtl/TextConv.h"
#include "xml/XMLDoc.h"

namespace {

int CountNotes(const rtl::ComPtr<IXMLNode>& root) {
  rtl::ComPtr<IXMLNodeList> children = root->GetChildNodes();
  int count = 0;
  for (int32_t i = 0; i < children->GetCount(); ++i)
    if (children->Get(i)->GetNodeName() == u"note") ++count;
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: xmledit INPUT OUTPUT NOTE\n";
    return 2;
  }
  try {
    // The document uses the first registered DOM vendor, "Xerces XML".
    rtl::ComPtr<IXMLDocumentIntf> doc(new TXMLDocument(nullptr));
    doc->LoadFromFile(rtl::NarrowToWide(argv[1]));
    rtl::ComPtr<IXMLNode> root = doc->GetDocumentElement();
    root->AddChild(u"note")->SetText(rtl::NarrowToWide(argv[3]));
    const int notes = CountNotes(root);
    root->SetAttribute(u"notes", rtl::AsciiToWide(std::to_string(notes)));
    doc->SaveToFile(rtl::NarrowToWide(argv[2]));
    std::cout << notes << '\n';
  } catch (const std::exception& e) {
    std::cerr << "xmledit: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
