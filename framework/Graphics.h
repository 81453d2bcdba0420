// Graphics over GDI: colours, fonts, brushes, canvases, the graphic classes
// (TGraphic, TBitmap, TIcon) and TPicture with its registry of graphic classes
// by file extension and by clipboard format.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Classes.h"
#include "Streams.h"

namespace zf {

using TColor = int32_t;
constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080,
                 clNavy = 0x800000, clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080,
                 clSilver = 0xC0C0C0, clRed = 0x0000FF, clLime = 0x00FF00, clYellow = 0x00FFFF,
                 clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00, clWhite = 0xFFFFFF;
// System colours: 0x80000000 + the COLOR_ index.
constexpr TColor clWindow = static_cast<TColor>(0x80000005), clWindowText = static_cast<TColor>(0x80000008),
                 clBtnFace = static_cast<TColor>(0x8000000F), clBtnText = static_cast<TColor>(0x80000012),
                 clHighlight = static_cast<TColor>(0x8000000D);
constexpr TColor clNone = 0x1FFFFFFF, clDefault = 0x20000000;

COLORREF ColorToRGB(TColor c);
// Colour names as layouts write them ("clBtnFace"); false for an unknown name.
bool IdentToColor(const std::string& name, TColor& c);
// A property setter that takes a colour name or an integer.
TPropertySetter ColorProperty(std::function<void(TObject&, TColor)> set);

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
};
inline TRect Rect(int l, int t, int r, int b) { return TRect{l, t, r, b}; }
inline TRect Bounds(int l, int t, int w, int h) { return TRect{l, t, l + w, t + h}; }

enum class TFontStyle : uint8_t { fsBold, fsItalic, fsUnderline, fsStrikeOut };
extern const TEnumInfo FontStyleInfo;
struct TFontStyles {
  uint8_t Bits = 0;
  bool Contains(TFontStyle s) const { return Bits & (1u << static_cast<unsigned>(s)); }
  TFontStyles& Include(TFontStyle s) { Bits = static_cast<uint8_t>(Bits | (1u << static_cast<unsigned>(s))); return *this; }
  bool operator==(const TFontStyles&) const = default;
};

// A font by name, size in points (or height in pixels, negative = character
// height), style and colour. The GDI font is made on demand and remade after a change.
class TFont : public TPersistent {
public:
  TFont();
  ~TFont() override;
  void Assign(const TPersistent* source) override;
  const std::string& Name() const { return FName; }
  void SetName(const std::string& n);
  int Size() const;  // points
  void SetSize(int points);
  int Height() const { return FHeight; }
  void SetHeight(int h);
  TFontStyles Style() const { return FStyle; }
  void SetStyle(TFontStyles s);
  TColor Color() const { return FColor; }
  void SetColor(TColor c);
  HFONT Handle();
  std::function<void(TObject*)> OnChange;

private:
  void Changed();
  std::string FName = "MS Sans Serif";
  int FHeight = -11;  // 8 points at 96 dpi
  TFontStyles FStyle;
  TColor FColor = clWindowText;
  HFONT FHandle = nullptr;
};

enum class TBrushStyle : uint8_t { bsSolid, bsClear };
class TBrush : public TPersistent {
public:
  ~TBrush() override;
  TColor Color() const { return FColor; }
  void SetColor(TColor c);
  TBrushStyle Style() const { return FStyle; }
  void SetStyle(TBrushStyle s) { FStyle = s; }
  HBRUSH Handle();

private:
  TColor FColor = clWhite;
  TBrushStyle FStyle = TBrushStyle::bsSolid;
  HBRUSH FHandle = nullptr;
};

class TGraphic;

// Drawing on a device context that the canvas does not own (a window's paint
// context, a bitmap's memory context).
class TCanvas : public TPersistent {
public:
  TCanvas();
  ~TCanvas() override;
  HDC Handle() const { return FHandle; }
  void SetHandle(HDC dc);
  TBrush& Brush() { return FBrush; }
  TFont& Font() { return FFont; }
  // Raster operation of Draw/StretchDraw/CopyRect for bitmaps: SRCCOPY by default.
  DWORD CopyMode() const { return FCopyMode; }
  void SetCopyMode(DWORD m) { FCopyMode = m; }
  void Draw(int x, int y, TGraphic& g);
  void StretchDraw(const TRect& r, TGraphic& g);
  void FillRect(const TRect& r);
  void CopyRect(const TRect& dest, TCanvas& source, const TRect& src);
  void TextOut(int x, int y, const std::string& s);
  TColor Pixel(int x, int y) const;
  void SetPixel(int x, int y, TColor c);
  void Lock() { ++FLock; }
  void Unlock() { --FLock; }
  int LockCount() const { return FLock; }
  std::function<void(TObject*)> OnChange;

private:
  HDC FHandle = nullptr;
  TBrush FBrush;
  TFont FFont;
  DWORD FCopyMode = SRCCOPY;
  int FLock = 0;
};

