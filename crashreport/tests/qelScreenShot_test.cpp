// Quantizer, grey fallback, modes and PNG writer on pixels made here; every PNG
// is read back by independent readers (pngcheck, a Python reader, ImageMagick).
#include "qelScreenShot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace qel;

namespace {

struct TRgb {
  uint8_t r, g, b;
  bool operator<(const TRgb& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
  bool operator==(const TRgb& o) const = default;
};

// A screen as the capture hands it over: 4 bytes per pixel, blue first.
struct TScreen {
  uint32_t Width, Height;
  std::vector<uint8_t> Pixels;
  TScreen(uint32_t w, uint32_t h) : Width(w), Height(h), Pixels(static_cast<size_t>(w) * h * 4, 0) {}
  void Set(size_t i, TRgb c) {
    Pixels[4 * i] = c.b;
    Pixels[4 * i + 1] = c.g;
    Pixels[4 * i + 2] = c.r;
    Pixels[4 * i + 3] = 0xA5;  // the fourth byte is not looked at
  }
  TRgb At(size_t i) const { return {Pixels[4 * i + 2], Pixels[4 * i + 1], Pixels[4 * i]}; }
  size_t Count() const { return static_cast<size_t>(Width) * Height; }
  std::string Encode(uint8_t mode) const {
    std::vector<uint8_t> copy = Pixels;  // the grey fallback works in place
    return EncodeScreenPng(copy.data(), Width, Height, mode);
  }
};

TScreen Filled(uint32_t w, uint32_t h, const std::vector<TRgb>& colours, uint32_t seed) {
  TScreen s(w, h);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < s.Count(); ++i) s.Set(i, colours[rng() % colours.size()]);
  return s;
}

TScreen Noise(uint32_t w, uint32_t h, uint32_t seed) {
  TScreen s(w, h);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < s.Count(); ++i) s.Set(i, {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
  return s;
}

// Rows of the 16 grey levels where each random stretch of 101 pixels is
// repeated once at an odd distance: deflate finds the repeats in the 8-bit
// image, but not in the 4-bit one, where they lie half a byte apart. So the
// grey PNG is the larger one.
TScreen OddRepeats(uint32_t w, uint32_t h, uint32_t seed) {
  TScreen s(w, h);
  std::mt19937 rng(seed);
  const auto& grey = GrayPalette();
  for (uint32_t y = 0; y < h; ++y) {
    std::vector<uint8_t> stretch;
    for (uint32_t x = 0; x < w; ++x) {
      if (x % 202 == 0) {
        stretch.clear();
        for (int i = 0; i < 101; ++i) stretch.push_back(grey[3 * (rng() % 16)]);
      }
      const uint8_t v = stretch[x % 101];
      s.Set(static_cast<size_t>(y) * w + x, {v, v, v});
    }
  }
  return s;
}

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/qelscreenshot_test.XXXXXX";
    FPath = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + FPath + "'").c_str()); }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string Run(const std::string& cmd, int& status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  status = pclose(p);
  return out;
}

// Pixels of a binary PPM (P6, maxval 255) as ImageMagick and our reader write it.
std::vector<TRgb> ReadPpm(const std::string& path, uint32_t& w, uint32_t& h) {
  std::istringstream in(ReadFile(path));
  std::string magic;
  int maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  std::vector<TRgb> px;
  if (magic != "P6" || maxval != 255) return px;
  px.resize(static_cast<size_t>(w) * h);
  in.read(reinterpret_cast<char*>(px.data()), static_cast<std::streamsize>(px.size() * 3));
  if (!in) px.clear();
  return px;
}

struct TDecoded {
  uint32_t Width = 0, Height = 0;
  int Depth = 0, PlteLength = 0, RowBytes = 0;
  std::string Chunks;
  std::vector<TRgb> Pixels;  // as decoded by both readers, which must agree
};

