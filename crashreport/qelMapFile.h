// The map of one loaded module: its segments (address ranges named by unit),
// publics (routine and variable names) and source line numbers, all as
// absolute addresses of the running process, with the lookups that turn a
// code address into unit, routine and line; the linker's text map reader; and
// the process-wide cache of loaded maps.
//
// Everything here is portable except what is marked Windows (module loading,
// the address queries and the listing hooks, in qelMapFileWin.cpp). Nothing
// raises to its caller: failures give empty answers.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// An absolute address of the running process (32 bits in the deliverables).
using MapAddress = std::uintptr_t;

struct TMfSegment {
  bool valid = false;
  bool code = false;
  MapAddress start = 0;
  std::uint32_t length = 0;
  std::string unit;  // source module, without a .pas or .dpr extension
};

struct TMfPublic {
  bool valid = false;
  bool code = false;
  std::string name;
  MapAddress address = 0;
};

struct TMfLineNumber {
  std::int32_t line = 0;
  MapAddress address = 0;
};

// Where the module's code and data lie; offsets read from a map are added to
// the code start (code items) or the data start (data items).
struct TMapBounds {
  MapAddress codeStart = 0;
  MapAddress codeEnd = 0;  // 0: the last public has no upper bound
  MapAddress dataStart = 0;
  MapAddress dataEnd = 0;
};

// Turns a mangled export name into its readable form and gives the unit it
// names (empty if none); false when the name is not mangled. qelMapFileInit
// binds the support library's DemangleExportName; unbound, names stay as read
// (the host tools and the reader's own tests).
using MapDemangleProc = bool (*)(std::string& name, std::string& unit);
extern MapDemangleProc MapDemangleHook;

// Text maps (and the files they are read from) beyond this size are refused.
inline constexpr std::size_t MaxMapFileSize = 64u * 1024 * 1024;

// Probe search over a table sorted for compare: compare(i) < 0 sends the probe
// down, > 0 up, 0 is the answer. Result: the index found, or -1. The probe
// starts in the middle and halves its step; after the first probe made with
// step 1 one more probe is made. Reaches every entry of a table of any size.
template <typename Compare>
std::ptrdiff_t ProbeSearch(std::ptrdiff_t count, Compare compare) {
  if (count <= 0) return -1;
  std::ptrdiff_t probe = count / 2;
  std::ptrdiff_t step = (count / 2 + 2) / 2;
  int probesWithStepOne = 0;
  for (;;) {
    const int direction = compare(probe);
    if (direction == 0) return probe;
    if (probesWithStepOne == 2) return -1;
    if (step == 1) ++probesWithStepOne;
    probe += direction < 0 ? -step : step;
    if (probe < 0) probe = 0;
    if (probe > count - 1) probe = count - 1;
    step = (step + 1) / 2;
  }
}

class TMapFile {
public:
  // An empty map (not loaded).
  TMapFile() = default;
  // A map read from the text of a linker map, placed at the given bounds.
  // Loaded when the text yielded at least one segment, public or line.
  TMapFile(std::string_view text, const TMapBounds& bounds, bool codeOnly = false);
#ifdef _WIN32
  // With load, the map of the loaded module (its handle = base address) from
  // the first source that works; moduleFileName is its full file name.
  TMapFile(bool load, bool codeOnly, MapAddress module, const std::string& moduleFileName);
#endif
  TMapFile(const TMapFile&) = delete;
  TMapFile& operator=(const TMapFile&) = delete;

  // The segment of the kind with start <= address < start + length, or valid false.
  TMfSegment SegmentOfAddress(bool code, MapAddress address) const;
  // The public with the highest address <= address, provided address lies below
  // the next one (the last one: below the code end, if any) and, for a code
  // public in a map with code segments, code segments reach without a gap
  // from the public to the address; else valid false.
  TMfPublic PublicOfAddress(MapAddress address) const;
  // Source line of address, or 0; next receives the address where the answer
  // may change (address + 1 when unknown).
  std::int32_t LineOfAddressRange(MapAddress address, MapAddress& next) const;
  std::int32_t LineOfAddress(MapAddress address) const;

  // --- table building, for the map readers
  void AddMapSegment(bool code, bool addBase, MapAddress start, bool merge, bool ordered, std::string unit,
                     std::uint32_t length);
  void AddMapPublic(bool code, std::string name, MapAddress offset, bool extendSegments);
  void AddMapLine(std::int32_t line, MapAddress address, bool onlyIfAbove);
  // Room for count more line entries.
  void ReserveLines(std::size_t count);
  // Puts every table in lookup order (stable), keeping the last-segment indexes.
  // linesInOrder: the line table is known to be ascending already.
  void SortTables(bool linesInOrder = false);
  // Segments in lookup order (readers call this before adding publics).
  void SortSegments();
  void SetEntryPoint(MapAddress address) { FEntryPoint = address; }
  bool HasContent() const { return !FSegments.empty() || !FPublics.empty() || !FLines.empty(); }

