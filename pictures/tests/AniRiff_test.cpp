// The animated cursor walk over files assembled from icoutils' icons and
// cursors: steps, rates, sequences, hot spots, texts, pads, truncation, and the
// headers that make the read fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "AniRiff.h"
#include "AniTestSupport.h"

using namespace pictures;
using namespace anitest;

namespace {

struct TFixtures {
  std::string Red = Fixture("red8.ico"), Lime = Fixture("lime4.ico"), Blue = Fixture("blue32.ico"),
              Yellow = Fixture("yellow8.cur"), Small = Fixture("small16.ico");
};
const TFixtures& Icons() {
  static const TFixtures f;
  return f;
}

TAniContent Read(const std::string& file, std::vector<std::string>* images = nullptr) {
  return ReadAniRiff(file, ProbingIconLoader(images));
}

void ExpectReadError(const std::string& file, const char* what) {
  try {
    Read(file);
    ADD_FAILURE() << what << ": accepted";
  } catch (const zf::EReadError& e) {
    EXPECT_STREQ(e.what(), "Stream read error") << what;
  }
}

TEST(AniRiff, FixturesAreThere) {
  ASSERT_GT(Icons().Red.size(), 100u);
  ASSERT_TRUE(ProbeIconImage(Icons().Red));
  ASSERT_GT(Icons().Yellow.size(), 100u);
}

TEST(AniRiff, StepsHotSpotsColoursAndTexts) {
  TAniRecipe recipe;
  recipe.Icons = {Icons().Red, Icons().Lime, Icons().Yellow};
  recipe.Rate = 6;
  recipe.Title = "Relógio";
  recipe.Author = "Equipe";
  std::vector<std::string> images;
  const TAniContent c = Read(BuildAni(recipe), &images);
  ASSERT_EQ(c.Steps.size(), 3u);
  EXPECT_EQ(c.Header.Steps, 3u);
  EXPECT_EQ(c.Header.Frames, 3u);
  EXPECT_EQ(c.Title, "Relógio");
  EXPECT_EQ(c.Author, "Equipe");
  EXPECT_EQ(c.ImageColors, 256);
  for (int i = 0; i < 3; ++i) {
    const TAniStep& s = c.Steps[static_cast<size_t>(i)];
    EXPECT_EQ(s.FrameNumber, i);
    EXPECT_EQ(s.Icon, i);
    EXPECT_EQ(s.Jiffies, 6u);
    EXPECT_EQ(std::string(s.ChunkId, 4), "icon");
    EXPECT_EQ(s.ChunkSize, recipe.Icons[static_cast<size_t>(i)].size());
  }
  // Icons: their centre; the cursor: its directory's hot spot, and it is handed on as an icon.
  EXPECT_TRUE(c.Steps[0].IsIcon);
  EXPECT_EQ(std::make_pair(c.Steps[0].HotX, c.Steps[0].HotY), std::make_pair(16, 16));
  EXPECT_FALSE(c.Steps[2].IsIcon);
  EXPECT_EQ(std::make_pair(c.Steps[2].HotX, c.Steps[2].HotY), std::make_pair(3, 5));
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[2][2], 1);
  EXPECT_EQ(images[2].substr(3), Icons().Yellow.substr(3));

  // A cursor of two images: the last entry's hot spot.
  std::string two = Icons().Yellow;
  const uint32_t shift = 16;
  std::string entry = two.substr(6, 16);
  uint32_t offset = 0;
  std::memcpy(&offset, entry.data() + 12, 4);
  offset += shift;
  std::memcpy(entry.data() + 12, &offset, 4);
  entry[4] = 7, entry[6] = 9;
  two = two.substr(0, 4) + '\2' + '\0' + two.substr(6, 16) + entry + two.substr(22);
  std::memcpy(two.data() + 6 + 12, &offset, 4);  // the first entry moves by one entry too
  recipe.Icons = {two};
  const TAniContent c2 = Read(BuildAni(recipe));
  EXPECT_EQ(std::make_pair(c2.Steps[0].HotX, c2.Steps[0].HotY), std::make_pair(7, 9));

  // A 4-bit and a 32-bit icon: 16 colours are the most counted.
  recipe.Icons = {Icons().Lime, Icons().Blue};
  EXPECT_EQ(Read(BuildAni(recipe)).ImageColors, 16);
}

TEST(AniRiff, OneStepPerStepWithRatesAndSequence) {
  // Four frames shown in eight steps: every step keeps its own rate and frame.
  TAniRecipe recipe;
  recipe.Icons = {Icons().Red, Icons().Lime, Icons().Blue, Icons().Yellow};
  recipe.Steps = 8;
  recipe.Rates = {1, 2, 3, 4, 5, 6, 7, 8};
  recipe.Seq = {0, 1, 2, 3, 3, 2, 1, 0};
  const TAniContent c = Read(BuildAni(recipe));
  ASSERT_EQ(c.Steps.size(), 8u);
  EXPECT_EQ(c.Header.Steps, 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(c.Steps[i].Jiffies, i + 1);
    EXPECT_EQ(c.Steps[i].FrameNumber, static_cast<int32_t>(recipe.Seq[i]));
    EXPECT_EQ(c.Steps[i].Icon, static_cast<int>(recipe.Seq[i]));  // one frame, two steps: the same icon
  }
  // Extra rate and sequence values are dropped.
  recipe.Steps = 2;
  const TAniContent two = Read(BuildAni(recipe));
  // Frames 2 and 3 were asked for by no step: each gets a step of its own.
  ASSERT_EQ(two.Steps.size(), 4u);
  EXPECT_EQ(two.Steps[0].Jiffies, 1u);
  EXPECT_EQ(two.Steps[1].FrameNumber, 1);
  EXPECT_EQ(two.Steps[2].FrameNumber, -1);
  EXPECT_EQ(two.Steps[2].Icon, 2);
  EXPECT_EQ(two.Steps[3].Jiffies, 6u);  // the header's rate
}

