// GIF pictures over GDI under Wine: the registry, stream and stored forms,
// drawing with transparency, the clipboard, frames and assignment, and the
// drawing and bitmap routines.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>

#include <atomic>
#include <thread>

#include "AniFile.h"
#include "AniTestSupport.h"
#include "ClipIcon.h"
#include "Forms.h"
#include "GifImg.h"
#include "GifTestSupport.h"
#include "MaxMin.h"
#include "PicConst.h"
#include "PicUtils.h"

using namespace pictures;
using zf::TColor;

namespace {

class GifEnv : public ::testing::Environment {
public:
  void SetUp() override { RegisterGifImage(); }
  void TearDown() override { UnregisterGifImage(); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new GifEnv);

using giftest::Bytes;

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const zf::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "";
}

// A 4 x 3 GIF: a red ring around index 1 (green) and index 2 (transparent, entry black).
// Row 0: 0 0 0 0 / row 1: 0 1 2 0 / row 2: 0 0 0 0.
std::string TransparentGif(bool withControl = true) {
  const std::vector<uint8_t> px = {0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0};
  std::string gif = "GIF89a" + Bytes({4, 0, 3, 0, 0x81, 0, 0}) +
                    Bytes({255, 0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 255});
  if (withControl) gif += Bytes({0x21, 0xF9, 4, 0x01, 10, 0, 2, 0});
  gif += Bytes({0x2C, 0, 0, 0, 0, 4, 0, 3, 0, 0});
  gif += giftest::PackCodes(2, giftest::ReferenceEncode(px, 2, false));
  return gif + ";";
}

// A canvas over a 24-bit DIB section filled with one colour.
struct Surface {
  zf::TBitmap bitmap;
  Surface(int w, int h, TColor fill) {
    bitmap.SetPixelFormat(zf::TPixelFormat::pf24bit);
    bitmap.SetSize(w, h);
    bitmap.Canvas().Brush().SetColor(fill);
    bitmap.Canvas().FillRect(zf::Rect(0, 0, w, h));
  }
  zf::TCanvas& Canvas() { return bitmap.Canvas(); }
  TColor At(int x, int y) { return bitmap.Canvas().Pixel(x, y); }
};

std::unique_ptr<TGIFImage> Load(const std::string& gif) {
  auto img = std::make_unique<TGIFImage>();
  zf::TMemoryStream m(gif);
  img->LoadFromStream(m);
  return img;
}

}  // namespace

TEST(GifImage, RegistryAndPictureHolder) {
  EXPECT_EQ(zf::TPicture::FindExtension("gif"), &TGIFImage::Class());
  EXPECT_EQ(zf::TPicture::FindExtension(".GIF"), &TGIFImage::Class());
  ASSERT_NE(GifClipboardFormat(), 0u);
  EXPECT_EQ(zf::TPicture::FindClipboardFormat(GifClipboardFormat()), &TGIFImage::Class());
  EXPECT_EQ(zf::TPicture::FindClassName("TGIFImage"), &TGIFImage::Class());
  // A second start and its end leave the registration in place.
  RegisterGifImage();
  UnregisterGifImage();
  EXPECT_EQ(zf::TPicture::FindExtension("gif"), &TGIFImage::Class());

  zf::TPicture p;
  zf::TMemoryStream m(TransparentGif());
  p.LoadFromStream(m, "gif");
  ASSERT_NE(dynamic_cast<TGIFImage*>(p.Graphic()), nullptr);
  EXPECT_EQ(p.Width(), 4);
  EXPECT_EQ(p.Height(), 3);
}

