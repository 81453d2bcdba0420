// Any weight and tare text gives a well-formed frame: 5, 10 or 15 bytes,
// fields of five digits, ETX before the check byte and an XOR of zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Simulador_Zivo_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  // The first byte picks the status choices, a NUL splits weight from tare.
  const uint8_t pick = size ? data[0] : 0;
  if (size) in.remove_prefix(1);
  const size_t cut = in.find('\0');
  const std::string_view peso = in.substr(0, cut);
  const std::string_view tara = cut == std::string_view::npos ? std::string_view() : in.substr(cut + 1);

  const uint8_t s1 = simulator::Monta_STATUS1(pick & 3, pick & 4, pick & 8, pick & 16, pick & 32);
  const uint8_t s2 = simulator::Monta_STATUS2(pick & 64, pick & 128, false, pick & 1, pick & 2, false);
  const std::string frame = simulator::Monta_String(s1, s2, peso, tara);

  if (frame.size() != 5 && frame.size() != 10 && frame.size() != 15) std::abort();
  if (frame[0] != simulator::STX || frame[frame.size() - 2] != simulator::ETX) std::abort();
  if (static_cast<uint8_t>(frame[1]) != s1 || static_cast<uint8_t>(frame[2]) != s2) std::abort();
  for (size_t i = 3; i + 2 < frame.size(); ++i)
    if (frame[i] < '0' || frame[i] > '9') std::abort();
  unsigned char x = 0;
  for (unsigned char c : frame) x ^= c;
  if (x != 0) std::abort();
  return 0;
}
