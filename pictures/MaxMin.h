// Larger and smaller of two numbers, as the picture units use them.
#pragma once
#include <cstdint>

namespace pictures {

// The second when they are equal.
constexpr int32_t LargerOf(int32_t a, int32_t b) { return a > b ? a : b; }
constexpr int32_t SmallerOf(int32_t a, int32_t b) { return a < b ? a : b; }

}  // namespace pictures
