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

// The reader's per-code fields, held in locals of the decoding loops: output
// bytes are stored through uint8_t pointers, which may alias anything, so
// fields left in the reader would be reloaded after every pixel. Store() hands
// them back.
class TCodeBits {
public:
  TCodeBits(zf::TStream& source, TGifCodeReader& r)
      : FSource(source),
        FReader(r),
        FBitPos(r.BitPos),
        FBitsHeld(static_cast<uint32_t>(r.BitsHeld)),
        FWidth(static_cast<uint32_t>(r.CodeWidth)),
        FMask(static_cast<uint32_t>(r.ReadMask)) {}

  [[gnu::always_inline]] uint16_t Next() {
    if (FBitPos + FWidth > FBitsHeld) {
      Store();
      FBitsHeld = Refill(FSource, FReader);
      FBitPos = FReader.BitPos;
      if (FBitPos + FWidth > FBitsHeld) return GifCodesExhausted;
    }
    // The buffer holds at most 2 carried bytes and one sub-block, so a code
    // starts at byte 256 at the latest and four bytes from there are inside.
    const uint8_t* b = FReader.Buffer + FBitPos / 8;
    const uint32_t raw = b[0] | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
                         (static_cast<uint32_t>(b[3]) << 24);
    const uint16_t code = static_cast<uint16_t>((raw >> (FBitPos % 8)) & FMask);
    FBitPos += FWidth;
    return code;
  }
  uint32_t Width() const { return FWidth; }
  void SetWidth(uint32_t width) {
    FWidth = width;
    FMask = (1u << width) - 1;
  }
  // The stream's position after the sub-blocks fetched so far.
  int64_t Position() const { return FReader.Position; }
  void Store() {
    FReader.BitPos = FBitPos;
    FReader.CodeWidth = static_cast<int32_t>(FWidth);
    FReader.ReadMask = static_cast<int32_t>(FMask);
  }

private:
  // Once per sub-block, out of the decoding loops; static so that the object's
  // address stays unknown to the code outside them. Gives the bits held.
  [[gnu::noinline]] static uint32_t Refill(zf::TStream& source, TGifCodeReader& r) {
    RefillCodeReader(source, r);
    return static_cast<uint32_t>(r.BitsHeld);
  }

  zf::TStream& FSource;
  TGifCodeReader& FReader;
  uint32_t FBitPos, FBitsHeld, FWidth, FMask;
};

}  // namespace

uint16_t ReadGifCode(zf::TStream& source, TGifCodeReader& r) {
  TCodeBits bits(source, r);
  const uint16_t code = bits.Next();
  bits.Store();
  return code;
}

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

// Fixed codes of one code stream.
struct TLzwCodes {
  uint32_t PixelMask;  // the frame's largest index
  uint32_t Clear, End, FirstFree;
  uint32_t InitialWidth;
};

// Where decoding stands between two codes; the two decoding loops hand it on.
struct TLzwState {
  uint16_t Code = 0;  // read, not decoded yet
  uint16_t Previous = 0;
  uint8_t FirstIndex = 0;  // first index of the previous code's string
  // Data that does not open with a clear code starts as if it did: the first
  // literal defines no table entry.
  bool StartOfTable = true;
  uint32_t NextFree = 0, Limit = 0;  // a full table has next free 4096
};

// Several clear codes in a row are one reset; gives the code after them.
// Inlined so that the decoding loops keep their state in registers.
[[gnu::always_inline]] inline uint16_t ResetTable(TCodeBits& bits, const TLzwCodes& k, uint32_t& nextFree,
                                                  uint32_t& limit) {
  uint16_t code;
  do {
    bits.SetWidth(k.InitialWidth);
    limit = 1u << k.InitialWidth;
    nextFree = k.FirstFree;
    code = bits.Next();
  } while (code == k.Clear);
  return code;
}

