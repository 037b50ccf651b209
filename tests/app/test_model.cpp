// The tree model without a window: item store rules, rows under expansion,
// model consistency under the toolkit's checker, and very deep trees.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTest>
#include <random>
#include <stdexcept>
#include <string>

#include "app/Icons.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"

namespace {

using viewer::TXMLTreeModel;
constexpr int kNone = TXMLTreeModel::kNoItem;

// file
//   root
//     a
//       a1
//       a2
//     b
//   (second top-level) other
struct SmallTree {
  TXMLTreeModel model;
  int file, root, a, a1, a2, b, other;
  SmallTree() {
    model.BeginUpdate();
    file = model.AddItem(kNone, u"file");
    root = model.AddItem(file, u"root");
    a = model.AddItem(root, u"a");
    a1 = model.AddItem(a, u"a1");
    a2 = model.AddItem(a, u"a2");
    b = model.AddItem(root, u"b");
    other = model.AddItem(kNone, u"other");
    model.EndUpdate();
  }
};

std::vector<std::u16string> VisibleTexts(const TXMLTreeModel& m) {
  std::vector<std::u16string> texts;
  for (int r = 0; r < m.rowCount(); ++r) texts.push_back(m.index(r, 0).data().toString().toStdU16String());
  return texts;
}

TEST(TreeModel, StoresItemsInTreeOrder) {
  SmallTree t;
  TXMLTreeModel& m = t.model;
  EXPECT_EQ(m.ItemCount(), 7);
  EXPECT_EQ(m.Parent(t.file), kNone);
  EXPECT_EQ(m.Parent(t.a2), t.a);
  EXPECT_EQ(m.Parent(t.b), t.root);
  EXPECT_EQ(m.Depth(t.a1), 3);
  EXPECT_EQ(m.Children(t.root), (std::vector<int>{t.a, t.b}));
  EXPECT_EQ(m.Children(t.a), (std::vector<int>{t.a1, t.a2}));
  EXPECT_TRUE(m.Children(t.b).empty());
  EXPECT_EQ(m.TopLevelItems(), (std::vector<int>{t.file, t.other}));
  EXPECT_TRUE(m.HasChildren(t.a));
  EXPECT_FALSE(m.HasChildren(t.a2));
  EXPECT_FALSE(m.HasChildren(t.other));
  EXPECT_EQ(m.Text(t.a2), u"a2");
  EXPECT_EQ(m.ImageIndex(t.a2), -1);
  EXPECT_THROW(m.Parent(7), std::out_of_range);
  EXPECT_THROW(m.Text(-1), std::out_of_range);
}

TEST(TreeModel, RejectsItemsOutOfTreeOrderOrOutsideAnUpdate) {
  SmallTree t;
  TXMLTreeModel& m = t.model;
  EXPECT_THROW(m.AddItem(t.other, u"x"), std::logic_error) << "outside BeginUpdate/EndUpdate";
  m.BeginUpdate();
  // The last added item is `other`; `a` is no longer on its path.
  EXPECT_THROW(m.AddItem(t.a, u"late"), std::logic_error);
  EXPECT_THROW(m.AddItem(99, u"nowhere"), std::out_of_range);
  EXPECT_EQ(m.ItemCount(), 7) << "a rejected item leaves the store unchanged";
  const int c = m.AddItem(t.other, u"c");
  EXPECT_EQ(m.AddItem(t.other, u"d"), c + 1) << "a sibling after a leaf";
  m.EndUpdate();
  EXPECT_EQ(m.Children(t.other), (std::vector<int>{c, c + 1}));
}

TEST(TreeModel, RowsFollowExpansion) {
  SmallTree t;
  TXMLTreeModel& m = t.model;
  QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
  // New items start collapsed: only top-level rows show.
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"other"}));

  m.ExpandAll();
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"root", u"a", u"a1", u"a2", u"b", u"other"}));
  EXPECT_TRUE(m.IsExpanded(t.a));
  EXPECT_FALSE(m.IsExpanded(t.b)) << "a leaf is never expanded";

  m.SetExpanded(t.a, false);
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"root", u"a", u"b", u"other"}));
  EXPECT_EQ(m.RowOfItem(t.a1), -1);
  EXPECT_EQ(m.RowOfItem(t.b), 3);
  EXPECT_EQ(m.ItemAtRow(3), t.b);
  EXPECT_EQ(m.ItemAtRow(5), kNone);

  // Collapsing an ancestor hides everything below; expanding it again
  // restores what was open, and `a` stays closed.
  m.SetExpanded(t.file, false);
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"other"}));
  m.SetExpanded(t.file, true);
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"root", u"a", u"b", u"other"}));
  // Expanding a hidden item changes no rows until it shows.
  m.SetExpanded(t.root, false);
  m.SetExpanded(t.a, true);
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"root", u"other"}));
  m.SetExpanded(t.root, true);
  EXPECT_EQ(VisibleTexts(m), (std::vector<std::u16string>{u"file", u"root", u"a", u"a1", u"a2", u"b", u"other"}));

  const QModelIndex row = m.index(2, 0);
  EXPECT_EQ(row.data(TXMLTreeModel::DepthRole).toInt(), 2);
  EXPECT_TRUE(row.data(TXMLTreeModel::HasChildrenRole).toBool());
  EXPECT_TRUE(row.data(TXMLTreeModel::ExpandedRole).toBool());
  EXPECT_EQ(row.data(TXMLTreeModel::ItemRole).toInt(), t.a);
  EXPECT_FALSE(m.index(7, 0).isValid());
  EXPECT_FALSE(m.index(0, 1).isValid());
  EXPECT_EQ(m.rowCount(row), 0);

  m.Clear();
  EXPECT_EQ(m.rowCount(), 0);
  EXPECT_EQ(m.ItemCount(), 0);
}

