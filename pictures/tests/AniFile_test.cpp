// TAnimatedCursorImage under Wine: files assembled from icoutils' icons and
// cursor, system icons per step, strips, assignments and failures.
#include <gtest/gtest.h>

#include <cstdio>

#include "AniFile.h"
#include "AniTestSupport.h"
#include "IcoList.h"
#include "WinTestSupport.h"

using namespace pictures;
using namespace anitest;
using wintest::Rgb;

namespace {

// Red icon, lime icon, yellow cursor (hot spot 3, 5): 32 x 32 each.
std::string ThreeSteps() {
  TAniRecipe recipe;
  recipe.Icons = {Fixture("red8.ico"), Fixture("lime4.ico"), Fixture("yellow8.cur")};
  recipe.Rate = 6;
  recipe.Title = "Ampulheta";
  recipe.Author = "Zivo";
  return BuildAni(recipe);
}

void Load(TAnimatedCursorImage& ani, const std::string& file) {
  zf::TMemoryStream s(file);
  ani.LoadFromStream(s);
}

TEST(AnimatedCursor, StepsHoldSystemIconsAndHotSpots) {
  TAnimatedCursorImage ani;
  Load(ani, ThreeSteps());
  ASSERT_EQ(ani.Count(), 3);
  EXPECT_EQ(ani.Title(), "Ampulheta");
  EXPECT_EQ(ani.Author(), "Zivo");
  EXPECT_EQ(ani.ImageColors(), 256);
  EXPECT_EQ(ani.Header().Steps, 3u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(ani.Icons(i), nullptr);
    EXPECT_NE(ani.Icons(i)->Handle(), nullptr);
    EXPECT_EQ(ani.Icons(i)->Width(), 32);
    EXPECT_EQ(ani.Frames(i)->Jiffies, 6u);
    EXPECT_EQ(ani.Frames(i)->FrameNumber, i);
  }
  EXPECT_TRUE(ani.Frames(0)->IsIcon);
  EXPECT_EQ(ani.Frames(0)->HotX, 16);
  EXPECT_FALSE(ani.Frames(2)->IsIcon);
  EXPECT_EQ(ani.Frames(2)->HotX, 3);
  EXPECT_EQ(ani.Frames(2)->HotY, 5);
  EXPECT_THROW(ani.Frames(3), zf::EListError);

  // Four frames in eight steps: steps of one frame show the same icon.
  TAniRecipe recipe;
  recipe.Icons = {Fixture("red8.ico"), Fixture("lime4.ico"), Fixture("blue32.ico"), Fixture("yellow8.cur")};
  recipe.Steps = 8;
  recipe.Seq = {0, 1, 2, 3, 3, 2, 1, 0};
  recipe.Rates = {1, 2, 3, 4, 5, 6, 7, 8};
  Load(ani, BuildAni(recipe));
  ASSERT_EQ(ani.Count(), 8);
  EXPECT_EQ(ani.Icons(4), ani.Icons(3));
  EXPECT_EQ(ani.Frames(7)->Jiffies, 8u);
  EXPECT_EQ(ani.Title(), "");
}

TEST(AnimatedCursor, DrawStripSideBySideAndStacked) {
  TAnimatedCursorImage ani;
  Load(ani, ThreeSteps());
  zf::TBitmap strip;
  ani.DrawStrip(strip, zf::clWhite, false, false);
  EXPECT_EQ(strip.Width(), 96);
  EXPECT_EQ(strip.Height(), 32);
  EXPECT_EQ(Rgb(strip, 16, 16), 0xFF0000u);
  EXPECT_EQ(Rgb(strip, 48, 16), 0x00FF00u);
  EXPECT_EQ(Rgb(strip, 80, 16), 0xFFFF00u);
  ani.DrawStrip(strip, zf::clWhite, true, false);
  EXPECT_EQ(strip.Width(), 32);
  EXPECT_EQ(strip.Height(), 96);
  EXPECT_EQ(Rgb(strip, 16, 48), 0x00FF00u);
  EXPECT_EQ(Rgb(strip, 16, 80), 0xFFFF00u);
  // Colours limited to 256 (an 8-bit icon was met): an 8-bit picture, the same colours.
  ani.DrawStrip(strip, zf::clWhite, false, true);
  EXPECT_EQ(strip.PixelFormat(), zf::TPixelFormat::pf8bit);
  EXPECT_EQ(strip.Width(), 96);
  EXPECT_EQ(Rgb(strip, 48, 16), 0x00FF00u);
  // No steps: an empty bitmap.
  TAnimatedCursorImage none;
  none.DrawStrip(strip, zf::clWhite, false, true);
  EXPECT_TRUE(strip.Empty());
}

TEST(AnimatedCursor, AssignsToIconBitmapAndIconList) {
  TAnimatedCursorImage ani;
  Load(ani, ThreeSteps());
  zf::TIcon icon;
  icon.Assign(&ani);
  EXPECT_EQ(icon.Width(), 32);
  EXPECT_FALSE(icon.Empty());
  zf::TBitmap bitmap;
  bitmap.Canvas().Brush().SetColor(zf::clBlue);
  bitmap.Assign(&ani);
  EXPECT_EQ(bitmap.Width(), 96);
  EXPECT_EQ(bitmap.Height(), 32);
  EXPECT_EQ(Rgb(bitmap, 80, 16), 0xFFFF00u);
  TIconList list;
  int events = 0;
  list.OnChange = [&](zf::TObject*) { ++events; };
  list.Assign(&ani);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(events, 1);
  EXPECT_NE(list.Icons(0), ani.Icons(0));
  // Without steps an icon stays as it was.
  TAnimatedCursorImage none;
  icon.Assign(&none);
  EXPECT_FALSE(icon.Empty());
  zf::TFont font;
  EXPECT_THROW(font.Assign(&ani), zf::EConvertError);
}

TEST(AnimatedCursor, AssignCopiesAndSelfAssignmentKeepsEverything) {
  TAnimatedCursorImage ani;
  Load(ani, ThreeSteps());
  zf::TIcon* first = ani.Icons(0);
  ani.Assign(&ani);
  ASSERT_EQ(ani.Count(), 3);
  EXPECT_EQ(ani.Icons(0), first);
  EXPECT_EQ(ani.Title(), "Ampulheta");

  TAnimatedCursorImage copy;
  copy.Assign(&ani);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_NE(copy.Icons(0), first);
  EXPECT_EQ(copy.Icons(0)->Width(), 32);
  EXPECT_EQ(copy.Frames(2)->HotY, 5);
  EXPECT_EQ(copy.Frames(1)->FrameNumber, 1);
  EXPECT_EQ(copy.Author(), "Zivo");
  EXPECT_EQ(copy.ImageColors(), 256);
  ani.Clear();
  EXPECT_EQ(copy.Icons(2)->Width(), 32);  // its own icons
  copy.Assign(nullptr);
  EXPECT_EQ(copy.Count(), 0);
  EXPECT_EQ(copy.Title(), "");
}

TEST(AnimatedCursor, FailuresFilesAndSaving) {
  TAnimatedCursorImage ani;
  Load(ani, ThreeSteps());
  for (const std::string& bad : {std::string("RIFX") + std::string(40, 'a'), Riff(Anih(1, 1, 6, 0))}) {
    try {
      Load(ani, bad);
      ADD_FAILURE() << "accepted";
    } catch (const zf::EReadError& e) {
      EXPECT_STREQ(e.what(), "Stream read error");
    }
  }
  // Nothing in the stream: nothing read.
  Load(ani, ThreeSteps());
  Load(ani, "");
  EXPECT_EQ(ani.Count(), 3);

  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string path = std::string(dir) + "zivo_anifile_test.ani";
  {
    zf::TMemoryStream m(ThreeSteps());
    m.SaveToFile(path);
  }
  TAnimatedCursorImage fromFile;
  fromFile.LoadFromFile(path);
  EXPECT_EQ(fromFile.Count(), 3);
  std::remove(path.c_str());
  EXPECT_THROW(fromFile.LoadFromFile(path), zf::EFOpenError);
  EXPECT_EQ(fromFile.Count(), 0);

  wintest::TBoxAnswer answer;
  zf::TMemoryStream out;
  EXPECT_THROW(ani.SaveToStream(out), zf::EAbort);
  EXPECT_EQ(answer.Text(), "Function not yet implemented");
  EXPECT_EQ(out.Size(), 0);
}

}  // namespace
