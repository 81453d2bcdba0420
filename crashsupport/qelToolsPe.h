// PE header and export-table reader over an image view: the bytes of a module
// as the loader mapped it (memory layout: relative address = offset) or of its
// file (file layout: relative addresses go through the section table). Every
// offset, index and size taken from the image is checked against the view;
// malformed images give "nothing found", never a read past the view.
// Portable: qelTools.cpp puts loaded modules and mapped files behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qel {

struct TPeView {
  const uint8_t* Data = nullptr;
  size_t Size = 0;
  bool FileLayout = false;
};

struct TPeHeaders {
  uint32_t NtOffset = 0;            // the "PE\0\0" signature
  uint16_t Machine = 0;
  uint16_t NumberOfSections = 0;    // as many as lie inside the view
  uint32_t SectionTable = 0;        // offset of the first section header
  bool Pe32Plus = false;
  uint32_t SizeOfImage = 0;
  uint32_t NumberOfDirectories = 0; // as many as lie inside the optional header
  uint32_t DirectoryTable = 0;      // offset of data directory 0
};

inline constexpr uint32_t kPeExportDirectory = 0;

// MZ, e_lfanew, "PE" and two zero bytes, file header and optional header (PE32 or PE32+).
bool PeReadHeaders(const TPeView& view, TPeHeaders& headers);
// Data directory number index; false when absent or its address is 0.
bool PeDirectory(const TPeView& view, const TPeHeaders& headers, uint32_t index, uint32_t& rva, uint32_t& size);
// File offset of a relative address: the first section that holds it (the last
// section reaches to the end); an address in no section is returned unchanged.
uint32_t PeRvaToFileOffset(const TPeView& view, const TPeHeaders& headers, uint32_t rva);
// Pointer to length bytes at a relative address of the view, or nullptr.
const uint8_t* PeAt(const TPeView& view, const TPeHeaders& headers, uint32_t rva, size_t length);

struct TPeExports {
  uint32_t DirectoryRva = 0;
  uint32_t DirectorySize = 0;
  uint32_t Base = 0;
  uint32_t NumberOfFunctions = 0;   // clipped to the entries that lie in the view
  uint32_t NumberOfNames = 0;       // clipped the same way
  uint32_t AddressOfFunctions = 0;
  uint32_t AddressOfNames = 0;
  uint32_t AddressOfNameOrdinals = 0;
};

bool PeReadExports(const TPeView& view, const TPeHeaders& headers, TPeExports& exports);

// What an export entry stands for.
struct TPeExport {
  enum Kind { None, Code, Forwarder } kind = None;
  uint32_t Index = 0;       // into the address table
  uint32_t Rva = 0;         // the table's value (also for forwarders)
  std::string Forward;      // "MODULE.Routine" or "MODULE.#n"
};

// What an address-table value stands for: a forwarder when it lies inside the
// export directory (None when its text does not end inside the view), else code.
TPeExport PeExportOfValue(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports, uint32_t value);
// Entry of the address table: None for an index out of range or a 0 entry;
// a forwarder when the value lies inside the export directory.
TPeExport PeExportByIndex(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports, uint32_t index);
// First name of the name table that equals name (case-sensitive).
TPeExport PeExportByName(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports,
                         const std::string& name);
TPeExport PeExportByOrdinal(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports,
                            uint32_t ordinal);
// Index of the first name that equals name, or false.
bool PeExportIndexOfName(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports,
                         const std::string& name, uint32_t& index);
// Name of the first address-table entry equal to rva: its export name, or "#"
// and its ordinal when no name refers to it. Empty when rva is not exported.
std::string PeExportNameOfRva(const TPeView& view, const TPeHeaders& headers, const TPeExports& exports, uint32_t rva);

// "KERNEL32.Routine": module name (before the first "." from the second
// character on) and routine; a routine "#n" sets ordinal to n.
struct TPeForward {
  std::string Module;
  std::string Routine;
  bool ByOrdinal = false;
  uint32_t Ordinal = 0;
};
bool PeSplitForwarder(const std::string& text, TPeForward& forward);

// Forwarder chains longer than this are taken for loops.
inline constexpr int kMaxForwarderDepth = 8;

}  // namespace qel
