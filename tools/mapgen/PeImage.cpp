#include "PeImage.h"

#include <cstring>
#include <stdexcept>

namespace mapgen {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::runtime_error(what); }

// Little-endian reader over a bounded piece of the file.
class Cursor {
public:
  explicit Cursor(std::string_view data, std::size_t pos = 0) : FData(data), FPos(pos) {}
  std::size_t pos() const { return FPos; }
  bool atEnd() const { return FPos >= FData.size(); }
  void seek(std::size_t pos) {
    if (pos > FData.size()) Fail("offset beyond the data");
    FPos = pos;
  }
  void skip(std::uint64_t n) {
    if (n > FData.size() - FPos) Fail("read beyond the data");
    FPos += static_cast<std::size_t>(n);
  }
  std::uint64_t uint(int size) {
    if (static_cast<std::size_t>(size) > FData.size() - FPos) Fail("read beyond the data");
    std::uint64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(FData[FPos + i]);
    FPos += static_cast<std::size_t>(size);
    return v;
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(uint(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(uint(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(uint(4)); }
  std::uint64_t uleb() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t b = u8();
      if (shift < 64) v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return v;
    }
  }
  std::int64_t sleb() {
    std::int64_t v = 0;
    int shift = 0;
    std::uint8_t b;
    do {
      b = u8();
      if (shift < 64) v |= static_cast<std::int64_t>(static_cast<std::uint64_t>(b & 0x7F) << shift);
      shift += 7;
    } while (b & 0x80);
    if (shift < 64 && (b & 0x40)) v |= -(static_cast<std::int64_t>(1) << shift);
    return v;
  }
  std::string cstr() {
    const std::size_t end = FData.find('\0', FPos);
    if (end == std::string_view::npos) Fail("unterminated string");
    std::string s(FData.substr(FPos, end - FPos));
    FPos = end + 1;
    return s;
  }

private:
  std::string_view FData;
  std::size_t FPos;
};

std::string StringAt(std::string_view table, std::uint64_t offset) {
  if (offset >= table.size()) Fail("string offset beyond its table");
  Cursor c(table, static_cast<std::size_t>(offset));
  return c.cstr();
}

constexpr std::uint32_t kCode = 0x20, kInitializedData = 0x40;

// DWARF forms that a v5 line table header uses.
enum : std::uint64_t {
  kFormBlock = 0x09, kFormData1 = 0x0b, kFormData2 = 0x05, kFormData4 = 0x06, kFormData8 = 0x07,
  kFormData16 = 0x1e, kFormString = 0x08, kFormStrp = 0x0e, kFormLineStrp = 0x1f, kFormUdata = 0x0f
};

struct EntryValue {
  std::string text;
  std::uint64_t number = 0;
};

EntryValue ReadForm(Cursor& c, std::uint64_t form, bool dwarf64, std::string_view str, std::string_view lineStr) {
  EntryValue v;
  switch (form) {
    case kFormString: v.text = c.cstr(); break;
    case kFormStrp: v.text = StringAt(str, c.uint(dwarf64 ? 8 : 4)); break;
    case kFormLineStrp: v.text = StringAt(lineStr, c.uint(dwarf64 ? 8 : 4)); break;
    case kFormUdata: v.number = c.uleb(); break;
    case kFormData1: v.number = c.u8(); break;
    case kFormData2: v.number = c.u16(); break;
    case kFormData4: v.number = c.u32(); break;
    case kFormData8: v.number = c.uint(8); break;
    case kFormData16: c.skip(16); break;
    case kFormBlock: c.skip(c.uleb()); break;
    default: Fail("unknown form in a line table header");
  }
  return v;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (name.empty() || name[0] == '/' || dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

std::string FoldPath(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") parts.pop_back();
      else parts.push_back(part);
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out = !path.empty() && path[0] == '/' ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

PeImage::PeImage(std::string bytes) : FBytes(std::move(bytes)) {
  Cursor c(FBytes);
  if (c.u16() != 0x5A4D) Fail("no MZ signature");
  c.seek(60);
  c.seek(c.u32());
  if (c.u32() != 0x00004550) Fail("no PE signature");
  c.skip(2);  // machine
  const std::uint16_t sectionCount = c.u16();
  c.skip(4);  // time stamp
  FSymbolTable = c.u32();
  FSymbolCount = c.u32();
  const std::uint16_t optionalSize = c.u16();
  c.skip(2);
  const std::size_t optional = c.pos();
  const std::uint16_t magic = c.u16();
  if (magic != 0x10b && magic != 0x20b) Fail("unknown optional header");
  FIs64 = magic == 0x20b;
  c.skip(2);
  const std::uint32_t sizeOfCode = c.u32();
  const std::uint32_t initialized = c.u32();
  const std::uint32_t uninitialized = c.u32();
  FEntryPoint = c.u32();
  const std::uint32_t baseOfCode = c.u32();
  const std::uint32_t baseOfData = FIs64 ? 0 : c.u32();
  FImageBase = FIs64 ? c.uint(8) : c.u32();
  c.seek(optional + optionalSize);
  std::string_view strings;
  if (FSymbolTable != 0) {
    const std::uint64_t at = FSymbolTable + std::uint64_t{FSymbolCount} * 18;
    if (at + 4 > FBytes.size()) Fail("symbol table beyond the file");
    Cursor s(FBytes, static_cast<std::size_t>(at));
    const std::uint32_t size = s.u32();
    if (size < 4 || at + size > FBytes.size()) Fail("string table beyond the file");
    strings = std::string_view(FBytes).substr(static_cast<std::size_t>(at), size);
  }
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    Section s;
    const std::size_t at = c.pos();
    c.skip(8);
    std::string raw(FBytes.substr(at, 8).c_str());
    if (!raw.empty() && raw[0] == '/') raw = StringAt(strings, std::stoul(raw.substr(1)));
    s.name = raw;
    s.virtualSize = c.u32();
    s.virtualAddress = c.u32();
    s.rawSize = c.u32();
    s.rawOffset = c.u32();
    c.skip(12);
    s.characteristics = c.u32();
    FSections.push_back(s);
  }
  if (!FSections.empty() && (FSections[0].characteristics & kCode) != 0) {
    FCodeStart = FSections[0].virtualAddress;
    FCodeSize = FSections[0].virtualSize;
  } else {
    FCodeStart = baseOfCode;
    FCodeSize = sizeOfCode;
  }
  FDataStart = baseOfData;
  if (FIs64)
    for (const Section& s : FSections)
      if ((s.characteristics & kInitializedData) != 0 && (s.characteristics & kCode) == 0) {
        FDataStart = s.virtualAddress;
        break;
      }
  FDataSize = initialized + uninitialized;
}

std::string_view PeImage::sectionData(const std::string& name) const {
  for (const Section& s : FSections) {
    if (s.name != name) continue;
    const std::uint32_t size = s.virtualSize != 0 && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
    if (std::uint64_t{s.rawOffset} + size > FBytes.size()) Fail("section beyond the file");
    return std::string_view(FBytes).substr(s.rawOffset, size);
  }
  return {};
}

std::vector<Symbol> PeImage::symbols() const {
  std::vector<Symbol> out;
  if (FSymbolTable == 0) return out;
  const std::uint64_t end = FSymbolTable + std::uint64_t{FSymbolCount} * 18;
  std::string_view strings = std::string_view(FBytes).substr(static_cast<std::size_t>(end));
  Cursor c(FBytes, FSymbolTable);
  std::string file;
  for (std::uint32_t i = 0; i < FSymbolCount; ++i) {
    const std::size_t at = c.pos();
    const std::uint32_t zeros = c.u32();
    const std::uint32_t offset = c.u32();
    const std::uint32_t value = c.u32();
    const auto sectionNumber = static_cast<std::int16_t>(c.u16());
    const std::uint16_t type = c.u16();
    const std::uint8_t storage = c.u8();
    const std::uint8_t aux = c.u8();
    if (storage == 103 && aux > 0) {  // .file: the name fills the auxiliary records
      const std::string_view names = std::string_view(FBytes).substr(c.pos(), std::size_t{aux} * 18);
      if (names.size() != std::size_t{aux} * 18) Fail("symbol table beyond the file");
      file.assign(names.substr(0, names.find('\0')));
    }
    c.skip(std::uint64_t{aux} * 18);
    i += aux;
    // External, static and label symbols (a routine written in assembly that
    // declares no type is a label; nm lists it as code all the same).
    if (sectionNumber < 1 || sectionNumber > static_cast<int>(FSections.size()) ||
        (storage != 2 && storage != 3 && storage != 6))
      continue;
    Symbol s;
    s.name = zeros == 0 ? StringAt(strings, offset) : std::string(FBytes.substr(at, 8).c_str());
    s.address = FImageBase + FSections[sectionNumber - 1].virtualAddress + value;
    s.function = (type & 0x30) == 0x20;
    s.external = storage == 2;
    s.file = file;
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<LineRow> PeImage::lineRows() const {
  std::vector<LineRow> rows;
  const std::string_view lines = sectionData(".debug_line");
  const std::string_view str = sectionData(".debug_str");
  const std::string_view lineStr = sectionData(".debug_line_str");
  Cursor c(lines);
  while (!c.atEnd()) {
    std::uint64_t length = c.u32();
    const bool dwarf64 = length == 0xFFFFFFFF;
    if (dwarf64) length = c.uint(8);
    const std::size_t unitStart = c.pos();
    if (length > lines.size() - unitStart) Fail("line table unit beyond its section");
    const std::size_t unitEnd = unitStart + static_cast<std::size_t>(length);
    const std::uint16_t version = c.u16();
    if (version < 2 || version > 5) Fail("unknown line table version");
    if (version >= 5) c.skip(2);  // address and segment selector sizes
    const std::uint64_t headerLength = c.uint(dwarf64 ? 8 : 4);
    const std::size_t programStart = c.pos() + static_cast<std::size_t>(headerLength);
    if (programStart > unitEnd) Fail("line table header beyond its unit");
    const std::uint8_t minLength = c.u8();
    if (version >= 4) c.skip(1);
    c.skip(1);  // default_is_stmt
    const auto lineBase = static_cast<std::int8_t>(c.u8());
    const std::uint8_t lineRange = c.u8();
    const std::uint8_t opcodeBase = c.u8();
    if (lineRange == 0 || opcodeBase == 0) Fail("bad line table header");
    std::vector<std::uint8_t> argCounts(opcodeBase);
    for (int i = 1; i < opcodeBase; ++i) argCounts[i] = c.u8();

    std::vector<std::string> dirs;
    std::vector<std::string> files;  // full paths, indexed as the program indexes them
    if (version >= 5) {
      const auto readEntries = [&](std::vector<std::string>& out, bool isFile) {
        const std::uint8_t formatCount = c.u8();
        std::vector<std::pair<std::uint64_t, std::uint64_t>> format(formatCount);
        for (auto& f : format) f = {c.uleb(), c.uleb()};
        const std::uint64_t count = c.uleb();
        for (std::uint64_t i = 0; i < count; ++i) {
          std::string path;
          std::uint64_t dir = 0;
          for (const auto& [kind, form] : format) {
            const EntryValue v = ReadForm(c, form, dwarf64, str, lineStr);
            if (kind == 1) path = v.text;
            if (kind == 2) dir = v.number;
          }
          if (isFile) path = JoinPath(dir < dirs.size() ? dirs[dir] : std::string(), path);
          else if (!dirs.empty()) path = JoinPath(dirs[0], path);
          out.push_back(FoldPath(path));
        }
      };
      readEntries(dirs, false);
      readEntries(files, true);
    } else {
      dirs.emplace_back();  // the compilation folder is not in the table
      for (std::string d = c.cstr(); !d.empty(); d = c.cstr()) dirs.push_back(d);
      files.emplace_back();
      for (std::string f = c.cstr(); !f.empty(); f = c.cstr()) {
        const std::uint64_t dir = c.uleb();
        c.uleb();
        c.uleb();
        files.push_back(FoldPath(JoinPath(dir < dirs.size() ? dirs[dir] : std::string(), f)));
      }
    }

    c.seek(programStart);
    const auto reset = [](LineRow& r) {
      r = LineRow{};
      r.line = 1;
    };
    LineRow row;
    reset(row);
    std::uint64_t file = 1;
    bool fileSet = false;
    const auto emit = [&] {
      row.file = file < files.size() ? files[file] : std::string();
      row.initialFile = !fileSet;
      rows.push_back(row);
    };
    while (c.pos() < unitEnd) {
      const std::uint8_t op = c.u8();
      if (op >= opcodeBase) {
        const int adjusted = op - opcodeBase;
        row.address += static_cast<std::uint64_t>(adjusted / lineRange) * minLength;
        row.line = static_cast<std::uint32_t>(static_cast<std::int64_t>(row.line) + lineBase + adjusted % lineRange);
        emit();
        continue;
      }
      switch (op) {
        case 0: {
          const std::uint64_t len = c.uleb();
          if (len == 0 || len > unitEnd - c.pos()) Fail("bad extended opcode");
          const std::size_t next = c.pos() + static_cast<std::size_t>(len);
          const std::uint8_t sub = c.u8();
          if (sub == 1) {
            row.endSequence = true;
            emit();
            reset(row);
            file = 1;
            fileSet = false;
          } else if (sub == 2) {
            row.address = c.uint(static_cast<int>(std::min<std::uint64_t>(len - 1, 8)));
          }
          c.seek(next);
          break;
        }
        case 1: emit(); break;
        case 2: row.address += c.uleb() * minLength; break;
        case 3: row.line = static_cast<std::uint32_t>(static_cast<std::int64_t>(row.line) + c.sleb()); break;
        case 4:
          file = c.uleb();
          fileSet = true;
          break;
        case 5: c.uleb(); break;
        case 8: row.address += static_cast<std::uint64_t>((255 - opcodeBase) / lineRange) * minLength; break;
        case 9: row.address += c.u16(); break;
        case 6: case 7: case 10: case 11: break;
        default:
          for (int i = 0; i < argCounts[op]; ++i) c.uleb();
      }
    }
    c.seek(unitEnd);
  }
  return rows;
}

}  // namespace mapgen