TEST(TreeModel, ImagesAndTexts) {
  viewer::TImageList images(16, 16);
  viewer::FillKindImages(images);
  TXMLTreeModel m;
  QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
  m.SetImages(&images);
  m.BeginUpdate();
  const int file = m.AddItem(kNone, u"f\u00e9\u4e2d.xml");
  m.SetImageIndex(file, 0);
  const int empty = m.AddItem(file, u"");
  m.SetImageIndex(empty, 5);
  m.EndUpdate();
  m.ExpandAll();
  EXPECT_EQ(m.index(0, 0).data().toString(), QString::fromUtf8("f\u00e9\u4e2d.xml"));
  EXPECT_EQ(m.index(1, 0).data().toString(), QString());
  EXPECT_EQ(m.index(1, 0).data(TXMLTreeModel::ImageIndexRole).toInt(), 5);
  const QIcon icon = m.index(0, 0).data(Qt::DecorationRole).value<QIcon>();
  ASSERT_FALSE(icon.isNull());
  const QImage picture = icon.pixmap(16, 16).toImage();
  int red = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) red += (picture.pixel(x, y) & 0xFFFFFFu) == 0xFF0000u;
  EXPECT_GT(red, 80) << "the file picture is the red disc";
  // An index past the image list shows no picture.
  m.SetImageIndex(empty, 9);
  EXPECT_FALSE(m.index(1, 0).data(Qt::DecorationRole).isValid());
}

TEST(TreeModel, LongTextsShowTheirStartAndKeepTheWhole) {
  constexpr size_t kMax = TXMLTreeModel::kMaxShownLength;
  // Around the bound, with a surrogate pair across it or not.
  for (const size_t length : {kMax - 1, kMax, kMax + 1, kMax + 2, size_t(5'000'000)})
    for (const bool pairAtBound : {false, true}) {
      SCOPED_TRACE(testing::Message() << length << (pairAtBound ? " with a pair at the bound" : ""));
      std::u16string text(length, u'x');
      if (pairAtBound && length > kMax) text.replace(kMax - 1, 2, u"\U0001F600");
      TXMLTreeModel m;
      m.BeginUpdate();
      const int item = m.AddItem(kNone, text);
      m.EndUpdate();
      EXPECT_EQ(m.Text(item), text) << "the item keeps its whole text";
      bool cut = false;
      const std::u16string_view shown = m.ShownText(item, &cut);
      EXPECT_EQ(cut, length > kMax);
      EXPECT_LE(shown.size(), kMax);
      EXPECT_GE(shown.size(), std::min(length, kMax - 1));
      EXPECT_EQ(std::u16string(shown), text.substr(0, shown.size())) << "a start of the text";
      EXPECT_FALSE(shown.back() >= 0xD800 && shown.back() < 0xDC00) << "half a pair";
      const QString display = m.index(0, 0).data().toString();
      EXPECT_EQ(display, QString::fromStdU16String(std::u16string(shown)) + (cut ? QString(QChar(0x2026)) : QString()));
    }
}

