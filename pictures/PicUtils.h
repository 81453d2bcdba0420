// Small routines that the picture units share: byte comparison and copying,
// and (Windows) the transparent stretch copy between device contexts with its
// canvas-level wrappers, the palette-relative colour, zero-filled global
// memory blocks and the "not implemented" report.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace pictures {

// True when the first `count` bytes are equal; a count of 0 (or less) gives true.
bool SameBytes(const void* a, const void* b, int32_t count);
inline void* OffsetPointer(void* p, intptr_t offset) { return static_cast<uint8_t*>(p) + offset; }
// Overlapping ranges are handled.
void CopyBytes(void* dest, const void* source, int32_t count);
inline std::string ResourceText(const char* text) { return text; }

inline constexpr const char* SPicNotImplemented = "Function not yet implemented";

}  // namespace pictures

#ifdef _WIN32
#include <windows.h>

#include "Graphics.h"

namespace pictures {

// Copies the source rectangle stretched onto the destination rectangle, leaving
// the destination visible where the source has `transparent` (RGB).
void MaskedStretchBlt(HDC dest, int x, int y, int w, int h, HDC source, int sx, int sy, int sw, int sh,
                      HPALETTE palette, COLORREF transparent);
// Destination sizes below 1 take the bitmap's; a source size below 1 takes the
// whole bitmap. zf::clNone draws plainly, zf::clDefault means the colour of the
// bottom-left pixel; a monochrome device bitmap is transparent where it is white.
void DrawBitmapTransparent(zf::TCanvas& dest, zf::TBitmap& bitmap, zf::TColor transparent, int x, int y, int w,
                           int h, int sx, int sy, int sw, int sh);
void DrawBitmapRectTransparent(zf::TCanvas& dest, int x, int y, int w, int h, const zf::TRect& source,
                               zf::TBitmap& bitmap, zf::TColor transparent);
COLORREF PaletteRelativeColor(zf::TColor color);
// nullptr for a size of 0 or less; else a locked, zero-filled global block.
void* AllocZeroedBlock(int64_t size);
void FreeZeroedBlock(void*& p);
// Shows "Function not yet implemented" and ends the operation with a silent abort.
[[noreturn]] void ReportNotImplemented();

// Unit start and end: the shared scratch bitmap is freed at the last end.
void PicUtilsInit();
void PicUtilsFini();

}  // namespace pictures
#endif
