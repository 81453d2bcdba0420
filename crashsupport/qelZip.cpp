#include "qelZip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "qelTypes.h"
#include "qelZipIo.h"

namespace qel {

namespace {

using zipio::TMappedView;
using zipio::TPageBuffer;

// zlib's compression level 2: fast matching, good 4, lazy 5, nice 16, chain 8.
constexpr int kPackLevel = 2;
constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;
// Deflate cannot expand more than 1032:1 (258 bytes from two bits).
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr size_t kBlockHeader = 12;

void FoldCrc(uint32_t* crc, const uint8_t* data, size_t size) {
  if (crc == nullptr) return;
  while (size > 0) {
    const auto chunk = static_cast<int32_t>(std::min<size_t>(size, 0x40000000));
    *crc = Crc32Update(*crc, data, chunk);
    data += chunk;
    size -= static_cast<size_t>(chunk);
  }
}

// The side that is read: a memory buffer in one window, or a file in windows of
// at most 1 MB starting at the offset. Each window handed out is folded into
// the CRC when one is kept for this side.
class TSourceWindows {
public:
  TSourceWindows(QelHandle file, QelHandle mapping, const void* memory, uint32_t length, uint32_t offset,
                 uint32_t* crc)
      : FFile(file), FMapping(mapping), FMemory(static_cast<const uint8_t*>(memory)), FOffset(offset),
        FTotal(offset <= length ? length - offset : 0), FValid(offset <= length && (file != 0 || memory != nullptr ||
                                                                                       length == offset)),
        FCrc(crc) {}

  bool Valid() const { return FValid; }
  bool Exhausted() const { return FConsumed == FTotal && (FFile != 0 || FMemoryDone); }

  bool Next(const uint8_t*& data, uint32_t& size) {
    if (FFile == 0) {
      if (FMemoryDone) return false;
      FMemoryDone = true;
      data = FTotal > 0 ? FMemory + FOffset : &FEmpty;
      size = FTotal;
    } else {
      size = MinCardinal(ZipWindowSize, FTotal - FConsumed);
      if (size == 0) return false;
      const uint64_t at = static_cast<uint64_t>(FOffset) + FConsumed;
      if (FMapping != 0) {
        if (!FView.Map(FMapping, at, size, false)) return false;
        data = FView.Data();
      } else {
        uint8_t* buffer = FBuffer.Get(ZipWindowSize);
        if (buffer == nullptr || !zipio::ReadAt(FFile, at, buffer, size)) return false;
        data = buffer;
      }
    }
    FConsumed += size;
    FoldCrc(FCrc, data, size);
    return true;
  }

private:
  QelHandle FFile, FMapping;
  const uint8_t* FMemory;
  uint32_t FOffset, FTotal;
  bool FValid;
  uint32_t* FCrc;
  uint32_t FConsumed = 0;
  bool FMemoryDone = false;
  uint8_t FEmpty = 0;
  TMappedView FView;
  TPageBuffer FBuffer;
};

// The side that is written: target[offset, capacity), one memory window or
// file windows of at most 1 MB. Each window is written with the count of bytes
// filled in it (not a count derived from the total): only those are written
// and folded into the CRC.
class TTargetWindows {
public:
  TTargetWindows(QelHandle file, QelHandle mapping, void* memory, uint32_t capacity, uint32_t offset, uint32_t* crc)
      : FFile(file), FMapping(mapping), FMemory(static_cast<uint8_t*>(memory)), FOffset(offset),
        FTotal(offset <= capacity ? capacity - offset : 0),
        FValid(offset <= capacity && (file != 0 || memory != nullptr || capacity == offset)), FCrc(crc) {}

  bool Valid() const { return FValid; }
  uint32_t Total() const { return FTotal; }
  bool HasMore() const { return FOpened < FTotal; }
  // Bytes produced so far, `filled` of them in the open window.
  uint64_t Produced(uint32_t filled) const { return static_cast<uint64_t>(FClosed) + filled; }