// Counts the entry just defined. At 12 bits the table stays full until a clear code.
[[gnu::always_inline]] inline void GrowTable(TCodeBits& bits, uint32_t& nextFree, uint32_t& limit) {
  if (++nextFree >= limit) {
    if (bits.Width() < static_cast<uint32_t>(GifMaxCodeWidth)) {
      bits.SetWidth(bits.Width() + 1);
      limit <<= 1;
    } else {
      nextFree = limit;
    }
  }
}

// Progress after every code: how far into the frame's code stream the reader is.
class TRunningReport {
public:
  TRunningReport(const TGifProgressHandler& progress, int64_t streamSize)
      : On(progress && streamSize > 0), FProgress(progress), FStreamSize(streamSize) {}
  const bool On;
  void operator()(int64_t position) const {
    Report(FProgress, TGifProgressStage::psRunning, static_cast<uint8_t>(position * 100 / FStreamSize),
           std::string());
  }

private:
  const TGifProgressHandler& FProgress;
  const int64_t FStreamSize;
};

// Indices decoded in stream order, one byte each, before they are packed into
// the pixel array. A string is copied from where it was written before: an
// entry is the place and length of its first occurrence (the previous string
// followed by the first index of the next one lies there already).
struct TLinearOutput {
  // Only bytes already written are ever read: no need to clear it first.
  std::unique_ptr<uint8_t[]> Buf;
  size_t End = 0;  // first byte beyond the raster

  // Slack beyond the raster takes the end of the last string and short copies' excess.
  explicit TLinearOutput(size_t pixels)
      : Buf(std::make_unique_for_overwrite<uint8_t[]>(pixels + 2 * kStackSize)), End(pixels) {}
};

// Copies the `len` bytes at `from` to `to`, further on and not overlapping.
inline void CopyString(uint8_t* buf, size_t from, size_t to, size_t len) {
  if (len <= 16 && from + 16 <= to)
    std::memcpy(buf + to, buf + from, 16);
  else
    std::memmove(buf + to, buf + from, len);
}

// A table entry of the linear decoder: where its string lies in the output,
// its length and its prefix code; its suffix is the string's last index.
struct TEntry {
  uint32_t At;
  uint16_t Length;
  uint16_t Prefix;
};

// The common shape of code stream, decoded into `out` from its start: every
// literal a valid index and every string code defined already or the one being
// defined. Stops at the first code of any other shape, leaving it in `state`
// for the stack decoder; entries at or above `highWater` were never assigned.
// `entries` has one spare entry, which a full table writes to and never reads.
// Gives the number of indices written.
template <bool Reporting>
[[gnu::noinline]] size_t DecodeLinear(zf::TStream& source, TGifCodeReader& reader, const TLzwCodes& k,
                                      const TRunningReport& report, TLzwState& state, TLinearOutput& out,
                                      TEntry* entries, uint32_t& highWater) {
  // The loop's state lives in locals only (see TCodeBits); nothing it keeps
  // across codes is derived when it can be: the previous string ends where the
  // current one starts, a table is full when next free is 4096.
  TCodeBits bits(source, reader);
  const uint32_t clear = k.Clear, pixelMask = k.PixelMask, firstFree = k.FirstFree;
  uint8_t* const buf = out.Buf.get();
  const size_t end = out.End;
  size_t pos = 0;
  size_t prevAt = 0;  // where the previous code's string starts
  uint32_t code = state.Code, previous = state.Previous;
  uint32_t nextFree = state.NextFree, limit = state.Limit;
  uint32_t high = highWater;
  bool opening = state.StartOfTable;
  for (;;) {
    // The first code of a table, after clear codes or opening the data: one
    // pixel and no entry.
    if (code == clear || opening) {
      if (code == clear) {
        high = std::max(high, nextFree);
        code = ResetTable(bits, k, nextFree, limit);
        if (code == k.End || code == GifCodesExhausted) break;
      } else if (code >= clear) {
        break;  // a string before any was defined
      }
      opening = false;
      previous = code;
      prevAt = pos;
      buf[pos++] = static_cast<uint8_t>(code & pixelMask);
      code = bits.Next();
      if constexpr (Reporting) report(bits.Position());
      // A code that is no index writes one pixel here but stands for another string later.
      if (previous > pixelMask || previous >= clear) break;
    }
    while (pos < end) {
      const size_t start = pos;
      if (code < clear) {
        if (code > pixelMask) break;
        buf[pos++] = static_cast<uint8_t>(code);
      } else if (code - firstFree < nextFree - firstFree) {
        const TEntry e = entries[code];
        CopyString(buf, e.At, pos, e.Length);
        pos += e.Length;
      } else if (code == nextFree) {
        CopyString(buf, prevAt, pos, start - prevAt);
        pos += start - prevAt;
        buf[pos++] = buf[prevAt];
      } else {
        break;  // a clear or end code, the end of the data, a code beyond the table
      }
      entries[nextFree] = {static_cast<uint32_t>(prevAt), static_cast<uint16_t>(start - prevAt + 1),
                           static_cast<uint16_t>(previous)};
      GrowTable(bits, nextFree, limit);
      previous = code;
      prevAt = start;
      code = bits.Next();
      if constexpr (Reporting) report(bits.Position());
    }
    if (pos >= end || code != clear) break;
  }
  bits.Store();
  state.Code = static_cast<uint16_t>(code);
  state.Previous = static_cast<uint16_t>(previous);
  if (pos > 0) state.FirstIndex = buf[prevAt];
  state.StartOfTable = opening;
  state.NextFree = nextFree;
  state.Limit = limit;
  highWater = std::max(high, nextFree);
  return pos;
}

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

