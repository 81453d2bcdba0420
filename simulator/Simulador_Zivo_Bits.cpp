#include "Simulador_Zivo_Bits.h"

namespace simulator {

std::string Int_To_Bin(int32_t valor, int32_t tamanho) {
  std::string s;
  if (tamanho < 0) return s;
  s.reserve(static_cast<size_t>(tamanho) + 1);
  for (int32_t bit = tamanho; bit >= 0; --bit) {
    // A shift of 32 or more is undefined; the sign bit stands for those bits.
    const int32_t shift = bit > 31 ? 31 : bit;
    s.push_back(((valor >> shift) & 1) ? '1' : '0');
  }
  return s;
}

}  // namespace simulator
