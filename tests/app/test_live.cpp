// The window on a real X server through long loads: it repaints what is
// uncovered while the file is parsed and while the tree is filled, Escape
// and closing the window cancel, and nothing else a user does gets through.
// And the program itself: started with standard descriptors closed, and
// closed in the middle of a load.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AppTestUtil.h"
#include "XServer.h"
#include "app/Unit1.h"
#include "app/XMLTreeModel.h"
#include "app/XMLTreeView.h"
#include "xml/XMLDoc.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Time bounds are for the code, not the instrumentation: the sanitizers
// make every step several times slower, so there they are three times wider.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kSlack = 3;
#else
constexpr double kSlack = 1;
#endif

// A document of about megabytes whose load takes a while: records with
// attributes, text and nesting.
std::string LargeDocument(int megabytes) {
  std::string xml = "<catalog>\n";
  const std::string record =
      "  <record id=\"r\" kind=\"plain\"><title>A title of a record</title><part n=\"1\"><leaf>text</leaf>"
      "<leaf>more text</leaf></part><note>mixed <b>bold</b> tail</note></record>\n";
  while (xml.size() < static_cast<size_t>(megabytes) * 1000000) xml += record;
  return xml + "</catalog>\n";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs tick every few milliseconds while the window's load runs; the load
// lets timers run only when it lets the window repaint, so the gaps between
// ticks are the gaps between repaints.
class LoadWatch {
 public:
  explicit LoadWatch(std::function<void()> tick) : tick_(std::move(tick)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = Clock::now();
      if (running_) longestGap_ = std::max(longestGap_, std::chrono::duration<double>(now - last_).count());
      last_ = now;
      tick_();
    });
  }
  void Run(const std::function<void()>& load) {
    timer_.start();
    last_ = Clock::now();
    running_ = true;
    load();
    running_ = false;
    timer_.stop();
  }
  double LongestGap() const { return longestGap_; }

 private:
  std::function<void()> tick_;
  QTimer timer_;
  bool running_ = false;
  Clock::time_point last_;
  double longestGap_ = 0;
};

class LiveWindow : public testing::Test {
 protected:
  void SetUp() override {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.ExecuteOpenDialog = [this](QFileDialog&) {
      ++dialogs;
      return false;
    };
    apptest::CaptureStdout([&] { form.LoadXMLFile(dir.Write("good.xml", "<a><b>t</b></a>")); });
    ASSERT_EQ(apptest::LabelCounts(form), (apptest::Counters{1, 1, 1, 1, 0, 0}));
  }
  // The tree view's area on the screen.
  QRect TreeOnScreen() const {
    return QRect(form.TreeView1->mapToGlobal(QPoint(0, 0)), form.TreeView1->size());
  }

  apptest::TempDir dir;
  TForm1 form;
  int dialogs = 0;
  apptest::ErrorCapture errors;
};

// A window of one colour laid over the tree and taken away again, as a
// closed dialog or a window dragged across would be, in rounds: each turn
// of the load's event processing takes the next step.
class CoverRounds {
 public:
  explicit CoverRounds(const QRect& area) {
    widget_.setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint);
    widget_.setAttribute(Qt::WA_ShowWithoutActivating);
    widget_.setGeometry(area);
    QPalette palette;
    palette.setColor(QPalette::Window, kColour);
    widget_.setPalette(palette);
    widget_.setAutoFillBackground(true);
  }

  // walking: the load is filling the tree rather than parsing.
  void Step(bool walking) {
    switch (state_) {
      case State::Away:
        widget_.show();
        state_ = State::Shown;
        break;
      case State::Shown:
        if (ColourOnScreen() == 0) break;
        widget_.hide();
        hiddenAt_ = Clock::now();
        state_ = State::Hidden;
        break;
      case State::Hidden:
        // The window below has to draw itself again: the server keeps
        // nothing of what the cover hid.
        if (ColourOnScreen() > 0) break;
        slowest = std::max(slowest, Since(hiddenAt_));
        (walking ? walk : parse)++;
        state_ = State::Away;
        break;
    }
  }

  // Shows the cover, takes it away and looks at once, before the window
  // below had a chance to draw: the cover's image is still there.
  bool ImageStaysUntilRepainted() {
    widget_.show();
    if (!QTest::qWaitFor([&] { return ColourOnScreen() > 0; })) return false;
    widget_.hide();
    const bool stays = ColourOnScreen() > 0;
    QTest::qWait(50);
    return stays && ColourOnScreen() == 0;
  }

  // Completed rounds while parsing and while filling the tree, and the
  // longest time the window took to show itself again.
  int parse = 0;
  int walk = 0;
  double slowest = 0;

 private:
  enum class State { Away, Shown, Hidden };

  int ColourOnScreen() const {
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, widget_.x(), widget_.y(), widget_.width(), widget_.height())
                            .toImage();
    int count = 0;
    for (int y = 0; y < shot.height(); ++y)
      for (int x = 0; x < shot.width(); ++x) count += shot.pixelColor(x, y) == kColour;
    return count;
  }

  static constexpr QColor kColour{255, 0, 255};
  QWidget widget_;
  State state_ = State::Away;
  Clock::time_point hiddenAt_;
};

