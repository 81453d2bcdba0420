// File windows on POSIX descriptors (the native build, where the library is tested).
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "qelZipIo.h"

namespace qel::zipio {

namespace {

template <class Op>
bool TransferAll(Op op, uint64_t offset, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n = op(done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<uint32_t>(n);
  }
  return true;
}

}  // namespace

bool ReadAt(QelHandle file, uint64_t offset, void* buffer, uint32_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  return TransferAll(
      [&](uint32_t done, off_t at) { return pread(static_cast<int>(file), p + done, size - done, at); }, offset, size);
}

bool WriteAt(QelHandle file, uint64_t offset, const void* buffer, uint32_t size) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  return TransferAll(
      [&](uint32_t done, off_t at) { return pwrite(static_cast<int>(file), p + done, size - done, at); }, offset, size);
}

bool TMappedView::Map(QelHandle mapping, uint64_t offset, uint32_t size, bool writable) {
  Reset();
  if (size == 0) return false;
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t start = offset - offset % page;
  const size_t length = static_cast<size_t>(offset - start) + size;
  void* base = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                    static_cast<int>(mapping), static_cast<off_t>(start));
  if (base == MAP_FAILED) return false;
  FBase = base;
  FLength = length;
  FData = static_cast<uint8_t*>(base) + (offset - start);
  return true;
}

void TMappedView::Reset() {
  if (FBase != nullptr) munmap(FBase, FLength);
  FBase = nullptr;
  FLength = 0;
  FData = nullptr;
}

uint8_t* TPageBuffer::Get(size_t size) {
  if (FData != nullptr) return size <= FSize ? static_cast<uint8_t*>(FData) : nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  FData = p;
  FSize = size;
  return static_cast<uint8_t*>(p);
}

void TPageBuffer::Reset() {
  if (FData != nullptr) munmap(FData, FSize);
  FData = nullptr;
  FSize = 0;
}

}  // namespace qel::zipio
#endif
