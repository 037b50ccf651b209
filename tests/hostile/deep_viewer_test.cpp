// A million levels of nesting through the viewer: the tree shows every
// level or the load fails with a message, the window keeps working, and
// closing it frees the document. Too big for the sanitizer build.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include "HostileUtil.h"
#include "app/Application.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"

using namespace hostile;

namespace {

constexpr int kLevels = 1000000;

// Standard output sent elsewhere while alive: the viewer traces two lines
// per level.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

}  // namespace

TEST(DeepViewer, AMillionLevelsAreShownAndTheWindowCloses) {
  TempDir dir;
  std::string xml;
  xml.reserve(kLevels * 7u + 16);
  for (int i = 0; i < kLevels; ++i) xml += "<e>";
  xml += "x";
  for (int i = 0; i < kLevels; ++i) xml += "</e>";
  const std::string file = dir.Write("deep.xml", xml);
  xml.clear();

  auto form = std::make_unique<TForm1>();
  std::string shown;
  TApplication::ShowErrorHook = [&](const QString&, const QString& message) { shown = message.toStdString(); };
  const auto t0 = std::chrono::steady_clock::now();
  {
    QuietStdout quiet;
    TApplication::Guard([&] { form->LoadXMLFile(file); });
  }
  TApplication::ShowErrorHook = nullptr;
  EXPECT_LT(SecondsSince(t0), 120.0);
  ASSERT_EQ(shown, "");
  // The file, the root, the other levels as elements, the innermost one's
  // text as a value.
  EXPECT_EQ(form->TreeModel()->ItemCount(), kLevels + 2);
  EXPECT_EQ(form->Label9->text().toStdString(), std::to_string(kLevels - 1));
  EXPECT_EQ(form->Label10->text().toStdString(), "1");

  // Painting the expanded tree and loading the next file still work.
  form->resize(400, 300);
  form->show();
  QApplication::processEvents();
  form->LoadXMLFile(dir.Write("small.xml", "<a><b/></a>"));
  EXPECT_EQ(form->TreeModel()->ItemCount(), 3);

  // And closing the window with the deep document loaded.
  {
    QuietStdout quiet;
    form->LoadXMLFile(file);
  }
  form.reset();
}

int main(int argc, char** argv) {
  if (!getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
