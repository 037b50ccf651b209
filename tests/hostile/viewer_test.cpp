// The viewer's load command on hostile files: every failure reaches the
// application's error handler with a showable message, the tree is empty,
// the labels keep the previous counts, and the next load works.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QTest>

#include "HostileUtil.h"
#include "app/Application.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"

using namespace hostile;

namespace {

std::vector<std::string> Labels(const TForm1& form) {
  std::vector<std::string> out;
  for (QLabel* l : {form.Label7, form.Label8, form.Label9, form.Label10, form.Label11, form.Label12})
    out.push_back(l->text().toStdString());
  return out;
}

// Loads through the viewer as the button does: an error goes to the
// application's handler. Returns the message shown, "" when none was.
std::string ViewerLoad(TForm1& form, const std::string& file) {
  std::string shown;
  TApplication::ShowErrorHook = [&](const QString&, const QString& message) { shown = message.toStdString(); };
  TApplication::Guard([&] { form.LoadXMLFile(file); });
  TApplication::ShowErrorHook = nullptr;
  return shown;
}

class Viewer : public ::testing::Test {
 protected:
  // A good first load whose counts must survive every failure after it.
  void LoadGood() {
    ASSERT_EQ(ViewerLoad(form, dir.Write("good.xml", "<a><b k='v'>t</b><c>u</c></a>")), "");
    good = Labels(form);
    ASSERT_EQ(good, (std::vector<std::string>{"1", "1", "3", "1", "1", "1"}));
  }
  void ExpectFailedLoad(const std::string& file, const char* what) {
    SCOPED_TRACE(what);
    const auto t0 = std::chrono::steady_clock::now();
    const std::string shown = ViewerLoad(form, file);
    EXPECT_LT(SecondsSince(t0), 10.0);
    EXPECT_TRUE(IsShowable(shown)) << "shown: \"" << shown << "\"";
    EXPECT_EQ(form.TreeModel()->ItemCount(), 0);
    EXPECT_EQ(Labels(form), good);
  }
  void ExpectNextLoadWorks() {
    ASSERT_EQ(ViewerLoad(form, dir.Write("next.xml", "<x><y/></x>")), "");
    EXPECT_EQ(Labels(form), (std::vector<std::string>{"1", "1", "1", "0", "0", "0"}));
    EXPECT_EQ(form.TreeModel()->ItemCount(), 3);
  }

  TempDir dir;
  TForm1 form;
  std::vector<std::string> good;
};

}  // namespace

TEST_F(Viewer, BrokenFilesKeepThePreviousCounts) {
  LoadGood();
  const std::pair<const char*, std::string> broken[] = {
      {"empty", ""},
      {"truncated", "<a><b>"},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)},
      {"invalid UTF-8", "<a>\xC3\x28</a>"},
      {"NUL bytes", std::string("<a>\0</a>", 8)},
      {"bomb", "<!DOCTYPE a [<!ENTITY x \"" + std::string(100000, 'x') + "\">]><a>" +
                   [] { std::string r; for (int i = 0; i < 2000; ++i) r += "&x;"; return r; }() + "</a>"},
  };
  for (const auto& [name, bytes] : broken) {
    ExpectFailedLoad(dir.Write(std::string(name) + ".xml", bytes), name);
    EXPECT_NE(Labels(form), std::vector<std::string>{}) << name;
  }
  ExpectNextLoadWorks();
}

TEST_F(Viewer, FilesThatCannotBeReadKeepThePreviousCounts) {
  LoadGood();
  ExpectFailedLoad(dir.Path(), "a directory");
  ExpectFailedLoad(dir.File("deleted.xml"), "a file deleted after choosing");
  {
    SilentPipe pipe(dir.File("pipe.xml"), 10);
    ExpectFailedLoad(pipe.Path(), "a pipe nobody writes");
    EXPECT_FALSE(pipe.Rescued()) << "the viewer waited for a writer";
  }
  ExpectFailedLoad("/dev/zero", "a device");
  ExpectNextLoadWorks();
}

TEST_F(Viewer, AFileThatCannotBeOpenedSaysWhy) {
  LoadGood();
  const std::string gone = ViewerLoad(form, dir.File("gone.xml"));
  EXPECT_EQ(gone.substr(0, gone.find('\n')), "Cannot open file \"" + dir.File("gone.xml") + "\": No such file or directory");

  // Root may read anything, so the load runs in a child as an ordinary user.
  const std::string locked = dir.Write("locked.xml", "<a/>");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  const ChildRun run = RunInChild(
      [&] {
        constexpr uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return std::string("still root");
        return ViewerLoad(form, locked);
      },
      60);
  ASSERT_TRUE(run.finished && !run.crashed);
  EXPECT_EQ(run.result.substr(0, run.result.find('\n')),
            "Cannot open file \"" + locked + "\": Permission denied");
}

