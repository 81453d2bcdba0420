// mapgen: writes <program>.map beside a Windows program that we built, from
// its symbol table and DWARF line table, and checks the result: the map is
// read back with the module map reader, and for every public and a sample of
// line entries its answer must equal what addr2line says.
//
//   mapgen --exe PROGRAM --map OUT --root DIR [--root DIR...] [--exclude DIR...] --addr2line TOOL
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "MapText.h"
#include "qelMapFile.h"

namespace {

struct Options {
  std::string exe, map, addr2line;
  std::vector<std::string> roots, excluded;
};

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + name);
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// What addr2line says of one address: the innermost source location and the
// outermost routine (the one that was not inlined).
struct Answer {
  std::string file;
  std::uint32_t line = 0;
  std::string routine;
};

std::vector<Answer> AskAddr2line(const Options& o, const std::vector<std::uint64_t>& addresses) {
  const std::string input = o.map + ".addresses";
  const std::string output = o.map + ".addr2line";
  std::string list;
  char buf[32];
  for (std::uint64_t a : addresses) {
    std::snprintf(buf, sizeof buf, "0x%llx\n", static_cast<unsigned long long>(a));
    list += buf;
  }
  WriteFile(input, list);
  const std::string command =
      Quote(o.addr2line) + " -a -f -i -C -e " + Quote(o.exe) + " < " + Quote(input) + " > " + Quote(output);
  if (std::system(command.c_str()) != 0) throw std::runtime_error("addr2line failed: " + command);
  std::istringstream in(ReadFile(output));
  std::remove(input.c_str());
  std::remove(output.c_str());
  std::vector<Answer> answers;
  std::string lineText;
  std::vector<std::string> record;
  const auto finish = [&] {
    if (record.empty()) return;
    Answer a;
    if (record.size() >= 3) {
      const std::string& location = record[2];
      const std::size_t colon = location.rfind(':');
      a.file = location.substr(0, colon);
      a.line = colon == std::string::npos ? 0 : static_cast<std::uint32_t>(std::strtoul(location.c_str() + colon + 1, nullptr, 10));
      a.routine = record[record.size() - 2];
    }
    answers.push_back(a);
    record.clear();
  };
  while (std::getline(in, lineText)) {
    if (lineText.compare(0, 2, "0x") == 0) finish();
    record.push_back(lineText);
  }
  finish();
  if (answers.size() != addresses.size()) throw std::runtime_error("addr2line answered a different number of addresses");
  return answers;
}

bool EndsWithScoped(const std::string& name, const std::string& tail) {
  return name.size() > tail.size() + 2 && name.compare(name.size() - tail.size(), tail.size(), tail) == 0 &&
         name.compare(name.size() - tail.size() - 2, 2, "::") == 0;
}

// addr2line names a routine by its linkage name, demangled, or, lacking one,
// by its plain name without scope; for i686 it drops one leading "_" of
// every name first (the platform's symbol prefix), also where the name has
// none, which can leave a mangled name undemangled.
// Template arguments are spelled differently by the two (lambdas), so they
// are compared without them when the whole names differ.
bool SameRoutine(const std::string& ours, const std::string& addr2line) {
  for (const std::string& candidate : {addr2line, "_" + addr2line}) {
    const std::string theirs = mapgen::SymbolRoutineName(candidate, true);
    if (theirs.empty()) continue;
    if (ours == theirs || EndsWithScoped(ours, theirs)) return true;
    const std::string a = mapgen::WithoutTemplateArguments(ours), b = mapgen::WithoutTemplateArguments(theirs);
    if (a == b || EndsWithScoped(a, b)) return true;
  }
  return false;
}