TEST(TreeModel, ManyItemsKeepTheirTexts) {
  // Enough items and text to fill several of the model's storage blocks,
  // with texts of every length up to 60 units and a few huge ones.
  TXMLTreeModel m;
  const auto textOf = [](int i) {
    const size_t length = i % 20000 == 19999 ? 1'500'000 : static_cast<size_t>(i) * 7919 % 60;
    return std::u16string(length, static_cast<char16_t>(u'a' + i % 26));
  };
  constexpr int kItems = 150'000;
  // Each item is a child of the one before, or every fourth its sibling.
  std::vector<int> parents(kItems, kNone);
  m.BeginUpdate();
  for (int i = 0; i < kItems; ++i) {
    if (i > 0) parents[i] = i % 4 == 0 ? parents[i - 1] : i - 1;
    ASSERT_EQ(m.AddItem(parents[i], textOf(i)), i);
  }
  m.EndUpdate();
  ASSERT_EQ(m.ItemCount(), kItems);
  for (int i = 0; i < kItems; ++i) {
    ASSERT_EQ(m.Text(i), textOf(i)) << "item " << i;
    ASSERT_EQ(m.Parent(i), parents[i]) << "item " << i;
  }
}

TEST(TreeModel, NestedUpdatesResetOnce) {
  TXMLTreeModel m;
  int resets = 0;
  QObject::connect(&m, &QAbstractItemModel::modelReset, [&] { ++resets; });
  m.BeginUpdate();
  m.BeginUpdate();
  m.AddItem(kNone, u"x");
  m.EndUpdate();
  EXPECT_EQ(resets, 0);
  EXPECT_TRUE(m.Updating());
  m.EndUpdate();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(m.rowCount(), 1);
  m.EndUpdate();  // unbalanced: ignored
  EXPECT_EQ(resets, 1);
}

TEST(TreeModel, DeepChainFillsExpandsAndCollapsesInLinearTime) {
  constexpr int kDepth = 1'000'000;
  TXMLTreeModel m;
  QElapsedTimer timer;
  timer.start();
  m.BeginUpdate();
  int parent = kNone;
  for (int i = 0; i < kDepth; ++i) parent = m.AddItem(parent, u"e");
  m.EndUpdate();
  m.ExpandAll();
  EXPECT_EQ(m.rowCount(), kDepth);
  EXPECT_EQ(m.Depth(kDepth - 1), kDepth - 1);
  EXPECT_EQ(m.RowOfItem(kDepth - 1), kDepth - 1);
  m.SetExpanded(0, false);
  EXPECT_EQ(m.rowCount(), 1);
  m.SetExpanded(0, true);
  EXPECT_EQ(m.rowCount(), kDepth);
  // A quadratic step would take minutes here.
  EXPECT_LT(timer.elapsed(), 20000);
}

