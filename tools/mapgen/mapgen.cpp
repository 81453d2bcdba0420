// mapgen: writes <program>.map beside a Windows program that we built, from
// its symbol table and DWARF line table, and checks the result: the map is
// read back with the module map reader; at the start, middle and last byte of
// every symbol's code its routine must be the one nm lists there (none for a
// section without a routine), and for every public, a sample of line entries
// and the middle of every routine its answer must equal what addr2line says.
//
//   mapgen --exe PROGRAM --map OUT --addr2line TOOL --nm TOOL [--qel OUT] [--same-text OTHER]
//
// --qel also writes the compressed map (read back and compared with the text
// map); --same-text fails unless OTHER's code section is byte for byte the
// program's (a relink that added the map resource must not move code).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "MapText.h"
#include "qelCrypt.h"
#include "qelMapFile.h"
#include "qelZip.h"

namespace {

struct Options {
  std::string exe, map, addr2line, nm, qel, sameText;
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

// The code symbols nm lists, by address.
struct NmSymbol {
  std::uint64_t address = 0;
  std::string name;
};

std::vector<NmSymbol> AskNm(const Options& o) {
  const std::string output = o.map + ".nm";
  const std::string command = Quote(o.nm) + " -n --defined-only " + Quote(o.exe) + " > " + Quote(output);
  if (std::system(command.c_str()) != 0) throw std::runtime_error("nm failed: " + command);
  std::istringstream in(ReadFile(output));
  std::remove(output.c_str());
  std::vector<NmSymbol> symbols;
  std::string lineText;
  while (std::getline(in, lineText)) {
    std::istringstream fields(lineText);
    std::string address, type, name;
    if (!(fields >> address >> type >> name) || (type != "t" && type != "T")) continue;
    symbols.push_back(NmSymbol{std::strtoull(address.c_str(), nullptr, 16), name});
  }
  return symbols;
}

bool EndsWithScoped(const std::string& name, const std::string& tail) {
  return name.size() > tail.size() + 1 && name.compare(name.size() - tail.size(), tail.size(), tail) == 0 &&
         name[name.size() - tail.size() - 1] == '.';
}

// addr2line names a routine by its linkage name, demangled, or, lacking one,
// by its plain name without scope; for i686 it drops one leading "_" of
// every name first (the platform's symbol prefix), also where the name has
// none, which can leave a mangled name undemangled.
// Template arguments are spelled differently by the two (lambdas), so they
// are compared without them when the whole names differ.
// The linker names the compiler's clones of a routine ("f.part.0",
// "f.isra.0", "f.cold"); addr2line names the routine they came from.
std::string WithoutCloneSuffixes(std::string name) {
  for (bool cut = true; cut;) {
    cut = false;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".cold") == 0) {
      name.resize(name.size() - 5);
      cut = true;
      continue;
    }
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    if (digits == name.size() || digits == 0 || name[digits - 1] != '.') continue;
    for (const char* kind : {".part", ".isra", ".constprop", ".lto_priv"}) {
      const std::size_t n = std::strlen(kind);
      if (digits - 1 > n && name.compare(digits - 1 - n, n, kind) == 0) {
        name.resize(digits - 1 - n);
        cut = true;
        break;
      }
    }
  }
  return name;
}

bool SameRoutine(const std::string& routine, const std::string& addr2line) {
  const std::string ours = WithoutCloneSuffixes(routine);
  // A name that neither demangler reads whole: addr2line gives its last part.
  if (ours.compare(0, 2, "_Z") == 0 && !addr2line.empty() && ours.find(addr2line) != std::string::npos) return true;
  for (const std::string& candidate : {addr2line, "_" + addr2line}) {
    const std::string theirs = mapgen::MapName(mapgen::SymbolRoutineName(candidate, true));
    if (theirs.empty()) continue;
    if (ours == theirs || EndsWithScoped(ours, theirs)) return true;
    const std::string a = mapgen::WithoutTemplateArguments(ours), b = mapgen::WithoutTemplateArguments(theirs);
    if (a == b || EndsWithScoped(a, b)) return true;
  }
  return false;
}

void AppendLE32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
}

void AppendCompact(std::string& out, std::int64_t delta) {
  if (delta >= -127 && delta <= 127) {
    out += static_cast<char>(static_cast<std::int8_t>(delta));
  } else {
    out += static_cast<char>(0x80);
    AppendLE32(out, static_cast<std::uint32_t>(delta));
  }
}

void AppendShortText(std::string& out, const std::string& text) {
  const std::size_t n = std::min<std::size_t>(text.size(), 255);
  out += static_cast<char>(n);
  out.append(text, 0, n);
}

