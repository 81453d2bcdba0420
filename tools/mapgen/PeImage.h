// A PE image file as the map writer needs it: headers, sections, the COFF
// symbol table and the DWARF line table. Every read is bounds-checked; a
// file that does not fit throws std::runtime_error.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mapgen {

struct Section {
  std::string name;
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t characteristics = 0;
};

struct Symbol {
  std::string name;  // as stored (mangled, with the platform's prefix)
  std::uint64_t address = 0;  // absolute, image base included
  bool function = false;
  bool external = false;
  std::string file;  // the source name of the object file it came from ("" when none was named)
};

// One row of the line table.
struct LineRow {
  std::uint64_t address = 0;
  std::string file;  // full path, "." and ".." folded
  std::uint32_t line = 0;
  bool endSequence = false;
  // No file was set yet in this sequence: the row has the initial file 1,
  // which addr2line takes for file 0 in version 5 tables.
  bool initialFile = false;
};

class PeImage {
public:
  explicit PeImage(std::string bytes);

  bool is64() const { return FIs64; }
  std::uint64_t imageBase() const { return FImageBase; }
  std::uint32_t entryPoint() const { return FEntryPoint; }
  // Relative addresses of the code and data the map's offsets count from
  // (the rules the module loader's map reader applies).
  std::uint32_t codeStart() const { return FCodeStart; }
  std::uint32_t codeSize() const { return FCodeSize; }
  std::uint32_t dataStart() const { return FDataStart; }
  std::uint32_t dataSize() const { return FDataSize; }
  const std::vector<Section>& sections() const { return FSections; }

  // Every external and static symbol of a section, in the table's order (so
  // by object file), section names (".text", ".text.unlikely") included.
  std::vector<Symbol> symbols() const;
  // Rows of every sequence, in the order of the line programs.
  std::vector<LineRow> lineRows() const;

private:
  std::string_view sectionData(const std::string& name) const;  // empty when absent

  std::string FBytes;
  bool FIs64 = false;
  std::uint64_t FImageBase = 0;
  std::uint32_t FEntryPoint = 0;
  std::uint32_t FCodeStart = 0, FCodeSize = 0, FDataStart = 0, FDataSize = 0;
  std::uint32_t FSymbolTable = 0, FSymbolCount = 0;
  std::vector<Section> FSections;
};

// "a/./b/../c" -> "a/c".
std::string FoldPath(const std::string& path);

}  // namespace mapgen
