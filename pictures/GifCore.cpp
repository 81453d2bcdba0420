#include "GifCore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Streams.h"

namespace pictures {

namespace {

[[noreturn]] void Raise(const char* message) { throw zf::EInvalidGraphicOperation(message); }
[[noreturn]] void RaiseReadError() { throw zf::EReadError(SGIFReadError); }

uint32_t MaskRgb(TGifColor c) { return static_cast<uint32_t>(c) & 0xFFFFFF; }

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Reads the GIF data; a fixed-size part cut short is the stream's read error.
class TGifReader {
public:
  explicit TGifReader(std::string_view data) : FData(data) {}
  size_t Remaining() const { return FData.size() - FPos; }
  bool AtEnd() const { return FPos >= FData.size(); }
  size_t Position() const { return FPos; }
  void SkipToEnd() { FPos = FData.size(); }

  const uint8_t* Take(size_t n) {
    if (n > Remaining()) RaiseReadError();
    const auto* p = reinterpret_cast<const uint8_t*>(FData.data() + FPos);
    FPos += n;
    return p;
  }
  uint8_t Byte() { return *Take(1); }
  std::string_view View(size_t n) {
    const auto* p = Take(n);
    return {reinterpret_cast<const char*>(p), n};
  }
  // The first non-zero byte, or 0 at the end of the data.
  uint8_t Separator() {
    while (!AtEnd()) {
      const uint8_t b = Byte();
      if (b != 0) return b;
    }
    return 0;
  }
  void Table(TGifColorTable& table, int count) {
    table = TGifColorTable();
    table.Count = count;
    std::memcpy(table.Entries, Take(static_cast<size_t>(count) * 3), static_cast<size_t>(count) * 3);
  }
  // Bytes the sub-block chain from here takes, its terminator included (as far as the data goes).
  size_t ChainLength() const {
    size_t at = FPos;
    while (at < FData.size()) {
      const size_t n = static_cast<uint8_t>(FData[at]);
      at += n + 1;
      if (n == 0) break;
    }
    return std::min(at, FData.size()) - FPos;
  }
  // Data sub-blocks up to their terminator, one string each.
  std::vector<std::string> SubBlocks() {
    std::vector<std::string> out;
    for (uint8_t n = Byte(); n != 0; n = Byte()) out.emplace_back(View(n));
    return out;
  }

private:
  std::string_view FData;
  size_t FPos = 0;
};

bool SameTextAscii3(std::string_view a, const char* b) {
  for (size_t i = 0; i < 3; ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

TGifExtension ReadExtensionBlock(TGifReader& r) {
  const uint8_t label = r.Byte();
  TGifExtension e;
  size_t fixed = 0;
  switch (label) {
    case 0xF9: e.Kind = TGifExtensionKind::GraphicControl; fixed = 6; break;
    case 0x01: e.Kind = TGifExtensionKind::PlainText; fixed = 13; break;
    case 0xFF: e.Kind = TGifExtensionKind::Application; fixed = 12; break;
    case 0xFE: e.Kind = TGifExtensionKind::Comment; break;
    default: throw zf::EInvalidGraphicOperation(UnknownExtensionText(label));
  }
  e.Fixed = std::string(r.View(fixed));
  if (e.Kind != TGifExtensionKind::GraphicControl) e.Strings = r.SubBlocks();
  return e;
}

void WriteSubBlocks(std::string& out, const std::vector<std::string>& strings) {
  for (const std::string& s : strings) {
    if (s.empty()) continue;
    const size_t n = std::min<size_t>(s.size(), 255);
    out.push_back(static_cast<char>(n));
    out.append(s, 0, n);
  }
  out.push_back('\0');
}

void WriteTable(std::string& out, const TGifColorTable& table, int entries) {
  for (int i = 0; i < entries; ++i)
    for (int c = 0; c < 3; ++c) out.push_back(static_cast<char>(i < 256 ? table.Entries[i][c] : 0));
}

// Geometry that does not fit the file's 16-bit fields cannot be written.
uint16_t Geometry(int64_t v) {
  if (v < 0 || v > 0xFFFF) Raise(SGIFEncodeError);
  return static_cast<uint16_t>(v);
}

// Copies the image of one frame (after its "," separator) into the item.
void ReadFrame(TGifReader& r, const TGifScreen& screen, const TGifPictureData& data, TGifFrameRecord& f,
               bool tolerate) {
  TGifItemData& item = f.Item;
  TGifFrameState& st = f.State;
  const uint8_t* d = r.Take(9);
  const uint8_t packed = d[8];
  st.Interlaced = (packed & 0x40) != 0;
  if (packed & 0x80) {
    item.BitsPerPixel = static_cast<uint8_t>((packed & 7) + 1);
    st.LocalTable = true;
    r.Table(item.Table, 1 << item.BitsPerPixel);
  } else {
    st.LocalTable = false;
    item.Table = TGifColorTable();
  }
  std::string code(1, static_cast<char>(r.Byte()));
  code.reserve(r.ChainLength() + 2);
  bool terminated = false;
  while (!r.AtEnd()) {
    const uint8_t n = r.Byte();
    if (n > r.Remaining()) {
      // The data ends inside this sub-block: keep the complete ones only.
      st.Corrupted = true;
      r.SkipToEnd();
      break;
    }
    code.push_back(static_cast<char>(n));
    if (n == 0) {
      terminated = true;
      break;
    }
    code.append(r.View(n));
  }
  if (st.Corrupted && !tolerate) Raise(SGIFReadError);
  // Data that ended before the terminator gets one, so that the frame is
  // written back as a complete block.
  if (!terminated) code.push_back('\0');
  item.Encoded = std::move(code);
  const uint16_t w = Get16(d + 4), h = Get16(d + 6);
  st.Left = Get16(d);
  st.Top = Get16(d + 2);
  item.Width = w == 0 ? screen.Width : w;
  item.Height = h == 0 ? screen.Height : h;
  item.Packed = packed;
  if (!st.LocalTable) item.Table = data.GlobalTable;
  ApplyGraphicControl(st, item.Table);
}

// Reads bytes held elsewhere without copying them.
class TViewStream : public zf::TStream {
public:
  explicit TViewStream(std::string_view data) : FData(data) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::clamp<int64_t>(static_cast<int64_t>(FData.size()) - FPos, 0, std::max<int64_t>(count, 0));
    if (n > 0) std::memcpy(buffer, FData.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, zf::TSeekOrigin origin) override {
    const int64_t base = origin == zf::TSeekOrigin::soBeginning ? 0
                         : origin == zf::TSeekOrigin::soCurrent ? FPos
                                                                : static_cast<int64_t>(FData.size());
    FPos = std::max<int64_t>(0, base + offset);
    return FPos;
  }
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t) override {}

private:
  std::string_view FData;
  int64_t FPos = 0;
};

}  // namespace

TGifColorToRgb GifColorToRgb = MaskRgb;

std::string UnknownExtensionText(uint8_t label) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "Unrecognized extension block: %.2X", label);
  return buf;
}