// The compressed map of a map's code tables (the format the module map reader
// reads: see qelMapFile.h).
std::string CompressedMap(const qel::TMapFile& map) {
  const qel::MapAddress code = map.Bounds().codeStart;
  std::string payload;
  std::uint32_t segments = 0;
  for (const auto& s : map.Segments()) segments += s.code ? 1 : 0;
  AppendLE32(payload, segments);
  for (const auto& s : map.Segments()) {
    if (!s.code) continue;
    AppendLE32(payload, static_cast<std::uint32_t>(s.start - code));
    AppendLE32(payload, s.length);
    AppendShortText(payload, s.unit);
  }
  std::uint32_t publics = 0;
  for (const auto& p : map.Publics()) publics += p.code ? 1 : 0;
  AppendLE32(payload, publics);
  const qel::TMfPublic* previous = nullptr;
  for (const auto& p : map.Publics()) {
    if (!p.code) continue;
    AppendShortText(payload, p.name);
    if (previous == nullptr) AppendLE32(payload, static_cast<std::uint32_t>(p.address - code));
    else AppendCompact(payload, static_cast<std::int64_t>(p.address) - static_cast<std::int64_t>(previous->address));
    previous = &p;
  }
  const auto& lines = map.Lines();
  AppendLE32(payload, static_cast<std::uint32_t>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0) {
      AppendLE32(payload, static_cast<std::uint32_t>(lines[0].line));
      AppendLE32(payload, static_cast<std::uint32_t>(lines[0].address - code));
    } else {
      AppendCompact(payload, std::int64_t{lines[i].line} - lines[i - 1].line);
      AppendCompact(payload, static_cast<std::int64_t>(lines[i].address) - static_cast<std::int64_t>(lines[i - 1].address));
    }
  }
  if (map.EntryPoint() != 0) AppendLE32(payload, static_cast<std::uint32_t>(map.EntryPoint() - code));

  // Packed-string block: size, 4 unused bytes, CRC-32, raw deflate.
  std::string packed(payload.size() + payload.size() / 8 + 1024, '\0');
  packed.resize(qel::PackBuffer(payload.data(), packed.data(), static_cast<std::uint32_t>(payload.size()),
                                static_cast<std::uint32_t>(packed.size())));
  if (packed.empty()) throw std::runtime_error("deflate failed");
  std::string block;
  AppendLE32(block, static_cast<std::uint32_t>(payload.size()));
  AppendLE32(block, 0);
  AppendLE32(block, ~qel::Crc32Update(0xFFFFFFFFu, payload.data(), static_cast<std::int32_t>(payload.size())));
  block += packed;
  qel::LegacyEncryptStr(block, qel::BuildMapPassword(static_cast<std::uint32_t>(block.size())));
  std::string out(qel::QelMapSignature, 14);
  AppendLE32(out, static_cast<std::uint32_t>(block.size()));
  AppendLE32(out, qel::QelMapVersion);
  return out + block;
}

template <typename Table, typename Same>
bool SameTable(const Table& a, const Table& b, Same same) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return true;
}

// The compressed map must give back the text map's code tables.
void CheckCompressed(const std::string& data, const qel::TMapFile& text) {
  qel::TMapFile packed("", text.Bounds());
  if (!qel::LoadCompressedMap(data, packed)) throw std::runtime_error("the compressed map is refused");
  std::vector<qel::TMfSegment> code;
  for (const auto& s : text.Segments())
    if (s.code) code.push_back(s);
  const bool same =
      SameTable(packed.Segments(), code,
                [](const auto& x, const auto& y) {
                  return x.start == y.start && x.length == y.length && x.unit == y.unit.substr(0, 255);
                }) &&
      SameTable(packed.Publics(), text.Publics(),
                // The compressed map keeps 255 characters of a name.
                [](const auto& x, const auto& y) { return x.address == y.address && x.name == y.name.substr(0, 255); }) &&
      SameTable(packed.Lines(), text.Lines(),
                [](const auto& x, const auto& y) { return x.address == y.address && x.line == y.line; }) &&
      packed.EntryPoint() == text.EntryPoint();
  if (!same) throw std::runtime_error("the compressed map reads back with other tables");
}

std::string CodeSection(const mapgen::PeImage& image, const std::string& bytes) {
  for (const auto& s : image.sections())
    if (s.name == ".text") return std::to_string(s.virtualAddress) + ":" + bytes.substr(s.rawOffset, s.rawSize);
  throw std::runtime_error("no .text section");
}

