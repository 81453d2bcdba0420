// Colour-depth conversion over the plain bitmap model: level tables, the six
// mapping methods pixel by pixel against their formulas, the DIB reader's
// checks, and the headers of what the converter writes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "DepthConvCore.h"
#include "DibTestSupport.h"

using namespace pictures;
using dibtest::MakeRgb24;

namespace {

TRgbQuad Quad(uint32_t rgb) {
  return {static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb >> 16), 0};
}

// Index of pixel (x, y; y = 0 top) of a reduction.
uint8_t IndexAt(const TReduction& r, const TDib& d, int x, int y) {
  return r.Indexes[static_cast<size_t>(DibStride(d.Width(), 8)) * static_cast<size_t>(d.Height() - 1 - y) +
                   static_cast<size_t>(x)];
}

struct TParsed {
  TBmpFileHeader File;
  TBmpInfoHeader Info;
};
TParsed Headers(const std::string& bmp) {
  TParsed p;
  EXPECT_GE(bmp.size(), 54u);
  std::memcpy(&p.File, bmp.data(), 14);
  std::memcpy(&p.Info, bmp.data() + 14, 40);
  return p;
}

TEST(DepthConvLevels, NearestLevelTiesGoToTheLowerIndex) {
  EXPECT_EQ(NearestLevels(4)[42], 0);
  EXPECT_EQ(NearestLevels(4)[43], 1);
  EXPECT_EQ(NearestLevels(7)[64], 1);  // 43 and 85 are both 21 away
  EXPECT_EQ(NearestLevels(8)[255], 7);
  EXPECT_EQ(NearestLevels(5), nullptr);
  for (int levels : {4, 6, 7, 8}) {
    const auto values = LevelValues(levels);
    for (int v = 0; v < 256; ++v) {
      const int got = NearestLevels(levels)[v];
      for (int i = 0; i < levels; ++i) {
        const int dGot = std::abs(v - values[static_cast<size_t>(got)]), dI = std::abs(v - values[static_cast<size_t>(i)]);
        ASSERT_TRUE(dGot < dI || (dGot == dI && got <= i)) << levels << " levels, value " << v;
      }
    }
  }
}

TEST(DepthConvColors, BitsForAColourCount) {
  const std::pair<int, int> cases[] = {{0, 1}, {2, 1}, {3, 4}, {16, 4}, {17, 8}, {256, 8}, {257, 24}, {1 << 24, 24}};
  for (auto [colors, bits] : cases) EXPECT_EQ(BitsForColorCount(colors), bits) << colors;
}

TEST(DepthConvPopularity, ImagesOf256ColoursOrFewerStayExact) {
  for (int colors : {1, 2, 17, 255, 256}) {
    const TDib d = MakeRgb24(37, 23, [&](int x, int y) {
      const uint32_t k = static_cast<uint32_t>(x * 7 + y * 3) % static_cast<uint32_t>(colors);
      return (k << 16) | (((k * 7) & 255) << 8) | (255 - k);
    });
    const TReduction r = PopularColorReduce(d, 256);
    for (int y = 0; y < d.Height(); ++y)
      for (int x = 0; x < d.Width(); ++x)
        ASSERT_EQ(r.Palette[IndexAt(r, d, x, y)], Quad(dibtest::PixelOf(d, x, y))) << colors << " at " << x << "," << y;
    if (colors < 256) {
      EXPECT_EQ(r.Palette[static_cast<size_t>(colors)], Quad(0x808080));
    }
  }
}