// --- colour tables ------------------------------------------------------------

TGifColor TableEntryToColor(const TGifColorTable& table, int index) {
  const uint8_t* e = table.Entries[index & 0xFF];
  return static_cast<TGifColor>(e[0] | (e[1] << 8) | (e[2] << 16));
}

int ColorCountToBits(int count) {
  for (int bits = 1; bits <= 8; ++bits)
    if (count == 1 << bits) return bits;
  Raise(SGIFWrongColors);
}

int BitsForCount(int count) {
  int n = 1;
  while (n < 8 && (1 << n) < count) ++n;
  return n;
}

int FindTableColor(const TGifColorTable& table, TGifColor color) {
  if (color == GifColorNone) return -1;
  const uint32_t rgb = GifColorToRgb(color);
  const int n = std::clamp(table.Count, 0, 256);
  for (int i = 0; i < n; ++i)
    if (static_cast<uint32_t>(TableEntryToColor(table, i)) == rgb) return i;
  return -1;
}

void TableToDibPalette(const TGifColorTable& table, uint8_t (&quads)[256][4]) {
  std::memset(quads, 0x80, sizeof quads);
  const int n = std::clamp(table.Count, 0, 256);
  for (int i = 0; i < n; ++i) {
    quads[i][0] = table.Entries[i][2];
    quads[i][1] = table.Entries[i][1];
    quads[i][2] = table.Entries[i][0];
    quads[i][3] = 0;
  }
}

