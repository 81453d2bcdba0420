// Colour-depth conversion of the picture units (DepthConv), the portable part:
// a plain bitmap model read from BMP bytes, the six colour mapping methods and
// the writer of a complete BMP file at 1, 4, 8 or 24 bits per pixel. The
// Windows unit reads a framework bitmap through the system into this model.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "SysUtils.h"

namespace pictures {

inline constexpr const char* SInvalidBitmap = "Bitmap image is not valid";

// Mapping methods of colour reduction.
enum : uint8_t {
  mmPopularity = 0,   // popularity histogram
  mmMedianCut = 1,    // median cut
  mmCube784 = 2,      // fixed cube: red 7, green 8, blue 4 levels
  mmCube666 = 3,      // fixed cube: 6 levels per channel
  mmInterleave = 4,   // one channel per pixel, chosen by position
  mmGrayscale = 5,
};
// The method that ConvertBitmapColors uses; unit-wide.
extern uint8_t DefaultMappingMethod;

#pragma pack(push, 1)
struct TBmpFileHeader {
  uint16_t Type = 0;
  uint32_t Size = 0;
  uint16_t Reserved1 = 0, Reserved2 = 0;
  uint32_t OffBits = 0;
};
struct TBmpInfoHeader {
  uint32_t Size = 0;
  int32_t Width = 0, Height = 0;
  uint16_t Planes = 0, BitCount = 0;
  uint32_t Compression = 0, SizeImage = 0;
  int32_t XPelsPerMeter = 0, YPelsPerMeter = 0;
  uint32_t ClrUsed = 0, ClrImportant = 0;
};
#pragma pack(pop)
static_assert(sizeof(TBmpFileHeader) == 14 && sizeof(TBmpInfoHeader) == 40);

inline constexpr uint32_t kBiRgb = 0, kBiBitFields = 3;

struct TRgbQuad {
  uint8_t Blue = 0, Green = 0, Red = 0, Reserved = 0;
  bool operator==(const TRgbQuad&) const = default;
};
using TPalette = std::array<TRgbQuad, 256>;

// A plain bitmap: pixel rows bottom-up, each padded to a multiple of 4 bytes.
// Header.Height is the positive row count; the header otherwise is the one the
// image came with (compression, masks and colour count included).
struct TDib {
  TBmpInfoHeader Header;
  uint32_t Masks[3] = {0, 0, 0};  // red, green, blue for bit fields
  std::vector<TRgbQuad> Colors;
  std::vector<uint8_t> Bits;
  int32_t Width() const { return Header.Width; }
  int32_t Height() const { return Header.Height; }
  int BitCount() const { return Header.BitCount; }
};

// Bytes per row: bits x width rounded up to 32 bits.
int64_t DibStride(int32_t width, int bits);

// Nearest-level tables, built when the unit starts: entry v is the index of the
// level nearest to v (the lower index on a tie). `levels` is 4, 6, 7 or 8.
const uint8_t* NearestLevels(int levels);
std::span<const uint8_t> LevelValues(int levels);

// The DIB reader over bytes: a complete BMP file (file header first) at 1, 4, 8,
// 16, 24 or 32 bits, uncompressed or with bit fields, rows in either order.
// Everything it reads is checked against the bytes there; anything else raises
// EInvalidGraphic SInvalidBitmap.
TDib ReadDib(std::string_view bmp);
// Any model as 24 bits per pixel (blue, green, red), its header otherwise kept.
TDib ToRgb24(const TDib& source);
// A complete BMP file of the model (BI_RGB, bottom-up, colour table when <= 8 bits).
std::string WriteDib(const TDib& dib);

// Colour count of a target: 1 bit 2, 4 bits 16, 8 bits 256, others 0.
int ColorsOfBits(int bits);
// Bits per pixel that ConvertBitmapColors asks for: 1 up to 2 colours, 4 up to
// 16, 8 up to 256, 24 above.
int BitsForColorCount(int colors);

// What a mapping method made of a 24-bit image: 8-bit indexes in rows padded to
// 4 bytes (bottom-up, as the source), a 256-entry palette, and the number for
// the header's important-colours field.
struct TReduction {
  std::vector<uint8_t> Indexes;
  TPalette Palette{};
  uint32_t Important = 0;
  uint8_t Masks[3] = {0xFF, 0xFF, 0xFF};  // popularity: red, green, blue masks in force at the end
};

// Each reads a 24-bit model (ToRgb24's output).
TReduction PopularColorReduce(const TDib& rgb, int colors);
TReduction MedianCutReduce(const TDib& rgb, int colors = 256);
TReduction CubeReduce784(const TDib& rgb);
TReduction CubeReduce666(const TDib& rgb);
TReduction InterleaveReduce(const TDib& rgb);
TReduction RgbToGray(const TDib& rgb);
TReduction ReduceColors(const TDib& rgb, uint8_t method);

// Steps of the converter after the image was read:
// - 8 bits: the 24-bit image mapped by `method` into a 256-entry palette;
// - 24 bits: a plain copy (a 24-bit target has no palette to map to).
// `sectionHeader` is the bitmap's own DIB-section header, or null. The output
// header always says BI_RGB, a positive height and a colour count of 0 (all).
std::string ConvertRgb24(const TDib& rgb, const TBmpInfoHeader* sectionHeader, int targetBits, uint8_t method);

// The whole converter over the model. A source already at the target's bit count
// gives its own file form, unless the method is grayscale. 1 and 4 bits: the
// nearest colours of the default table, as the system reads a bitmap at those depths.
// Targets other than 1, 4, 8 and 24 bits raise ENotImplemented.
class ENotImplemented : public zf::Exception {
public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ENotImplemented"; }
};
std::string ConvertDibDepth(const TDib& source, int targetBits, uint8_t method);

// The default colour tables of 1 and 4 bits: black and white; the 16 VGA colours.
std::vector<TRgbQuad> DefaultColorTable(int bits);

}  // namespace pictures
