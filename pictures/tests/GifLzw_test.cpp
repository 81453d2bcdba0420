// GIF LZW codec: raster layout, exact code streams, round trips, streams the
// codec's own encoder never writes, malformed data and progress reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "GifLzw.h"
#include "GifTestSupport.h"

using namespace pictures;
using giftest::Indices;

namespace {

int DibBits(int frameBits) { return frameBits == 1 ? 1 : frameBits <= 4 ? 4 : 8; }

std::string Encode(const Indices& in, int pixelBits, bool interlaced, const TGifProgressHandler& progress = {}) {
  const std::vector<uint8_t> dib = giftest::PackDib(in, pixelBits);
  zf::TMemoryStream out;
  EncodeGifRaster(out, {in.width, in.height, pixelBits}, interlaced, progress, dib);
  return out.Bytes();
}

struct Decoded {
  Indices pic;
  bool corrupted = false;
};

Decoded Decode(const std::string& raster, int width, int height, int frameBits, bool interlaced,
               bool tolerate = true, const TGifProgressHandler& progress = {}) {
  const int bits = DibBits(frameBits);
  std::vector<uint8_t> dib(static_cast<size_t>(GifRasterStride(width, bits)) * height);
  zf::TMemoryStream in(raster);
  Decoded d;
  DecodeGifRaster(in, {width, height, bits}, interlaced, progress, d.corrupted, dib, frameBits, tolerate);
  d.pic = giftest::UnpackDib(dib, width, height, bits);
  return d;
}

// The message of the EInvalidGraphicOperation that `f` raises, "" for none.
template <class F>
std::string GraphicError(F&& f) {
  try {
    f();
  } catch (const zf::EInvalidGraphicOperation& e) {
    return e.Message();
  }
  return "";
}

using giftest::Bytes;

}  // namespace

TEST(GifInterlace, RowOrderForEveryHeightUpTo20) {
  for (int h = 1; h <= 20; ++h) {
    std::vector<int> rows;
    int pass = 0;
    for (int r = 0; r < h; r = NextInterlacedRow(r, h, pass)) rows.push_back(r);
    std::vector<int> expected;
    for (int p = 0; p < 4; ++p)
      for (int r = std::vector{0, 4, 2, 1}[p]; r < h; r += std::vector{8, 8, 4, 2}[p]) expected.push_back(r);
    EXPECT_EQ(rows, expected) << "height " << h;
  }
  int pass = 0;
  EXPECT_EQ(NextInterlacedRow(0, 3, pass), 2);
  EXPECT_EQ(NextInterlacedRow(2, 3, pass), 1);
  EXPECT_GE(NextInterlacedRow(1, 3, pass), 3);
}

TEST(GifRasterCursor, PlacesIndicesBottomUpInEachPixelFormat) {
  for (int bits : {1, 4, 8}) {
    for (bool interlaced : {false, true}) {
      const Indices pic = giftest::MakePicture("noise", 11, 5, 1 << std::min(bits, 8), 3);
      std::vector<uint8_t> dib(static_cast<size_t>(GifRasterStride(11, bits)) * 5, 0xAA);
      TGifRasterCursor c({11, 5, bits}, interlaced, dib);
      const Indices order = interlaced ? giftest::InterlaceOrder(pic) : pic;
      for (uint8_t v : order.px) PutRasterPixel(v, c);
      const std::vector<uint8_t> before = dib;
      PutRasterPixel(1, c);  // the raster is complete: nothing more is written
      EXPECT_EQ(dib, before);
      // Bytes start with a store (not an or), so the 0xAA fill does not leak into
      // pixels; the row padding keeps it.
      Indices back = giftest::UnpackDib(dib, 11, 5, bits);
      EXPECT_EQ(back.px, pic.px) << bits << " bits, interlaced " << interlaced;
    }
  }
}

