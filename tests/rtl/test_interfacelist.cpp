#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "rtl/InterfaceList.h"

using namespace rtl;

namespace {

struct IItem : IInterface {
  static constexpr GUID IID = {0x5A1E0001, 1, 2, {9, 8, 7, 6, 5, 4, 3, 2}};
  using Base = IInterface;
  virtual int Id() = 0;
};

int liveItems = 0;
class Item : public TInterfacedObject<IItem> {
 public:
  explicit Item(int id) : id_(id) { ++liveItems; }
  ~Item() override { --liveItems; }
  int Id() override { return id_; }

 private:
  int id_;
};

ComPtr<IItem> Make(int id) { return ComPtr<IItem>(new Item(id)); }

}  // namespace

TEST(InterfaceList, KeepsItemsAliveAndReleasesThem) {
  liveItems = 0;
  {
    TInterfaceList<IItem> list;
    list.Reserve(16);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Add(Make(1)), 0);
    EXPECT_EQ(list.Add(Make(2)), 1);
    list.Insert(0, Make(0));
    EXPECT_EQ(liveItems, 3);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Get(0)->Id(), 0);
    EXPECT_EQ(list.First()->Id(), 0);
    EXPECT_EQ(list.Last()->Id(), 2);
    list.Delete(1);
    EXPECT_EQ(liveItems, 2);
    list.Put(0, Make(7));
    EXPECT_EQ(liveItems, 2);
    EXPECT_EQ(list.Get(0)->Id(), 7);
    list.Clear();
    EXPECT_EQ(liveItems, 0);
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.Last(), nullptr);
    list.Add(Make(3));
  }
  EXPECT_EQ(liveItems, 0) << "the list leaked its items";
}

TEST(InterfaceList, IndexErrorsLeaveTheListAlone) {
  TInterfaceList<IItem> list;
  try {
    list.Get(0);
    FAIL() << "Get on an empty list";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (0)");
  }
  list.Add(Make(1));
  EXPECT_THROW(list.Get(1), EListError);
  EXPECT_THROW(list.Get(-1), EListError);
  EXPECT_THROW(list.Delete(1), EListError);
  EXPECT_THROW(list.Insert(2, Make(2)), EListError);
  EXPECT_THROW(list.Put(1, Make(2)), EListError);
  EXPECT_EQ(list.Count(), 1);
  list.Insert(1, Make(2));  // Count() is a valid insertion point
  EXPECT_EQ(list.Last()->Id(), 2);
}

TEST(InterfaceList, IndexOfAndRemoveGoByIdentity) {
  TInterfaceList<IItem> list;
  ComPtr<IItem> a = Make(1), b = Make(1), absent = Make(1);  // equal ids, different objects
  list.Add(a);
  list.Add(b);
  list.Add(a);
  EXPECT_EQ(list.IndexOf(b), 1);
  EXPECT_EQ(list.IndexOf(a), 0);
  EXPECT_EQ(list.IndexOf(absent), -1);
  EXPECT_EQ(list.IndexOf(nullptr), -1);
  EXPECT_EQ(list.Remove(absent), -1);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Remove(a), 0) << "Remove takes the first occurrence";
  EXPECT_EQ(list.IndexOf(a), 1);
  EXPECT_EQ(list.Remove(a), 1);
  EXPECT_EQ(list.Remove(a), -1);
  EXPECT_EQ(list.Count(), 1);
}

TEST(InterfaceList, ItemReleasedOutsideTheChangeCanUseTheList) {
  // An item whose destruction reads the list that drops it.
  struct Watcher : TInterfacedObject<IItem> {
    TInterfaceList<IItem>* list;
    int* out;
    Watcher(TInterfaceList<IItem>* l, int* o) : list(l), out(o) {}
    ~Watcher() override { *out = list->Count(); }
    int Id() override { return 0; }
  };
  TInterfaceList<IItem> list;
  int seen = -1;
  list.Add(ComPtr<IItem>(new Watcher(&list, &seen)));
  list.Add(Make(5));
  list.Delete(0);
  EXPECT_EQ(seen, 1) << "the item was destroyed while the list was half-changed";
  list.Add(ComPtr<IItem>(new Watcher(&list, &seen)));
  list.Clear();
  EXPECT_EQ(seen, 0) << "Clear released items while they were still counted";
}

TEST(InterfaceList, LockExcludesOtherThreads) {
  TInterfaceList<IItem> list;
  list.Lock();
  list.Lock();  // nests on the holding thread
  EXPECT_EQ(list.Add(Make(1)), 0) << "the holder must still be able to use the list";
  std::atomic<bool> otherGotIt{true};
  std::thread([&] { otherGotIt = list.TryLock(); }).join();
  EXPECT_FALSE(otherGotIt);

  std::atomic<bool> added{false};
  std::thread writer([&] {
    list.Add(Make(2));
    added = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(added) << "another thread changed the list while it was locked";
  list.Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(added) << "one Unlock released a doubly taken lock";
  list.Unlock();
  writer.join();
  EXPECT_TRUE(added);
  EXPECT_EQ(list.Count(), 2);
}
