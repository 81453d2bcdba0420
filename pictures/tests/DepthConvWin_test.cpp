// ConvertBitmapDepth over framework bitmaps read by the system, under Wine:
// methods read back as pictures, the own file form, 1 and 4 bits, bit-fields
// sections, colour counts, and the operations that are refused.
#include <gtest/gtest.h>

#include <cstring>

#include "DepthConv.h"
#include "WinTestSupport.h"

using namespace pictures;
using wintest::Fill24;
using wintest::Rgb;

namespace {

TBmpInfoHeader InfoOf(zf::TMemoryStream& s) {
  TBmpInfoHeader ih;
  EXPECT_GE(s.Size(), 54);
  std::memcpy(static_cast<void*>(&ih), s.Memory() + 14, sizeof ih);
  return ih;
}

std::unique_ptr<zf::TBitmap> Load(zf::TMemoryStream& s) {
  auto b = std::make_unique<zf::TBitmap>();
  s.SetPosition(0);
  b->LoadFromStream(s);
  return b;
}

TEST(ConvertBitmapDepth, ABitmapWithoutImageIsInvalid) {
  zf::TBitmap empty;
  try {
    ConvertBitmapDepth(empty, zf::TPixelFormat::pf8bit, 0);
    ADD_FAILURE() << "accepted";
  } catch (const zf::EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Bitmap image is not valid");
  }
}

TEST(ConvertBitmapDepth, EveryMethodGivesAn8BitPictureAsItsFormulaSays) {
  const uint32_t px[] = {0xFFFFFF, 0x4064C8, 0x000000, 0x2B8055};
  zf::TBitmap b;
  Fill24(b, 4, 2, [&](int x, int y) { return y ? 0x808080u : px[x]; });
  struct TCase {
    uint8_t Method;
    uint32_t Expected;  // pixel (1, 0)
  };
  const TCase cases[] = {
      {mmPopularity, 0x4064C8},                                  // few colours stay exact
      {mmMedianCut, 0x4F6FCF},                                   // its bin's upper values
      {mmCube784, 0x2B6DAA},
      {mmCube666, 0x3366CC},
      {mmInterleave, 0x0000C8},                                  // stored row 1, column 1: blue
      {mmGrayscale, 0x646464},                                   // (77 R + 150 G + 29 B) shr 8 = 100
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(int(c.Method));
    auto s = ConvertBitmapDepth(b, zf::TPixelFormat::pf8bit, c.Method);
    EXPECT_EQ(s->Position(), 0);
    const TBmpInfoHeader ih = InfoOf(*s);
    EXPECT_EQ(+ih.BitCount, 8);
    EXPECT_EQ(+ih.Height, 2);  // the framework's sections are top-down: the file is bottom-up
    EXPECT_EQ(+ih.Compression, kBiRgb);
    auto back = Load(*s);
    EXPECT_EQ(back->PixelFormat(), zf::TPixelFormat::pf8bit);
    EXPECT_EQ(Rgb(*back, 1, 0), c.Expected);
  }
  // A 24-bit target is the same picture.
  auto plain = ConvertBitmapDepth(b, zf::TPixelFormat::pf24bit, mmGrayscale);
  EXPECT_EQ(Rgb(*Load(*plain), 1, 0), 0x4064C8u);
}

TEST(ConvertBitmapDepth, SameFormatGivesTheOwnFileFormUnlessGray) {
  zf::TBitmap b;
  Fill24(b, 6, 5, [](int x, int y) { return x * 0x2A0000u + y * 0x0033u; });
  b.SetPixelFormat(zf::TPixelFormat::pf8bit);
  zf::TMemoryStream own;
  b.SaveToStream(own);
  EXPECT_EQ(ConvertBitmapDepth(b, zf::TPixelFormat::pf8bit, mmPopularity)->Bytes(), own.Bytes());
  auto gray = ConvertBitmapDepth(b, zf::TPixelFormat::pf8bit, mmGrayscale);
  EXPECT_NE(gray->Bytes(), own.Bytes());
  auto g = Load(*gray);
  for (int x = 0; x < 6; ++x) {
    const uint32_t c = Rgb(*g, x, 4);
    EXPECT_EQ(c, (c & 0xFF) * 0x010101u) << x;
  }
}

TEST(ConvertBitmapDepth, OneAndFourBitsAreReadByTheSystem) {
  zf::TBitmap b;
  const uint32_t vga[] = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080};
  Fill24(b, 6, 2, [&](int x, int y) { return y ? 0xFFFFFFu : vga[x]; });
  auto four = ConvertBitmapDepth(b, zf::TPixelFormat::pf4bit, 0);
  EXPECT_EQ(+InfoOf(*four).BitCount, 4);
  auto b4 = Load(*four);
  EXPECT_EQ(b4->PixelFormat(), zf::TPixelFormat::pf4bit);
  for (int x = 0; x < 6; ++x) EXPECT_EQ(Rgb(*b4, x, 0), vga[x]) << x;
  auto one = ConvertBitmapDepth(b, zf::TPixelFormat::pf1bit, 0);
  EXPECT_EQ(+InfoOf(*one).BitCount, 1);
  auto b1 = Load(*one);
  EXPECT_EQ(b1->PixelFormat(), zf::TPixelFormat::pf1bit);
  EXPECT_EQ(Rgb(*b1, 1, 1), 0xFFFFFFu);
  EXPECT_EQ(Rgb(*b1, 0, 0), 0u);
}

