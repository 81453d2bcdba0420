// Any screen content, size and mode: the PNG is whole (chunk CRCs, a zlib
// stream that inflates to exactly the scan lines, indices inside the palette)
// and its pixels are what the palette says the screen was turned into.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qelScreenShot.h"

namespace {

uint32_t BE32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t width = 1 + data[0] % 48, height = 1 + data[1] % 48;
  const uint8_t mode = data[2] % 7;
  data += 3;
  size -= 3;
  std::vector<uint8_t> pixels(size_t{width} * height * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = size > 0 ? data[i % size] : 0;
  std::vector<uint8_t> work = pixels;
  const std::string png = qel::EncodeScreenPng(work.data(), width, height, mode);
  Check(!png.empty());

  // Chunks: IHDR, PLTE, IDAT, IEND, each with its CRC.
  std::string ihdr, plte, idat;
  size_t at = 8, chunks = 0;
  Check(png.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0);
  while (at < png.size()) {
    Check(at + 12 <= png.size());
    const uint32_t length = BE32(png, at);
    Check(length <= png.size() - at - 12);
    const std::string type = png.substr(at + 4, 4), body = png.substr(at + 8, length);
    const std::string typed = png.substr(at + 4, 4 + length);
    Check(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size())) == BE32(png, at + 8 + length));
    static const char* order[] = {"IHDR", "PLTE", "IDAT", "IEND"};
    Check(chunks < 4 && type == order[chunks++]);
    if (type == "IHDR") ihdr = body;
    if (type == "PLTE") plte = body;
    if (type == "IDAT") idat = body;
    at += 12 + length;
  }
  Check(chunks == 4 && ihdr.size() == 13 && BE32(ihdr, 0) == width && BE32(ihdr, 4) == height);
  const int depth = ihdr[8];
  Check((depth == 8 && plte.size() == 768) || (depth == 4 && plte.size() == 48));
  Check(mode != qel::ssmGray || depth == 4);
  Check(mode == qel::ssmGray || (mode >= qel::ssmColor50K && mode <= qel::ssmColor300K) || depth == 8);

  // The zlib stream (header and Adler-32 checked by zlib) holds exactly the rows.
  const size_t row = 1 + (depth == 8 ? width : (width + 1) / 2);
  std::vector<uint8_t> raw(row * height + 1);
  uLongf rawLength = static_cast<uLongf>(raw.size());
  Check(uncompress(raw.data(), &rawLength, reinterpret_cast<const Bytef*>(idat.data()), static_cast<uLong>(idat.size())) == Z_OK);
  Check(rawLength == row * height);

  // Grey images: every pixel is the grey level nearest to its luminance.
  for (uint32_t y = 0; y < height; ++y) {
    Check(raw[y * row] == 0);
    for (uint32_t x = 0; x < width && depth == 4; ++x) {
      const uint8_t* p = &pixels[(size_t{y} * width + x) * 4];
      const uint8_t b = raw[y * row + 1 + x / 2];
      const int index = x % 2 == 0 ? b >> 4 : b & 15;
      const int grey = (p[2] * 77 + p[1] * 151 + p[0] * 28) >> 8;
      const int level = static_cast<uint8_t>(plte[3 * index]);
      for (int k = 0; k < 16; ++k) Check(std::abs(grey - level) <= std::abs(grey - static_cast<uint8_t>(plte[3 * k])));
    }
    if (depth == 4 && width % 2 == 1) Check((raw[y * row + row - 1] & 15) == 0);
  }
  return 0;
}