  // --- what was read
  bool Loaded() const { return FLoaded; }
  bool CodeOnly() const { return FCodeOnly; }
  const std::vector<TMfSegment>& Segments() const { return FSegments; }
  const std::vector<TMfPublic>& Publics() const { return FPublics; }
  const std::vector<TMfLineNumber>& Lines() const { return FLines; }
  MapAddress EntryPoint() const { return FEntryPoint; }
  const TMapBounds& Bounds() const { return FBounds; }
  MapAddress Module() const { return FModule; }
  const std::string& ModuleFile() const { return FModuleFile; }
  // The file the map was read from (the module file itself for maps that came
  // from inside the module).
  const std::string& MapFileName() const { return FMapFile; }

private:
  bool CoveredFrom(MapAddress from, MapAddress address) const;
  friend bool LoadCompressedMap(std::string_view data, TMapFile& map);
  friend bool ParseTd32(std::string_view block, TMapFile& map);
  friend void ParseTextMap(std::string_view text, TMapFile& map);
  // Joins sorted segments: one of length 0 or at the same start as the next
  // gives way to it; one of the same kind that reaches the next (or any, when
  // adjacency is not required) ends at its start and, of the same unit, takes
  // it in.
  void MergeSegments(bool adjacent);
  // The segment that holds a public's address, as SegmentOfAddress finds it:
  // while FDisjointSegments, found from the last public's holder.
  const TMfSegment* HolderOfPublic(bool code, MapAddress address, TMfSegment& found);
  bool LoadTd32Info(const void* peHeader);
  bool LoadMapBesideModule();
  bool LoadMapResource();

  bool FCodeOnly = false;
  std::vector<TMfSegment> FSegments;
  std::vector<TMfPublic> FPublics;
  std::vector<TMfLineNumber> FLines;
  std::ptrdiff_t FLastCodeSegment = -1;
  std::ptrdiff_t FLastDataSegment = -1;
  // Set by the text reader for its publics, over sorted segments of which no
  // two of a kind overlap (the holder of an address is then the only one),
  // and cleared before the segments change again.
  bool FDisjointSegments = false;
  std::size_t FLastHolder = 0;
  MapAddress FEntryPoint = 0;
  TMapBounds FBounds;
  MapAddress FModule = 0;
  bool FLoaded = false;
  std::string FModuleFile;
  std::string FMapFile;
};

// --- text map reader

// Reads every section of a linker text map (CR LF lines) into map.
void ParseTextMap(std::string_view text, TMapFile& map);
// One line of its section, leading blanks already skipped; a line that does
// not fit the columns is ignored.
void ParseSegmentLine(std::string_view line, TMapFile& map);
void ParsePublicLine(std::string_view line, TMapFile& map);
void ParseLineNumbersLine(std::string_view line, TMapFile& map);
// The entry point line "Program entry point at SSSS:OOOOOOOO" (leading blanks
// skipped); false when the line does not fit.
bool ParseEntryPointLine(std::string_view line, TMapFile& map);

// Lines of a text map: leading blanks skipped, up to the next CR LF.
class TMapLineReader {
public:
  explicit TMapLineReader(std::string_view text) : FText(text) {}
  // False once the text is used up.
  bool Next(std::string_view& line);
  // Next, and the line's line-number groups go into map on the way (as
  // ParseLineNumbersLine takes them): the linker's own groups are read in the
  // same pass that finds the line's end.
  bool NextLineNumbers(std::string_view& line, TMapFile& map);
  // Characters not read yet.
  std::size_t Remaining() const { return FPos < FText.size() ? FText.size() - FPos : 0; }

private:
  std::size_t SkipBlanks(std::size_t from) const;
  // End of the line that holds from (its CR LF or the text's end); reading
  // resumes after it.
  std::size_t LineEnd(std::size_t from);

  std::string_view FText;
  std::size_t FPos = 0;
};

// --- cache of loaded maps

// Maps kept for the life of the process, keyed by the module file and the date
// of the file each map was read from: a map whose file changed is dropped at
// its next lookup. Holders keep a dropped map alive. Safe from several threads.
class TMapFileCache {
public:
  // Last-write time of a file as DOS date (low half) and time (high half).
  using FileDateProc = std::optional<std::uint32_t> (*)(const std::string& fileName);
  explicit TMapFileCache(FileDateProc fileDate) : FFileDate(fileDate) {}