TEST(GifImage, StreamAndStoredForms) {
  auto img = Load(TransparentGif());
  EXPECT_EQ(img->FrameCount(), 1);
  EXPECT_EQ(img->FrameIndex(), 0);
  EXPECT_FALSE(img->Empty());
  EXPECT_TRUE(img->Transparent());
  EXPECT_EQ(img->FrameAt(0)->Delay(), 100u);

  zf::TMemoryStream saved;
  img->SaveToStream(saved);
  EXPECT_EQ(saved.Bytes().substr(0, 3), "GIF");
  zf::TMemoryStream data;
  img->WriteData(data);
  int32_t n = 0;
  std::memcpy(&n, data.Memory(), 4);
  EXPECT_EQ(n, static_cast<int32_t>(saved.Size()));
  EXPECT_EQ(data.Bytes().substr(4), saved.Bytes());

  // The stored form through the picture holder, as a form's layout carries it.
  zf::TPicture p;
  p.SetGraphic(img.get());
  zf::TMemoryStream stored;
  p.WriteData(stored);
  EXPECT_EQ(stored.Bytes().substr(0, 10), "\x09TGIFImage");
  stored.SetPosition(0);
  zf::TPicture back;
  back.ReadData(stored);
  ASSERT_NE(dynamic_cast<TGIFImage*>(back.Graphic()), nullptr);
  EXPECT_EQ(back.Width(), 4);

  // Lengths in the stored form that the data does not hold.
  for (int32_t bad : {-1, INT32_MIN, 1 << 30, static_cast<int32_t>(saved.Size()) + 1}) {
    std::string form(reinterpret_cast<const char*>(&bad), 4);
    form += saved.Bytes();
    zf::TMemoryStream s(form);
    TGIFImage g;
    EXPECT_EQ(ErrorOf([&] { g.ReadData(s); }), "EReadError: Stream read error") << bad;
    EXPECT_EQ(g.FrameCount(), 0);
  }
  // A count of 0 is an empty picture that still signals a change.
  TGIFImage empty;
  int changes = 0;
  empty.OnChange = [&](zf::TObject*) { ++changes; };
  zf::TMemoryStream none;
  empty.LoadFromStream(none);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(empty.Empty());
  EXPECT_EQ(empty.FrameIndex(), -1);
  EXPECT_EQ(ErrorOf([&] { empty.SaveToStream(none); }), "EInvalidGraphicOperation: No GIF Data to write");
  EXPECT_EQ(ErrorOf([&] { empty.SetWidth(3); }), "EInvalidGraphicOperation: Cannot change the Size of a GIF image");
  EXPECT_EQ(ErrorOf([&] { empty.SetHeight(3); }), "EInvalidGraphicOperation: Cannot change the Size of a GIF image");
  EXPECT_EQ(ErrorOf([&] { Load(Bytes({'G', 'I', 'F', '8', '8', 'a', 0, 0, 0, 0, 0, 0, 0})); }),
            "EInvalidGraphicOperation: Unknown GIF version");
}

TEST(GifImage, DrawsTransparentlyAtOneAndTwoTimes) {
  auto img = Load(TransparentGif());
  const TColor blue = zf::clBlue, red = zf::clRed, green = zf::clLime;
  for (int scale : {1, 2}) {
    SCOPED_TRACE(scale);
    Surface s(12, 10, blue);
    s.Canvas().StretchDraw(zf::Bounds(2, 1, 4 * scale, 3 * scale), *img);
    // Outside the picture: the background.
    EXPECT_EQ(s.At(0, 0), blue);
    EXPECT_EQ(s.At(2 + 4 * scale, 1), blue);
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 4; ++x) {
        const TColor want = y == 1 && x == 1 ? green : y == 1 && x == 2 ? blue : red;
        for (int dy = 0; dy < scale; ++dy)
          for (int dx = 0; dx < scale; ++dx)
            EXPECT_EQ(s.At(2 + x * scale + dx, 1 + y * scale + dy), want) << x << "," << y;
      }
    }
  }
  // Without the picture's transparency the entry's own colour (black) is drawn.
  img->SetTransparent(false);
  Surface s(6, 5, blue);
  s.Canvas().Draw(0, 0, *img);
  EXPECT_EQ(s.At(2, 1), zf::clBlack);
}

TEST(GifImage, ClipboardRoundTrip) {
  auto img = Load(TransparentGif());
  img->Comments() = {"on the clipboard"};
  ASSERT_TRUE(OpenClipboard(nullptr));
  ASSERT_TRUE(EmptyClipboard());
  UINT format = 0;
  HANDLE data = nullptr;
  HPALETTE palette = nullptr;
  img->SaveToClipboardFormat(format, data, palette);
  EXPECT_EQ(format, static_cast<UINT>(CF_BITMAP));
  ASSERT_NE(data, nullptr);
  SetClipboardData(format, data);
  if (palette) SetClipboardData(CF_PALETTE, palette);
  CloseClipboard();

  ASSERT_TRUE(OpenClipboard(nullptr));
  EXPECT_TRUE(IsClipboardFormatAvailable(GifClipboardFormat()));
  HANDLE gif = GetClipboardData(GifClipboardFormat());
  ASSERT_NE(gif, nullptr);
  EXPECT_GE(GlobalSize(gif), 4u);
  zf::TPicture p;
  p.LoadFromClipboardFormat(GifClipboardFormat(), gif, nullptr);
  CloseClipboard();
  auto* back = dynamic_cast<TGIFImage*>(p.Graphic());
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->FrameCount(), 1);
  EXPECT_EQ(back->Comments(), std::vector<std::string>{"on the clipboard"});
  EXPECT_EQ(back->FrameAt(0)->Item().Data.Encoded, img->FrameAt(0)->Item().Data.Encoded);
  EXPECT_EQ(back->FrameAt(0)->TransparentColor(), img->FrameAt(0)->TransparentColor());
  Surface s(4, 3, zf::clBlue);
  s.Canvas().Draw(0, 0, *back);
  EXPECT_EQ(s.At(1, 1), zf::clLime);
}

