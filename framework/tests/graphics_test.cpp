// Bitmaps, icons, pictures and the registry, and JPEG pictures, over GDI under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "Graphics.h"
#include "Jpeg.h"

using namespace zf;

namespace {

std::string FixtureBytes(const char* name) {
  std::ifstream f(std::string(ZIVO_FIXTURES) + "/" + name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(Bitmap, BmpRoundTripInEveryPixelFormat) {
  for (TPixelFormat pf : {TPixelFormat::pf1bit, TPixelFormat::pf4bit, TPixelFormat::pf8bit, TPixelFormat::pf24bit,
                          TPixelFormat::pf32bit}) {
    SCOPED_TRACE(static_cast<int>(pf));
    TBitmap b;
    b.SetPixelFormat(pf);
    b.SetSize(13, 7);
    EXPECT_EQ(b.PixelFormat(), pf);
    b.Canvas().SetPixel(0, 6, clBlack);
    b.Canvas().SetPixel(12, 0, clWhite);
    b.Canvas().SetPixel(5, 3, clBlack);
    TMemoryStream m;
    b.SaveToStream(m);
    EXPECT_EQ(m.Bytes().substr(0, 2), "BM");
    m.SetPosition(0);
    TBitmap c;
    c.LoadFromStream(m);
    EXPECT_EQ(c.Width(), 13);
    EXPECT_EQ(c.Height(), 7);
    EXPECT_EQ(c.PixelFormat(), pf);
    EXPECT_EQ(c.Canvas().Pixel(0, 6), clBlack);
    EXPECT_EQ(c.Canvas().Pixel(12, 0), clWhite);
    EXPECT_EQ(c.Canvas().Pixel(5, 3), clBlack);
    EXPECT_EQ(c.Monochrome(), pf == TPixelFormat::pf1bit);
    // Automatic transparent colour: the bottom-left pixel.
    EXPECT_EQ(c.TransparentColor(), clBlack);
  }
}

TEST(Bitmap, ScanLineHandleTypeAndBadData) {
  TBitmap b;
  b.SetPixelFormat(TPixelFormat::pf24bit);
  b.SetSize(4, 3);
  auto* row = static_cast<uint8_t*>(b.ScanLine(2));
  row[0] = 0x11;  // blue
  row[1] = 0x22;  // green
  row[2] = 0x33;  // red
  EXPECT_EQ(b.Canvas().Pixel(0, 2), static_cast<TColor>(RGB(0x33, 0x22, 0x11)));
  EXPECT_THROW(b.ScanLine(3), EInvalidGraphicOperation);
  b.SetHandleType(TBitmapHandleType::bmDDB);
  EXPECT_EQ(b.PixelFormat(), TPixelFormat::pfDevice);
  EXPECT_EQ(b.Canvas().Pixel(0, 2), static_cast<TColor>(RGB(0x33, 0x22, 0x11)));
  b.SetHandleType(TBitmapHandleType::bmDIB);
  EXPECT_EQ(static_cast<uint8_t*>(b.ScanLine(2))[2], 0x33);

  TMemoryStream m;
  b.SaveToStream(m);
  std::string bytes = m.Bytes();
  struct Case { std::string data; bool readError; };
  std::string badMagic = bytes, badBits = bytes, huge = bytes;
  badMagic[0] = 'X';
  badBits[28] = 7;                       // biBitCount
  huge[18] = huge[19] = huge[20] = huge[21] = '\x7F';  // biWidth beyond any real bitmap
  for (const Case& c : {Case{badMagic, false}, Case{badBits, false}, Case{huge, false},
                        Case{bytes.substr(0, bytes.size() - 5), true}, Case{bytes.substr(0, 20), true}}) {
    TMemoryStream s(c.data);
    TBitmap x;
    if (c.readError) EXPECT_THROW(x.LoadFromStream(s), EReadError);
    else EXPECT_THROW(x.LoadFromStream(s), EInvalidGraphic);
  }
}

TEST(Picture, RegistryByExtensionClipboardAndClassName) {
  RegisterJpegImage();
  EXPECT_EQ(TPicture::FindExtension("JPG"), &TJPEGImage::Class());
  EXPECT_EQ(TPicture::FindExtension(".jpeg"), &TJPEGImage::Class());
  EXPECT_EQ(TPicture::FindExtension("bmp"), &TBitmap::Class());
  EXPECT_EQ(TPicture::FindExtension("gif"), nullptr);
  EXPECT_EQ(TPicture::FindClipboardFormat(CF_BITMAP), &TBitmap::Class());
  UINT fmt = RegisterClipboardFormatA("Zivo Test Icon");
  TPicture::RegisterClipboardFormat(fmt, TIcon::Class());
  EXPECT_TRUE(TPicture::SupportsClipboardFormat(fmt));
  TPicture::UnregisterGraphicClass(TIcon::Class());
  EXPECT_FALSE(TPicture::SupportsClipboardFormat(fmt));
  EXPECT_EQ(TPicture::FindExtension("ico"), nullptr);
  TPicture::RegisterFileFormat("ico", "Icons", TIcon::Class());
  EXPECT_EQ(TPicture::FindClassName("tjpegimage"), &TJPEGImage::Class());

  TPicture p;
  try {
    TMemoryStream m("x");
    p.LoadFromStream(m, "xyz");
    ADD_FAILURE();
  } catch (const EInvalidGraphic& e) {
    EXPECT_EQ(e.Message(), "Unknown picture file extension (.xyz)");
  }
  // The stored form: a length byte, the class name, the graphic's data.
  TMemoryStream jpg(FixtureBytes("gradient.jpg"));
  p.LoadFromStream(jpg, "jpg");
  TMemoryStream stored;
  p.WriteData(stored);
  EXPECT_EQ(stored.Bytes().substr(0, 11), "\x0ATJPEGImage");
  stored.SetPosition(0);
  TPicture q;
  q.ReadData(stored);
  ASSERT_NE(dynamic_cast<TJPEGImage*>(q.Graphic()), nullptr);
  EXPECT_TRUE(q.Graphic()->Equals(*p.Graphic()));
  // Assigning across classes: the framework's conversion error names both.
  TIcon icon;
  try {
    icon.Assign(q.Graphic());
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TJPEGImage to a TIcon");
  }
  // A bitmap takes any graphic by drawing it.
  TBitmap b;
  b.Assign(q.Graphic());
  EXPECT_EQ(b.Width(), 64);
  EXPECT_EQ(b.Height(), 48);
}

TEST(Icon, LoadsAnIcoFileDrawsItAndSavesItsBytes) {
  std::string ico = FixtureBytes("green.ico");
  ASSERT_FALSE(ico.empty());
  TPicture p;
  TMemoryStream m(ico);
  p.LoadFromStream(m, "ico");
  auto* icon = dynamic_cast<TIcon*>(p.Graphic());
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->Width(), 16);
  EXPECT_EQ(icon->Height(), 16);
  TBitmap b;
  b.SetSize(16, 16);
  b.Canvas().Draw(0, 0, *icon);
  EXPECT_EQ(b.Canvas().Pixel(8, 8), static_cast<TColor>(RGB(0, 255, 0)));
  TMemoryStream out;
  icon->SaveToStream(out);
  EXPECT_EQ(out.Bytes(), ico);
  // A directory entry that points outside the file is refused.
  std::string bad = ico;
  bad[18] = '\x7F';  // offset of the first image: far beyond the data
  bad[21] = '\x7F';
  TMemoryStream bm(bad);
  TIcon x;
  EXPECT_ANY_THROW(x.LoadFromStream(bm));
  EXPECT_TRUE(x.Empty());
}

TEST(Jpeg, PictureDecodesLikeDjpegAndCorruptDataIsAPictureError) {
  std::string data = FixtureBytes("photo420.jpg");
  ASSERT_FALSE(data.empty());
  TJPEGImage j;
  TMemoryStream m(data);
  int changes = 0;
  j.OnChange = [&](TObject*) { ++changes; };
  j.LoadFromStream(m);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(j.Width(), 97);
  EXPECT_EQ(j.Height(), 61);
  // Against djpeg's pixels (same integer IDCT): through the bitmap that draws it.
  std::string ppm = FixtureBytes("photo420.ppm");
  size_t hdr = 0;
  for (int nl = 0; nl < 3; ++hdr)
    if (ppm[hdr] == '\n') ++nl;
  int maxDiff = 0;
  TBitmap& b = j.Bitmap();
  for (int y = 0; y < 61; ++y) {
    auto* row = static_cast<uint8_t*>(b.ScanLine(y));
    for (int x = 0; x < 97; ++x)
      for (int k = 0; k < 3; ++k) {
        int ref = static_cast<uint8_t>(ppm[hdr + (static_cast<size_t>(y) * 97 + x) * 3 + k]);
        maxDiff = std::max(maxDiff, std::abs(row[x * 3 + 2 - k] - ref));
      }
  }
  EXPECT_LE(maxDiff, 2);
  std::printf("largest difference to djpeg: %d\n", maxDiff);

  std::string bad = data;
  bad[0] = 0;
  TMemoryStream bm(bad);
  TJPEGImage k;
  try {
    k.LoadFromStream(bm);
    ADD_FAILURE();
  } catch (const EInvalidGraphic& e) {
    EXPECT_EQ(e.Message().rfind("JPEG error #", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(k.Empty());
  EXPECT_THROW(j.SetWidth(5), EInvalidGraphicOperation);
}

}  // namespace
