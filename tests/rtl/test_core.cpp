#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/Interface.h"
#include "rtl/TextConv.h"
#include "rtl/Variant.h"

using namespace rtl;

namespace {

struct IFoo : IInterface {
  static constexpr GUID IID = {0x11111111, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  using Base = IInterface;
  virtual int Value() = 0;
};
struct IBar : IFoo {
  static constexpr GUID IID = {0x22222222, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  using Base = IFoo;
  virtual int Other() = 0;
};
struct IBaz : IInterface {
  static constexpr GUID IID = {0x33333333, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  using Base = IInterface;
};

int liveObjects = 0;
class Obj : public TInterfacedObject<IBar> {
 public:
  Obj() { ++liveObjects; }
  ~Obj() override { --liveObjects; }
  int Value() override { return 7; }
  int Other() override { return 8; }
};

}  // namespace

TEST(ComPtr, CountsReferencesAndFreesAtZero) {
  {
    ComPtr<IBar> a(new Obj);
    EXPECT_EQ(liveObjects, 1);
    ComPtr<IBar> b = a;
    EXPECT_EQ(static_cast<Obj*>(a.get())->RefCount(), 2);
    b = nullptr;
    EXPECT_EQ(static_cast<Obj*>(a.get())->RefCount(), 1);
    ComPtr<IBar> c = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_TRUE(c);
  }
  EXPECT_EQ(liveObjects, 0);
}

TEST(ComPtr, QueryFindsBaseInterfacesAndRejectsOthers) {
  ComPtr<IBar> bar(new Obj);
  ComPtr<IFoo> foo = bar.query<IFoo>();
  EXPECT_EQ(foo->Value(), 7);
  EXPECT_TRUE(bar.try_query<IInterface>());
  EXPECT_FALSE(bar.try_query<IBaz>());
  EXPECT_THROW(bar.query<IBaz>(), EIntfCastError);
  EXPECT_TRUE(SameObject(foo.get(), bar.get()));
  ComPtr<IBar> empty;
  EXPECT_FALSE(empty.try_query<IFoo>());
}

TEST(ComPtr, AdoptDetachAndPutKeepCountsBalanced) {
  Obj* raw = new Obj;
  raw->AddRef();
  {
    ComPtr<IBar> p = ComPtr<IBar>::adopt(raw);
    EXPECT_EQ(raw->RefCount(), 1);
    IBar* d = p.detach();
    EXPECT_EQ(raw->RefCount(), 1);
    ComPtr<IBar> q;
    *q.put() = d;  // as an out-parameter would
    EXPECT_EQ(raw->RefCount(), 1);
  }
  EXPECT_EQ(liveObjects, 0);
}

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(Format("Node \"%s\" not found", {"x"}), "Node \"x\" not found");
  EXPECT_EQ(Format("%s%s%s: %d%s%s", {"R", "\n", "Line", 7, "\n", "src"}), "R\nLine: 7\nsrc");
  EXPECT_EQ(Format("100%% %d", {-5}), "100% -5");
  EXPECT_EQ(Format("a %s b", {}), "a  b");
}

// Code points at the edges of each UTF-8 length and of the surrogate
// ranges, with their exact bytes both ways. UTF-8 cannot hold a surrogate:
// one without its partner is written as U+FFFD, and bytes that would encode
// one (or anything beyond U+10FFFF, or too long a form) read back as one
// U+FFFD per byte that cannot start a character.
TEST(TextConv, Utf8AtTheEdgesOfEveryRange) {
  struct Case {
    WideString units;
    std::string bytes;
    WideString back;  // what the bytes read as: the units, unless given
  };
  const WideString fffd = u"\uFFFD";
  const Case cases[] = {
      {WideString(1, u'\0'), std::string(1, '\0'), {}},
      {u"\u007F", "\x7F", {}},
      {u"\u0080", "\xC2\x80", {}},
      {u"\u07FF", "\xDF\xBF", {}},
      {u"\u0800", "\xE0\xA0\x80", {}},
      {u"\uD7FF", "\xED\x9F\xBF", {}},
      {u"\uE000", "\xEE\x80\x80", {}},
      {u"\uFFFF", "\xEF\xBF\xBF", {}},
      {u"\U00010000", "\xF0\x90\x80\x80", {}},
      {u"\U0010FFFF", "\xF4\x8F\xBF\xBF", {}},
      {WideString(1, char16_t(0xD800)), "\xEF\xBF\xBD", fffd},
      {WideString(1, char16_t(0xDBFF)), "\xEF\xBF\xBD", fffd},
      {WideString(1, char16_t(0xDC00)), "\xEF\xBF\xBD", fffd},
      {WideString(1, char16_t(0xDFFF)), "\xEF\xBF\xBD", fffd},
      {WideString{char16_t(0xDBFF), u'a'}, "\xEF\xBF\xBD" "a", fffd + u"a"},
      {WideString{char16_t(0xDC00), char16_t(0xDC00)}, "\xEF\xBF\xBD\xEF\xBF\xBD", fffd + fffd},
      {WideString{char16_t(0xDFFF), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD", fffd + fffd},
      {u"A\u00e9\u4e2d\U0001F600", "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(Utf8Encode(c.units), c.bytes);
    EXPECT_EQ(Utf8Decode(c.bytes), c.back.empty() ? c.units : c.back);
  }
  const std::pair<std::string, WideString> malformed[] = {
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xC0\x80", fffd + fffd},                        // overlong NUL
      {"\xED\xA0\x80", fffd + fffd + fffd},              // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // U+110000
      {"\xF0\x90\x80", fffd + fffd + fffd},              // cut short
  };
  for (const auto& [bytes, units] : malformed) EXPECT_EQ(Utf8Decode(bytes), units) << testing::PrintToString(bytes);
  // Appending keeps what is there, across a plain start and what follows.
  std::string line = "x=";
  AppendUtf8(line, u"ab\u00e9c");
  AppendUtf8(line, u"");
  AppendUtf8(line, u"\U0001F600d");
  EXPECT_EQ(line, "x=ab\xC3\xA9" "c\xF0\x9F\x98\x80" "d");
}

TEST(Variant, ConvertsAsTheLayersExpect) {
  OleVariant null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null.ToWideString(), u"");
  OleVariant s(u"12");
  EXPECT_FALSE(s.IsOrdinal());
  int32_t i = 0;
  EXPECT_TRUE(s.TryToInteger(i));
  EXPECT_EQ(i, 12);
  EXPECT_FALSE(OleVariant(u"x1").TryToInteger(i));
  EXPECT_FALSE(OleVariant(u"99999999999").TryToInteger(i));
  EXPECT_TRUE(OleVariant(int32_t(3)).IsOrdinal());
  EXPECT_EQ(OleVariant(int32_t(-3)).ToWideString(), u"-3");
  EXPECT_TRUE(OleVariant(true).IsOrdinal());
}
