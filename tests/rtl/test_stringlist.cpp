#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/StringList.h"

using namespace rtl;

namespace {

// Records the handler calls, with the line count each saw.
struct Recorder {
  std::vector<std::string> calls;
  void Attach(TStringList& list) {
    list.OnChanging = [this](TStringList* s) { calls.push_back("changing:" + std::to_string(s->Count())); };
    list.OnChange = [this](TStringList* s) { calls.push_back("change:" + std::to_string(s->Count())); };
  }
};

std::vector<std::string> Lines(const TStrings& s) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < s.Count(); ++i) out.push_back(s.Get(i));
  return out;
}

}  // namespace

TEST(StringList, HandlersRunBeforeAndAfterEachChange) {
  TStringList list;
  Recorder rec;
  rec.Attach(list);
  EXPECT_EQ(list.Add("a"), 0);
  EXPECT_EQ(list.Add("c"), 1);
  list.Insert(1, "b");
  list.Put(0, "A");
  list.Delete(2);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"changing:0", "change:1", "changing:1", "change:2",
                                                 "changing:2", "change:3", "changing:3", "change:3",
                                                 "changing:3", "change:2"}));
  rec.calls.clear();

  // Whole-text replacement notifies once, before the old lines go.
  list.SetText("x\ny\nz");
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"changing:2", "change:3"}));
  rec.calls.clear();

  TStringList other;
  list.Assign(other);  // assigning new (empty) lines is a change too
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"changing:3", "change:0"}));
  rec.calls.clear();
  list.Clear();  // nothing to clear, nothing to report
  EXPECT_TRUE(rec.calls.empty());
}

TEST(StringList, DetachedHandlerIsNotCalledAndFailingHandlerCancels) {
  TStringList list;
  int changing = 0;
  list.OnChanging = [&](TStringList*) { ++changing; };
  list.Add("one");
  list.OnChanging = nullptr;
  list.SetText("two\nthree");
  EXPECT_EQ(changing, 1);
  EXPECT_EQ(list.Count(), 2);

  list.OnChanging = [](TStringList*) { throw Exception("read-only"); };
  EXPECT_THROW(list.Add("four"), Exception);
  EXPECT_THROW(list.SetText(""), Exception);
  EXPECT_THROW(list.Clear(), Exception);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"two", "three"})) << "a refused change happened anyway";
}

TEST(StringList, HandlerMayDetachItselfAndChangeTheLines) {
  // What a document does when its lines change from outside: detach, empty
  // the lines, re-attach; the new content must land on the emptied list.
  TStringList list;
  list.SetText("<old/>\n<older/>");
  int closes = 0;
  // The captured text makes the handler live on the heap, where running it
  // after it was replaced would be a use after free.
  std::function<void(TStringList*)> closing = [&, name = std::string(100, 'd')](TStringList* s) {
    s->OnChanging = nullptr;
    s->SetText("");
    s->OnChanging = closing;
    closes += name.size() == 100 ? 1 : 1000;
  };
  list.OnChanging = closing;
  list.SetText("<new/>");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"<new/>"}));
  list.SetText("a\nb");  // handler empties again
  EXPECT_EQ(list.Add("c"), 0) << "Add must append to what the handler left";
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"c"}));
  list.OnChanging = nullptr;
  list.SetText("a\nb");
  list.OnChanging = closing;
  EXPECT_THROW(list.Insert(2, "z"), EListError) << "index made invalid by the handler was used";
  EXPECT_EQ(list.Count(), 0);
  list.OnChanging = nullptr;
  list.SetText("a\nb");
  list.OnChanging = closing;
  EXPECT_THROW(list.Delete(1), EListError);
  EXPECT_EQ(closes, 5);
}

TEST(StringList, TextJoinsWithLineFeedAndSplitsOnAnyBreak) {
  TStringList list;
  list.SetText("a\r\nb\rc\nd");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(list.GetText(), "a\nb\nc\nd");

  list.SetText("a\n\nb\n");  // trailing break adds no line, inner empty line stays
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"a", "", "b"}));
  list.SetText("\r\n");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{""}));
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.GetText(), "");

  // Text taken from the list itself survives the replacement.
  list.SetText("<r>\n</r>");
  list.SetText(list.Get(1));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"</r>"}));
}

TEST(StringList, AssignIndexOfAndIndexErrors) {
  TStringList src;
  src.SetText("x\ny\nx");
  TStringList dst;
  dst.Add("old");
  dst.Assign(src);
  EXPECT_EQ(Lines(dst), Lines(src));
  dst.Assign(dst);
  EXPECT_EQ(Lines(dst), Lines(src)) << "self-assignment lost lines";
  EXPECT_EQ(dst.IndexOf("x"), 0);
  EXPECT_EQ(dst.IndexOf("y"), 1);
  EXPECT_EQ(dst.IndexOf("X"), -1);

  EXPECT_THROW(dst.Get(3), EListError);
  EXPECT_THROW(dst.Get(-1), EListError);
  EXPECT_THROW(dst.Insert(4, "z"), EListError);
  EXPECT_NO_THROW(dst.Insert(3, "end"));
  try {
    dst.Delete(9);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (9)");
  }
}
