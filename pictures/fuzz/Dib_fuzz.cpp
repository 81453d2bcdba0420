// DIB reader fuzz target: a BMP file is read into the model or refused with
// the bitmap error; a model read converts at every target and method, and its
// output reads back at the size it claims.
#include <cstdlib>
#include <cstring>
#include <string>

#include "DepthConvCore.h"

using namespace pictures;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TDib dib;
  try {
    dib = ReadDib(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const zf::EInvalidGraphic& e) {
    if (e.Message() != SInvalidBitmap) std::abort();
    return 0;
  }
  // Keep the work per input small: large pictures are refused by size only.
  if (static_cast<int64_t>(dib.Width()) * dib.Height() > 64 * 64) return 0;
  const uint8_t method = size ? data[size - 1] % 6 : 0;
  for (int bits : {1, 4, 8, 24}) {
    const std::string out = ConvertDibDepth(dib, bits, method);
    TBmpFileHeader fh;
    std::memcpy(&fh, out.data(), sizeof fh);
    if (fh.Size != out.size()) std::abort();
    const TDib back = ReadDib(out);
    if (back.Width() != dib.Width() || back.Height() != dib.Height() || back.BitCount() != bits) std::abort();
  }
  return 0;
}