TEST(ConvertBitmapDepth, BitFieldsSectionGivesAPlainHeader) {
  struct {
    BITMAPINFOHEADER Header;
    DWORD Masks[3];
  } bmi{};
  bmi.Header.biSize = sizeof(BITMAPINFOHEADER);
  bmi.Header.biWidth = 5;
  bmi.Header.biHeight = 3;
  bmi.Header.biPlanes = 1;
  bmi.Header.biBitCount = 16;
  bmi.Header.biCompression = BI_BITFIELDS;
  bmi.Header.biClrUsed = 9;
  bmi.Masks[0] = 0xF800, bmi.Masks[1] = 0x07E0, bmi.Masks[2] = 0x001F;
  void* bits = nullptr;
  HBITMAP h = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&bmi), DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_TRUE(h);
  auto* px = static_cast<uint16_t*>(bits);
  const size_t stride = static_cast<size_t>(DibStride(5, 16)) / 2;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) px[static_cast<size_t>(y) * stride + static_cast<size_t>(x)] = y == 2 ? 0xF800 : 0x001F;
  zf::TBitmap b;
  b.SetHandle(h);
  auto s = ConvertBitmapDepth(b, zf::TPixelFormat::pf8bit, mmPopularity);
  const TBmpInfoHeader ih = InfoOf(*s);
  EXPECT_EQ(+ih.Compression, kBiRgb);
  EXPECT_EQ(+ih.ClrUsed, 0u);
  EXPECT_EQ(+ih.Height, 3);
  EXPECT_EQ(+ih.Size, 40u);
  auto back = Load(*s);
  EXPECT_EQ(Rgb(*back, 0, 0), 0xFF0000u);  // the last stored row is the top one
  EXPECT_EQ(Rgb(*back, 4, 2), 0x0000FFu);
}

TEST(ConvertBitmapDepth, ColourCountsAndRefusedTargets) {
  zf::TBitmap b;
  Fill24(b, 3, 3, [](int x, int y) { return 0x102030u * static_cast<uint32_t>(x + y); });
  const std::pair<int, int> counts[] = {{2, 1}, {3, 4}, {17, 8}, {257, 24}};
  for (auto [colors, bits] : counts) EXPECT_EQ(+InfoOf(*ConvertBitmapColors(b, colors)).BitCount, bits) << colors;
  // The unit-wide method is the one a colour count uses.
  DefaultMappingMethod = mmGrayscale;
  auto gray = ConvertBitmapColors(b, 200);
  DefaultMappingMethod = mmPopularity;
  EXPECT_EQ(Rgb(*Load(*gray), 2, 2), 0x747474u);  // 0x4080C0: (77 x 64 + 150 x 128 + 29 x 192) shr 8 = 116
  for (zf::TPixelFormat f : {zf::TPixelFormat::pf16bit, zf::TPixelFormat::pf32bit}) {
    wintest::TBoxAnswer answer;
    EXPECT_THROW(ConvertBitmapDepth(b, f, 0), zf::EAbort);
    EXPECT_EQ(answer.Text(), "Function not yet implemented");
  }
}

}  // namespace
