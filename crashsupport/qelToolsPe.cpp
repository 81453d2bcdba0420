// PE header and export-table reader over an image view, bounds-checked throughout.
#include "qelToolsPe.h"

#include <cstring>

namespace qel {

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr size_t kMaxNameLength = 4096;  // longer export names are taken for garbage

bool Inside(const TPeView& view, uint64_t offset, uint64_t length) {
  return view.Data != nullptr && offset <= view.Size && length <= view.Size - offset;
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ReadU32At(const TPeView& view, const TPeHeaders& h, uint32_t rva, uint32_t& value) {
  const uint8_t* p = PeAt(view, h, rva, 4);
  if (p == nullptr) return false;
  value = U32(p);
  return true;
}

bool ReadU16At(const TPeView& view, const TPeHeaders& h, uint32_t rva, uint16_t& value) {
  const uint8_t* p = PeAt(view, h, rva, 2);
  if (p == nullptr) return false;
  value = U16(p);
  return true;
}

// Zero-terminated text at rva; false when it does not end inside the view.
bool ReadText(const TPeView& view, const TPeHeaders& h, uint32_t rva, std::string& text) {
  const uint8_t* p = PeAt(view, h, rva, 1);
  if (p == nullptr) return false;
  const size_t room = view.Size - static_cast<size_t>(p - view.Data);
  const size_t limit = room < kMaxNameLength ? room : kMaxNameLength;
  const void* end = std::memchr(p, 0, limit);
  if (end == nullptr) return false;
  text.assign(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(end) - p);
  return true;
}

bool NameAt(const TPeView& view, const TPeHeaders& h, const TPeExports& e, uint32_t i, std::string& name) {
  uint32_t nameRva = 0;
  return ReadU32At(view, h, e.AddressOfNames + i * 4, nameRva) && ReadText(view, h, nameRva, name);
}

uint32_t EntriesInView(const TPeView& view, const TPeHeaders& h, uint32_t rva, uint32_t count, uint32_t width) {
  // Tables are contiguous in both layouts as long as they lie in one section;
  // find how many whole entries are reachable one by one only when the whole table is not.
  if (count == 0) return 0;
  const uint64_t bytes = uint64_t{count} * width;
  if (bytes <= view.Size && PeAt(view, h, rva, static_cast<size_t>(bytes)) != nullptr) return count;
  uint32_t n = 0;
  while (n < count && PeAt(view, h, rva + n * width, width) != nullptr) ++n;
  return n;
}

}  // namespace

bool PeReadHeaders(const TPeView& view, TPeHeaders& h) {
  h = TPeHeaders{};
  if (!Inside(view, 0, 64) || view.Data[0] != 'M' || view.Data[1] != 'Z') return false;
  const uint32_t nt = U32(view.Data + 60);
  if (!Inside(view, nt, 24)) return false;
  const uint8_t* p = view.Data + nt;
  if (p[0] != 'P' || p[1] != 'E' || p[2] != 0 || p[3] != 0) return false;
  h.NtOffset = nt;
  h.Machine = U16(p + 4);
  const uint16_t sections = U16(p + 6);
  const uint16_t optionalSize = U16(p + 20);
  const uint64_t optional = uint64_t{nt} + 24;
  if (!Inside(view, optional, optionalSize) || optionalSize < 2) return false;
  const uint16_t magic = U16(view.Data + optional);
  uint32_t directoryOffset = 0;
  if (magic == 0x10B) {
    directoryOffset = 96;
  } else if (magic == 0x20B) {
    directoryOffset = 112;
    h.Pe32Plus = true;
  } else {
    return false;
  }
  if (optionalSize < directoryOffset) return false;
  h.SizeOfImage = U32(view.Data + optional + 56);
  const uint32_t declared = U32(view.Data + optional + directoryOffset - 4);
  const uint32_t room = (optionalSize - directoryOffset) / 8;
  h.NumberOfDirectories = declared < room ? declared : room;
  h.DirectoryTable = static_cast<uint32_t>(optional + directoryOffset);
  h.SectionTable = static_cast<uint32_t>(optional + optionalSize);
  uint32_t inView = 0;
  while (inView < sections && Inside(view, uint64_t{h.SectionTable} + uint64_t{inView} * kSectionHeaderSize,
                                     kSectionHeaderSize))
    ++inView;
  h.NumberOfSections = static_cast<uint16_t>(inView);
  return true;
}

bool PeDirectory(const TPeView& view, const TPeHeaders& h, uint32_t index, uint32_t& rva, uint32_t& size) {
  if (index >= h.NumberOfDirectories || !Inside(view, uint64_t{h.DirectoryTable} + uint64_t{index} * 8, 8))
    return false;
  const uint8_t* p = view.Data + h.DirectoryTable + index * 8;
  rva = U32(p);
  size = U32(p + 4);
  return rva != 0;
}

uint32_t PeRvaToFileOffset(const TPeView& view, const TPeHeaders& h, uint32_t rva) {
  for (uint32_t i = 0; i < h.NumberOfSections; ++i) {
    const uint8_t* s = view.Data + h.SectionTable + i * kSectionHeaderSize;
    const uint32_t va = U32(s + 12);
    if (va > rva) continue;
    if (i + 1 < h.NumberOfSections && U32(s + kSectionHeaderSize + 12) <= rva) continue;
    return rva - va + U32(s + 20);
  }
  return rva;
}

const uint8_t* PeAt(const TPeView& view, const TPeHeaders& h, uint32_t rva, size_t length) {
  const uint32_t offset = view.FileLayout ? PeRvaToFileOffset(view, h, rva) : rva;
  return Inside(view, offset, length) ? view.Data + offset : nullptr;
}

bool PeReadExports(const TPeView& view, const TPeHeaders& h, TPeExports& e) {
  e = TPeExports{};
  uint32_t rva = 0, size = 0;
  if (!PeDirectory(view, h, kPeExportDirectory, rva, size)) return false;
  const uint8_t* d = PeAt(view, h, rva, 40);
  if (d == nullptr) return false;
  e.DirectoryRva = rva;
  e.DirectorySize = size;
  e.Base = U32(d + 16);
  e.AddressOfFunctions = U32(d + 28);
  e.AddressOfNames = U32(d + 32);
  e.AddressOfNameOrdinals = U32(d + 36);
  e.NumberOfFunctions = EntriesInView(view, h, e.AddressOfFunctions, U32(d + 20), 4);
  const uint32_t names = EntriesInView(view, h, e.AddressOfNames, U32(d + 24), 4);
  const uint32_t ordinals = EntriesInView(view, h, e.AddressOfNameOrdinals, names, 2);
  e.NumberOfNames = ordinals;
  return true;
}

TPeExport PeExportByIndex(const TPeView& view, const TPeHeaders& h, const TPeExports& e, uint32_t index) {
  TPeExport result;
  uint32_t value = 0;
  if (index >= e.NumberOfFunctions || !ReadU32At(view, h, e.AddressOfFunctions + index * 4, value) || value == 0)
    return result;
  result = PeExportOfValue(view, h, e, value);
  result.Index = index;
  return result;
}

TPeExport PeExportOfValue(const TPeView& view, const TPeHeaders& h, const TPeExports& e, uint32_t value) {
  TPeExport result;
  result.Rva = value;
  // Inside the export directory the entry is the text of a forwarder.
  if (value >= e.DirectoryRva && uint64_t{value} < uint64_t{e.DirectoryRva} + e.DirectorySize) {
    if (!ReadText(view, h, value, result.Forward)) return TPeExport{};
    result.kind = TPeExport::Forwarder;
  } else {
    result.kind = TPeExport::Code;
  }
  return result;
}

bool PeExportIndexOfName(const TPeView& view, const TPeHeaders& h, const TPeExports& e, const std::string& name,
                         uint32_t& index) {
  std::string candidate;
  for (uint32_t i = 0; i < e.NumberOfNames; ++i) {
    if (!NameAt(view, h, e, i, candidate) || candidate != name) continue;
    uint16_t ordinalIndex = 0;
    if (!ReadU16At(view, h, e.AddressOfNameOrdinals + i * 2, ordinalIndex)) return false;
    index = ordinalIndex;
    return true;
  }
  return false;
}

TPeExport PeExportByName(const TPeView& view, const TPeHeaders& h, const TPeExports& e, const std::string& name) {
  uint32_t index = 0;
  return PeExportIndexOfName(view, h, e, name, index) ? PeExportByIndex(view, h, e, index) : TPeExport{};
}

TPeExport PeExportByOrdinal(const TPeView& view, const TPeHeaders& h, const TPeExports& e, uint32_t ordinal) {
  if (ordinal < e.Base) return TPeExport{};
  return PeExportByIndex(view, h, e, ordinal - e.Base);
}

std::string PeExportNameOfRva(const TPeView& view, const TPeHeaders& h, const TPeExports& e, uint32_t rva) {
  uint32_t index = 0;
  for (;; ++index) {
    uint32_t value = 0;
    if (index >= e.NumberOfFunctions) return {};
    if (rva != 0 && ReadU32At(view, h, e.AddressOfFunctions + index * 4, value) && value == rva) break;
  }
  for (uint32_t i = 0; i < e.NumberOfNames; ++i) {
    uint16_t ordinalIndex = 0;
    std::string name;
    if (ReadU16At(view, h, e.AddressOfNameOrdinals + i * 2, ordinalIndex) && ordinalIndex == index &&
        NameAt(view, h, e, i, name))
      return name;
  }
  std::string unnamed(1, '#');
  unnamed += std::to_string(uint64_t{e.Base} + index);
  return unnamed;
}

bool PeSplitForwarder(const std::string& text, TPeForward& forward) {
  forward = TPeForward{};
  const size_t dot = text.size() > 1 ? text.find('.', 1) : std::string::npos;
  if (dot == std::string::npos || dot + 1 >= text.size()) return false;
  forward.Module = text.substr(0, dot);
  forward.Routine = text.substr(dot + 1);
  if (forward.Routine[0] == '#') {
    if (forward.Routine.size() < 2 || forward.Routine.size() > 6) return false;
    uint32_t n = 0;
    for (size_t i = 1; i < forward.Routine.size(); ++i) {
      const char c = forward.Routine[i];
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    if (n > 0xFFFF) return false;
    forward.ByOrdinal = true;
    forward.Ordinal = n;
  }
  return true;
}

}  // namespace qel
