// Bit texts of the frame's status bytes. Kept apart from the frame building
// so that a program that only decodes frames links this routine alone
// (library simulator_bits).
#pragma once
#include <cstdint>
#include <string>

namespace simulator {

// One character per bit, from bit `tamanho` down to bit 0 of `valor`: "1"
// where the bit is set, "0" where not; tamanho + 1 characters. Bits above
// bit 31 repeat the sign bit. A negative `tamanho` gives an empty text.
std::string Int_To_Bin(int32_t valor, int32_t tamanho);

}  // namespace simulator
