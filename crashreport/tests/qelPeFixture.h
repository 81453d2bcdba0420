// A module image as it lies in memory, with an import directory whose two
// descriptors both import one function: for the import-table walk.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace qeltest {

struct TPeFixtureOptions {
  bool Pe64 = false;
  uint64_t Function = 0;    // imported by both descriptors
  uint64_t Other = 0;       // a second function of the first descriptor
  bool NoImports = false;   // import directory RVA 0
  bool BadSecondThunk = false;  // second descriptor's address table beyond the directory
};

inline constexpr uint32_t kFixtureImageSize = 0x1000;
inline constexpr uint32_t kFixtureFirstTable = 0x280;   // [Other, Function, 0]
inline constexpr uint32_t kFixtureSecondTable = 0x2A0;  // [Function, 0]

inline void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put16(std::vector<uint8_t>& image, size_t at, uint16_t v) {
  image[at] = static_cast<uint8_t>(v);
  image[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutSlot(std::vector<uint8_t>& image, size_t at, uint64_t v, bool pe64) {
  Put32(image, at, static_cast<uint32_t>(v));
  if (pe64) Put32(image, at + 4, static_cast<uint32_t>(v >> 32));
}

inline std::vector<uint8_t> BuildImportImage(const TPeFixtureOptions& o) {
  std::vector<uint8_t> image(kFixtureImageSize, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x80);
  std::memcpy(&image[0x80], "PE\0\0", 4);
  Put16(image, 0x84, o.Pe64 ? 0x8664 : 0x14C);
  Put16(image, 0x94, o.Pe64 ? 240 : 224);
  const size_t optional = 0x98;
  Put16(image, optional, o.Pe64 ? 0x20B : 0x10B);
  Put32(image, optional + 4, 0x100);   // SizeOfCode
  Put32(image, optional + 20, 0x800);  // BaseOfCode
  Put32(image, optional + 56, kFixtureImageSize);
  const size_t dirs = optional + (o.Pe64 ? 112 : 96);
  Put32(image, dirs - 4, 16);
  if (!o.NoImports) {
    Put32(image, dirs + 8, 0x200);  // import directory: RVA, size
    Put32(image, dirs + 12, 0x200);
  }
  const size_t slot = o.Pe64 ? 8 : 4;
  // Descriptor 1 (two functions), descriptor 2 (one), then the empty one.
  Put32(image, 0x200 + 12, 0x300);
  Put32(image, 0x200 + 16, kFixtureFirstTable);
  Put32(image, 0x214 + 12, 0x310);
  Put32(image, 0x214 + 16, o.BadSecondThunk ? 0x500 : kFixtureSecondTable);
  std::memcpy(&image[0x300], "one.dll", 8);
  std::memcpy(&image[0x310], "two.dll", 8);
  PutSlot(image, kFixtureFirstTable, o.Other, o.Pe64);
  PutSlot(image, kFixtureFirstTable + slot, o.Function, o.Pe64);
  PutSlot(image, kFixtureSecondTable, o.Function, o.Pe64);
  return image;
}

}  // namespace qeltest
