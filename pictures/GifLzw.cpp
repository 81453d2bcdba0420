#include "GifLzw.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace pictures {

uint8_t TolerateCorruptGif = 1;

namespace {

constexpr int kTableSize = 4096;
constexpr int kStackSize = kTableSize + 1;
constexpr uint32_t kHashSlots = 17777;
constexpr uint16_t kLastEncoderCode = 4094;

[[noreturn]] void Raise(const char* message) { throw zf::EInvalidGraphicOperation(message); }

void Report(const TGifProgressHandler& progress, TGifProgressStage stage, uint8_t percent,
            const std::string& message) {
  if (progress) progress(stage, percent, message);
}

// Runs `body` between the starting and ending reports; the ending report carries
// the message of whatever exception passes.
template <class Body>
void WithProgress(const TGifProgressHandler& progress, Body&& body) {
  static const std::string none;
  try {
    body();
  } catch (const zf::Exception& e) {
    Report(progress, TGifProgressStage::psEnding, 0, e.Message());
    throw;
  } catch (const std::exception& e) {
    Report(progress, TGifProgressStage::psEnding, 0, e.what());
    throw;
  }
  Report(progress, TGifProgressStage::psEnding, 100, none);
}

// Checks an array header and its pixel block; `error` is the caller's text.
int64_t CheckRaster(const TGifRasterInfo& info, size_t available, const char* error) {
  if (info.PixelBits != 1 && info.PixelBits != 4 && info.PixelBits != 8) Raise(error);
  if (info.Width < 0 || info.Height < 0) Raise(error);
  const int64_t stride = GifRasterStride(info.Width, info.PixelBits);
  if (static_cast<uint64_t>(stride) * static_cast<uint64_t>(info.Height) > available) Raise(error);
  return stride;
}

}  // namespace

int64_t GifRasterStride(int32_t width, int32_t pixelBits) {
  return ((static_cast<int64_t>(width) * pixelBits + 31) / 32) * 4;
}

// --- code reader ------------------------------------------------------------

TGifCodeReader::TGifCodeReader(zf::TStream& source, int32_t codeWidth) {
  SetCodeWidth(codeWidth);
  Position = source.Position();
  Remaining = std::max<int64_t>(0, source.Size() - Position);
}

namespace {

// Sub-blocks are fetched rarely; the common path stays small enough to inline.
void RefillCodeReader(zf::TStream& source, TGifCodeReader& r) {
  while (r.BitPos + r.CodeWidth > static_cast<uint32_t>(r.BitsHeld) && r.Remaining > 0) {
    // Keep the unread tail (at most 2 bytes, since a code is at most 12 bits)
    // and append the next sub-block after it.
    const uint32_t drop = r.BitPos / 8;
    std::memmove(r.Buffer, r.Buffer + drop, 3);
    r.BitPos %= 8;
    r.BitsHeld -= static_cast<int32_t>(8 * drop);
    uint8_t count = 0;
    const int64_t got = source.Read(&count, 1);
    r.Position += got;
    r.Remaining -= 1;
    if (got != 1) {
      r.Remaining = 0;
      break;
    }
    if (count > 0) {
      // A sub-block cut short by the end of the data adds only what is there.
      const int64_t n = source.Read(r.Buffer + r.BitsHeld / 8, count);
      r.Position += n;
      r.Remaining = n == count ? r.Remaining - n : 0;
      r.BitsHeld += static_cast<int32_t>(8 * n);
    }
  }
}

inline uint16_t NextCode(zf::TStream& source, TGifCodeReader& r) {
  if (r.BitPos + r.CodeWidth > static_cast<uint32_t>(r.BitsHeld)) {
    RefillCodeReader(source, r);
    if (r.BitPos + r.CodeWidth > static_cast<uint32_t>(r.BitsHeld)) return GifCodesExhausted;
  }
  const uint32_t i = r.BitPos / 8;
  uint32_t raw = r.Buffer[i] | (static_cast<uint32_t>(r.Buffer[i + 1]) << 8);
  if (r.CodeWidth > 8) raw |= static_cast<uint32_t>(r.Buffer[i + 2]) << 16;
  const uint32_t shift = r.BitPos % 8;
  r.BitPos += static_cast<uint32_t>(r.CodeWidth);
  return static_cast<uint16_t>((raw >> shift) & static_cast<uint32_t>(r.ReadMask));
}

}  // namespace

