// Whole GIF files beside independent tools: a corpus made by ImageMagick and
// gifsicle at test time is read by the picture unit and compared with giflib's
// dump (frames, placement, graphic control, pixel indices) and, through the
// gifframes tool, with ImageMagick's decode (colours and transparency). Files
// the unit writes back read the same in giflib and gifsicle, and reading them
// again keeps what was read.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "GifCore.h"
#include "GifTestSupport.h"

using namespace pictures;

namespace {

const char* const kConvert = "/usr/bin/convert";  // ImageMagick itself, not a stand-in on PATH

struct DumpFrame {
  int left = 0, top = 0, width = 0, height = 0;
  int disposal = 0, delay = 0, transparent = -1;  // delay in hundredths
  std::vector<int> indices;
};

// giflib's `gifbuild -d` text: graphic control blocks and images in order.
std::vector<DumpFrame> ParseDump(const std::string& text) {
  static const std::string kChars = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::vector<DumpFrame> out;
  DumpFrame next;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string a, b;
    l >> a >> b;
    if (a == "disposal" && b == "mode") l >> next.disposal;
    if (a == "delay") next.delay = std::stoi(b);
    if (a == "transparent" && b == "index") l >> next.transparent;
    if (a == "image" && b == "left") l >> next.left;
    if (a == "image" && b == "top") l >> next.top;
    if (a == "image" && b == "bits") {
      std::string by, mode;
      l >> next.width >> by >> next.height >> mode;
      for (int y = 0; y < next.height && std::getline(in, line); ++y) {
        for (int x = 0; x < next.width; ++x) {
          if (mode == "hex")
            next.indices.push_back(std::stoi(line.substr(static_cast<size_t>(x) * 2, 2), nullptr, 16));
          else
            next.indices.push_back(static_cast<int>(kChars.find(line.at(static_cast<size_t>(x)))));
        }
      }
      out.push_back(next);
      next = DumpFrame();
    }
  }
  return out;
}

class GifFiles : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/giffiles.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("MAGICK_THREAD_LIMIT", "1", 1);
    const std::string im = std::string(kConvert) + " ";
    const std::string d = dir_ + "/";
    const std::vector<std::string> make = {
        im + "-seed 3 -size 40x30 plasma:fractal -colors 2 " + d + "c2.gif",
        im + "-seed 4 -size 41x29 plasma:fractal -colors 4 " + d + "c4.gif",
        im + "-seed 5 -size 37x23 plasma:fractal -colors 16 " + d + "c16.gif",
        im + "-seed 6 -size 64x48 plasma:fractal -colors 256 " + d + "c256.gif",
        im + "-seed 7 -size 33x21 plasma:fractal -colors 16 -interlace GIF " + d + "interlaced.gif",
        im + "-size 20x12 xc:none -fill red -draw 'rectangle 4,2 12,8' " + d + "transparent.gif",
        im + "-delay 7 -dispose Background -loop 5 -size 10x10 xc:red -dispose Previous -delay 150 -page +3+5 "
             "-size 6x4 xc:lime -set comment 'two frames' " + d + "anim.gif",
        // Two pictures of their own palettes in one file: a local colour table
        // (ImageMagick), and one global table of 64 entries with code size 3 for
        // the first image (gifsicle).
        im + "-seed 8 -size 16x16 plasma:fractal -colors 8 " + d + "p1.gif && " + im +
            "-seed 9 -size 12x10 plasma:fractal -colors 32 " + d + "p2.gif && " + im + d + "p1.gif " + d +
            "p2.gif " + d + "local.gif && gifsicle " + d + "p1.gif " + d + "p2.gif -o " + d + "merged.gif",
        // A 256-entry global table and a second image of five of its colours: code size 3.
        "python3 -c \"import sys; c=[(0,0,0),(255,0,0),(0,255,0),(0,0,255),(255,255,255)]; i=0\n"
        "while len(c)<256:\n  t=((i*37)%256,(i*91+50)%256,(i*53+100)%256); i+=1\n  c+=[t] if t not in c else []\n"
        "open(sys.argv[1],'wb').write(b'P6 256 1 255\\n'+bytes(v for t in c for v in t))\" " + d + "pal.ppm && " +
            im + d + "pal.ppm " + d + "pal.gif && " + im +
            "-size 16x16 xc:black -fill white -draw 'rectangle 1,1 4,4' -fill red -draw 'rectangle 5,5 8,8' "
            "-fill lime -draw 'rectangle 9,9 12,12' -fill blue -draw 'rectangle 13,1 15,3' " + d + "five.gif && "
            "gifsicle --use-colormap " + d + "pal.gif " + d + "pal.gif " + d + "five.gif -o " + d + "code3.gif",
    };
    for (const std::string& cmd : make) ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static std::string Path(const std::string& name) { return dir_ + "/" + name; }
  static std::string Run(const std::string& cmd, int* rc = nullptr) {
    const std::string out = Path("out.txt");
    const int r = std::system((cmd + " > " + out + " 2>&1").c_str());
    if (rc) *rc = r;
    return giftest::ReadFile(out);
  }

  static const std::vector<std::string>& Corpus() {
    static const std::vector<std::string> names = {"c2", "c4", "c16", "c256", "interlaced", "transparent",
                                                   "anim", "local", "merged", "code3"};
    return names;
  }

  static std::string dir_;
};
std::string GifFiles::dir_;