// Checks the PNG with pngcheck and decodes it with the Python reader and with
// ImageMagick; fails the test unless all three accept it and both decodes agree.
TDecoded Decode(const std::string& png) {
  TempDir dir;
  TDecoded d;
  const std::string file = dir.File("shot.png");
  WriteFile(file, png);
  int status = 0;
  const std::string check = Run("pngcheck -v '" + file + "' 2>&1", status);
  EXPECT_EQ(status, 0) << check;
  EXPECT_NE(check.find("No errors detected"), std::string::npos) << check;

  const std::string facts =
      Run("/usr/bin/python3 '" ZIVO_PNG_DECODE "' '" + file + "' '" + dir.File("py.ppm") + "'", status);
  EXPECT_EQ(status, 0) << facts;
  int colourType = 0, rawBytes = 0;
  std::istringstream(facts) >> d.Width >> d.Height >> d.Depth >> colourType >> d.PlteLength >> d.RowBytes >> rawBytes >>
      d.Chunks;
  EXPECT_EQ(colourType, 3);
  uint32_t w = 0, h = 0;
  d.Pixels = ReadPpm(dir.File("py.ppm"), w, h);

  Run("/usr/bin/convert '" + file + "' -depth 8 'ppm:" + dir.File("im.ppm") + "' 2>&1", status);
  EXPECT_EQ(status, 0);
  uint32_t iw = 0, ih = 0;
  const std::vector<TRgb> im = ReadPpm(dir.File("im.ppm"), iw, ih);
  EXPECT_EQ(iw, d.Width);
  EXPECT_EQ(ih, d.Height);
  EXPECT_TRUE(im == d.Pixels) << "ImageMagick and the Python reader disagree";
  return d;
}

std::vector<TRgb> Greyed(const TScreen& s) {
  std::vector<TRgb> out;
  const auto& levels = GrayPalette();
  for (size_t i = 0; i < s.Count(); ++i) {
    const TRgb c = s.At(i);
    const int g = (c.r * 77 + c.g * 151 + c.b * 28) >> 8;
    int best = 0;
    for (int k = 1; k < 16; ++k)
      if (std::abs(g - levels[3 * k]) < std::abs(g - levels[3 * best])) best = k;
    out.push_back({levels[3 * best], levels[3 * best], levels[3 * best]});
  }
  return out;
}

std::vector<TRgb> Colours(const TScreen& s) {
  std::vector<TRgb> out;
  for (size_t i = 0; i < s.Count(); ++i) out.push_back(s.At(i));
  return out;
}

// Colours in different 5-bit cells, so that each gets a box of its own.
const std::vector<TRgb> kFewColours = {{0, 0, 0},     {255, 255, 255}, {212, 208, 200}, {10, 36, 106},
                                       {255, 0, 0},   {0, 128, 0},     {128, 128, 128}, {255, 255, 225},
                                       {64, 200, 90}, {166, 202, 240}};

}  // namespace

TEST(ScreenShotGray, PaletteLevelsAndNearestLevel) {
  const uint8_t levels[16] = {0, 28, 52, 73, 92, 109, 125, 140, 155, 170, 185, 199, 213, 227, 241, 255};
  const auto& p = GrayPalette();
  for (int i = 0; i < 16; ++i)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(p[3 * i + c], levels[i]) << i;
  TGrayCache cache;
  InitGrayCache(cache);
  // {grey, level}: ties go to the first (lower) level.
  const int cases[][2] = {{0, 0}, {14, 0}, {15, 1}, {40, 1}, {41, 2}, {254, 15}, {255, 15}, {234, 13}, {235, 14}};
  for (const auto& c : cases) EXPECT_EQ(NearestGrayIndex(cache, p, uint8_t(c[0])), c[1]) << c[0];
  EXPECT_EQ(cache[14], 0);
  EXPECT_EQ(cache[1], -1);  // only what was asked for is remembered
}