TEST(GifEncoder, EmptyRasterWritesClearZeroEnd) {
  // 1 bit: code size 2, width 3: 4, 0, 5 -> 0b101'000'100; 4 bits: width 5: 16, 0, 17;
  // 8 bits: width 9: 256, 0, 257.
  EXPECT_EQ(Encode({0, 0, {}}, 1, false), Bytes({2, 2, 0x44, 0x01, 0}));
  EXPECT_EQ(Encode({0, 0, {}}, 4, false), Bytes({4, 2, 0x10, 0x44, 0}));
  EXPECT_EQ(Encode({5, 0, {}}, 8, true), Bytes({8, 4, 0x00, 0x01, 0x04, 0x04, 0}));
  EXPECT_EQ(Encode({0, 3, {}}, 8, false), Bytes({8, 4, 0x00, 0x01, 0x04, 0x04, 0}));
}

// The encoder's stream is what a plain dictionary LZW with a clear after code
// 4094 writes, bit for bit; resets happen at a full table only and the width stays
// within 12 bits.
TEST(GifEncoder, MatchesDictionaryLzwBitForBit) {
  struct Case {
    const char* kind;
    int w, h, frameBits;
    bool interlaced;
  };
  const Case cases[] = {{"noise", 1, 1, 1, false},     {"noise", 7, 3, 1, true},      {"noise", 64, 64, 1, false},
                        {"stripes", 33, 17, 3, false}, {"noise", 100, 90, 4, true},   {"smooth", 257, 31, 6, false},
                        {"noise", 300, 200, 8, false}, {"noise", 199, 301, 8, true},  {"flat", 1000, 1000, 8, false},
                        {"smooth", 640, 480, 8, false}};
  for (const Case& c : cases) {
    const Indices pic = giftest::MakePicture(c.kind, c.w, c.h, 1 << c.frameBits, 11);
    const int bits = DibBits(c.frameBits);
    const std::string ours = Encode(pic, bits, c.interlaced);
    const int codeSize = bits == 1 ? 2 : bits;
    const Indices order = c.interlaced ? giftest::InterlaceOrder(pic) : pic;
    const std::string ref =
        giftest::PackCodes(codeSize, giftest::ReferenceEncode(order.px, codeSize, false, 4094));
    EXPECT_EQ(ours, ref) << c.kind << " " << c.w << "x" << c.h;
    const giftest::Trace t = giftest::ReferenceDecode(ours);
    EXPECT_TRUE(t.endSeen);
    EXPECT_EQ(t.px, order.px);
    EXPECT_LE(t.maxWidth, 12);
    for (int n : t.clearAtNextFree) EXPECT_EQ(n, 4095) << c.kind;
  }
  // Noise of 256 colours fills the table many times over.
  const Indices noise = giftest::MakePicture("noise", 300, 200, 256, 11);
  EXPECT_GT(giftest::ReferenceDecode(Encode(noise, 8, false)).clearAtNextFree.size(), 10u);
}

// When the reset after code 4094 falls on the last pixel, nothing is pending:
// the stream must not carry that pixel a second time.
TEST(GifEncoder, ResetOnTheLastPixelAddsNoExtraCode) {
  const Indices noise = giftest::MakePicture("noise", 5000, 1, 256, 5);
  // The first reset falls where the second clear code stands; the pixels before it
  // are the ones to encode.
  const std::vector<giftest::Code> codes = giftest::ReferenceEncode(noise.px, 8, false, 4094);
  ASSERT_FALSE(giftest::ReferenceDecode(giftest::PackCodes(8, codes)).clearAtNextFree.empty());
  size_t seen = 0, cut = 0;
  for (size_t i = 0; i < codes.size() && cut == 0; ++i)
    if (codes[i].value == 256 && ++seen == 2) cut = i;
  std::vector<giftest::Code> head(codes.begin(), codes.begin() + static_cast<ptrdiff_t>(cut));
  head.push_back({257, 12});
  const size_t pixels = giftest::ReferenceDecode(giftest::PackCodes(8, head)).px.size();
  ASSERT_GT(pixels, 100u);
  const Indices exact{static_cast<int>(pixels), 1,
                      std::vector<uint8_t>(noise.px.begin(), noise.px.begin() + static_cast<ptrdiff_t>(pixels))};
  const std::string out = Encode(exact, 8, false);
  const giftest::Trace e = giftest::ReferenceDecode(out);
  EXPECT_EQ(e.clearAtNextFree.size(), 1u);
  EXPECT_EQ(e.px.size(), pixels);  // one more would be the repeated last pixel
  EXPECT_EQ(e.px, exact.px);
  EXPECT_EQ(Decode(out, exact.width, 1, 8, false).pic.px, exact.px);
}