uint16_t ReadGifCode(zf::TStream& source, TGifCodeReader& r) { return NextCode(source, r); }

// --- raster cursor ----------------------------------------------------------

TGifRasterCursor::TGifRasterCursor(const TGifRasterInfo& info, bool interlaced, std::span<uint8_t> pixels)
    : Width(info.Width),
      Height(info.Height),
      PixelBits(info.PixelBits),
      Interlaced(interlaced),
      Stride(CheckRaster(info, pixels.size(), SGIFWrongColors)),
      Base(pixels) {
  // A raster without columns has no pixels: it is complete from the start.
  if (Width == 0) Row = Height;
  if (Row < Height) CurrentRow = static_cast<size_t>((Height - 1) * Stride);
}

int32_t NextInterlacedRow(int32_t row, int32_t height, int32_t& pass) {
  const int32_t step = pass <= 1 ? 8 : pass == 2 ? 4 : 2;
  if (row + step < height) return row + step;
  switch (pass) {
    case 0:
      pass = 1;
      if (height > 4) return 4;
      [[fallthrough]];
    case 1:
      pass = 2;
      if (height > 2) return 2;
      [[fallthrough]];
    case 2:
      pass = 3;
      return 1;
    default:
      return row + step;
  }
}

namespace {

inline void PutPixel(uint8_t index, TGifRasterCursor& c) {
  if (c.Row >= c.Height) return;
  uint8_t* line = c.Base.data() + c.CurrentRow;
  const int32_t col = c.Column;
  switch (c.PixelBits) {
    case 1: {
      const int bit = 7 - (col & 7);
      uint8_t& b = line[col >> 3];
      const uint8_t v = static_cast<uint8_t>((index & 1) << bit);
      b = (col & 7) == 0 ? v : static_cast<uint8_t>(b | v);
      break;
    }
    case 4: {
      uint8_t& b = line[col >> 1];
      b = (col & 1) == 0 ? static_cast<uint8_t>(index << 4) : static_cast<uint8_t>(b | (index & 0x0F));
      break;
    }
    default:
      line[col] = index;
      break;
  }
  if (++c.Column >= c.Width) {
    c.Column = 0;
    c.Row = c.Interlaced ? NextInterlacedRow(c.Row, c.Height, c.Pass) : c.Row + 1;
    if (c.Row < c.Height) c.CurrentRow = static_cast<size_t>((c.Height - c.Row - 1) * c.Stride);
  }
}

}  // namespace

void PutRasterPixel(uint8_t index, TGifRasterCursor& c) { PutPixel(index, c); }

// --- decoder ----------------------------------------------------------------

namespace {

// Indices decoded in stream order, one byte each, before they are packed into
// the pixel array. A string is copied from where it was written before: an
// entry is the place and length of its first occurrence (the previous string
// followed by the first index of the next one lies there already).
struct TLinearOutput {
  // Only bytes already written are ever read: no need to clear it first.
  std::unique_ptr<uint8_t[]> Buf;
  size_t Pos = 0;  // next byte to write
  size_t End = 0;  // first byte beyond the raster

