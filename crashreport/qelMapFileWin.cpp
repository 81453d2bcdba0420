// The maps of the running process's modules: loading from beside the module,
// the address queries, the process-wide cache and the listing's providers.
#include <windows.h>

#include "qelDisAsm.h"
#include "qelDisAsmListing.h"
#include "qelMapFile.h"
#include "qelStrings.h"
#include "qelTools.h"
#include "qelToolsOs.h"

namespace qel {

namespace {

class TFileHandle {
public:
  explicit TFileHandle(HANDLE h) : FHandle(h) {}
  ~TFileHandle() {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  HANDLE Get() const { return FHandle; }

private:
  HANDLE FHandle;
};

// Code: the first section when it holds code, else BaseOfCode and SizeOfCode.
// Data: BaseOfData (the first initialized-data section in a 64-bit image,
// whose header has no such field) and the sizes of initialized and
// uninitialized data.
TMapBounds BoundsOf(MapAddress module, const IMAGE_NT_HEADERS& nt) {
  TMapBounds b;
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(&nt);
  const IMAGE_OPTIONAL_HEADER& opt = nt.OptionalHeader;
  if (nt.FileHeader.NumberOfSections == 0 || (sections[0].Characteristics & IMAGE_SCN_CNT_CODE) == 0) {
    b.codeStart = module + opt.BaseOfCode;
    b.codeEnd = b.codeStart + opt.SizeOfCode;
  } else {
    b.codeStart = module + sections[0].VirtualAddress;
    b.codeEnd = b.codeStart + sections[0].Misc.VirtualSize;
  }
#ifdef _WIN64
  for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    const DWORD flags = sections[i].Characteristics;
    if ((flags & IMAGE_SCN_CNT_INITIALIZED_DATA) != 0 && (flags & IMAGE_SCN_CNT_CODE) == 0) {
      b.dataStart = module + sections[i].VirtualAddress;
      break;
    }
  }
#else
  b.dataStart = module + opt.BaseOfData;
#endif
  b.dataEnd = b.dataStart + opt.SizeOfInitializedData + opt.SizeOfUninitializedData;
  return b;
}

std::optional<std::uint32_t> FileDosDate(const std::string& fileName) {
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA(fileName.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(find);
  WORD date = 0, time = 0;
  if (!FileTimeToDosDateTime(&data.ftLastWriteTime, &date, &time)) return std::nullopt;
  return static_cast<std::uint32_t>(date) | (static_cast<std::uint32_t>(time) << 16);
}

const std::shared_ptr<const TMapFile>& EmptyMap() {
  static const std::shared_ptr<const TMapFile> empty = std::make_shared<const TMapFile>();
  return empty;
}

}  // namespace

bool LoadFileText(const std::string& fileName, std::string& text) {
  if (GetFileAttributesA(fileName.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const TFileHandle file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 ||
      static_cast<unsigned long long>(size.QuadPart) > MaxMapFileSize)
    return false;
  std::string buffer(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < buffer.size()) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer.data() + done, static_cast<DWORD>(buffer.size() - done), &got, nullptr) ||
        got == 0)
      return false;
    done += got;
  }
  text = std::move(buffer);
  return true;
}

TMapFile::TMapFile(bool load, bool codeOnly, MapAddress module, const std::string& moduleFileName) {
  if (!load) return;
  FCodeOnly = codeOnly;
  FMapFile = moduleFileName;
  FModule = module;
  // Sources in order: the compressed map in a module resource, TD32 debug
  // information, then a map file beside the module.
  if (const IMAGE_NT_HEADERS* nt = PeNtHeaders(reinterpret_cast<HMODULE>(module))) {
    FBounds = BoundsOf(module, *nt);
    FModuleFile = moduleFileName;
    FLoaded = LoadMapResource() || LoadTd32Info(nt) || LoadMapBesideModule();
  } else {
    FLoaded = LoadTd32Info(nullptr) || LoadMapBesideModule();
  }
}

