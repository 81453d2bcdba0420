// File windows of the compressor entry points: the one place that knows how a
// handle is read, written, mapped and how page buffers are obtained.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qelZip.h"

namespace qel::zipio {

// True only when all `size` bytes were transferred.
bool ReadAt(QelHandle file, uint64_t offset, void* buffer, uint32_t size);
bool WriteAt(QelHandle file, uint64_t offset, const void* buffer, uint32_t size);

// A mapped view of [offset, offset + size) of a file mapping; unmapped on reset.
class TMappedView {
public:
  TMappedView() = default;
  TMappedView(const TMappedView&) = delete;
  TMappedView& operator=(const TMappedView&) = delete;
  ~TMappedView() { Reset(); }

  bool Map(QelHandle mapping, uint64_t offset, uint32_t size, bool writable);
  void Reset();
  uint8_t* Data() const { return FData; }

private:
  void* FBase = nullptr;  // the view as the system gave it (aligned down)
  size_t FLength = 0;
  uint8_t* FData = nullptr;
};

// Memory from the system's page allocator, freed with the object.
class TPageBuffer {
public:
  TPageBuffer() = default;
  TPageBuffer(const TPageBuffer&) = delete;
  TPageBuffer& operator=(const TPageBuffer&) = delete;
  ~TPageBuffer() { Reset(); }

  uint8_t* Get(size_t size);  // allocates on first use; nullptr on failure
  void Reset();

private:
  void* FData = nullptr;
  size_t FSize = 0;
};

}  // namespace qel::zipio
