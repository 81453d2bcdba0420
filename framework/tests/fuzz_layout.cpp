// Layout text of any shape: an EReadError or a tree, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    zf::TLayoutObject o = zf::ParseLayout(std::string_view(reinterpret_cast<const char*>(data), size), "FUZZ");
    (void)o;
  } catch (const zf::EReadError&) {
  }
  return 0;
}