namespace {

// The debug directory's entry (relative address and size) of a PE header of
// either width, read from bytes that may be a file: false when absent.
bool DebugDirectoryOf(std::string_view image, std::size_t peOffset, std::uint32_t& address, std::uint32_t& size,
                      std::size_t& sectionTable, std::uint16_t& sectionCount) {
  const auto u16 = [&](std::size_t at) -> std::uint32_t {
    return static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8;
  };
  const auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (peOffset > image.size() || image.size() - peOffset < 24 + 2) return false;
  const std::size_t optional = peOffset + 24;
  sectionCount = static_cast<std::uint16_t>(u16(peOffset + 6));
  sectionTable = optional + u16(peOffset + 20);
  const std::uint32_t magic = u16(optional);
  const std::size_t directories = optional + (magic == 0x20b ? 112 : 96);
  const std::size_t debug = directories + 6 * 8;
  if (debug + 8 > image.size()) return false;
  address = u32(debug);
  size = u32(debug + 4);
  return true;
}

class TMappedFile {
public:
  explicit TMappedFile(const std::string& name)
      : FFile(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    LARGE_INTEGER size;
    if (FFile.Get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(FFile.Get(), &size) || size.QuadPart <= 0 ||
        static_cast<unsigned long long>(size.QuadPart) > 0x7FFFFFFF)
      return;
    FMapping = CreateFileMappingA(FFile.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (FMapping == nullptr) return;
    FView = MapViewOfFile(FMapping, FILE_MAP_READ, 0, 0, 0);
    if (FView != nullptr) FSize = static_cast<std::size_t>(size.QuadPart);
  }
  ~TMappedFile() {
    if (FView != nullptr) UnmapViewOfFile(FView);
    if (FMapping != nullptr) CloseHandle(FMapping);
  }
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;
  std::string_view Bytes() const { return {static_cast<const char*>(FView), FSize}; }

private:
  TFileHandle FFile;
  HANDLE FMapping = nullptr;
  void* FView = nullptr;
  std::size_t FSize = 0;
};

}  // namespace

bool TMapFile::LoadTd32Info(const void* peHeader) {
  if (peHeader != nullptr) {
    const auto* nt = static_cast<const IMAGE_NT_HEADERS*>(peHeader);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    if (dir.VirtualAddress != 0) {
      // Inside the image: every piece must lie within it.
      const std::uint64_t imageSize = nt->OptionalHeader.SizeOfImage;
      if (std::uint64_t{dir.VirtualAddress} + sizeof(IMAGE_DEBUG_DIRECTORY) > imageSize) return false;
      const auto* entry = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(FModule + dir.VirtualAddress);
      if (entry->AddressOfRawData == 0 || std::uint64_t{entry->AddressOfRawData} + entry->SizeOfData > imageSize)
        return false;
      return ParseTd32(std::string_view(reinterpret_cast<const char*>(FModule + entry->AddressOfRawData),
                                        entry->SizeOfData),
                       *this);
    }
  }
  // A file: the given ".tds", else a ".tds" beside the module, else the module file.
  const std::size_t slash = FMapFile.find_last_of("\\/");
  const std::size_t dot = FMapFile.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  std::string fileName = FMapFile;
  if (!hasExtension || !TextEquals(FMapFile.substr(dot), ".tds")) {
    const std::string tds = (hasExtension ? FMapFile.substr(0, dot) : FMapFile) + ".tds";
    if (GetFileAttributesA(tds.c_str()) != INVALID_FILE_ATTRIBUTES) fileName = tds;
  }
  if (GetFileAttributesA(fileName.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const TMappedFile file(fileName);
  const std::string_view bytes = file.Bytes();
  if (bytes.size() < 64) return false;
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  const std::size_t pe = u32(60);
  if (bytes[0] != 'M' || bytes[1] != 'Z' || pe > bytes.size() - 4 || bytes.substr(pe, 4) != std::string_view("PE\0\0", 4))
    return ParseTd32(bytes, *this);
  // A program file: its last section must hold the debug directory.
  std::uint32_t address = 0, size = 0;
  std::size_t sections = 0;
  std::uint16_t count = 0;
  if (!DebugDirectoryOf(bytes, pe, address, size, sections, count) || count == 0) return false;
  const std::size_t last = sections + (count - 1u) * std::size_t{40};
  if (last + 40 > bytes.size()) return false;
  const std::uint32_t raw = u32(last + 20);
  if (raw == 0 || u32(last + 12) != address || std::uint64_t{raw} + sizeof(IMAGE_DEBUG_DIRECTORY) > bytes.size())
    return false;
  const std::uint32_t blockOffset = u32(raw + 24), blockSize = u32(raw + 16);
  if (blockOffset > bytes.size() || blockSize > bytes.size() - blockOffset) return false;
  return ParseTd32(bytes.substr(blockOffset, blockSize), *this);
}

bool TMapFile::LoadMapResource() {
  const auto module = reinterpret_cast<HMODULE>(FModule);
  HRSRC found = FindResourceA(module, "EXCEPT", "QEL");
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return false;
  // Resources of a loaded module need no release.
  return LoadCompressedMap(std::string_view(static_cast<const char*>(bytes), SizeofResource(module, found)), *this);
}

bool TMapFile::LoadMapBesideModule() {
  // Only the file name's own extension is cut, never a dot of a folder name.
  const std::size_t slash = FMapFile.find_last_of("\\/");
  const std::size_t dot = FMapFile.rfind('.');
  const std::string base =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? FMapFile.substr(0, dot) : FMapFile;
  std::string text;
  if (LoadFileText(base + ".map", text)) {
    ParseTextMap(text, *this);
    // A map that yields nothing does not count: the next source is tried.
    if (HasContent()) {
      FMapFile = base + ".map";
      return true;
    }
  }
  if (LoadFileText(base + ".qel", text) && LoadCompressedMap(text, *this)) {
    FMapFile = base + ".qel";
    return true;
  }
  return false;
}

TMapFileCache& MapFileCache() {
  static TMapFileCache cache(FileDosDate);
  return cache;
}

void ClearMapFileCache() { MapFileCache().Clear(); }

std::shared_ptr<const TMapFile> MapFileForAddress(MapAddress address) {
  try {
    if (address == 0) address = reinterpret_cast<MapAddress>(&EmptyMap);  // this module
    HMODULE module = nullptr;
    std::string fileName;
    if (!ModuleOfAddress(reinterpret_cast<const void*>(address), module, fileName)) return EmptyMap();
    if (auto cached = MapFileCache().Cached(fileName)) return cached;
    auto map = std::make_shared<const TMapFile>(true, false, reinterpret_cast<MapAddress>(module), fileName);
    if (!map->Loaded()) return map;
    return MapFileCache().Cache(fileName, std::move(map));
  } catch (...) {
    return EmptyMap();
  }
}

bool AddressMapInfo(MapAddress address, std::string& moduleFile, std::string& unit, std::string& publicName,
                    MapAddress& publicAddress, std::int32_t& line) {
  if (address == 0) return false;
  const auto map = MapFileForAddress(address);
  if (!map->Loaded()) return false;
  moduleFile = map->ModuleFile();
  unit = map->SegmentOfAddress(true, address).unit;
  const TMfPublic pub = map->PublicOfAddress(address);
  publicName = pub.name;
  publicAddress = pub.valid ? pub.address : 0;
  line = map->LineOfAddress(address);
  return true;
}

void MapProcNameHook(std::uint32_t address, std::string& name) {
  name.clear();
  const auto map = MapFileForAddress(address);
  if (!map->Loaded()) return;
  const TMfPublic pub = map->PublicOfAddress(address);
  if (pub.valid && pub.address == address) name = pub.name;
}

void MapLineHook(std::uint32_t address, std::int32_t& line, std::uint32_t& rangeStart, std::uint32_t& rangeEnd) {
  if (address == 0 || (line != 0 && rangeStart <= address && address < rangeEnd)) return;
  const auto map = MapFileForAddress(address);
  if (!map->Loaded()) return;
  MapAddress next = 0;
  line = map->LineOfAddressRange(address, next);
  rangeStart = address;
  rangeEnd = static_cast<std::uint32_t>(next);
}

void qelMapFileInit() {
  MapDemangleHook = DemangleExportName;
  NameProviderHook = MapProcNameHook;
  LineProviderHook = MapLineHook;
}

void qelMapFileFini() { ClearMapFileCache(); }

}  // namespace qel
