#include "DepthConvCore.h"

#include <algorithm>
#include <cstring>

namespace pictures {

uint8_t DefaultMappingMethod = mmPopularity;

namespace {

constexpr uint8_t kLevels4[4] = {0, 85, 170, 255};
constexpr uint8_t kLevels6[6] = {0, 51, 102, 153, 204, 255};
constexpr uint8_t kLevels7[7] = {0, 43, 85, 128, 170, 213, 255};
constexpr uint8_t kLevels8[8] = {0, 36, 73, 109, 146, 182, 219, 255};
// The same limit as the framework's bitmaps.
constexpr uint64_t kMaxPixels = 64ull * 1024 * 1024;

struct TLevelTables {
  uint8_t Nearest4[256], Nearest6[256], Nearest7[256], Nearest8[256];
};

void BuildLevelTable(std::span<const uint8_t> levels, uint8_t* table) {
  for (int v = 0; v < 256; ++v) {
    int best = 0;
    for (size_t i = 1; i < levels.size(); ++i)
      if (std::abs(v - levels[i]) < std::abs(v - levels[static_cast<size_t>(best)])) best = static_cast<int>(i);
    table[v] = static_cast<uint8_t>(best);
  }
}

TLevelTables BuildLevelTables() {
  TLevelTables t{};
  BuildLevelTable(kLevels4, t.Nearest4);
  BuildLevelTable(kLevels6, t.Nearest6);
  BuildLevelTable(kLevels7, t.Nearest7);
  BuildLevelTable(kLevels8, t.Nearest8);
  return t;
}

// Built once as the unit starts.
const TLevelTables kTables = BuildLevelTables();

[[noreturn]] void InvalidBitmap() { throw zf::EInvalidGraphic(SInvalidBitmap); }

template <class T>
T ReadAt(std::string_view data, uint64_t offset) {
  T v{};
  if (offset > data.size() || data.size() - offset < sizeof(T)) InvalidBitmap();
  std::memcpy(&v, data.data() + offset, sizeof(T));
  return v;
}

// Position and scale of one bit-field mask.
struct TField {
  int Shift = 0;
  uint32_t Max = 0;  // the mask shifted down
  uint8_t Scale(uint32_t pixel, uint32_t mask) const {
    if (Max == 0) return 0;
    uint32_t v = (pixel & mask) >> Shift;
    return static_cast<uint8_t>((static_cast<uint64_t>(v) * 255 + Max / 2) / Max);
  }
};
TField FieldOf(uint32_t mask) {
  TField f;
  if (!mask) return f;
  while (!(mask & (1u << f.Shift))) ++f.Shift;
  f.Max = mask >> f.Shift;
  return f;
}

size_t RowOffset(const TDib& d, int32_t y) {
  return static_cast<size_t>(y) * static_cast<size_t>(DibStride(d.Width(), d.BitCount()));
}

std::string HeaderBytes(const TBmpFileHeader& fh, const TBmpInfoHeader& ih) {
  std::string s(reinterpret_cast<const char*>(&fh), sizeof fh);
  s.append(reinterpret_cast<const char*>(&ih), sizeof ih);
  return s;
}

// File header, information header, colour table and pixels of a target.
std::string Compose(TBmpInfoHeader ih, std::span<const TRgbQuad> colors, std::span<const uint8_t> pixels) {
  ih.Size = sizeof(TBmpInfoHeader);
  ih.Planes = 1;
  ih.Compression = kBiRgb;
  ih.ClrUsed = 0;
  ih.SizeImage = static_cast<uint32_t>(pixels.size());
  TBmpFileHeader fh;
  fh.Type = 0x4D42;
  fh.OffBits = static_cast<uint32_t>(sizeof fh + sizeof ih + colors.size() * sizeof(TRgbQuad));
  fh.Size = fh.OffBits + ih.SizeImage;
  std::string s = HeaderBytes(fh, ih);
  s.append(reinterpret_cast<const char*>(colors.data()), colors.size() * sizeof(TRgbQuad));
  s.append(reinterpret_cast<const char*>(pixels.data()), pixels.size());
  return s;
}

void Require24(const TDib& rgb) {
  if (rgb.BitCount() != 24 || rgb.Bits.size() < RowOffset(rgb, rgb.Height())) InvalidBitmap();
}

// Calls f(x, y, pixel, index&) for every pixel of a 24-bit image, with the index
// byte of a padded 8-bit row; y counts stored (bottom-up) rows.
template <class F>
std::vector<uint8_t> MapPixels(const TDib& rgb, F&& f) {
  Require24(rgb);
  const size_t in = static_cast<size_t>(DibStride(rgb.Width(), 24));
  const size_t out = static_cast<size_t>(DibStride(rgb.Width(), 8));
  std::vector<uint8_t> idx(out * static_cast<size_t>(rgb.Height()), 0);
  for (int32_t y = 0; y < rgb.Height(); ++y) {
    const uint8_t* p = rgb.Bits.data() + in * static_cast<size_t>(y);
    uint8_t* q = idx.data() + out * static_cast<size_t>(y);
    for (int32_t x = 0; x < rgb.Width(); ++x, p += 3) q[x] = f(x, y, p[2], p[1], p[0]);
  }
  return idx;
}

}  // namespace

int64_t DibStride(int32_t width, int bits) { return ((static_cast<int64_t>(width) * bits + 31) / 32) * 4; }

const uint8_t* NearestLevels(int levels) {
  switch (levels) {
    case 4: return kTables.Nearest4;
    case 6: return kTables.Nearest6;
    case 7: return kTables.Nearest7;
    case 8: return kTables.Nearest8;
    default: return nullptr;
  }
}

std::span<const uint8_t> LevelValues(int levels) {
  switch (levels) {
    case 4: return kLevels4;
    case 6: return kLevels6;
    case 7: return kLevels7;
    case 8: return kLevels8;
    default: return {};
  }
}

int ColorsOfBits(int bits) {
  switch (bits) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

int BitsForColorCount(int colors) {
  if (colors <= 2) return 1;
  if (colors <= 16) return 4;
  if (colors <= 256) return 8;
  return 24;
}

std::vector<TRgbQuad> DefaultColorTable(int bits) {
  if (bits == 1) return {{0, 0, 0, 0}, {255, 255, 255, 0}};
  return {{0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
          {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
          {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
          {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};
}

// --- DIB reader -------------------------------------------------------------------

TDib ReadDib(std::string_view bmp) {
  const auto fh = ReadAt<TBmpFileHeader>(bmp, 0);
  if (fh.Type != 0x4D42) InvalidBitmap();
  TDib d;
  d.Header = ReadAt<TBmpInfoHeader>(bmp, sizeof fh);
  TBmpInfoHeader& ih = d.Header;
  const int bits = ih.BitCount;
  const bool bitsOk = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
  const bool fields = ih.Compression == kBiBitFields;
  if (ih.Size < sizeof ih || ih.Size > bmp.size() || !bitsOk || ih.Planes != 1) InvalidBitmap();
  if (ih.Compression != kBiRgb && !(fields && (bits == 16 || bits == 32))) InvalidBitmap();
  const int64_t height = ih.Height < 0 ? -static_cast<int64_t>(ih.Height) : ih.Height;
  if (ih.Width <= 0 || height <= 0 || static_cast<uint64_t>(ih.Width) * static_cast<uint64_t>(height) > kMaxPixels)
    InvalidBitmap();
  uint64_t pos = sizeof fh + ih.Size;
  if (fields) {
    // Masks follow a plain header; larger headers carry them inside.
    const uint64_t at = ih.Size == sizeof ih ? pos : sizeof fh + sizeof ih;
    for (int i = 0; i < 3; ++i) d.Masks[i] = ReadAt<uint32_t>(bmp, at + 4 * static_cast<uint64_t>(i));
    if (ih.Size == sizeof ih) pos += 12;
  } else if (bits == 16) {
    d.Masks[0] = 0x7C00, d.Masks[1] = 0x03E0, d.Masks[2] = 0x001F;
  } else if (bits == 32) {
    d.Masks[0] = 0xFF0000, d.Masks[1] = 0xFF00, d.Masks[2] = 0xFF;
  }
  if (bits <= 8) {
    const uint32_t n = ih.ClrUsed ? ih.ClrUsed : (1u << bits);
    if (n > (1u << bits) || pos + 4ull * n > bmp.size()) InvalidBitmap();
    d.Colors.resize(n);
    std::memcpy(d.Colors.data(), bmp.data() + pos, 4ull * n);
  }
  const uint64_t stride = static_cast<uint64_t>(DibStride(ih.Width, bits));
  const uint64_t size = stride * static_cast<uint64_t>(height);
  if (fh.OffBits > bmp.size() || bmp.size() - fh.OffBits < size) InvalidBitmap();
  d.Bits.resize(static_cast<size_t>(size));
  const char* src = bmp.data() + fh.OffBits;
  for (int64_t y = 0; y < height; ++y) {
    // Top-down files are turned over: the model is bottom-up.
    const int64_t from = ih.Height < 0 ? height - 1 - y : y;
    std::memcpy(d.Bits.data() + y * stride, src + from * stride, stride);
  }
  ih.Height = static_cast<int32_t>(height);
  return d;
}

TDib ToRgb24(const TDib& s) {
  const int bits = s.BitCount();
  if (s.Bits.size() < RowOffset(s, s.Height())) InvalidBitmap();
  TDib d;
  d.Header = s.Header;
  d.Header.BitCount = 24;
  d.Header.Compression = kBiRgb;
  d.Header.ClrUsed = 0;
  const size_t out = static_cast<size_t>(DibStride(s.Width(), 24));
  d.Bits.assign(out * static_cast<size_t>(s.Height()), 0);
  const TField f[3] = {FieldOf(s.Masks[0]), FieldOf(s.Masks[1]), FieldOf(s.Masks[2])};
  for (int32_t y = 0; y < s.Height(); ++y) {
    const uint8_t* row = s.Bits.data() + RowOffset(s, y);
    uint8_t* q = d.Bits.data() + out * static_cast<size_t>(y);
    for (int32_t x = 0; x < s.Width(); ++x, q += 3) {
      if (bits <= 8) {
        const int per = 8 / bits;
        const int shift = 8 - bits * (x % per + 1);
        const uint32_t i = (row[x / per] >> shift) & ((1u << bits) - 1);
        // An index beyond the colour table draws black.
        const TRgbQuad c = i < s.Colors.size() ? s.Colors[i] : TRgbQuad{};
        q[0] = c.Blue, q[1] = c.Green, q[2] = c.Red;
      } else if (bits == 24) {
        std::memcpy(q, row + 3 * static_cast<size_t>(x), 3);
      } else {
        uint32_t px = 0;
        std::memcpy(&px, row + static_cast<size_t>(x) * (bits / 8), static_cast<size_t>(bits / 8));
        q[2] = f[0].Scale(px, s.Masks[0]);
        q[1] = f[1].Scale(px, s.Masks[1]);
        q[0] = f[2].Scale(px, s.Masks[2]);
      }
    }
  }
  return d;
}

std::string WriteDib(const TDib& d) {
  const int bits = d.BitCount();
  // 16 and 32 bits stay as they are in their plain layout; with other masks the
  // picture is written at 24 bits, as a plain header cannot tell the masks.
  const bool plainWide = (bits == 16 || bits == 32) && d.Header.Compression == kBiRgb;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && !plainWide) return WriteDib(ToRgb24(d));
  if (d.Bits.size() < RowOffset(d, d.Height())) InvalidBitmap();
  std::vector<TRgbQuad> colors;
  if (bits <= 8) {
    colors = d.Colors;
    colors.resize(static_cast<size_t>(1) << bits);
  }
  TBmpInfoHeader ih = d.Header;
  ih.ClrImportant = 0;
  return Compose(ih, colors, std::span(d.Bits.data(), RowOffset(d, d.Height())));
}

// --- popularity -------------------------------------------------------------------

namespace {

constexpr uint32_t kHashSlots = 5191;
constexpr size_t kMaxEntries = 2049;
constexpr uint16_t kEmptySlot = 0xFFFF;

struct TColorEntry {
  uint8_t Blue, Green, Red;
  uint64_t Count;  // 64 bits: the count of one colour can pass 2^32 on no image, but sums of large ones must not wrap
  uint8_t Index;
};

class TColorHash {
public:
  TColorHash() : FSlots(kHashSlots, kEmptySlot) {}
  // The entry of a masked colour, or -1 when the table is full and the colour is new.
  int Find(uint8_t r, uint8_t g, uint8_t b, bool add) {
    uint32_t slot = ((static_cast<uint32_t>(r) + g) * (static_cast<uint32_t>(b) + g) * (static_cast<uint32_t>(r) + b)) %
                    kHashSlots;
    while (FSlots[slot] != kEmptySlot) {
      const TColorEntry& e = Entries[FSlots[slot]];
      if (e.Red == r && e.Green == g && e.Blue == b) return FSlots[slot];
      slot = slot + 1 == kHashSlots ? 0 : slot + 1;
    }
    if (!add || Entries.size() == kMaxEntries) return -1;
    FSlots[slot] = static_cast<uint16_t>(Entries.size());
    Entries.push_back({b, g, r, 0, 0});
    return FSlots[slot];
  }
  std::vector<TColorEntry> Entries;

private:
  std::vector<uint16_t> FSlots;
};

}  // namespace

TReduction PopularColorReduce(const TDib& rgb, int colors) {
  Require24(rgb);
  colors = std::clamp(colors, 1, 256);
  TReduction r;
  uint8_t& mr = r.Masks[0];
  uint8_t& mg = r.Masks[1];
  uint8_t& mb = r.Masks[2];
  const size_t stride = static_cast<size_t>(DibStride(rgb.Width(), 24));
  TColorHash hash;
  for (bool full = true; full;) {
    full = false;
    hash = TColorHash();
    for (int32_t y = 0; y < rgb.Height() && !full; ++y) {
      const uint8_t* p = rgb.Bits.data() + stride * static_cast<size_t>(y);
      for (int32_t x = 0; x < rgb.Width(); ++x, p += 3) {
        const int e = hash.Find(p[2] & mr, p[1] & mg, p[0] & mb, true);
        if (e < 0) {
          full = true;
          break;
        }
        ++hash.Entries[static_cast<size_t>(e)].Count;
      }
    }
    if (full) {
      // One more low bit goes: blue, red, green, blue ... from all masks equal.
      if (mb >= mr && mr >= mg) mb = static_cast<uint8_t>(mb << 1);
      else if (mb < mr && mr >= mg) mr = static_cast<uint8_t>(mr << 1);
      else mg = static_cast<uint8_t>(mg << 1);
    }
  }
  auto& entries = hash.Entries;
  int used = 0;
  for (; used < colors && static_cast<size_t>(used) < entries.size(); ++used) {
    size_t best = 0;
    for (size_t i = 1; i < entries.size(); ++i)
      if (entries[i].Count > entries[best].Count) best = i;
    TColorEntry& e = entries[best];
    e.Index = static_cast<uint8_t>(used);
    e.Count = 0;
    r.Palette[static_cast<size_t>(used)] = {e.Blue, e.Green, e.Red, 0};
  }
  for (int i = used; i < 256; ++i) r.Palette[static_cast<size_t>(i)] = {128, 128, 128, 0};
  for (TColorEntry& e : entries) {
    if (!e.Count) continue;
    int best = 0;
    int64_t bestDist = INT64_MAX;
    for (int i = 0; i < colors; ++i) {
      const TRgbQuad& c = r.Palette[static_cast<size_t>(i)];
      const int64_t dr = e.Red - c.Red, dg = e.Green - c.Green, db = e.Blue - c.Blue;
      const int64_t dist = dr * dr + dg * dg + db * db;
      if (dist < bestDist) bestDist = dist, best = i;
    }
    e.Index = static_cast<uint8_t>(best);
  }
  r.Indexes = MapPixels(rgb, [&](int32_t, int32_t, uint8_t red, uint8_t green, uint8_t blue) {
    return entries[static_cast<size_t>(hash.Find(red & mr, green & mg, blue & mb, false))].Index;
  });
  return r;
}

// --- median cut -------------------------------------------------------------------

namespace {

constexpr int kBins = 4096;

struct TColorBin {
  uint8_t Value[3] = {0, 0, 0};  // red, green, blue as 4-bit values
  uint64_t Count = 0;
  uint16_t Box = 0;
};

struct TColorBox {
  int Low[3] = {0, 0, 0};
  int Range[3] = {255, 255, 255};
  std::vector<uint16_t> Bins;
  uint64_t Pixels = 0;
};

int BinOf(uint8_t r, uint8_t g, uint8_t b) { return ((r >> 4) << 8) | (g & 0xF0) | (b >> 4); }

void SortColorsByAxis(std::vector<uint16_t>& list, const std::vector<TColorBin>& bins, int axis) {
  std::stable_sort(list.begin(), list.end(),
                   [&](uint16_t a, uint16_t b) { return bins[a].Value[axis] < bins[b].Value[axis]; });
}

void SplitColorBoxes(std::vector<TColorBox>& boxes, const std::vector<TColorBin>& bins, size_t wanted) {
  while (boxes.size() < wanted) {
    int bestBox = -1, axis = 0, bestRange = -1;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].Bins.size() < 2) continue;
      for (int c = 0; c < 3; ++c)
        if (boxes[i].Range[c] > bestRange) bestRange = boxes[i].Range[c], bestBox = static_cast<int>(i), axis = c;
    }
    if (bestBox < 0) return;
    TColorBox& old = boxes[static_cast<size_t>(bestBox)];
    SortColorsByAxis(old.Bins, bins, axis);
    size_t keep = 1;
    uint64_t running = bins[old.Bins[0]].Count;
    while (keep + 1 < old.Bins.size() && 2 * (running + bins[old.Bins[keep]].Count) <= old.Pixels)
      running += bins[old.Bins[keep++]].Count;
    TColorBox box;
    std::copy(std::begin(old.Low), std::end(old.Low), box.Low);
    std::copy(std::begin(old.Range), std::end(old.Range), box.Range);
    box.Bins.assign(old.Bins.begin() + static_cast<std::ptrdiff_t>(keep), old.Bins.end());
    old.Bins.resize(keep);
    const int end = old.Low[axis] + old.Range[axis];
    box.Low[axis] = bins[box.Bins.front()].Value[axis] * 16;
    box.Range[axis] = end - box.Low[axis];
    old.Range[axis] = bins[old.Bins.back()].Value[axis] * 16 - old.Low[axis];
    old.Pixels = running;
    for (uint16_t b : box.Bins) box.Pixels += bins[b].Count;
    boxes.push_back(std::move(box));
  }
}

}  // namespace

TReduction MedianCutReduce(const TDib& rgb, int colors) {
  Require24(rgb);
  std::vector<TColorBin> bins(kBins);
  for (int i = 0; i < kBins; ++i)
    bins[static_cast<size_t>(i)].Value[0] = static_cast<uint8_t>(i >> 8),
                           bins[static_cast<size_t>(i)].Value[1] = static_cast<uint8_t>((i >> 4) & 15),
                           bins[static_cast<size_t>(i)].Value[2] = static_cast<uint8_t>(i & 15);
  const size_t stride = static_cast<size_t>(DibStride(rgb.Width(), 24));
  for (int32_t y = 0; y < rgb.Height(); ++y) {
    const uint8_t* p = rgb.Bits.data() + stride * static_cast<size_t>(y);
    for (int32_t x = 0; x < rgb.Width(); ++x, p += 3) ++bins[static_cast<size_t>(BinOf(p[2], p[1], p[0]))].Count;
  }
  std::vector<TColorBox> boxes(1);
  for (int i = 0; i < kBins; ++i)
    if (bins[static_cast<size_t>(i)].Count) {
      boxes[0].Bins.push_back(static_cast<uint16_t>(i));
      boxes[0].Pixels += bins[static_cast<size_t>(i)].Count;
    }
  if (boxes[0].Bins.empty()) boxes.clear();
  SplitColorBoxes(boxes, bins, static_cast<size_t>(std::clamp(colors, 1, 256)));
  TReduction r;
  for (size_t k = 0; k < boxes.size(); ++k) {
    // Mean of the bins' upper values (16 v + 15), each bin counted once.
    uint32_t ch[3];
    for (int c = 0; c < 3; ++c) {
      uint32_t sum = 0;
      for (uint16_t b : boxes[k].Bins) sum += bins[b].Value[c] * 16u + 15u;
      ch[c] = sum / static_cast<uint32_t>(boxes[k].Bins.size());
    }
    if (ch[0] > 16 || ch[1] > 16 || ch[2] > 16)
      r.Palette[k] = {static_cast<uint8_t>(ch[2]), static_cast<uint8_t>(ch[1]), static_cast<uint8_t>(ch[0]), 0};
    for (uint16_t b : boxes[k].Bins) bins[b].Box = static_cast<uint16_t>(k);
  }
  r.Important = static_cast<uint32_t>(boxes.size());
  r.Indexes = MapPixels(rgb, [&](int32_t, int32_t, uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<uint8_t>(bins[static_cast<size_t>(BinOf(red, green, blue))].Box);
  });
  return r;
}

// --- fixed palettes -----------------------------------------------------------------

namespace {
// A fixed colour cube: index = red level x (greens x blues) + green level x blues
// + blue level; the palette lists the level values in that order, 128 after it.
TReduction CubeReduce(const TDib& rgb, int reds, int greens, int blues) {
  TReduction r;
  const auto lr = LevelValues(reds), lg = LevelValues(greens), lb = LevelValues(blues);
  const size_t used = static_cast<size_t>(reds * greens * blues);
  for (size_t i = 0; i < 256; ++i)
    r.Palette[i] = i < used ? TRgbQuad{lb[i % lb.size()], lg[(i / lb.size()) % lg.size()], lr[i / (lb.size() * lg.size())], 0}
                            : TRgbQuad{128, 128, 128, 0};
  r.Important = static_cast<uint32_t>(used);
  const uint8_t *nr = NearestLevels(reds), *ng = NearestLevels(greens), *nb = NearestLevels(blues);
  r.Indexes = MapPixels(rgb, [&](int32_t, int32_t, uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<uint8_t>((nr[red] * greens + ng[green]) * blues + nb[blue]);
  });
  return r;
}
}  // namespace

TReduction CubeReduce784(const TDib& rgb) { return CubeReduce(rgb, 7, 8, 4); }
TReduction CubeReduce666(const TDib& rgb) { return CubeReduce(rgb, 6, 6, 6); }

TReduction InterleaveReduce(const TDib& rgb) {
  TReduction r;
  for (int i = 0; i < 64; ++i) {
    const auto v = static_cast<uint8_t>(4 * i);
    r.Palette[static_cast<size_t>(i)] = {0, 0, v, 0};
    r.Palette[static_cast<size_t>(64 + i)] = {0, v, 0, 0};
    r.Palette[static_cast<size_t>(128 + i)] = {v, 0, 0, 0};
  }
  r.Indexes = MapPixels(rgb, [](int32_t x, int32_t y, uint8_t red, uint8_t green, uint8_t blue) {
    switch ((static_cast<int64_t>(y) + x) % 3) {
      case 0: return static_cast<uint8_t>(red >> 2);
      case 1: return static_cast<uint8_t>((green >> 2) | 64);
      default: return static_cast<uint8_t>((blue >> 2) | 128);
    }
  });
  return r;
}

TReduction RgbToGray(const TDib& rgb) {
  TReduction r;
  for (size_t i = 0; i < 256; ++i) {
    const auto v = static_cast<uint8_t>(i);
    r.Palette[i] = {v, v, v, 0};
  }
  r.Indexes = MapPixels(rgb, [](int32_t, int32_t, uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<uint8_t>((77u * red + 150u * green + 29u * blue) >> 8);
  });
  return r;
}

TReduction ReduceColors(const TDib& rgb, uint8_t method) {
  switch (method) {
    case mmMedianCut: return MedianCutReduce(rgb, 256);
    case mmCube784: return CubeReduce784(rgb);
    case mmCube666: return CubeReduce666(rgb);
    case mmInterleave: return InterleaveReduce(rgb);
    case mmGrayscale: return RgbToGray(rgb);
    default: return PopularColorReduce(rgb, 256);
  }
}

// --- the converter -----------------------------------------------------------------

std::string ConvertRgb24(const TDib& rgb, const TBmpInfoHeader* sectionHeader, int targetBits, uint8_t method) {
  Require24(rgb);
  TBmpInfoHeader ih;
  if (sectionHeader) ih = *sectionHeader;
  ih.Width = rgb.Width();
  ih.Height = rgb.Height();
  ih.BitCount = static_cast<uint16_t>(targetBits);
  ih.ClrImportant = 0;
  if (targetBits == 24) return Compose(ih, {}, std::span(rgb.Bits.data(), RowOffset(rgb, rgb.Height())));
  if (targetBits != 8) throw ENotImplemented("Function not yet implemented");
  TReduction r = ReduceColors(rgb, method);
  ih.ClrImportant = r.Important;
  return Compose(ih, r.Palette, r.Indexes);
}

namespace {

// Indexes of the nearest colours of a table (the first on a tie), packed at 1 or 4 bits.
std::string NearestInTable(const TDib& rgb, int bits) {
  const std::vector<TRgbQuad> table = DefaultColorTable(bits);
  TDib d;
  d.Header = rgb.Header;
  d.Header.BitCount = static_cast<uint16_t>(bits);
  d.Colors = table;
  const size_t in = static_cast<size_t>(DibStride(rgb.Width(), 24));
  const size_t out = static_cast<size_t>(DibStride(rgb.Width(), bits));
  d.Bits.assign(out * static_cast<size_t>(rgb.Height()), 0);
  for (int32_t y = 0; y < rgb.Height(); ++y) {
    const uint8_t* p = rgb.Bits.data() + in * static_cast<size_t>(y);
    uint8_t* q = d.Bits.data() + out * static_cast<size_t>(y);
    for (int32_t x = 0; x < rgb.Width(); ++x, p += 3) {
      size_t best = 0;
      int bestDist = INT32_MAX;
      for (size_t i = 0; i < table.size(); ++i) {
        const int dr = p[2] - table[i].Red, dg = p[1] - table[i].Green, db = p[0] - table[i].Blue;
        const int dist = dr * dr + dg * dg + db * db;
        if (dist < bestDist) bestDist = dist, best = i;
      }
      const int per = 8 / bits;
      q[x / per] = static_cast<uint8_t>(q[x / per] | (best << (8 - bits * (x % per + 1))));
    }
  }
  return WriteDib(d);
}

}  // namespace

std::string ConvertDibDepth(const TDib& source, int targetBits, uint8_t method) {
  if (source.BitCount() == targetBits && method != mmGrayscale) return WriteDib(source);
  if (targetBits != 1 && targetBits != 4 && targetBits != 8 && targetBits != 24)
    throw ENotImplemented("Function not yet implemented");
  const TDib rgb = ToRgb24(source);
  if (targetBits <= 4) return NearestInTable(rgb, targetBits);
  return ConvertRgb24(rgb, &source.Header, targetBits, method);
}

}  // namespace pictures