TEST(GifCodec, RoundTripsEverySizeAndPixelFormat) {
  struct Case {
    const char* kind;
    int w, h;
  };
  const Case cases[] = {{"noise", 1, 1},    {"noise", 1, 9},       {"noise", 9, 1},    {"stripes", 2, 2},
                        {"noise", 3, 3},    {"smooth", 8, 8},      {"noise", 17, 5},   {"stripes", 31, 33},
                        {"noise", 129, 65}, {"smooth", 400, 300},  {"flat", 1, 4000},  {"noise", 640, 480},
                        {"smooth", 2048, 1536}};
  for (const Case& c : cases)
    for (int frameBits = 1; frameBits <= 8; ++frameBits)
      for (bool interlaced : {false, true}) {
        if (c.w * c.h > 500000 && frameBits % 4 != 0) continue;  // the large one at 4 and 8 bits
        const Indices pic = giftest::MakePicture(c.kind, c.w, c.h, 1 << frameBits, c.w + frameBits);
        const int bits = DibBits(frameBits);
        const Decoded d = Decode(Encode(pic, bits, interlaced), c.w, c.h, frameBits, interlaced, false);
        EXPECT_EQ(d.pic.px, pic.px) << c.kind << " " << c.w << "x" << c.h << " bits " << frameBits;
        EXPECT_FALSE(d.corrupted);
      }
}

// Streams written the way other encoders do: every code size 2..9, sub-blocks of
// odd sizes, a table that fills to 4096 codes and then stays frozen (deferred clear).
TEST(GifDecoder, ReadsDictionaryLzwOfEveryCodeSize) {
  for (int codeSize = 2; codeSize <= 9; ++codeSize)
    for (bool deferred : {false, true})
      for (int block : {1, 2, 3, 7, 255}) {
        const int frameBits = std::min(codeSize, 8);
        const Indices pic = giftest::MakePicture(block == 255 ? "noise" : "smooth", 210, 150, 1 << frameBits,
                                                 static_cast<uint32_t>(codeSize * 7 + block));
        const std::string raster =
            giftest::PackCodes(codeSize, giftest::ReferenceEncode(pic.px, codeSize, deferred), block);
        const Decoded d = Decode(raster, pic.width, pic.height, frameBits, false, false);
        EXPECT_EQ(d.pic.px, pic.px) << "code size " << codeSize << " deferred " << deferred << " block " << block;
        EXPECT_FALSE(d.corrupted);
      }
  // The deferred streams above do reach a frozen table.
  const Indices noise = giftest::MakePicture("noise", 210, 150, 256, 1);
  const std::string raster = giftest::PackCodes(8, giftest::ReferenceEncode(noise.px, 8, true));
  const giftest::Trace t = giftest::ReferenceDecode(raster);
  EXPECT_TRUE(t.clearAtNextFree.empty());
  EXPECT_GT(t.codes, 4096u * 2);
}

