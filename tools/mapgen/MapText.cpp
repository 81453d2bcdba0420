#include "MapText.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace mapgen {

namespace {

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string Hex8(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(v & 0xFFFFFFFFu));
  return buf;
}

}  // namespace

std::string RoutineName(const std::string& s) {
  // Positions at nesting depth 0: the last "(" opens the parameter list, the
  // last blank before it ends the return type. Operator names are skipped
  // whole so that their "<", "(" or blanks count for nothing.
  int depth = 0;
  std::size_t paramOpen = std::string::npos, lastBlank = std::string::npos;
  std::vector<std::size_t> blanks;
  for (std::size_t i = 0; i < s.size();) {
    if (s.compare(i, 8, "operator") == 0 && (i == 0 || !IsWordChar(s[i - 1])) &&
        (i + 8 == s.size() || !IsWordChar(s[i + 8]))) {
      std::size_t j = i + 8;
      if (s.compare(j, 2, "()") == 0 || s.compare(j, 2, "[]") == 0) {
        j += 2;
      } else if (j < s.size() && s[j] == ' ') {  // conversion, new, delete: up to the parameter list
        while (j < s.size() && s[j] != '(') ++j;
      } else {
        while (j < s.size() && std::string_view("<>=!+-*/%^&|~,").find(s[j]) != std::string_view::npos) ++j;
      }
      i = j;
      continue;
    }
    const char c = s[i];
    if (c == '(' || c == '<' || c == '{' || c == '[') {
      if (c == '(' && depth == 0) {
        paramOpen = i;
        lastBlank = blanks.empty() ? std::string::npos : blanks.back();
      }
      ++depth;
    } else if (c == ')' || c == '>' || c == '}' || c == ']') {
      if (depth > 0) --depth;
    } else if (c == ' ' && depth == 0) {
      blanks.push_back(i);
    }
    ++i;
  }
  std::string name;
  if (paramOpen == std::string::npos) {
    name = s;
  } else {
    const std::size_t from = lastBlank == std::string::npos ? 0 : lastBlank + 1;
    name = s.substr(from, paramOpen - from);
  }
  // A map name holds no blank: the compiler's own blank-free spelling of an
  // anonymous namespace, and the other blanks dropped.
  for (std::size_t at; (at = name.find("(anonymous namespace)")) != std::string::npos;)
    name.replace(at, 21, "{anonymous}");
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  return name;
}

std::string MapName(const std::string& routine) {
  std::string out;
  out.reserve(routine.size());
  for (std::size_t i = 0; i < routine.size(); ++i) {
    if (routine.compare(i, 2, "::") == 0) {
      out += '.';
      ++i;
    } else {
      out += routine[i];
    }
  }
  return out;
}

std::string SymbolRoutineName(const std::string& symbol, bool is64) {
  std::string name = symbol;
  if (name.empty() || name[0] == '.') return {};
  // i686 names carry a leading "_" (C++: "__Z"); fastcall ones an "@".
  if (!is64 && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
  // stdcall and fastcall routines end in "@" and their argument bytes.
  const std::size_t at = name.rfind('@');
  if (at != std::string::npos && at > 0 && at + 1 < name.size() &&
      std::all_of(name.begin() + static_cast<std::ptrdiff_t>(at) + 1, name.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    name.resize(at);
  if (name.compare(0, 2, "_Z") == 0) {
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                           std::free);
    if (status == 0 && demangled) return RoutineName(demangled.get());
  }
  return RoutineName(name);
}

std::string WithoutTemplateArguments(const std::string& name) {
  std::string out;
  int depth = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool opensList = c == '<' && (depth > 0 || (i > 0 && (IsWordChar(name[i - 1]) || name[i - 1] == '>') &&
                                                      !(i >= 8 && name.compare(i - 8, 8, "operator") == 0)));
    if (opensList) ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (depth == 0) out += c;
  }
  return out;
}

std::string UnitName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

MapContent CollectContent(const PeImage& image) {
  MapContent content;
  // One row per address, the last of a sequence at that address (the one a
  // line lookup of that address answers with).
  const std::vector<LineRow> rows = image.lineRows();
  struct Sequence {
    std::vector<LineRow> rows;
  };
  std::vector<Sequence> sequences(1);
  for (const LineRow& r : rows) {
    std::vector<LineRow>& seq = sequences.back().rows;
    if (!seq.empty() && seq.back().address == r.address && !seq.back().endSequence) seq.back() = r;
    else seq.push_back(r);
    if (r.endSequence) sequences.emplace_back();
  }
  // Sequences of routines that the linker dropped keep address 0: only rows
  // inside the code count.
  const std::uint64_t codeStart = image.imageBase() + image.codeStart();
  const std::uint64_t codeEnd = codeStart + image.codeSize();
  const auto inCode = [&](std::uint64_t a) { return a >= codeStart && a < codeEnd; };

  std::stable_sort(sequences.begin(), sequences.end(), [](const Sequence& a, const Sequence& b) {
    const std::uint64_t x = a.rows.empty() ? 0 : a.rows.front().address;
    const std::uint64_t y = b.rows.empty() ? 0 : b.rows.front().address;
    return x < y;
  });
  // Runs of one source file, from the line table.
  std::vector<MapUnitRange> fileRuns;
  for (const Sequence& seq : sequences) {
    for (std::size_t i = 0; i + 1 < seq.rows.size(); ++i) {
      const LineRow& r = seq.rows[i];
      if (r.endSequence || r.line == 0 || !inCode(r.address)) continue;
      const std::uint64_t end = std::min(seq.rows[i + 1].address, codeEnd);
      if (end <= r.address) continue;
      // Sequences do not overlap in a linked program; should they, the first keeps the address.
      if (!content.lines.empty() && r.address <= content.lines.back().address) continue;
      content.lines.push_back(MapLine{r.address, r.line, r.file, r.initialFile});
      if (!fileRuns.empty() && fileRuns.back().file == r.file && fileRuns.back().end == r.address)
        fileRuns.back().end = end;
      else
        fileRuns.push_back(MapUnitRange{r.address, end, r.file});
    }
  }

  // Every routine of the symbol table; it ends where the next symbol of the
  // code starts (a routine or an object file's section), the last one at the
  // code's end. The first name of an address is written, the others are kept
  // as aliases.
  std::vector<Symbol> symbols;
  for (Symbol& s : image.symbols())
    if (inCode(s.address)) symbols.push_back(std::move(s));
  std::stable_sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  std::map<std::uint64_t, std::string> routineFile;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const Symbol& s = symbols[i];
    const std::string name = MapName(SymbolRoutineName(s.name, image.is64()));
    if (name.empty()) continue;
    std::size_t next = i + 1;
    while (next < symbols.size() && symbols[next].address == s.address) ++next;
    const std::uint64_t end = next < symbols.size() ? symbols[next].address : codeEnd;
    if (content.publics.empty() || content.publics.back().address != s.address) {
      content.publics.push_back(MapPublic{s.address, name, {}, end});
      routineFile[s.address] = s.file;
    } else if (content.publics.back().name != name) {
      content.publics.back().aliases.push_back(name);
    }
  }

  // Units: the routines' code, named by the source file of each line-table
  // run, else by the object's source file. Code outside every routine stays
  // outside every unit, so that no lookup names a routine for it.
  const auto addPiece = [&](std::uint64_t start, std::uint64_t end, const std::string& file) {
    if (!content.units.empty() && content.units.back().file == file && content.units.back().end == start)
      content.units.back().end = end;
    else
      content.units.push_back(MapUnitRange{start, end, file});
  };
  std::size_t run = 0;
  for (const MapPublic& p : content.publics) {
    std::uint64_t pos = p.address;
    while (pos < p.end) {
      while (run < fileRuns.size() && fileRuns[run].end <= pos) ++run;
      if (run < fileRuns.size() && fileRuns[run].start <= pos) {
        const std::uint64_t end = std::min(p.end, fileRuns[run].end);
        addPiece(pos, end, fileRuns[run].file);
        pos = end;
      } else {
        const std::uint64_t end = run < fileRuns.size() ? std::min(p.end, fileRuns[run].start) : p.end;
        addPiece(pos, end, routineFile[p.address]);
        pos = end;
      }
    }
  }
  return content;
}