// Any code stream, one code at a time through the prefix and suffix tables onto
// the raster. False when a string overflowed the stack and `tolerate` let it pass.
bool DecodeStacked(zf::TStream& source, TGifCodeReader& reader, const TLzwCodes& k, const TRunningReport& report,
                   TLzwState& s, TGifRasterCursor& cursor, uint16_t* prefix, uint16_t* suffix, uint16_t* stack,
                   bool tolerate) {
  TCodeBits bits(source, reader);
  while (s.Code != k.End && s.Code != GifCodesExhausted && cursor.Row < cursor.Height) {
    uint32_t code = s.Code;
    if (s.StartOfTable && code < k.Clear) {
      s.Previous = static_cast<uint16_t>(code);
      s.FirstIndex = static_cast<uint8_t>(code & k.PixelMask);
      PutPixel(s.FirstIndex, cursor);
    } else if (code == k.Clear) {
      // An end code right after a clear code ends the raster like anywhere else.
      s.Code = ResetTable(bits, k, s.NextFree, s.Limit);
      if (s.Code == k.End || s.Code == GifCodesExhausted) break;
      s.Previous = s.Code;
      s.FirstIndex = static_cast<uint8_t>(s.Code & k.PixelMask);
      PutPixel(s.FirstIndex, cursor);
    } else {
      size_t sp = 0;
      if (code >= s.NextFree) {
        stack[sp++] = s.FirstIndex;
        code = s.Previous;
      }
      // Table codes start above the end code whatever the frame's bits: a
      // code size below them (a 256-entry table whose image uses only a few
      // entries) still has its strings at clear + 2 and above. Codes between
      // the frame's last index and the clear code expand through the
      // never-assigned entries below the clear code.
      // Only a table corrupted into a cycle makes a string longer than the stack.
      while ((code >= k.FirstFree || code > k.PixelMask) && sp < kStackSize) {
        stack[sp++] = suffix[code];
        code = prefix[code];
      }
      if (sp >= kStackSize) {
        bits.Store();
        if (!tolerate) Raise(SGIFDecodeError);
        return false;
      }
      s.FirstIndex = static_cast<uint8_t>(code & k.PixelMask);
      stack[sp++] = s.FirstIndex;
      while (sp > 0) PutPixel(static_cast<uint8_t>(stack[--sp]), cursor);
      if (s.NextFree < kTableSize) {
        prefix[s.NextFree] = s.Previous;
        suffix[s.NextFree] = s.FirstIndex;
        GrowTable(bits, s.NextFree, s.Limit);
      }
      s.Previous = s.Code;
    }
    s.StartOfTable = false;
    s.Code = bits.Next();
    if (report.On) report(bits.Position());
  }
  bits.Store();
  return true;
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
    const uint32_t clear = 1u << size;
    const TLzwCodes k{(1u << frameBits) - 1, clear, clear + 1, clear + 2, size + 1u};
    TGifCodeReader reader(source, static_cast<int32_t>(k.InitialWidth));
    const TRunningReport report(progress, reader.Position + reader.Remaining);
    TLzwState s;
    s.NextFree = k.FirstFree;
    s.Limit = 1u << k.InitialWidth;
    s.Code = ReadGifCode(source, reader);

    // The common shape first; anything else goes on in the stack decoder.
    const size_t total = static_cast<size_t>(cursor.Row < cursor.Height ? cursor.Width : 0) *
                         static_cast<size_t>(cursor.Height);
    if (total > 0) {
      TLinearOutput out(total);
      std::vector<TEntry> entries(kTableSize + 1);
      uint32_t highWater = k.FirstFree;
      const size_t decoded = report.On ? DecodeLinear<true>(source, reader, k, report, s, out, entries.data(), highWater)
                                       : DecodeLinear<false>(source, reader, k, report, s, out, entries.data(), highWater);
      PackRows(out, std::min(decoded, out.End), cursor);
      // The stack decoder works on the prefix and suffix tables, which keep what
      // earlier tables (before a clear code) left above the current one too.
      for (uint32_t e = k.FirstFree; e < highWater; ++e) {
        prefix[e] = entries[e].Prefix;
        suffix[e] = out.Buf[entries[e].At + entries[e].Length - 1u];
      }
    }
    if (!DecodeStacked(source, reader, k, report, s, cursor, prefix.data(), suffix.data(), stack.data(), tolerate)) {
      corrupted = true;
      return;
    }
    // Data that runs out before the last row: tolerated, the rows not reached
    // keep index 0 and the frame is marked corrupted.
    if (s.Code == GifCodesExhausted && cursor.Row < cursor.Height) {
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

// The string table of 8-bit arrays: open addressing with linear probing over
// 16,384 slots, hashed from the prefix code and the index. Holding at most 4094
// strings it stays three quarters empty, so a probe seldom goes past its first
// slot (the probes, more than the table's cache footprint, set the pace).
class THashTable {
public:
  THashTable() : FSlots(kSlots) {}
  // The code of prefix + index, or 0 (then Add stores it where the probe ended).
  uint16_t Find(uint16_t prefix, uint8_t index) {
    const uint32_t key = SlotKey(MakeSlot(prefix, index, 0));
    FSlot = (key * 0x9E3779B1u) >> (32 - kSlotBits);
    while (FSlots[FSlot] != 0 && SlotKey(FSlots[FSlot]) != key) FSlot = (FSlot + 1) & (kSlots - 1);
    return SlotCode(FSlots[FSlot]);
  }
  void Add(uint16_t prefix, uint8_t index, uint16_t code) { FSlots[FSlot] = MakeSlot(prefix, index, code); }
  void Clear() { std::fill(FSlots.begin(), FSlots.end(), 0u); }

private:
  static constexpr uint32_t kSlotBits = 14, kSlots = 1u << kSlotBits;  // 64 KB
  std::vector<uint32_t> FSlots;
  uint32_t FSlot = 0;
};

// The string table of 1- and 4-bit arrays: a code's extensions by index in a
// direct array (4096 x 16 entries at most). Both tables hold the same strings,
// so the codes written are the same.
template <int Bits>
class TDirectTable {
public:
  TDirectTable() : FNext(static_cast<size_t>(kTableSize) << Bits) {}
  uint16_t Find(uint16_t prefix, uint8_t index) {
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
        continue;
      }
      if (const uint16_t found = table.Find(prefix, index)) {
        prefix = found;
        continue;
      }
      PutGifCode(dest, prefix, writer);
      ++lastAssigned;
      table.Add(prefix, index, lastAssigned);
      prefix = index;
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
