// Packs TD32 blocks field by field for the reader's tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace td32test {

inline void Put16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v);
  s += static_cast<char>(v >> 8);
}
inline void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

struct Segment {
  std::uint16_t flags;  // 1 code
  std::uint32_t offset, size;
};
struct Pair {
  std::uint32_t offset;
  std::uint16_t line;
};

// Packs a TD32 block: subsections in the order added, then one directory.
class Td32Builder {
public:
  std::uint32_t Name(const std::string& name) {
    Put8(FNames, name.size());
    FNames += name;
    FNames += '\0';
    return ++FNameCount;
  }
  void Module(std::uint32_t nameIndex, const std::vector<Segment>& segments) {
    std::string s;
    Put16(s, 0);
    Put16(s, 0);
    Put16(s, static_cast<std::uint32_t>(segments.size()));
    Put16(s, 0);
    Put32(s, nameIndex);
    Put32(s, 0);
    s += std::string(12, '\0');
    for (const Segment& g : segments) {
      Put16(s, 1);
      Put16(s, g.flags);
      Put32(s, g.offset);
      Put32(s, g.size);
    }
    FSubsections.emplace_back(0x120, s);
  }
  // One file with its line blocks.
  void SourceFile(std::uint32_t nameIndex, const std::vector<std::vector<Pair>>& blocks) {
    std::string s;
    Put16(s, 1);
    Put16(s, 0);
    Put32(s, 8);  // the file record follows
    Put16(s, static_cast<std::uint32_t>(blocks.size()));
    Put32(s, nameIndex);
    std::size_t at = s.size() + 4 * blocks.size();
    std::string body;
    for (const auto& b : blocks) {
      Put32(s, static_cast<std::uint32_t>(at + body.size()));
      Put16(body, 1);
      Put16(body, static_cast<std::uint32_t>(b.size()));
      for (const Pair& p : b) Put32(body, p.offset);
      for (const Pair& p : b) Put16(body, p.line);
    }
    FSubsections.emplace_back(0x127, s + body);
  }
  void Symbols(bool global, const std::vector<std::string>& records) {
    std::string s(global ? 32 : 4, '\0');
    for (const std::string& r : records) s += r;
    FSubsections.emplace_back(global ? 0x129 : 0x125, s);
  }
  static std::string Record(std::uint32_t kind, std::size_t size, std::size_t offsetField, std::uint32_t offset,
                            std::size_t nameField, std::uint32_t name) {
    std::string r(size, '\0');
    const auto at = [&](std::size_t pos, std::uint32_t v) {
      std::string f;
      Put32(f, v);
      if (pos + 4 <= size) r.replace(pos, 4, f);
    };
    std::string head;
    Put16(head, static_cast<std::uint32_t>(size - 2));
    Put16(head, kind);
    r.replace(0, 4, head);
    at(offsetField, offset);
    at(nameField, name);
    return r;
  }
  static std::string Proc(std::uint32_t offset, std::uint32_t name, std::uint32_t kind = 0x205) {
    return Record(kind, 44, 28, offset, 40, name);
  }
  static std::string Data(std::uint32_t offset, std::uint32_t name) { return Record(0x201, 20, 4, offset, 16, name); }

  std::string Build(const char* signature = "FB09", bool cyclic = false) const {
    std::string block(signature, 4);
    Put32(block, 0);
    std::string names;
    Put32(names, FNameCount);
    names += FNames;
    std::vector<std::pair<std::uint32_t, std::string>> all = FSubsections;
    all.emplace(all.begin(), 0x130, names);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> places;
    for (const auto& [kind, body] : all) {
      places.emplace_back(static_cast<std::uint32_t>(block.size()), static_cast<std::uint32_t>(body.size()));
      block += body;
    }
    const auto dir = static_cast<std::uint32_t>(block.size());
    Put16(block, 16);  // header size: 4 spare bytes before the entries
    Put16(block, 12);
    Put32(block, static_cast<std::uint32_t>(all.size()));
    Put32(block, cyclic ? dir : 0);
    Put32(block, 0);
    for (std::size_t i = 0; i < all.size(); ++i) {
      Put16(block, all[i].first);
      Put16(block, 1);
      Put32(block, places[i].first);
      Put32(block, places[i].second);
    }
    block.replace(4, 4, std::string{static_cast<char>(dir), static_cast<char>(dir >> 8), static_cast<char>(dir >> 16),
                                     static_cast<char>(dir >> 24)});
    return block;
  }

private:
  static void Put8(std::string& s, std::size_t v) { s += static_cast<char>(v); }
  std::string FNames;
  std::uint32_t FNameCount = 0;
  std::vector<std::pair<std::uint32_t, std::string>> FSubsections;
};

}  // namespace td32test