  // Slack beyond the raster takes the end of the last string and short copies' excess.
  explicit TLinearOutput(size_t pixels)
      : Buf(std::make_unique_for_overwrite<uint8_t[]>(pixels + 2 * kStackSize)), End(pixels) {}
  // Copies `len` bytes from `from` (earlier, not overlapping) to the end.
  void Copy(size_t from, size_t len) {
    uint8_t* d = Buf.get() + Pos;
    const uint8_t* src = Buf.get() + from;
    if (len <= 16 && from + 16 <= Pos)
      std::memcpy(d, src, 16);
    else
      std::memmove(d, src, len);
    Pos += len;
  }
};

// Packs the first `count` decoded indices (stream order) into the bottom-up array.
void PackRows(const TLinearOutput& out, size_t count, TGifRasterCursor& c) {
  const uint8_t* src = out.Buf.get();
  while (count > 0 && c.Row < c.Height) {
    uint8_t* line = c.Base.data() + c.CurrentRow;
    const size_t n = std::min<size_t>(count, static_cast<size_t>(c.Width));
    switch (c.PixelBits) {
      case 8:
        std::memcpy(line, src, n);
        break;
      case 4:
        for (size_t x = 0; x < n; ++x)
          line[x >> 1] = static_cast<uint8_t>((x & 1) ? (line[x >> 1] | (src[x] & 0x0F)) : (src[x] << 4));
        break;
      default:
        for (size_t x = 0; x < n; ++x) {
          const int bit = 7 - static_cast<int>(x & 7);
          const uint8_t v = static_cast<uint8_t>((src[x] & 1) << bit);
          line[x >> 3] = (x & 7) == 0 ? v : static_cast<uint8_t>(line[x >> 3] | v);
        }
        break;
    }
    src += n;
    count -= n;
    if (n < static_cast<size_t>(c.Width)) {
      c.Column = static_cast<int32_t>(n);
      break;
    }
    c.Column = 0;
    c.Row = c.Interlaced ? NextInterlacedRow(c.Row, c.Height, c.Pass) : c.Row + 1;
    if (c.Row < c.Height) c.CurrentRow = static_cast<size_t>((c.Height - c.Row - 1) * c.Stride);
  }
}

}  // namespace

