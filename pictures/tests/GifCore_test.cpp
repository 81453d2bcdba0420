// The GIF byte model: reading and writing whole files, extension runs, the
// looping block, comments, graphic control, colour tables, frames to BMP files
// and back, and the malformed input the reader must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "GifCore.h"
#include "GifTestSupport.h"

using namespace pictures;

namespace {

using giftest::Bytes;

// The message of the exception `f` raises ("" for none), with its class.
std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const zf::EInvalidGraphicOperation& e) {
    return "graphic: " + e.Message();
  } catch (const zf::EReadError& e) {
    return "read: " + e.Message();
  }
  return "";
}

// A BMP file of `bits` per pixel from indices (top row first) and RGB entries.
std::string MakeBmp(const giftest::Indices& pic, int bits, const std::vector<uint32_t>& rgb) {
  const std::vector<uint8_t> px = giftest::PackDib(pic, bits);
  std::string out = "BM";
  auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i))); };
  auto put16 = [&](uint16_t v) { out.push_back(static_cast<char>(v)); out.push_back(static_cast<char>(v >> 8)); };
  const uint32_t palette = 4u << bits;
  put32(static_cast<uint32_t>(54 + palette + px.size()));
  put32(0);
  put32(54 + palette);
  put32(40);
  put32(static_cast<uint32_t>(pic.width));
  put32(static_cast<uint32_t>(pic.height));
  put16(1);
  put16(static_cast<uint16_t>(bits));
  put32(0);
  put32(static_cast<uint32_t>(px.size()));
  out.append(16, '\0');
  for (uint32_t i = 0; i < (1u << bits); ++i) {
    const uint32_t c = i < rgb.size() ? rgb[i] : 0;
    out += Bytes({static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>(c >> 16), 0});
  }
  out.append(reinterpret_cast<const char*>(px.data()), px.size());
  return out;
}

// Indices of a decoded BMP (as DecodeToDib writes it).
giftest::Indices BmpIndices(const std::string& bmp) {
  const TGifDib d = ParseDib(bmp);
  return giftest::UnpackDib(std::vector<uint8_t>(d.Pixels.begin(), d.Pixels.end()), d.Width, d.Height, d.Bits);
}

// A GIF by hand: header, screen with a global table of 2 entries (black, white), then `body`.
std::string Gif(const std::string& body, const std::string& version = "89a") {
  return "GIF" + version + Bytes({4, 0, 2, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255}) + body;
}
// A 4 x 2 image of index 1 at (left, top), no local table.
std::string Image(int left = 0, int top = 0) {
  const giftest::Indices pic{4, 2, std::vector<uint8_t>(8, 1)};
  return Bytes({0x2C, left, 0, top, 0, 4, 0, 2, 0, 0}) +
         giftest::PackCodes(2, giftest::ReferenceEncode(pic.px, 2, false));
}
std::string GraphicControl(int packed, int delay, int index) {
  return Bytes({0x21, 0xF9, 4, packed, delay & 0xFF, delay >> 8, index, 0});
}
std::string Comment(const std::string& text) {
  return Bytes({0x21, 0xFE, static_cast<int>(text.size())}) + text + Bytes({0});
}
std::string Loop(int size, const std::string& id, int count) {
  return Bytes({0x21, 0xFF, size}) + id + Bytes({3, 1, count & 0xFF, count >> 8, 0});
}

TGifDocument Read(const std::string& gif, bool tolerate = true) {
  TGifDocument doc;
  ReadGif(gif, doc, tolerate);
  return doc;
}

}  // namespace