void DibPaletteToTable(TGifColorTable& table, const uint8_t* quads, int n) {
  table = TGifColorTable();
  table.Count = std::clamp(n, 0, 256);
  for (int i = 0; i < table.Count; ++i) {
    table.Entries[i][0] = quads[i * 4 + 2];
    table.Entries[i][1] = quads[i * 4 + 1];
    table.Entries[i][2] = quads[i * 4 + 0];
  }
}

int DibBitsForFrame(int bits) {
  if (bits == 1) return 1;
  if (bits >= 2 && bits <= 4) return 4;
  if (bits >= 5 && bits <= 8) return 8;
  Raise(SGIFWrongColors);
}

// --- extensions -----------------------------------------------------------------

bool TGifExtension::IsLoopBlock() const {
  if (Kind != TGifExtensionKind::Application || Fixed.size() < 12 || Fixed[0] != 11) return false;
  const std::string_view id(Fixed.data() + 1, 11);
  if (id != "NETSCAPE2.0" && id != "ANIMEXTS1.0") return false;
  return Strings && !Strings->empty() && (*Strings)[0].size() >= 3 && (*Strings)[0][0] == 1;
}

uint16_t TGifExtension::LoopCount() const {
  const std::string& s = (*Strings)[0];
  return static_cast<uint16_t>(static_cast<uint8_t>(s[1]) | (static_cast<uint8_t>(s[2]) << 8));
}

TGifExtension TGifExtension::NewGraphicControl() {
  TGifExtension e;
  e.Kind = TGifExtensionKind::GraphicControl;
  e.Fixed = std::string("\x04\0\0\0\0\0", 6);
  return e;
}

void TGifExtension::SetByte(size_t i, uint8_t v) {
  if (Fixed.size() <= i) Fixed.resize(i + 1, '\0');
  Fixed[i] = static_cast<char>(v);
}

void TGifExtension::SetDelayHundredths(uint16_t v) {
  SetByte(2, static_cast<uint8_t>(v & 0xFF));
  SetByte(3, static_cast<uint8_t>(v >> 8));
}

const TGifExtension* FindLastExtension(const TGifExtensionList& list, TGifExtensionKind kind) {
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->Kind == kind) return &*it;
  return nullptr;
}
TGifExtension* FindLastExtension(TGifExtensionList& list, TGifExtensionKind kind) {
  return const_cast<TGifExtension*>(FindLastExtension(std::as_const(list), kind));
}

void ApplyGraphicControl(TGifFrameState& st, const TGifColorTable& table) {
  st.Delay = 0;
  for (const TGifExtension& e : st.Extensions) {
    if (e.Kind != TGifExtensionKind::GraphicControl) continue;
    const uint8_t packed = e.Packed();
    if (packed & 1) {
      // An index beyond the table leaves the colour as it was.
      if (e.TransparentIndex() < table.Count) {
        st.TransparentColor = TableEntryToColor(table, e.TransparentIndex());
        st.TransparentIndex = e.TransparentIndex();
      }
    } else {
      st.TransparentColor = GifColorNone;
      st.TransparentIndex = -1;
    }
    st.Delay = std::max<uint32_t>(e.DelayHundredths() * 10u, st.Delay);
    st.Disposal = static_cast<uint8_t>((packed >> 2) & 7);
  }
}

// --- reading --------------------------------------------------------------------