void DecodeGifRaster(zf::TStream& source, const TGifRasterInfo& info, bool interlaced,
                     const TGifProgressHandler& progress, bool& corrupted, std::span<uint8_t> pixels,
                     int32_t frameBits, bool tolerate) {
  corrupted = false;
  std::vector<uint16_t> prefix(kTableSize), suffix(kTableSize), stack(kStackSize);
  WithProgress(progress, [&] {
    Report(progress, TGifProgressStage::psStarting, 0, std::string());
    if (frameBits < 1 || frameBits > info.PixelBits) Raise(SGIFWrongColors);
    TGifRasterCursor cursor(info, interlaced, pixels);

    uint8_t size = 0;
    source.ReadBuffer(&size, 1);
    if (size < 2 || size > 9) {
      if (!tolerate) Raise(SGIFCodeSize);
      corrupted = true;
      size = std::clamp<uint8_t>(size, 2, 9);
    }
    const int32_t initialWidth = size + 1;
    TGifCodeReader reader(source, initialWidth);
    const int64_t streamSize = reader.Position + reader.Remaining;

    const uint32_t pixelMask = (1u << frameBits) - 1;
    const uint16_t clearCode = static_cast<uint16_t>(1u << size);
    const uint16_t endCode = clearCode + 1;
    const uint32_t firstFree = clearCode + 2u;
    uint32_t nextFree = firstFree;
    uint32_t limit = 1u << initialWidth;
    uint16_t previous = 0;
    uint8_t firstIndex = 0;
    bool tableFull = false;
    const bool reporting = progress && streamSize > 0;
    auto reportRunning = [&] {
      if (reporting)
        Report(progress, TGifProgressStage::psRunning,
               static_cast<uint8_t>(reader.Position * 100 / streamSize), std::string());
    };
    auto grow = [&] {
      if (++nextFree >= limit) {
        if (reader.CodeWidth >= GifMaxCodeWidth) {
          tableFull = true;
        } else {
          reader.SetCodeWidth(reader.CodeWidth + 1);
          limit <<= 1;
        }
      }
    };

    // Several clear codes in a row are one reset; the code after them.
    auto ClearTable = [&] {
      uint16_t next;
      do {
        reader.SetCodeWidth(initialWidth);
        limit = 1u << initialWidth;
        nextFree = firstFree;
        tableFull = false;
        next = NextCode(source, reader);
      } while (next == clearCode);
      return next;
    };

    uint16_t code = NextCode(source, reader);
    // Data that does not open with a clear code starts as if it did: the first
    // literal defines no table entry.
    bool startOfTable = true;

    // The common shape first: every literal a valid index and every string
    // code already defined (or the one being defined). Anything else goes on
    // below, one code at a time as the stack decoder does it.
    const size_t total = static_cast<size_t>(cursor.Row < cursor.Height ? cursor.Width : 0) *
                         static_cast<size_t>(cursor.Height);
    if (total > 0) {
      TLinearOutput out(total);
      // Where each entry's string lies in `out`, its length and its prefix code;
      // its suffix is the string's last index.
      struct TEntry {
        uint32_t At;
        uint16_t Length;
        uint16_t Prefix;
      };
      std::vector<TEntry> entries(kTableSize);
      uint32_t highWater = firstFree;  // entries below were assigned at some time
      size_t prevAt = 0, prevLen = 0;
      bool fast = true;
      while (fast && code != endCode && code != GifCodesExhausted && out.Pos < out.End) {
        const size_t start = out.Pos;
        if (code == clearCode || startOfTable) {
          if (code == clearCode) {
            code = ClearTable();
            if (code == endCode || code == GifCodesExhausted) break;
          } else if (code >= clearCode) {
            break;  // a string before any was defined
          }
          // The first code of a table: one pixel, no entry.
          previous = code;
          firstIndex = static_cast<uint8_t>(code & pixelMask);
          out.Buf[out.Pos++] = firstIndex;
          prevAt = start;
          prevLen = 1;
          // A code that is no index writes one pixel here but stands for another string later.
          if (code > pixelMask || code >= clearCode) fast = false;
        } else {
          if (code < clearCode) {
            if (code > pixelMask) break;
            out.Buf[out.Pos++] = static_cast<uint8_t>(code);
          } else if (code < nextFree) {
            out.Copy(entries[code].At, entries[code].Length);
          } else if (code == nextFree) {
            out.Copy(prevAt, prevLen);
            out.Buf[out.Pos++] = out.Buf[prevAt];
          } else {
            break;
          }
          firstIndex = out.Buf[start];
          if (!tableFull) {
            entries[nextFree] = {static_cast<uint32_t>(prevAt), static_cast<uint16_t>(prevLen + 1), previous};
            grow();
            highWater = std::max(highWater, std::min<uint32_t>(nextFree, kTableSize));
          }
          previous = code;
          prevAt = start;
          prevLen = out.Pos - start;
        }
        startOfTable = false;
        code = NextCode(source, reader);
        reportRunning();
      }
      PackRows(out, std::min(out.Pos, out.End), cursor);
      // Whatever follows works on the prefix and suffix tables, which keep what
      // earlier tables (before a clear code) left above the current one too.
      for (uint32_t k = firstFree; k < highWater; ++k) {
        prefix[k] = entries[k].Prefix;
        suffix[k] = out.Buf[entries[k].At + entries[k].Length - 1u];
      }
    }

    while (code != endCode && code != GifCodesExhausted && cursor.Row < cursor.Height) {
      if (startOfTable && code < clearCode) {
        previous = code;
        firstIndex = static_cast<uint8_t>(code & pixelMask);
        PutPixel(firstIndex, cursor);
      } else if (code == clearCode) {
        // An end code right after a clear code ends the raster like anywhere else.
        code = ClearTable();
        if (code == endCode || code == GifCodesExhausted) break;
        previous = code;
        firstIndex = static_cast<uint8_t>(code & pixelMask);
        PutPixel(firstIndex, cursor);
      } else {
        const uint16_t incoming = code;
        size_t sp = 0;
        if (code >= nextFree) {
          stack[sp++] = firstIndex;
          code = previous;
        }
        // Table codes start above the end code whatever the frame's bits: a
        // code size below them (a 256-entry table whose image uses only a few
        // entries) still has its strings at clear + 2 and above. Codes between
        // the frame's last index and the clear code expand through the
        // never-assigned entries below the clear code.
        // Only a table corrupted into a cycle makes a string longer than the stack.
        while ((code >= firstFree || code > pixelMask) && sp < kStackSize) {
          stack[sp++] = suffix[code];
          code = prefix[code];
        }
        if (sp >= kStackSize) {
          if (!tolerate) Raise(SGIFDecodeError);
          corrupted = true;
          return;
        }
        firstIndex = static_cast<uint8_t>(code & pixelMask);
        stack[sp++] = firstIndex;
        while (sp > 0) PutPixel(static_cast<uint8_t>(stack[--sp]), cursor);
        if (!tableFull) {
          prefix[nextFree] = previous;
          suffix[nextFree] = firstIndex;
          grow();
        }
        previous = incoming;
      }
      startOfTable = false;
      code = NextCode(source, reader);
      reportRunning();
    }
    // Data that runs out before the last row: tolerated, the rows not reached
    // keep index 0 and the frame is marked corrupted.
    if (code == GifCodesExhausted && cursor.Row < cursor.Height) {
      if (!tolerate) Raise(SGIFReadError);
      corrupted = true;
    }
  });
}

