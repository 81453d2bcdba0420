// The progress strip window.
#include "qelProgressBar.h"

#include <algorithm>
#include <string>

namespace qel {

namespace {

constexpr int kBarHeight = 23;
constexpr COLORREF kYellow = 0x00FFFF;

void FillWith(HDC dc, const RECT& r, int sysColor) {
  HBRUSH brush = CreateSolidBrush(GetSysColor(sysColor));
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

void Lines(HDC dc, COLORREF colour, const POINT* points, int count) {
  HPEN pen = CreatePen(PS_SOLID, 1, colour);
  HGDIOBJ old = SelectObject(dc, pen);
  Polyline(dc, points, count);
  SelectObject(dc, old);
  DeleteObject(pen);
}

}  // namespace

TProgressBar::TProgressBar() {
  const int screenWidth = GetSystemMetrics(SM_CXFULLSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYFULLSCREEN);
  FWidth = std::max(screenWidth / 2, 16);
  FHeight = kBarHeight;
  FWindow = CreateWindowExA(WS_EX_TOPMOST, "STATIC", "", WS_POPUP, (screenWidth - FWidth) / 2,
                            (screenHeight - kBarHeight) / 2, FWidth, FHeight, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
  if (FWindow != nullptr) {
    RECT client;
    GetClientRect(FWindow, &client);
    FWidth = client.right - client.left;
    FHeight = client.bottom - client.top;
    FWindowDC = GetDC(FWindow);
  }
  FMemoryDC = CreateCompatibleDC(FWindowDC);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = FWidth;
  info.bmiHeader.biHeight = -FHeight;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  FBitmap = CreateDIBSection(FMemoryDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  FPixels = static_cast<const uint32_t*>(bits);
  FOldBitmap = SelectObject(FMemoryDC, FBitmap);

  const int w = FWidth;
  const int h = FHeight;
  FillWith(FMemoryDC, RECT{0, 0, w, h}, COLOR_BTNHIGHLIGHT);
  FillWith(FMemoryDC, RECT{1, 1, w - 1, h - 1}, COLOR_BTNFACE);
  const POINT frame[] = {{2, 2}, {w - 2, 2}, {w - 2, h - 2}, {2, h - 2}, {2, 2}};
  Lines(FMemoryDC, kYellow, frame, 5);
  const POINT shadow[] = {{3, h - 1}, {w - 1, h - 1}, {w - 1, 2}};
  Lines(FMemoryDC, GetSysColor(COLOR_BTNSHADOW), shadow, 3);

  SetBkMode(FMemoryDC, TRANSPARENT);
  FFont = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                      DEFAULT_QUALITY, DEFAULT_PITCH, "Arial");
  FOldFont = SelectObject(FMemoryDC, FFont);

  // Drawn even though the stored position is already 0: the strip starts with "0%".
  Draw(0, true);
  if (FWindow != nullptr) {
    ShowWindow(FWindow, SW_SHOWNOACTIVATE);
    // Our drawing is the window's content: the static class must not paint over it.
    ValidateRect(FWindow, nullptr);
    CopyToWindow(0, 0, w, h);
    PresentDrawing();
  }
}

TProgressBar::~TProgressBar() {
  if (FWindowDC != nullptr) {
    RECT client{0, 0, FWidth, FHeight};
    FillWith(FWindowDC, client, COLOR_BTNFACE);
  }
  if (FMemoryDC != nullptr) {
    SelectObject(FMemoryDC, FOldFont);
    SelectObject(FMemoryDC, FOldBitmap);
    DeleteDC(FMemoryDC);
  }
  if (FFont != nullptr) DeleteObject(FFont);
  if (FBitmap != nullptr) DeleteObject(FBitmap);
  if (FWindowDC != nullptr) ReleaseDC(FWindow, FWindowDC);
  if (FWindow != nullptr) DestroyWindow(FWindow);
}

uint32_t TProgressBar::PixelAt(int x, int y) const {
  if (FPixels == nullptr || x < 0 || y < 0 || x >= FWidth || y >= FHeight) return 0;
  GdiFlush();
  return FPixels[static_cast<size_t>(y) * static_cast<size_t>(FWidth) + static_cast<size_t>(x)] & 0xFFFFFF;
}

void TProgressBar::ShowPosition(int perMille) { Draw(perMille, false); }

void TProgressBar::Draw(int perMille, bool always) {
  const int p = std::clamp(perMille, 0, 1000);
  const RECT bar{4, 4, FWidth - 4, FHeight - 4};
  const int span = std::max<int>(bar.right - bar.left, 0);
  const int newEdge = bar.left + span * p / 1000;
  const int oldEdge = bar.left + span * FPosition / 1000;
  if (!always && newEdge == oldEdge && ProgressPercent(p) == ProgressPercent(FPosition)) return;
  FPosition = p;
  FillWith(FMemoryDC, RECT{bar.left, bar.top, newEdge, bar.bottom}, COLOR_BTNTEXT);
  FillWith(FMemoryDC, RECT{newEdge, bar.top, bar.right, bar.bottom}, COLOR_BTNFACE);

  const std::string text = std::to_string(ProgressPercent(p)) + "%";
  const int length = static_cast<int>(text.size());
  SIZE size{};
  GetTextExtentPoint32A(FMemoryDC, text.c_str(), length, &size);
  const int x = bar.right - size.cx - 2;
  const int y = 4;
  const RECT done{bar.left, bar.top, newEdge, bar.bottom};
  const RECT rest{newEdge, bar.top, bar.right, bar.bottom};
  SetTextColor(FMemoryDC, GetSysColor(COLOR_BTNHIGHLIGHT));
  ExtTextOutA(FMemoryDC, x, y, ETO_CLIPPED, &done, text.c_str(), static_cast<UINT>(length), nullptr);
  SetTextColor(FMemoryDC, GetSysColor(COLOR_BTNTEXT));
  ExtTextOutA(FMemoryDC, x, y, ETO_CLIPPED, &rest, text.c_str(), static_cast<UINT>(length), nullptr);

  CopyToWindow(std::min(oldEdge, newEdge), bar.top, std::max(oldEdge, newEdge), bar.bottom);
  CopyToWindow(bar.right - 2 * size.cx, bar.top, bar.right, bar.bottom);
  PresentDrawing();
}

// Without a message loop, some systems (Wine) put a window's drawing on the
// screen only when its thread looks at its queue: look, taking nothing out.
void TProgressBar::PresentDrawing() {
  if (FWindow == nullptr) return;
  MSG msg;
  PeekMessageA(&msg, FWindow, WM_NULL, WM_NULL, PM_NOREMOVE);
}

void TProgressBar::CopyToWindow(int left, int top, int right, int bottom) {
  if (FWindowDC == nullptr || right <= left || bottom <= top) return;
  BitBlt(FWindowDC, left, top, right - left, bottom - top, FMemoryDC, left, top, SRCCOPY);
}

std::unique_ptr<TTraceProgress> NewTraceProgress() {
  return NewTraceProgress([] { return static_cast<uint32_t>(GetTickCount()); },
                          []() -> std::unique_ptr<IProgressView> { return std::make_unique<TProgressBar>(); });
}

}  // namespace qel
