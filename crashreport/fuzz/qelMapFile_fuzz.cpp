// The text map reader on any bytes: no crash, no read past the text, and the
// tables come out in lookup order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "qelMapFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so that ASan sees every read past it.
  std::unique_ptr<char[]> text(new char[size]);
  std::copy(data, data + size, text.get());
  const qel::TMapFile map(std::string_view(text.get(), size), qel::TMapBounds{0x401000, 0x402000, 0x405000, 0x406000});
  const auto& lines = map.Lines();
  for (std::size_t i = 1; i < lines.size(); ++i)
    if (lines[i - 1].address >= lines[i].address) __builtin_trap();
  const auto& publics = map.Publics();
  for (std::size_t i = 1; i < publics.size(); ++i)
    if (publics[i - 1].address > publics[i].address) __builtin_trap();
  // A public answers for its own address (those at the last address only below
  // the code end; a code public, in a map with code segments, only inside one).
  const bool codeSegments = !map.Segments().empty() && map.Segments().front().code;
  for (std::size_t i = 0; i < publics.size(); ++i) {
    const auto& p = publics[i];
    const qel::TMfPublic found = map.PublicOfAddress(p.address);
    // The answer is the last public of that address; its kind decides.
    std::size_t last = i;
    while (last + 1 < publics.size() && publics[last + 1].address == p.address) ++last;
    const bool inRoutine = !publics[last].code || !codeSegments || map.SegmentOfAddress(true, p.address).valid;
    if (found.valid != ((p.address < publics.back().address || p.address < map.Bounds().codeEnd) && inRoutine))
      __builtin_trap();
    if (found.valid && found.address != p.address) __builtin_trap();
  }
  // Segments may overlap in malformed maps, so a lookup can miss; what it
  // finds must hold the address.
  for (const auto& s : map.Segments()) {
    const qel::TMfSegment found = map.SegmentOfAddress(s.code, s.start);
    if (found.valid && (found.code != s.code || found.start > s.start || s.start - found.start >= found.length))
      __builtin_trap();
    map.LineOfAddress(s.start);
  }
  return 0;
}