// --- code writer ------------------------------------------------------------

void PutGifCode(zf::TStream& dest, uint16_t code, TGifCodeWriter& w) {
  const uint32_t shifted = static_cast<uint32_t>(code) << (w.BitPos % 8);
  const uint32_t i = w.BitPos / 8;
  w.Buffer[i] |= static_cast<uint8_t>(shifted);
  w.Buffer[i + 1] = static_cast<uint8_t>(shifted >> 8);
  w.Buffer[i + 2] = static_cast<uint8_t>(shifted >> 16);
  w.BitPos += static_cast<uint32_t>(w.CodeWidth);
  if (w.BitPos >= 255 * 8) {
    std::array<uint8_t, 256> block;
    block[0] = 255;
    std::memcpy(block.data() + 1, w.Buffer, 255);
    dest.WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
    w.Buffer[0] = w.Buffer[255];
    w.Buffer[1] = w.Buffer[256];
    std::memset(w.Buffer + 2, 0, 255);
    w.BitPos -= 255 * 8;
  }
}

void FlushGifCodes(zf::TStream& dest, TGifCodeWriter& w) {
  const uint32_t n = (w.BitPos + 7) / 8;
  if (n > 0) {
    std::array<uint8_t, 256> block;
    block[0] = static_cast<uint8_t>(n);
    std::memcpy(block.data() + 1, w.Buffer, n);
    dest.WriteBuffer(block.data(), n + 1);
  }
  const uint8_t terminator = 0;
  dest.WriteBuffer(&terminator, 1);
}

// --- encoder ----------------------------------------------------------------

