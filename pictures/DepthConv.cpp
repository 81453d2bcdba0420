#include "DepthConv.h"

#include <cstring>
#include <vector>

namespace pictures {

namespace {

int BitsOfFormat(zf::TPixelFormat f) {
  switch (f) {
    case zf::TPixelFormat::pf1bit: return 1;
    case zf::TPixelFormat::pf4bit: return 4;
    case zf::TPixelFormat::pf8bit: return 8;
    case zf::TPixelFormat::pf24bit: return 24;
    default: return 0;
  }
}

zf::TPixelFormat FormatOfBits(int bits) {
  switch (bits) {
    case 1: return zf::TPixelFormat::pf1bit;
    case 4: return zf::TPixelFormat::pf4bit;
    case 8: return zf::TPixelFormat::pf8bit;
    default: return zf::TPixelFormat::pf24bit;
  }
}

struct TDcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
struct TGdiDeleter {
  void operator()(HGDIOBJ o) const { DeleteObject(o); }
};
using TMemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, TDcDeleter>;
using TOwnedBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, TGdiDeleter>;

struct TDibInfo {
  TBmpInfoHeader Header;
  TRgbQuad Colors[256];
};

}  // namespace

void RaiseInvalidBitmap() { throw zf::EInvalidGraphic(SInvalidBitmap); }

void NotImplementedAbort() {
  SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /* IDC_ARROW */));
  MessageBoxA(GetActiveWindow(), "Function not yet implemented", "", MB_OK | MB_ICONINFORMATION);
  zf::Abort();
}

std::string ReadBitmapDib(zf::TBitmap& bitmap, int bits) {
  if (!bitmap.Handle()) RaiseInvalidBitmap();
  // A copy's handle is selected into no context, as the system's reader wants.
  zf::TBitmap copy;
  copy.Assign(&bitmap);
  TOwnedBitmap handle(copy.ReleaseHandle());
  const int w = bitmap.Width(), h = bitmap.Height();
  TDibInfo bmi{};
  bmi.Header.Size = sizeof(TBmpInfoHeader);
  bmi.Header.Width = w;
  bmi.Header.Height = h;
  bmi.Header.Planes = 1;
  bmi.Header.BitCount = static_cast<uint16_t>(bits);
  bmi.Header.Compression = kBiRgb;
  std::vector<uint8_t> pixels(static_cast<size_t>(DibStride(w, bits)) * static_cast<size_t>(h));
  TMemoryDc dc(CreateCompatibleDC(nullptr));
  if (!dc) throw zf::EOutOfResources("Out of system resources");
  HPALETTE oldPalette = nullptr;
  if (bitmap.Palette()) {
    oldPalette = SelectPalette(dc.get(), bitmap.Palette(), FALSE);
    RealizePalette(dc.get());
  }
  const int got = GetDIBits(dc.get(), handle.get(), 0, static_cast<UINT>(h), pixels.data(),
                            reinterpret_cast<BITMAPINFO*>(&bmi), DIB_RGB_COLORS);
  if (oldPalette) SelectPalette(dc.get(), oldPalette, FALSE);
  if (got != h) RaiseInvalidBitmap();
  TDib dib;
  dib.Header = bmi.Header;
  dib.Header.Height = h;
  if (bits <= 8) dib.Colors.assign(bmi.Colors, bmi.Colors + (1 << bits));
  dib.Bits = std::move(pixels);
  return WriteDib(dib);
}

std::unique_ptr<zf::TMemoryStream> ConvertBitmapDepth(zf::TBitmap& bitmap, zf::TPixelFormat format, uint8_t method) {
  if (!bitmap.Handle()) RaiseInvalidBitmap();
  auto out = std::make_unique<zf::TMemoryStream>();
  const int bits = BitsOfFormat(format);
  if (bitmap.PixelFormat() == format && method != mmGrayscale) {
    bitmap.SaveToStream(*out);
  } else if (bits == 0) {
    NotImplementedAbort();
  } else if (bits <= 4) {
    const std::string bmp = ReadBitmapDib(bitmap, bits);
    out->WriteBuffer(bmp.data(), static_cast<int64_t>(bmp.size()));
  } else {
    const TDib rgb = ReadDib(ReadBitmapDib(bitmap, 24));
    if (rgb.BitCount() != 24) NotImplementedAbort();
    // The bitmap's own header, when it is a DIB section, is the start of the target's.
    DIBSECTION ds{};
    const bool section = GetObjectA(bitmap.Handle(), sizeof ds, &ds) == sizeof ds;
    TBmpInfoHeader own;
    if (section) std::memcpy(static_cast<void*>(&own), &ds.dsBmih, sizeof own);
    const std::string bmp = ConvertRgb24(rgb, section ? &own : nullptr, bits, method);
    out->WriteBuffer(bmp.data(), static_cast<int64_t>(bmp.size()));
  }
  out->SetPosition(0);
  return out;
}

std::unique_ptr<zf::TMemoryStream> ConvertBitmapColors(zf::TBitmap& bitmap, int colors) {
  return ConvertBitmapDepth(bitmap, FormatOfBits(BitsForColorCount(colors)), DefaultMappingMethod);
}

}  // namespace pictures
