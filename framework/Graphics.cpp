#include "Graphics.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "TextCase.h"

namespace zf {

// --- colours -------------------------------------------------------------------

COLORREF ColorToRGB(TColor c) {
  if (c < 0) return GetSysColor(c & 0xFF);
  return static_cast<COLORREF>(c & 0xFFFFFF);
}

namespace {
const struct { const char* Name; TColor Color; } kColorNames[] = {
    {"clBlack", clBlack}, {"clMaroon", clMaroon}, {"clGreen", clGreen}, {"clOlive", clOlive},
    {"clNavy", clNavy}, {"clPurple", clPurple}, {"clTeal", clTeal}, {"clGray", clGray},
    {"clSilver", clSilver}, {"clRed", clRed}, {"clLime", clLime}, {"clYellow", clYellow},
    {"clBlue", clBlue}, {"clFuchsia", clFuchsia}, {"clAqua", clAqua}, {"clWhite", clWhite},
    {"clWindow", clWindow}, {"clWindowText", clWindowText}, {"clBtnFace", clBtnFace},
    {"clBtnText", clBtnText}, {"clHighlight", clHighlight}, {"clNone", clNone}, {"clDefault", clDefault},
};
}  // namespace

bool IdentToColor(const std::string& name, TColor& c) {
  for (const auto& e : kColorNames)
    if (SameTextAscii(e.Name, name)) {
      c = e.Color;
      return true;
    }
  return false;
}

TPropertySetter ColorProperty(std::function<void(TObject&, TColor)> set) {
  return [set = std::move(set)](TObject& o, const TPropertyValue& v) {
    TColor c = 0;
    if (v.kind == TPropertyValue::Kind::Integer) c = static_cast<TColor>(v.Int);
    else if (v.kind != TPropertyValue::Kind::Ident || !IdentToColor(v.Str, c))
      throw EPropertyError("Invalid property value");
    set(o, c);
  };
}

const TEnumInfo FontStyleInfo("TFontStyle", {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"});

// --- font, brush ----------------------------------------------------------------

TFont::TFont() = default;
TFont::~TFont() {
  if (FHandle) DeleteObject(FHandle);
}

void TFont::Assign(const TPersistent* source) {
  if (auto* f = dynamic_cast<const TFont*>(source)) {
    FName = f->FName;
    FHeight = f->FHeight;
    FStyle = f->FStyle;
    FColor = f->FColor;
    Changed();
    return;
  }
  TPersistent::Assign(source);
}

void TFont::Changed() {
  if (FHandle) {
    DeleteObject(FHandle);
    FHandle = nullptr;
  }
  if (OnChange) OnChange(this);
}

void TFont::SetName(const std::string& n) {
  if (n == FName) return;
  FName = n;
  Changed();
}
int TFont::Size() const { return -MulDiv(FHeight, 72, 96); }
void TFont::SetSize(int points) { SetHeight(-MulDiv(points, 96, 72)); }
void TFont::SetHeight(int h) {
  if (h == FHeight) return;
  FHeight = h;
  Changed();
}
void TFont::SetStyle(TFontStyles s) {
  if (s == FStyle) return;
  FStyle = s;
  Changed();
}
void TFont::SetColor(TColor c) {
  if (c == FColor) return;
  FColor = c;
  if (OnChange) OnChange(this);
}

HFONT TFont::Handle() {
  if (!FHandle) {
    FHandle = CreateFontA(FHeight, 0, 0, 0, FStyle.Contains(TFontStyle::fsBold) ? FW_BOLD : FW_NORMAL,
                          FStyle.Contains(TFontStyle::fsItalic), FStyle.Contains(TFontStyle::fsUnderline),
                          FStyle.Contains(TFontStyle::fsStrikeOut), ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, FName.c_str());
    if (!FHandle) throw EOutOfResources("Cannot create font " + FName);
  }
  return FHandle;
}

TBrush::~TBrush() {
  if (FHandle) DeleteObject(FHandle);
}
void TBrush::SetColor(TColor c) {
  if (c == FColor && FHandle) return;
  FColor = c;
  if (FHandle) {
    DeleteObject(FHandle);
    FHandle = nullptr;
  }
}
HBRUSH TBrush::Handle() {
  if (FStyle == TBrushStyle::bsClear) return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
  if (!FHandle) FHandle = CreateSolidBrush(ColorToRGB(FColor));
  return FHandle;
}

// --- canvas ---------------------------------------------------------------------

TCanvas::TCanvas() = default;
TCanvas::~TCanvas() = default;
void TCanvas::SetHandle(HDC dc) { FHandle = dc; }
void TCanvas::Draw(int x, int y, TGraphic& g) {
  if (!g.Empty()) g.Draw(*this, Bounds(x, y, g.Width(), g.Height()));
}
void TCanvas::StretchDraw(const TRect& r, TGraphic& g) {
  if (!g.Empty()) g.Draw(*this, r);
}
void TCanvas::FillRect(const TRect& r) {
  RECT rc{r.Left, r.Top, r.Right, r.Bottom};
  ::FillRect(FHandle, &rc, FBrush.Handle());
  if (OnChange) OnChange(this);
}
void TCanvas::CopyRect(const TRect& dest, TCanvas& source, const TRect& src) {
  SetStretchBltMode(FHandle, COLORONCOLOR);
  StretchBlt(FHandle, dest.Left, dest.Top, dest.Width(), dest.Height(), source.Handle(), src.Left, src.Top,
             src.Width(), src.Height(), FCopyMode);
  if (OnChange) OnChange(this);
}
void TCanvas::TextOut(int x, int y, const std::string& s) {
  HGDIOBJ old = SelectObject(FHandle, FFont.Handle());
  SetTextColor(FHandle, ColorToRGB(FFont.Color()));
  SetBkMode(FHandle, TRANSPARENT);
  ::TextOutA(FHandle, x, y, s.c_str(), static_cast<int>(s.size()));
  SelectObject(FHandle, old);
  if (OnChange) OnChange(this);
}
TColor TCanvas::Pixel(int x, int y) const { return static_cast<TColor>(GetPixel(FHandle, x, y)); }
void TCanvas::SetPixel(int x, int y, TColor c) {
  ::SetPixel(FHandle, x, y, ColorToRGB(c));
  if (OnChange) OnChange(this);
}

// --- graphic ------------------------------------------------------------------

const TClassInfo& TGraphic::StaticClassInfo() {
  return MakeClassInfo<TGraphic, TPersistent>("TGraphic", [](auto&) {});
}

void TGraphic::SetTransparent(bool t) {
  if (t == FTransparent) return;
  FTransparent = t;
  Changed(this);
}
void TGraphic::SetModified(bool m) {
  if (m) Changed(this);
  else FModified = false;
}
void TGraphic::Changed(TObject*) {
  FModified = true;
  if (OnChange) OnChange(this);
}
void TGraphic::Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow, const TRect& R,
                        const std::string& Msg) {
  if (OnProgress) OnProgress(Sender, Stage, PercentDone, RedrawNow, R, Msg);
}

bool TGraphic::Equals(const TGraphic& other) const {
  if (&other == this) return true;
  if (&other.GraphicClass() != &GraphicClass()) return false;
  if (Empty() || other.Empty()) return Empty() == other.Empty();
  TMemoryStream a, b;
  const_cast<TGraphic*>(this)->SaveToStream(a);
  const_cast<TGraphic&>(other).SaveToStream(b);
  return a.Bytes() == b.Bytes();
}

void TGraphic::LoadFromClipboardFormat(UINT, HANDLE, HPALETTE) {
  throw EInvalidGraphic("Unsupported clipboard format");
}
void TGraphic::SaveToClipboardFormat(UINT&, HANDLE&, HPALETTE&) {
  throw EInvalidGraphic("Unsupported clipboard format");
}

void TGraphic::LoadFromFile(const std::string& name) {
  TFileStream f(name, TFileMode::fmOpenRead);
  LoadFromStream(f);
}
void TGraphic::SaveToFile(const std::string& name) {
  TFileStream f(name, TFileMode::fmCreate);
  SaveToStream(f);
}

void TGraphic::ReadData(TStream& s) {
  int32_t n = 0;
  s.ReadBuffer(&n, 4);
  if (n < 0) throw EReadError("Stream read error");
  std::string bytes(static_cast<size_t>(n), '\0');
  s.ReadBuffer(bytes.data(), n);
  TMemoryStream m(std::move(bytes));
  LoadFromStream(m);
}
void TGraphic::WriteData(TStream& s) {
  TMemoryStream m;
  SaveToStream(m);
  int32_t n = static_cast<int32_t>(m.Size());
  s.WriteBuffer(&n, 4);
  m.SaveToStream(s);
}

void TSharedImage::Release() {
  if (--FRefCount > 0) return;
  FreeHandle();
  // The last holder frees the object that TSharedRef::Make released to the count.
  delete this;
}

// --- bitmap ---------------------------------------------------------------------

namespace {
constexpr uint64_t kMaxBitmapPixels = 64ull * 1024 * 1024;

int BitsOf(TPixelFormat f) {
  switch (f) {
    case TPixelFormat::pf1bit: return 1;
    case TPixelFormat::pf4bit: return 4;
    case TPixelFormat::pf8bit: return 8;
    case TPixelFormat::pf15bit: case TPixelFormat::pf16bit: return 16;
    case TPixelFormat::pf32bit: return 32;
    default: return 24;
  }
}
int Stride(int w, int bits) { return ((w * bits + 31) / 32) * 4; }

// Default colour tables: black and white, the 16 VGA colours, then a grey ramp.
void DefaultColors(int bits, std::vector<RGBQUAD>& out) {
  static const RGBQUAD vga[16] = {
      {0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
      {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
      {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
      {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};
  out.clear();
  if (bits == 1) {
    out.push_back({0, 0, 0, 0});
    out.push_back({255, 255, 255, 0});
  } else if (bits == 4 || bits == 8) {
    out.assign(vga, vga + 16);
    for (int i = 16; i < (1 << bits); ++i) {
      BYTE g = static_cast<BYTE>((i - 16) * 255 / 239);
      out.push_back({g, g, g, 0});
    }
  }
}

struct TBmi {
  BITMAPINFOHEADER Header;
  RGBQUAD Colors[256];
};
}  // namespace

const TClassInfo& TBitmap::StaticClassInfo() {
  return MakeClassInfo<TBitmap, TGraphic>("TBitmap", [](auto&) {});
}
const TClassInfo& TIcon::StaticClassInfo() {
  return MakeClassInfo<TIcon, TGraphic>("TIcon", [](auto&) {});
}
const TClassInfo& TPicture::StaticClassInfo() {
  return MakeClassInfo<TPicture, TPersistent>("TPicture", [](auto&) {});
}

const TGraphicClass& TBitmap::Class() {
  static const TGraphicClass c{"TBitmap", []() -> std::unique_ptr<TGraphic> { return std::make_unique<TBitmap>(); }};
  return c;
}

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() {
  FreeImage();
  if (FCanvasDC) DeleteDC(FCanvasDC);
}

void TBitmap::Deselect() {
  if (FCanvasDC && FOldBitmap) {
    SelectObject(FCanvasDC, FOldBitmap);
    FOldBitmap = nullptr;
  }
}

void TBitmap::Select() {
  if (FCanvasDC && FHandle && !FOldBitmap) FOldBitmap = SelectObject(FCanvasDC, FHandle);
  if (FCanvasDC && FPalette) {
    SelectPalette(FCanvasDC, FPalette, FALSE);
    RealizePalette(FCanvasDC);
  }
}

void TBitmap::FreeImage() {
  Deselect();
  if (FHandle) DeleteObject(FHandle);
  if (FPalette) {
    if (FCanvasDC) SelectPalette(FCanvasDC, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), FALSE);
    DeleteObject(FPalette);
  }
  FHandle = nullptr;
  FPalette = nullptr;
  FBitsPtr = nullptr;
  FWidth = FHeight = 0;
}

void TBitmap::MakeDib(int w, int h, int bits, const RGBQUAD* colors, int ncolors) {
  if (w < 0 || h < 0 || static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kMaxBitmapPixels)
    throw EInvalidGraphic("Bitmap image is not valid");
  FreeImage();
  FBits = bits;
  FHandleType = TBitmapHandleType::bmDIB;
  if (w == 0 || h == 0) {
    FWidth = w;
    FHeight = h;
    return;
  }
  TBmi bmi{};
  bmi.Header.biSize = sizeof(BITMAPINFOHEADER);
  bmi.Header.biWidth = w;
  bmi.Header.biHeight = -h;  // top-down: ScanLine(y) is row y
  bmi.Header.biPlanes = 1;
  bmi.Header.biBitCount = static_cast<WORD>(bits);
  bmi.Header.biCompression = BI_RGB;
  std::vector<RGBQUAD> table;
  if (bits <= 8) {
    if (colors && ncolors > 0) table.assign(colors, colors + std::min(ncolors, 1 << bits));
    else DefaultColors(bits, table);
    table.resize(static_cast<size_t>(1) << bits, RGBQUAD{0, 0, 0, 0});
    std::copy(table.begin(), table.end(), bmi.Colors);
    bmi.Header.biClrUsed = static_cast<DWORD>(table.size());
  }
  void* ptr = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP hb = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&bmi), DIB_RGB_COLORS, &ptr, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!hb) throw EOutOfResources("Out of system resources");
  FHandle = hb;
  FBitsPtr = ptr;
  FTopDown = true;
  FWidth = w;
  FHeight = h;
  if (!table.empty()) {
    std::vector<BYTE> buf(sizeof(LOGPALETTE) + sizeof(PALETTEENTRY) * table.size());
    auto* lp = reinterpret_cast<LOGPALETTE*>(buf.data());
    lp->palVersion = 0x300;
    lp->palNumEntries = static_cast<WORD>(table.size());
    for (size_t i = 0; i < table.size(); ++i)
      lp->palPalEntry[i] = PALETTEENTRY{table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
    FPalette = CreatePalette(lp);
  }
  Select();
}

HBITMAP TBitmap::Handle() { return FHandle; }

void TBitmap::SetHandle(HBITMAP h) {
  FreeImage();
  if (!h) {
    Changed(this);
    return;
  }
  DIBSECTION ds{};
  int n = GetObjectA(h, sizeof ds, &ds);
  FHandle = h;
  if (n == sizeof(DIBSECTION)) {
    FHandleType = TBitmapHandleType::bmDIB;
    FBits = ds.dsBm.bmBitsPixel;
    FBitsPtr = ds.dsBm.bmBits;
    FTopDown = ds.dsBmih.biHeight < 0;
  } else {
    FHandleType = TBitmapHandleType::bmDDB;
    FBits = ds.dsBm.bmBitsPixel;
    FBitsPtr = nullptr;
  }
  FWidth = ds.dsBm.bmWidth;
  FHeight = ds.dsBm.bmHeight;
  Select();
  Changed(this);
}

HBITMAP TBitmap::ReleaseHandle() {
  Deselect();
  HBITMAP h = FHandle;
  FHandle = nullptr;
  FBitsPtr = nullptr;
  FWidth = FHeight = 0;
  return h;
}

TCanvas& TBitmap::Canvas() {
  if (!FCanvas) {
    FCanvas = std::make_unique<TCanvas>();
    FCanvasDC = CreateCompatibleDC(nullptr);
    if (!FCanvasDC) throw EOutOfResources("Out of system resources");
    FCanvas->SetHandle(FCanvasDC);
    FCanvas->OnChange = [this](TObject*) { Changed(this); };
  }
  Select();
  return *FCanvas;
}

// Copies the current image into a newly made one of another kind.
namespace {
void CopyInto(HDC dst, HDC src, int w, int h) { BitBlt(dst, 0, 0, w, h, src, 0, 0, SRCCOPY); }
}  // namespace

void TBitmap::SetSize(int w, int h) {
  if (w == FWidth && h == FHeight && (FHandle || w == 0 || h == 0)) return;
  TBitmap old;
  int ow = FWidth, oh = FHeight;
  std::vector<RGBQUAD> colors;
  if (FHandle && FHandleType == TBitmapHandleType::bmDIB && FBits <= 8) {
    colors.resize(256);
    Canvas();
    colors.resize(GetDIBColorTable(FCanvasDC, 0, 256, colors.data()));
  }
  old.SetHandle(ReleaseHandle());
  if (FPalette) {
    DeleteObject(FPalette);
    FPalette = nullptr;
  }
  if (FHandleType == TBitmapHandleType::bmDDB && w > 0 && h > 0) {
    if (static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > kMaxBitmapPixels)
      throw EInvalidGraphic("Bitmap image is not valid");
    HDC screen = GetDC(nullptr);
    HBITMAP hb = FBits == 1 ? CreateBitmap(w, h, 1, 1, nullptr) : CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    if (!hb) throw EOutOfResources("Out of system resources");
    SetHandle(hb);
    FHandleType = TBitmapHandleType::bmDDB;
  } else {
    MakeDib(w, h, FBits, colors.empty() ? nullptr : colors.data(), static_cast<int>(colors.size()));
  }
  if (FHandle) {
    Canvas().FillRect(Rect(0, 0, w, h));
    if (!old.Empty()) CopyInto(FCanvasDC, old.Canvas().Handle(), std::min(ow, w), std::min(oh, h));
  }
  Changed(this);
}

void TBitmap::SetHandleType(TBitmapHandleType t) {
  if (t == FHandleType) return;
  if (!FHandle) {
    FHandleType = t;
    return;
  }
  TBitmap old;
  int w = FWidth, h = FHeight;
  bool mono = Monochrome();
  old.SetHandle(ReleaseHandle());
  if (t == TBitmapHandleType::bmDDB) {
    HDC screen = GetDC(nullptr);
    HBITMAP hb = mono ? CreateBitmap(w, h, 1, 1, nullptr) : CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    if (!hb) throw EOutOfResources("Out of system resources");
    SetHandle(hb);
  } else {
    MakeDib(w, h, mono ? 1 : 24, nullptr, 0);
  }
  CopyInto(Canvas().Handle(), old.Canvas().Handle(), w, h);
  Changed(this);
}

TPixelFormat TBitmap::PixelFormat() const {
  if (FHandleType == TBitmapHandleType::bmDDB) return TPixelFormat::pfDevice;
  switch (FBits) {
    case 1: return TPixelFormat::pf1bit;
    case 4: return TPixelFormat::pf4bit;
    case 8: return TPixelFormat::pf8bit;
    case 16: return TPixelFormat::pf15bit;
    case 32: return TPixelFormat::pf32bit;
    default: return TPixelFormat::pf24bit;
  }
}

void TBitmap::SetPixelFormat(TPixelFormat f) {
  if (f == TPixelFormat::pfDevice) {
    SetHandleType(TBitmapHandleType::bmDDB);
    return;
  }
  int bits = BitsOf(f);
  if (FHandleType == TBitmapHandleType::bmDIB && bits == FBits) return;
  if (!FHandle) {
    FBits = bits;
    FHandleType = TBitmapHandleType::bmDIB;
    return;
  }
  TBitmap old;
  int w = FWidth, h = FHeight;
  old.SetHandle(ReleaseHandle());
  MakeDib(w, h, bits, nullptr, 0);
  CopyInto(Canvas().Handle(), old.Canvas().Handle(), w, h);
  Changed(this);
}

bool TBitmap::Monochrome() const { return FHandle ? FBits == 1 : FBits == 1; }
void TBitmap::SetMonochrome(bool m) {
  if (m == Monochrome()) return;
  if (FHandleType == TBitmapHandleType::bmDDB && FHandle) {
    TBitmap old;
    int w = FWidth, h = FHeight;
    old.SetHandle(ReleaseHandle());
    FBits = m ? 1 : 24;
    HDC screen = GetDC(nullptr);
    HBITMAP hb = m ? CreateBitmap(w, h, 1, 1, nullptr) : CreateCompatibleBitmap(screen, w, h);
    ReleaseDC(nullptr, screen);
    SetHandle(hb);
    CopyInto(Canvas().Handle(), old.Canvas().Handle(), w, h);
    Changed(this);
    return;
  }
  SetPixelFormat(m ? TPixelFormat::pf1bit : TPixelFormat::pf24bit);
}

void* TBitmap::ScanLine(int y) {
  if (y < 0 || y >= FHeight) throw EInvalidGraphicOperation("Scan line index out of range");
  if (FHandleType == TBitmapHandleType::bmDDB) SetHandleType(TBitmapHandleType::bmDIB);
  GdiFlush();
  int row = FTopDown ? y : FHeight - 1 - y;
  return static_cast<uint8_t*>(FBitsPtr) + static_cast<size_t>(row) * static_cast<size_t>(Stride(FWidth, FBits));
}

TColor TBitmap::TransparentColor() {
  if (FTransparentMode == TTransparentMode::tmFixed && FTransparentColor != clDefault) return FTransparentColor;
  if (Empty()) return clDefault;
  return Canvas().Pixel(0, FHeight - 1);
}

void TBitmap::SetTransparentColor(TColor c) {
  FTransparentColor = c;
  FTransparentMode = c == clDefault ? TTransparentMode::tmAuto : TTransparentMode::tmFixed;
  Changed(this);
}

bool TBitmap::GetEmpty() const { return FHandle == nullptr; }

void TBitmap::SetPaletteImpl(HPALETTE p) {
  if (FPalette == p) return;
  if (FPalette) DeleteObject(FPalette);
  FPalette = p;
  SetPaletteModified(true);
  Select();
  Changed(this);
}

void TBitmap::Draw(TCanvas& canvas, const TRect& r) {
  if (Empty()) return;
  HDC dst = canvas.Handle();
  HDC src = Canvas().Handle();
  HPALETTE oldPal = nullptr;
  if (FPalette) {
    oldPal = SelectPalette(dst, FPalette, TRUE);
    RealizePalette(dst);
  }
  if (!Monochrome()) SetStretchBltMode(dst, COLORONCOLOR);
  if (Transparent()) {
    TColor tc = TransparentColor();
    COLORREF key = Monochrome() ? RGB(255, 255, 255) : ColorToRGB(tc);
    TransparentBlt(dst, r.Left, r.Top, r.Width(), r.Height(), src, 0, 0, FWidth, FHeight, key);
  } else {
    StretchBlt(dst, r.Left, r.Top, r.Width(), r.Height(), src, 0, 0, FWidth, FHeight, canvas.CopyMode());
  }
  if (oldPal) SelectPalette(dst, oldPal, TRUE);
}

void TBitmap::Assign(const TPersistent* source) {
  if (!source) {
    FreeImage();
    Changed(this);
    return;
  }
  if (source == this) return;
  if (auto* b = dynamic_cast<const TBitmap*>(source)) {
    auto& src = const_cast<TBitmap&>(*b);
    FreeImage();
    FTransparentColor = src.FTransparentColor;
    FTransparentMode = src.FTransparentMode;
    SetTransparent(src.Transparent());
    if (src.Empty()) {
      FHandleType = src.FHandleType;
      FBits = src.FBits;
      FWidth = src.FWidth;
      FHeight = src.FHeight;
      Changed(this);
      return;
    }
    std::vector<RGBQUAD> colors;
    if (src.FHandleType == TBitmapHandleType::bmDIB && src.FBits <= 8) {
      colors.resize(256);
      src.Canvas();
      colors.resize(GetDIBColorTable(src.FCanvasDC, 0, 256, colors.data()));
    }
    if (src.FHandleType == TBitmapHandleType::bmDIB) {
      MakeDib(src.FWidth, src.FHeight, src.FBits, colors.data(), static_cast<int>(colors.size()));
    } else {
      FHandleType = TBitmapHandleType::bmDDB;
      FBits = src.FBits;
      HDC screen = GetDC(nullptr);
      HBITMAP hb = src.FBits == 1 ? CreateBitmap(src.FWidth, src.FHeight, 1, 1, nullptr)
                                  : CreateCompatibleBitmap(screen, src.FWidth, src.FHeight);
      ReleaseDC(nullptr, screen);
      SetHandle(hb);
    }
    CopyInto(Canvas().Handle(), src.Canvas().Handle(), src.FWidth, src.FHeight);
    Changed(this);
    return;
  }
  if (auto* g = dynamic_cast<const TGraphic*>(source)) {
    auto& src = const_cast<TGraphic&>(*g);
    FreeImage();
    if (src.Empty()) {
      Changed(this);
      return;
    }
    FHandleType = TBitmapHandleType::bmDIB;
    FBits = 24;
    MakeDib(src.Width(), src.Height(), 24, nullptr, 0);
    Canvas().FillRect(Rect(0, 0, FWidth, FHeight));
    Canvas().Draw(0, 0, src);
    Changed(this);
    return;
  }
  TPersistent::Assign(source);
}

void TBitmap::LoadFromStream(TStream& s) {
  int64_t start = s.Position();
  BITMAPFILEHEADER fh{};
  s.ReadBuffer(&fh, sizeof fh);
  if (fh.bfType != 0x4D42) throw EInvalidGraphic("Bitmap image is not valid");
  BITMAPINFOHEADER ih{};
  s.ReadBuffer(&ih, sizeof(DWORD));
  if (ih.biSize < sizeof(BITMAPINFOHEADER) || ih.biSize > 4096) throw EInvalidGraphic("Bitmap image is not valid");
  s.ReadBuffer(reinterpret_cast<char*>(&ih) + sizeof(DWORD), sizeof(BITMAPINFOHEADER) - sizeof(DWORD));
  s.Seek(static_cast<int64_t>(ih.biSize - sizeof(BITMAPINFOHEADER)), TSeekOrigin::soCurrent);
  int bits = ih.biBitCount;
  bool bitsOk = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
  int64_t h64 = ih.biHeight < 0 ? -static_cast<int64_t>(ih.biHeight) : ih.biHeight;
  if (!bitsOk || ih.biPlanes != 1 || ih.biCompression != BI_RGB || ih.biWidth <= 0 || h64 <= 0 ||
      static_cast<uint64_t>(ih.biWidth) * static_cast<uint64_t>(h64) > kMaxBitmapPixels)
    throw EInvalidGraphic("Bitmap image is not valid");
  int w = ih.biWidth, h = static_cast<int>(h64);
  std::vector<RGBQUAD> colors;
  if (bits <= 8) {
    DWORD n = ih.biClrUsed ? ih.biClrUsed : (1u << bits);
    if (n > (1u << bits)) throw EInvalidGraphic("Bitmap image is not valid");
    colors.resize(n);
    s.ReadBuffer(colors.data(), static_cast<int64_t>(n * sizeof(RGBQUAD)));
  }
  size_t stride = static_cast<size_t>(Stride(w, bits));
  s.SetPosition(start + fh.bfOffBits);
  if (static_cast<uint64_t>(stride) * static_cast<uint64_t>(h) > static_cast<uint64_t>(std::max<int64_t>(s.Size() - s.Position(), 0)))
    throw EReadError("Stream read error");
  std::string pixels(stride * static_cast<size_t>(h), '\0');
  s.ReadBuffer(pixels.data(), static_cast<int64_t>(pixels.size()));
  MakeDib(w, h, bits, colors.data(), static_cast<int>(colors.size()));
  bool bottomUp = ih.biHeight > 0;
  for (int y = 0; y < h; ++y) {
    size_t srcRow = static_cast<size_t>(bottomUp ? h - 1 - y : y);
    std::memcpy(ScanLine(y), pixels.data() + srcRow * stride, stride);
  }
  Changed(this);
}

void TBitmap::SaveToStream(TStream& s) {
  if (Empty()) return;
  int bits = FHandleType == TBitmapHandleType::bmDIB ? FBits : (Monochrome() ? 1 : 24);
  TBmi bmi{};
  bmi.Header.biSize = sizeof(BITMAPINFOHEADER);
  bmi.Header.biWidth = FWidth;
  bmi.Header.biHeight = FHeight;  // bottom-up, as files are
  bmi.Header.biPlanes = 1;
  bmi.Header.biBitCount = static_cast<WORD>(bits);
  bmi.Header.biCompression = BI_RGB;
  size_t stride = static_cast<size_t>(Stride(FWidth, bits));
  std::string pixels(stride * static_cast<size_t>(FHeight), '\0');
  Canvas();
  Deselect();
  HDC screen = GetDC(nullptr);
  int got = GetDIBits(screen, FHandle, 0, static_cast<UINT>(FHeight), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bmi),
                      DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  Select();
  if (got != FHeight) throw EInvalidGraphicOperation("Cannot read the bitmap's pixels");
  DWORD ncolors = bits <= 8 ? (1u << bits) : 0;
  bmi.Header.biClrUsed = ncolors;
  bmi.Header.biSizeImage = static_cast<DWORD>(pixels.size());
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = static_cast<DWORD>(sizeof fh + sizeof(BITMAPINFOHEADER) + ncolors * sizeof(RGBQUAD));
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(pixels.size());
  s.WriteBuffer(&fh, sizeof fh);
  s.WriteBuffer(&bmi.Header, sizeof(BITMAPINFOHEADER));
  if (ncolors) s.WriteBuffer(bmi.Colors, static_cast<int64_t>(ncolors * sizeof(RGBQUAD)));
  s.WriteBuffer(pixels.data(), static_cast<int64_t>(pixels.size()));
}

void TBitmap::LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette) {
  if (format != CF_BITMAP || !data) throw EInvalidGraphic("Unsupported clipboard format");
  HBITMAP copy = static_cast<HBITMAP>(CopyImage(data, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (!copy) throw EOutOfResources("Out of system resources");
  SetHandle(copy);
  (void)palette;
}

void TBitmap::SaveToClipboardFormat(UINT& format, HANDLE& data, HPALETTE& palette) {
  format = CF_BITMAP;
  data = FHandle ? CopyImage(FHandle, IMAGE_BITMAP, 0, 0, 0) : nullptr;
  palette = nullptr;
  if (FPalette) {
    PALETTEENTRY e[256];
    UINT n = GetPaletteEntries(FPalette, 0, 256, e);
    std::vector<BYTE> buf(sizeof(LOGPALETTE) + sizeof(PALETTEENTRY) * 256);
    auto* lp = reinterpret_cast<LOGPALETTE*>(buf.data());
    lp->palVersion = 0x300;
    lp->palNumEntries = static_cast<WORD>(n);
    std::copy(e, e + n, lp->palPalEntry);
    palette = CreatePalette(lp);
  }
}

void TBitmap::LoadFromResourceName(HINSTANCE instance, const std::string& name) {
  HANDLE h = LoadImageA(instance, name.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
  if (!h) throw EInvalidGraphic("Resource " + name + " not found");
  SetHandle(static_cast<HBITMAP>(h));
}

// --- icon -----------------------------------------------------------------------

const TGraphicClass& TIcon::Class() {
  static const TGraphicClass c{"TIcon", []() -> std::unique_ptr<TGraphic> { return std::make_unique<TIcon>(); }};
  return c;
}

TIcon::TIcon() = default;
TIcon::~TIcon() {
  if (FHandle) DestroyIcon(FHandle);
}

void TIcon::SetHandle(HICON h) {
  if (FHandle) DestroyIcon(FHandle);
  FHandle = h;
  FData.clear();
  FWidth = FHeight = 0;
  if (h) {
    ICONINFO ii{};
    if (GetIconInfo(h, &ii)) {
      BITMAP bm{};
      GetObjectA(ii.hbmColor ? ii.hbmColor : ii.hbmMask, sizeof bm, &bm);
      FWidth = bm.bmWidth;
      FHeight = ii.hbmColor ? bm.bmHeight : bm.bmHeight / 2;
      if (ii.hbmColor) DeleteObject(ii.hbmColor);
      if (ii.hbmMask) DeleteObject(ii.hbmMask);
    }
  }
  Changed(this);
}

void TIcon::Assign(const TPersistent* source) {
  if (!source) {
    SetHandle(nullptr);
    return;
  }
  if (auto* i = dynamic_cast<const TIcon*>(source)) {
    if (i == this) return;
    if (!i->FData.empty()) {
      TMemoryStream m(i->FData);
      LoadFromStream(m);
    } else {
      SetHandle(i->FHandle ? CopyIcon(i->FHandle) : nullptr);
    }
    return;
  }
  TPersistent::Assign(source);
}

void TIcon::LoadFromStream(TStream& s) {
  uint16_t hdr[3];
  s.ReadBuffer(hdr, sizeof hdr);
  if (hdr[0] != 0 || (hdr[1] != 1 && hdr[1] != 2) || hdr[2] == 0) throw EInvalidGraphic("Icon image is not valid");
  struct Entry {
    uint8_t W, H, Colors, Reserved;
    uint16_t Planes, Bits;
    uint32_t Size, Offset;
  };
  static_assert(sizeof(Entry) == 16);
  std::vector<Entry> entries(hdr[2]);
  s.ReadBuffer(entries.data(), static_cast<int64_t>(entries.size() * sizeof(Entry)));
  uint64_t end = 6 + entries.size() * sizeof(Entry);
  for (const Entry& e : entries) {
    if (e.Offset < 6 + entries.size() * sizeof(Entry) || e.Size == 0 || e.Size > (16u << 20))
      throw EInvalidGraphic("Icon image is not valid");
    end = std::max<uint64_t>(end, static_cast<uint64_t>(e.Offset) + e.Size);
  }
  std::string data(reinterpret_cast<const char*>(hdr), sizeof hdr);
  data.append(reinterpret_cast<const char*>(entries.data()), entries.size() * sizeof(Entry));
  // Images that lie beyond the stream are refused before anything is allocated for them.
  if (end - data.size() > static_cast<uint64_t>(std::max<int64_t>(s.Size() - s.Position(), 0)))
    throw EInvalidGraphic("Icon image is not valid");
  std::string rest(static_cast<size_t>(end - data.size()), '\0');
  s.ReadBuffer(rest.data(), static_cast<int64_t>(rest.size()));
  data += rest;
  const Entry& first = entries[0];
  int w = first.W ? first.W : 256, h = first.H ? first.H : 256;
  HICON icon = CreateIconFromResourceEx(reinterpret_cast<PBYTE>(data.data() + first.Offset), first.Size, TRUE,
                                        0x00030000, w, h, 0);
  if (!icon) throw EInvalidGraphic("Icon image is not valid");
  SetHandle(icon);
  FData = std::move(data);
  FWidth = w;
  FHeight = h;
}

void TIcon::SaveToStream(TStream& s) {
  if (FData.empty() && FHandle) throw EInvalidGraphicOperation("Cannot save an icon made from a handle");
  s.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TIcon::Draw(TCanvas& canvas, const TRect& r) {
  if (FHandle) DrawIconEx(canvas.Handle(), r.Left, r.Top, FHandle, r.Width(), r.Height(), 0, nullptr, DI_NORMAL);
}

void TIcon::SetWidthImpl(int) { throw EInvalidGraphicOperation("Cannot change the size of an icon"); }
void TIcon::SetHeightImpl(int) { throw EInvalidGraphicOperation("Cannot change the size of an icon"); }

// --- picture and its registry ----------------------------------------------------

namespace {
struct TFormatEntry {
  std::string Ext, Description;
  const TGraphicClass* Class;
};
struct TClipEntry {
  UINT Format;
  const TGraphicClass* Class;
};
std::vector<TFormatEntry>& FileFormats() {
  static std::vector<TFormatEntry> f{{"bmp", "Bitmaps", &TBitmap::Class()}, {"ico", "Icons", &TIcon::Class()}};
  return f;
}
std::vector<TClipEntry>& ClipFormats() {
  static std::vector<TClipEntry> c{{CF_BITMAP, &TBitmap::Class()}};
  return c;
}
std::string LowerExt(std::string e) {
  if (!e.empty() && e[0] == '.') e.erase(0, 1);
  for (char& c : e) c = LowerAscii(c);
  return e;
}
std::string ExtensionOf(const std::string& name) {
  size_t dot = name.rfind('.');
  size_t slash = name.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return LowerExt(name.substr(dot + 1));
}
}  // namespace

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  const TGraphicClass& cls) {
  std::string e = LowerExt(extension);
  auto& f = FileFormats();
  f.erase(std::remove_if(f.begin(), f.end(), [&](const TFormatEntry& x) { return x.Ext == e; }), f.end());
  f.push_back({e, description, &cls});
}

void TPicture::RegisterClipboardFormat(UINT format, const TGraphicClass& cls) {
  auto& c = ClipFormats();
  c.erase(std::remove_if(c.begin(), c.end(), [&](const TClipEntry& x) { return x.Format == format; }), c.end());
  c.push_back({format, &cls});
}

void TPicture::UnregisterGraphicClass(const TGraphicClass& cls) {
  auto& f = FileFormats();
  f.erase(std::remove_if(f.begin(), f.end(), [&](const TFormatEntry& x) { return x.Class == &cls; }), f.end());
  auto& c = ClipFormats();
  c.erase(std::remove_if(c.begin(), c.end(), [&](const TClipEntry& x) { return x.Class == &cls; }), c.end());
}

const TGraphicClass* TPicture::FindExtension(const std::string& extension) {
  std::string e = LowerExt(extension);
  for (const auto& x : FileFormats())
    if (x.Ext == e) return x.Class;
  return nullptr;
}

const TGraphicClass* TPicture::FindClipboardFormat(UINT format) {
  for (const auto& x : ClipFormats())
    if (x.Format == format) return x.Class;
  return nullptr;
}

const TGraphicClass* TPicture::FindClassName(const std::string& name) {
  for (const auto& x : FileFormats())
    if (SameTextAscii(x.Class->Name, name)) return x.Class;
  for (const auto& x : ClipFormats())
    if (SameTextAscii(x.Class->Name, name)) return x.Class;
  if (SameTextAscii(name, "TBitmap")) return &TBitmap::Class();
  if (SameTextAscii(name, "TIcon")) return &TIcon::Class();
  return nullptr;
}

TPicture::TPicture() = default;
TPicture::~TPicture() {
  if (FGraphic) FGraphic->OnChange = nullptr;
}

void TPicture::Changed() {
  if (OnChange) OnChange(this);
}

void TPicture::Hook() {
  if (!FGraphic) return;
  FGraphic->OnChange = [this](TObject*) { Changed(); };
  FGraphic->OnProgress = [this](TObject* s, TProgressStage st, uint8_t pc, bool rn, const TRect& r,
                                const std::string& m) {
    if (OnProgress) OnProgress(s, st, pc, rn, r, m);
  };
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> g) {
  FGraphic = std::move(g);
  Hook();
  Changed();
}

void TPicture::SetGraphic(const TGraphic* g) {
  if (!g) {
    SetGraphic(std::unique_ptr<TGraphic>());
    return;
  }
  std::unique_ptr<TGraphic> copy = g->GraphicClass().Create();
  copy->Assign(g);
  SetGraphic(std::move(copy));
}

void TPicture::Assign(const TPersistent* source) {
  if (!source) {
    SetGraphic(std::unique_ptr<TGraphic>());
  } else if (auto* p = dynamic_cast<const TPicture*>(source)) {
    if (p != this) SetGraphic(p->Graphic());
  } else if (auto* g = dynamic_cast<const TGraphic*>(source)) {
    SetGraphic(g);
  } else {
    TPersistent::Assign(source);
  }
}

TBitmap& TPicture::Bitmap() {
  if (!dynamic_cast<TBitmap*>(FGraphic.get())) SetGraphic(std::make_unique<TBitmap>());
  return static_cast<TBitmap&>(*FGraphic);
}

void TPicture::LoadFromStream(TStream& s, const std::string& extension) {
  const TGraphicClass* cls = FindExtension(extension);
  if (!cls) throw EInvalidGraphic("Unknown picture file extension (." + LowerExt(extension) + ")");
  std::unique_ptr<TGraphic> g = cls->Create();
  g->LoadFromStream(s);
  SetGraphic(std::move(g));
}

void TPicture::LoadFromFile(const std::string& name) {
  std::string ext = ExtensionOf(name);
  if (!FindExtension(ext)) throw EInvalidGraphic("Unknown picture file extension (." + ext + ")");
  TFileStream f(name, TFileMode::fmOpenRead);
  LoadFromStream(f, ext);
}

void TPicture::SaveToFile(const std::string& name) {
  if (FGraphic) FGraphic->SaveToFile(name);
}

void TPicture::LoadFromResource(const std::string& name) {
  HRSRC r = FindResourceA(nullptr, name.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (!r) throw EInvalidGraphic("Resource " + name + " not found");
  HGLOBAL g = LoadResource(nullptr, r);
  const void* p = g ? LockResource(g) : nullptr;
  if (!p) throw EInvalidGraphic("Resource " + name + " not found");
  TMemoryStream m(std::string(static_cast<const char*>(p), SizeofResource(nullptr, r)));
  LoadFromStream(m, ExtensionOf(name));
}

void TPicture::ReadData(TStream& s) {
  uint8_t n = 0;
  s.ReadBuffer(&n, 1);
  if (n == 0) {
    SetGraphic(std::unique_ptr<TGraphic>());
    return;
  }
  std::string name(n, '\0');
  s.ReadBuffer(name.data(), n);
  const TGraphicClass* cls = FindClassName(name);
  if (!cls) throw EInvalidGraphic("Unknown picture class " + name);
  std::unique_ptr<TGraphic> g = cls->Create();
  g->ReadData(s);
  SetGraphic(std::move(g));
}

void TPicture::WriteData(TStream& s) const {
  if (!FGraphic) {
    uint8_t z = 0;
    s.WriteBuffer(&z, 1);
    return;
  }
  std::string name = FGraphic->GraphicClass().Name;
  uint8_t n = static_cast<uint8_t>(name.size());
  s.WriteBuffer(&n, 1);
  s.WriteBuffer(name.data(), n);
  FGraphic->WriteData(s);
}

void TPicture::LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette) {
  const TGraphicClass* cls = FindClipboardFormat(format);
  if (!cls) throw EInvalidGraphic("Unsupported clipboard format");
  std::unique_ptr<TGraphic> g = cls->Create();
  g->LoadFromClipboardFormat(format, data, palette);
  SetGraphic(std::move(g));
}

}  // namespace zf
