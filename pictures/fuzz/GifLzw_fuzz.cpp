// Decoder fuzz target. Input: width byte, height byte, flags byte (bits 0-2 frame
// bits - 1, bit 3 interlaced, bit 4 tolerate), then the raster data from its
// code-size byte. Decoding may only end in a picture or the codec's named
// errors; a decoded picture must survive an encode and decode unchanged.
#include <cstdlib>
#include <vector>

#include "GifLzw.h"

using namespace pictures;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int width = data[0] % 96 + 1, height = data[1] % 96;
  const int frameBits = (data[2] & 7) + 1;
  const bool interlaced = data[2] & 8, tolerate = data[2] & 16;
  const int bits = frameBits == 1 ? 1 : frameBits <= 4 ? 4 : 8;
  const size_t bytes = static_cast<size_t>(GifRasterStride(width, bits)) * height;
  // The exact size, so that a write past the array is seen.
  std::vector<uint8_t> dib(bytes);
  zf::TMemoryStream in(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
  bool corrupted = false;
  try {
    DecodeGifRaster(in, {width, height, bits}, interlaced, {}, corrupted, dib, frameBits, tolerate);
  } catch (const zf::EInvalidGraphicOperation& e) {
    const std::string& m = e.Message();
    if (m != SGIFReadError && m != SGIFCodeSize && m != SGIFDecodeError) std::abort();
    return 0;
  } catch (const zf::EReadError&) {
    if (size != 3) std::abort();  // only a missing code-size byte
    return 0;
  }
  zf::TMemoryStream out;
  EncodeGifRaster(out, {width, height, bits}, interlaced, {}, dib);
  out.SetPosition(0);
  std::vector<uint8_t> again(bytes);
  DecodeGifRaster(out, {width, height, bits}, interlaced, {}, corrupted, again, bits, false);
  if (corrupted || again != dib) std::abort();
  return 0;
}
