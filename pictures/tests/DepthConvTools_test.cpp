// The converter beside independent tools: what it writes decodes in netpbm's
// bmptopnm and ImageMagick to the pixels of its own palette, with the colour
// count ImageMagick's identify finds; BMP files that ImageMagick writes (24-bit,
// palette, 16-bit bit fields with a large header) read as ImageMagick decodes them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "DepthConvCore.h"
#include "DibTestSupport.h"
#include "GifTestSupport.h"

using namespace pictures;

namespace {

const char* const kConvert = "/usr/bin/convert";
const char* const kIdentify = "/usr/bin/identify";

class DepthConvTools : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/depthconv.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("MAGICK_THREAD_LIMIT", "1", 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
  static std::string Path(const std::string& name) { return dir_ + "/" + name; }

  static std::string Run(const std::string& cmd) {
    const std::string out = Path("out.txt"), err = Path("err.txt");
    const int rc = std::system((cmd + " >" + out + " 2>" + err).c_str());
    EXPECT_EQ(rc, 0) << cmd << ": " << giftest::ReadFile(err);
    return giftest::ReadFile(out);
  }

  // 0xRRGGBB pixels, top row first, of a model.
  static std::vector<uint32_t> Pixels(const TDib& d) {
    const TDib rgb = ToRgb24(d);
    std::vector<uint32_t> px;
    for (int y = 0; y < rgb.Height(); ++y)
      for (int x = 0; x < rgb.Width(); ++x) px.push_back(dibtest::PixelOf(rgb, x, y));
    return px;
  }

  static std::string dir_;
};
std::string DepthConvTools::dir_;

TEST_F(DepthConvTools, ToolsDecodeWhatTheConverterWrites) {
  const TDib photo = dibtest::PhotoLike(37, 23, 5);
  int n = 0;
  for (int bits : {1, 4, 8, 24}) {
    for (uint8_t method = 0; method <= (bits == 8 ? mmGrayscale : 0); ++method) {
      SCOPED_TRACE(testing::Message() << bits << " bits, method " << int(method));
      const std::string bmp = ConvertDibDepth(photo, bits, method);
      const std::string file = Path("c" + std::to_string(n++) + ".bmp");
      giftest::WriteFile(file, bmp);
      const std::vector<uint32_t> ours = Pixels(ReadDib(bmp));
      const giftest::Rgb netpbm = giftest::ReadPnm(Run("bmptopnm " + file));
      const giftest::Rgb magick = giftest::ReadPnm(Run(std::string(kConvert) + " " + file + " -depth 8 ppm:-"));
      EXPECT_EQ(netpbm.px, ours);
      EXPECT_EQ(magick.px, ours);
      EXPECT_EQ(netpbm.width, 37);
      EXPECT_EQ(netpbm.height, 23);
      const std::set<uint32_t> colours(ours.begin(), ours.end());
      EXPECT_EQ(Run(std::string(kIdentify) + " -format '%w %h %k' " + file),
                "37 23 " + std::to_string(colours.size()));
    }
  }
}

TEST_F(DepthConvTools, ReadsWhatImageMagickWrites) {
  struct TCase {
    const char* Name;
    const char* Args;
    int Bits;
  };
  const TCase cases[] = {
      {"24-bit", "-seed 3 -size 41x29 plasma:fractal BMP3:", 24},
      {"palette", "-seed 4 -size 19x7 plasma:fractal -colors 100 -type Palette -compress None BMP3:", 8},
      {"16 colours", "-size 13x5 gradient:red-blue -colors 9 -type Palette -compress None BMP3:", 4},
      {"bilevel", "-size 17x6 gradient: -type Bilevel BMP3:", 1},
      {"RGB565 bit fields", "-size 9x3 gradient:red-blue -define bmp:subtype=RGB565 BMP:", 16},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = Path(std::string(c.Name).substr(0, 2) + ".bmp");
    const std::string args = c.Args;
    const size_t colon = args.rfind(' ');
    Run(std::string(kConvert) + " " + args.substr(0, colon) + " " + args.substr(colon + 1) + file);
    const TDib d = ReadDib(giftest::ReadFile(file));
    EXPECT_EQ(d.BitCount(), c.Bits);
    const giftest::Rgb magick = giftest::ReadPnm(Run(std::string(kConvert) + " " + file + " -depth 8 ppm:-"));
    EXPECT_EQ(Pixels(d), magick.px);
    // Converted to 8 bits, the bit-fields file is a plain one.
    const std::string eight = ConvertDibDepth(d, 8, mmPopularity);
    EXPECT_EQ(static_cast<uint8_t>(eight[30]), kBiRgb);
    if (std::set<uint32_t>(magick.px.begin(), magick.px.end()).size() <= 256) {
      EXPECT_EQ(Pixels(ReadDib(eight)), magick.px);
    }
  }
}

}  // namespace