TEST(GifColorTable, Routines) {
  for (auto [count, bits] : std::vector<std::pair<int, int>>{{2, 1}, {4, 2}, {16, 4}, {128, 7}, {256, 8}})
    EXPECT_EQ(ColorCountToBits(count), bits);
  for (int count : {0, 1, 3, 255, 512, -2}) EXPECT_EQ(ErrorOf([&] { ColorCountToBits(count); }), std::string("graphic: ") + SGIFWrongColors);
  for (auto [bits, dib] : std::vector<std::pair<int, int>>{{1, 1}, {2, 4}, {4, 4}, {5, 8}, {8, 8}})
    EXPECT_EQ(DibBitsForFrame(bits), dib);
  for (int bits : {0, 9}) EXPECT_EQ(ErrorOf([&] { DibBitsForFrame(bits); }), std::string("graphic: ") + SGIFWrongColors);

  TGifColorTable t;
  t.Count = 3;
  const uint8_t entries[3][3] = {{1, 2, 3}, {0x10, 0x20, 0x30}, {1, 2, 3}};
  std::memcpy(t.Entries, entries, sizeof entries);
  EXPECT_EQ(TableEntryToColor(t, 1), 0x302010);
  EXPECT_EQ(FindTableColor(t, 0x030201), 0);  // the first of two equal entries
  EXPECT_EQ(FindTableColor(t, 0x302010), 1);
  EXPECT_EQ(FindTableColor(t, 0x000000), -1);  // the zeroed entries beyond the count do not count
  EXPECT_EQ(FindTableColor(t, GifColorNone), -1);

  uint8_t quads[256][4];
  TableToDibPalette(t, quads);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(quads[1]), 4), Bytes({0x30, 0x20, 0x10, 0}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(quads[3]), 4), Bytes({0x80, 0x80, 0x80, 0x80}));
  TGifColorTable back;
  DibPaletteToTable(back, &quads[0][0], 3);
  EXPECT_EQ(back, t);
  DibPaletteToTable(back, &quads[0][0], 300);
  EXPECT_EQ(back.Count, 256);
}

TEST(GifReader, HeaderScreenAndBackground) {
  // Signature and version in any case; a version outside the table is refused.
  EXPECT_EQ(Read(Gif(Image(), "89A")).Screen.Version, 2);
  EXPECT_EQ(Read("gif87a" + Gif(Image()).substr(6)).Screen.Version, 1);
  EXPECT_EQ(Read("gIf89A" + Gif(Image()).substr(6)).Frames.size(), 1u);
  for (const char* bad : {"GIF88a", "GIF89b", "JIF89a", "GIF   "})
    EXPECT_EQ(ErrorOf([&] { Read(bad + Gif(Image()).substr(6)); }), std::string("graphic: ") + SGIFVersion) << bad;
  // Nothing at all is an empty picture; a header cut short is the stream's read error.
  EXPECT_TRUE(Read("").Frames.empty());
  EXPECT_EQ(ErrorOf([] { Read("GIF89a\x04"); }), "read: Stream read error");
  EXPECT_EQ(ErrorOf([] { Read(Gif("").substr(0, 16)); }), "read: Stream read error");  // global table cut

  TGifDocument d = Read(Gif(Image() + ";"));
  EXPECT_EQ(d.Screen.Width, 4);
  EXPECT_EQ(d.Data.BitsPerPixel, 1);
  EXPECT_EQ(d.Data.GlobalTable.Count, 2);
  EXPECT_EQ(d.Screen.Background, 0);  // entry 0, black
  std::string g = Gif(Image());
  g[11] = 1;
  EXPECT_EQ(Read(g).Screen.Background, 0xFFFFFF);
  g[11] = 2;  // beyond the global table
  EXPECT_EQ(Read(g).Screen.Background, GifColorNone);
}

