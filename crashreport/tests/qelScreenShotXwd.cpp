// The capture side of the screenshot round trip (screenshot_xwd_check.py drives
// it): covers the virtual screen with stripes of few colours, puts the mouse on
// them, and on each "go.N" file in the work folder writes the colour and grey
// PNGs of the screen (shot.N.png, grey.N.png) and the screen rectangle the
// cursor may cover (cursor.N.txt), then "done.N". Ends on "quit".
#include <windows.h>

#include <cstdio>
#include <string>

#include "qelScreenShot.h"

namespace {

const COLORREF kStripes[] = {RGB(0, 0, 0),     RGB(255, 255, 255), RGB(212, 208, 200), RGB(10, 36, 106),
                             RGB(255, 0, 0),   RGB(0, 128, 0),     RGB(166, 202, 240), RGB(255, 255, 225)};

LRESULT CALLBACK StripesProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    const int n = static_cast<int>(sizeof kStripes / sizeof kStripes[0]);
    for (int i = 0; i < n; ++i) {
      RECT r{client.right * i / n, 0, client.right * (i + 1) / n, client.bottom / 2};
      HBRUSH brush = CreateSolidBrush(kStripes[i]);
      FillRect(dc, &r, brush);
      r = {client.right * i / n, client.bottom / 2, client.right * (i + 1) / n, client.bottom};
      DeleteObject(brush);
      brush = CreateSolidBrush(kStripes[n - 1 - i]);
      FillRect(dc, &r, brush);
      DeleteObject(brush);
    }
    EndPaint(window, &ps);
    return 0;
  }
  return DefWindowProcA(window, msg, wParam, lParam);
}

void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    Sleep(10);
  } while (GetTickCount() - start < ms);
}

// A monochrome 32 x 32 cursor, a black-framed white square with its hot spot
// in the middle: it adds no colour of its own to the screen's few, whereas a
// system cursor's blended edges would (and shift the palette entries).
HCURSOR MakeSquareCursor(HINSTANCE instance) {
  BYTE andMask[32 * 4], xorMask[32 * 4];
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool inside = x >= 8 && x < 24 && y >= 8 && y < 24;
      const bool white = x >= 10 && x < 22 && y >= 10 && y < 22;
      const BYTE bit = static_cast<BYTE>(0x80 >> (x % 8));
      BYTE& a = andMask[y * 4 + x / 8];
      BYTE& b = xorMask[y * 4 + x / 8];
      a = static_cast<BYTE>(inside ? a & ~bit : a | bit);
      b = static_cast<BYTE>(white ? b | bit : b & ~bit);
    }
  return CreateCursor(instance, 16, 16, 32, 32, andMask, xorMask);
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteAll(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKDIR\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "\\";
  WNDCLASSA wc{};
  wc.lpfnWndProc = StripesProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = MakeSquareCursor(wc.hInstance);
  wc.lpszClassName = "ZivoStripes";
  if (!RegisterClassA(&wc)) return 3;
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int w = GetSystemMetrics(SM_CXVIRTUALSCREEN), h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  HWND window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "ZivoStripes", "", WS_POPUP | WS_VISIBLE, x, y, w, h,
                                nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return 4;
  SetCursorPos(x + w * 5 / 16, y + h / 4);  // on the light grey stripe: frame and inside both show
  Pump(800);
  if (!WriteAll(dir + "ready", std::to_string(w) + " " + std::to_string(h) + "\n")) return 5;

  for (int n = 0; !Exists(dir + "quit");) {
    if (!Exists(dir + "go." + std::to_string(n))) {
      Pump(20);
      continue;
    }
    const std::string tag = std::to_string(n++);
    std::string colour, grey;
    qel::CaptureScreenPng(qel::ssmColor, colour);
    qel::CaptureScreenPng(qel::ssmGray, grey);
    // Where the cursor is drawn, for the comparison to leave out.
    CURSORINFO ci{};
    ci.cbSize = sizeof ci;
    std::string cursor = "none\n";
    if (GetCursorInfo(&ci) && (ci.flags & CURSOR_SHOWING) != 0) {
      ICONINFO ii{};
      int hx = 0, hy = 0;
      if (GetIconInfo(ci.hCursor, &ii)) {
        hx = static_cast<int>(ii.xHotspot);
        hy = static_cast<int>(ii.yHotspot);
        if (ii.hbmMask) DeleteObject(ii.hbmMask);
        if (ii.hbmColor) DeleteObject(ii.hbmColor);
      }
      cursor = std::to_string(ci.ptScreenPos.x - hx - x) + " " + std::to_string(ci.ptScreenPos.y - hy - y) + " " +
               std::to_string(GetSystemMetrics(SM_CXCURSOR)) + " " + std::to_string(GetSystemMetrics(SM_CYCURSOR)) +
               "\n";
    }
    if (!WriteAll(dir + "shot." + tag + ".png", colour) || !WriteAll(dir + "grey." + tag + ".png", grey) ||
        !WriteAll(dir + "cursor." + tag + ".txt", cursor) || !WriteAll(dir + "done." + tag, "")) {
      return 6;
    }
  }
  DestroyWindow(window);
  return 0;
}
