// JPEG decompression into 8-bit RGB through libjpeg, without windows.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zf {

struct TJpegPixels {
  int Width = 0, Height = 0;
  std::string Rgb;  // Height rows of Width x 3 bytes, top row first, red green blue
};

// Raises EInvalidGraphic "JPEG error #<n>" with libjpeg's message code for a
// fatal library error (also for data that is not a JPEG at all), and
// EInvalidGraphic "JPEG image too large" beyond 64 million pixels.
TJpegPixels DecodeJpeg(std::string_view data);

}  // namespace zf