TEST(DepthConvPopularity, PaletteByCountFirstOnATieAndNearestForTheRest) {
  // Counts: 0x102030 x1 (first seen), 0xFF0000 x3, 0x00FF00 x3, 0x0000FF x5.
  const uint32_t px[] = {0x102030, 0xFF0000, 0x00FF00, 0x0000FF, 0xFF0000, 0x00FF00,
                         0x0000FF, 0xFF0000, 0x00FF00, 0x0000FF, 0x0000FF, 0x0000FF};
  const TDib d = MakeRgb24(12, 1, [&](int x, int) { return px[x]; });
  const TReduction all = PopularColorReduce(d, 256);
  EXPECT_EQ(all.Palette[0], Quad(0x0000FF));
  EXPECT_EQ(all.Palette[1], Quad(0xFF0000));  // the tie goes to the colour met first
  EXPECT_EQ(all.Palette[2], Quad(0x00FF00));
  EXPECT_EQ(all.Palette[3], Quad(0x102030));
  EXPECT_EQ(all.Palette[4], Quad(0x808080));
  EXPECT_EQ(all.Important, 0u);
  // Two colours wanted: the rest take the nearest of them.
  const TReduction two = PopularColorReduce(d, 2);
  EXPECT_EQ(IndexAt(two, d, 0, 0), 0);  // 0x102030 is nearer to 0x0000FF than to red
  EXPECT_EQ(IndexAt(two, d, 2, 0), 0);  // green: as far from blue as from red, the first wins
  EXPECT_EQ(IndexAt(two, d, 1, 0), 1);
  EXPECT_EQ(two.Palette[2], Quad(0x808080));
}

