// File windows on Win32 handles: positioned ReadFile/WriteFile and mapped views.
#include <windows.h>

#include "qelZipIo.h"

namespace qel::zipio {

namespace {

HANDLE AsHandle(QelHandle h) { return reinterpret_cast<HANDLE>(h); }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

}  // namespace

bool ReadAt(QelHandle file, uint64_t offset, void* buffer, uint32_t size) {
  OVERLAPPED o = At(offset);
  DWORD done = 0;
  return ReadFile(AsHandle(file), buffer, size, &done, &o) && done == size;
}

bool WriteAt(QelHandle file, uint64_t offset, const void* buffer, uint32_t size) {
  OVERLAPPED o = At(offset);
  DWORD done = 0;
  return WriteFile(AsHandle(file), buffer, size, &done, &o) && done == size;
}

bool TMappedView::Map(QelHandle mapping, uint64_t offset, uint32_t size, bool writable) {
  Reset();
  if (size == 0) return false;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uint64_t start = offset - offset % si.dwAllocationGranularity;
  const size_t length = static_cast<size_t>(offset - start) + size;
  void* base = MapViewOfFile(AsHandle(mapping), writable ? FILE_MAP_WRITE : FILE_MAP_READ,
                             static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), length);
  if (base == nullptr) return false;
  FBase = base;
  FLength = length;
  FData = static_cast<uint8_t*>(base) + (offset - start);
  return true;
}

void TMappedView::Reset() {
  if (FBase != nullptr) UnmapViewOfFile(FBase);
  FBase = nullptr;
  FLength = 0;
  FData = nullptr;
}

uint8_t* TPageBuffer::Get(size_t size) {
  if (FData != nullptr) return size <= FSize ? static_cast<uint8_t*>(FData) : nullptr;
  FData = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (FData == nullptr) return nullptr;
  FSize = size;
  return static_cast<uint8_t*>(FData);
}

void TPageBuffer::Reset() {
  if (FData != nullptr) VirtualFree(FData, 0, MEM_RELEASE);
  FData = nullptr;
  FSize = 0;
}

}  // namespace qel::zipio