namespace {

// One string table entry kept in its hash slot, so that a probe is a single load:
// prefix code (12 bits), suffix index (8 bits), code (12 bits). Codes start above
// the end code, so 0 marks an empty slot.
constexpr uint32_t MakeSlot(uint32_t prefixCode, uint32_t suffix, uint32_t code) {
  return (prefixCode << 20) | (suffix << 12) | code;
}
constexpr uint32_t SlotKey(uint32_t slot) { return slot >> 12; }
constexpr uint16_t SlotCode(uint32_t slot) { return static_cast<uint16_t>(slot & 0xFFF); }

// The string table of 8-bit arrays: open addressing over 17,777 slots, probed
// from a hash of the string's indices and length.
class THashTable {
public:
  THashTable() : FSlots(kHashSlots) {}
  void Start(uint8_t index) { FHash = StartStringHash(index); }
  // The code of prefix + index, or 0 (then Add stores it where the probe ended).
  uint16_t Find(uint16_t prefix, uint8_t index, uint16_t length) {
    FHash = ((index + length + 4u) * FHash) % kHashSlots;
    const uint32_t key = SlotKey(MakeSlot(prefix, index, 0));
    FSlot = FHash;
    while (FSlots[FSlot] != 0 && SlotKey(FSlots[FSlot]) != key) FSlot = FSlot + 1 == kHashSlots ? 0 : FSlot + 1;
    return FSlots[FSlot] != 0 ? SlotCode(FSlots[FSlot]) : 0;
  }
  void Add(uint16_t prefix, uint8_t index, uint16_t code) { FSlots[FSlot] = MakeSlot(prefix, index, code); }
  void Clear() { std::fill(FSlots.begin(), FSlots.end(), 0u); }

private:
  std::vector<uint32_t> FSlots;
  uint32_t FHash = 0, FSlot = 0;
};

// The string table of 1- and 4-bit arrays: a code's extensions by index in a
// direct array (4096 x 16 entries at most). Both tables hold the same strings,
// so the codes written are the same.
template <int Bits>
class TDirectTable {
public:
  TDirectTable() : FNext(static_cast<size_t>(kTableSize) << Bits) {}
  void Start(uint8_t) {}
  uint16_t Find(uint16_t prefix, uint8_t index, uint16_t) {
    FSlot = (static_cast<size_t>(prefix) << Bits) | index;
    return FNext[FSlot];
  }
  void Add(uint16_t, uint8_t, uint16_t code) { FNext[FSlot] = code; }
  void Clear() { std::fill(FNext.begin(), FNext.end(), uint16_t{0}); }

private:
  std::vector<uint16_t> FNext;
  size_t FSlot = 0;
};

template <int Bits>
inline uint8_t IndexAt(const uint8_t* row, int32_t col) {
  if constexpr (Bits == 8) return row[col];
  if constexpr (Bits == 4) return (col & 1) ? (row[col >> 1] & 0x0F) : (row[col >> 1] >> 4);
  return (row[col >> 3] >> (7 - (col & 7))) & 1;
}

template <int Bits, class Table>
void EncodeRows(zf::TStream& dest, const TGifRasterInfo& info, bool interlaced, const TGifProgressHandler& progress,
                std::span<const uint8_t> pixels, int64_t stride) {
  Table table;
  const int32_t initialWidth = Bits == 1 ? 3 : Bits + 1;
  const uint8_t sizeByte = static_cast<uint8_t>(initialWidth - 1);
  dest.WriteBuffer(&sizeByte, 1);

  const uint16_t clearCode = static_cast<uint16_t>(1u << (initialWidth - 1));
  const uint16_t endCode = clearCode + 1;
  uint16_t lastAssigned = endCode;
  uint32_t limit = 1u << initialWidth;
  uint16_t stringLength = 0;
  TGifCodeWriter writer;
  writer.CodeWidth = initialWidth;
  PutGifCode(dest, clearCode, writer);
  Report(progress, TGifProgressStage::psStarting, 0, std::string());

  uint16_t prefix = 0;
  int32_t row = 0, pass = 0;
  while (row < info.Height) {
    const uint8_t* p = pixels.data() + (info.Height - 1 - row) * stride;
    for (int32_t col = 0; col < info.Width; ++col) {
      const uint8_t index = IndexAt<Bits>(p, col);
      if (++stringLength == 1) {
        prefix = index;
        table.Start(index);
        continue;
      }
      if (const uint16_t found = table.Find(prefix, index, stringLength)) {
        prefix = found;
        continue;
      }
      PutGifCode(dest, prefix, writer);
      ++lastAssigned;
      table.Add(prefix, index, lastAssigned);
      prefix = index;
      table.Start(index);
      stringLength = 1;
      if (lastAssigned >= limit) {
        limit <<= 1;
        ++writer.CodeWidth;
      } else if (lastAssigned >= kLastEncoderCode) {
        // The pending one-index string goes out before the clear code, so
        // nothing is left over for the end.
        PutGifCode(dest, prefix, writer);
        PutGifCode(dest, clearCode, writer);
        stringLength = 0;
        lastAssigned = endCode;
        writer.CodeWidth = initialWidth;
        limit = 1u << initialWidth;
        table.Clear();
      }
    }
    row = interlaced ? NextInterlacedRow(row, info.Height, pass) : row + 1;
    if (progress)
      Report(progress, TGifProgressStage::psRunning,
             static_cast<uint8_t>(std::min<int64_t>(100, int64_t{row} * 100 / info.Height)), std::string());
  }
  // An empty raster still carries one code; after a reset at the very last
  // pixel there is no pending string to write.
  const bool anyPixel = info.Width > 0 && info.Height > 0;
  if (stringLength > 0 || !anyPixel) PutGifCode(dest, prefix, writer);
  PutGifCode(dest, endCode, writer);
  FlushGifCodes(dest, writer);
}

}  // namespace

void EncodeGifRaster(zf::TStream& dest, const TGifRasterInfo& info, bool interlaced,
                     const TGifProgressHandler& progress, std::span<const uint8_t> pixels) {
  const int64_t stride = CheckRaster(info, pixels.size(), SGIFEncodeError);
  WithProgress(progress, [&] {
    switch (info.PixelBits) {
      case 8: EncodeRows<8, THashTable>(dest, info, interlaced, progress, pixels, stride); break;
      case 4: EncodeRows<4, TDirectTable<4>>(dest, info, interlaced, progress, pixels, stride); break;
      default: EncodeRows<1, TDirectTable<1>>(dest, info, interlaced, progress, pixels, stride); break;
    }
  });
}

}  // namespace pictures
