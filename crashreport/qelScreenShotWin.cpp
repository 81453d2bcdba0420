// Screen capture: the virtual screen (every monitor) into a top-down 32-bit
// DIB section, the cursor drawn over it, then the portable encoder.
#include <windows.h>

#include "qelScreenShot.h"

namespace qel {

namespace {

class TDeviceContext {
public:
  explicit TDeviceContext(HDC dc) : FDC(dc) {}
  TDeviceContext(const TDeviceContext&) = delete;
  TDeviceContext& operator=(const TDeviceContext&) = delete;
  ~TDeviceContext() {
    if (FDC != nullptr) DeleteDC(FDC);
  }
  HDC Get() const { return FDC; }

private:
  HDC FDC;
};

class TGdiObject {
public:
  explicit TGdiObject(HGDIOBJ object) : FObject(object) {}
  TGdiObject(const TGdiObject&) = delete;
  TGdiObject& operator=(const TGdiObject&) = delete;
  ~TGdiObject() {
    if (FObject != nullptr) DeleteObject(FObject);
  }
  HGDIOBJ Get() const { return FObject; }

private:
  HGDIOBJ FObject;
};

// Puts the context's previous object back before the bitmap is deleted.
class TSelection {
public:
  TSelection(HDC dc, HGDIOBJ object) : FDC(dc), FOld(SelectObject(dc, object)) {}
  TSelection(const TSelection&) = delete;
  TSelection& operator=(const TSelection&) = delete;
  ~TSelection() {
    if (Ok()) SelectObject(FDC, FOld);
  }
  bool Ok() const { return FOld != nullptr && FOld != HGDI_ERROR; }

private:
  HDC FDC;
  HGDIOBJ FOld;
};

using TGetCursorInfo = BOOL(WINAPI*)(PCURSORINFO);

}  // namespace

void DrawCursorInto(HDC dc, int originX, int originY) {
  CURSORINFO info{};
  info.cbSize = sizeof info;
  HCURSOR cursor = nullptr;
  DWORD flags = 0;
  POINT pos{};
  const auto getCursorInfo = reinterpret_cast<TGetCursorInfo>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetCursorInfo")));
  if (getCursorInfo != nullptr && getCursorInfo(&info)) {
    cursor = info.hCursor;
    flags = info.flags;
    pos = info.ptScreenPos;
  } else if (GetCursorPos(&pos)) {
    // Without GetCursorInfo the cursor is per input queue: borrow the queue of
    // the window under the mouse.
    const HWND window = WindowFromPoint(pos);
    const DWORD thread = window != nullptr ? GetWindowThreadProcessId(window, nullptr) : 0;
    if (thread != 0) {
      const DWORD self = GetCurrentThreadId();
      const bool attached = AttachThreadInput(self, thread, TRUE) != FALSE;
      cursor = GetCursor();
      if (attached) AttachThreadInput(self, thread, FALSE);
      flags = CURSOR_SHOWING;
    }
  }
  if (cursor == nullptr || (flags & CURSOR_SHOWING) == 0) return;
  ICONINFO icon{};
  if (GetIconInfo(cursor, &icon)) {
    pos.x -= static_cast<LONG>(icon.xHotspot);
    pos.y -= static_cast<LONG>(icon.yHotspot);
    if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
    if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
  }
  DrawIconEx(dc, pos.x - originX, pos.y - originY, cursor, 0, 0, 0, nullptr, DI_NORMAL);
}

void CaptureScreenPng(uint8_t mode, std::string& png) {
  png.clear();
  try {
    const TDeviceContext display(CreateDCA("DISPLAY", nullptr, nullptr, nullptr));
    if (display.Get() == nullptr) return;
    int x = 0, y = 0, width = 0, height = 0;
    if (GetSystemMetrics(SM_CMONITORS) >= 1) {
      x = GetSystemMetrics(SM_XVIRTUALSCREEN);
      y = GetSystemMetrics(SM_YVIRTUALSCREEN);
      width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
      height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    } else {
      width = GetDeviceCaps(display.Get(), HORZRES);
      height = GetDeviceCaps(display.Get(), VERTRES);
    }
    if (width <= 0 || height <= 0) return;

    const TDeviceContext memory(CreateCompatibleDC(display.Get()));
    if (memory.Get() == nullptr) return;
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;  // top-down rows
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const TGdiObject bitmap(CreateDIBSection(memory.Get(), &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (bitmap.Get() == nullptr || bits == nullptr) return;
    const TSelection selected(memory.Get(), bitmap.Get());
    if (!selected.Ok()) return;
    if (!BitBlt(memory.Get(), 0, 0, width, height, display.Get(), x, y, SRCCOPY)) return;
    DrawCursorInto(memory.Get(), x, y);
    GdiFlush();  // the pixels are read directly from the section
    png = EncodeScreenPng(static_cast<uint8_t*>(bits), static_cast<uint32_t>(width), static_cast<uint32_t>(height), mode);
  } catch (...) {  // the reporter goes on without a screenshot
    png.clear();
  }
}

}  // namespace qel
