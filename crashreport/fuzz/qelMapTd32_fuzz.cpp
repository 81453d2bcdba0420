// The TD32 reader on any bytes (an odd first byte puts the signature in front,
// so that the directory walk is reached): no crash, no read past the block,
// tables in lookup order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qelMapFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string block((data[0] & 1) != 0 ? "FB09" : "");
  block.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  // A copy of exactly the block's size, so that ASan sees every read past it.
  std::unique_ptr<char[]> exact(new char[block.size()]);
  std::copy(block.begin(), block.end(), exact.get());
  qel::TMapFile map("", qel::TMapBounds{0x401000, 0x500000, 0x600000, 0x700000});
  qel::ParseTd32(std::string_view(exact.get(), block.size()), map);
  const auto& publics = map.Publics();
  for (std::size_t i = 1; i < publics.size(); ++i)
    if (publics[i - 1].address > publics[i].address) __builtin_trap();
  const auto& lines = map.Lines();
  for (std::size_t i = 1; i < lines.size(); ++i)
    if (lines[i - 1].address > lines[i].address) __builtin_trap();
  return 0;
}
