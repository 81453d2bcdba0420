// The Windows half of PicUtils: drawing through masks, global memory blocks,
// the "not implemented" report.
#include <memory>

#include "Forms.h"
#include "PicUtils.h"

namespace pictures {

namespace {

// A memory context compatible with `like` holding a new bitmap; both go when it does.
class TScratchDC {
public:
  TScratchDC(HDC like, HBITMAP bitmap) : FDC(CreateCompatibleDC(like)), FBitmap(bitmap) {
    FOld = SelectObject(FDC, FBitmap);
  }
  ~TScratchDC() {
    SelectObject(FDC, FOld);
    DeleteObject(FBitmap);
    DeleteDC(FDC);
  }
  TScratchDC(const TScratchDC&) = delete;
  TScratchDC& operator=(const TScratchDC&) = delete;
  HDC DC() const { return FDC; }

private:
  HDC FDC;
  HBITMAP FBitmap;
  HGDIOBJ FOld;
};

int g_picUtilsInits = 0;
// The shared scratch bitmap slot of the drawing routines (nothing in this program fills it).
std::unique_ptr<zf::TBitmap> g_drawBitmap;

void FreeDrawBitmap() { g_drawBitmap.reset(); }

}  // namespace

COLORREF PaletteRelativeColor(zf::TColor color) { return zf::ColorToRGB(color) | 0x02000000; }

void MaskedStretchBlt(HDC dest, int x, int y, int w, int h, HDC source, int sx, int sy, int sw, int sh,
                      HPALETTE palette, COLORREF transparent) {
  TScratchDC back(dest, CreateBitmap(sw, sh, 1, 1, nullptr));
  TScratchDC object(dest, CreateBitmap(sw, sh, 1, 1, nullptr));
  TScratchDC memory(dest, CreateCompatibleBitmap(dest, w, h));
  TScratchDC save(dest, CreateCompatibleBitmap(dest, sw, sh));
  HPALETTE oldDest = nullptr, oldSave = nullptr, oldObject = nullptr, oldMemory = nullptr;
  if (palette) {
    oldDest = SelectPalette(dest, palette, TRUE);
    RealizePalette(dest);
    oldSave = SelectPalette(save.DC(), palette, FALSE);
    RealizePalette(save.DC());
    oldObject = SelectPalette(object.DC(), palette, FALSE);
    RealizePalette(object.DC());
    oldMemory = SelectPalette(memory.DC(), palette, TRUE);
    RealizePalette(memory.DC());
  }
  SetMapMode(source, GetMapMode(dest));
  SetMapMode(save.DC(), GetMapMode(dest));
  SetStretchBltMode(memory.DC(), COLORONCOLOR);

  BitBlt(save.DC(), 0, 0, sw, sh, source, sx, sy, SRCCOPY);
  // The mask: 1 where the picture has the transparent colour.
  const COLORREF oldBack = SetBkColor(save.DC(), PaletteRelativeColor(static_cast<zf::TColor>(transparent)));
  BitBlt(object.DC(), 0, 0, sw, sh, save.DC(), 0, 0, SRCCOPY);
  SetBkColor(save.DC(), oldBack);
  BitBlt(back.DC(), 0, 0, sw, sh, object.DC(), 0, 0, NOTSRCCOPY);
  BitBlt(memory.DC(), 0, 0, w, h, dest, x, y, SRCCOPY);
  // Clear where the picture covers the background, clear the picture's
  // transparent pixels, then put the two together.
  StretchBlt(memory.DC(), 0, 0, w, h, object.DC(), 0, 0, sw, sh, SRCAND);
  BitBlt(save.DC(), 0, 0, sw, sh, back.DC(), 0, 0, SRCAND);
  StretchBlt(memory.DC(), 0, 0, w, h, save.DC(), 0, 0, sw, sh, SRCPAINT);
  BitBlt(dest, x, y, w, h, memory.DC(), 0, 0, SRCCOPY);

  if (palette) {
    SelectPalette(memory.DC(), oldMemory, FALSE);
    SelectPalette(object.DC(), oldObject, FALSE);
    SelectPalette(save.DC(), oldSave, FALSE);
    SelectPalette(dest, oldDest, TRUE);
  }
}

void DrawBitmapTransparent(zf::TCanvas& dest, zf::TBitmap& bitmap, zf::TColor transparent, int x, int y, int w,
                           int h, int sx, int sy, int sw, int sh) {
  if (w < 1) w = bitmap.Width();
  if (h < 1) h = bitmap.Height();
  if (sw < 1 || sh < 1) {
    sx = sy = 0;
    sw = bitmap.Width();
    sh = bitmap.Height();
  }
  if (!bitmap.Monochrome()) SetStretchBltMode(dest.Handle(), COLORONCOLOR);
  zf::TCanvas& canvas = bitmap.Canvas();
  // Drawing from the bitmap is no change of it: nobody is told.
  struct TQuiet {
    zf::TBitmap& b;
    std::function<void(zf::TObject*)> saved;
    explicit TQuiet(zf::TBitmap& bm) : b(bm), saved(std::move(bm.OnChange)) {
      b.OnChange = nullptr;
      b.Canvas().Lock();
    }
    ~TQuiet() {
      b.Canvas().Unlock();
      b.OnChange = std::move(saved);
    }
  } quiet(bitmap);
  if (transparent == zf::clNone) {
    StretchBlt(dest.Handle(), x, y, w, h, canvas.Handle(), sx, sy, sw, sh, dest.CopyMode());
    return;
  }
  if (transparent == zf::clDefault) transparent = canvas.Pixel(0, bitmap.Height() - 1);
  // Only a monochrome device bitmap draws its own two colours as black and
  // white; a 1-bit DIB has a palette of any two colours.
  const bool monoDevice = bitmap.Monochrome() && bitmap.HandleType() == zf::TBitmapHandleType::bmDDB;
  const COLORREF key = monoDevice ? RGB(255, 255, 255) : zf::ColorToRGB(transparent);
  MaskedStretchBlt(dest.Handle(), x, y, w, h, canvas.Handle(), sx, sy, sw, sh, bitmap.Palette(), key);
}

void DrawBitmapRectTransparent(zf::TCanvas& dest, int x, int y, int w, int h, const zf::TRect& source,
                               zf::TBitmap& bitmap, zf::TColor transparent) {
  DrawBitmapTransparent(dest, bitmap, transparent, x, y, w, h, source.Left, source.Top, source.Width(),
                        source.Height());
}

void* AllocZeroedBlock(int64_t size) {
  if (size <= 0) return nullptr;
  if (static_cast<uint64_t>(size) > SIZE_MAX) throw zf::EOutOfResources("Out of memory");
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(size));
  void* p = h ? GlobalLock(h) : nullptr;
  if (!p) {
    if (h) GlobalFree(h);
    throw zf::EOutOfResources("Out of memory");
  }
  return p;
}

void FreeZeroedBlock(void*& p) {
  if (!p) return;
  HGLOBAL h = GlobalHandle(p);
  GlobalUnlock(h);
  GlobalFree(h);
  p = nullptr;
}

void ReportNotImplemented() {
  SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
  zf::Application.MessageBox(SPicNotImplemented, zf::Application.Title(), MB_OK | MB_ICONINFORMATION);
  zf::Abort();
}

void PicUtilsInit() { ++g_picUtilsInits; }
void PicUtilsFini() {
  if (g_picUtilsInits > 0 && --g_picUtilsInits == 0) FreeDrawBitmap();
}

}  // namespace pictures