TEST(TreeView, IndicatorAndKeysExpandAndCollapse) {
  SmallTree t;
  TXMLTreeModel& m = t.model;
  m.ExpandAll();
  viewer::TXMLTreeView view;
  view.SetTreeModel(&m);
  view.resize(300, 300);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

  const QModelIndex a = m.index(m.RowOfItem(t.a), 0);
  const QRect indicator = view.IndicatorRect(a);
  ASSERT_FALSE(indicator.isEmpty());
  EXPECT_EQ(indicator.left() - view.visualRect(a).left(), 2 * view.LevelIndent()) << "indented by depth";
  EXPECT_TRUE(view.IndicatorRect(m.index(m.RowOfItem(t.b), 0)).isEmpty()) << "leaves have none";

  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, indicator.center());
  EXPECT_FALSE(m.IsExpanded(t.a));
  EXPECT_EQ(m.rowCount(), 5);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.IndicatorRect(m.index(m.RowOfItem(t.a), 0)).center());
  EXPECT_TRUE(m.IsExpanded(t.a));

  view.setCurrentIndex(m.index(m.RowOfItem(t.a), 0));
  QTest::keyClick(&view, Qt::Key_Left);
  EXPECT_FALSE(m.IsExpanded(t.a));
  QTest::keyClick(&view, Qt::Key_Left);
  EXPECT_EQ(view.currentIndex().data(TXMLTreeModel::ItemRole).toInt(), t.root) << "Left on a closed item goes to its parent";
  view.setCurrentIndex(m.index(m.RowOfItem(t.a), 0));
  QTest::keyClick(&view, Qt::Key_Right);
  EXPECT_TRUE(m.IsExpanded(t.a));
  QTest::keyClick(&view, Qt::Key_Right);
  EXPECT_EQ(view.currentIndex().data(TXMLTreeModel::ItemRole).toInt(), t.a1) << "Right on an open item goes to its first child";

  // Rows are found where they are drawn, also scrolled: in a view of three
  // rows, a click on each row's icon or text makes that row current.
  view.resize(300, 3 * view.RowHeight() + view.height() - view.viewport()->height());
  ASSERT_LT(view.viewport()->height() / view.RowHeight(), m.rowCount());
  for (int row = 0; row < m.rowCount(); ++row) {
    view.scrollTo(m.index(row, 0));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.ItemRect(m.index(row, 0)).adjusted(viewer::TXMLTreeView::kIndicatorWidth, 0, 0, 0).center());
    EXPECT_EQ(view.currentIndex().row(), row);
  }
}

// The view follows the current row sideways only as far as its indicator,
// icon and the start of its text need; rows that show that much where they
// are never move it, so a long value keeps the levels above in sight.
TEST(TreeView, FollowsTheCurrentRowSidewaysOnlyAsFarAsItNeeds) {
  // A chain 40 levels deep; at every level a short leaf and a very long one.
  TXMLTreeModel m;
  m.BeginUpdate();
  int parent = m.AddItem(kNone, u"file");
  for (int level = 0; level < 40; ++level) {
    m.AddItem(parent, u"short");
    m.AddItem(parent, std::u16string(300, u'w'));
    parent = m.AddItem(parent, u"e");
  }
  m.EndUpdate();
  m.ExpandAll();
  viewer::TXMLTreeView view;
  view.SetTreeModel(&m);
  view.resize(300, 200);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  QScrollBar* across = view.horizontalScrollBar();
  const int width = view.viewport()->width();
  view.setFocus();
  view.setCurrentIndex(m.index(0, 0));

  const auto check = [&](int before, const std::string& step) {
    SCOPED_TRACE(step + " to row " + std::to_string(view.currentIndex().row()));
    const QRect item = view.ItemRect(view.currentIndex());
    const int readable = std::min(item.width(), width / 2);
    ASSERT_TRUE(item.left() >= 0 && item.left() + readable <= width)
        << "the item's start is out of view: " << item.left() << "+" << readable << " in " << width;
    // Where the view moved, it moved no further than the row needs.
    if (across->value() != before)
      EXPECT_TRUE(across->value() == 0 || item.left() + readable == width) << before << " -> " << across->value();
    // A row that showed whole before never moves the view.
    const QRect was = item.translated(across->value() - before, 0);
    if (was.left() >= 0 && was.right() < width) EXPECT_EQ(across->value(), before);
  };
  for (int row = 1; row < m.rowCount(); ++row) {
    const int before = across->value();
    QTest::keyClick(&view, Qt::Key_Down);
    check(before, "down");
    // Down to the long leaves of the upper levels the arrows above stay.
    if (m.Depth(view.currentIndex().data(TXMLTreeModel::ItemRole).toInt()) < 6) EXPECT_EQ(across->value(), 0);
  }
  std::mt19937 random(25);
  const Qt::Key keys[] = {Qt::Key_Home, Qt::Key_End, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Up, Qt::Key_Down};
  for (int press = 0; press < 200; ++press) {
    const int before = across->value();
    QTest::keyClick(&view, keys[random() % std::size(keys)]);
    check(before, "key");
  }
}

}  // namespace