int Run(const Options& o) {
  const mapgen::PeImage image(ReadFile(o.exe));
  const mapgen::MapContent content = mapgen::CollectContent(image, o.roots, o.excluded);
  std::string module = mapgen::UnitName(o.exe);
  module = module.substr(0, module.rfind('.'));
  const std::string text = mapgen::WriteMapText(image, content, module);
  WriteFile(o.map, text);

  // Read back as the program will, at the image's own addresses.
  qel::TMapBounds bounds;
  bounds.codeStart = static_cast<qel::MapAddress>(image.imageBase() + image.codeStart());
  bounds.codeEnd = bounds.codeStart + image.codeSize();
  bounds.dataStart = static_cast<qel::MapAddress>(image.imageBase() + image.dataStart());
  bounds.dataEnd = bounds.dataStart + image.dataSize();
  const qel::TMapFile map(text, bounds);
  if (map.Publics().size() != content.publics.size() || map.Lines().size() != content.lines.size())
    throw std::runtime_error("the map reads back with other table sizes");

  std::vector<std::uint64_t> addresses;
  for (const auto& p : content.publics) addresses.push_back(p.address);
  const std::size_t step = content.lines.size() / 400 + 1;
  std::vector<const mapgen::MapLine*> sampled;
  // Rows on the initial file of a version 5 table are left out: addr2line
  // reads them as file 0 (the unit's own source), the standard as file 1.
  for (std::size_t i = 0; i < content.lines.size(); i += step)
    if (!content.lines[i].initialFile) sampled.push_back(&content.lines[i]);
  for (const auto* l : sampled) addresses.push_back(l->address);
  if (addresses.empty()) {
    std::cerr << "mapgen: " << o.exe << ": no routine or line of our own sources\n";
    return 1;
  }
  const std::vector<Answer> answers = AskAddr2line(o, addresses);

  int wrong = 0;
  const auto report = [&](std::uint64_t address, const std::string& what, const std::string& ours,
                          const std::string& theirs) {
    if (++wrong <= 20)
      std::cerr << "mapgen: " << o.exe << std::hex << " 0x" << address << std::dec << ": " << what << " '" << ours
                << "', addr2line '" << theirs << "'\n";
  };
  std::size_t k = 0;
  for (const auto& p : content.publics) {
    const Answer& a = answers[k++];
    const std::string ours = map.PublicOfAddress(static_cast<qel::MapAddress>(p.address)).name;
    if (ours != p.name) {
      report(p.address, "routine read back", ours, p.name);
      continue;
    }
    if (a.routine == "??") continue;  // addr2line knows no name here (static routines of C units)
    bool same = SameRoutine(ours, a.routine);
    for (const std::string& alias : p.aliases) same = same || SameRoutine(alias, a.routine);
    if (!same) report(p.address, "routine", ours, a.routine);
  }
  for (const auto* l : sampled) {
    const Answer& a = answers[k++];
    const auto address = static_cast<qel::MapAddress>(l->address);
    const std::string unit = map.SegmentOfAddress(true, address).unit;
    const std::int32_t line = map.LineOfAddress(address);
    if (unit != mapgen::UnitName(a.file) || line != static_cast<std::int32_t>(a.line))
      report(l->address, "line", unit + ":" + std::to_string(line), mapgen::UnitName(a.file) + ":" + std::to_string(a.line));
  }
  if (wrong != 0) {
    std::cerr << "mapgen: " << o.exe << ": " << wrong << " answers differ from addr2line\n";
    std::remove(o.map.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--exe") o.exe = argv[i + 1];
    else if (key == "--map") o.map = argv[i + 1];
    else if (key == "--root") o.roots.push_back(mapgen::FoldPath(argv[i + 1]));
    else if (key == "--exclude") o.excluded.push_back(mapgen::FoldPath(argv[i + 1]));
    else if (key == "--addr2line") o.addr2line = argv[i + 1];
  }
  if (o.exe.empty() || o.map.empty() || o.roots.empty() || o.addr2line.empty()) {
    std::cerr << "usage: mapgen --exe PROGRAM --map OUT --root DIR [--root DIR...] [--exclude DIR...] --addr2line TOOL\n";
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::cerr << "mapgen: " << o.exe << ": " << e.what() << "\n";
    return 1;
  }
}
