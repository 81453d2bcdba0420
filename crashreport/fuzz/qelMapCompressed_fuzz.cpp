// The compressed map reader: the first byte chooses whether the rest is a
// whole file (header, deciphering, unpacking) or an unpacked payload that is
// packed and enciphered here first, so that the table reader is reached.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelCrypt.h"
#include "qelMapFile.h"
#include "qelZip.h"

namespace {

std::string LE32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Wrap(const std::string& unpacked) {
  std::string packed(unpacked.size() + 1024, '\0');
  packed.resize(qel::PackBuffer(unpacked.data(), packed.data(), static_cast<std::uint32_t>(unpacked.size()),
                           static_cast<std::uint32_t>(packed.size())));
  const std::uint32_t crc = ~qel::Crc32Update(0xFFFFFFFFu, unpacked.data(), static_cast<std::int32_t>(unpacked.size()));
  std::string block = LE32(static_cast<std::uint32_t>(unpacked.size())) + LE32(0) + LE32(crc) + packed;
  qel::LegacyEncryptStr(block, qel::BuildMapPassword(static_cast<std::uint32_t>(block.size())));
  return std::string(qel::QelMapSignature, 14) + LE32(static_cast<std::uint32_t>(block.size())) + LE32(2) + block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string file = (data[0] & 1) != 0 || rest.empty() ? rest : Wrap(rest);
  qel::TMapFile map("", qel::TMapBounds{0x401000, 0x500000, 0x600000, 0x700000});
  qel::LoadCompressedMap(file, map);
  // Counts stay within what the payload could hold.
  if (map.Segments().size() * 9 + map.Publics().size() * 2 + map.Lines().size() * 2 > file.size() * 1100 + 64)
    __builtin_trap();
  for (const auto& p : map.Publics()) map.PublicOfAddress(p.address);
  for (const auto& l : map.Lines()) map.LineOfAddress(l.address);
  return 0;
}