TEST(GifDecoder, StreamShapesAroundClearAndEndCodes) {
  const Indices pic = giftest::MakePicture("stripes", 40, 30, 16, 2);
  std::vector<giftest::Code> codes = giftest::ReferenceEncode(pic.px, 4, false);
  auto decode = [&](const std::vector<giftest::Code>& c) {
    return Decode(giftest::PackCodes(4, c), 40, 30, 4, false, false);
  };
  // No leading clear code: the same picture.
  EXPECT_EQ(decode({codes.begin() + 1, codes.end()}).pic.px, pic.px);
  // Repeated clear codes count as one.
  std::vector<giftest::Code> twice = codes;
  twice.insert(twice.begin(), {16, 5});
  twice.insert(twice.begin(), {16, 5});
  EXPECT_EQ(decode(twice).pic.px, pic.px);
  // All rows filled without an end code: quiet.
  std::vector<giftest::Code> noEnd(codes.begin(), codes.end() - 1);
  EXPECT_EQ(decode(noEnd).pic.px, pic.px);
  // An end code before the rows are full ends quietly; the rest stays index 0,
  // also when it follows a clear code at once.
  const Decoded early = decode({{16, 5}, {3, 5}, {3, 5}, {17, 5}});
  EXPECT_EQ(std::vector<uint8_t>(early.pic.px.begin(), early.pic.px.begin() + 4), (std::vector<uint8_t>{3, 3, 0, 0}));
  EXPECT_EQ(decode({{16, 5}, {17, 5}}).pic.px, std::vector<uint8_t>(40 * 30, 0));
  // Codes between the frame's last index and the clear code give two zeros.
  const Decoded low = Decode(giftest::PackCodes(4, {{16, 5}, {1, 5}, {9, 5}, {17, 5}}), 4, 1, 2, false);
  EXPECT_EQ(low.pic.px, (std::vector<uint8_t>{1, 0, 0, 0}));
  // A code size below the frame's bits (a large table, an image of few of its
  // entries): codes above the end code are strings, not indices.
  const Indices few = giftest::MakePicture("smooth", 30, 20, 8, 6);
  const Decoded wide = Decode(giftest::PackCodes(3, giftest::ReferenceEncode(few.px, 3, false)), 30, 20, 8, false);
  EXPECT_EQ(wide.pic.px, few.px);
  EXPECT_FALSE(wide.corrupted);
}

TEST(GifDecoder, DataEndingEarly) {
  const Indices pic = giftest::MakePicture("noise", 50, 40, 256, 9);
  const std::string full = Encode(pic, 8, false);
  const Decoded whole = Decode(full, 50, 40, 8, false);
  // Cut after some complete sub-blocks, inside a sub-block, and with the terminator only:
  // strict decoding raises, tolerant decoding keeps what was there and marks the frame.
  for (size_t keep : {size_t{1}, size_t{2}, size_t{200}, size_t{257}, size_t{600}, full.size() - 40}) {
    for (bool terminated : {false, true}) {
      std::string cut = full.substr(0, keep);
      if (terminated) cut.push_back('\0');
      EXPECT_EQ(GraphicError([&] { Decode(cut, 50, 40, 8, false, false); }), SGIFReadError) << keep;
      const Decoded d = Decode(cut, 50, 40, 8, false, true);
      EXPECT_TRUE(d.corrupted) << keep;
      // The pixels decoded before the end are the picture's; the rest keep index 0.
      const size_t reached = std::mismatch(d.pic.px.begin(), d.pic.px.end(), whole.pic.px.begin()).first -
                             d.pic.px.begin();
      EXPECT_TRUE(std::all_of(d.pic.px.begin() + static_cast<std::ptrdiff_t>(reached) + 1, d.pic.px.end(),
                              [](uint8_t v) { return v == 0; }) || reached + 1 >= d.pic.px.size())
          << keep;
      if (keep >= 600) {
        EXPECT_GT(reached, keep / 2) << keep;
      }
    }
  }
  // No code-size byte at all: the stream's own read error.
  EXPECT_THROW(Decode("", 1, 1, 8, false), zf::EReadError);
}