TEST(ScreenShotQuantizer, SingleColourIsOneBox) {
  const TScreen s = Filled(13, 7, {{37, 150, 201}}, 1);
  TPalette palette;
  palette.fill(0xCC);
  EXPECT_EQ(QuantizeColors(s.Pixels.data(), s.Count(), palette), 1);
  EXPECT_EQ(palette[0], 37);
  EXPECT_EQ(palette[1], 150);
  EXPECT_EQ(palette[2], 201);
  for (size_t i = 3; i < palette.size(); ++i) ASSERT_EQ(palette[i], 0) << "entry " << i / 3 << " left undefined";
  TColorCache cache;
  InitColorCache(cache);
  EXPECT_EQ(NearestPaletteIndex(cache, palette, 37, 201, 150), 0);
}

TEST(ScreenShotQuantizer, FewColoursGetExactEntries) {
  const TScreen s = Filled(64, 48, kFewColours, 2);
  TPalette palette;
  const int boxes = QuantizeColors(s.Pixels.data(), s.Count(), palette);
  EXPECT_EQ(boxes, static_cast<int>(kFewColours.size()));
  std::set<TRgb> got;
  for (int k = 0; k < boxes; ++k) got.insert({palette[3 * k], palette[3 * k + 1], palette[3 * k + 2]});
  EXPECT_EQ(got, std::set<TRgb>(kFewColours.begin(), kFewColours.end()));
  // A limit below the colour count makes exactly that many boxes.
  EXPECT_EQ(QuantizeColors(s.Pixels.data(), s.Count(), palette, 4), 4);
}

TEST(ScreenShotQuantizer, ManyColoursFillAllEntriesCloseToThePixels) {
  TScreen s(256, 128);
  for (uint32_t y = 0; y < s.Height; ++y)
    for (uint32_t x = 0; x < s.Width; ++x) s.Set(y * s.Width + x, {uint8_t(x), uint8_t(2 * y), uint8_t(255 - x)});
  TPalette palette;
  EXPECT_EQ(QuantizeColors(s.Pixels.data(), s.Count(), palette), 256);
  TColorCache cache;
  InitColorCache(cache);
  long error = 0;
  for (size_t i = 0; i < s.Count(); ++i) {
    const TRgb c = s.At(i);
    const int k = NearestPaletteIndex(cache, palette, c.r, c.b, c.g);
    error += std::abs(c.r - palette[3 * k]) + std::abs(c.g - palette[3 * k + 1]) + std::abs(c.b - palette[3 * k + 2]);
  }
  // 256 boxes over a 256 x 128 gradient leave a few steps per channel.
  EXPECT_LT(static_cast<double>(error) / static_cast<double>(s.Count()), 24.0);
}

// 9.4 million pixels: channel sums beyond 2^31, where 32-bit sums wrap.
TEST(ScreenShotQuantizer, LargeScreenSumsDoNotWrap) {
  TScreen s(3840, 2448);
  for (size_t i = 0; i < s.Count(); ++i) s.Set(i, i % 3 == 0 ? TRgb{250, 251, 252} : TRgb{200, 100, 50});
  TPalette palette;
  ASSERT_EQ(QuantizeColors(s.Pixels.data(), s.Count(), palette), 2);
  std::set<TRgb> got{{palette[0], palette[1], palette[2]}, {palette[3], palette[4], palette[5]}};
  EXPECT_EQ(got, (std::set<TRgb>{{250, 251, 252}, {200, 100, 50}}));
}

TEST(ScreenShotPng, Adler32AndZlibStream) {
  EXPECT_EQ(PngAdler32("", 0), 1u);
  EXPECT_EQ(PngAdler32("Wikipedia", 9), 0x11E60398u);
  EXPECT_EQ(ByteSwap32Png(0x11223344u), 0x44332211u);
  const std::string z = ZlibWrap("Wikipedia Wikipedia");
  ASSERT_GE(z.size(), 6u);
  EXPECT_EQ(z.substr(0, 2), std::string("\x78\x01", 2));
  EXPECT_EQ((0x78 * 256 + 0x01) % 31, 0);  // the header's check bits
  EXPECT_EQ(z.substr(z.size() - 4), std::string("\x48\xF3\x07\x4F", 4)) << "big-endian Adler-32 of the data";
}

