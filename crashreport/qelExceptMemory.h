// Reads of the process's own memory that cannot fault: values through the
// support library's SafeReadMemory, ranges and texts checked page by page
// against the system's region list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace qel {

bool IsReadableRange(const void* address, size_t size);
// Copies `size` bytes; false (and nothing copied) when any page is not readable.
bool ReadOwnMemory(const void* address, void* target, size_t size);
template <class T>
bool ReadOwnValue(const void* address, T& value) {
  return ReadOwnMemory(address, &value, sizeof value);
}
// A zero-terminated text of at most `maxLength` characters; false when it is
// unreadable or has no terminator within that length.
bool ReadOwnCString(const char* address, size_t maxLength, std::string& text);

}  // namespace qel
