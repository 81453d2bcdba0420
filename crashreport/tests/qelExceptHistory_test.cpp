#include "qelExceptHistory.h"

#include <gtest/gtest.h>

namespace {

using qel::AutoActionDueAt;
using qel::TExceptionHistory;

constexpr uint64_t kNow = 13'400'000'000ull;

// Ten stamps, newest first, each `step` seconds apart, the newest at now.
void Fill(TExceptionHistory& h, uint64_t step, uint64_t now = kNow) {
  for (int i = 0; i < qel::kHistorySize; ++i) h[i] = now - static_cast<uint64_t>(i) * step;
}

TEST(ExceptionHistory, PushShiftsAndDropsTheOldest) {
  TExceptionHistory h = {};
  for (uint64_t t = 1; t <= 12; ++t) qel::PushExceptionTime(h, t);
  for (int i = 0; i < qel::kHistorySize; ++i) EXPECT_EQ(h[i], 12u - static_cast<uint64_t>(i));
}

TEST(ExceptionHistory, AutoActionDue) {
  TExceptionHistory empty = {};
  EXPECT_FALSE(AutoActionDueAt(empty, 0, kNow));
  EXPECT_TRUE(AutoActionDueAt(empty, 1, kNow));  // 1: always, without the history

  TExceptionHistory h = {};
  // Ten within 30 s (the oldest 27 s old): due; spread over 31 s: not.
  Fill(h, 3);
  EXPECT_TRUE(AutoActionDueAt(h, 30, kNow));
  EXPECT_FALSE(AutoActionDueAt(h, 26, kNow));
  h[9] = kNow - 30;
  EXPECT_TRUE(AutoActionDueAt(h, 30, kNow));  // exactly n seconds old still counts
  h[9] = kNow - 31;
  EXPECT_FALSE(AutoActionDueAt(h, 30, kNow));

  // Nine exceptions only: the tenth entry is empty.
  Fill(h, 1);
  h[9] = 0;
  EXPECT_FALSE(AutoActionDueAt(h, 30, kNow));
  EXPECT_FALSE(AutoActionDueAt(empty, 30, kNow));
}

TEST(ExceptionHistory, NowSecondsCountsFrom1601) {
  // 2020-01-01 00:00:00 UTC is 13,222,310,400 s after 1601-01-01.
  EXPECT_GT(qel::NowSeconds(), 13'222'310'400ull);
  EXPECT_LT(qel::NowSeconds(), 13'222'310'400ull + 100ull * 365 * 86400);
}

}  // namespace