TEST(GifReader, BlocksBetweenImages) {
  struct Case {
    const char* name;
    std::string body;
    std::string error;  // "" when it reads
    size_t frames;
  };
  const std::vector<Case> cases = {
      {"zero bytes between blocks", Bytes({0, 0}).append(Image()).append(Bytes({0})).append(Image()).append(";"), "", 2},
      {"trailer missing", Image(), "", 1},
      {"garbage after an image ends reading", Image().append("xyz").append(Image()), "", 1},
      {"garbage before an image", std::string("x").append(Image()), "read: Stream read error", 0},
      {"garbage after an extension run", Comment("a").append("x").append(Image()), "read: Stream read error", 0},
      {"unknown label", Bytes({0x21, 0x99, 0}).append(Image()), "graphic: Unrecognized extension block: 99", 0},
      {"unknown label, upper hex digits", Bytes({0x21, 0xAB, 0}).append(Image()),
       "graphic: Unrecognized extension block: AB", 0},
      {"comment sub-block cut short", Bytes({0x21, 0xFE, 9, 'a', 'b'}), "read: Stream read error", 0},
      {"comment without terminator", Bytes({0x21, 0xFE, 1, 'a'}), "read: Stream read error", 0},
      {"graphic control cut short", Bytes({0x21, 0xF9, 4, 0}), "read: Stream read error", 0},
      {"descriptor cut short", Bytes({0x2C, 0, 0, 4}), "read: Stream read error", 0},
      {"local table cut short", Bytes({0x2C, 0, 0, 0, 0, 4, 0, 2, 0, 0x81, 1, 2, 3}), "read: Stream read error", 0},
  };
  for (const Case& c : cases) {
    size_t frames = 0;
    EXPECT_EQ(ErrorOf([&] { frames = Read(Gif(c.body)).Frames.size(); }), c.error) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(frames, c.frames) << c.name;
    }
  }
}

TEST(GifReader, FrameDataEndingInsideASubBlock) {
  const std::string full = Gif(Image());
  const std::string cut = full.substr(0, full.size() - 2);  // inside the last sub-block
  TGifDocument d = Read(cut, true);
  ASSERT_EQ(d.Frames.size(), 1u);
  EXPECT_TRUE(d.Frames[0].State.Corrupted);
  // Only the code-size byte remains of the raster (the complete sub-blocks), closed by a terminator.
  EXPECT_EQ(*d.Frames[0].Item.Encoded, std::string("\x02\x00", 2));
  EXPECT_EQ(ErrorOf([&] { Read(cut, false); }), "graphic: Stream read error");
  // Decoding it then marks the frame corrupted instead of failing the picture.
  bool corrupted = false;
  const std::string bmp = DecodeToDib(d.Frames[0].Item, false, {}, corrupted, true);
  EXPECT_TRUE(corrupted);
  EXPECT_EQ(BmpIndices(bmp).px, std::vector<uint8_t>(8, 0));
}