TEST_F(LiveWindow, RepaintsThroughALongLoadAndEscapeCancelsIt) {
  const std::string file = dir.Write("large.xml", LargeDocument(48));
  CoverRounds rounds(TreeOnScreen().adjusted(20, 20, -20, -20));
  ASSERT_TRUE(rounds.ImageStaysUntilRepainted());
  Clock::time_point escapeAt;
  double cancelSeconds = -1;
  LoadWatch watch([&] {
    if (escapeAt != Clock::time_point()) return;
    rounds.Step(form.TreeModel()->ItemCount() > 0);
    if (rounds.parse >= 2 && rounds.walk >= 2) {
      escapeAt = Clock::now();
      apptest::TypeKeys("Escape");
    }
  });
  watch.Run([&] {
    apptest::CaptureStdout([&] { form.LoadXMLFile(file); });
    if (escapeAt != Clock::time_point()) cancelSeconds = Since(escapeAt);
  });
  ASSERT_GE(cancelSeconds, 0) << "the load ended after " << rounds.parse << " rounds while parsing and "
                              << rounds.walk << " while filling the tree";
  std::printf("longest pause %.0f ms, slowest repaint %.0f ms, cancelled %.0f ms after Escape\n",
              watch.LongestGap() * 1000, rounds.slowest * 1000, cancelSeconds * 1000);
  // Bounds far above what the pump does (25 ms), so a busy machine passes.
  EXPECT_LT(watch.LongestGap(), 1.0 * kSlack);
  EXPECT_LT(rounds.slowest, 1.0 * kSlack);
  EXPECT_LT(cancelSeconds, 2.0 * kSlack);

  // Ended as a failed load ends, without a message.
  EXPECT_EQ(form.TreeModel()->ItemCount(), 0);
  EXPECT_EQ(apptest::LabelCounts(form), (apptest::Counters{1, 1, 1, 1, 0, 0}));
  EXPECT_TRUE(errors.Messages().empty()) << errors.Messages().front().toStdString();
  EXPECT_FALSE(form.XMLDocument1->GetActive());
  EXPECT_TRUE(form.isVisible());
  apptest::CaptureStdout([&] { form.LoadXMLFile(dir.Write("next.xml", "<x><y/></x>")); });
  EXPECT_EQ(apptest::LabelCounts(form), (apptest::Counters{1, 1, 1, 0, 0, 0}));
}

TEST_F(LiveWindow, NothingButCancellingReachesTheWindowDuringALoad) {
  const std::string file = dir.Write("large.xml", LargeDocument(3));
  form.Button1->setFocus();
  const QPoint button = form.Button1->mapToGlobal(form.Button1->rect().center());
  bool typed = false;
  LoadWatch watch([&] {
    if (typed || form.TreeModel()->ItemCount() == 0) return;
    typed = true;
    // Each would press the button and open the dialog.
    apptest::ClickAt(button.x(), button.y());
    apptest::TypeKeys("space Return KP_Enter");
  });
  watch.Run([&] { apptest::CaptureStdout([&] { form.LoadXMLFile(file); }); });
  ASSERT_TRUE(typed) << "the load ended before the tree was filled";
  EXPECT_EQ(dialogs, 0);
  const apptest::Counters counts = apptest::LabelCounts(form);
  const int items = form.TreeModel()->ItemCount();
  apptest::CaptureStdout([&] { form.LoadXMLFile(file); });
  EXPECT_EQ(counts, apptest::LabelCounts(form)) << "the load went otherwise than without the input";
  EXPECT_EQ(items, form.TreeModel()->ItemCount());

  // Afterwards the window takes input again; Return presses the button.
  QCoreApplication::processEvents();
  EXPECT_EQ(dialogs, 0);
  form.Button1->setFocus();
  apptest::TypeKeys("Return");
  EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs == 1; }));
}

