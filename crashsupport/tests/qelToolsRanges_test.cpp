// Range table: readability of protections, merging, and the probe search
// against a plain linear search.
#include <gtest/gtest.h>

#include <random>

#include "qelToolsRanges.h"

namespace qel {
namespace {

TEST(RangeTable, ReadableProtections) {
  struct { uint32_t state, protect; bool readable; } cases[] = {
      {kMemCommit, 0x01, false},          // no access
      {kMemCommit, 0x02, true},           // read-only
      {kMemCommit, 0x04, true},           // read-write
      {kMemCommit, 0x08, true},           // write-copy (module data sections)
      {kMemCommit, 0x10, true},           // execute
      {kMemCommit, 0x20, true},
      {kMemCommit, 0x40, true},
      {kMemCommit, 0x80, true},           // execute write-copy
      {kMemCommit, 0x104, false},         // guard
      {kMemCommit, 0x204, true},          // no-cache modifier
      {kMemCommit, 0x402, true},          // write-combine modifier
      {kMemCommit, 0x0, false},
      {0x2000, 0x04, false},              // reserved
      {0x10000, 0x01, false},             // free
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.state << " " << c.protect);
    EXPECT_EQ(IsReadableProtection(c.state, c.protect), c.readable);
  }
}

TEST(RangeTable, RegionsMergeByReadability) {
  TRangeTable t;
  AppendRegion(t, 0, 0x10000, false);
  AppendRegion(t, 0x10000, 0x1000, true);
  AppendRegion(t, 0x11000, 0x2000, true);
  AppendRegion(t, 0x13000, 0x1000, false);
  AppendRegion(t, 0x14000, 0x1000, false);
  AppendRegion(t, 0x15000, 0x1000, true);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].Start, 0u);
  EXPECT_EQ(t[1].Start, 0x10000u);
  EXPECT_EQ(t[1].End, 0x13000u);
  EXPECT_EQ(t[2].End, 0x15000u);

  EXPECT_TRUE(IsRangeReadable(&t, 0x12FFF, 4));      // only the address counts here
  EXPECT_FALSE(IsSpanReadable(&t, 0x12FFE, 4));      // 2 bytes before the end of a readable range
  EXPECT_TRUE(IsSpanReadable(&t, 0x12FFC, 4));
  EXPECT_TRUE(IsSpanReadable(&t, 0x10000, 0x3000));  // across merged regions
  EXPECT_FALSE(IsSpanReadable(&t, 0x14000, 1));
  EXPECT_FALSE(IsRangeReadable(&t, 0x16000, 1));     // beyond the table
  EXPECT_FALSE(IsRangeReadable(nullptr, 0x10000, 1));
  TRangeTable empty;
  EXPECT_FALSE(IsRangeReadable(&empty, 0, 1));
}

// Tables of 0 to 3,000 ranges of random sizes: every range start, end - 1,
// and addresses beyond the table agree with a linear search.
TEST(RangeTable, ProbeSearchAgreesWithLinearSearch) {
  std::mt19937 rng(7);
  for (size_t count = 0; count <= 3000; count += (count < 80 ? 1 : 37)) {
    TRangeTable t;
    uintptr_t at = 0;
    for (size_t i = 0; i < count; ++i) {
      const uintptr_t size = 0x1000 * (1 + rng() % 16);
      t.push_back({at, at + size, i % 2 == 1});  // alternate, as merging leaves them
      at += size;
    }
    auto linear = [&](uintptr_t a) {
      for (const TReadableRange& r : t)
        if (a >= r.Start && a < r.End) return r.Readable;
      return false;
    };
    for (const TReadableRange& r : t) {
      ASSERT_EQ(IsRangeReadable(&t, r.Start, 1), linear(r.Start)) << count;
      ASSERT_EQ(IsRangeReadable(&t, r.End - 1, 1), linear(r.End - 1)) << count;
      ASSERT_EQ(IsSpanReadable(&t, r.Start, r.End - r.Start), r.Readable) << count;
    }
    ASSERT_FALSE(IsRangeReadable(&t, at, 1));
    ASSERT_FALSE(IsRangeReadable(&t, at + 0x123456, 1));
  }
}

}  // namespace
}  // namespace qel
