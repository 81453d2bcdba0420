// The GIF codec beside independent tools: rasters written by netpbm, ImageMagick,
// gifsicle and giflib decode to the pixels those tools' own decoders give, and
// the codec's code streams (and shapes other encoders write) decode the same in
// netpbm, ImageMagick and gifsicle. Pictures are made at test time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "GifLzw.h"
#include "GifTestSupport.h"

using namespace pictures;
using giftest::Indices;

namespace {

const char* const kConvert = "/usr/bin/convert";  // ImageMagick itself, not a stand-in on PATH

class GifTools : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/giftools.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("MAGICK_THREAD_LIMIT", "1", 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static std::string Path(const std::string& name) { return dir_ + "/" + name; }

  // Runs a shell command; its standard error lands in `err`.
  static int Run(const std::string& cmd, std::string* err = nullptr) {
    const std::string errFile = Path("stderr.txt");
    const int rc = std::system((cmd + " 2>" + errFile).c_str());
    if (err) *err = giftest::ReadFile(errFile);
    return rc;
  }

  // The tool's decode of a GIF as 0xRRGGBB pixels (giftopnm or ImageMagick).
  static giftest::Rgb ToolDecode(const std::string& gif, bool imageMagick) {
    const std::string out = Path("decoded.pnm");
    std::string err;
    const std::string cmd = imageMagick ? std::string(kConvert) + " " + gif + " ppm:" + out
                                        : "giftopnm " + gif + " > " + out;
    EXPECT_EQ(Run(cmd, &err), 0) << cmd << ": " << err;
    EXPECT_EQ(err, "") << cmd;
    return giftest::ReadPnm(giftest::ReadFile(out));
  }

  // Our decode of the first frame of a GIF file, through its colour table.
  static std::vector<uint32_t> OurDecode(const std::string& gifData, int* codeSize = nullptr) {
    const giftest::Frame f = giftest::FirstFrame(gifData);
    const int bits = f.bits == 1 ? 1 : f.bits <= 4 ? 4 : 8;
    std::vector<uint8_t> dib(static_cast<size_t>(GifRasterStride(f.width, bits)) * f.height);
    zf::TMemoryStream in(f.raster);
    bool corrupted = true;
    DecodeGifRaster(in, {f.width, f.height, bits}, f.interlaced, {}, corrupted, dib, f.bits, false);
    EXPECT_FALSE(corrupted);
    if (codeSize) *codeSize = static_cast<uint8_t>(f.raster[0]);
    const Indices idx = giftest::UnpackDib(dib, f.width, f.height, bits);
    std::vector<uint32_t> rgb;
    for (uint8_t i : idx.px) rgb.push_back(i < f.rgb.size() ? f.rgb[i] : 0);
    return rgb;
  }

  static void ExpectSamePixels(const std::vector<uint32_t>& ours, const giftest::Rgb& tool, const std::string& what) {
    ASSERT_EQ(ours.size(), tool.px.size()) << what;
    size_t diff = 0;
    for (size_t i = 0; i < ours.size(); ++i) diff += ours[i] != tool.px[i];
    EXPECT_EQ(diff, 0u) << what << ": " << diff << " of " << ours.size() << " pixels differ";
  }

  static std::string WritePpm(const Indices& pic, const std::vector<uint32_t>& pal, const std::string& name) {
    std::string d = "P6\n" + std::to_string(pic.width) + " " + std::to_string(pic.height) + "\n255\n";
    for (uint8_t i : pic.px) {
      d.push_back(static_cast<char>(pal[i] >> 16));
      d.push_back(static_cast<char>(pal[i] >> 8));
      d.push_back(static_cast<char>(pal[i]));
    }
    giftest::WriteFile(Path(name), d);
    return Path(name);
  }

  static std::string dir_;
};
std::string GifTools::dir_;

int TableBits(int colors) {
  int b = 1;
  while ((1 << b) < colors) ++b;
  return b;
}

}  // namespace

