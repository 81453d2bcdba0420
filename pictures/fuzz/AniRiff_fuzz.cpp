// Animated cursor reader fuzz target. A walk may only end in steps that each
// show an icon the loader made, or in the named read error.
#include <cstdlib>
#include <string>
#include <vector>

#include "AniRiff.h"

using namespace pictures;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> images;
  try {
    const TAniContent c = ReadAniRiff(bytes, ProbingIconLoader(&images));
    if (c.Steps.empty() || c.Header.Steps != c.Steps.size() || c.Title.size() > 255 || c.Author.size() > 255)
      std::abort();
    for (const TAniStep& s : c.Steps)
      if (s.Icon < 0 || static_cast<size_t>(s.Icon) >= images.size()) std::abort();
    if (c.Steps.size() > size / 4 + images.size()) std::abort();
  } catch (const zf::EReadError& e) {
    if (e.Message() != SStreamReadError) std::abort();
  }
  return 0;
}
