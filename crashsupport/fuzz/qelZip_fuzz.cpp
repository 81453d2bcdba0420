// Untrusted packed data: packed-string blocks and raw streams with a claimed size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qelZip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string block(reinterpret_cast<const char*>(data), size);

  // A block decodes to exactly its claimed size with a matching CRC, or to nothing.
  const std::string s = qel::UnpackString(block);
  if (!s.empty()) {
    uint32_t claimed = 0, crc = 0;
    std::memcpy(&claimed, data, 4);
    std::memcpy(&crc, data + 8, 4);
    if (s.size() != claimed || ~qel::Crc32Update(0xFFFFFFFFu, s.data(), static_cast<int32_t>(s.size())) != crc)
      std::abort();
  }

  // The same bytes as a raw stream after a 2-byte size and a 1-byte input
  // offset: the target is exactly as large as claimed, so ASan sees any overrun.
  if (size >= 3) {
    const uint32_t expected = static_cast<uint32_t>(data[0] | data[1] << 8);
    const uint32_t offset = data[2] % 8;
    std::vector<uint8_t> out(expected);
    const uint32_t n = qel::UnpackEx(0, 0, 0, nullptr, expected, static_cast<uint32_t>(size - 3), out.data(),
                                     data + 3, offset, 0);
    if (n != 0 && n != expected) std::abort();
  }

  // Whatever comes in packs and unpacks to itself.
  std::vector<uint8_t> packed(size + size / 8 + 64);
  const uint32_t p = qel::PackBuffer(data, packed.data(), static_cast<uint32_t>(size), static_cast<uint32_t>(packed.size()));
  if (p == 0) std::abort();
  std::vector<uint8_t> back(size);
  if (qel::UnpackBuffer(packed.data(), back.data(), p, static_cast<uint32_t>(size)) != size) std::abort();
  if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();
  return 0;
}