TEST(AniRiff, WithoutAnihEveryIconIsAStep) {
  TAniRecipe recipe;
  recipe.WithAnih = false;
  recipe.Icons = {Icons().Red, Icons().Lime};
  const TAniContent c = Read(BuildAni(recipe));
  ASSERT_EQ(c.Steps.size(), 2u);
  for (const TAniStep& s : c.Steps) {
    EXPECT_EQ(s.FrameNumber, -1);
    EXPECT_EQ(s.Jiffies, 0u);
  }
}

TEST(AniRiff, PadsLongTitlesAndUnknownChunks) {
  const std::string longTitle(300, 'T');
  std::string body = Chunk("junk", "abc");  // odd: a pad byte follows
  body += List("INFO", Chunk("INAM", longTitle) + Chunk("ISFT", "x") + Chunk("IART", "odd"));
  body += List("rubb", "ignored");
  body += Anih(1, 1, 3);
  body += List("fram", Chunk("ICON", "zz") + Chunk("icon", Icons().Small));
  const TAniContent c = Read(Riff(body));
  EXPECT_EQ(c.Title, std::string(255, 'T'));
  EXPECT_EQ(c.Author, "odd");
  ASSERT_EQ(c.Steps.size(), 1u);
  EXPECT_EQ(std::make_pair(c.Steps[0].HotX, c.Steps[0].HotY), std::make_pair(8, 8));
  // Without the pad byte the next identifier is read one byte early: the walk
  // finds no "anih" and no step.
  std::string unpadded = Chunk("junk", "abc", false) + Anih(1, 1, 3) + List("fram", Chunk("icon", Icons().Small));
  ExpectReadError(Riff(unpadded), "missing pad");
}

TEST(AniRiff, TruncatedAndDamagedChunksKeepWhatWasRead) {
  TAniRecipe recipe;
  recipe.Icons = {Icons().Red, Icons().Lime, Icons().Blue, Icons().Yellow};
  recipe.Steps = 8;
  recipe.Seq = {0, 1, 2, 3, 3, 2, 1, 0};
  const std::string full = BuildAni(recipe);
  // Cut inside the third icon: the steps of frames 0 and 1 stay.
  const size_t third = full.find(Icons().Blue);
  ASSERT_NE(third, std::string::npos);
  const TAniContent cut = Read(full.substr(0, third + 100));
  ASSERT_EQ(cut.Steps.size(), 4u);
  EXPECT_EQ(cut.Header.Steps, 4u);
  for (const TAniStep& s : cut.Steps) EXPECT_LE(s.Icon, 1);
  // An icon sub-chunk claiming nearly 4 GB ends the walk the same way.
  std::string huge = full;
  const uint32_t big = 0xFFFFFFF0;
  std::memcpy(huge.data() + third - 4, &big, 4);
  EXPECT_EQ(Read(huge).Steps.size(), 4u);
  // A sub-chunk that is neither icon nor cursor ends the list.
  std::string damaged = full;
  damaged[third + 2] = 3;
  EXPECT_EQ(Read(damaged).Steps.size(), 4u);
  // A "rate" chunk cut in its middle gives its whole values.
  const std::string rated = Riff(Anih(1, 1, 9) + List("fram", Chunk("icon", Icons().Small)) + Chunk("rate", U32s({4, 5})));
  EXPECT_EQ(Read(rated.substr(0, rated.size() - 3)).Steps[0].Jiffies, 4u);
}

TEST(AniRiff, BadHeadersFail) {
  const std::string frames = List("fram", Chunk("icon", Icons().Small));
  std::string notRiff = Riff(Anih(1, 1, 6) + frames);
  notRiff[0] = 'X';
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"short", "RIFF"},
      {"not RIFF", notRiff},
      {"not ACON", Riff(Anih(1, 1, 6) + frames, "AVI ")},
      {"flag bit 0 clear", Riff(Anih(1, 1, 6, 2) + frames)},
      {"no steps", Riff(Anih(1, 0, 6) + frames)},
      {"more steps than bytes", Riff(Anih(1, 0x7FFFFFFF, 6) + frames)},
      {"frames but no icons", Riff(Anih(1, 1, 6) + List("fram", ""))},
      {"an icon the system cannot take", Riff(Anih(1, 1, 6) + List("fram", Chunk("icon", std::string(40, '\0'))))},
  };
  for (const auto& [what, file] : cases) {
    const auto t0 = std::chrono::steady_clock::now();
    ExpectReadError(file, what);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << what;
  }
}

}  // namespace