TEST(GifReader, GraphicControlAndGeometry) {
  // Two blocks before one image: the later disposal, the larger delay; a clear
  // transparent bit in the later one removes the transparent colour.
  TGifDocument d = Read(Gif(GraphicControl(0x09, 50, 1) + GraphicControl(0x04, 7, 0) + Image(1, 2)));
  const TGifFrameState& s = d.Frames[0].State;
  EXPECT_EQ(s.Disposal, 1);
  EXPECT_EQ(s.Delay, 500u);
  EXPECT_EQ(s.TransparentColor, GifColorNone);
  EXPECT_EQ(s.Left, 1);
  EXPECT_EQ(s.Top, 2);
  EXPECT_EQ(s.Extensions.size(), 2u);

  d = Read(Gif(GraphicControl(0x01, 0, 1) + Image()));
  EXPECT_EQ(d.Frames[0].State.TransparentColor, 0xFFFFFF);
  d = Read(Gif(GraphicControl(0x01, 0, 2) + Image()));  // beyond the table
  EXPECT_EQ(d.Frames[0].State.TransparentColor, GifColorNone);

  // A descriptor of width and height 0 takes the logical screen size.
  std::string zero = Image();
  zero[5] = 0;
  zero[7] = 0;
  d = Read(Gif(zero));
  EXPECT_EQ(d.Frames[0].Item.Width, 4);
  EXPECT_EQ(d.Frames[0].Item.Height, 2);
  // A plain-text block discards the run gathered before it.
  const std::string text = Bytes({0x21, 0x01, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i', 0});
  d = Read(Gif(GraphicControl(0x01, 10, 1) + Comment("x") + text + Comment("y") + Image()));
  ASSERT_EQ(d.Frames[0].State.Extensions.size(), 1u);
  EXPECT_EQ((*d.Frames[0].State.Extensions[0].Strings)[0], "y");
  EXPECT_EQ(d.Frames[0].State.Delay, 0u);
}

TEST(GifReader, LoopingBlockAndComments) {
  struct Case {
    std::string block;
    bool looping;
    int count;
  };
  const std::vector<Case> cases = {
      {Loop(11, "NETSCAPE2.0", 0), true, 0},
      {Loop(11, "ANIMEXTS1.0", 7), true, 7},
      {Loop(11, "NETSCAPE2.0", 65535), true, 30000},
      {Loop(11, "NETSCAPE2.1", 5), false, 1},
      {Loop(10, "NETSCAPE2.0", 5), false, 1},  // only a block of size 11 is the looping block
      {Bytes({0x21, 0xFF, 11}) + "NETSCAPE2.0" + Bytes({2, 1, 5, 0}), false, 1},
  };
  for (const Case& c : cases) {
    const TGifDocument d = Read(Gif(c.block + Image()));
    EXPECT_EQ(d.Screen.Looping, c.looping) << c.count;
    EXPECT_EQ(d.Screen.RepeatCount, c.count) << c.count;
    EXPECT_TRUE(d.Frames[0].State.Extensions.empty());
  }

  // Comments before an image stay with it; those after the last image are the picture's.
  TGifDocument d = Read(Gif(Comment("mine") + Image() + Comment("one") + Comment("two") + ";"));
  EXPECT_EQ((*d.Frames[0].State.Extensions[0].Strings)[0], "mine");
  EXPECT_EQ(d.Data.Comments, (std::vector<std::string>{"one", "\r\n\r\n", "two"}));
}

TEST(GifWriter, RoundTripKeepsWhatWasRead) {
  const std::string body = Loop(11, "NETSCAPE2.0", 3) + GraphicControl(0x09, 12, 1) + Comment("first") + Image() +
                           GraphicControl(0x08, 30, 0) + Image(0, 0) + Comment("end") + ";";
  TGifDocument d = Read(Gif(body));
  for (auto& f : d.Frames) {
    uint8_t version = d.Screen.Version;
    UpdateExtensions(f.State, f.Item, version);
  }
  const std::string written = WriteGif(d);
  TGifDocument again = Read(written);
  ASSERT_EQ(again.Frames.size(), 2u);
  EXPECT_TRUE(again.Screen.Looping);
  EXPECT_EQ(again.Screen.RepeatCount, 3);
  EXPECT_EQ(again.Data.Comments, std::vector<std::string>{"end"});
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(again.Frames[i].Item.Encoded, d.Frames[i].Item.Encoded);
    EXPECT_EQ(again.Frames[i].State.Delay, d.Frames[i].State.Delay);
    EXPECT_EQ(again.Frames[i].State.Disposal, d.Frames[i].State.Disposal);
    EXPECT_EQ(again.Frames[i].State.TransparentColor, d.Frames[i].State.TransparentColor);
  }
  EXPECT_EQ(again.Frames[0].State.Extensions.size(), 2u);
  EXPECT_EQ(WriteGif(again), written);

  // One frame: no looping block is written.
  TGifDocument one = Read(Gif(Loop(11, "NETSCAPE2.0", 3) + Image()));
  EXPECT_FALSE(Read(WriteGif(one)).Screen.Looping);
}

TEST(GifWriter, GraphicControlKeptInStep) {
  TGifItemData item;
  item.Table.Count = 4;
  // Entries 1 and 3 share a colour.
  const uint8_t rgb[4][3] = {{0, 0, 0}, {9, 9, 9}, {255, 255, 255}, {9, 9, 9}};
  std::memcpy(item.Table.Entries, rgb, sizeof rgb);
  struct Case {
    uint32_t delay;
    TGifColor transparent;
    int readIndex;
    uint8_t disposal;
    bool block;
    uint16_t hundredths;
    int packed, index;
  };
  const std::vector<Case> cases = {
      {0, GifColorNone, -1, 0, false, 0, 0, 0},
      {95, GifColorNone, -1, 0, true, 9, 0x00, 0},
      {700000, GifColorNone, -1, 0, true, 65535, 0x00, 0},  // beyond 16 bits: clamped
      {0, 0x090909, 3, 2, true, 0, 0x09, 3},                  // the index read stays
      {0, 0x090909, -1, 0, true, 0, 0x01, 1},                 // else the first entry of the colour
      {0, 0x090909, 2, 0, true, 0, 0x01, 1},                  // entry 2 no longer has it
      {0, 0x123456, -1, 7, true, 0, 0x1C, 0},                 // not in the table: no transparency
  };
  for (const Case& c : cases) {
    TGifFrameState st;
    st.Delay = c.delay;
    st.TransparentColor = c.transparent;
    st.TransparentIndex = c.readIndex;
    st.Disposal = c.disposal;
    uint8_t version = 1;
    UpdateExtensions(st, item, version);
    const TGifExtension* gc = FindLastExtension(st.Extensions, TGifExtensionKind::GraphicControl);
    ASSERT_EQ(gc != nullptr, c.block) << c.delay;
    EXPECT_EQ(version, c.block ? 2 : 1);
    if (!gc) continue;
    EXPECT_EQ(gc->Fixed.size(), 6u);
    EXPECT_EQ(gc->DelayHundredths(), c.hundredths) << c.delay;
    EXPECT_EQ(gc->Packed(), c.packed) << c.delay;
    EXPECT_EQ(gc->TransparentIndex(), c.index) << c.delay;
  }
  // Empty comment blocks are dropped.
  TGifFrameState st;
  TGifExtension empty;
  empty.Strings = std::vector<std::string>{};
  st.Extensions = {empty, TGifExtension{}};
  uint8_t version = 1;
  UpdateExtensions(st, item, version);
  EXPECT_TRUE(st.Extensions.empty());
  EXPECT_EQ(version, 1);
}

TEST(GifWriter, TablesCommentsAndGeometry) {
  TGifDocument d = Read(Gif(Image()));
  d.Frames[0].State.LocalTable = true;
  d.Data.Comments = {std::string(300, 'c'), "", "x"};
  for (int count : {0, 2, 3, 5, 256}) {
    d.Frames[0].Item.Table.Count = count;
    const std::string gif = WriteGif(d);
    EXPECT_EQ(gif.substr(3, 3), "89a");  // a comment makes it 89a
    TGifDocument back = Read(gif);
    // The local table is written as whole 2^n entries.
    EXPECT_EQ(back.Frames[0].Item.Table.Count, 1 << BitsForCount(count)) << count;
    EXPECT_EQ(back.Data.Comments, (std::vector<std::string>{std::string(255, 'c'), "x"}));
  }
  // The background index: the first entry of that colour, 0 when none has it.
  d.Screen.Background = 0xFFFFFF;
  EXPECT_EQ(WriteGif(d)[11], 1);
  d.Screen.Background = 0x123456;
  EXPECT_EQ(WriteGif(d)[11], 0);

  for (auto [left, width] : std::vector<std::pair<int, int>>{{-1, 4}, {65536, 4}, {0, 70000}, {65000, 1000}}) {
    TGifDocument g = Read(Gif(Image()));
    g.Frames[0].State.Left = left;
    g.Frames[0].Item.Width = width;
    EXPECT_EQ(ErrorOf([&] { WriteGif(g); }), std::string("graphic: ") + SGIFEncodeError) << left << " " << width;
  }
  TGifDocument none;
  EXPECT_EQ(ErrorOf([&] { WriteGif(none); }), std::string("graphic: ") + SGIFNoData);
}

TEST(GifFrames, BmpBothWays) {
  for (int bits : {1, 4, 8}) {
    const giftest::Indices pic = giftest::MakePicture("smooth", 37, 11, 1 << bits, static_cast<uint32_t>(bits));
    std::vector<uint32_t> rgb;
    for (int i = 0; i < (1 << bits); ++i) rgb.push_back(static_cast<uint32_t>(i * 0x010203));
    const std::string bmp = MakeBmp(pic, bits, rgb);

    TGifPictureData data;
    TGifScreen screen;
    TGifFrameRecord f;
    f.State.Left = 3;
    EncodeDib(bmp, f.Item, f.State, &data, &screen, {});
    EXPECT_EQ(f.Item.BitsPerPixel, bits);
    EXPECT_FALSE(f.State.LocalTable);  // the first table becomes the global one
    EXPECT_EQ(data.GlobalTable.Count, 1 << bits);
    EXPECT_EQ(screen.Width, 40);
    EXPECT_EQ(screen.Height, 11);
    TGifFrameRecord second;
    EncodeDib(bmp, second.Item, second.State, &data, &screen, {});
    EXPECT_TRUE(second.State.LocalTable);

    bool corrupted = false;
    const std::string back = DecodeToDib(f.Item, false, {}, corrupted, false);
    EXPECT_FALSE(corrupted);
    EXPECT_EQ(BmpIndices(back).px, pic.px) << bits;
    EXPECT_EQ(back.substr(54, 4 << bits), bmp.substr(54, 4 << bits));
  }
}

TEST(GifFrames, DecodeLimits) {
  TGifItemData item;
  item.BitsPerPixel = 8;
  item.Encoded = std::string("\x08\x00", 2);
  bool corrupted = false;
  for (auto [w, h] : std::vector<std::pair<int, int>>{{0, 5}, {5, 0}, {0, 0}}) {
    item.Width = w;
    item.Height = h;
    EXPECT_EQ(DecodeToDib(item, false, {}, corrupted, false), "");  // the codec is not run
  }
  item.Width = 65535;
  item.Height = 65535;
  EXPECT_EQ(ErrorOf([&] { DecodeToDib(item, false, {}, corrupted, false); }), std::string("graphic: ") + SGIFTooLarge);
  item.BitsPerPixel = 0;  // no table at all
  EXPECT_EQ(ErrorOf([&] { DecodeToDib(item, false, {}, corrupted, false); }), std::string("graphic: ") + SGIFWrongColors);
}

TEST(GifFrames, EncodeRefusesBrokenBmp) {
  const giftest::Indices pic = giftest::MakePicture("noise", 9, 4, 16, 1);
  const std::string good = MakeBmp(pic, 4, {});
  auto with = [&](size_t at, std::string bytes) {
    std::string b = good;
    b.replace(at, bytes.size(), bytes);
    return b;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"too short", good.substr(0, 53)},
      {"no BM", with(0, "XM")},
      {"header size", with(14, Bytes({12, 0, 0, 0}))},
      {"compressed", with(30, Bytes({2, 0, 0, 0}))},
      {"top-down rows", with(22, Bytes({0xFC, 0xFF, 0xFF, 0xFF}))},
      {"24 bits", with(28, Bytes({24, 0}))},
      {"pixels beyond the data", good.substr(0, good.size() - 1)},
      {"pixel offset beyond the data", with(10, Bytes({0xFF, 0xFF, 0, 0}))},
      {"palette beyond the data", good.substr(0, 60)},
  };
  for (const auto& [name, bmp] : cases) {
    TGifFrameRecord f;
    EXPECT_EQ(ErrorOf([&] { EncodeDib(bmp, f.Item, f.State, nullptr, nullptr, {}); }),
              std::string("graphic: ") + SGIFEncodeError)
        << name;
  }
}
