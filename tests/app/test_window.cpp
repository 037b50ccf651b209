// The window as it comes up: layout, captions, icons, focus, the document
// component from the form description, and the application's error handler.
#include <gtest/gtest.h>

#include <QEvent>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "AppTestUtil.h"
#include "app/Application.h"
#include "app/Icons.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"
#include "rtl/Exception.h"
#include "xml/XMLDoc.h"

namespace {

constexpr int kRowTops[6] = {24, 65, 107, 148, 190, 232};

QLabel* RowIcon(const TForm1& f, int k) {
  QLabel* const icons[] = {f.Image1, f.Image2, f.Image3, f.Image4, f.Image5, f.Image6};
  return icons[k];
}
QLabel* Caption(const TForm1& f, int k) {
  QLabel* const labels[] = {f.Label1, f.Label2, f.Label3, f.Label4, f.Label5, f.Label6};
  return labels[k];
}
QLabel* Counter(const TForm1& f, int k) {
  QLabel* const labels[] = {f.Label7, f.Label8, f.Label9, f.Label10, f.Label11, f.Label12};
  return labels[k];
}

TEST(Window, GeometryCaptionsAndInitialState) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle(), "Form1");
  EXPECT_EQ(form.pos(), QPoint(208, 197));
  EXPECT_EQ(form.size(), QSize(696, 480));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window is not resizable";

  EXPECT_EQ(form.TreeView1->geometry(), QRect(8, 8, 443, 385));
  EXPECT_EQ(form.GroupBox1->geometry(), QRect(456, 8, 239, 273));
  EXPECT_TRUE(form.GroupBox1->title().isEmpty());
  EXPECT_EQ(form.Button1->geometry(), QRect(552, 352, 121, 41));
  EXPECT_EQ(form.Button1->text(), "Load XML File");
  EXPECT_EQ(form.Label13->geometry(), QRect(288, 432, 1, 19));
  EXPECT_TRUE(form.Label13->text().isEmpty());

  const char* const captions[] = {"XML File", "Root(Node)", "Element(Node)", "Text of Element", "Attribute",
                                  "Value of Attribute"};
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k + 1);
    EXPECT_EQ(RowIcon(form, k)->parentWidget(), form.GroupBox1);
    EXPECT_EQ(RowIcon(form, k)->geometry(), QRect(16, kRowTops[k], 17, 17));
    QLabel* caption = Caption(form, k);
    EXPECT_EQ(caption->parentWidget(), form.GroupBox1);
    EXPECT_EQ(caption->text(), captions[k]);
    EXPECT_EQ(caption->pos(), QPoint(40, kRowTops[k]));
    EXPECT_EQ(caption->height(), 19);
    EXPECT_GE(caption->width(), caption->sizeHint().width()) << "caption is cut off";
    QLabel* counter = Counter(form, k);
    EXPECT_EQ(counter->parentWidget(), form.GroupBox1);
    EXPECT_EQ(counter->text(), "0");
    EXPECT_EQ(counter->pos(), QPoint(168, kRowTops[k]));
    EXPECT_EQ(counter->size(), QSize(counter->sizeHint().width(), 19));
    // Each row's parts stay apart: icon, then caption, then counter.
    EXPECT_LT(RowIcon(form, k)->geometry().right(), caption->x());
    EXPECT_LT(caption->geometry().right(), counter->x());
  }
  EXPECT_LE(form.GroupBox1->geometry().right(), form.width() - 1);

  EXPECT_EQ(form.TreeModel()->rowCount(), 0);
  EXPECT_EQ(form.TreeView1->model(), form.TreeModel());
}

TEST(Window, DocumentComponentComesFromTheFormDescription) {
  TForm1 form;
  ASSERT_NE(form.XMLDocument1, nullptr);
  EXPECT_EQ(form.XMLDocument1->Name(), "XMLDocument1");
  EXPECT_EQ(form.XMLDocument1->Owner(), static_cast<rtl::TComponent*>(&form));
  EXPECT_FALSE(form.XMLDocument1->GetActive());
  ASSERT_NE(form.XMLDocument1->GetDOMVendor(), nullptr);
  EXPECT_EQ(form.XMLDocument1->GetDOMVendor()->VendorDescription(), "Xerces XML");
  EXPECT_EQ(form.XMLDocument1->GetOptions().Byte(), 0x1D);
  // Loads report their progress so the window can stay alive.
  EXPECT_EQ(form.XMLDocument1->GetParseOptions().Byte(), TParseOptions{poAsyncLoad}.Byte());
  EXPECT_TRUE(static_cast<bool>(form.XMLDocument1->GetOnAsyncLoad()));
  EXPECT_FALSE(form.XMLDocument1->ComponentState().Contains(rtl::csLoading));
  EXPECT_EQ(form.ComponentCount(), 1);
  EXPECT_NE(std::string(Unit1FormDescription()).find("DOMVendorDesc = \"Xerces XML\""), std::string::npos);
}

TEST(Window, TabOrderAndInitialFocus) {
  TForm1 form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  EXPECT_EQ(QApplication::focusWidget(), form.TreeView1);

  // The chain runs tree view, group box, button.
  std::vector<QWidget*> order;
  QWidget* w = form.TreeView1;
  for (int guard = 0; guard < 100; ++guard, w = w->nextInFocusChain()) {
    if (w == form.TreeView1 || w == form.GroupBox1 || w == form.Button1) {
      if (!order.empty() && w == order.front()) break;
      order.push_back(w);
    }
  }
  EXPECT_EQ(order, (std::vector<QWidget*>{form.TreeView1, form.GroupBox1, form.Button1}));

  // The group box holds nothing that takes focus, so Tab goes on to the button.
  QTest::keyClick(form.TreeView1, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form.Button1);
}

