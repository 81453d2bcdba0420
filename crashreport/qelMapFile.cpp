#include "qelMapFile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "qelStrings.h"

namespace qel {

MapDemangleProc MapDemangleHook = nullptr;

namespace {

// Lookup order of segments: code before data, ascending start, at equal start
// the longer first.
bool SegmentBefore(const TMfSegment& a, const TMfSegment& b) {
  if (a.code != b.code) return a.code;
  if (a.start != b.start) return a.start < b.start;
  return a.length > b.length;
}

MapAddress SegmentEnd(const TMfSegment& s) { return s.start + s.length; }

// Index of the entry with the highest address <= address that answers for it:
// address lies below the next entry (the last one: below limit, 0 = none).
template <typename Table>
std::ptrdiff_t FindByAddress(const Table& table, MapAddress address, MapAddress limit) {
  const auto count = static_cast<std::ptrdiff_t>(table.size());
  return ProbeSearch(count, [&](std::ptrdiff_t i) {
    if (address < table[i].address) return -1;
    if (i + 1 < count) return address < table[i + 1].address ? 0 : 1;
    return limit == 0 || address < limit ? 0 : 1;
  });
}

bool EndsWithText(const std::string& s, const char* ext) {
  const std::size_t n = std::strlen(ext);
  return s.size() >= n && TextEquals(s.substr(s.size() - n), ext);
}

// The map's fixed hexadecimal columns, read as ParseIntBuf reads them (any
// other character counts as 0, a leading '-' negates) but unrolled for the
// width: line-number tables hold hundreds of thousands of such fields.
template <std::size_t Width>
std::uint32_t HexColumn(const char* p) {
  static_assert(Width <= 8);
  std::uint32_t value = 0;  // '-' itself counts as 0
  for (std::size_t i = 0; i < Width; ++i)
    value |= std::uint32_t{DigitValueTable[static_cast<std::uint8_t>(p[i])]} << (4 * (Width - 1 - i));
  return p[0] == '-' ? 0 - value : value;
}

template <std::size_t Width>
std::uint32_t Hex(std::string_view s, std::size_t from) {
  return HexColumn<Width>(s.data() + from);
}

// Eight characters at a time; the lowest flagged byte is the first match
// (false flags only stand above a true one).
constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;
static_assert(std::endian::native == std::endian::little, "byte order of the word scans");

std::uint64_t Word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Eight upper-case hexadecimal digits converted together; false for any
// other character (lower case, '-', CR, anything), which the column-by-column
// reading takes.
bool HexDigits8(const char* p, std::uint32_t& value) {
  const std::uint64_t w = Word(p);
  // Bytes below 0x80 plus a constant below 0x80 never carry into the next byte.
  const std::uint64_t atLeast0 = w + kOnes * (0x80 - '0'), above9 = w + kOnes * (0x80 - '9' - 1);
  const std::uint64_t atLeastA = w + kOnes * (0x80 - 'A'), aboveF = w + kOnes * (0x80 - 'F' - 1);
  const std::uint64_t valid = ((atLeast0 & ~above9) | (atLeastA & ~aboveF)) & kHighs;
  if ((w & kHighs) != 0 || valid != kHighs) return false;
  std::uint64_t x = (w & (kOnes * 0x0F)) + 9 * ((w >> 6) & kOnes);  // one value per byte
  x = __builtin_bswap64(x);                                        // first digit highest
  x = (x | (x >> 4)) & 0x00FF00FF00FF00FFu;
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFFu;
  value = static_cast<std::uint32_t>(x | (x >> 16));
  return true;
}

// First index >= from in s[0, size) that holds c, or size.
std::size_t FindChar(const char* s, std::size_t from, std::size_t size, char c) {
  const std::uint64_t pattern = kOnes * static_cast<std::uint8_t>(c);
  for (; from + 8 <= size; from += 8) {
    const std::uint64_t w = Word(s + from) ^ pattern;
    if (const std::uint64_t hit = (w - kOnes) & ~w & kHighs) return from + (std::countr_zero(hit) >> 3);
  }
  while (from < size && s[from] != c) ++from;
  return from;
}

// The linker's own line-number groups, "<decimal> 0001:<8 hex digits>", from
// pos on within s[0, size), in one pass each; gives the position (blanks
// skipped) of the first thing that is not such a group.
std::size_t ReadLinkerGroups(const char* s, std::size_t pos, std::size_t size, TMapFile& map) {
  const MapAddress codeStart = map.Bounds().codeStart;
  for (;;) {
    while (pos < size && s[pos] == ' ') ++pos;  // a few blanks at most between groups
    std::size_t d = pos;
    std::uint32_t number = 0;  // wraps as ParseIntBuf does
    while (d < size && static_cast<unsigned char>(s[d] - '0') < 10) number = number * 10 + (s[d++] - '0');
    std::uint32_t offset;
    if (size - d < 14 || s[d] != ' ' || std::memcmp(s + d + 1, "0001:", 5) != 0 || !HexDigits8(s + d + 6, offset))
      return pos;
    map.AddMapLine(static_cast<std::int32_t>(number), codeStart + offset, true);
    pos = d + 14;
  }
}

// Every line-number group of the line s[0, size) from pos on.
void ReadLineGroups(const char* s, std::size_t pos, std::size_t size, TMapFile& map) {
  const MapAddress codeStart = map.Bounds().codeStart;
  for (;;) {
    pos = ReadLinkerGroups(s, pos, size, map);
    if (pos >= size) return;
    const std::size_t colon = FindChar(s, pos, size, ':');
    if (colon == size || size - colon - 1 < 8 || colon < 5 || s[colon - 5] != ' ') return;
    if (HexColumn<4>(s + colon - 4) == 1) {
      const std::size_t digits = colon - 5 > pos ? colon - 5 - pos : 0;
      const std::int32_t number = ParseIntBuf(false, s + pos, static_cast<std::int32_t>(digits));
      map.AddMapLine(number, codeStart + HexColumn<8>(s + colon + 1), true);
    }
    pos = colon + 9;
  }
}

// Upper bound of the line-number groups in text: each takes at least 15
// characters ("1 0001:00000000"), so the table never has to grow.
constexpr std::size_t kMinLineGroupSize = 15;

}  // namespace

// --- lookups -------------------------------------------------------------------

TMfSegment TMapFile::SegmentOfAddress(bool code, MapAddress address) const {
  const auto i = ProbeSearch(static_cast<std::ptrdiff_t>(FSegments.size()), [&](std::ptrdiff_t k) {
    const TMfSegment& s = FSegments[k];
    if (s.code != code) return code ? -1 : 1;
    if (address < s.start) return -1;
    if (address >= SegmentEnd(s)) return 1;
    return 0;
  });
  return i < 0 ? TMfSegment{} : FSegments[i];
}

// True when code segments cover from..address without a gap, or when the
// map has no code segment at all (nothing says where routines end).
bool TMapFile::CoveredFrom(MapAddress from, MapAddress address) const {
  if (FSegments.empty() || !FSegments.front().code) return true;
  auto k = ProbeSearch(static_cast<std::ptrdiff_t>(FSegments.size()), [&](std::ptrdiff_t i) {
    const TMfSegment& s = FSegments[i];
    if (!s.code) return -1;
    if (address < s.start) return -1;
    if (address >= SegmentEnd(s)) return 1;
    return 0;
  });
  if (k < 0) return false;
  while (FSegments[k].start > from) {
    if (k == 0 || SegmentEnd(FSegments[k - 1]) < FSegments[k].start) return false;
    --k;
  }
  return true;
}

TMfPublic TMapFile::PublicOfAddress(MapAddress address) const {
  const auto i = FindByAddress(FPublics, address, FBounds.codeEnd);
  if (i < 0) return TMfPublic{};
  // Code past a routine's end (code of no routine the map knows) is named by
  // none: the segments say where routines lie.
  if (FPublics[i].code && !CoveredFrom(FPublics[i].address, address)) return TMfPublic{};
  return FPublics[i];
}

std::int32_t TMapFile::LineOfAddressRange(MapAddress address, MapAddress& next) const {
  next = address + 1;
  if (!FLoaded || FLines.empty()) return 0;
  const auto i = FindByAddress(FLines, address, FBounds.codeEnd);
  if (i < 0) return 0;
  // The entry must belong to the unit that holds the address.
  const TMfSegment segment = SegmentOfAddress(true, address);
  if (!segment.valid || FLines[i].address < segment.start || FLines[i].address > SegmentEnd(segment)) return 0;
  if (static_cast<std::size_t>(i) + 1 < FLines.size()) next = FLines[i + 1].address;
  return FLines[i].line;
}

std::int32_t TMapFile::LineOfAddress(MapAddress address) const {
  MapAddress next = 0;
  return LineOfAddressRange(address, next);
}

// --- table building ------------------------------------------------------------

void TMapFile::AddMapSegment(bool code, bool addBase, MapAddress start, bool merge, bool ordered, std::string unit,
                             std::uint32_t length) {
  FDisjointSegments = false;
  if (!code && FCodeOnly) return;
  if (EndsWithText(unit, ".pas") || EndsWithText(unit, ".dpr")) unit.resize(unit.size() - 4);
  if (addBase) start += code ? FBounds.codeStart : FBounds.dataStart;
  std::ptrdiff_t& last = code ? FLastCodeSegment : FLastDataSegment;
  if (merge && last >= 0) {
    TMfSegment& l = FSegments[last];
    if (l.unit == unit && start >= l.start && start <= SegmentEnd(l) + 2) {
      // Never shorter than before: the new piece may lie inside the last one.
      const MapAddress end = std::max(SegmentEnd(l), start + length);
      l.length = static_cast<std::uint32_t>(end - l.start);
      return;
    }
  }
  TMfSegment segment{true, code, start, length, std::move(unit)};
  std::ptrdiff_t at = static_cast<std::ptrdiff_t>(FSegments.size());
  if (merge && ordered) {
    at = std::upper_bound(FSegments.begin(), FSegments.end(), segment, SegmentBefore) - FSegments.begin();
    FSegments.insert(FSegments.begin() + at, std::move(segment));
    std::ptrdiff_t& other = code ? FLastDataSegment : FLastCodeSegment;
    if (other >= at) ++other;
  } else {
    FSegments.push_back(std::move(segment));
  }
  last = at;
}

void TMapFile::AddMapPublic(bool code, std::string name, MapAddress offset, bool extendSegments) {
  if (!code && FCodeOnly) return;
  // Names the build tools generate.
  if (name.size() >= 6 && name[0] == '@' && name[1] == '$' && name[2] == 'x' && name[4] == '$') return;
  std::string unit;
  if (MapDemangleHook) MapDemangleHook(name, unit);
  const MapAddress address = offset + (code ? FBounds.codeStart : FBounds.dataStart);
  TMfSegment found;
  const TMfSegment* const holder = HolderOfPublic(code, address, found);
  if (holder != nullptr) {
    if (name == holder->unit) name = "initialization";
    if (!unit.empty() && !TextEquals(unit, holder->unit)) name = unit + "." + name;
  }
  const bool held = holder != nullptr;
  FPublics.push_back(TMfPublic{true, code, std::move(name), address});
  if (!extendSegments) return;
  FDisjointSegments = false;  // segments may change from here on

  const std::ptrdiff_t lastIndex = code ? FLastCodeSegment : FLastDataSegment;
  if (lastIndex >= 0) {
    TMfSegment& l = FSegments[lastIndex];
    if (address != l.start && address >= SegmentEnd(l)) {
      MapAddress end = address + 1;
      const std::size_t next = static_cast<std::size_t>(lastIndex) + 1;
      if (next < FSegments.size() && FSegments[next].code == code) end = std::min(end, FSegments[next].start);
      if (end > SegmentEnd(l)) l.length = static_cast<std::uint32_t>(end - l.start);
    }
    if (held || address == l.start || TextEquals(l.unit, unit)) return;
  } else if (held) {
    return;
  }
  AddMapSegment(code, false, address, true, true, unit, 1);
}

const TMfSegment* TMapFile::HolderOfPublic(bool code, MapAddress address, TMfSegment& found) {
  if (!FDisjointSegments) {
    found = SegmentOfAddress(code, address);
    return found.valid ? &found : nullptr;
  }
  const auto holds = [&](std::size_t i) {
    const TMfSegment& s = FSegments[i];
    return s.code == code && s.start <= address && address < SegmentEnd(s);
  };
  // Publics come by address: mostly in the last one's segment or the next.
  for (const std::size_t i : {FLastHolder, FLastHolder + 1})
    if (i < FSegments.size() && holds(i)) return &FSegments[(FLastHolder = i)];
  // The last segment in lookup order that starts at or below address.
  const auto after = std::partition_point(FSegments.begin(), FSegments.end(), [&](const TMfSegment& s) {
    return s.code != code ? s.code : s.start <= address;
  });
  if (after == FSegments.begin()) return nullptr;
  const std::size_t i = static_cast<std::size_t>(after - FSegments.begin()) - 1;
  if (!holds(i)) return nullptr;
  FLastHolder = i;
  return &FSegments[i];
}

void TMapFile::ReserveLines(std::size_t count) { FLines.reserve(FLines.size() + count); }

void TMapFile::AddMapLine(std::int32_t line, MapAddress address, bool onlyIfAbove) {
  if (onlyIfAbove && !FLines.empty() && address <= FLines.back().address) return;
  FLines.push_back(TMfLineNumber{line, address});
}

void TMapFile::SortSegments() {
  if (std::is_sorted(FSegments.begin(), FSegments.end(), SegmentBefore)) return;
  std::vector<std::size_t> order(FSegments.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return SegmentBefore(FSegments[a], FSegments[b]); });
  std::vector<TMfSegment> sorted;
  sorted.reserve(FSegments.size());
  std::ptrdiff_t lastCode = -1, lastData = -1;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (static_cast<std::ptrdiff_t>(order[i]) == FLastCodeSegment) lastCode = static_cast<std::ptrdiff_t>(i);
    if (static_cast<std::ptrdiff_t>(order[i]) == FLastDataSegment) lastData = static_cast<std::ptrdiff_t>(i);
    sorted.push_back(std::move(FSegments[order[i]]));
  }
  FSegments = std::move(sorted);
  FLastCodeSegment = lastCode;
  FLastDataSegment = lastData;
}