// Our indices of every frame.
std::vector<std::vector<int>> OurIndices(const TGifDocument& doc) {
  std::vector<std::vector<int>> out;
  for (const TGifFrameRecord& f : doc.Frames) {
    bool corrupted = false;
    const std::string bmp = DecodeToDib(f.Item, f.State.Interlaced, {}, corrupted, false);
    EXPECT_FALSE(corrupted);
    const TGifDib d = ParseDib(bmp);
    const giftest::Indices px =
        giftest::UnpackDib(std::vector<uint8_t>(d.Pixels.begin(), d.Pixels.end()), d.Width, d.Height, d.Bits);
    out.emplace_back(px.px.begin(), px.px.end());
  }
  return out;
}

}  // namespace

TEST_F(GifFiles, CorpusHasWhatItIsFor) {
  auto read = [](const std::string& name) {
    TGifDocument d;
    ReadGif(giftest::ReadFile(Path(name + ".gif")), d, false);
    return d;
  };
  EXPECT_TRUE(read("interlaced").Frames[0].State.Interlaced);
  EXPECT_NE(read("transparent").Frames[0].State.TransparentColor, GifColorNone);
  const TGifDocument anim = read("anim");
  ASSERT_EQ(anim.Frames.size(), 2u);
  EXPECT_TRUE(anim.Screen.Looping);
  EXPECT_EQ(anim.Frames[1].State.Left, 3);
  EXPECT_EQ(anim.Frames[1].State.Delay, 1500u);
  EXPECT_EQ(anim.Frames[0].State.Disposal, 2);
  EXPECT_NE(FindLastExtension(anim.Frames[0].State.Extensions, TGifExtensionKind::Comment), nullptr);
  EXPECT_TRUE(read("local").Frames[1].State.LocalTable);
  EXPECT_EQ((*read("merged").Frames[0].Item.Encoded)[0], 3);
  EXPECT_EQ(read("merged").Data.GlobalTable.Count, 64);
  const TGifDocument code3 = read("code3");
  ASSERT_EQ(code3.Frames.size(), 2u);
  EXPECT_EQ((*code3.Frames[1].Item.Encoded)[0], 3);
  EXPECT_EQ(code3.Data.GlobalTable.Count, 256);
}

TEST_F(GifFiles, FramesAndIndicesAsGiflibDumpsThem) {
  for (const std::string& name : Corpus()) {
    SCOPED_TRACE(name);
    TGifDocument doc;
    ReadGif(giftest::ReadFile(Path(name + ".gif")), doc, false);
    int rc = 0;
    const std::vector<DumpFrame> dump = ParseDump(Run("gifbuild -d " + Path(name + ".gif"), &rc));
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(doc.Frames.size(), dump.size());
    const auto ours = OurIndices(doc);
    for (size_t i = 0; i < dump.size(); ++i) {
      const TGifFrameState& s = doc.Frames[i].State;
      EXPECT_EQ(s.Left, dump[i].left) << i;
      EXPECT_EQ(s.Top, dump[i].top) << i;
      EXPECT_EQ(doc.Frames[i].Item.Width, dump[i].width) << i;
      EXPECT_EQ(doc.Frames[i].Item.Height, dump[i].height) << i;
      EXPECT_EQ(static_cast<int>(s.Delay), dump[i].delay * 10) << i;
      EXPECT_EQ(s.Disposal, dump[i].disposal) << i;
      EXPECT_EQ(s.TransparentColor == GifColorNone ? -1 : s.TransparentIndex, dump[i].transparent) << i;
      EXPECT_EQ(ours[i], dump[i].indices) << i;
    }
  }
}

