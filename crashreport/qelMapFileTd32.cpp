// TD32 debug information into the map's tables.
#include <algorithm>
#include <cstring>
#include <set>

#include "qelMapFile.h"
#include "qelStrings.h"

namespace qel {

namespace {

// Bounded little-endian reads; anything outside the block reads as absent.
class TBlock {
public:
  explicit TBlock(std::string_view data) : FData(data) {}
  std::size_t Size() const { return FData.size(); }
  bool Has(std::size_t offset, std::size_t count) const {
    return offset <= FData.size() && count <= FData.size() - offset;
  }
  std::uint32_t U16(std::size_t offset) const { return Has(offset, 2) ? Le(offset, 2) : 0; }
  std::uint32_t U32(std::size_t offset) const { return Has(offset, 4) ? Le(offset, 4) : 0; }
  std::string_view Bytes(std::size_t offset, std::size_t count) const { return FData.substr(offset, count); }

private:
  std::uint32_t Le(std::size_t offset, int n) const {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(FData[offset + i]);
    return v;
  }
  std::string_view FData;
};

struct TSubsection {
  std::uint32_t kind;
  std::size_t offset;
  std::size_t size;
};

constexpr std::uint32_t kNames = 0x130, kModule = 0x120, kSourceModule = 0x127, kGlobalSymbols = 0x129,
                        kAlignedSymbols = 0x125;

// Every directory entry whose subsection lies inside the block; the chain of
// directories is followed once (a loop ends it).
std::vector<TSubsection> Subsections(const TBlock& b) {
  std::vector<TSubsection> out;
  std::set<std::uint32_t> seen;
  for (std::uint32_t dir = b.U32(4); dir != 0 && b.Has(dir, 12) && seen.insert(dir).second; dir = b.U32(dir + 8)) {
    const std::uint32_t headerSize = b.U16(dir), entrySize = b.U16(dir + 2);
    if (entrySize < 12) continue;
    const std::size_t first = std::size_t{dir} + headerSize;
    if (first > b.Size()) continue;
    const std::uint32_t count =
        static_cast<std::uint32_t>(std::min<std::size_t>(b.U32(dir + 4), (b.Size() - first) / entrySize));
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t e = first + std::size_t{i} * entrySize;
      const TSubsection s{b.U16(e), b.U32(e + 4), b.U32(e + 8)};
      if (b.Has(s.offset, s.size)) out.push_back(s);
    }
  }
  return out;
}

std::string WithoutPath(std::string name) {
  const std::size_t slash = name.rfind('\\');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return name;
}

}  // namespace