void TMapFile::SortTables(bool linesInOrder) {
  SortSegments();
  const auto byAddress = [](const auto& a, const auto& b) { return a.address < b.address; };
  if (!std::is_sorted(FPublics.begin(), FPublics.end(), byAddress))
    std::stable_sort(FPublics.begin(), FPublics.end(), byAddress);
  if (!linesInOrder && !std::is_sorted(FLines.begin(), FLines.end(), byAddress))
    std::stable_sort(FLines.begin(), FLines.end(), byAddress);
}

// --- text map reader -----------------------------------------------------------

std::size_t TMapLineReader::SkipBlanks(std::size_t from) const {
  while (from < FText.size() && FText[from] == ' ') ++from;
  return from;
}

std::size_t TMapLineReader::LineEnd(std::size_t from) {
  const std::size_t size = FText.size();
  for (std::size_t end = from;;) {
    const void* cr = end < size ? std::memchr(FText.data() + end, '\r', size - end) : nullptr;
    if (cr == nullptr) {
      FPos = size;
      return size;
    }
    end = static_cast<std::size_t>(static_cast<const char*>(cr) - FText.data());
    if (end + 1 < size && FText[end + 1] == '\n') {
      FPos = end + 2;
      return end;
    }
    ++end;  // a CR alone belongs to the line
  }
}

