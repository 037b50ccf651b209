// The window's walk over a large generated file: the same items, trace and
// counters as the fill rules applied by plain recursion, and a document that
// still answers afterwards (the walk lets go of the lists it is done with).
#include <gtest/gtest.h>

#include <string>

#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "bench/XmlGen.h"
#include "tests/app/AppTestUtil.h"
#include "xml/XMLDoc.h"
#include "xml/XMLIntf.h"

namespace {

// First differing row, for a readable failure on thousands of rows.
void ExpectSameRows(const std::vector<apptest::Row>& actual, const std::vector<apptest::Row>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i)
    ASSERT_EQ(actual[i], expected[i]) << "row " << i << ": "
                                      << apptest::Describe({actual[i]}) << " instead of "
                                      << apptest::Describe({expected[i]});
}

TEST(LargeWalk, MatchesTheRulesAndLeavesTheDocumentUsable) {
  apptest::TempDir dir;
  const std::string path = dir.Write("records.xml", bench::GenerateXmlText(400 * 1024, 9));
  TForm1 form;
  const std::string trace = apptest::CaptureStdout([&] { form.LoadXMLFile(path); });

  // Rendered from the same document after the load: its lists are built
  // again on demand.
  const apptest::Reference expected = apptest::RenderReference("records.xml", form.XMLDocument1->GetDocumentElement());
  ExpectSameRows(apptest::Rows(*form.TreeModel()), expected.rows);
  EXPECT_EQ(trace, expected.trace);
  EXPECT_EQ(apptest::LabelCounts(form), expected.counters);
  EXPECT_GT(expected.counters[2], 5000);

  // A second load of the same file gives the same again.
  const std::string again = apptest::CaptureStdout([&] { form.LoadXMLFile(path); });
  EXPECT_EQ(again, trace);
  ExpectSameRows(apptest::Rows(*form.TreeModel()), expected.rows);
}

TEST(LargeWalk, ListsHeldByOthersSurviveTheWalk) {
  apptest::TempDir dir;
  const std::string path = dir.Write("small.xml", "<r><a k=\"v\"><b>t</b></a><c/></r>");
  TForm1 form;
  apptest::CaptureStdout([&] { form.LoadXMLFile(path); });
  const rtl::ComPtr<IXMLNode> root = form.XMLDocument1->GetDocumentElement();
  const rtl::ComPtr<IXMLNode> a = root->GetChildNodes()->Get(0);
  const rtl::ComPtr<IXMLNodeList> attributes = a->GetAttributeNodes();
  const rtl::ComPtr<IXMLNodeList> children = a->GetChildNodes();

  // The same document walked again: the walk lets go of a's lists when it
  // is done with a, while this test still holds them.
  viewer::TXMLTreeModel& model = *form.TreeModel();
  model.Clear();
  model.BeginUpdate();
  const int fileItem = model.AddItem(viewer::TXMLTreeModel::kNoItem, u"small.xml");
  model.SetImageIndex(fileItem, 0);
  const std::string trace = apptest::CaptureStdout([&] { form.AddNodeItems(fileItem, root, ikRoot); });
  model.EndUpdate();
  EXPECT_EQ(trace, "ChildNodes.Count=2\nNodeName=a\nChildNodes.Count=1\nNodeName=b\nNodeName=c\n");
  EXPECT_EQ(model.ItemCount(), 8);  // file, r, a, k, v, b, t, c

  ASSERT_EQ(attributes->GetCount(), 1);
  EXPECT_EQ(attributes->Get(0)->GetNodeName(), u"k");
  ASSERT_EQ(children->GetCount(), 1);
  EXPECT_EQ(children->Get(0)->GetNodeName(), u"b");
  EXPECT_EQ(children->Get(0)->GetParentNode().get(), a.get());
  EXPECT_EQ(a->GetParentNode().get(), root.get());
}

}  // namespace
