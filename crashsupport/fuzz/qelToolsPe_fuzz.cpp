// PE headers and export tables from arbitrary bytes, in both layouts: every
// lookup must stay inside the buffer (ASan) and end.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qelToolsPe.h"

namespace {

void Explore(const uint8_t* data, size_t size, bool fileLayout) {
  using namespace qel;
  const TPeView view{data, size, fileLayout};
  TPeHeaders headers;
  TPeExports exports;
  if (!PeReadHeaders(view, headers)) return;
  PeRvaToFileOffset(view, headers, 0x1000);
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t rva = 0, length = 0;
    if (PeDirectory(view, headers, i, rva, length)) PeAt(view, headers, rva, length);
  }
  if (!PeReadExports(view, headers, exports)) return;
  const uint32_t functions = exports.NumberOfFunctions < 64 ? exports.NumberOfFunctions : 64;
  for (uint32_t i = 0; i < functions; ++i) {
    const TPeExport e = PeExportByIndex(view, headers, exports, i);
    if (e.kind == TPeExport::Code) PeExportNameOfRva(view, headers, exports, e.Rva);
    TPeForward forward;
    if (e.kind == TPeExport::Forwarder) PeSplitForwarder(e.Forward, forward);
  }
  for (const char* name : {"Alpha", "Fwd", "GetProcAddress"}) PeExportByName(view, headers, exports, name);
  PeExportByOrdinal(view, headers, exports, exports.Base + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes, so that ASan sees a read one past the end.
  std::vector<uint8_t> copy(data, data + size);
  copy.shrink_to_fit();
  Explore(copy.data(), copy.size(), false);
  Explore(copy.data(), copy.size(), true);
  return 0;
}