TEST(DepthConvPopularity, MoreThan2049ColoursDropBlueBitsFirst) {
  // 2049 colours with even blue; the 2050th differs from one of them in blue's low bit only.
  const auto colour = [](int i) { return static_cast<uint32_t>(((i % 64) << 18) | ((i / 64) << 10) | 0x20); };
  const auto make = [&](int n) {
    return MakeRgb24(n, 1, [&](int x, int) { return x < 2049 ? colour(x) : colour(0) | 1; });
  };
  const TReduction kept = PopularColorReduce(make(2049), 256);
  EXPECT_EQ(std::vector<uint8_t>(kept.Masks, kept.Masks + 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
  const TReduction dropped = PopularColorReduce(make(2050), 256);
  EXPECT_EQ(std::vector<uint8_t>(dropped.Masks, dropped.Masks + 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFE}));
  // Thousands of distinct colours: blue, red, green, blue ... lose bits in turn.
  const TDib photo = dibtest::PhotoLike(160, 120);
  const TReduction p = PopularColorReduce(photo, 256);
  EXPECT_LE(p.Masks[2], p.Masks[0]);
  EXPECT_LE(p.Masks[0], p.Masks[1]);
  EXPECT_LT(p.Masks[2], 0xFF);
}

TEST(DepthConvMedianCut, BoxesAndTheirMeanColours) {
  // One colour: one box, its bin's upper values, black after it.
  const TDib one = MakeRgb24(5, 4, [](int, int) { return 0xC86432u; });
  const TReduction r1 = MedianCutReduce(one, 256);
  EXPECT_EQ(r1.Important, 1u);
  EXPECT_EQ(r1.Palette[0], Quad(0xCF6F3F));
  EXPECT_EQ(r1.Palette[1], Quad(0));
  EXPECT_EQ(r1.Palette[255], Quad(0));
  // Two bins in one box: per channel the mean of (16 v + 15) over the bins.
  const TDib two = MakeRgb24(3, 1, [](int x, int) { return x == 0 ? 0x100000u : 0x300000u; });
  const TReduction r2 = MedianCutReduce(two, 1);
  EXPECT_EQ(r2.Important, 1u);
  EXPECT_EQ(r2.Palette[0], Quad(0x2F0F0F));
  // Black and white split on red (the first channel on a tie); a box of values
  // all 16 or less is black.
  const TDib bw = MakeRgb24(4, 1, [](int x, int) { return x % 2 ? 0xFFFFFFu : 0x000000u; });
  const TReduction r3 = MedianCutReduce(bw, 256);
  EXPECT_EQ(r3.Important, 2u);
  EXPECT_EQ(r3.Palette[0], Quad(0));
  EXPECT_EQ(r3.Palette[1], Quad(0xFFFFFF));
  EXPECT_EQ(IndexAt(r3, bw, 0, 0), 0);
  EXPECT_EQ(IndexAt(r3, bw, 1, 0), 1);
  // Many colours: 256 boxes, every pixel in a box whose colour is near its own.
  const TDib photo = dibtest::PhotoLike(200, 150);
  const TReduction r4 = MedianCutReduce(photo, 256);
  EXPECT_EQ(r4.Important, 256u);
  int64_t worst = 0;
  for (int y = 0; y < photo.Height(); y += 7)
    for (int x = 0; x < photo.Width(); x += 5) {
      const uint32_t c = dibtest::PixelOf(photo, x, y);
      const TRgbQuad q = r4.Palette[IndexAt(r4, photo, x, y)];
      worst = std::max<int64_t>({worst, std::abs(static_cast<int>(c >> 16) - q.Red),
                                 std::abs(static_cast<int>((c >> 8) & 255) - q.Green), std::abs(static_cast<int>(c & 255) - q.Blue)});
    }
  EXPECT_LT(worst, 64);
}

TEST(DepthConvFixed, CubesInterleaveAndGrayAgainstTheirFormulas) {
  const uint32_t px[] = {0xFFFFFF, 0x4064C8, 0x000000, 0x2B8055};
  const TDib d = MakeRgb24(4, 2, [&](int x, int y) { return y ? 0x808080u : px[x]; });

  const TReduction c7 = CubeReduce784(d);
  EXPECT_EQ(IndexAt(c7, d, 0, 0), 223);
  EXPECT_EQ(IndexAt(c7, d, 1, 0), 1 * 32 + 3 * 4 + 2);  // red 64 -> 43, green 100 -> 109, blue 200 -> 170
  EXPECT_EQ(IndexAt(c7, d, 2, 0), 0);
  EXPECT_EQ(c7.Palette[46], Quad(0x2B6DAA));
  EXPECT_EQ(c7.Palette[223], Quad(0xFFFFFF));
  EXPECT_EQ(c7.Palette[224], Quad(0x808080));
  EXPECT_EQ(c7.Important, 224u);

  const TReduction c6 = CubeReduce666(d);
  EXPECT_EQ(IndexAt(c6, d, 1, 0), 1 * 36 + 2 * 6 + 4);
  EXPECT_EQ(c6.Palette[52], Quad(0x3366CC));
  EXPECT_EQ(c6.Palette[215], Quad(0xFFFFFF));
  EXPECT_EQ(c6.Palette[216], Quad(0x808080));
  EXPECT_EQ(c6.Important, 216u);

  // Interleave: stored row y (bottom-up) and column x choose the channel by (x + y) mod 3.
  const TReduction il = InterleaveReduce(d);
  EXPECT_EQ(IndexAt(il, d, 0, 0), (0xFF >> 2) | 64);   // top row is stored row 1: (0 + 1) mod 3 = 1, green
  EXPECT_EQ(IndexAt(il, d, 1, 0), (0xC8 >> 2) | 128);  // (1 + 1) mod 3 = 2, blue
  EXPECT_EQ(IndexAt(il, d, 2, 0), 0);                  // red of black
  EXPECT_EQ(IndexAt(il, d, 3, 0), (0x80 >> 2) | 64);   // green
  EXPECT_EQ(IndexAt(il, d, 0, 1), 0x80 >> 2);          // bottom row, stored row 0: red
  EXPECT_EQ(il.Palette[63], Quad(0xFC0000));
  EXPECT_EQ(il.Palette[64 + 32], Quad(0x008000));
  EXPECT_EQ(il.Palette[191], Quad(0x0000FC));
  EXPECT_EQ(il.Palette[192], Quad(0));

  const TReduction g = RgbToGray(d);
  EXPECT_EQ(IndexAt(g, d, 0, 0), 255);
  EXPECT_EQ(IndexAt(g, d, 1, 0), (77 * 0x40 + 150 * 0x64 + 29 * 0xC8) >> 8);
  EXPECT_EQ(IndexAt(g, d, 3, 0), (77 * 0x2B + 150 * 0x80 + 29 * 0x55) >> 8);
  EXPECT_EQ(g.Palette[77], Quad(0x4D4D4D));
}

// --- the converter and the DIB reader ----------------------------------------------

std::string Bmp16BitFields(int w, int h, bool topDown) {
  TBmpInfoHeader ih;
  ih.Size = 40, ih.Width = w, ih.Height = topDown ? -h : h, ih.Planes = 1, ih.BitCount = 16;
  ih.Compression = kBiBitFields, ih.ClrUsed = 7, ih.ClrImportant = 3;
  const size_t stride = static_cast<size_t>(DibStride(w, 16));
  TBmpFileHeader fh;
  fh.Type = 0x4D42, fh.OffBits = 14 + 40 + 12;
  std::string s(reinterpret_cast<char*>(&fh), 14);
  s.append(reinterpret_cast<char*>(&ih), 40);
  const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
  s.append(reinterpret_cast<const char*>(masks), 12);
  std::string px(stride * static_cast<size_t>(h), '\0');
  // Top row red, the rest blue.
  for (int y = 0; y < h; ++y) {
    const int stored = topDown ? y : h - 1 - y;
    for (int x = 0; x < w; ++x) {
      const uint16_t v = y == 0 ? 0xF800 : 0x001F;
      std::memcpy(px.data() + stride * static_cast<size_t>(stored) + 2 * static_cast<size_t>(x), &v, 2);
    }
  }
  return s + px;
}

TEST(DepthConvConvert, BitFieldsAndTopDownInputGivePlainHeaders) {
  for (bool topDown : {false, true}) {
    const TDib src = ReadDib(Bmp16BitFields(5, 3, topDown));
    for (uint8_t method = 0; method <= mmGrayscale; ++method) {
      SCOPED_TRACE(testing::Message() << "top-down " << topDown << " method " << int(method));
      const std::string out = ConvertDibDepth(src, 8, method);
      const TParsed h = Headers(out);
      EXPECT_EQ(+h.File.Type, 0x4D42);
      EXPECT_EQ(+h.File.Size, out.size());
      EXPECT_EQ(+h.File.OffBits, 14u + 40 + 1024);
      EXPECT_EQ(+h.Info.Size, 40u);
      EXPECT_EQ(+h.Info.Compression, kBiRgb);
      EXPECT_EQ(+h.Info.ClrUsed, 0u);
      EXPECT_EQ(+h.Info.Height, 3);
      EXPECT_EQ(+h.Info.BitCount, 8);
      EXPECT_EQ(+h.Info.SizeImage, 8u * 3);
      const TDib back = ToRgb24(ReadDib(out));
      if (method == mmPopularity) {
        EXPECT_EQ(dibtest::PixelOf(back, 4, 0), 0xFF0000u);
        EXPECT_EQ(dibtest::PixelOf(back, 0, 2), 0x0000FFu);
      }
    }
    const std::string plain = ConvertDibDepth(src, 24, mmPopularity);
    EXPECT_EQ(+Headers(plain).Info.Compression, kBiRgb);
    EXPECT_EQ(+Headers(plain).File.OffBits, 54u);
    EXPECT_EQ(dibtest::PixelOf(ReadDib(plain), 1, 0), 0xFF0000u);
  }
}

TEST(DepthConvConvert, TargetsAndSameFormat) {
  const TDib photo = dibtest::PhotoLike(33, 17);
  // A 24-bit target is a plain copy, whatever the method.
  EXPECT_EQ(ReadDib(ConvertDibDepth(photo, 24, mmMedianCut)).Bits, photo.Bits);
  // 1 and 4 bits: the default tables, nearest colour.
  const TDib mono = ReadDib(ConvertDibDepth(MakeRgb24(3, 1, [](int x, int) { return x ? 0xF0F0F0u : 0x202020u; }), 1, 0));
  EXPECT_EQ(mono.BitCount(), 1);
  EXPECT_EQ(dibtest::PixelOf(ToRgb24(mono), 0, 0), 0u);
  EXPECT_EQ(dibtest::PixelOf(ToRgb24(mono), 1, 0), 0xFFFFFFu);
  const TDib vga = ReadDib(ConvertDibDepth(MakeRgb24(2, 1, [](int x, int) { return x ? 0xC0C0C0u : 0x7F0000u; }), 4, 0));
  EXPECT_EQ(vga.BitCount(), 4);
  EXPECT_EQ(dibtest::PixelOf(ToRgb24(vga), 0, 0), 0x800000u);
  EXPECT_EQ(dibtest::PixelOf(ToRgb24(vga), 1, 0), 0xC0C0C0u);
  // Already 8 bits: its own file form with method 0, gray with method 5.
  const TDib eight = ReadDib(ConvertDibDepth(photo, 8, mmCube666));
  EXPECT_EQ(ConvertDibDepth(eight, 8, mmPopularity), WriteDib(eight));
  const TDib gray = ToRgb24(ReadDib(ConvertDibDepth(eight, 8, mmGrayscale)));
  const uint32_t c = dibtest::PixelOf(gray, 3, 4);
  EXPECT_EQ(c, (c & 0xFF) * 0x010101u);
  EXPECT_NE(gray.Bits, ToRgb24(eight).Bits);
  // A 32-bit picture asked for 32 bits is its own file form; bit fields are written at 24 bits.
  const std::string wide = WriteDib(ToRgb24(ReadDib(Bmp16BitFields(5, 3, false))));
  TDib wide32 = ReadDib(wide);
  wide32.Header.BitCount = 32;
  wide32.Bits.assign(static_cast<size_t>(DibStride(5, 32)) * 3, 0x40);
  wide32.Masks[0] = 0xFF0000, wide32.Masks[1] = 0xFF00, wide32.Masks[2] = 0xFF;
  EXPECT_EQ(+Headers(ConvertDibDepth(wide32, 32, mmPopularity)).Info.BitCount, 32);
  EXPECT_EQ(dibtest::PixelOf(ToRgb24(ReadDib(ConvertDibDepth(wide32, 32, 0))), 2, 2), 0x404040u);
  EXPECT_EQ(+Headers(WriteDib(ReadDib(Bmp16BitFields(5, 3, true)))).Info.BitCount, 24);
  // 16 and 32 bits are not targets otherwise.
  EXPECT_THROW(ConvertDibDepth(photo, 16, 0), ENotImplemented);
  EXPECT_THROW(ConvertDibDepth(photo, 32, 0), ENotImplemented);
}

TEST(DepthConvReader, MalformedBitmapsAreInvalid) {
  const std::string good = Bmp16BitFields(5, 3, false);
  ASSERT_NO_THROW(ReadDib(good));
  const auto patched = [&](size_t at, uint32_t v, size_t n) {
    std::string s = good;
    std::memcpy(s.data() + at, &v, n);
    return s;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"not BM", patched(0, 0x4D43, 2)},
      {"header cut", good.substr(0, 30)},
      {"pixels cut", good.substr(0, good.size() - 1)},
      {"header size 12", patched(14, 12, 4)},
      {"header size past the end", patched(14, 0x7FFFFFFF, 4)},
      {"width 0", patched(18, 0, 4)},
      {"negative width", patched(18, 0xFFFFFFFF, 4)},
      {"huge height", patched(22, 0x7FFFFFFF, 4)},
      {"most negative height", patched(22, 0x80000000, 4)},
      {"planes 2", patched(26, 2, 2)},
      {"bit count 7", patched(28, 7, 2)},
      {"RLE", patched(30, 1, 4)},
      {"pixel offset past the end", patched(10, 0xFFFFFFF0, 4)},
      {"colour table beyond its bits", [] {
         std::string s = WriteDib(ReadDib(ConvertDibDepth(dibtest::PhotoLike(4, 4), 8, 0)));
         const uint32_t n = 257;
         std::memcpy(s.data() + 46, &n, 4);
         return s;
       }()},
  };
  for (const auto& [what, bytes] : cases) {
    try {
      ReadDib(bytes);
      ADD_FAILURE() << what << ": accepted";
    } catch (const zf::EInvalidGraphic& e) {
      EXPECT_STREQ(e.what(), "Bitmap image is not valid") << what;
    }
  }
}

}  // namespace
