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

TEST(TextConv, Utf8RoundTripsIncludingSurrogatesAndRepairsBadInput) {
  WideString w = u"A\u00e9\u4e2d\U0001F600";
  std::string n = Utf8Encode(w);
  EXPECT_EQ(n, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8Decode(n), w);
  EXPECT_EQ(Utf8Decode("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8Decode("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong NUL
  EXPECT_EQ(Utf8Encode(WideString(1, char16_t(0xD800))), "\xEF\xBF\xBD");
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