void ReadGif(std::string_view bytes, TGifDocument& doc, bool tolerate) {
  doc = TGifDocument();
  if (bytes.empty()) return;
  TGifReader r(bytes);
  const std::string_view sig = r.View(3), ver = r.View(3);
  if (!SameTextAscii3(sig, "GIF")) Raise(SGIFVersion);
  int version = -1;
  for (int i = 0; i < 3 && version < 0; ++i)
    if (std::strlen(GifVersions[i]) == 3 && SameTextAscii3(ver, GifVersions[i])) version = i;
  if (version < 0) Raise(SGIFVersion);
  doc.Screen.Version = static_cast<uint8_t>(version);

  const uint8_t* sd = r.Take(7);
  doc.Screen.Width = Get16(sd);
  doc.Screen.Height = Get16(sd + 2);
  const uint8_t packed = sd[4], background = sd[5];
  doc.Data.Aspect = sd[6];
  doc.Data.BitsPerPixel = static_cast<uint8_t>((packed & 7) + 1);
  doc.Data.ColorResolution = static_cast<uint8_t>(((packed >> 4) & 7) + 1);
  if (packed & 0x80) {
    r.Table(doc.Data.GlobalTable, 1 << doc.Data.BitsPerPixel);
    if (background < doc.Data.GlobalTable.Count)
      doc.Screen.Background = TableEntryToColor(doc.Data.GlobalTable, background);
  }

  uint8_t sep = r.Separator();
  while (sep != 0 && sep != ';' && !r.AtEnd()) {
    // The extension run before the next image (none when it is empty).
    TGifExtensionList run;
    while (sep == '!') {
      TGifExtension e = ReadExtensionBlock(r);
      switch (e.Kind) {
        case TGifExtensionKind::PlainText:
          run.clear();  // text drawn over the picture: what came before it does not belong to an image
          break;
        case TGifExtensionKind::Application:
          if (e.IsLoopBlock()) {
            doc.Screen.Looping = true;
            doc.Screen.RepeatCount = std::min<uint16_t>(e.LoopCount(), 30000);
          }
          break;
        default:
          run.push_back(std::move(e));
          break;
      }
      sep = r.AtEnd() ? ';' : r.Separator();
    }
    if (sep == ',') {
      TGifFrameRecord f;
      if (doc.Data.GlobalTable.Count > 0)
        f.Item.BitsPerPixel = static_cast<uint8_t>(ColorCountToBits(doc.Data.GlobalTable.Count));
      f.State.Extensions = std::move(run);
      ReadFrame(r, doc.Screen, doc.Data, f, tolerate);
      doc.Frames.push_back(std::move(f));
      sep = r.AtEnd() ? ';' : r.Separator();
      if (sep != '!' && sep != ',' && sep != ';') sep = 0;
    } else {
      // Comments after the last image are the picture's own.
      if (doc.Data.Comments.empty() && !run.empty()) {
        for (const TGifExtension& e : run) {
          if (e.Kind != TGifExtensionKind::Comment) continue;
          if (!doc.Data.Comments.empty()) doc.Data.Comments.push_back("\r\n\r\n");
          if (e.Strings) doc.Data.Comments.insert(doc.Data.Comments.end(), e.Strings->begin(), e.Strings->end());
        }
      }
      // Anything but the end where a block should begin is not GIF data; the
      // loop would otherwise never end on it.
      if (sep != 0 && sep != ';') RaiseReadError();
    }
  }
}

// --- writing --------------------------------------------------------------------

void UpdateScreenSize(TGifScreen& screen, std::span<const TGifFrameView> frames) {
  int64_t w = 0, h = 0;
  for (const TGifFrameView& f : frames) {
    w = std::max<int64_t>(w, int64_t{f.State->Left} + f.Item->Width);
    h = std::max<int64_t>(h, int64_t{f.State->Top} + f.Item->Height);
  }
  screen.Width = static_cast<int32_t>(std::min<int64_t>(w, INT32_MAX));
  screen.Height = static_cast<int32_t>(std::min<int64_t>(h, INT32_MAX));
}

void UpdateExtensions(TGifFrameState& st, const TGifItemData& item, uint8_t& version) {
  TGifExtension* gc = FindLastExtension(st.Extensions, TGifExtensionKind::GraphicControl);
  if (!gc && (st.Delay != 0 || st.TransparentColor != GifColorNone || st.Disposal != 0)) {
    st.Extensions.push_back(TGifExtension::NewGraphicControl());
    gc = &st.Extensions.back();
  }
  if (gc) {
    gc->SetDelayHundredths(static_cast<uint16_t>(std::min<uint32_t>(st.Delay / 10, 0xFFFF)));
    int index = -1;
    if (st.TransparentColor != GifColorNone && st.TransparentIndex >= 0 && st.TransparentIndex < item.Table.Count &&
        static_cast<uint32_t>(TableEntryToColor(item.Table, st.TransparentIndex)) ==
            GifColorToRgb(st.TransparentColor))
      index = st.TransparentIndex;
    else
      index = FindTableColor(item.Table, st.TransparentColor);
    uint8_t packed = gc->Packed();
    if (index >= 0) {
      gc->SetTransparentIndex(static_cast<uint8_t>(index));
      packed |= 1;
    } else {
      packed &= static_cast<uint8_t>(~1);
    }
    gc->SetPacked(static_cast<uint8_t>((packed & 0xE3) | ((st.Disposal & 7) << 2)));
  }
  std::erase_if(st.Extensions, [](const TGifExtension& e) {
    return e.Kind == TGifExtensionKind::Comment && (!e.Strings || e.Strings->empty());
  });
  if (!st.Extensions.empty()) version = 2;
}