void TMapFile::MergeSegments(bool adjacent) {
  if (FSegments.empty()) return;
  // Where the last segments of each kind start, to find them again afterwards.
  const auto startOf = [&](std::ptrdiff_t i) { return i >= 0 ? std::optional(FSegments[i].start) : std::nullopt; };
  const auto lastCode = startOf(FLastCodeSegment), lastData = startOf(FLastDataSegment);
  std::size_t k = 0;
  const auto keep = [&](std::size_t n) {
    if (++k != n) FSegments[k] = std::move(FSegments[n]);
  };
  for (std::size_t n = 1; n < FSegments.size(); ++n) {
    TMfSegment& kept = FSegments[k];
    TMfSegment& next = FSegments[n];
    if (kept.length == 0 || kept.start == next.start) {
      kept = std::move(next);
    } else if (kept.code == next.code && (!adjacent || kept.start + kept.length >= next.start)) {
      kept.length = static_cast<std::uint32_t>(next.start - kept.start);
      if (TextEquals(kept.unit, next.unit)) {
        kept.length += next.length;
      } else {
        keep(n);
      }
    } else {
      keep(n);
    }
  }
  FSegments.resize(k + 1);
  const auto find = [&](bool code, std::optional<MapAddress> start) -> std::ptrdiff_t {
    if (!start) return -1;
    for (std::size_t i = 0; i < FSegments.size(); ++i) {
      const TMfSegment& s = FSegments[i];
      if (s.code == code && s.start <= *start && (*start < s.start + s.length || s.start == *start))
        return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  };
  FLastCodeSegment = find(true, lastCode);
  FLastDataSegment = find(false, lastData);
}

bool ParseTd32(std::string_view data, TMapFile& map) {
  const TBlock b(data);
  if (!b.Has(0, 8) || (b.Bytes(0, 4) != "FB09" && b.Bytes(0, 4) != "FB0A")) return false;
  map.FLastCodeSegment = map.FLastDataSegment = -1;
  const std::vector<TSubsection> subsections = Subsections(b);

  // Names, indexed from 1.
  std::vector<std::string> names;
  for (const TSubsection& s : subsections) {
    if (s.kind != kNames) continue;
    const std::size_t end = s.offset + s.size;
    std::size_t at = s.offset + 4;
    const std::uint32_t count = b.U32(s.offset);
    for (std::uint32_t i = 0; i < count && at < end; ++i) {
      const std::size_t length = static_cast<unsigned char>(data[at]);
      if (length + 2 > end - at) break;
      names.emplace_back(b.Bytes(at + 1, length));
      at += length + 2;
    }
  }
  const auto name = [&](std::uint32_t index) {
    return index >= 1 && index <= names.size() ? names[index - 1] : std::string();
  };

  for (const TSubsection& s : subsections) {
    if (s.kind != kModule || s.size < 28) continue;
    const std::string unit = WithoutPath(name(b.U32(s.offset + 8)));
    const std::size_t count = std::min<std::size_t>(b.U16(s.offset + 4), (s.size - 28) / 12);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t e = s.offset + 28 + i * 12;
      const std::uint32_t size = b.U32(e + 8);
      if (size != 0) map.AddMapSegment(b.U16(e + 2) == 1, true, b.U32(e + 4), true, false, unit, size);
    }
  }

  for (const TSubsection& s : subsections) {
    if (s.kind != kSourceModule || s.size < 4) continue;
    const std::size_t end = s.offset + s.size;
    const std::size_t files = std::min<std::size_t>(b.U16(s.offset), (s.size - 4) / 4);
    for (std::size_t f = 0; f < files; ++f) {
      const std::size_t file = s.offset + b.U32(s.offset + 4 + f * 4);
      if (file + 6 > end) continue;
      const std::string fileName = WithoutPath(name(b.U32(file + 2)));
      const std::size_t blocks = std::min<std::size_t>(b.U16(file), (end - file - 6) / 4);
      for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t block = s.offset + b.U32(file + 6 + k * 4);
        if (block + 4 > end) continue;
        const std::size_t pairs = b.U16(block + 2);
        if (pairs == 0 || pairs * 6 > end - block - 4) continue;
        const MapAddress codeStart = map.FBounds.codeStart;
        const MapAddress first = codeStart + b.U32(block + 4);
        const MapAddress last = codeStart + b.U32(block + 4 + (pairs - 1) * 4);
        if (last < first) continue;
        for (std::size_t i = 0; i < pairs; ++i)
          map.AddMapLine(static_cast<std::int32_t>(b.U16(block + 4 + pairs * 4 + i * 2)),
                         codeStart + b.U32(block + 4 + i * 4), false);
        if (!fileName.empty())
          map.AddMapSegment(true, false, first, true, false, fileName, static_cast<std::uint32_t>(last - first + 1));
      }
    }
  }

  map.SortSegments();
  map.MergeSegments(true);

  const bool hasGlobal = std::any_of(subsections.begin(), subsections.end(),
                                     [](const TSubsection& s) { return s.kind == kGlobalSymbols; });
  for (const TSubsection& s : subsections) {
    if (s.kind != (hasGlobal ? kGlobalSymbols : kAlignedSymbols)) continue;
    const std::size_t end = s.offset + s.size;
    for (std::size_t at = s.offset + (hasGlobal ? 32 : 4); at + 2 <= end;) {
      const std::size_t length = b.U16(at);
      if (length == 0 || length + 2 > end - at) break;
      const std::size_t size = length + 2;
      const std::uint32_t kind = b.U16(at + 2);
      bool code = false;
      std::size_t offsetField = 0, nameField = 0;
      bool skipNoName = true;
      if (kind == 0x204 || kind == 0x205) {
        code = true, offsetField = 28, nameField = 40;
      } else if (kind == 0x201 || kind == 0x202) {
        offsetField = 4, nameField = 16;
      } else if (kind == 0x20 || kind == 0x21) {
        code = kind == 0x20, offsetField = 20, nameField = 12, skipNoName = false;
      }
      // Fields are read only from a record long enough to hold them.
      if (nameField != 0 && size >= std::max(offsetField, nameField) + 4) {
        const std::uint32_t index = b.U32(at + nameField);
        if (index != 0 || !skipNoName) map.AddMapPublic(code, name(index), b.U32(at + offsetField), true);
      }
      at += size;
    }
  }
  map.MergeSegments(false);
  map.SortTables();
  return true;
}

}  // namespace qel
