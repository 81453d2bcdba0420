// A small PE image with an export table, in memory or file layout, PE32 or
// PE32+, for the export reader's tests and the fuzzer's seeds.
//   sections: .text at $1000 (file $400), .edata at $2000 (file $600)
//   exports (Base 5): #5 "Alpha" = $1010, #6 empty, #7 unnamed = $1020,
//   #8 "Fwd" -> "OTHER.Beta", #9 "FwdOrd" -> "OTHER.#3"
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qel::testimage {

inline constexpr uint32_t kNtOffset = 0x80;
inline constexpr uint32_t kExportRva = 0x2000;
inline constexpr uint32_t kExportSize = 0x200;
inline constexpr uint32_t kSizeOfImage = 0x3000;

struct Offsets {  // where the export directory's fields lie in the buffer
  uint32_t directory, functions, names, ordinals, sectionTable, optional;
};

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline std::vector<uint8_t> BuildImage(bool pe32plus, bool fileLayout, Offsets* where = nullptr) {
  std::vector<uint8_t> b(fileLayout ? 0x800 : kSizeOfImage, 0);
  auto at = [fileLayout](uint32_t rva) { return fileLayout && rva >= 0x2000 ? rva - 0x2000 + 0x600 : rva; };
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 60, kNtOffset);
  std::memcpy(&b[kNtOffset], "PE\0\0", 4);
  Put16(b, kNtOffset + 4, pe32plus ? 0x8664 : 0x14C);
  Put16(b, kNtOffset + 6, 2);
  const uint16_t optionalSize = pe32plus ? 240 : 224;
  Put16(b, kNtOffset + 20, optionalSize);
  const uint32_t opt = kNtOffset + 24;
  Put16(b, opt, pe32plus ? 0x20B : 0x10B);
  Put32(b, opt + 56, kSizeOfImage);
  const uint32_t dirs = opt + (pe32plus ? 112 : 96);
  Put32(b, dirs - 4, 16);
  Put32(b, dirs, kExportRva);
  Put32(b, dirs + 4, kExportSize);
  const uint32_t sections = opt + optionalSize;
  const struct { const char* name; uint32_t va, size, raw; } sec[] = {{".text", 0x1000, 0x200, 0x400},
                                                                      {".edata", 0x2000, 0x200, 0x600}};
  for (int i = 0; i < 2; ++i) {
    const uint32_t s = sections + 40 * i;
    std::memcpy(&b[s], sec[i].name, std::strlen(sec[i].name));
    Put32(b, s + 8, sec[i].size);
    Put32(b, s + 12, sec[i].va);
    Put32(b, s + 16, sec[i].size);
    Put32(b, s + 20, sec[i].raw);
  }
  // Export directory and its tables.
  const uint32_t functions = 0x2040, names = 0x2060, ordinals = 0x2070, strings = 0x2080;
  const uint32_t d = at(kExportRva);
  Put32(b, d + 16, 5);  // Base
  Put32(b, d + 20, 5);  // NumberOfFunctions
  Put32(b, d + 24, 3);  // NumberOfNames
  Put32(b, d + 28, functions);
  Put32(b, d + 32, names);
  Put32(b, d + 36, ordinals);
  uint32_t text = strings;
  auto str = [&](const char* s) {
    const uint32_t rva = text;
    std::memcpy(&b[at(rva)], s, std::strlen(s) + 1);
    text += static_cast<uint32_t>(std::strlen(s) + 1);
    return rva;
  };
  const uint32_t fwd = str("OTHER.Beta"), fwdOrd = str("OTHER.#3");
  const uint32_t values[] = {0x1010, 0, 0x1020, fwd, fwdOrd};
  for (int i = 0; i < 5; ++i) Put32(b, at(functions) + 4 * i, values[i]);
  const struct { const char* name; uint16_t index; } named[] = {{"Alpha", 0}, {"Fwd", 3}, {"FwdOrd", 4}};
  for (int i = 0; i < 3; ++i) {
    Put32(b, at(names) + 4 * i, str(named[i].name));
    Put16(b, at(ordinals) + 2 * i, named[i].index);
  }
  if (where != nullptr) *where = Offsets{d, at(functions), at(names), at(ordinals), sections, opt};
  return b;
}

}  // namespace qel::testimage