  // The map cached for moduleFile (case-insensitive), or null; a map whose
  // file's date changed is dropped.
  std::shared_ptr<const TMapFile> Cached(const std::string& moduleFile);
  // Keeps map for moduleFile; when another thread cached one first, that one
  // is kept and returned instead.
  std::shared_ptr<const TMapFile> Cache(const std::string& moduleFile, std::shared_ptr<const TMapFile> map);
  void Clear();
  std::size_t Count() const;

private:
  struct TEntry {
    std::string moduleFile;
    std::optional<std::uint32_t> date;
    std::shared_ptr<const TMapFile> map;
  };
  std::ptrdiff_t FindLocked(const std::string& moduleFile) const;

  FileDateProc FFileDate;
  mutable std::mutex FLock;
  std::vector<TEntry> FEntries;
};

// --- compressed map: a ".qel" file beside the module, or the module's
// resource of type "QEL" and name "EXCEPT"
//
// Header: the 14-byte signature, u32 payload length, u32 version 2; then the
// payload: a packed-string block enciphered with the legacy Blowfish mode
// under BuildMapPassword(payload length). Unpacked: code segments (u32 count;
// u32 offset, u32 length, short text unit), code publics (u32 count; short
// text name, the first address a u32 offset, every further one a compact
// integer added to the previous), lines (u32 count; the first u32 line and
// u32 offset, then compact integers added to the previous line and address),
// and, when exactly 4 bytes remain, the u32 offset of the entry point. Offsets
// count from the code start. Writers must use these two texts:
inline constexpr char QelMapSignature[15] = "QELMAP-ZIVO\r\n\x1A";  // 14 bytes, no terminator
inline constexpr char QelMapPasswordText[7] = "ZvQmap";
inline constexpr std::uint32_t QelMapVersion = 2;
inline constexpr std::size_t QelMapHeaderSize = 22;

// A read-only byte stream over the unpacked payload.
class TMiniStream {
public:
  explicit TMiniStream(std::string data) : FData(std::move(data)) {}
  // Copies min(count, bytes left) bytes and returns how many; 0 or less when
  // nothing is left (nothing copied), 0 for a negative count.
  std::int32_t ReadBytes(void* buffer, std::int32_t count);
  std::int64_t Remaining() const { return static_cast<std::int64_t>(FData.size()) - FPosition; }

private:
  std::string FData;
  std::int64_t FPosition = 0;
};

// One byte, signed; 0x80 announces a signed 32-bit little-endian value.
// Bytes past the end read as 0.
std::int32_t ReadCompactInt(TMiniStream& stream);
// A length byte and that many bytes; when fewer are left, text keeps its
// previous value (and the stream stays after the length byte).
void ReadShortText(TMiniStream& stream, std::string& text);
// The 56-character key of a payload of the given length.
std::string BuildMapPassword(std::uint32_t payloadLength);
// Reads the format into map's tables. True when the header is accepted,
// whatever the payload held.
bool LoadCompressedMap(std::string_view data, TMapFile& map);

// --- TD32 debug information: a block that starts "FB09" or "FB0A", then the
// u32 offset of the first subsection directory. Reads names, modules, source
// line blocks and global (else aligned) symbols; false for another signature.
bool ParseTd32(std::string_view block, TMapFile& map);

#ifdef _WIN32
// --- Windows: the running process

// The map of the module that holds address (0: the program itself). Never
// null: an address outside any module gives an empty map (not loaded).
std::shared_ptr<const TMapFile> MapFileForAddress(MapAddress address);
// Module file, unit, routine and line of a code address; false for address 0
// or when no loaded map covers it (outputs then untouched).
bool AddressMapInfo(MapAddress address, std::string& moduleFile, std::string& unit, std::string& publicName,
                    MapAddress& publicAddress, std::int32_t& line);
// True when the file exists, is not empty nor above MaxMapFileSize, and all of
// it was read.
bool LoadFileText(const std::string& fileName, std::string& text);
// The process-wide cache.
TMapFileCache& MapFileCache();
void ClearMapFileCache();

// The listing's providers: the name of a routine that starts exactly at
// address; the source line of address, answering from the caller's range of
// the last answer while the address stays inside it.
void MapProcNameHook(std::uint32_t address, std::string& name);
void MapLineHook(std::uint32_t address, std::int32_t& line, std::uint32_t& rangeStart, std::uint32_t& rangeEnd);

// Unit start and end: the listing's name and line providers.
void qelMapFileInit();
void qelMapFileFini();
#endif

}  // namespace qel