std::string WriteGif(TGifScreen& screen, const TGifPictureData& data, std::span<const TGifFrameView> frames) {
  if (frames.empty()) Raise(SGIFNoData);
  std::string out;
  if (!data.Comments.empty()) screen.Version = 2;
  out += "GIF";
  out += GifVersions[std::clamp<int>(screen.Version, 1, 2)];

  UpdateScreenSize(screen, frames);
  Put16(out, Geometry(screen.Width));
  Put16(out, Geometry(screen.Height));
  const TGifColorTable& global = data.GlobalTable;
  int globalEntries = 0;
  if (global.Count > 0) {
    const int bits = BitsForCount(global.Count);
    globalEntries = 1 << bits;
    int background = 0;
    if (screen.Background != GifColorNone) background = std::max(0, FindTableColor(global, screen.Background));
    out.push_back(static_cast<char>(0x80 | ((bits - 1) << 4) | (bits - 1)));
    out.push_back(static_cast<char>(background));
  } else {
    out.append(2, '\0');
  }
  out.push_back(static_cast<char>(data.Aspect));
  WriteTable(out, global, globalEntries);

  if (screen.Looping && frames.size() > 1) {
    out += std::string_view("\x21\xFF\x0BNETSCAPE2.0\x03\x01", 16);
    Put16(out, screen.RepeatCount);
    out.push_back('\0');
  }

  for (const TGifFrameView& f : frames) {
    for (const TGifExtension& e : f.State->Extensions) {
      out.push_back('!');
      out.push_back(static_cast<char>(GifExtensionLabels[static_cast<int>(e.Kind) & 3]));
      out += e.Fixed;
      if (e.Kind != TGifExtensionKind::GraphicControl) WriteSubBlocks(out, e.Strings.value_or(std::vector<std::string>{}));
    }
    out.push_back(',');
    Put16(out, Geometry(f.State->Left));
    Put16(out, Geometry(f.State->Top));
    Put16(out, Geometry(f.Item->Width));
    Put16(out, Geometry(f.Item->Height));
    uint8_t packed = 0;
    int localEntries = 0;
    if (f.State->LocalTable) {
      // Always a whole table of 2^n entries: anything else is not a GIF table.
      const int bits = BitsForCount(f.Item->Table.Count);
      localEntries = 1 << bits;
      packed = static_cast<uint8_t>(0x80 + bits - 1);
    }
    if (f.State->Interlaced) packed |= 0x40;
    out.push_back(static_cast<char>(packed));
    WriteTable(out, f.Item->Table, localEntries);
    if (f.Item->Encoded) out += *f.Item->Encoded;
  }

  if (!data.Comments.empty()) {
    out += "\x21\xFE";
    WriteSubBlocks(out, data.Comments);
  }
  out.push_back(';');
  return out;
}

std::string WriteGif(TGifDocument& doc) {
  std::vector<TGifFrameView> views;
  for (const TGifFrameRecord& f : doc.Frames) views.push_back({&f.Item, &f.State});
  return WriteGif(doc.Screen, doc.Data, views);
}

// --- frames as BMP files --------------------------------------------------------

