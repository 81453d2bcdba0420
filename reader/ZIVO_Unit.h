// Taking received text apart into the fields of the scale's weight frame:
// control bytes out, then STATUS1, STATUS2, weight, tare and check byte, and
// the status bits as flags. Nothing here verifies the frame (no check byte,
// ETX or digit test): the reader shows what arrived.
#pragma once
#include <string>

#include "Simulador_Zivo_Bits.h"

namespace reader {

// Bit text of `valor` from bit `tamanho` down to bit 0 (the frame unit's routine).
using simulator::Int_To_Bin;

// `texto` without 0x00, 0x02 (STX), 0x0A, 0x0D and 0x11 (XON); all else in order.
std::string Remove_Invalidos(const std::string& texto);

// Splits a cleaned frame (1-based): STATUS1/STATUS2 := bit texts of characters
// 1 and 2, Peso := 3..7, Tara := 8..12, CK_SUM := 14. Fields beyond the end of
// `Buffer` come out shorter or empty.
void Trata_Buffer(const std::string& Buffer, std::string& STATUS1, std::string& STATUS2, std::string& Peso,
                  std::string& Tara, std::string& CK_SUM);

// Decodes a STATUS1 bit text: `display` is "1", "0,1" or "0,01" for the
// precision bits 2..0 (characters 6..8), otherwise those three characters.
// A character other than "0"/"1" in a flag position, or precision characters
// that are no integer, raise zf::EConvertError.
void Trata_STATUS1(const std::string& STATUS1, std::string& display, bool& peso_negativo, bool& sensor_movimento,
                   bool& saturacao, bool& sobrecarga);

// Decodes a STATUS2 bit text; zf::EConvertError as above.
void Trata_STATUS2(const std::string& STATUS2, bool& TR1, bool& TR2, bool& TR3, bool& SP1, bool& SP2, bool& SP3);

// Unit initialization and finalization: they only count their calls.
void ZIVO_Unit_Init();
void ZIVO_Unit_Fini();
int ZIVO_Unit_InitCount();
int ZIVO_Unit_FiniCount();

}  // namespace reader
