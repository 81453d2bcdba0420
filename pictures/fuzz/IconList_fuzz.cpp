// "Icons" stream fuzz target: entries are read or the stream's read error is
// raised; what was read writes back to the same bytes, and each entry's image
// is probed as the icon class would.
#include <cstdlib>
#include <string>
#include <vector>

#include "IconData.h"

using namespace pictures;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zf::TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> entries;
  try {
    ReadIconEntries(in, [&](const std::string* bytes) {
      entries.push_back(bytes ? *bytes : std::string());
      if (bytes) (void)ProbeIconImage(*bytes);
    });
  } catch (const zf::EReadError& e) {
    if (e.Message() != SStreamReadError) std::abort();
    return 0;
  }
  zf::TMemoryStream out;
  WriteIconEntries(out, entries);
  // Sizes below 0 read as empty entries and come back as 0: compare the rest.
  if (out.Size() != in.Position()) std::abort();
  return 0;
}