TEST(GifDecoder, CodeSizeOutsideTwoToNine) {
  const Indices pic = giftest::MakePicture("noise", 20, 10, 2, 4);
  std::string raster = giftest::PackCodes(2, giftest::ReferenceEncode(pic.px, 2, false));
  raster[0] = 1;  // repaired to 2: the same picture, marked corrupted
  const Decoded d = Decode(raster, 20, 10, 1, false, true);
  EXPECT_EQ(d.pic.px, pic.px);
  EXPECT_TRUE(d.corrupted);
  for (int size : {0, 1, 10, 12, 13, 255}) {
    raster[0] = static_cast<char>(size);
    EXPECT_EQ(GraphicError([&] { Decode(raster, 20, 10, 1, false, false); }), SGIFCodeSize) << size;
    // Tolerated: decoding goes on at the clamped size, whatever the data then gives.
    bool corrupted = false;
    const std::string err = GraphicError([&] { corrupted = Decode(raster, 20, 10, 1, false, true).corrupted; });
    EXPECT_TRUE(err.empty() ? corrupted : err == SGIFReadError) << size;
  }
}

TEST(GifDecoder, CyclicTableIsCorruptData) {
  // After the clear, code 7 lies beyond the table; two more 7s make entry 7 its
  // own prefix, and the next 7 never ends.
  const std::string raster = giftest::PackCodes(2, {{4, 3}, {7, 3}, {7, 3}, {7, 3}, {7, 4}, {5, 4}});
  EXPECT_EQ(GraphicError([&] { Decode(raster, 10, 10, 2, false, false); }), SGIFDecodeError);
  const Decoded d = Decode(raster, 10, 10, 2, false, true);
  EXPECT_TRUE(d.corrupted);
  EXPECT_EQ(std::vector<uint8_t>(d.pic.px.begin(), d.pic.px.begin() + 7),
            (std::vector<uint8_t>{3, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(std::count(d.pic.px.begin() + 7, d.pic.px.end(), 0), 93);
}

// Random bytes after every code size: each outcome is a picture or one of the
// codec's named errors; the sanitizers watch the memory.
TEST(GifDecoder, RandomDataGivesOnlyNamedOutcomes) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    std::string raster(1, static_cast<char>(rng() % 12));
    const size_t n = rng() % 600;
    for (size_t k = 0; k < n; ++k) raster.push_back(static_cast<char>(rng()));
    const int w = static_cast<int>(rng() % 40) + 1, h = static_cast<int>(rng() % 40);
    const int frameBits = static_cast<int>(rng() % 8) + 1;
    try {
      Decode(raster, w, h, frameBits, rng() % 2, rng() % 2);
    } catch (const zf::EInvalidGraphicOperation& e) {
      EXPECT_TRUE(e.Message() == SGIFReadError || e.Message() == SGIFCodeSize || e.Message() == SGIFDecodeError)
          << e.Message();
    }
  }
}

TEST(GifCodec, RejectsArraysItCannotAddress) {
  std::vector<uint8_t> small(10);
  bool corrupted = false;
  zf::TMemoryStream in(Bytes({8, 0}));
  EXPECT_EQ(GraphicError([&] { DecodeGifRaster(in, {8, 8, 8}, false, {}, corrupted, small, 8, true); }),
            SGIFWrongColors);
  EXPECT_EQ(GraphicError([&] { DecodeGifRaster(in, {2, 2, 2}, false, {}, corrupted, small, 2, true); }),
            SGIFWrongColors);
  EXPECT_EQ(GraphicError([&] { DecodeGifRaster(in, {2, 2, 4}, false, {}, corrupted, small, 5, true); }),
            SGIFWrongColors);
  zf::TMemoryStream out;
  EXPECT_EQ(GraphicError([&] { EncodeGifRaster(out, {8, 8, 8}, false, {}, small); }), SGIFEncodeError);
  EXPECT_EQ(GraphicError([&] { EncodeGifRaster(out, {2, 2, 24}, false, {}, small); }), SGIFEncodeError);
  EXPECT_EQ(GraphicError([&] { EncodeGifRaster(out, {-1, 2, 8}, false, {}, small); }), SGIFEncodeError);
  EXPECT_EQ(out.Size(), 0);
}

namespace {
struct Report {
  TGifProgressStage stage;
  int percent;
  std::string msg;
};
struct Recorder {
  std::vector<Report> seen;
  TGifProgressHandler Handler() {
    return [this](TGifProgressStage s, uint8_t p, const std::string& m) { seen.push_back({s, p, m}); };
  }
};
}  // namespace

TEST(GifProgress, DecodeReportsStartRunningAndEnd) {
  const Indices pic = giftest::MakePicture("noise", 60, 50, 256, 8);
  const std::string raster = Encode(pic, 8, false);
  Recorder r;
  Decode(raster, 60, 50, 8, false, true, r.Handler());
  ASSERT_GT(r.seen.size(), 100u);
  EXPECT_EQ(r.seen.front().stage, TGifProgressStage::psStarting);
  EXPECT_EQ(r.seen.front().percent, 0);
  EXPECT_EQ(r.seen.back().stage, TGifProgressStage::psEnding);
  EXPECT_EQ(r.seen.back().percent, 100);
  EXPECT_EQ(r.seen.back().msg, "");
  int last = 0;
  for (size_t i = 1; i + 1 < r.seen.size(); ++i) {
    EXPECT_EQ(r.seen[i].stage, TGifProgressStage::psRunning);
    EXPECT_GE(r.seen[i].percent, last);
    last = r.seen[i].percent;
  }
  EXPECT_GE(last, 95);

  Recorder f;
  EXPECT_EQ(GraphicError([&] { Decode(raster.substr(0, 300), 60, 50, 8, false, false, f.Handler()); }),
            SGIFReadError);
  EXPECT_EQ(f.seen.back().stage, TGifProgressStage::psEnding);
  EXPECT_EQ(f.seen.back().percent, 0);
  EXPECT_EQ(f.seen.back().msg, SGIFReadError);
}

TEST(GifProgress, AbortFromTheHandlerPassesOnAfterTheEndingReport) {
  const Indices pic = giftest::MakePicture("smooth", 30, 20, 16, 1);
  Recorder r;
  auto aborting = [&](TGifProgressStage s, uint8_t p, const std::string& m) {
    r.seen.push_back({s, p, m});
    if (s == TGifProgressStage::psRunning) zf::Abort();
  };
  EXPECT_THROW(Encode(pic, 4, false, aborting), zf::EAbort);
  ASSERT_EQ(r.seen.size(), 3u);
  EXPECT_EQ(r.seen[2].stage, TGifProgressStage::psEnding);
  EXPECT_EQ(r.seen[2].percent, 0);
  r.seen.clear();
  const std::string raster = Encode(pic, 4, false);
  EXPECT_THROW(Decode(raster, 30, 20, 4, false, true, aborting), zf::EAbort);
  EXPECT_EQ(r.seen.back().stage, TGifProgressStage::psEnding);
}

TEST(GifProgress, EncodeReportsEachRow) {
  for (bool interlaced : {false, true}) {
    const Indices pic = giftest::MakePicture("noise", 9, 7, 2, 1);
    Recorder r;
    Encode(pic, 1, interlaced, r.Handler());
    ASSERT_EQ(r.seen.size(), 9u);
    EXPECT_EQ(r.seen[0].stage, TGifProgressStage::psStarting);
    for (int i = 1; i <= 7; ++i) {
      EXPECT_EQ(r.seen[i].stage, TGifProgressStage::psRunning);
      EXPECT_LE(r.seen[i].percent, 100);
    }
    EXPECT_EQ(r.seen[7].percent, 100);
    EXPECT_EQ(r.seen[8].stage, TGifProgressStage::psEnding);
    EXPECT_EQ(r.seen[8].percent, 100);
  }
}