bool TMapLineReader::Next(std::string_view& line) {
  if (FPos >= FText.size()) return false;
  const std::size_t start = SkipBlanks(FPos);
  const std::size_t end = LineEnd(start);
  line = FText.substr(start, end > start ? end - start : 0);
  return true;
}

bool TMapLineReader::NextLineNumbers(std::string_view& line, TMapFile& map) {
  const char* const s = FText.data();
  const std::size_t size = FText.size();
  if (FPos >= size) return false;
  const std::size_t start = SkipBlanks(FPos);
  std::size_t end;
  try {
    // The linker's groups hold no CR, so they lie inside the line wherever it
    // ends: only what follows them needs the search for its end.
    const std::size_t pos = ReadLinkerGroups(s, start, size, map);
    if (pos + 1 < size && s[pos] == '\r' && s[pos + 1] == '\n') {
      end = pos;
      FPos = pos + 2;
    } else {
      end = LineEnd(pos);
      ReadLineGroups(s + start, pos - start, end - start, map);
    }
  } catch (const std::exception&) {
    end = LineEnd(start);  // only this line is lost
  }
  line = FText.substr(start, end > start ? end - start : 0);
  return true;
}

void ParseSegmentLine(std::string_view line, TMapFile& map) {
  if (line.size() <= 72 || line[4] != ':' || line[13] != ' ' || line[22] != ' ' || line[23] != 'C' ||
      line[24] != '=')
    return;
  std::string_view rest = line.substr(0, line.rfind(' '));  // the last field (attributes) goes
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  const std::size_t cut = rest.find_last_of("=\\|");
  const std::string_view unit = cut == std::string_view::npos ? rest : rest.substr(cut + 1);
  const std::uint32_t segment = Hex<4>(line, 0);
  if (segment != 1 && segment != 2) return;
  map.AddMapSegment(segment == 1, true, Hex<8>(line, 5), false, false, std::string(unit), Hex<8>(line, 14));
}

