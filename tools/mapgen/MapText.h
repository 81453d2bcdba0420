// Writes the linker text map of a PE image from its symbol table and DWARF
// line table, in the columns the module map reader reads.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "PeImage.h"

namespace mapgen {

// A demangled routine name without return type, parameter list, qualifiers
// and blanks ("(anonymous namespace)" written "{anonymous}").
std::string RoutineName(const std::string& demangled);
// A routine name as the map writes it: scopes joined by "." as the reporter
// shows every C++ name.
std::string MapName(const std::string& routine);
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
  std::uint64_t end = 0;  // where the next symbol of the code starts
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

// What goes into the map: every routine of the symbol table, every line of
// the line table, units as maximal address runs of one file inside routines.
struct MapContent {
  std::vector<MapUnitRange> units;
  std::vector<MapPublic> publics;
  std::vector<MapLine> lines;
};

MapContent CollectContent(const PeImage& image);
// The map text (CR LF lines); moduleName names the data segment's unit.
std::string WriteMapText(const PeImage& image, const MapContent& content, const std::string& moduleName);
// The unit name of a source file: its file name.
std::string UnitName(const std::string& path);

}  // namespace mapgen
