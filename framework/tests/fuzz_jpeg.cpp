// JPEG data of any shape: pixels or EInvalidGraphic, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "JpegDecode.h"
#include "SysUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    zf::TJpegPixels p = zf::DecodeJpeg(std::string_view(reinterpret_cast<const char*>(data), size));
    (void)p;
  } catch (const zf::EInvalidGraphic&) {
  }
  return 0;
}
