// Portable parts of the reporter's process and module routines: file-name
// splitting, identifier and range tests, the walk of a loaded module's import
// table and the check of a class's stored type name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

std::string FileNameOnly(const std::string& path);   // after the last backslash
std::string FilePathOnly(const std::string& path);   // up to and including it
bool PointerInRange(uintptr_t pointer, uintptr_t low, uintptr_t high);  // nil passes
bool IsIdentifier(const std::string& text);

// Where a loaded module's import address table holds a given function.
struct TImportSlots {
  std::vector<size_t> Offsets;  // byte offsets of the slots from the module base
  bool BadTable = false;        // a descriptor's address table lies beyond the directory
};

// Walks the import descriptors of a module image as it lies in memory
// (`image` of `size` bytes, headers at the start) and lists the address-table
// slots that hold `function`. Slots are 4 bytes in PE32 and 8 in PE32+ images.
// Everything outside the image ends the walk.
TImportSlots FindImportSlots(const uint8_t* image, size_t size, uint64_t function);

// The class name of an Itanium-mangled type name of a class ("N2zf9ExceptionE"
// gives "Exception", "9TMyThread" gives "TMyThread"); empty when the text is
// no class type name made of identifiers.
std::string ClassNameOfTypeName(const char* mangled, size_t maxLength);

}  // namespace qel