void ParsePublicLine(std::string_view line, TMapFile& map) {
  if (line.size() <= 13 || line[4] != ':') return;
  std::string_view rest = line;
  if (rest.back() == ')') {
    const std::size_t open = rest.rfind('(');
    if (open != std::string_view::npos && open >= 13) rest = rest.substr(0, open);
  }
  const std::size_t blank = rest.rfind(' ');
  const std::size_t nameStart = blank == std::string_view::npos ? 0 : blank + 1;
  if (nameStart < 13 || nameStart >= rest.size()) return;
  const std::uint32_t segment = Hex<4>(line, 0);
  if (segment != 1 && segment != 2) return;
  map.AddMapPublic(segment == 1, std::string(rest.substr(nameStart)), Hex<8>(line, 5), false);
}

void ParseLineNumbersLine(std::string_view line, TMapFile& map) {
  ReadLineGroups(line.data(), 0, line.size(), map);
}

bool ParseEntryPointLine(std::string_view line, TMapFile& map) {
  // "Program entry point at " takes columns 1 to 23, the segment 24 to 27.
  if (line.size() < 36 || line[27] != ':') return false;
  map.SetEntryPoint(map.Bounds().codeStart + Hex<8>(line, 28));
  return true;
}

void ParseTextMap(std::string_view text, TMapFile& map) {
  using LineParser = void (*)(std::string_view, TMapFile&);
  TMapLineReader reader(text);
  std::string_view line;
  bool reservedLines = false;
  // Lines are only added above the last one, so a table in order stays so.
  const auto byAddress = [](const TMfLineNumber& a, const TMfLineNumber& b) { return a.address < b.address; };
  const bool linesInOrder = std::is_sorted(map.FLines.begin(), map.FLines.end(), byAddress);
  // Feeds the lines of one section to its parser: leading empty lines are
  // passed over, the section ends at the next empty line.
  const auto section = [&](LineParser parse) {
    bool more;
    while ((more = reader.Next(line)) && line.empty()) {
    }
    while (more && !line.empty()) {
      try {
        parse(line, map);
      } catch (const std::exception&) {
        // only this line is lost
      }
      more = reader.Next(line);
    }
  };
  while (reader.Next(line)) {
    if (line.empty()) continue;
    if (line.find("Detailed map of segments") != std::string_view::npos) {
      section(ParseSegmentLine);
      map.SortSegments();  // publics look segments up
    } else if (line.find("Publics by Value") != std::string_view::npos) {
      map.FDisjointSegments = std::is_sorted(map.FSegments.begin(), map.FSegments.end(), SegmentBefore) &&
                              std::adjacent_find(map.FSegments.begin(), map.FSegments.end(),
                                                 [](const TMfSegment& a, const TMfSegment& b) {
                                                   return a.code == b.code && b.start < SegmentEnd(a);
                                                 }) == map.FSegments.end();
      map.FLastHolder = 0;
      section(ParsePublicLine);
      map.FDisjointSegments = false;
    } else if (const std::size_t at = line.find("Line numbers for "); at != std::string_view::npos) {
      const std::size_t open = line.size() > 17 ? line.find('(', 17) : std::string_view::npos;
      if (open != std::string_view::npos && line.find(')', open + 1) != std::string_view::npos) {
        if (!reservedLines) {
          // Line numbers come last in the linker's maps: what is left bounds them.
          map.ReserveLines(reader.Remaining() / kMinLineGroupSize);
          reservedLines = true;
        }
        bool more;
        while ((more = reader.NextLineNumbers(line, map)) && line.empty()) {
        }
        while (more && !line.empty()) more = reader.NextLineNumbers(line, map);
      }
    } else if (const std::size_t entry = line.find("Program entry point at "); entry != std::string_view::npos) {
      ParseEntryPointLine(line, map);
    }
  }
  map.SortTables(linesInOrder);
}

