#include "PicUtils.h"

#include <cstring>

namespace pictures {

bool SameBytes(const void* a, const void* b, int32_t count) {
  if (count <= 0) return true;
  const auto* p = static_cast<const uint8_t*>(a);
  const auto* q = static_cast<const uint8_t*>(b);
  // Four bytes at a time, then the rest.
  const int32_t groups = count / 4;
  for (int32_t i = 0; i < groups; ++i, p += 4, q += 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, q, 4);
    if (x != y) return false;
  }
  for (int32_t i = 0; i < count % 4; ++i)
    if (p[i] != q[i]) return false;
  return true;
}

void CopyBytes(void* dest, const void* source, int32_t count) {
  if (count > 0) std::memmove(dest, source, static_cast<size_t>(count));
}

}  // namespace pictures