int Run(const Options& o) {
  const std::string bytes = ReadFile(o.exe);
  const mapgen::PeImage image(bytes);
  if (!o.sameText.empty()) {
    const std::string other = ReadFile(o.sameText);
    if (CodeSection(image, bytes) != CodeSection(mapgen::PeImage(other), other)) {
      std::cerr << "mapgen: " << o.exe << ": code differs from " << o.sameText << "\n";
      return 1;
    }
  }
  const mapgen::MapContent content = mapgen::CollectContent(image);
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
  // Rows on the initial file of a version 5 table are left out: addr2line
  // reads them as file 0 (the unit's own source), the standard as file 1.
  const auto lineSample = [&](std::uint64_t address) {
    const auto row = std::upper_bound(content.lines.begin(), content.lines.end(), address,
                                      [](std::uint64_t a, const mapgen::MapLine& l) { return a < l.address; });
    return row == content.lines.begin() || !std::prev(row)->initialFile;
  };
  const std::size_t step = content.lines.size() / 2000 + 1;
  std::vector<std::uint64_t> sampled;
  for (std::size_t i = 0; i < content.lines.size(); i += step)
    if (!content.lines[i].initialFile) sampled.push_back(content.lines[i].address);
  for (const auto& p : content.publics) {
    const std::uint64_t middle = p.address + (p.end - p.address) / 2;
    if (lineSample(middle)) sampled.push_back(middle);
  }
  addresses.insert(addresses.end(), sampled.begin(), sampled.end());
  if (content.publics.empty()) {
    std::cerr << "mapgen: " << o.exe << ": no routine in the symbol table\n";
    return 1;
  }
  const std::vector<Answer> answers = AskAddr2line(o, addresses);

  int wrong = 0;
  const auto report = [&](std::uint64_t address, const std::string& what, const std::string& ours,
                          const std::string& theirs) {
    if (++wrong <= 20)
      std::cerr << "mapgen: " << o.exe << std::hex << " 0x" << address << std::dec << ": " << what << " '" << ours
                << "', " << theirs << "\n";
  };

  // The routine of every symbol's code, at its first, middle and last byte:
  // the one nm lists at its start, or none where only a section starts.
  const std::vector<NmSymbol> nm = AskNm(o);
  const std::uint64_t codeEnd = bounds.codeEnd;
  for (std::size_t i = 0; i < nm.size();) {
    const std::uint64_t start = nm[i].address;
    std::vector<std::string> names;
    for (; i < nm.size() && nm[i].address == start; ++i) {
      const std::string name = mapgen::MapName(mapgen::SymbolRoutineName(nm[i].name, image.is64()));
      if (!name.empty()) names.push_back(name);
    }
    if (start < bounds.codeStart || start >= codeEnd) continue;
    const std::uint64_t end = i < nm.size() ? std::min(nm[i].address, codeEnd) : codeEnd;
    for (const std::uint64_t a : {start, start + (end - start) / 2, end - 1}) {
      const qel::TMfPublic found = map.PublicOfAddress(static_cast<qel::MapAddress>(a));
      const bool same = names.empty() ? !found.valid
                                      : found.valid && std::find(names.begin(), names.end(), found.name) != names.end();
      if (!same) report(a, "routine", found.valid ? found.name : "(none)",
                        "nm '" + (names.empty() ? std::string("(none)") : names.front()) + "'");
    }
  }
  std::size_t k = 0;
  for (const auto& p : content.publics) {
    const Answer& a = answers[k++];
    const std::string ours = map.PublicOfAddress(static_cast<qel::MapAddress>(p.address)).name;
    if (ours != p.name) {
      report(p.address, "routine read back", ours, "written '" + p.name + "'");
      continue;
    }
    if (a.routine == "??") continue;  // addr2line knows no name here (static routines of C units)
    bool same = SameRoutine(ours, a.routine);
    for (const std::string& alias : p.aliases) same = same || SameRoutine(alias, a.routine);
    if (!same) report(p.address, "routine", ours, "addr2line '" + a.routine + "'");
  }
  for (const std::uint64_t l : sampled) {
    const Answer& a = answers[k++];
    if (a.line == 0) continue;  // addr2line has no line there
    const auto address = static_cast<qel::MapAddress>(l);
    const std::string unit = map.SegmentOfAddress(true, address).unit;
    const std::int32_t line = map.LineOfAddress(address);
    if (unit != mapgen::UnitName(a.file) || line != static_cast<std::int32_t>(a.line))
      report(l, "line", unit + ":" + std::to_string(line),
             "addr2line '" + mapgen::UnitName(a.file) + ":" + std::to_string(a.line) + "'");
  }
  if (wrong != 0) {
    std::cerr << "mapgen: " << o.exe << ": " << wrong << " answers differ from nm or addr2line\n";
    std::remove(o.map.c_str());
    return 1;
  }
  if (!o.qel.empty()) {
    const std::string packed = CompressedMap(map);
    CheckCompressed(packed, map);
    WriteFile(o.qel, packed);
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
    else if (key == "--addr2line") o.addr2line = argv[i + 1];
    else if (key == "--nm") o.nm = argv[i + 1];
    else if (key == "--qel") o.qel = argv[i + 1];
    else if (key == "--same-text") o.sameText = argv[i + 1];
  }
  if (o.exe.empty() || o.map.empty() || o.addr2line.empty() || o.nm.empty()) {
    std::cerr << "usage: mapgen --exe PROGRAM --map OUT --addr2line TOOL --nm TOOL [--qel OUT] [--same-text OTHER]\n";
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::cerr << "mapgen: " << o.exe << ": " << e.what() << "\n";
    return 1;
  }
}