TMapFile::TMapFile(std::string_view text, const TMapBounds& bounds, bool codeOnly)
    : FCodeOnly(codeOnly), FBounds(bounds) {
  if (text.size() > MaxMapFileSize) return;
  ParseTextMap(text, *this);
  FLoaded = HasContent();
}

// --- cache ---------------------------------------------------------------------

std::ptrdiff_t TMapFileCache::FindLocked(const std::string& moduleFile) const {
  for (std::size_t i = 0; i < FEntries.size(); ++i)
    if (TextEquals(FEntries[i].moduleFile, moduleFile)) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

std::shared_ptr<const TMapFile> TMapFileCache::Cached(const std::string& moduleFile) {
  std::shared_ptr<const TMapFile> found;
  std::string mapFile;
  {
    const std::lock_guard<std::mutex> guard(FLock);
    const auto i = FindLocked(moduleFile);
    if (i < 0) return nullptr;
    found = FEntries[i].map;
    mapFile = found->MapFileName();
  }
  // The file is dated outside the lock; the entry is checked again after.
  const auto date = FFileDate(mapFile);
  const std::lock_guard<std::mutex> guard(FLock);
  const auto i = FindLocked(moduleFile);
  if (i < 0) return nullptr;
  if (FEntries[i].map == found && FEntries[i].date == date) return found;
  if (FEntries[i].map == found) {
    FEntries[i] = std::move(FEntries.back());
    FEntries.pop_back();
  }
  return nullptr;
}

std::shared_ptr<const TMapFile> TMapFileCache::Cache(const std::string& moduleFile,
                                                    std::shared_ptr<const TMapFile> map) {
  const auto date = FFileDate(map->MapFileName());
  const std::lock_guard<std::mutex> guard(FLock);
  const auto i = FindLocked(moduleFile);
  if (i >= 0) {
    if (FEntries[i].date == date) return FEntries[i].map;
    FEntries[i] = TEntry{moduleFile, date, map};
    return map;
  }
  FEntries.push_back(TEntry{moduleFile, date, map});
  return map;
}

void TMapFileCache::Clear() {
  std::vector<TEntry> dropped;
  {
    const std::lock_guard<std::mutex> guard(FLock);
    dropped.swap(FEntries);
  }
}

std::size_t TMapFileCache::Count() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return FEntries.size();
}

}  // namespace qel