TEST_F(GifFiles, GifframesColoursAsImageMagickDecodes) {
  for (const std::string& name : Corpus()) {
    SCOPED_TRACE(name);
    const std::string out = Path(name + ".frames");
    std::filesystem::create_directories(out);
    int rc = 0;
    const std::string lines = Run(std::string(GIFFRAMES) + " " + Path(name + ".gif") + " " + out, &rc);
    ASSERT_EQ(rc, 0) << lines;
    std::istringstream in(lines);
    int n = 0, left, top, w, h, delay, disposal, transparent, interlaced;
    for (int frame; in >> frame >> left >> top >> w >> h >> delay >> disposal >> transparent >> interlaced; ++n) {
      EXPECT_EQ(frame, n);
      const std::string pam = giftest::ReadFile(out + "/frame-" + std::to_string(n) + ".pam");
      const std::string pixels = pam.substr(pam.find("ENDHDR\n") + 7);
      ASSERT_EQ(pixels.size(), static_cast<size_t>(w) * h * 4);
      // ImageMagick's own frame, not composited onto the screen.
      const std::string rgba = Path("im.rgba");
      ASSERT_EQ(std::system((std::string(kConvert) + " '" + Path(name + ".gif") + "[" + std::to_string(n) +
                             "]' +repage -alpha on -depth 8 rgba:" + rgba)
                                .c_str()),
                0);
      const std::string theirs = giftest::ReadFile(rgba);
      ASSERT_EQ(theirs.size(), pixels.size()) << n;
      for (size_t p = 0; p < pixels.size(); p += 4) {
        const bool clear = pixels[p + 3] == 0;
        ASSERT_EQ(clear, theirs[p + 3] == 0) << n << " pixel " << p / 4;
        if (!clear) {
          ASSERT_EQ(pixels.substr(p, 3), theirs.substr(p, 3)) << n << " pixel " << p / 4;
        }
      }
    }
    EXPECT_GT(n, 0);
  }
  // A file it refuses: the error and exit code 1.
  giftest::WriteFile(Path("bad.gif"), "GIF88a");
  int rc = 0;
  const std::string err = Run(std::string(GIFFRAMES) + " " + Path("bad.gif") + " " + dir_, &rc);
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  EXPECT_EQ(err, "Unknown GIF version\n");
}

TEST_F(GifFiles, WrittenBackReadsTheSameEverywhere) {
  for (const std::string& name : Corpus()) {
    SCOPED_TRACE(name);
    TGifDocument first;
    ReadGif(giftest::ReadFile(Path(name + ".gif")), first, false);
    TGifDocument copy = first;
    for (TGifFrameRecord& f : copy.Frames) UpdateExtensions(f.State, f.Item, copy.Screen.Version);
    const std::string written = WriteGif(copy);
    giftest::WriteFile(Path(name + ".ours.gif"), written);

    // Load, save, load: code bytes, timing, transparency, looping and comments stay.
    TGifDocument again;
    ReadGif(written, again, false);
    ASSERT_EQ(again.Frames.size(), first.Frames.size());
    EXPECT_EQ(again.Screen.Looping, first.Screen.Looping);
    EXPECT_EQ(again.Screen.RepeatCount, first.Screen.RepeatCount);
    EXPECT_EQ(again.Data.Comments, first.Data.Comments);
    for (size_t i = 0; i < first.Frames.size(); ++i) {
      const TGifFrameRecord &a = first.Frames[i], &b = again.Frames[i];
      EXPECT_EQ(a.Item.Encoded, b.Item.Encoded) << i;
      EXPECT_EQ(a.State.Delay, b.State.Delay) << i;
      EXPECT_EQ(a.State.Disposal, b.State.Disposal) << i;
      EXPECT_EQ(a.State.TransparentIndex, b.State.TransparentIndex) << i;
      const TGifExtension* ca = FindLastExtension(a.State.Extensions, TGifExtensionKind::Comment);
      const TGifExtension* cb = FindLastExtension(b.State.Extensions, TGifExtensionKind::Comment);
      EXPECT_EQ(ca == nullptr, cb == nullptr) << i;
      if (ca && cb) {
        EXPECT_EQ(ca->Strings, cb->Strings) << i;
      }
    }
    // giflib dumps the same frames and pixels; gifsicle reads it without complaint.
    int rc = 0;
    const auto theirs = ParseDump(Run("gifbuild -d " + Path(name + ".gif"), &rc));
    const auto ours = ParseDump(Run("gifbuild -d " + Path(name + ".ours.gif"), &rc));
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_EQ(ours[i].indices, theirs[i].indices) << i;
      EXPECT_EQ(ours[i].delay, theirs[i].delay) << i;
      EXPECT_EQ(ours[i].disposal, theirs[i].disposal) << i;
      EXPECT_EQ(ours[i].transparent, theirs[i].transparent) << i;
    }
    const std::string info = Run("gifsicle --info " + Path(name + ".ours.gif"), &rc);
    EXPECT_EQ(rc, 0) << info;
    EXPECT_EQ(info.find("warning"), std::string::npos) << info;
    EXPECT_EQ(info.find("error"), std::string::npos) << info;
  }
}