enum class TProgressStage : uint8_t { psStarting, psRunning, psEnding };
using TProgressEvent = std::function<void(TObject* Sender, TProgressStage Stage, uint8_t PercentDone,
                                          bool RedrawNow, const TRect& R, const std::string& Msg)>;

class TGraphic;
// What the registry knows of a graphic class: its name (for stored layouts) and how to make one.
struct TGraphicClass {
  const char* Name;
  std::unique_ptr<TGraphic> (*Create)();
};

// The picture interface. Derived classes override the protected virtuals.
class TGraphic : public TPersistent {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  virtual const TGraphicClass& GraphicClass() const = 0;

  bool Empty() const { return GetEmpty(); }
  int Width() const { return GetWidth(); }
  int Height() const { return GetHeight(); }
  void SetWidth(int w) { SetWidthImpl(w); }
  void SetHeight(int h) { SetHeightImpl(h); }
  HPALETTE Palette() const { return GetPalette(); }
  void SetPalette(HPALETTE p) { SetPaletteImpl(p); }
  bool Transparent() const { return GetTransparent(); }
  void SetTransparent(bool t);
  bool Modified() const { return FModified; }
  void SetModified(bool m);
  bool PaletteModified() const { return FPaletteModified; }
  void SetPaletteModified(bool m) { FPaletteModified = m; }

  virtual bool Equals(const TGraphic& other) const;
  virtual void LoadFromStream(TStream& s) = 0;
  virtual void SaveToStream(TStream& s) = 0;
  virtual void LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette);
  virtual void SaveToClipboardFormat(UINT& format, HANDLE& data, HPALETTE& palette);
  void LoadFromFile(const std::string& name);
  void SaveToFile(const std::string& name);

  // The stored form of the picture in a layout's Picture.Data after the class
  // name; the default is the stream form.
  virtual void ReadData(TStream& s);
  virtual void WriteData(TStream& s);

  std::function<void(TObject*)> OnChange;
  TProgressEvent OnProgress;

  // Raises OnChange with this graphic as sender, marks it modified.
  virtual void Changed(TObject* Sender);
  void Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow, const TRect& R,
                const std::string& Msg);

  friend class TCanvas;

protected:
  virtual void Draw(TCanvas& canvas, const TRect& r) = 0;
  virtual bool GetEmpty() const = 0;
  virtual int GetWidth() const = 0;
  virtual int GetHeight() const = 0;
  virtual void SetWidthImpl(int w) = 0;
  virtual void SetHeightImpl(int h) = 0;
  virtual HPALETTE GetPalette() const { return nullptr; }
  virtual void SetPaletteImpl(HPALETTE) {}
  virtual bool GetTransparent() const { return FTransparent; }

private:
  bool FTransparent = false;
  bool FModified = false;
  bool FPaletteModified = false;
};

// Reference-counted picture data shared between pictures. Hold it through
// TSharedRef; the last release calls FreeHandle and frees the object.
class TSharedImage {
public:
  virtual ~TSharedImage() = default;
  int RefCount() const { return FRefCount; }
  void Reference() { ++FRefCount; }
  void Release();

protected:
  virtual void FreeHandle() = 0;

private:
  int FRefCount = 0;
};

template <class T>
class TSharedRef {
public:
  TSharedRef() = default;
  explicit TSharedRef(T* p) : FPtr(p) { if (FPtr) FPtr->Reference(); }
  TSharedRef(const TSharedRef& o) : TSharedRef(o.FPtr) {}
  TSharedRef& operator=(const TSharedRef& o) { TSharedRef(o).Swap(*this); return *this; }
  ~TSharedRef() { if (FPtr) FPtr->Release(); }
  template <class... A> static TSharedRef Make(A&&... a) { return TSharedRef(std::make_unique<T>(std::forward<A>(a)...).release()); }
  T* get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  T& operator*() const { return *FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  void Swap(TSharedRef& o) noexcept { std::swap(FPtr, o.FPtr); }
  void Reset() { TSharedRef().Swap(*this); }

private:
  T* FPtr = nullptr;
};

enum class TBitmapHandleType : uint8_t { bmDIB, bmDDB };
enum class TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };
enum class TTransparentMode : uint8_t { tmAuto, tmFixed };

// A bitmap: a DIB section (pixel format pf1bit..pf32bit, colour table, ScanLine)
// or a device-dependent bitmap; BMP files as stream form; a canvas on a memory
// context that holds it.
class TBitmap : public TGraphic {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TBitmap();
  ~TBitmap() override;
  static const TGraphicClass& Class();
  const TGraphicClass& GraphicClass() const override { return Class(); }
  void Assign(const TPersistent* source) override;

  HBITMAP Handle();
  // Takes ownership of a bitmap handle (DIB section or DDB).
  void SetHandle(HBITMAP h);
  HBITMAP ReleaseHandle();
  TBitmapHandleType HandleType() const { return FHandleType; }
  void SetHandleType(TBitmapHandleType t);
  TPixelFormat PixelFormat() const;
  void SetPixelFormat(TPixelFormat f);
  bool Monochrome() const;
  void SetMonochrome(bool m);
  void SetSize(int w, int h);
  // Row y of a DIB's pixels (rows top-down as the caller sees them); EInvalidGraphicOperation
  // "Scan line index out of range" outside 0..Height-1.
  void* ScanLine(int y);
  TCanvas& Canvas();
  // The colour that draws transparent: clDefault (automatic) is the bottom-left pixel.
  TColor TransparentColor();
  void SetTransparentColor(TColor c);
  TTransparentMode TransparentMode() const { return FTransparentMode; }
  void SetTransparentMode(TTransparentMode m) { FTransparentMode = m; }