TGifDib ParseDib(std::string_view bmp) {
  const auto* p = reinterpret_cast<const uint8_t*>(bmp.data());
  auto u32 = [&](size_t at) { return static_cast<uint32_t>(p[at] | (p[at + 1] << 8) | (p[at + 2] << 16)) | (static_cast<uint32_t>(p[at + 3]) << 24); };
  if (bmp.size() < 54 || p[0] != 'B' || p[1] != 'M' || u32(14) != 40 || u32(30) != 0) Raise(SGIFEncodeError);
  TGifDib d;
  d.Width = static_cast<int32_t>(u32(18));
  d.Height = static_cast<int32_t>(u32(22));
  d.Bits = Get16(p + 28);
  if (d.Width < 0 || d.Height < 0) Raise(SGIFEncodeError);
  if (d.Bits != 1 && d.Bits != 4 && d.Bits != 8) Raise(SGIFEncodeError);
  const size_t colors = size_t{1} << d.Bits;
  if (54 + colors * 4 > bmp.size()) Raise(SGIFEncodeError);
  d.Palette.assign(p + 54, p + 54 + colors * 4);
  const uint64_t offset = u32(10);
  const uint64_t size = static_cast<uint64_t>(GifRasterStride(d.Width, d.Bits)) * static_cast<uint64_t>(d.Height);
  if (offset < 54 || offset > bmp.size() || size > bmp.size() - offset) Raise(SGIFEncodeError);
  d.Pixels = std::span<const uint8_t>(p + offset, static_cast<size_t>(size));
  return d;
}

std::string DecodeToDib(const TGifItemData& item, bool interlaced, const TGifProgressHandler& progress,
                        bool& corrupted, bool tolerate) {
  const int bits = DibBitsForFrame(item.BitsPerPixel);
  if (item.Width <= 0 || item.Height <= 0) return std::string();
  if (static_cast<uint64_t>(item.Width) * static_cast<uint64_t>(item.Height) > GifMaxPixels) Raise(SGIFTooLarge);
  const uint64_t stride = static_cast<uint64_t>(GifRasterStride(item.Width, bits));
  const uint64_t imageSize = stride * static_cast<uint64_t>(item.Height);
  const uint32_t paletteSize = 4u << bits;
  std::string out;
  out.reserve(static_cast<size_t>(54 + paletteSize + imageSize));
  out += "BM";
  Put32(out, static_cast<uint32_t>(imageSize + 54 + paletteSize));
  Put32(out, 0);
  Put32(out, 54 + paletteSize);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(item.Width));
  Put32(out, static_cast<uint32_t>(item.Height));
  Put16(out, 1);
  Put16(out, static_cast<uint16_t>(bits));
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(imageSize));
  out.append(16, '\0');
  uint8_t quads[256][4];
  TableToDibPalette(item.Table, quads);
  out.append(reinterpret_cast<const char*>(quads), paletteSize);
  const size_t pixelsAt = out.size();
  out.resize(pixelsAt + static_cast<size_t>(imageSize), '\0');
  static const std::string kNone;
  TViewStream code(item.Encoded ? *item.Encoded : kNone);
  bool damaged = false;
  DecodeGifRaster(code, {item.Width, item.Height, bits}, interlaced, progress, damaged,
                  std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()) + pixelsAt, static_cast<size_t>(imageSize)),
                  item.BitsPerPixel, tolerate);
  corrupted = corrupted || damaged;
  return out;
}

void EncodeDib(std::string_view bmp, TGifItemData& item, TGifFrameState& st, TGifPictureData* data,
               TGifScreen* screen, const TGifProgressHandler& progress) {
  const TGifDib dib = ParseDib(bmp);
  Geometry(dib.Width);
  Geometry(dib.Height);
  st.Interlaced = false;
  TGifColorTable table;
  DibPaletteToTable(table, dib.Palette.data(), static_cast<int>(dib.Palette.size() / 4));
  zf::TMemoryStream code;
  EncodeGifRaster(code, {dib.Width, dib.Height, dib.Bits}, false, progress, dib.Pixels);
  item.Encoded = code.Bytes();
  item.Table = table;
  item.BitsPerPixel = static_cast<uint8_t>(BitsForCount(table.Count));
  if (data && data->GlobalTable.Count > 0) {
    st.LocalTable = true;
  } else {
    st.LocalTable = false;
    if (data) {
      data->GlobalTable = table;
      data->BitsPerPixel = item.BitsPerPixel;
    }
  }
  item.Width = dib.Width;
  item.Height = dib.Height;
  if (screen) {
    screen->Width = static_cast<int32_t>(std::max<int64_t>(screen->Width, int64_t{dib.Width} + st.Left));
    screen->Height = static_cast<int32_t>(std::max<int64_t>(screen->Height, int64_t{dib.Height} + st.Top));
  }
}

}  // namespace pictures