  bool Next(uint8_t*& data, uint32_t& size) {
    if (FFile == 0) {
      if (FOpened > 0 || FMemoryDone) return false;
      FMemoryDone = true;
      data = FTotal > 0 ? FMemory + FOffset : &FEmpty;
      size = FTotal;
    } else {
      size = MinCardinal(ZipWindowSize, FTotal - FOpened);
      if (size == 0) return false;
      FWindowAt = static_cast<uint64_t>(FOffset) + FOpened;
      if (FMapping != 0) {
        if (!FView.Map(FMapping, FWindowAt, size, true)) return false;
        data = FView.Data();
      } else {
        data = FBuffer.Get(ZipWindowSize);
        if (data == nullptr) return false;
      }
    }
    FWindow = data;
    FOpened += size;
    FOpen = true;
    return true;
  }

  // Raises QelException when a buffered file window cannot be written.
  void WriteTargetWindow(uint32_t filled) {
    if (!FOpen) return;
    FOpen = false;
    FoldCrc(FCrc, FWindow, filled);
    if (FFile != 0 && FMapping == 0 && filled > 0 && !zipio::WriteAt(FFile, FWindowAt, FWindow, filled))
      throw QelException::CreateWithMessage("Stream write error.");
    FClosed += filled;
    FView.Reset();
  }

private:
  QelHandle FFile, FMapping;
  uint8_t* FMemory;
  uint32_t FOffset, FTotal;
  bool FValid;
  uint32_t* FCrc;
  uint32_t FOpened = 0;
  uint32_t FClosed = 0;
  bool FMemoryDone = false;
  bool FOpen = false;
  uint64_t FWindowAt = 0;
  uint8_t* FWindow = nullptr;
  uint8_t FEmpty = 0;
  TMappedView FView;
  TPageBuffer FBuffer;
};

struct TDeflater {
  z_stream Z{};
  bool Ready = false;
  bool Init() { return Ready = deflateInit2(&Z, kPackLevel, Z_DEFLATED, -kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK; }
  ~TDeflater() {
    if (Ready) deflateEnd(&Z);
  }
};

struct TInflater {
  z_stream Z{};
  bool Ready = false;
  bool Init() { return Ready = inflateInit2(&Z, -kWindowBits) == Z_OK; }
  ~TInflater() {
    if (Ready) inflateEnd(&Z);
  }
};

// The codec's input from the next source window (for inflating as well).
bool ReadSourceWindow(z_stream& z, TSourceWindows& source) {
  const uint8_t* in = nullptr;
  uint32_t size = 0;
  if (!source.Next(in, size)) return false;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = size;
  return true;
}

// The codec's output into the next target window (for inflating as well).
bool NextTargetWindow(z_stream& z, TTargetWindows& target, uint32_t& windowSize) {
  uint8_t* out = nullptr;
  if (!target.Next(out, windowSize)) return false;
  z.next_out = out;
  z.avail_out = windowSize;
  return true;
}

uint32_t Compress(TSourceWindows& source, TTargetWindows& target) {
  if (!source.Valid() || !target.Valid()) return 0;
  TDeflater d;
  if (!d.Init()) return 0;
  z_stream& z = d.Z;
  uint32_t outSize = 0;
  if (!NextTargetWindow(z, target, outSize)) return 0;
  for (;;) {
    if (z.avail_in == 0 && !source.Exhausted() && !ReadSourceWindow(z, source)) return 0;
    if (z.avail_out == 0) {
      target.WriteTargetWindow(outSize);
      if (!NextTargetWindow(z, target, outSize)) return 0;  // the output does not fit
    }
    const int ret = deflate(&z, source.Exhausted() ? Z_FINISH : Z_NO_FLUSH);
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK && ret != Z_BUF_ERROR) return 0;
  }
  const uint32_t filled = outSize - z.avail_out;
  const uint64_t produced = target.Produced(filled);
  if (produced >= target.Total()) return 0;  // no byte left over counts as not fitting
  target.WriteTargetWindow(filled);
  return static_cast<uint32_t>(produced);
}

uint32_t Decompress(TSourceWindows& source, TTargetWindows& target, uint32_t expected) {
  if (!source.Valid() || !target.Valid()) return 0;
  TInflater d;
  if (!d.Init()) return 0;
  z_stream& z = d.Z;
  uint8_t none = 0;  // zlib wants an output pointer even for an empty target
  z.next_in = &none;
  z.next_out = &none;
  uint32_t outSize = 0;
  NextTargetWindow(z, target, outSize);  // none for an empty file target
  for (;;) {
    if (z.avail_in == 0 && !source.Exhausted() && !ReadSourceWindow(z, source)) return 0;
    if (z.avail_out == 0 && target.HasMore()) {
      target.WriteTargetWindow(outSize);
      if (!NextTargetWindow(z, target, outSize)) return 0;
    }
    const int ret = inflate(&z, Z_NO_FLUSH);
    if (ret == Z_STREAM_END) break;
    if (ret == Z_OK) continue;
    const bool canGoOn = (z.avail_in == 0 && !source.Exhausted()) || (z.avail_out == 0 && target.HasMore());
    if (ret == Z_BUF_ERROR && canGoOn) continue;
    return 0;  // corrupt data, truncated stream or target too small
  }
  const uint32_t filled = outSize - z.avail_out;
  const bool exact = z.avail_in == 0 && source.Exhausted() && target.Produced(filled) == expected;
  target.WriteTargetWindow(filled);
  return exact ? expected : 0;
}

uint32_t ReadLE32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

}  // namespace

uint32_t PackEx(QelHandle sourceFile, QelHandle targetFile, QelHandle sourceMapping, uint32_t* crc,
                uint32_t targetCapacity, uint32_t sourceLength, void* target, const void* source, uint32_t outputOffset,
                QelHandle targetMapping) {
  if (crc != nullptr) *crc = 0xFFFFFFFFu;
  uint32_t result = 0;
  try {
    TSourceWindows in(sourceFile, sourceMapping, source, sourceLength, 0, crc);
    TTargetWindows out(targetFile, targetMapping, target, targetCapacity, outputOffset, nullptr);
    result = Compress(in, out);
  } catch (...) {  // a write error or no memory: the run has failed
    result = 0;
  }
  if (crc != nullptr) *crc = ~*crc;
  return result;
}

uint32_t UnpackEx(QelHandle sourceFile, QelHandle targetFile, QelHandle sourceMapping, uint32_t* crc,
                  uint32_t targetCapacity, uint32_t sourceLength, void* target, const void* source,
                  uint32_t inputOffset, QelHandle targetMapping) {
  if (crc != nullptr) *crc = 0xFFFFFFFFu;
  uint32_t result = 0;
  try {
    TSourceWindows in(sourceFile, sourceMapping, source, sourceLength, inputOffset, nullptr);
    TTargetWindows out(targetFile, targetMapping, target, targetCapacity, 0, crc);
    result = Decompress(in, out, targetCapacity);
  } catch (...) {
    result = 0;
  }
  if (crc != nullptr) *crc = ~*crc;
  return result;
}

uint32_t PackBuffer(const void* source, void* target, uint32_t sourceLength, uint32_t targetCapacity) {
  return PackEx(0, 0, 0, nullptr, targetCapacity, sourceLength, target, source, 0, 0);
}

uint32_t UnpackBuffer(const void* source, void* target, uint32_t sourceLength, uint32_t expectedSize) {
  return UnpackEx(0, 0, 0, nullptr, expectedSize, sourceLength, target, source, 0, 0);
}

std::string UnpackString(const std::string& block) {
  if (block.size() <= kBlockHeader) return {};
  const uint32_t size = ReadLE32(block, 0);
  const uint32_t storedCrc = ReadLE32(block, 8);
  const size_t packed = block.size() - kBlockHeader;
  // The size comes from outside: never believe more than deflate can produce.
  if (size == 0 || size > kMaxInflateRatio * packed || packed > std::numeric_limits<uint32_t>::max()) return {};
  std::string result;
  try {
    result.resize(size);
  } catch (const std::bad_alloc&) {
    return {};
  }
  result.resize(UnpackBuffer(block.data() + kBlockHeader, result.data(), static_cast<uint32_t>(packed), size));
  if (!result.empty()) {
    uint32_t crc = 0xFFFFFFFFu;
    FoldCrc(&crc, reinterpret_cast<const uint8_t*>(result.data()), result.size());
    if (~crc != storedCrc) result.clear();
  }
  return result;
}

uint32_t Crc32Update(uint32_t crc, const void* buffer, int32_t length) {
  if (length <= 0 || buffer == nullptr) return crc;
  // zlib's table-driven CRC-32 inverts on the way in and out; undo both.
  return ~static_cast<uint32_t>(crc32(~crc & 0xFFFFFFFFu, static_cast<const Bytef*>(buffer), static_cast<uInt>(length)));
}

uint32_t MinCardinal(uint32_t a, uint32_t b) { return a < b ? a : b; }

}  // namespace qel