  void LoadFromStream(TStream& s) override;
  void SaveToStream(TStream& s) override;
  void LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette) override;
  void SaveToClipboardFormat(UINT& format, HANDLE& data, HPALETTE& palette) override;
  void LoadFromResourceName(HINSTANCE instance, const std::string& name);

protected:
  void Draw(TCanvas& canvas, const TRect& r) override;
  bool GetEmpty() const override;
  int GetWidth() const override { return FWidth; }
  int GetHeight() const override { return FHeight; }
  void SetWidthImpl(int w) override { SetSize(w, FHeight); }
  void SetHeightImpl(int h) override { SetSize(FWidth, h); }
  HPALETTE GetPalette() const override { return FPalette; }
  void SetPaletteImpl(HPALETTE p) override;

private:
  void FreeImage();
  void Deselect();
  void MakeDib(int w, int h, int bits, const RGBQUAD* colors, int ncolors);
  HBITMAP FHandle = nullptr;
  HPALETTE FPalette = nullptr;
  int FWidth = 0, FHeight = 0, FBits = 24;
  TBitmapHandleType FHandleType = TBitmapHandleType::bmDIB;
  void* FBitsPtr = nullptr;
  std::unique_ptr<TCanvas> FCanvas;
  HDC FCanvasDC = nullptr;
  HGDIOBJ FOldBitmap = nullptr;
  bool FTopDown = true;
  void Select();
  TColor FTransparentColor = clDefault;
  TTransparentMode FTransparentMode = TTransparentMode::tmAuto;
};

// An icon: loads the first image of an .ico file; saves the bytes it loaded.
class TIcon : public TGraphic {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TIcon();
  ~TIcon() override;
  static const TGraphicClass& Class();
  const TGraphicClass& GraphicClass() const override { return Class(); }
  void Assign(const TPersistent* source) override;
  HICON Handle() const { return FHandle; }
  // Takes ownership.
  void SetHandle(HICON h);
  void LoadFromStream(TStream& s) override;
  void SaveToStream(TStream& s) override;

protected:
  void Draw(TCanvas& canvas, const TRect& r) override;
  bool GetEmpty() const override { return FHandle == nullptr; }
  int GetWidth() const override { return FWidth; }
  int GetHeight() const override { return FHeight; }
  void SetWidthImpl(int) override;
  void SetHeightImpl(int) override;

private:
  HICON FHandle = nullptr;
  int FWidth = 0, FHeight = 0;
  std::string FData;
};

// Holds one graphic of any registered class.
class TPicture : public TPersistent {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TPicture();
  ~TPicture() override;
  void Assign(const TPersistent* source) override;

  TGraphic* Graphic() const { return FGraphic.get(); }
  // Takes a copy of the graphic (of the same class); nullptr empties the picture.
  void SetGraphic(const TGraphic* g);
  void SetGraphic(std::unique_ptr<TGraphic> g);
  // The graphic as a bitmap; replaces another graphic by an empty bitmap.
  TBitmap& Bitmap();
  int Width() const { return FGraphic ? FGraphic->Width() : 0; }
  int Height() const { return FGraphic ? FGraphic->Height() : 0; }

  // The class by the file's extension; EInvalidGraphic "Unknown picture file extension (.<ext>)".
  void LoadFromFile(const std::string& name);
  void SaveToFile(const std::string& name);
  void LoadFromStream(TStream& s, const std::string& extension);
  // From the program's RCDATA resource of that name; its extension chooses the class.
  void LoadFromResource(const std::string& name);
  // The stored form in layouts: a length byte, the class name, the graphic's WriteData.
  void ReadData(TStream& s);
  void WriteData(TStream& s) const;
  void LoadFromClipboardFormat(UINT format, HANDLE data, HPALETTE palette);

  std::function<void(TObject*)> OnChange;
  TProgressEvent OnProgress;

  // The registry. Extensions compare without regard to case and without the dot.
  static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                 const TGraphicClass& cls);
  static void RegisterClipboardFormat(UINT format, const TGraphicClass& cls);
  static void UnregisterGraphicClass(const TGraphicClass& cls);
  static const TGraphicClass* FindExtension(const std::string& extension);
  static const TGraphicClass* FindClipboardFormat(UINT format);
  static bool SupportsClipboardFormat(UINT format) { return FindClipboardFormat(format) != nullptr; }
  // Registered by a file or clipboard format, or one of the framework's own.
  static const TGraphicClass* FindClassName(const std::string& name);

private:
  void Changed();
  void Hook();
  std::unique_ptr<TGraphic> FGraphic;
};

}  // namespace zf