TEST_F(GifTools, DecodesWhatOtherEncodersWrite) {
  struct Size {
    const char* kind;
    int w, h;
  };
  const Size sizes[] = {{"noise", 1, 1}, {"stripes", 5, 3}, {"smooth", 37, 29}, {"noise", 160, 120}};
  std::set<int> codeSizes;
  int n = 0;
  for (int colors : {2, 3, 4, 8, 16, 32, 64, 128, 256}) {
    for (const Size& s : sizes) {
      const std::vector<uint32_t> pal = giftest::GrayPalette(TableBits(colors));
      const Indices pic = giftest::MakePicture(s.kind, s.w, s.h, colors, static_cast<uint32_t>(colors + s.w));
      const std::string ppm = WritePpm(pic, pal, "src.ppm");
      const std::string base = Path("n" + std::to_string(n++));
      // netpbm, ImageMagick, gifsicle (interlacing forces it to re-encode), giflib.
      const std::vector<std::pair<std::string, std::string>> makers = {
          {"netpbm", "ppmtogif " + ppm + " > " + base + "a.gif"},
          {"netpbm interlaced", "ppmtogif -interlace " + ppm + " > " + base + "b.gif"},
          {"ImageMagick", std::string(kConvert) + " " + ppm + " " + base + "c.gif"},
          {"ImageMagick interlaced", std::string(kConvert) + " " + ppm + " -interlace GIF " + base + "d.gif"},
          {"gifsicle interlaced", "gifsicle --interlace " + base + "a.gif -o " + base + "e.gif"},
          {"gifsicle", "gifsicle --no-interlace " + base + "e.gif -o " + base + "f.gif"},
          {"giflib", "gifbuild -d " + base + "b.gif > " + base + ".txt && gifbuild " + base + ".txt > " + base +
                         "g.gif"},
      };
      char letter = 'a';
      for (const auto& [who, cmd] : makers) {
        const std::string gif = base + letter++ + ".gif";
        // ImageMagick's colour reduction takes half a second a picture: two sizes only.
        if (who.starts_with("ImageMagick") && (&s == &sizes[0] || &s == &sizes[2])) continue;
        std::string err;
        ASSERT_EQ(Run(cmd, &err), 0) << cmd << ": " << err;
        const std::string label = who + " " + std::to_string(colors) + " colours " + s.kind + " " +
                                  std::to_string(s.w) + "x" + std::to_string(s.h);
        int codeSize = 0;
        std::vector<uint32_t> ours;
        ASSERT_NO_THROW(ours = OurDecode(giftest::ReadFile(gif), &codeSize)) << label;
        codeSizes.insert(codeSize);
        ExpectSamePixels(ours, ToolDecode(gif, false), label + " vs giftopnm");
        ExpectSamePixels(ours, ToolDecode(gif, true), label + " vs ImageMagick");
      }
    }
  }
  EXPECT_EQ(codeSizes, (std::set<int>{2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(GifTools, OurStreamsDecodeAlikeElsewhere) {
  struct Case {
    const char* kind;
    int w, h, colors;
    bool interlaced;
  };
  const Case cases[] = {{"noise", 1, 1, 2, false},     {"noise", 13, 7, 2, true},      {"stripes", 64, 40, 16, false},
                        {"noise", 33, 33, 16, true},   {"smooth", 320, 200, 256, false}, {"noise", 400, 300, 256, false},
                        {"noise", 123, 321, 256, true}, {"flat", 700, 500, 256, false}};
  int n = 0;
  for (const Case& c : cases) {
    const int frameBits = TableBits(c.colors);
    const int bits = frameBits == 1 ? 1 : frameBits <= 4 ? 4 : 8;
    const Indices pic = giftest::MakePicture(c.kind, c.w, c.h, c.colors, 77);
    const std::vector<uint8_t> dib = giftest::PackDib(pic, bits);
    zf::TMemoryStream raster;
    EncodeGifRaster(raster, {c.w, c.h, bits}, c.interlaced, {}, dib);
    const std::vector<uint32_t> pal = giftest::GrayPalette(bits);
    const std::string gif = Path("ours" + std::to_string(n++) + ".gif");
    giftest::WriteFile(gif, giftest::WrapGif(c.w, c.h, bits, pal, raster.Bytes(), c.interlaced));
    std::vector<uint32_t> expected;
    for (uint8_t i : pic.px) expected.push_back(pal[i]);
    const std::string label = std::string(c.kind) + " " + std::to_string(c.w) + "x" + std::to_string(c.h);
    ExpectSamePixels(expected, ToolDecode(gif, false), label + " giftopnm");
    ExpectSamePixels(expected, ToolDecode(gif, true), label + " ImageMagick");
    // gifsicle decodes the frame to re-encode it with the other interlacing; it
    // warns on damaged data.
    const std::string again = gif + ".gifsicle.gif";
    std::string err;
    ASSERT_EQ(Run(std::string("gifsicle ") + (c.interlaced ? "--no-interlace " : "--interlace ") + gif + " -o " +
                  again, &err), 0) << err;
    EXPECT_EQ(err, "") << label;
    ExpectSamePixels(expected, ToolDecode(again, false), label + " gifsicle");
  }
}

// Shapes the codec's encoder never writes: a table that fills to 4096 codes and
// stays frozen, no leading clear code, clear codes in a row. An independent
// decoder reads them to the same pixels as ours.
TEST_F(GifTools, OtherStreamShapesDecodeAsInOtherDecoders) {
  const Indices pic = giftest::MakePicture("noise", 250, 90, 256, 3);
  const std::vector<uint32_t> pal = giftest::GrayPalette(8);
  std::vector<uint32_t> expected;
  for (uint8_t i : pic.px) expected.push_back(pal[i]);
  std::vector<giftest::Code> deferred = giftest::ReferenceEncode(pic.px, 8, true);
  std::vector<giftest::Code> noClear(deferred.begin() + 1, deferred.end());
  std::vector<giftest::Code> twoClears = giftest::ReferenceEncode(pic.px, 8, false);
  twoClears.insert(twoClears.begin(), {256, 9});
  const std::vector<std::pair<const char*, std::vector<giftest::Code>>> shapes = {
      {"deferred clear", deferred}, {"no leading clear", noClear}, {"two clears", twoClears}};
  for (const auto& [name, codes] : shapes) {
    const std::string data = giftest::WrapGif(250, 90, 8, pal, giftest::PackCodes(8, codes, 100), false);
    std::string file = name;
    std::replace(file.begin(), file.end(), ' ', '_');
    const std::string gif = Path(file + ".gif");
    giftest::WriteFile(gif, data);
    const std::vector<uint32_t> ours = OurDecode(data);
    ExpectSamePixels(ours, ToolDecode(gif, false), std::string(name) + " giftopnm");
    ExpectSamePixels(expected, {250, 90, ours}, std::string(name) + " source");
  }
}
