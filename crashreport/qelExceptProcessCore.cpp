// Portable parts of the reporter's process and module routines.
#include "qelExceptProcessCore.h"

#include <cstring>

namespace qel {

namespace {

// Little-endian reads inside [0, size); false when the field does not fit.
bool Read32(const uint8_t* image, size_t size, size_t offset, uint32_t& value) {
  if (offset > size || size - offset < 4) return false;
  value = static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
          static_cast<uint32_t>(image[offset + 2]) << 16 | static_cast<uint32_t>(image[offset + 3]) << 24;
  return true;
}

bool Read16(const uint8_t* image, size_t size, size_t offset, uint16_t& value) {
  if (offset > size || size - offset < 2) return false;
  value = static_cast<uint16_t>(image[offset] | image[offset + 1] << 8);
  return true;
}

bool ReadSlot(const uint8_t* image, size_t size, size_t offset, size_t width, uint64_t& value) {
  uint32_t low = 0;
  uint32_t high = 0;
  if (!Read32(image, size, offset, low)) return false;
  if (width == 8 && !Read32(image, size, offset + 4, high)) return false;
  value = static_cast<uint64_t>(high) << 32 | low;
  return true;
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string FileNameOnly(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FilePathOnly(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

bool PointerInRange(uintptr_t pointer, uintptr_t low, uintptr_t high) {
  return pointer == 0 || (low <= pointer && pointer <= high);
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || !IsLetter(text[0])) return false;
  for (size_t i = 1; i < text.size(); ++i)
    if (!IsLetter(text[i]) && !IsDigit(text[i])) return false;
  return true;
}

TImportSlots FindImportSlots(const uint8_t* image, size_t size, uint64_t function) {
  TImportSlots result;
  uint16_t mz = 0;
  uint32_t peOffset = 0;
  uint32_t signature = 0;
  uint16_t magic = 0;
  if (!Read16(image, size, 0, mz) || mz != 0x5A4D || !Read32(image, size, 0x3C, peOffset) ||
      !Read32(image, size, peOffset, signature) || signature != 0x00004550)
    return result;
  const size_t optional = static_cast<size_t>(peOffset) + 24;
  if (!Read16(image, size, optional, magic)) return result;
  size_t slotWidth = 0;
  size_t directories = 0;
  if (magic == 0x10B) {
    slotWidth = 4;
    directories = optional + 96;
  } else if (magic == 0x20B) {
    slotWidth = 8;
    directories = optional + 112;
  } else {
    return result;
  }
  uint32_t count = 0;
  uint32_t rva = 0;
  uint32_t dirSize = 0;
  if (!Read32(image, size, directories - 4, count) || count < 2 || !Read32(image, size, directories + 8, rva) ||
      !Read32(image, size, directories + 12, dirSize))
    return result;
  if (rva == 0) return result;  // no imports at all
  const uint64_t dirEnd = static_cast<uint64_t>(rva) + dirSize;
  for (uint64_t desc = rva;; desc += 20) {
    uint32_t nameRva = 0;
    uint32_t firstThunk = 0;
    if (desc > size || !Read32(image, size, static_cast<size_t>(desc) + 12, nameRva) || nameRva == 0 ||
        !Read32(image, size, static_cast<size_t>(desc) + 16, firstThunk))
      break;
    if (firstThunk > dirEnd) {
      result.BadTable = true;
      break;
    }
    if (firstThunk == 0) continue;
    for (size_t slot = firstThunk;; slot += slotWidth) {
      uint64_t value = 0;
      if (!ReadSlot(image, size, slot, slotWidth, value) || value == 0) break;
      if (value == function) result.Offsets.push_back(slot);
    }
  }
  return result;
}

std::string ClassNameOfTypeName(const char* mangled, size_t maxLength) {
  if (mangled == nullptr) return {};
  const size_t length = strnlen(mangled, maxLength);
  if (length == maxLength) return {};
  const std::string text(mangled, length);
  // The compiler marks the names of classes with internal linkage with '*'.
  size_t pos = !text.empty() && text[0] == '*' ? 1 : 0;
  const bool nested = pos < text.size() && text[pos] == 'N';
  if (nested) ++pos;
  std::string last;
  while (pos < text.size() && IsDigit(text[pos])) {
    size_t n = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
      n = n * 10 + static_cast<size_t>(text[pos] - '0');
      if (n > text.size()) return {};
      ++pos;
    }
    if (n == 0 || text.size() - pos < n) return {};
    last = text.substr(pos, n);
    if (!IsIdentifier(last)) return {};
    pos += n;
    if (!nested) break;
  }
  if (last.empty()) return {};
  if (nested) {
    if (pos >= text.size() || text[pos] != 'E') return {};
    ++pos;
  }
  return pos == text.size() ? last : std::string();
}

}  // namespace qel
