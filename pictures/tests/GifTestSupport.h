// Test helpers for the GIF codec: a plain dictionary LZW coder written
// independently of the codec (to make and inspect code streams the codec's own
// encoder never writes), pixel-array packing, and a minimal GIF container.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

// Bytes written as numbers.
std::string Bytes(std::initializer_list<int> v);

// Indices of a picture, top row first, one byte each.
struct Indices {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
};

// Deterministic pictures: "noise" (every index equally likely), "flat", "stripes",
// "smooth" (slowly varying, long strings), each with indices below `colors`.
Indices MakePicture(const std::string& kind, int width, int height, int colors, uint32_t seed);

// Bottom-up array of 1, 4 or 8 bits per pixel with 4-byte row padding, and back.
std::vector<uint8_t> PackDib(const Indices& in, int pixelBits);
Indices UnpackDib(const std::vector<uint8_t>& dib, int width, int height, int pixelBits);

// Rows of `in` in the order they are stored when interlaced (file order).
Indices InterlaceOrder(const Indices& in);

struct Code {
  uint16_t value;
  int width;
};
// Plain LZW with a map dictionary. `deferredClear`: once 4096 codes exist, go on
// with the frozen table; otherwise clear after code `clearAfter` is assigned.
std::vector<Code> ReferenceEncode(const std::vector<uint8_t>& px, int codeSize, bool deferredClear,
                                  int clearAfter = 4095);
// Code-size byte, codes packed low bit first into sub-blocks of `blockSize`
// bytes (1..255), terminator.
std::string PackCodes(int codeSize, const std::vector<Code>& codes, int blockSize = 255);

// What a plain dictionary decoder finds in a code stream.
struct Trace {
  std::vector<uint8_t> px;             // all decoded indices, in stream order
  std::vector<int> clearAtNextFree;     // dictionary size at each clear code after the first code
  int maxWidth = 0;
  bool endSeen = false;
  size_t codes = 0;
};
// Raster data as stored (code-size byte first). Stops at the end code or the end of the data.
Trace ReferenceDecode(const std::string& raster);

// A one-frame GIF89a around raster data, with a global table of 2^bits entries.
std::string WrapGif(int width, int height, int bits, const std::vector<uint32_t>& rgb,
                    const std::string& raster, bool interlaced);
std::vector<uint32_t> GrayPalette(int bits);

struct Frame {
  int width = 0, height = 0, bits = 0;
  bool interlaced = false;
  std::vector<uint32_t> rgb;  // 0xRRGGBB of the table in force
  std::string raster;         // code-size byte, sub-blocks, terminator
};
// First image of a GIF file (global or local table).
Frame FirstFrame(const std::string& gif);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// PBM/PGM/PPM (binary) as 0xRRGGBB pixels, top row first.
struct Rgb {
  int width = 0, height = 0;
  std::vector<uint32_t> px;
};
Rgb ReadPnm(const std::string& data);

}  // namespace giftest
