// Raw deflate compression entry points (zlib), packed-string blocks and CRC-32.
//
// A side (source or target) is a memory buffer when its file handle is 0, else
// an open file walked in windows of at most 1 MB: mapped views when a mapping
// handle of that file is given, else positioned reads or writes through a 1 MB
// buffer. Lengths and capacities are total sizes; offsets lie inside them.
// Every routine reports failure as 0 (or an empty string) and never raises.
#pragma once
#include <cstdint>
#include <string>

namespace qel {

// A Win32 HANDLE in the Windows build, a POSIX descriptor natively; 0 = none.
// A POSIX target mapped for writing must already be as long as its capacity.
using QelHandle = intptr_t;

inline constexpr uint32_t ZipWindowSize = 1048576;

// Compresses source[0, sourceLength) into target[outputOffset, targetCapacity).
// Result: bytes written after the offset, 0 on failure or when the output
// leaves no byte of the target free. With crc, it receives the CRC-32 of the
// source bytes (inverted, ready to store).
uint32_t PackEx(QelHandle sourceFile, QelHandle targetFile, QelHandle sourceMapping, uint32_t* crc,
                uint32_t targetCapacity, uint32_t sourceLength, void* target, const void* source, uint32_t outputOffset,
                QelHandle targetMapping);

// Decompresses source[inputOffset, sourceLength) into target[0, targetCapacity).
// Result: targetCapacity when the stream ended, consumed every source byte and
// produced exactly targetCapacity bytes; else 0. With crc, it receives the
// CRC-32 of the bytes produced.
uint32_t UnpackEx(QelHandle sourceFile, QelHandle targetFile, QelHandle sourceMapping, uint32_t* crc,
                  uint32_t targetCapacity, uint32_t sourceLength, void* target, const void* source,
                  uint32_t inputOffset, QelHandle targetMapping);

uint32_t PackBuffer(const void* source, void* target, uint32_t sourceLength, uint32_t targetCapacity);
uint32_t UnpackBuffer(const void* source, void* target, uint32_t sourceLength, uint32_t expectedSize);

// Packed-string block: unpacked size (LE32), 4 unused bytes, CRC-32 of the
// unpacked bytes (LE32), raw deflate data. Empty on any failure.
std::string UnpackString(const std::string& block);

// Reflected CRC-32 (polynomial 0xEDB88320, zlib's tables) without pre- or
// post-inversion: start from 0xFFFFFFFF and invert the final value.
// A length <= 0 changes nothing.
uint32_t Crc32Update(uint32_t crc, const void* buffer, int32_t length);

uint32_t MinCardinal(uint32_t a, uint32_t b);

}  // namespace qel