std::string WriteMapText(const PeImage& image, const MapContent& content, const std::string& moduleName) {
  const std::uint64_t codeStart = image.imageBase() + image.codeStart();
  std::string out;
  out.reserve(64 * (content.units.size() + content.publics.size()) + 24 * content.lines.size() + 1024);
  const auto line = [&](const std::string& text) {
    out += text;
    out += "\r\n";
  };
  line("");
  line(" Start         Length     Name                   Class");
  line(" 0001:00000000 " + Hex8(image.codeSize()) + "H .text                   CODE");
  line(" 0002:00000000 " + Hex8(image.dataSize()) + "H .data                   DATA");
  line("");
  line("Detailed map of segments");
  line("");
  const auto segment = [&](const char* number, std::uint64_t offset, std::uint64_t length, const char* cls,
                           const char* name, const char* group, std::string unit) {
    unit.resize(std::max<std::size_t>(unit.size(), 12), ' ');
    line(std::string(" ") + number + ":" + Hex8(offset) + " " + Hex8(length) + " C=" + cls + " S=" + name +
         " G=" + group + " M=" + unit + " ACBP=A9");
  };
  for (const MapUnitRange& u : content.units)
    segment("0001", u.start - codeStart, u.end - u.start, "CODE    ", ".text   ", "(none)  ", UnitName(u.file));
  segment("0002", 0, image.dataSize(), "DATA    ", ".data   ", "DGROUP  ", moduleName);
  line("");
  line("");
  line("  Address         Publics by Value");
  line("");
  for (const MapPublic& p : content.publics) {
    // A name that ends in ")" would lose its last "(...)" to the reader: an
    // empty parameter list after it is cut instead.
    const bool paren = !p.name.empty() && p.name.back() == ')';
    line(" 0001:" + Hex8(p.address - codeStart) + "       " + p.name + (paren ? "()" : ""));
  }
  // Line blocks follow the address order, one per run of a file.
  std::size_t i = 0;
  while (i < content.lines.size()) {
    const std::string& file = content.lines[i].file;
    line("");
    line("Line numbers for " + UnitName(file) + "(" + file + ") segment .text");
    line("");
    std::string row;
    int inRow = 0;
    for (; i < content.lines.size() && content.lines[i].file == file; ++i) {
      char group[48];
      std::snprintf(group, sizeof group, "%6u 0001:%s", content.lines[i].line,
                    Hex8(content.lines[i].address - codeStart).c_str());
      row += group;
      if (++inRow == 4) {
        line(row);
        row.clear();
        inRow = 0;
      }
    }
    if (!row.empty()) line(row);
  }
  line("");
  line("Program entry point at 0001:" + Hex8(image.imageBase() + image.entryPoint() - codeStart));
  return out;
}

}  // namespace mapgen
