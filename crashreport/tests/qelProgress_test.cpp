// The progress tracker with a clock and a view of the test's own.
#include <gtest/gtest.h>

#include "qelProgress.h"

using namespace qel;

namespace {

struct TFakeView : IProgressView {
  explicit TFakeView(std::vector<int>& shown) : Shown(shown) {}
  void ShowPosition(int perMille) override { Shown.push_back(perMille); }
  std::vector<int>& Shown;
};

struct ProgressTest : ::testing::Test {
  uint32_t Now = 5000;
  int ViewsMade = 0;
  std::vector<int> Shown;
  std::unique_ptr<TTraceProgress> Make(std::initializer_list<uint64_t> weights) {
    auto p = NewTraceProgress([this] { return Now; },
                              [this]() -> std::unique_ptr<IProgressView> {
                                ++ViewsMade;
                                return std::make_unique<TFakeView>(Shown);
                              });
    for (const uint64_t w : weights) AddProgressPhase(p.get(), w);
    return p;
  }
};

}  // namespace

TEST_F(ProgressTest, QuickWorkShowsNothing) {
  auto p = Make({100, 100});
  SetPhaseProgress(p.get(), 100);
  Now += kProgressDelayMs;  // not more than 750 ms yet
  SetPhaseProgress(p.get(), 200);
  EndProgressPhase(p.get());
  EndProgressPhase(p.get());
  EXPECT_EQ(ViewsMade, 0);
  EXPECT_TRUE(Shown.empty());
}

TEST_F(ProgressTest, WorkMoreThanHalfDoneShowsNothing) {
  auto p = Make({100, 100});
  EndProgressPhase(p.get());
  Now += 800;
  SetPhaseProgress(p.get(), 1);  // 50.05 % overall
  Now += 5000;
  SetPhaseProgress(p.get(), 500);
  EndProgressPhase(p.get());
  EXPECT_EQ(ViewsMade, 0);
}

TEST_F(ProgressTest, BarSpansTheRemainingWorkFromZeroToThousand) {
  auto p = Make({100, 300, 600});
  SetPhaseProgress(p.get(), 200);
  Now += 751;
  SetPhaseProgress(p.get(), 500);  // done 50 of 1000: the bar appears here
  ASSERT_EQ(ViewsMade, 1);
  EndProgressPhase(p.get());        // done 100: (100-50)*1000/950
  SetPhaseProgress(p.get(), 500);   // done 250
  EndProgressPhase(p.get());        // done 400
  SetPhaseProgress(p.get(), 2000);  // clamped: done 1000
  EndProgressPhase(p.get());
  EXPECT_EQ(Shown, (std::vector<int>{0, 52, 210, 368, 1000, 1000}));
  EXPECT_EQ(ViewsMade, 1);
  EndProgressPhase(p.get());  // past the last phase: nothing more
  EXPECT_EQ(Shown.size(), 6u);
  FreeTraceProgress(p);
  EXPECT_EQ(p, nullptr);
}

TEST_F(ProgressTest, TrackersThatShowNothing) {
  AddProgressPhase(nullptr, 5);
  SetPhaseProgress(nullptr, 5);
  EndProgressPhase(nullptr);
  auto noWork = Make({0});  // remaining total 0
  Now += 1000;
  SetPhaseProgress(noWork.get(), 0);
  auto noPhases = Make({});
  SetPhaseProgress(noPhases.get(), 0);
  Now = 0;
  auto noStart = Make({10});  // a start tick of 0
  Now = 2000;
  SetPhaseProgress(noStart.get(), 1);
  EXPECT_EQ(ViewsMade, 0);
  auto negative = Make({10});
  Now += 1000;
  SetPhaseProgress(negative.get(), -300);
  EXPECT_EQ(Shown, (std::vector<int>{0}));
}

TEST(ProgressPercent, RoundsAtHalfAPercent) {
  const std::pair<int, int> cases[] = {{0, 0}, {4, 0}, {5, 1}, {994, 99}, {995, 100}, {1000, 100}};
  for (const auto& [p, percent] : cases) EXPECT_EQ(ProgressPercent(p), percent) << p;
}