// Header facts and pixels as independent readers see them, by mode and size.
TEST(ScreenShotPng, IndependentReadersGiveThePixelsBack) {
  struct TCase {
    const char* name;
    TScreen screen;
    uint8_t mode;
    int depth, plte, rowBytes;
    bool grey;
  };
  const TCase cases[] = {
      {"few colours", Filled(37, 23, kFewColours, 3), ssmColor, 8, 768, 38, false},
      {"one pixel", Filled(1, 1, {{1, 2, 3}}, 4), ssmColor, 8, 768, 2, false},
      {"grey mode, odd width", Filled(5, 3, kFewColours, 5), ssmGray, 4, 48, 4, true},
      {"grey mode, even width", Filled(6, 2, kFewColours, 6), ssmGray, 4, 48, 4, true},
      {"limit kept", Filled(40, 30, kFewColours, 7), ssmColor50K, 8, 768, 41, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string png = c.screen.Encode(c.mode);
    ASSERT_FALSE(png.empty());
    const TDecoded d = Decode(png);
    EXPECT_EQ(d.Width, c.screen.Width);
    EXPECT_EQ(d.Height, c.screen.Height);
    EXPECT_EQ(d.Depth, c.depth);
    EXPECT_EQ(d.PlteLength, c.plte);
    EXPECT_EQ(d.RowBytes, c.rowBytes);
    EXPECT_EQ(d.Chunks, "IHDR,PLTE,IDAT,IEND");
    EXPECT_TRUE(d.Pixels == (c.grey ? Greyed(c.screen) : Colours(c.screen)));
  }
}

TEST(ScreenShotPng, WhiteBecomesTheTopGreyLevel) {
  const TScreen s = Filled(3, 1, {{255, 255, 255}}, 8);
  const TDecoded d = Decode(s.Encode(ssmGray));
  ASSERT_EQ(d.Pixels.size(), 3u);
  EXPECT_EQ(d.Pixels[0], (TRgb{255, 255, 255}));
}

// Which PNG a size-limited mode keeps: grey only above the limit, and only
// when it is the smaller one.
TEST(ScreenShotModes, LimitPicksTheSmallerPng) {
  struct TCase {
    const char* name;
    TScreen screen;
    uint8_t mode;
    size_t limit;
  };
  const TCase cases[] = {
      {"noise, 50K", Noise(320, 240, 9), ssmColor50K, 51200},
      {"noise, unlimited", Noise(320, 240, 9), ssmColor, 0},
      {"noise, 300K", Noise(320, 240, 9), ssmColor300K, 307200},
      {"odd repeats, 50K", OddRepeats(640, 480, 10), ssmColor50K, 51200},
      {"odd repeats, 100K", OddRepeats(640, 480, 10), ssmColor100K, 102400},
      {"odd repeats, 200K", OddRepeats(640, 480, 10), ssmColor200K, 204800},
  };
  int greyChosen = 0, colourKeptAboveLimit = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string colour = c.screen.Encode(ssmColor);
    const std::string grey = c.screen.Encode(ssmGray);
    ASSERT_FALSE(colour.empty());
    ASSERT_FALSE(grey.empty());
    const std::string got = c.screen.Encode(c.mode);
    const bool overLimit = c.limit != 0 && colour.size() > c.limit;
    const bool expectGrey = overLimit && grey.size() < colour.size();
    EXPECT_EQ(got, expectGrey ? grey : colour) << "colour " << colour.size() << ", grey " << grey.size();
    greyChosen += expectGrey;
    colourKeptAboveLimit += overLimit && !expectGrey;
  }
  // The table must reach both outcomes above a limit.
  EXPECT_EQ(greyChosen, 1);
  EXPECT_EQ(colourKeptAboveLimit, 2);
}

TEST(ScreenShotModes, NoImageNoPng) {
  uint8_t px[4] = {};
  EXPECT_TRUE(EncodeScreenPng(px, 0, 5, ssmColor).empty());
  EXPECT_TRUE(EncodeScreenPng(px, 5, 0, ssmGray).empty());
  EXPECT_TRUE(EncodeScreenPng(nullptr, 1, 1, ssmColor).empty());
}