TEST_F(Viewer, ExternalContentIsNotShown) {
  WatchedPipe secret(dir.File("secret.txt"), "TOP-SECRET-CONTENT");
  const std::string file = dir.Write(
      "ext.xml", "<!DOCTYPE a [<!ENTITY x SYSTEM \"secret.txt\">]><a><b>&x;</b><c k=\"v\">&x;</c></a>");
  const std::string shown = ViewerLoad(form, file);
  EXPECT_FALSE(secret.Opened());
  for (int item = 0; item < form.TreeModel()->ItemCount(); ++item)
    EXPECT_EQ(N(form.TreeModel()->Text(item)).find("SECRET"), std::string::npos);
  EXPECT_EQ(shown.find("SECRET"), std::string::npos) << shown;
}

TEST_F(Viewer, AmplifiedFilesStayWithinTheBound) {
  // The largest expansions the budget lets through, shown in full, and two
  // it refuses: each costs at most a gigabyte and a few seconds (README,
  // "Reliability").
  auto defaults = [](int attributes, int length, int elements) {
    std::string xml = "<!DOCTYPE r [<!ATTLIST e";
    for (int i = 0; i < attributes; ++i) xml += " a" + std::to_string(i) + " CDATA \"" + std::string(length, 'x') + "\"";
    xml += ">]><r>";
    for (int i = 0; i < elements; ++i) xml += "<e/>";
    return xml + "</r>";
  };
  std::string refs;
  for (int i = 0; i < 80; ++i) refs += "&t;";
  const std::pair<std::string, std::string> files[] = {
      // A megabyte of input spent almost entirely on 420,000 empty default
      // attributes (the costliest kind in memory): the most it can become.
      {"shown", "<!--" + std::string(1000000, 'c') + "-->" + defaults(100, 0, 4200)},
      {"shown", defaults(100, 0, 1200)},     // 120,000 empty default attributes
      {"shown", defaults(1, 1000, 7000)},    // 7 million characters of defaults
      {"shown", "<!DOCTYPE r [<!ENTITY t \"" + std::string(100000, 't') + "\">]><r>" + refs + "</r>"},
      {"refused", defaults(1, 1 << 20, 2000)},  // a 1 MiB default on 2,000 elements
      {"refused", defaults(100, 0, 250000)},
  };
  for (const auto& [expected, xml] : files) {
    SCOPED_TRACE(expected + ": " + xml.substr(0, 60));
    const std::string file = dir.Write("amplified.xml", xml);
    ChildRun run = RunInChild(
        [&] {
          LimitAddressSpace(2048);
          const std::string shown = ViewerLoad(form, file);
          return shown.empty() ? "shown " + std::to_string(form.TreeModel()->ItemCount()) : "refused: " + shown;
        },
        120);
    ASSERT_TRUE(run.finished && !run.crashed) << run.result;
    EXPECT_EQ(run.result.rfind(expected, 0), 0u) << run.result;
    if (expected == "refused") {
      EXPECT_NE(run.result.find("Entity expansion exceeds the limit of"), std::string::npos);
    }
    if (!kSanitized) {
      EXPECT_LT(run.cpuSeconds, 10.0);
      EXPECT_LT(run.peakMB, 1024);
    }
  }
}

TEST_F(Viewer, AHugeTextItemLeavesTheWindowUsable) {
  const std::string text(50'000'000, 'x');
  const std::string file = dir.Write("huge.xml", "<r><t>" + text + "</t></r>");
  ASSERT_EQ(ViewerLoad(form, file), "");
  EXPECT_EQ(Labels(form), (std::vector<std::string>{"1", "1", "1", "1", "0", "0"}));

  // Painting the loaded window is quick, and draws the item as an icon and
  // the start of its text.
  const auto loaded = std::chrono::steady_clock::now();
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const QImage shot = form.TreeView1->viewport()->grab().toImage();
  QCoreApplication::processEvents();
  const double seconds = SecondsSince(loaded);
  std::printf("shown %.0f ms after the load\n", seconds * 1000);
  EXPECT_LT(seconds, 5.0);
  viewer::TXMLTreeModel& model = *form.TreeModel();
  const QModelIndex row = model.index(3, 0);
  ASSERT_EQ(row.data(viewer::TXMLTreeModel::ImageIndexRole).toInt(), 3);
  const QRect item = form.TreeView1->ItemRect(row);
  int green = 0, light = 0;
  for (int x = std::max(0, item.left()); x < std::min(shot.width(), item.right()); ++x) {
    const QColor c = shot.pixelColor(x, item.center().y());
    green += c == QColor(0x00FF00);
    light += c.lightness() > 200;
  }
  EXPECT_GT(green, 3) << "the text's icon is covered";
  EXPECT_GT(light, 50) << "no room between the letters: a bar, not text";

  // The item keeps the whole text, and copying takes all of it.
  EXPECT_EQ(model.Text(3).size(), text.size());
  form.TreeView1->setCurrentIndex(row);
  QTest::keySequence(form.TreeView1, QKeySequence::Copy);
  EXPECT_EQ(QGuiApplication::clipboard()->text().size(), static_cast<qsizetype>(text.size()));
}

int main(int argc, char** argv) {
  if (!getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
