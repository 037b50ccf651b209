// Loading files into the window: items, icons, counters, trace lines and
// expansion for the documented cases; the dialog path; failures; encodings;
// and the walk against a plain recursive rendering of the same rules.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QFileInfo>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <random>

#include "AppTestUtil.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"
#include "dom/xmldom.h"
#include "rtl/Exception.h"
#include "xml/XMLDoc.h"
#include "xml/XMLIntf.h"

namespace {

using apptest::Counters;
using apptest::Row;
using Rows = std::vector<Row>;

class Load : public testing::Test {
 protected:
  apptest::TempDir dir;
  TForm1 form;

  // Loads the document text from a file of that name; returns the trace.
  std::string LoadText(const std::string& name, const std::string& xml) {
    const std::string path = dir.Write(name, xml);
    return apptest::CaptureStdout([&] { form.LoadXMLFile(path); });
  }
  Rows Items() const { return apptest::Rows(*form.TreeModel()); }
  Counters Labels() const { return apptest::LabelCounts(form); }
  // Every item with children is expanded, so every item is a visible row.
  bool AllExpanded() const {
    const auto* m = form.TreeModel();
    for (int i = 0; i < m->ItemCount(); ++i)
      if (m->HasChildren(i) && !m->IsExpanded(i)) return false;
    return m->rowCount() == m->ItemCount();
  }
  // The rendering of the same rules by plain recursion over the document
  // the window loaded.
  apptest::Reference ReferenceFor(const std::string& name) {
    return apptest::RenderReference(dir.Path(name), form.XMLDocument1->GetDocumentElement());
  }
  void ExpectMatchesReference(const std::string& name, const std::string& trace) {
    const apptest::Reference ref = ReferenceFor(name);
    EXPECT_EQ(Items(), ref.rows) << "window:\n" << apptest::Describe(Items()) << "reference:\n" << apptest::Describe(ref.rows);
    EXPECT_EQ(trace, ref.trace);
    EXPECT_EQ(Labels(), ref.counters);
  }
};

TEST_F(Load, EmptyRootGivesFileAndRootOnly) {
  const std::string trace = LoadText("a.xml", "<a/>");
  EXPECT_EQ(Items(), (Rows{{0, u"a.xml", 0}, {1, u"a", 1}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(trace, "") << "the root has no children";
  EXPECT_TRUE(AllExpanded());
}

TEST_F(Load, RootAttributesAreNeitherShownNorCounted) {
  const std::string trace = LoadText("attr.xml", "<a k=\"v\" xmlns:p=\"urn:p\"/>");
  EXPECT_EQ(Items(), (Rows{{0, u"attr.xml", 0}, {1, u"a", 1}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(trace, "");
}

TEST_F(Load, TextElementShowsItsTextAsValue) {
  const std::string trace = LoadText("t.xml", "<a><b>hi</b></a>");
  EXPECT_EQ(Items(), (Rows{{0, u"t.xml", 0}, {1, u"a", 1}, {2, u"b", 2}, {3, u"hi", 3}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=b\n");
  EXPECT_TRUE(AllExpanded());
  EXPECT_EQ(form.TreeModel()->rowCount(), 4);
}

TEST_F(Load, ElementWithAttributesShowsThemFirstAndItsTextAsANode) {
  const std::string trace = LoadText("k.xml", "<a><b k=\"v\">hi</b></a>");
  EXPECT_EQ(Items(), (Rows{{0, u"k.xml", 0},
                           {1, u"a", 1},
                           {2, u"b", 2},
                           {3, u"k", 4},
                           {4, u"v", 5},
                           {3, u"#text", 2}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 2, 0, 1, 1}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=b\nChildNodes.Count=1\nNodeName=#text\n");
}

TEST_F(Load, EmptyAttributeValueAndEmptyElement) {
  const std::string trace = LoadText("e.xml", "<a><b k=\"\" m=\"2\"/><c/></a>");
  EXPECT_EQ(Items(), (Rows{{0, u"e.xml", 0},
                           {1, u"a", 1},
                           {2, u"b", 2},
                           {3, u"k", 4},
                           {4, u"", 5},
                           {3, u"m", 4},
                           {4, u"2", 5},
                           {2, u"c", 2}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 2, 0, 2, 2}));
  EXPECT_EQ(trace, "ChildNodes.Count=2\nNodeName=b\nNodeName=c\n");
  EXPECT_FALSE(form.TreeModel()->HasChildren(7)) << "the empty element has no items below it";
}

TEST_F(Load, MixedContentCommentsInstructionsAndCData) {
  const std::string trace =
      LoadText("mixed.xml", "<?xml version=\"1.0\"?><!--before--><a><p>one<i>two</i>three</p><!--c--><?pi data?>"
                            "<![CDATA[x<y]]></a><!--after-->");
  EXPECT_EQ(Items(), (Rows{{0, u"mixed.xml", 0},
                           {1, u"a", 1},
                           {2, u"p", 2},
                           {3, u"#text", 2},
                           {3, u"i", 2},
                           {4, u"two", 3},
                           {3, u"#text", 2},
                           {2, u"#comment", 2},
                           {2, u"pi", 2},
                           {2, u"#cdata-section", 2}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 7, 1, 0, 0}));
  EXPECT_EQ(trace,
            "ChildNodes.Count=4\nNodeName=p\nChildNodes.Count=3\nNodeName=#text\nNodeName=i\nNodeName=#text\n"
            "NodeName=#comment\nNodeName=pi\nNodeName=#cdata-section\n");
  ExpectMatchesReference("mixed.xml", trace);
}

TEST_F(Load, DoctypeAndInternalEntities) {
  const std::string xml =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE a [\n<!ENTITY who \"world\">\n<!ATTLIST b k CDATA \"dflt\">\n]>\n"
      "<a><b>hello &who;</b><c k=\"&who;!\"/></a>";
  const std::string trace = LoadText("dtd.xml", xml);
  const Rows items = Items();
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(items[1], (Row{1, u"a", 1})) << "the document type is not shown; the root follows the file";
  ExpectMatchesReference("dtd.xml", trace);
  // Whatever the parser makes of the reference, the text of b mentions the
  // replacement text somewhere and c's attribute value carries it.
  bool sawValue = false;
  for (const Row& r : items) sawValue = sawValue || (r.image == 5 && r.text == u"world!");
  EXPECT_TRUE(sawValue) << apptest::Describe(items);
}

TEST_F(Load, NamespacesKeepQualifiedNames) {
  const std::string trace = LoadText(
      "ns.xml", "<r xmlns=\"urn:x\" xmlns:p=\"urn:p\"><p:c p:k=\"v\">t</p:c><d xmlns=\"urn:y\">u</d></r>");
  EXPECT_EQ(Items(), (Rows{{0, u"ns.xml", 0},
                           {1, u"r", 1},
                           {2, u"p:c", 2},
                           {3, u"p:k", 4},
                           {4, u"v", 5},
                           {3, u"#text", 2},
                           {2, u"d", 2},
                           {3, u"xmlns", 4},
                           {4, u"urn:y", 5},
                           {3, u"#text", 2}}));
  EXPECT_EQ(trace,
            "ChildNodes.Count=2\nNodeName=p:c\nChildNodes.Count=1\nNodeName=#text\nNodeName=d\nChildNodes.Count=1\n"
            "NodeName=#text\n");
}

std::string Utf16LE(const std::u16string& s) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : s) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

TEST_F(Load, Utf16File) {
  const std::string trace = LoadText(
      "u16.xml", Utf16LE(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r><caf\u00e9>\u4e2d\u6587</caf\u00e9></r>"));
  EXPECT_EQ(Items(), (Rows{{0, u"u16.xml", 0}, {1, u"r", 1}, {2, u"caf\u00e9", 2}, {3, u"\u4e2d\u6587", 3}}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=caf\xC3\xA9\n") << "names are traced in the locale's (UTF-8) text";
}

TEST_F(Load, Latin1File) {
  const std::string trace =
      LoadText("l1.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><n\xE9 v=\"\xFC\">\xE0</n\xE9></r>");
  EXPECT_EQ(Items(), (Rows{{0, u"l1.xml", 0},
                           {1, u"r", 1},
                           {2, u"n\u00e9", 2},
                           {3, u"v", 4},
                           {4, u"\u00fc", 5},
                           {3, u"#text", 2}}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=n\xC3\xA9\nChildNodes.Count=1\nNodeName=#text\n");
}

TEST_F(Load, NonAsciiFileNameShowsAsItemText) {
  LoadText("d\xC3\xA9j\xC3\xA0.xml", "<a/>");
  EXPECT_EQ(Items().front(), (Row{0, u"d\u00e9j\u00e0.xml", 0}));
}

TEST_F(Load, SecondLoadReplacesEverything) {
  LoadText("first.xml", "<a><b k=\"1\">x</b><c>y</c><d/></a>");
  EXPECT_EQ(Labels(), (Counters{1, 1, 4, 1, 1, 1}));
  const std::string trace = LoadText("second.xml", "<z><y>w</y></z>");
  EXPECT_EQ(Items(), (Rows{{0, u"second.xml", 0}, {1, u"z", 1}, {2, u"y", 2}, {3, u"w", 3}}));
  EXPECT_EQ(Labels(), (Counters{1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=y\n");
}

TEST_F(Load, FailedParseLeavesEmptyTreeAndPreviousCounters) {
  LoadText("good.xml", "<a><b>x</b><c k=\"v\"/></a>");
  const auto before = apptest::CounterLabels(form);
  const std::string bad = dir.Write("bad.xml", "<a><b></a>");
  std::string trace;
  try {
    trace = apptest::CaptureStdout([&] { form.LoadXMLFile(bad); });
    FAIL() << "a malformed file must not load";
  } catch (const EDOMParseError& e) {
    EXPECT_NE(std::string(e.what()).find("Line"), std::string::npos) << e.what();
  }
  EXPECT_EQ(form.TreeModel()->ItemCount(), 0);
  EXPECT_EQ(form.TreeModel()->rowCount(), 0);
  EXPECT_EQ(apptest::CounterLabels(form), before);

  // The window stays usable.
  LoadText("again.xml", "<q/>");
  EXPECT_EQ(Items(), (Rows{{0, u"again.xml", 0}, {1, u"q", 1}}));
}

TEST_F(Load, FailureBeforeAnyLoadKeepsZeroes) {
  const std::string missing = dir.Path("missing.xml");
  EXPECT_ANY_THROW(apptest::CaptureStdout([&] { form.LoadXMLFile(missing); }));
  EXPECT_EQ(Labels(), (Counters{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(apptest::CounterLabels(form)[0], "0");
  EXPECT_EQ(form.TreeModel()->ItemCount(), 0);
}

TEST_F(Load, FailedTraceWriteRaisesAndLeavesTheTreeUnexpanded) {
  LoadText("one.xml", "<a/>");
  const std::string path = dir.Write("two.xml", "<a><b>x</b><c/></a>");
  bool raised = false;
  apptest::WithStdoutFull([&] {
    try {
      form.LoadXMLFile(path);
    } catch (const rtl::EInOutError& e) {
      raised = true;
      EXPECT_NE(std::string(e.what()).find("standard output"), std::string::npos) << e.what();
    }
  });
  EXPECT_TRUE(raised) << "a trace line that cannot be written is an error";
  EXPECT_EQ(Labels(), (Counters{1, 1, 0, 0, 0, 0})) << "labels keep the previous load";
  ASSERT_GT(form.TreeModel()->ItemCount(), 0);
  EXPECT_EQ(form.TreeModel()->Text(0), u"two.xml") << "items added so far stay";
  EXPECT_FALSE(form.TreeModel()->IsExpanded(0));

  // Standard output works again for the next load.
  const std::string trace = LoadText("three.xml", "<a><b/></a>");
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=b\n");
}

TEST_F(Load, WalkMatchesRecursiveRenderingOnAVariedDocument) {
  std::string xml = "<?xml version=\"1.0\"?>\n<lib xmlns:x=\"urn:x\" id=\"root\">\n";
  for (int i = 0; i < 30; ++i) {
    xml += "  <item n=\"" + std::to_string(i) + "\"" + (i % 3 == 0 ? " x:flag=\"\"" : "") + ">";
    if (i % 4 == 0) xml += "text " + std::to_string(i);
    if (i % 4 == 1) xml += "<name>n" + std::to_string(i) + "</name><empty/><!--c-->";
    if (i % 4 == 2) xml += "mixed <b>bold</b> tail<?p q?>";
    if (i % 4 == 3) xml += "<deep><deeper><deepest a=\"1\">t</deepest></deeper></deep>";
    xml += "</item>\n";
  }
  xml += "  <plain><leaf>v</leaf><leaf/></plain>\n</lib>\n";
  const std::string trace = LoadText("varied.xml", xml);
  ExpectMatchesReference("varied.xml", trace);
  EXPECT_GT(form.TreeModel()->ItemCount(), 200);
  EXPECT_TRUE(AllExpanded());
}

TEST_F(Load, HundredThousandLevelsDeep) {
  constexpr int kDepth = 100'000;
  std::string xml;
  xml.reserve(kDepth * 8);
  for (int i = 0; i < kDepth; ++i) xml += "<e>";
  xml += "x";
  for (int i = 0; i < kDepth; ++i) xml += "</e>";
  const std::string trace = LoadText("deep.xml", xml);

  // The root, then one element item per level below it; the innermost
  // element holds the text, so it shows it as a value.
  const auto* m = form.TreeModel();
  ASSERT_EQ(m->ItemCount(), 1 + kDepth + 1);
  EXPECT_EQ(m->Text(1), u"e");
  EXPECT_EQ(m->ImageIndex(1), 1);
  EXPECT_EQ(m->ImageIndex(kDepth), 2);
  EXPECT_EQ(m->Depth(kDepth + 1), kDepth + 1);
  EXPECT_EQ(m->Text(kDepth + 1), u"x");
  EXPECT_EQ(m->ImageIndex(kDepth + 1), 3);
  EXPECT_EQ(Labels(), (Counters{1, 1, kDepth - 1, 1, 0, 0}));
  EXPECT_TRUE(AllExpanded());

  // Every level but the innermost two writes its count and its child's name;
  // the element above the text element names it without a count below.
  std::string expected;
  expected.reserve(static_cast<size_t>(kDepth) * 30);
  for (int i = 0; i < kDepth - 1; ++i) expected += "ChildNodes.Count=1\nNodeName=e\n";
  EXPECT_EQ(trace.size(), expected.size());
  EXPECT_TRUE(trace == expected);

  // On the view every level can be reached: by keys, the view following the
  // current item sideways as well...
  viewer::TXMLTreeView& view = *form.TreeView1;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  view.setFocus();
  view.setCurrentIndex(m->index(0, 0));
  std::mt19937 random(16);
  const Qt::Key keys[] = {Qt::Key_End, Qt::Key_Home, Qt::Key_PageUp, Qt::Key_PageDown,
                          Qt::Key_Up, Qt::Key_Down, Qt::Key_Left, Qt::Key_Right};
  for (int press = 0; press < 300; ++press) {
    const Qt::Key key = keys[random() % std::size(keys)];
    QTest::keyClick(&view, key);
    const QRect icon = view.ItemRect(view.currentIndex()).adjusted(viewer::TXMLTreeView::kIndicatorWidth, 0, 0, 0);
    ASSERT_TRUE(view.viewport()->rect().contains(QRect(icon.topLeft(), QSize(16, icon.height()))))
        << "after key " << key << " the current item at " << icon.x() << "," << icon.y() << " is out of view";
  }
  // ...and by the scroll bars, whose ranges stay as they are while scrolling.
  form.TreeModel()->ExpandAll();
  QCoreApplication::processEvents();
  QScrollBar* across = view.horizontalScrollBar();
  QScrollBar* down = view.verticalScrollBar();
  const int acrossRange = across->maximum();
  EXPECT_GT(acrossRange, 100000);
  for (int step = 0; step <= 40; ++step) {
    down->setValue(down->maximum() * step / 40);
    across->setValue(acrossRange * step / 40);
    QCoreApplication::processEvents();
    ASSERT_EQ(across->maximum(), acrossRange) << "at step " << step;
  }
  // Both at their ends show the innermost text.
  const QModelIndex last = m->index(m->rowCount() - 1, 0);
  const QRect item = view.ItemRect(last);
  ASSERT_TRUE(view.viewport()->rect().contains(item)) << item.x() << "," << item.y();
  const QImage shot = view.viewport()->grab().toImage();
  int green = 0;
  for (int x = item.left(); x <= item.right(); ++x)
    green += shot.pixelColor(x, item.center().y()) == QColor(0x00FF00);
  EXPECT_GT(green, 3) << "the innermost item's icon is not drawn";
}

// Answers the open dialog once it shows: answer runs on every tick while the
// dialog is open until it reports that it is done (the dialog settles a
// selection in another directory asynchronously, and on a busy machine that
// can take seconds). A dialog still open after 30 seconds is cancelled so the
// test cannot hang; the flag tells.
std::shared_ptr<bool> AnswerDialog(TForm1& form, std::function<bool(QFileDialog&)> answer) {
  auto leftOpen = std::make_shared<bool>(false);
  auto ticks = std::make_shared<int>(0);
  auto done = std::make_shared<bool>(false);
  auto* timer = new QTimer(&form);
  QObject::connect(timer, &QTimer::timeout, &form, [&form, answer, ticks, done, leftOpen, timer] {
    QFileDialog& dialog = *form.OpenDialog1;
    if (!dialog.isVisible()) {
      if (*ticks > 0) timer->deleteLater();
      return;
    }
    if (++*ticks > 3000) {
      *leftOpen = true;
      dialog.reject();
    } else if (!*done) {
      *done = answer(dialog);
    }
  });
  timer->start(10);
  return leftOpen;
}

// Types the file's name into the dialog, in the file's directory, and
// accepts once the dialog reports that file as chosen.
bool Choose(QFileDialog& dialog, const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  if (dialog.directory().absolutePath() != info.absolutePath()) dialog.setDirectory(info.absolutePath());
  dialog.selectFile(info.fileName());
  // The dialog's file list fills in a background thread that may lag far
  // behind on a busy machine; typing the name into the name field settles
  // the choice without waiting for it.
  if (dialog.selectedFiles().value(0) != info.absoluteFilePath())
    if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
      edit->setText(info.fileName());
  if (dialog.selectedFiles().value(0) != info.absoluteFilePath()) return false;
  static_cast<QDialog&>(dialog).accept();
  return true;
}

TEST_F(Load, ButtonOpensTheDialogInTheProgramDirectoryAndLoadsTheChoice) {
  const std::string path = dir.Write("chosen.xml", "<a><b>hi</b></a>");
  QString shownDirectory;
  bool wasVisible = false;
  const auto leftOpen = AnswerDialog(form, [&](QFileDialog& dialog) {
    if (shownDirectory.isEmpty()) shownDirectory = dialog.directory().absolutePath();
    wasVisible = dialog.isVisible();
    return Choose(dialog, path);
  });
  const std::string trace = apptest::CaptureStdout([&] { form.Button1->click(); });
  EXPECT_TRUE(wasVisible) << "the real dialog ran";
  EXPECT_FALSE(*leftOpen);
  EXPECT_EQ(shownDirectory, QCoreApplication::applicationDirPath());
  EXPECT_EQ(Items(), (Rows{{0, u"chosen.xml", 0}, {1, u"a", 1}, {2, u"b", 2}, {3, u"hi", 3}}));
  EXPECT_EQ(trace, "ChildNodes.Count=1\nNodeName=b\n");
}

// After a load the keys go to the tree, from the file item; the next open
// starts with an empty name field (typing would otherwise add to the last
// choice), in the program's directory still.
TEST_F(Load, AfterALoadTheTreeTakesTheKeysAndTheNextOpenStartsEmpty) {
  const std::string path = dir.Write("first.xml", "<a><b>hi</b></a>");
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.Button1->setFocus();
  const auto leftOpen = AnswerDialog(form, [&](QFileDialog& dialog) { return Choose(dialog, path); });
  apptest::CaptureStdout([&] { form.Button1->click(); });
  ASSERT_FALSE(*leftOpen);
  ASSERT_EQ(form.TreeModel()->rowCount(), 4);
  // The window's focus (which it takes whenever it is active) is on the
  // tree; the offscreen platform leaves the closed dialog active.
  ASSERT_EQ(form.focusWidget(), form.TreeView1);
  EXPECT_EQ(form.TreeView1->currentIndex().row(), 0);
  QTest::keyClick(form.focusWidget(), Qt::Key_Down);
  EXPECT_EQ(form.TreeView1->currentIndex().row(), 1) << "the first arrow key moves in the tree";

  QString shownName = QStringLiteral("(not shown)");
  QString shownDirectory;
  const auto secondLeftOpen = AnswerDialog(form, [&](QFileDialog& dialog) {
    const auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    shownName = edit ? edit->text() : QStringLiteral("(no name field)");
    shownDirectory = dialog.directory().absolutePath();
    dialog.reject();
    return true;
  });
  form.Button1->click();
  EXPECT_FALSE(*secondLeftOpen);
  EXPECT_EQ(shownName.toStdString(), "");
  EXPECT_EQ(shownDirectory, QCoreApplication::applicationDirPath());
}

TEST_F(Load, SpaceReturnAndEnterPressTheFocusedButton) {
  int opened = 0;
  form.ExecuteOpenDialog = [&](QFileDialog&) { return ++opened, false; };
  form.Button1->setFocus();
  for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(form.Button1, key);
  EXPECT_EQ(opened, 3);
}

TEST_F(Load, CancelledDialogOrMissingFileChangesNothing) {
  apptest::ErrorCapture errors;
  LoadText("kept.xml", "<a><b k=\"v\"/></a>");
  const Rows kept = Items();
  const Counters counts = Labels();

  const auto cancelLeftOpen = AnswerDialog(form, [](QFileDialog& dialog) {
    dialog.reject();
    return true;
  });
  std::string trace = apptest::CaptureStdout([&] { form.Button1->click(); });
  EXPECT_FALSE(*cancelLeftOpen);
  EXPECT_EQ(trace, "");
  EXPECT_EQ(Items(), kept);
  EXPECT_EQ(Labels(), counts);

  const std::string missing = dir.Path("nowhere.xml");
  const auto missingLeftOpen = AnswerDialog(form, [&](QFileDialog& dialog) { return Choose(dialog, missing); });
  trace = apptest::CaptureStdout([&] { form.Button1->click(); });
  EXPECT_FALSE(*missingLeftOpen) << "a typed name that does not exist is accepted by the dialog";
  EXPECT_EQ(trace, "");
  EXPECT_EQ(Items(), kept);
  EXPECT_EQ(Labels(), counts);

  // A directory is not a file either.
  form.ExecuteOpenDialog = [&](QFileDialog& dialog) {
    dialog.selectFile(QString::fromStdString(dir.Path("")));
    return true;
  };
  form.Button1->click();
  EXPECT_EQ(Items(), kept);
  EXPECT_TRUE(errors.Messages().empty()) << "no message for any of these";
}

TEST_F(Load, ButtonFailureReachesTheErrorHandlerAndTheWindowStaysUsable) {
  apptest::ErrorCapture errors;
  LoadText("ok.xml", "<a><b>x</b></a>");
  const auto before = apptest::CounterLabels(form);
  const std::string bad = dir.Write("broken.xml", "<a><b>x</a>");
  form.ExecuteOpenDialog = [&](QFileDialog& dialog) {
    dialog.selectFile(QString::fromStdString(bad));
    return true;
  };
  apptest::CaptureStdout([&] { form.Button1->click(); });
  ASSERT_EQ(errors.Messages().size(), 1u);
  EXPECT_TRUE(errors.Messages()[0].contains("Line")) << errors.Messages()[0].toStdString();
  EXPECT_EQ(form.TreeModel()->ItemCount(), 0);
  EXPECT_EQ(apptest::CounterLabels(form), before);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor is gone";

  const std::string good = dir.Write("fine.xml", "<r/>");
  form.ExecuteOpenDialog = [&](QFileDialog& dialog) {
    dialog.selectFile(QString::fromStdString(good));
    return true;
  };
  apptest::CaptureStdout([&] { form.Button1->click(); });
  EXPECT_EQ(errors.Messages().size(), 1u);
  EXPECT_EQ(Items(), (Rows{{0, u"fine.xml", 0}, {1, u"r", 1}}));
}

TEST_F(Load, BusyCursorShowsOnlyWhileLoading) {
  const std::string path = dir.Write("c.xml", "<a><b/></a>");
  bool busyDuringTrace = false;
  // The document layer calls back into nothing of ours, so watch the cursor
  // from the model's reset, which happens inside the load.
  QObject::connect(form.TreeModel(), &QAbstractItemModel::modelAboutToBeReset, &form, [&] {
    busyDuringTrace = busyDuringTrace || (QApplication::overrideCursor() &&
                                          QApplication::overrideCursor()->shape() == Qt::WaitCursor);
  });
  apptest::CaptureStdout([&] { form.LoadXMLFile(path); });
  EXPECT_TRUE(busyDuringTrace);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