TEST(GifImage, ClipboardLengthBeyondTheBlock) {
  auto img = Load(TransparentGif());
  zf::TMemoryStream data;
  img->WriteData(data);
  std::string bytes = data.Bytes();
  const int32_t huge = static_cast<int32_t>(bytes.size()) + 100;
  std::memcpy(bytes.data(), &huge, 4);
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::memcpy(GlobalLock(h), bytes.data(), bytes.size());
  GlobalUnlock(h);
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  SetClipboardData(GifClipboardFormat(), h);
  TGIFImage g;
  EXPECT_EQ(ErrorOf([&] { g.LoadFromClipboardFormat(GifClipboardFormat(), h, nullptr); }),
            "EReadError: Stream read error");
  CloseClipboard();
}

TEST(GifImage, FramesAssignmentAndEquality) {
  auto img = Load(TransparentGif());
  // Sharing: assignment shares the picture data, reading new data does not.
  TGIFImage copy;
  copy.Assign(img.get());
  EXPECT_TRUE(copy.Equals(*img));
  EXPECT_EQ(copy.FrameCount(), 1);
  EXPECT_EQ(&copy.FrameAt(0)->Item(), &img->FrameAt(0)->Item());
  EXPECT_FALSE(Load(TransparentGif())->Equals(*img));
  copy.Assign(&copy);  // itself: unchanged
  EXPECT_EQ(copy.FrameCount(), 1);

  // Its own frame and its own bitmap: copied before the frames go.
  copy.Assign(copy.FrameAt(0));
  ASSERT_EQ(copy.FrameCount(), 1);
  EXPECT_EQ(copy.Width(), 4);
  EXPECT_EQ(copy.FrameAt(0)->Item().Data.Encoded, img->FrameAt(0)->Item().Data.Encoded);
  copy.Assign(&copy.CurrentBitmap());
  ASSERT_EQ(copy.FrameCount(), 1);
  EXPECT_EQ(copy.Width(), 4);
  TGIFFrame* f = copy.FrameAt(0);
  f->Assign(f->Bitmap());
  EXPECT_EQ(f->GetFrameBitmap().Width(), 4);

  // A frame of another picture becomes a local-table frame; frames of no picture work too.
  TGIFFrame loose(nullptr);
  loose.Assign(img->FrameAt(0));
  EXPECT_TRUE(loose.LocalTable());
  EXPECT_EQ(loose.FrameWidth(), 4);
  TGIFImage fromLoose;
  fromLoose.Assign(&loose);
  EXPECT_EQ(fromLoose.FrameCount(), 1);
  EXPECT_EQ(fromLoose.Width(), 4);

  // An 8-bit bitmap as a second frame: written and read back with its pixels.
  zf::TBitmap b;
  b.SetPixelFormat(zf::TPixelFormat::pf8bit);
  b.SetSize(5, 2);
  b.Canvas().Brush().SetColor(zf::clWhite);
  b.Canvas().FillRect(zf::Rect(0, 0, 5, 2));
  b.Canvas().SetPixel(3, 1, zf::clBlack);
  EXPECT_EQ(img->AddFrame(b), 1);
  img->FrameAt(1)->SetDelay(95);
  img->FrameAt(1)->SetOrigin(2, 3);
  img->Screen().Looping = true;
  img->Screen().RepeatCount = 4;
  zf::TMemoryStream out;
  img->SaveToStream(out);
  auto again = Load(out.Bytes());
  ASSERT_EQ(again->FrameCount(), 2);
  EXPECT_EQ(again->Screen().Version, 2);
  EXPECT_TRUE(again->Screen().Looping);
  EXPECT_EQ(again->Screen().RepeatCount, 4);
  EXPECT_EQ(again->Screen().Width, 7);
  EXPECT_EQ(again->Screen().Height, 5);
  EXPECT_EQ(again->FrameAt(1)->Delay(), 90u);  // hundredths of a second in the file
  EXPECT_TRUE(again->FrameAt(1)->LocalTable());
  zf::TBitmap& px = again->FrameAt(1)->GetFrameBitmap();
  EXPECT_EQ(px.Canvas().Pixel(3, 1), zf::clBlack);
  EXPECT_EQ(px.Canvas().Pixel(0, 0), zf::clWhite);
}

