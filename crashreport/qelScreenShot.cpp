#include "qelScreenShot.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "qelZip.h"

namespace qel {

namespace {

// --- colour quantizer: boxes over a 33 x 33 x 33 cell histogram of 5-bit
// channels (cell 0 of each axis stays empty, so that box sums can be taken
// from cumulative moments with eight look-ups).

constexpr int kSide = 33;
constexpr int kCells = kSide * kSide * kSide;

constexpr int Cell(int r, int g, int b) { return r * kSide * kSide + g * kSide + b; }

enum class TAxis { Red, Green, Blue };

// Half-open ranges (r0, r1], (g0, g1], (b0, b1] of cells.
struct TBox {
  int r0 = 0, r1 = 0, g0 = 0, g1 = 0, b0 = 0, b1 = 0;
  int Volume() const { return (r1 - r0) * (g1 - g0) * (b1 - b0); }
};

// Per cell: pixel count and channel sums (64 bits: a large screen overflows 32)
// and the sum of squares; cumulated in place.
struct TMoments {
  std::vector<int64_t> Weight, Red, Green, Blue;
  std::vector<double> Squares;
  TMoments() : Weight(kCells), Red(kCells), Green(kCells), Blue(kCells), Squares(kCells) {}
};

void BuildHistogram(TMoments& m, const uint8_t* pixels, size_t pixelCount) {
  for (size_t i = 0; i < pixelCount; ++i, pixels += 4) {
    const int b = pixels[0], g = pixels[1], r = pixels[2];
    const int cell = Cell((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
    ++m.Weight[cell];
    m.Red[cell] += r;
    m.Green[cell] += g;
    m.Blue[cell] += b;
    m.Squares[cell] += static_cast<double>(r * r + g * g + b * b);
  }
}

template <typename T>
void Cumulate(std::vector<T>& m) {
  for (int r = 1; r < kSide; ++r) {
    T area[kSide] = {};
    for (int g = 1; g < kSide; ++g) {
      T line = 0;
      for (int b = 1; b < kSide; ++b) {
        const int cell = Cell(r, g, b);
        line += m[cell];
        area[b] += line;
        m[cell] = m[cell - kSide * kSide] + area[b];
      }
    }
  }
}

void CumulateMoments(TMoments& m) {
  Cumulate(m.Weight);
  Cumulate(m.Red);
  Cumulate(m.Green);
  Cumulate(m.Blue);
  Cumulate(m.Squares);
}

template <typename T>
T BoxVolume(const TBox& c, const std::vector<T>& m) {
  return m[Cell(c.r1, c.g1, c.b1)] - m[Cell(c.r1, c.g1, c.b0)] - m[Cell(c.r1, c.g0, c.b1)] + m[Cell(c.r1, c.g0, c.b0)] -
         m[Cell(c.r0, c.g1, c.b1)] + m[Cell(c.r0, c.g1, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
}

// The part of a box sum that does not depend on the cut position.
int64_t BoxBottom(const TBox& c, TAxis axis, const std::vector<int64_t>& m) {
  switch (axis) {
    case TAxis::Red:
      return -m[Cell(c.r0, c.g1, c.b1)] + m[Cell(c.r0, c.g1, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
    case TAxis::Green:
      return -m[Cell(c.r1, c.g0, c.b1)] + m[Cell(c.r1, c.g0, c.b0)] + m[Cell(c.r0, c.g0, c.b1)] - m[Cell(c.r0, c.g0, c.b0)];
    case TAxis::Blue:
      break;
  }
  return -m[Cell(c.r1, c.g1, c.b0)] + m[Cell(c.r1, c.g0, c.b0)] + m[Cell(c.r0, c.g1, c.b0)] - m[Cell(c.r0, c.g0, c.b0)];
}

// The rest of the sum of the box's part below `pos` on the axis.
int64_t BoxTop(const TBox& c, TAxis axis, int pos, const std::vector<int64_t>& m) {
  switch (axis) {
    case TAxis::Red:
      return m[Cell(pos, c.g1, c.b1)] - m[Cell(pos, c.g1, c.b0)] - m[Cell(pos, c.g0, c.b1)] + m[Cell(pos, c.g0, c.b0)];
    case TAxis::Green:
      return m[Cell(c.r1, pos, c.b1)] - m[Cell(c.r1, pos, c.b0)] - m[Cell(c.r0, pos, c.b1)] + m[Cell(c.r0, pos, c.b0)];
    case TAxis::Blue:
      break;
  }
  return m[Cell(c.r1, c.g1, pos)] - m[Cell(c.r1, c.g0, pos)] - m[Cell(c.r0, c.g1, pos)] + m[Cell(c.r0, c.g0, pos)];
}

double SquaredSums(int64_t r, int64_t g, int64_t b) {
  const double dr = static_cast<double>(r), dg = static_cast<double>(g), db = static_cast<double>(b);
  return dr * dr + dg * dg + db * db;
}

double BoxVariance(const TBox& c, const TMoments& m) {
  const int64_t w = BoxVolume(c, m.Weight);
  if (w == 0) return 0.0;
  return BoxVolume(c, m.Squares) -
         SquaredSums(BoxVolume(c, m.Red), BoxVolume(c, m.Green), BoxVolume(c, m.Blue)) / static_cast<double>(w);
}

struct TSums {
  int64_t r, g, b, w;
};

// Best cut on one axis: the greatest sum over both parts of squared channel
// sums per pixel count, only where both parts hold pixels. cut = -1: none.
double MaximizeCut(const TBox& c, TAxis axis, int first, int last, int& cut, const TSums& whole, const TMoments& m) {
  const TSums base{BoxBottom(c, axis, m.Red), BoxBottom(c, axis, m.Green), BoxBottom(c, axis, m.Blue),
                   BoxBottom(c, axis, m.Weight)};
  double best = 0.0;
  cut = -1;
  for (int i = first; i < last; ++i) {
    const TSums lower{base.r + BoxTop(c, axis, i, m.Red), base.g + BoxTop(c, axis, i, m.Green),
                      base.b + BoxTop(c, axis, i, m.Blue), base.w + BoxTop(c, axis, i, m.Weight)};
    const TSums upper{whole.r - lower.r, whole.g - lower.g, whole.b - lower.b, whole.w - lower.w};
    if (lower.w == 0 || upper.w == 0) continue;
    const double value = SquaredSums(lower.r, lower.g, lower.b) / static_cast<double>(lower.w) +
                         SquaredSums(upper.r, upper.g, upper.b) / static_cast<double>(upper.w);
    if (value > best) {
      best = value;
      cut = i;
    }
  }
  return best;
}

// Splits `a` into itself and `b`; false when it cannot be cut.
bool CutBox(TBox& a, TBox& b, const TMoments& m) {
  const TSums whole{BoxVolume(a, m.Red), BoxVolume(a, m.Green), BoxVolume(a, m.Blue), BoxVolume(a, m.Weight)};
  int cutR = -1, cutG = -1, cutB = -1;
  const double maxR = MaximizeCut(a, TAxis::Red, a.r0 + 1, a.r1, cutR, whole, m);
  const double maxG = MaximizeCut(a, TAxis::Green, a.g0 + 1, a.g1, cutG, whole, m);
  const double maxB = MaximizeCut(a, TAxis::Blue, a.b0 + 1, a.b1, cutB, whole, m);
  b = a;
  if (maxR >= maxG && maxR >= maxB) {
    if (cutR < 0) return false;
    b.r0 = a.r1 = cutR;
  } else if (maxG >= maxR && maxG >= maxB) {
    b.g0 = a.g1 = cutG;
  } else {
    b.b0 = a.b1 = cutB;
  }
  return true;
}

constexpr std::array<uint8_t, GrayPaletteSize> MakeGrayPalette() {
  constexpr uint8_t steps[15] = {28, 24, 21, 19, 17, 16, 15, 15, 15, 15, 14, 14, 14, 14, 14};
  std::array<uint8_t, GrayPaletteSize> p{};
  int level = 0;
  for (int i = 0; i < 16; ++i) {
    if (i > 0) level += steps[i - 1];
    p[3 * i] = p[3 * i + 1] = p[3 * i + 2] = static_cast<uint8_t>(level);
  }
  return p;
}

constexpr std::array<uint8_t, GrayPaletteSize> kGrayPalette = MakeGrayPalette();
static_assert(kGrayPalette[45] == 255);

void PutBE32(std::string& s, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) v = ByteSwap32Png(v);
  s.append(reinterpret_cast<const char*>(&v), 4);
}

// Bytes of one scan line, its filter byte included.
size_t RowLength(uint32_t width, bool fourBits) { return 1 + (fourBits ? (static_cast<size_t>(width) + 1) / 2 : width); }

std::string ColorPng(const uint8_t* pixels, uint32_t width, uint32_t height) {
  TPalette palette{};
  const size_t count = static_cast<size_t>(width) * height;
  QuantizeColors(pixels, count, palette);
  TColorCache cache;
  InitColorCache(cache);
  const size_t row = RowLength(width, false);
  std::string data(row * height, '\0');
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* out = reinterpret_cast<uint8_t*>(data.data()) + y * row + 1;
    for (uint32_t x = 0; x < width; ++x, pixels += 4) *out++ = NearestPaletteIndex(cache, palette, pixels[2], pixels[0], pixels[1]);
  }
  std::string png;
  BuildPng(width, height, std::string(palette.begin(), palette.end()), png, data);
  return png;
}

std::string GrayPng(uint8_t* pixels, uint32_t width, uint32_t height) {
  const size_t count = static_cast<size_t>(width) * height;
  for (uint8_t* p = pixels; p != pixels + 4 * count; p += 4)
    p[0] = p[1] = p[2] = static_cast<uint8_t>((p[2] * 77 + p[1] * 151 + p[0] * 28) >> 8);
  TGrayCache cache;
  InitGrayCache(cache);
  const size_t row = RowLength(width, true);
  std::string data(row * height, '\0');
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* out = reinterpret_cast<uint8_t*>(data.data()) + y * row + 1;
    for (uint32_t x = 0; x < width; ++x, pixels += 4) {
      const uint8_t index = NearestGrayIndex(cache, kGrayPalette, pixels[0]);
      out[x / 2] |= static_cast<uint8_t>((x % 2 == 0) ? index << 4 : index);
    }
  }
  std::string png;
  BuildPng(width, height, std::string(kGrayPalette.begin(), kGrayPalette.end()), png, data);
  return png;
}

size_t SizeLimit(uint8_t mode) {
  switch (mode) {
    case ssmColor50K: return 51200;
    case ssmColor100K: return 102400;
    case ssmColor200K: return 204800;
    case ssmColor300K: return 307200;
    default: return std::numeric_limits<size_t>::max();
  }
}

}  // namespace

const std::array<uint8_t, GrayPaletteSize>& GrayPalette() { return kGrayPalette; }

void InitColorCache(TColorCache& cache) { cache.fill(-1); }
void InitGrayCache(TGrayCache& cache) { cache.fill(-1); }

int QuantizeColors(const uint8_t* pixels, size_t pixelCount, TPalette& palette, int maxColors) {
  palette.fill(0);
  maxColors = std::clamp(maxColors, 1, 256);
  TMoments m;
  BuildHistogram(m, pixels, pixelCount);
  CumulateMoments(m);

  std::vector<TBox> boxes(static_cast<size_t>(maxColors));
  std::vector<double> variance(static_cast<size_t>(maxColors), 0.0);
  boxes[0].r1 = boxes[0].g1 = boxes[0].b1 = kSide - 1;
  int count = maxColors;
  int next = 0;
  for (int i = 1; i < maxColors; ++i) {
    if (CutBox(boxes[static_cast<size_t>(next)], boxes[static_cast<size_t>(i)], m)) {
      for (int k : {next, i}) {
        const TBox& b = boxes[static_cast<size_t>(k)];
        variance[static_cast<size_t>(k)] = b.Volume() > 1 ? BoxVariance(b, m) : 0.0;
      }
    } else {
      variance[static_cast<size_t>(next)] = 0.0;
      --i;  // box i was not made: try again with the next candidate
    }
    next = 0;
    double greatest = variance[0];
    for (int k = 1; k <= i; ++k) {
      if (variance[static_cast<size_t>(k)] > greatest) {
        greatest = variance[static_cast<size_t>(k)];
        next = k;
      }
    }
    if (greatest <= 0.0) {
      count = i + 1;
      break;
    }
  }

  for (int k = 0; k < count; ++k) {
    const TBox& b = boxes[static_cast<size_t>(k)];
    const int64_t weight = BoxVolume(b, m.Weight);
    if (weight == 0) continue;
    palette[3 * k] = static_cast<uint8_t>(BoxVolume(b, m.Red) / weight);
    palette[3 * k + 1] = static_cast<uint8_t>(BoxVolume(b, m.Green) / weight);
    palette[3 * k + 2] = static_cast<uint8_t>(BoxVolume(b, m.Blue) / weight);
  }
  return count;
}

uint8_t NearestPaletteIndex(TColorCache& cache, const TPalette& palette, uint8_t red, uint8_t blue, uint8_t green) {
  int16_t& entry = cache[(red >> 3) + ((green >> 3) << 5) + ((blue >> 3) << 10)];
  if (entry < 0) {
    int best = std::numeric_limits<int>::max();
    for (int k = 0; k < 256; ++k) {
      const int d = std::abs(red - palette[3 * k]) + std::abs(green - palette[3 * k + 1]) + std::abs(blue - palette[3 * k + 2]);
      if (d < best) {
        best = d;
        entry = static_cast<int16_t>(k);
      }
    }
  }
  return static_cast<uint8_t>(entry);
}

uint8_t NearestGrayIndex(TGrayCache& cache, const std::array<uint8_t, GrayPaletteSize>& grayPalette, uint8_t gray) {
  int16_t& entry = cache[gray];
  if (entry < 0) {
    int best = std::numeric_limits<int>::max();
    for (int k = 0; k < 16; ++k) {
      const int d = std::abs(gray - grayPalette[3 * k]);
      if (d < best) {
        best = d;
        entry = static_cast<int16_t>(k);
      }
    }
  }
  return static_cast<uint8_t>(entry);
}

uint32_t ByteSwap32Png(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

uint32_t PngAdler32(const void* data, size_t length) {
  uLong a = adler32(0, nullptr, 0);
  const auto* p = static_cast<const Bytef*>(data);
  while (length > 0) {
    const auto chunk = static_cast<uInt>(std::min<size_t>(length, 0x40000000));
    a = adler32(a, p, chunk);
    p += chunk;
    length -= chunk;
  }
  return static_cast<uint32_t>(a);
}

std::string ZlibWrap(const std::string& data) {
  const uint64_t capacity = static_cast<uint64_t>(data.size()) * 11 / 10 + 12;
  if (capacity > std::numeric_limits<uint32_t>::max()) return {};
  std::string out;
  try {
    out.resize(2 + capacity);
  } catch (const std::bad_alloc&) {
    return {};
  }
  out[0] = '\x78';
  out[1] = '\x01';
  const uint32_t packed = PackBuffer(data.data(), out.data() + 2, static_cast<uint32_t>(data.size()),
                                     static_cast<uint32_t>(capacity));
  if (packed == 0) return {};
  out.resize(2 + packed);
  PutBE32(out, PngAdler32(data.data(), data.size()));
  return out;
}

std::string PngHeaderData(uint32_t width, uint32_t height, size_t paletteLength) {
  std::string h;
  PutBE32(h, width);
  PutBE32(h, height);
  h += static_cast<char>(paletteLength == PaletteSize ? 8 : 4);  // bit depth
  h += '\x03';                                                    // colour type: palette
  h.append(3, '\0');                                              // deflate, no filter method, no interlace
  return h;
}

void AppendPngChunk(std::string& png, const char type[4], const std::string& data) {
  PutBE32(png, static_cast<uint32_t>(data.size()));
  png.append(type, 4);
  png += data;
  uint32_t crc = Crc32Update(0xFFFFFFFFu, type, 4);
  // Crc32Update takes a signed length: fold large data in pieces.
  for (size_t at = 0; at < data.size(); at += 0x40000000)
    crc = Crc32Update(crc, data.data() + at, static_cast<int32_t>(std::min<size_t>(data.size() - at, 0x40000000)));
  PutBE32(png, ~crc);
}

void BuildPng(uint32_t width, uint32_t height, const std::string& palette, std::string& png, const std::string& data) {
  png.clear();
  const std::string idat = ZlibWrap(data);
  if (idat.empty()) return;  // a PNG without its image data is no PNG
  png = "\x89PNG\r\n\x1a\n";
  AppendPngChunk(png, "IHDR", PngHeaderData(width, height, palette.size()));
  if (!palette.empty()) AppendPngChunk(png, "PLTE", palette);
  AppendPngChunk(png, "IDAT", idat);
  AppendPngChunk(png, "IEND", std::string());
}

std::string EncodeScreenPng(uint8_t* pixels, uint32_t width, uint32_t height, uint8_t mode) {
  if (pixels == nullptr || width == 0 || height == 0) return {};
  std::string result;
  if (mode != ssmGray) {
    try {
      result = ColorPng(pixels, width, height);
    } catch (...) {  // no memory for the tables or the image data: try grey
      result.clear();
    }
  }
  if (result.empty() || result.size() > SizeLimit(mode)) {
    try {
      std::string gray = GrayPng(pixels, width, height);
      if (!gray.empty() && (result.empty() || gray.size() < result.size())) result = std::move(gray);
    } catch (...) {
    }
  }
  return result;
}

}  // namespace qel
