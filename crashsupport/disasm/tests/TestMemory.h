// Readers and a symbolizer over plain byte buffers, placed at chosen addresses.
#pragma once

#include "qelDisAsm.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace qel::test {

// Bytes at chosen addresses; everything else is unreadable.
class BufferMemory : public MemoryReader {
public:
  void Place(Address va, std::vector<std::uint8_t> bytes) { blocks_.push_back({va, std::move(bytes)}); }
  void Place(Address va, std::initializer_list<std::uint8_t> bytes) { Place(va, std::vector<std::uint8_t>(bytes)); }
  void PlaceDword(Address va, std::uint32_t v) {
    Place(va, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
               static_cast<std::uint8_t>(v >> 24)});
  }
  void PlaceText(Address va, const std::string& s) { Place(va, std::vector<std::uint8_t>(s.begin(), s.end())); }

  bool Read(Address va, void* buf, std::size_t n) const override {
    // newest first, so that a later Place shadows an earlier one
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
      const Block& b = *it;
      if (va >= b.va && va - b.va <= b.bytes.size() && n <= b.bytes.size() - (va - b.va)) {
        std::memcpy(buf, b.bytes.data() + (va - b.va), n);
        return true;
      }
    }
    return false;
  }

private:
  struct Block {
    Address va;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Block> blocks_;
};

// Modules with exports, as the text comments see them.
class FakeSymbols : public Symbolizer {
public:
  void AddModule(ModuleInfo m) { modules_.push_back(std::move(m)); }
  void AddExport(Address va, std::string name) { exports_.push_back({va, std::move(name)}); }

  bool ModuleOfAddress(Address va, ModuleInfo& module) const override {
    for (const auto& m : modules_) {
      if (va >= m.base && va - m.base < m.imageSize) {
        module = m;
        return true;
      }
    }
    return false;
  }
  std::string ExportNameAt(const ModuleInfo& module, Address va) const override {
    for (const auto& e : exports_)
      if (e.first == va && va >= module.base && va - module.base < module.imageSize) return e.second;
    return {};
  }
  bool CodeBounds(Address, Address&, Address&) const override { return false; }

private:
  std::vector<ModuleInfo> modules_;
  std::vector<std::pair<Address, std::string>> exports_;
};

}  // namespace qel::test