TEST(PicUtils, DrawingAndMemoryRoutines) {
  // Sizes of 0 draw the whole bitmap at its own size; clDefault takes the bottom-left pixel.
  zf::TBitmap b;
  b.SetPixelFormat(zf::TPixelFormat::pf24bit);
  b.SetSize(3, 2);
  b.Canvas().Brush().SetColor(zf::clRed);
  b.Canvas().FillRect(zf::Rect(0, 0, 3, 2));
  b.Canvas().SetPixel(2, 0, zf::clYellow);
  Surface s(6, 6, zf::clBlue);
  DrawBitmapTransparent(s.Canvas(), b, zf::clDefault, 1, 1, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(s.At(1, 1), zf::clBlue);
  EXPECT_EQ(s.At(3, 1), zf::clYellow);
  EXPECT_EQ(s.At(4, 1), zf::clBlue);  // beyond the bitmap's own width
  DrawBitmapRectTransparent(s.Canvas(), 0, 4, 1, 1, zf::Rect(2, 0, 3, 1), b, zf::clNone);
  EXPECT_EQ(s.At(0, 4), zf::clYellow);
  EXPECT_EQ(s.At(1, 4), zf::clBlue);

  // A 1-bit DIB with two colours of its own: the transparent colour is its colour, not white.
  zf::TBitmap mono;
  mono.SetPixelFormat(zf::TPixelFormat::pf1bit);
  mono.SetSize(2, 1);
  mono.Canvas().SetPixel(0, 0, zf::clBlack);
  mono.Canvas().SetPixel(1, 0, zf::clWhite);
  Surface t(2, 1, zf::clBlue);
  DrawBitmapTransparent(t.Canvas(), mono, zf::clBlack, 0, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(t.At(0, 0), zf::clBlue);
  EXPECT_EQ(t.At(1, 0), zf::clWhite);

  EXPECT_EQ(PaletteRelativeColor(zf::clRed), 0x020000FFu);
  void* none = AllocZeroedBlock(0);
  EXPECT_EQ(none, nullptr);
  FreeZeroedBlock(none);
  void* p = AllocZeroedBlock(100);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(SameBytes(p, std::string(100, '\0').data(), 100));
  FreeZeroedBlock(p);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(LargerOf(2, 5), 5);
  EXPECT_EQ(SmallerOf(-2, 5), -2);
}

// The texts of a dialog's static controls.
BOOL CALLBACK CollectStaticText(HWND child, LPARAM out) {
  char cls[32] = {}, text[128] = {};
  GetClassNameA(child, cls, sizeof cls);
  GetWindowTextA(child, text, sizeof text);
  if (lstrcmpiA(cls, "Static") == 0 && text[0]) *reinterpret_cast<std::string*>(out) += text;
  return TRUE;
}

BOOL CALLBACK FindDialog(HWND w, LPARAM out) {
  char cls[16] = {};
  GetClassNameA(w, cls, sizeof cls);
  if (lstrcmpA(cls, "#32770") != 0) return TRUE;
  *reinterpret_cast<HWND*>(out) = w;
  return FALSE;
}

TEST(PicUtils, NotImplementedReportEndsSilently) {
  // Answers the information box from a second thread and keeps its text.
  std::string seen;
  std::atomic<bool> done{false};
  const DWORD self = GetCurrentThreadId();
  std::thread answer([&] {
    for (int i = 0; i < 500 && !done; ++i) {
      HWND box = nullptr;  // a dialog of the test's own thread, not another program's
      EnumThreadWindows(self, FindDialog, reinterpret_cast<LPARAM>(&box));
      std::string text;
      if (box && IsWindowVisible(box)) EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
      if (!text.empty()) {  // the box is complete
        seen = text;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
  });
  EXPECT_EQ(ErrorOf([] { ReportNotImplemented(); }), "EAbort: Operation aborted");
  done = true;
  answer.join();
  EXPECT_EQ(seen, "Function not yet implemented");
}

TEST(PicConst, CursorsAndIconClipboardFormat) {
  RegisterCursors();
  RegisterCursors();  // only the first start loads
  const HCURSOR hand = zf::Screen.Cursors(crPicHand), drag = zf::Screen.Cursors(crPicDrag);
  ASSERT_NE(hand, nullptr);
  ASSERT_NE(drag, nullptr);
  EXPECT_NE(hand, drag);
  const std::pair<HCURSOR, POINT> hotSpots[] = {{hand, {6, 1}}, {drag, {0, 0}}};
  for (const auto& [cursor, hot] : hotSpots) {
    ICONINFO ii{};
    ASSERT_TRUE(GetIconInfo(cursor, &ii));
    EXPECT_FALSE(ii.fIcon);
    EXPECT_EQ(static_cast<LONG>(ii.xHotspot), hot.x);
    EXPECT_EQ(static_cast<LONG>(ii.yHotspot), hot.y);
    if (ii.hbmMask) DeleteObject(ii.hbmMask);
    if (ii.hbmColor) DeleteObject(ii.hbmColor);
  }
  UnregisterCursors();
  UnregisterCursors();

  RegisterIconFormat();
  ASSERT_NE(IconClipboardFormat(), 0u);
  EXPECT_EQ(zf::TPicture::FindClipboardFormat(IconClipboardFormat()), &zf::TIcon::Class());
  UnregisterIconFormat();
}

TEST(GifImage, FramesFromDeeperBitmapsAndAnimatedCursors) {
  // A 24-bit bitmap is reduced to a palette before encoding; few colours come through exactly.
  zf::TBitmap b;
  b.SetPixelFormat(zf::TPixelFormat::pf24bit);
  b.SetSize(6, 4);
  b.Canvas().Brush().SetColor(zf::clRed);
  b.Canvas().FillRect(zf::Rect(0, 0, 6, 4));
  b.Canvas().SetPixel(1, 1, zf::clBlue);
  b.Canvas().SetPixel(4, 2, zf::clLime);
  for (bool gray : {false, true}) {
    SCOPED_TRACE(gray);
    TGIFImage img;
    img.AddFrame(b);
    img.FrameAt(0)->State().Grayscale = gray;
    zf::TMemoryStream out;
    img.SaveToStream(out);
    EXPECT_EQ(img.FrameAt(0)->State().Grayscale, gray);
    auto back = Load(out.Bytes());
    zf::TBitmap& px = back->FrameAt(0)->GetFrameBitmap();
    const COLORREF red = static_cast<COLORREF>(px.Canvas().Pixel(0, 0)), blue = static_cast<COLORREF>(px.Canvas().Pixel(1, 1));
    if (gray) {
      EXPECT_TRUE(GetRValue(red) == GetGValue(red) && GetGValue(red) == GetBValue(red)) << std::hex << red;
      EXPECT_NE(red, blue);
    } else {
      EXPECT_EQ(red, static_cast<COLORREF>(zf::clRed));
      EXPECT_EQ(blue, static_cast<COLORREF>(zf::clBlue));
      EXPECT_EQ(static_cast<COLORREF>(px.Canvas().Pixel(4, 2)), static_cast<COLORREF>(zf::clLime));
    }
  }

  // An animated cursor: a frame per step, its display time in milliseconds.
  anitest::TAniRecipe recipe;
  recipe.Icons = {anitest::Fixture("red8.ico"), anitest::Fixture("lime4.ico")};
  recipe.Rates = {6, 15};
  zf::TMemoryStream ani(anitest::BuildAni(recipe));
  TAnimatedCursorImage cursor;
  cursor.LoadFromStream(ani);
  ASSERT_EQ(cursor.Count(), 2);
  TGIFImage img;
  img.Assign(&cursor);
  ASSERT_EQ(img.FrameCount(), 2);
  EXPECT_EQ(img.Screen().Background, zf::clWindow);
  EXPECT_EQ(img.FrameAt(0)->Delay(), 100u);
  EXPECT_EQ(img.FrameAt(1)->Delay(), 250u);
  zf::TMemoryStream out;
  img.SaveToStream(out);
  auto back = Load(out.Bytes());
  ASSERT_EQ(back->FrameCount(), 2);
  EXPECT_EQ(back->FrameAt(1)->Delay(), 250u);
  EXPECT_EQ(back->FrameAt(0)->GetFrameBitmap().Canvas().Pixel(8, 8), zf::clRed);
}