// The screen's pixels in area.
QImage ScreenArea(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

// The file name typed into the real dialog, with its completion list up
// when Return takes it: the list is gone before the load begins, and what
// it covered shows again.
TEST_F(LiveWindow, TheDialogsCompletionListIsGoneBeforeTheLoad) {
  const std::string file = dir.Write("large.xml", LargeDocument(3));
  form.ExecuteOpenDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
  bool typed = false;
  QWidget* list = nullptr;
  QRect listArea;
  QImage listImage;
  int resets = 0;
  bool listUpAtLoad = false;
  QObject::connect(form.TreeModel(), &QAbstractItemModel::modelAboutToBeReset, &form, [&] {
    if (resets++ == 0) listUpAtLoad = list && list->isVisible();
  });
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    QFileDialog& dialog = *form.OpenDialog1;
    if (!dialog.isVisible() || list || !dialog.isActiveWindow()) return;
    if (!typed) {
      typed = true;
      apptest::TypeText(file);
      return;
    }
    QWidget* const popup = QApplication::activePopupWidget();
    if (!popup || !popup->isVisible()) return;
    const QRect area = popup->geometry();
    const QImage shown = ScreenArea(area);
    // Once its picture on the screen has settled.
    if (listImage.isNull() || shown != listImage) {
      listImage = shown;
      return;
    }
    list = popup;
    listArea = area;
    apptest::TypeKeys("Return");
  });
  driver.start(50);
  apptest::CaptureStdout([&] { form.Button1->click(); });
  driver.stop();
  ASSERT_TRUE(list) << "the completion list never showed";
  ASSERT_GT(form.TreeModel()->ItemCount(), 100) << "the typed file was not loaded";
  EXPECT_FALSE(listUpAtLoad);
  EXPECT_FALSE(list->isVisible());
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ScreenArea(listArea) != listImage; }, 2000))
      << "the list's picture stays on the screen";
}

// What the test build of the program reported, once it has a line
// starting with until (or after seconds).
std::string WaitForReport(const std::string& path, const std::string& until, double seconds) {
  const auto t0 = Clock::now();
  std::string report;
  while (Since(t0) < seconds) {
    report = ReadFile(path);
    if (report.find(until) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return report;
}

TEST(LiveProgram, ClosingTheWindowDuringALoadEndsTheProgramPromptly) {
  apptest::TempDir dir;
  const std::string file = dir.Write("large.xml", LargeDocument(30));
  const std::string result = dir.Path("result.txt");
  const pid_t pid = apptest::Spawn(VIEWER_PROBE, {file, result});
  const std::string started = WaitForReport(result, "loading", 60);
  unsigned long window = 0;
  ASSERT_EQ(std::sscanf(started.c_str(), "window %lu\nloading", &window), 1) << started;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto closedAt = Clock::now();
  apptest::RequestClose(window);
  const int status = apptest::WaitForExit(pid, 120);
  const double seconds = Since(closedAt);
  std::printf("ended %.0f ms after the close\n", seconds * 1000);
  EXPECT_EQ(status, 0);
  EXPECT_LT(seconds, 5.0 * kSlack);
  // The load was cancelled: the labels still read as at start.
  const std::string report = ReadFile(result);
  EXPECT_NE(report.find("loaded 0 0 0 0 0 0 items 0\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("error"), std::string::npos) << report;
}

TEST(LiveProgram, StartsAndTracesWithStandardDescriptorsClosed) {
  apptest::TempDir dir;
  const std::string file = dir.Write("small.xml", "<a><b>t</b></a>");
  for (const std::vector<int>& closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
    SCOPED_TRACE(closed.size() == 1 ? "standard output closed" : "all three closed");
    const std::string result = dir.Path("result" + std::to_string(closed.size()) + ".txt");
    const int status = apptest::WaitForExit(apptest::Spawn(VIEWER_PROBE, {file, result}, closed), 120);
    EXPECT_EQ(status, 0);
    const std::string report = ReadFile(result);
    EXPECT_NE(report.find("loaded 1 1 1 1 0 0 items 4\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("error"), std::string::npos) << report;
  }
}

}  // namespace
