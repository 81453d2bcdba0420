// TIconList under Wine: the "Icons" stream form with empty entries, change
// events and update locks, assignment, list operations and resources.
#include <gtest/gtest.h>

#include <chrono>

#include "AniTestSupport.h"
#include "IcoList.h"
#include "WinTestSupport.h"

using namespace pictures;
using wintest::LoadIcon;

namespace {

std::string Bytes(zf::TIcon* icon) {
  zf::TMemoryStream m;
  icon->SaveToStream(m);
  return m.Bytes();
}

struct TCounted {
  TIconList List;
  int Events = 0;
  TCounted() {
    List.OnChange = [this](zf::TObject* sender) {
      EXPECT_EQ(sender, &List);
      ++Events;
    };
  }
};

TEST(IconList, StreamRoundTripKeepsEmptyEntries) {
  const std::string red = anitest::Fixture("red8.ico"), lime = anitest::Fixture("lime4.ico");
  TIconList list;
  list.Add(LoadIcon("red8.ico").get());
  list.AddIcon(nullptr);
  zf::TIcon noImage;
  list.Add(&noImage);  // an icon without an image is written as an empty entry
  list.Add(LoadIcon("lime4.ico").get());
  zf::TMemoryStream s;
  list.SaveToStream(s);
  const std::string expected = anitest::U32s({4, static_cast<uint32_t>(red.size())}) + red + anitest::U32s({0, 0}) +
                               anitest::U32(static_cast<uint32_t>(lime.size())) + lime;
  EXPECT_EQ(s.Bytes(), expected);

  TCounted back;
  back.List.Add(LoadIcon("small16.ico").get());
  back.Events = 0;
  s.SetPosition(0);
  back.List.LoadFromStream(s);
  EXPECT_EQ(back.Events, 1);
  ASSERT_EQ(back.List.Count(), 4);
  EXPECT_EQ(back.List.Icons(1), nullptr);
  EXPECT_EQ(back.List.Icons(2), nullptr);
  EXPECT_EQ(Bytes(back.List.Icons(0)), red);
  EXPECT_EQ(back.List.Icons(3)->Width(), 32);
  // Negative sizes are empty entries as well.
  zf::TMemoryStream neg(anitest::U32s({1, 0xFFFFFFFF}));
  back.List.LoadFromStream(neg);
  ASSERT_EQ(back.List.Count(), 1);
  EXPECT_EQ(back.List.Icons(0), nullptr);
}

TEST(IconList, HugeCountsAndSizesFailWithoutAllocating) {
  const std::string red = anitest::Fixture("red8.ico");
  const std::pair<const char*, std::string> cases[] = {
      {"entry size 2 GB", anitest::U32s({1, 0x7FFFFFFF}) + red},
      {"count 2^31 - 1", anitest::U32s({0x7FFFFFFF, 0})},
      {"negative count", anitest::U32s({0x80000000})},
      {"entry cut", anitest::U32s({1, static_cast<uint32_t>(red.size())}) + red.substr(0, 100)},
      {"no count", "ab"},
  };
  for (const auto& [what, bytes] : cases) {
    TIconList list;
    zf::TMemoryStream s(bytes);
    const auto t0 = std::chrono::steady_clock::now();
    try {
      list.LoadFromStream(s);
      ADD_FAILURE() << what << ": accepted";
    } catch (const zf::EReadError& e) {
      EXPECT_STREQ(e.what(), "Stream read error") << what;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << what;
  }
  // An entry that is no icon: the icon's own error, the entries before it kept.
  TIconList list;
  zf::TMemoryStream s(anitest::U32s({2, static_cast<uint32_t>(red.size())}) + red + anitest::U32s({6}) + "junkxx");
  EXPECT_THROW(list.LoadFromStream(s), zf::EInvalidGraphic);
  EXPECT_EQ(list.Count(), 1);
}

TEST(IconList, ChangeEventsAndNestedLocks) {
  TCounted c;
  auto red = LoadIcon("red8.ico");
  c.List.Add(red.get());
  EXPECT_EQ(c.Events, 1);
  c.List.LockUpdates();
  c.List.LockUpdates();
  for (int i = 0; i < 3; ++i) c.List.Add(red.get());
  c.List.Delete(0);
  c.List.UnlockUpdates();
  EXPECT_EQ(c.Events, 1);
  c.List.UnlockUpdates();
  EXPECT_EQ(c.Events, 2);
  // Changing an icon the list holds is a change of the list.
  zf::TMemoryStream lime(anitest::Fixture("lime4.ico"));
  c.List.Icons(1)->LoadFromStream(lime);
  EXPECT_EQ(c.Events, 3);
  // SetIcon at Count grows the list by one entry, one event; beyond it, an index error.
  c.List.SetIcon(c.List.Count(), red.get());
  EXPECT_EQ(c.List.Count(), 4);
  EXPECT_EQ(c.Events, 4);
  try {
    c.List.SetIcon(c.List.Count() + 1, red.get());
    ADD_FAILURE() << "accepted";
  } catch (const zf::EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (5)");
  }
  c.List.AddIcon(nullptr);
  c.List.SetIcon(4, red.get());  // an empty entry gets an icon of its own
  ASSERT_NE(c.List.Icons(4), nullptr);
  EXPECT_NE(c.List.Icons(4), red.get());
  EXPECT_EQ(Bytes(c.List.Icons(4)), Bytes(red.get()));
  // A removed icon no longer reports to the list.
  c.Events = 0;
  c.List.Clear();
  EXPECT_EQ(c.Events, 1);
}

TEST(IconList, AssignmentFromListsIconsAndItself) {
  TCounted c;
  auto red = LoadIcon("red8.ico"), lime = LoadIcon("lime4.ico");
  c.List.Add(red.get());
  c.List.Add(lime.get());
  zf::TIcon* first = c.List.Icons(0);
  c.Events = 0;
  c.List.Assign(&c.List);
  EXPECT_EQ(c.List.Count(), 2);
  EXPECT_EQ(c.List.Icons(0), first);
  EXPECT_EQ(c.Events, 0);

  TCounted copy;
  copy.List.Assign(&c.List);
  EXPECT_EQ(copy.Events, 1);
  ASSERT_EQ(copy.List.Count(), 2);
  EXPECT_NE(copy.List.Icons(0), first);
  EXPECT_EQ(Bytes(copy.List.Icons(1)), Bytes(lime.get()));
  copy.List.Assign(red.get());
  ASSERT_EQ(copy.List.Count(), 1);
  EXPECT_EQ(Bytes(copy.List.Icons(0)), Bytes(red.get()));
  copy.List.Assign(nullptr);
  EXPECT_EQ(copy.List.Count(), 0);
  zf::TBitmap bitmap;
  EXPECT_THROW(copy.List.Assign(&bitmap), zf::EConvertError);
}

TEST(IconList, ListOperationsStoringAndResources) {
  auto red = LoadIcon("red8.ico");
  TIconList list;
  for (int i = 0; i < 3; ++i) list.Add(red.get());
  zf::TIcon *a = list.Icons(0), *b = list.Icons(1), *c = list.Icons(2);
  list.Exchange(0, 2);
  EXPECT_EQ(list.IndexOf(a), 2);
  EXPECT_EQ(list.IndexOf(c), 0);
  list.Move(2, 0);  // a, c, b
  EXPECT_EQ(list.IndexOf(a), 0);
  EXPECT_EQ(list.IndexOf(b), 2);
  EXPECT_EQ(list.IndexOf(red.get()), -1);
  list.Insert(3, red.get());
  EXPECT_EQ(list.Count(), 4);
  EXPECT_THROW(list.Insert(6, red.get()), zf::EListError);
  EXPECT_THROW(list.Delete(4), zf::EListError);
  EXPECT_THROW(list.Icons(-1), zf::EListError);

  // Stored: a non-empty list without an ancestor of its length, or another object at some index.
  TIconList empty, other;
  EXPECT_FALSE(empty.StoresIcons(nullptr));
  EXPECT_TRUE(list.StoresIcons(nullptr));
  EXPECT_TRUE(list.StoresIcons(&empty));
  for (int i = 0; i < 4; ++i) other.Add(red.get());
  EXPECT_TRUE(list.StoresIcons(&other));
  EXPECT_FALSE(list.StoresIcons(&list));
  EXPECT_FALSE(empty.StoresIcons(&empty));

  // Icons of the module's resources.
  TIconList res;
  EXPECT_EQ(res.AddResource(GetModuleHandleA(nullptr), "TESTICON"), 0);
  res.InsertResource(0, GetModuleHandleA(nullptr), "TESTICON");
  ASSERT_EQ(res.Count(), 2);
  EXPECT_FALSE(res.Icons(0)->Empty());
  EXPECT_EQ(res.Icons(1)->Width(), 32);
  EXPECT_THROW(res.AddResource(GetModuleHandleA(nullptr), "NOSUCHICON"), zf::EInvalidGraphic);
}

}  // namespace
