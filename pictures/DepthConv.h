// Colour-depth conversion of framework bitmaps (unit DepthConv): a new memory
// stream holding a complete BMP file at 1, 4, 8 or 24 bits per pixel, colours
// reduced to a palette by one of the mapping methods of DepthConvCore.h.
#pragma once
#include <memory>
#include <string>

#include "DepthConvCore.h"
#include "Graphics.h"

namespace pictures {

// EInvalidGraphic "Bitmap image is not valid".
[[noreturn]] void RaiseInvalidBitmap();

// Default cursor, an information box "Function not yet implemented", then the
// silent abort that ends the operation.
[[noreturn]] void NotImplementedAbort();

// The DIB reader: a complete BMP file of the bitmap at `bits` per pixel (1, 4, 8,
// 24), its palette selected and realized, its rows read by the system.
std::string ReadBitmapDib(zf::TBitmap& bitmap, int bits);

// The stream is positioned at 0 and belongs to the caller. A bitmap without a
// handle raises RaiseInvalidBitmap; a target other than 1, 4, 8 or 24 bits ends
// in NotImplementedAbort.
std::unique_ptr<zf::TMemoryStream> ConvertBitmapDepth(zf::TBitmap& bitmap, zf::TPixelFormat format, uint8_t method);
// Bits for the colour count (BitsForColorCount) with DefaultMappingMethod.
std::unique_ptr<zf::TMemoryStream> ConvertBitmapColors(zf::TBitmap& bitmap, int colors);

}  // namespace pictures
