// Test pictures for the colour-depth converter: 24-bit models made from a
// pixel function, and a deterministic photo-like image (smooth shading, edges
// and a little noise, so that it has tens of thousands of colours).
#pragma once
#include <cmath>
#include <cstdint>
#include <functional>

#include "DepthConvCore.h"

namespace dibtest {

// Pixel function: (x, y with 0 = top row) -> 0xRRGGBB.
inline pictures::TDib MakeRgb24(int width, int height, const std::function<uint32_t(int x, int y)>& color) {
  pictures::TDib d;
  d.Header.Size = 40;
  d.Header.Width = width;
  d.Header.Height = height;
  d.Header.Planes = 1;
  d.Header.BitCount = 24;
  const size_t stride = static_cast<size_t>(pictures::DibStride(width, 24));
  d.Bits.assign(stride * static_cast<size_t>(height), 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint32_t c = color(x, y);
      uint8_t* p = d.Bits.data() + stride * static_cast<size_t>(height - 1 - y) + 3 * static_cast<size_t>(x);
      p[0] = static_cast<uint8_t>(c), p[1] = static_cast<uint8_t>(c >> 8), p[2] = static_cast<uint8_t>(c >> 16);
    }
  return d;
}

// 0xRRGGBB of a 24-bit model's pixel (y = 0 is the top row).
inline uint32_t PixelOf(const pictures::TDib& d, int x, int y) {
  const size_t stride = static_cast<size_t>(pictures::DibStride(d.Width(), 24));
  const uint8_t* p = d.Bits.data() + stride * static_cast<size_t>(d.Height() - 1 - y) + 3 * static_cast<size_t>(x);
  return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

inline pictures::TDib PhotoLike(int width, int height, uint32_t seed = 1) {
  return MakeRgb24(width, height, [=](int x, int y) {
    uint32_t h = (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u) ^ (seed * 83492791u);
    h ^= h >> 13, h *= 0x5bd1e995u, h ^= h >> 15;
    const double fx = x / 97.0, fy = y / 61.0;
    const int noise = static_cast<int>(h % 9) - 4;
    const auto clamp = [](double v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    const bool edge = ((x / 128) + (y / 96)) % 2 == 0;
    const uint32_t r = clamp(128 + 100 * std::sin(fx + fy) + noise + (edge ? 20 : 0));
    const uint32_t g = clamp(128 + 90 * std::cos(fx * 1.7 - fy) + noise);
    const uint32_t b = clamp(110 + 80 * std::sin(fx * 0.6 + fy * 2.1) - noise + (edge ? 0 : 30));
    return (r << 16) | (g << 8) | b;
  });
}

}  // namespace dibtest
