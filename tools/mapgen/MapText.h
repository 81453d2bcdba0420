// Writes the linker text map of a PE image from its symbol table and DWARF
// line table, in the columns the module map reader reads.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "PeImage.h"

namespace mapgen {

// A demangled routine name as the map stores it: without return type,
// parameter list, qualifiers and blanks.
std::string RoutineName(const std::string& demangled);
// The readable name of a symbol: C++ names demangled, C names without the
// platform's "_" and a stdcall or fastcall "@N". Empty when it names no routine.
std::string SymbolRoutineName(const std::string& symbol, bool is64);
// The name without its template argument lists.
std::string WithoutTemplateArguments(const std::string& name);

struct MapPublic {
  std::uint64_t address = 0;
  std::string name;
  // Further names of the same code (the compiler folds identical routines).
  std::vector<std::string> aliases;
};

struct MapLine {
  std::uint64_t address = 0;
  std::uint32_t line = 0;
  std::string file;  // full path
  bool initialFile = false;
};

struct MapUnitRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string file;  // full path
};

// What goes into the map: routines and lines of the files below one of the
// roots and not below an excluded folder (our own sources), units as maximal
// address runs of one file.
struct MapContent {
  std::vector<MapUnitRange> units;
  std::vector<MapPublic> publics;
  std::vector<MapLine> lines;
};

MapContent CollectContent(const PeImage& image, const std::vector<std::string>& roots,
                          const std::vector<std::string>& excluded);
// The map text (CR LF lines); moduleName names the data segment's unit.
std::string WriteMapText(const PeImage& image, const MapContent& content, const std::string& moduleName);
// The unit name of a source file: its file name.
std::string UnitName(const std::string& path);

}  // namespace mapgen
