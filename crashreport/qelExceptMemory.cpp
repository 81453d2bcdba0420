// Fault-free reads of the own process's memory.
#include "qelExceptMemory.h"

#include "qelTools.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace qel {

namespace {

bool IsReadableProtection(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                     PAGE_EXECUTE_WRITECOPY)) != 0;
}

}  // namespace

bool IsReadableRange(const void* address, size_t size) {
  if (address == nullptr) return false;
  auto at = reinterpret_cast<uintptr_t>(address);
  if (size == 0) return true;
  if (UINTPTR_MAX - at < size - 1) return false;
  const uintptr_t last = at + size - 1;
  while (true) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || !IsReadableProtection(info.Protect)) return false;
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd == 0 || regionEnd - 1 >= last) return true;
    at = regionEnd;
  }
}

bool ReadOwnMemory(const void* address, void* target, size_t size) {
  return address != nullptr && SafeReadMemory(address, target, size);
}

bool ReadOwnCString(const char* address, size_t maxLength, std::string& text) {
  text.clear();
  if (address == nullptr) return false;
  // A page at a time: a short text near the end of a readable range stays readable.
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t page = si.dwPageSize;
  const char* p = address;
  while (text.size() < maxLength) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    const size_t chunk = std::min<size_t>(page - at % page, maxLength - text.size());
    if (!IsReadableRange(p, chunk)) return false;
    const void* zero = std::memchr(p, 0, chunk);
    if (zero != nullptr) {
      text.append(p, static_cast<const char*>(zero));
      return true;
    }
    text.append(p, chunk);
    p += chunk;
  }
  return false;
}

}  // namespace qel
