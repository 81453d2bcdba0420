// The progress strip window: placement, drawing in its memory bitmap, what
// reaches the screen, and its handles over many create/destroy cycles.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "qelProgressBar.h"

using namespace qel;

namespace {

// A system colour as the 32-bit bitmap holds it (0x00RRGGBB).
uint32_t Pixel(COLORREF c) { return static_cast<uint32_t>(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c); }
uint32_t SysPixel(int index) { return Pixel(GetSysColor(index)); }

// Counts the pixels of one colour in a rectangle of the bar's bitmap.
int CountPixels(const TProgressBar& bar, int left, int top, int right, int bottom, uint32_t colour) {
  int n = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) n += bar.PixelAt(x, y) == colour;
  return n;
}

// The screen under the window, as a 24-bit BMP file.
void SaveScreenRect(const RECT& r, const std::string& path) {
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(h);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride) * h);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

}  // namespace

TEST(ProgressBar, BorderlessTopmostStripInTheMiddle) {
  TProgressBar bar;
  HWND wnd = bar.Window();
  ASSERT_TRUE(IsWindow(wnd));
  EXPECT_TRUE(IsWindowVisible(wnd));
  char className[32] = {};
  GetClassNameA(wnd, className, sizeof className);
  EXPECT_STREQ(className, "Static");
  EXPECT_EQ(GetWindowLongA(wnd, GWL_STYLE) & (WS_POPUP | WS_BORDER | WS_CAPTION), static_cast<LONG>(WS_POPUP));
  EXPECT_TRUE(GetWindowLongA(wnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
  RECT r;
  GetWindowRect(wnd, &r);
  const int cx = GetSystemMetrics(SM_CXFULLSCREEN);
  const int cy = GetSystemMetrics(SM_CYFULLSCREEN);
  EXPECT_EQ(r.right - r.left, cx / 2);
  EXPECT_EQ(r.bottom - r.top, 23);
  EXPECT_EQ(r.left, (cx - cx / 2) / 2);
  EXPECT_EQ(r.top, (cy - 23) / 2);
}

TEST(ProgressBar, FrameBarAndPercentInTheBitmap) {
  TProgressBar bar;
  const int w = bar.Width();
  const int h = bar.Height();
  ASSERT_EQ(h, 23);
  // Frame: highlight edge, face inside, yellow ring from (2,2), shadow at the bottom and right.
  EXPECT_EQ(bar.PixelAt(0, 0), SysPixel(COLOR_BTNHIGHLIGHT));
  EXPECT_EQ(bar.PixelAt(1, 1), SysPixel(COLOR_BTNFACE));
  for (const POINT p : {POINT{2, 2}, POINT{w - 2, 2}, POINT{w - 2, h - 2}, POINT{2, h - 2}, POINT{w / 2, 2}})
    EXPECT_EQ(bar.PixelAt(p.x, p.y), 0xFFFF00u) << p.x << "," << p.y;
  EXPECT_EQ(bar.PixelAt(w - 1, h - 1), SysPixel(COLOR_BTNSHADOW));
  EXPECT_EQ(bar.PixelAt(w / 2, h - 1), SysPixel(COLOR_BTNSHADOW));
  EXPECT_EQ(bar.PixelAt(w - 1, h / 2), SysPixel(COLOR_BTNSHADOW));

  const int left = 4;
  const int right = w - 4;
  const int textLeft = right - 40;  // "100%" in 12-pixel Arial is narrower
  const uint32_t text = SysPixel(COLOR_BTNTEXT);
  const uint32_t face = SysPixel(COLOR_BTNFACE);
  const uint32_t highlight = SysPixel(COLOR_BTNHIGHLIGHT);
  // At the start: nothing done, "0%" drawn at the right.
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_EQ(CountPixels(bar, left, 4, textLeft, h - 4, face), (textLeft - left) * (h - 8));
  EXPECT_GT(CountPixels(bar, textLeft, 4, right, h - 4, text), 5) << "0% is drawn";

  bar.ShowPosition(500);
  const int edge = left + (right - left) / 2;
  EXPECT_EQ(CountPixels(bar, left, 4, edge, h - 4, text), (edge - left) * (h - 8));
  EXPECT_EQ(CountPixels(bar, edge + 1, 4, textLeft, h - 4, face), (textLeft - edge - 1) * (h - 8));

  // 994 and 995 share the bar's edge but not the text: the text is redrawn.
  bar.ShowPosition(994);
  std::vector<uint32_t> at994;
  for (int y = 4; y < h - 4; ++y)
    for (int x = textLeft; x < right; ++x) at994.push_back(bar.PixelAt(x, y));
  bar.ShowPosition(995);
  std::vector<uint32_t> at995;
  for (int y = 4; y < h - 4; ++y)
    for (int x = textLeft; x < right; ++x) at995.push_back(bar.PixelAt(x, y));
  EXPECT_NE(at994, at995) << "99% becomes 100%";
  EXPECT_EQ(bar.Position(), 995);

  // All done: the text stands in the highlight colour on the filled bar.
  bar.ShowPosition(5000);
  EXPECT_EQ(bar.Position(), 1000);
  EXPECT_GT(CountPixels(bar, textLeft, 4, right, h - 4, highlight), 5);
  EXPECT_EQ(CountPixels(bar, left, 4, textLeft, h - 4, text), (textLeft - left) * (h - 8));
  bar.ShowPosition(-7);
  EXPECT_EQ(bar.Position(), 0);
}

TEST(ProgressBar, WhatTheScreenShows) {
  TProgressBar bar;
  bar.ShowPosition(420);
  RECT r;
  GetWindowRect(bar.Window(), &r);
  HDC screen = GetDC(nullptr);
  // Filled part, open part, and the frame's yellow ring, as the screen holds them.
  const COLORREF filled = GetPixel(screen, r.left + 10, r.top + 11);
  const COLORREF open = GetPixel(screen, r.left + (r.right - r.left) * 3 / 4, r.top + 11);
  const COLORREF ring = GetPixel(screen, r.left + 2, r.top + 2);
  ReleaseDC(nullptr, screen);
  CreateDirectoryA(ZIVO_ARTIFACTS, nullptr);
  SaveScreenRect(RECT{r.left - 20, r.top - 20, r.right + 20, r.bottom + 20},
                 std::string(ZIVO_ARTIFACTS) + "\\crashreport_progress_strip.bmp");
  EXPECT_EQ(filled, GetSysColor(COLOR_BTNTEXT));
  EXPECT_EQ(open, GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(ring, RGB(255, 255, 0));
}

TEST(ProgressBar, NoHandleOutlivesItsBar) {
  for (int i = 0; i < 1000; ++i) {
    HWND wnd;
    HDC memory;
    HBITMAP bitmap;
    HFONT font;
    {
      TProgressBar bar;
      bar.ShowPosition(i);
      wnd = bar.Window();
      memory = bar.MemoryDC();
      bitmap = bar.Bitmap();
      font = bar.Font();
      ASSERT_NE(GetObjectType(bitmap), 0u);
      ASSERT_NE(GetObjectType(font), 0u);
    }
    ASSERT_FALSE(IsWindow(wnd)) << i;
    ASSERT_EQ(GetObjectType(memory), 0u) << i;
    ASSERT_EQ(GetObjectType(bitmap), 0u) << i;
    ASSERT_EQ(GetObjectType(font), 0u) << i;
  }
}

TEST(ProgressBar, TrackerOnTheSystemClockShowsTheStrip) {
  auto progress = NewTraceProgress();
  AddProgressPhase(progress.get(), 10);
  AddProgressPhase(progress.get(), 10);
  SetPhaseProgress(progress.get(), 100);
  EXPECT_EQ(progress->ProgressBar, nullptr);
  Sleep(800);
  SetPhaseProgress(progress.get(), 200);
  auto* bar = dynamic_cast<TProgressBar*>(progress->ProgressBar.get());
  ASSERT_NE(bar, nullptr);
  HWND wnd = bar->Window();
  EXPECT_TRUE(IsWindowVisible(wnd));
  EndProgressPhase(progress.get());
  EndProgressPhase(progress.get());
  EXPECT_EQ(bar->Position(), 1000);
  FreeTraceProgress(progress);
  EXPECT_FALSE(IsWindow(wnd));
}
