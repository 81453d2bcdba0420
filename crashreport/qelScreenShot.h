// Screenshots for bug reports: the whole desktop with the mouse cursor as a
// palette PNG small enough to mail. Colour images go through a variance-
// minimising box quantizer to at most 256 colours (8 bits per pixel); the grey
// fallback uses 16 levels (4 bits per pixel). Deflate and CRC-32 come from the
// support library's compressor. Nothing here keeps state between calls, and
// nothing raises: a failure gives an empty result.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace qel {

// CaptureScreenPng's modes.
enum : uint8_t {
  ssmColor = 0,      // colour, whatever its size
  ssmGray = 1,       // grey only
  ssmColor50K = 2,   // colour, grey when the colour PNG is longer than 51200 bytes
  ssmColor100K = 3,  // ... 102400
  ssmColor200K = 4,  // ... 204800
  ssmColor300K = 5,  // ... 307200
};

inline constexpr size_t PaletteSize = 768;      // 256 entries of red, green, blue
inline constexpr size_t GrayPaletteSize = 48;   // 16 entries
inline constexpr size_t ColorCacheSize = 32768;  // one entry per 15-bit colour key

using TPalette = std::array<uint8_t, PaletteSize>;
using TColorCache = std::array<int16_t, ColorCacheSize>;
using TGrayCache = std::array<int16_t, 256>;

// The 16 grey levels, each as three equal bytes.
const std::array<uint8_t, GrayPaletteSize>& GrayPalette();

void InitColorCache(TColorCache& cache);
void InitGrayCache(TGrayCache& cache);

// Reduces `pixelCount` pixels of 4 bytes each (blue, green, red, unused) to at
// most `maxColors` (1..256) palette entries. Entries beyond the boxes made are
// zero. Result: the number of boxes made.
int QuantizeColors(const uint8_t* pixels, size_t pixelCount, TPalette& palette, int maxColors = 256);

// Index of the palette entry nearest (sum of absolute differences) to the
// colour; remembered per 15-bit colour key, so that the first colour of a key
// decides for all of them.
uint8_t NearestPaletteIndex(TColorCache& cache, const TPalette& palette, uint8_t red, uint8_t blue, uint8_t green);
uint8_t NearestGrayIndex(TGrayCache& cache, const std::array<uint8_t, GrayPaletteSize>& grayPalette, uint8_t gray);

uint32_t ByteSwap32Png(uint32_t value);
uint32_t PngAdler32(const void* data, size_t length);

// zlib stream (header 78 01, raw deflate, Adler-32); empty when compressing fails.
std::string ZlibWrap(const std::string& data);

// The 13 IHDR bytes: a 768-byte palette gives 8 bits per pixel, any other 4.
std::string PngHeaderData(uint32_t width, uint32_t height, size_t paletteLength);
void AppendPngChunk(std::string& png, const char type[4], const std::string& data);

// A palette PNG of the filtered scan lines `data` (filter byte 0 before each
// row). `png` is empty when the image data cannot be compressed.
void BuildPng(uint32_t width, uint32_t height, const std::string& palette, std::string& png, const std::string& data);

// Everything of CaptureScreenPng after the capture: `pixels` is a top-down
// image of width x height pixels of 4 bytes (blue, green, red, unused); the
// grey fallback turns them grey in place. Empty when no PNG could be made.
std::string EncodeScreenPng(uint8_t* pixels, uint32_t width, uint32_t height, uint8_t mode);

#ifdef _WIN32
// The whole virtual screen with the cursor as PNG; empty when no screenshot
// could be taken.
void CaptureScreenPng(uint8_t mode, std::string& png);

// Draws the mouse cursor, if one is showing, into a device context whose
// pixel (0, 0) is the screen point (originX, originY).
void DrawCursorInto(struct HDC__* dc, int originX, int originY);
#endif

}  // namespace qel
