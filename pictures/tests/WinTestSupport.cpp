#include "WinTestSupport.h"

#include "AniTestSupport.h"

namespace wintest {

std::unique_ptr<zf::TIcon> LoadIcon(const std::string& name) {
  zf::TMemoryStream m(anitest::Fixture(name));
  auto icon = std::make_unique<zf::TIcon>();
  icon->LoadFromStream(m);
  return icon;
}

uint32_t Rgb(zf::TBitmap& b, int x, int y) {
  const COLORREF c = static_cast<COLORREF>(b.Canvas().Pixel(x, y));
  return (uint32_t{GetRValue(c)} << 16) | (uint32_t{GetGValue(c)} << 8) | GetBValue(c);
}

namespace {
BOOL CALLBACK FindBox(HWND h, LPARAM p) {
  char c[16] = {};
  GetClassNameA(h, c, sizeof c);
  if (std::string(c) == "#32770" && IsWindowVisible(h)) {
    *reinterpret_cast<HWND*>(p) = h;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

TBoxAnswer::TBoxAnswer() {
  const DWORD owner = GetCurrentThreadId();
  FThread = std::thread([this, owner] {
    const DWORD start = GetTickCount();
    while (!FStop && GetTickCount() - start < 20000) {
      HWND box = nullptr;
      EnumThreadWindows(owner, FindBox, reinterpret_cast<LPARAM>(&box));
      if (box) {
        char t[256] = {};
        GetDlgItemTextA(box, 0xFFFF, t, sizeof t);
        FText = t;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(20);
    }
  });
}

TBoxAnswer::~TBoxAnswer() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

std::string TBoxAnswer::Text() {
  if (FThread.joinable()) FThread.join();
  return FText;
}

}  // namespace wintest