// Classifies the pixels of one 16 x 16 picture.
struct PixelCensus {
  int disc = 0;       // exactly the disc colour
  int dark = 0;       // letter pixels (black, possibly blended at edges)
  int outside = 0;    // the background outside the disc
  int strayOutside = 0;  // off-disc pixels that are not background
};

PixelCensus Census(const QImage& image, QPoint origin, QRgb discColour, QRgb background, bool transparent) {
  PixelCensus c;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const QRgb p = image.pixel(origin.x() + x, origin.y() + y);
      if (!viewer::IsOnDisc(x, y)) {
        const bool isBackground = transparent ? qAlpha(p) == 0 : (p | 0xFF000000u) == (background | 0xFF000000u);
        (isBackground ? c.outside : c.strayOutside)++;
      } else if ((p & 0xFFFFFFu) == (discColour & 0xFFFFFFu) && qAlpha(p) == 255) {
        ++c.disc;
      } else if (qRed(p) < 100 && qGreen(p) < 100 && qBlue(p) < 100) {
        ++c.dark;
      }
    }
  return c;
}

TEST(Window, IconsAreColouredDiscsWithALetter) {
  const QRgb colours[6] = {0xFF0000, 0xFF6D24, 0xFFFF00, 0x00FF00, 0x00FFFF, 0xC248FF};
  TForm1 form;
  ASSERT_EQ(form.ImageList1.Count(), 6);
  EXPECT_EQ(form.ImageList1.Width(), 16);
  EXPECT_EQ(form.ImageList1.Height(), 16);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(viewer::KindIconColor(k), QColor::fromRgb(colours[k]));
    const QImage row = RowIcon(form, k)->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(row.size(), QSize(16, 16));
    const PixelCensus r = Census(row, {0, 0}, colours[k], 0, true);
    EXPECT_EQ(r.outside, 100);
    EXPECT_EQ(r.strayOutside, 0);
    EXPECT_GT(r.disc, 80) << "the disc shows its colour";
    EXPECT_GT(r.dark, 8) << "the letter is drawn";

    const QImage listed = form.ImageList1.Get(k).toImage().convertToFormat(QImage::Format_ARGB32);
    const PixelCensus l = Census(listed, {0, 0}, colours[k], 0xFFFFFF, false);
    EXPECT_EQ(l.outside, 100) << "white outside the disc in the image list";
    EXPECT_EQ(l.disc, r.disc);
    EXPECT_EQ(l.dark, r.dark);
  }
  EXPECT_TRUE(form.ImageList1.Get(6).isNull());
  EXPECT_TRUE(viewer::MakeKindIcon(-1, viewer::IconBackground::White).isNull());

  // On screen: each row icon shows its disc colour where the picture has it.
  const QImage shot = form.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    const QPoint origin = RowIcon(form, k)->mapTo(&form, QPoint(0, 0));
    const QImage picture = RowIcon(form, k)->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    int matching = 0, discPixels = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        if ((picture.pixel(x, y) & 0xFFFFFFu) == colours[k] && qAlpha(picture.pixel(x, y)) == 255) {
          ++discPixels;
          if ((shot.pixel(origin.x() + x, origin.y() + y) & 0xFFFFFFu) == colours[k]) ++matching;
        }
    EXPECT_EQ(matching, discPixels);
    // Outside the disc the group box's background shows through.
    EXPECT_EQ(shot.pixel(origin), shot.pixel(origin - QPoint(3, 0)));
  }
}

// An object whose event handler fails.
class FailingObject : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw rtl::EInOutError("handler failed");
    if (e->type() == QEvent::User + 1) throw std::runtime_error("plain failure");
    if (e->type() == QEvent::User + 2) throw 42;
    return QObject::event(e);
  }
};

TEST(Application, ExceptionsFromHandlersAreShownAndTheLoopGoesOn) {
  apptest::ErrorCapture errors;
  FailingObject target;
  QEvent first(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&target, &first));
  QEvent second(static_cast<QEvent::Type>(QEvent::User + 1));
  QCoreApplication::sendEvent(&target, &second);
  QEvent third(static_cast<QEvent::Type>(QEvent::User + 2));
  QCoreApplication::sendEvent(&target, &third);
  // Posted events go through the loop the same way.
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  ASSERT_EQ(errors.Messages().size(), 4u);
  EXPECT_EQ(errors.Messages()[0], "handler failed");
  EXPECT_EQ(errors.Messages()[1], "plain failure");
  EXPECT_EQ(errors.Messages()[2], "Unknown error");
  EXPECT_EQ(errors.Messages()[3], "handler failed");
}

TEST(Application, GuardHandsTheErrorOnAndReturns) {
  apptest::ErrorCapture errors;
  TApplication::Guard([] { throw rtl::Exception("No matching DOM Vendor: \"x\""); });
  ASSERT_EQ(errors.Messages().size(), 1u);
  EXPECT_EQ(errors.Messages()[0], "No matching DOM Vendor: \"x\"");
}

}  // namespace
