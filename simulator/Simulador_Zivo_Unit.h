// Building the weight frame a Zivo scale sends:
//   STX, STATUS1, STATUS2, weight (5 digits), tare (5 digits), ETX, check byte
// where the check byte is the XOR of every byte before it. A blank weight or
// tare text leaves its field out (0 bytes). Strings hold code page 1252
// bytes, one byte per frame character.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "Simulador_Zivo_Bits.h"

namespace simulator {

constexpr char STX = '\x02';
constexpr char ETX = '\x03';
// Width of the weight and of the tare field.
constexpr uint8_t kFieldWidth = 5;
// The weight and tare texts are short strings: characters past this are cut.
constexpr size_t kMaxFieldText = 255;

// The characters of `text`, in order, whose ASCII upper-case form occurs in
// `allowed`; each is kept as it stood.
std::string Filtra_Caracteres(std::string_view allowed, std::string_view text);

// True when nothing but spaces and control characters (bytes up to 0x20) is left
// after trimming both ends.
bool IsBlank(std::string_view s);

// Empty when `s` is blank or `width` is 0; otherwise `s` with "0" put in front
// until it is `width` long (a longer `s` comes back unchanged).
std::string Completa_Zeros(std::string_view s, uint8_t width);

// Turns a weight or tare text into its field: empty for a blank text or a
// width of 0, otherwise exactly `width` digits (the leftmost digits of the
// text, zeros in front). A text with no digit at all gives `width` zeros, so
// that the frame keeps its length and the fields stay where a reader looks.
// Only the first kMaxFieldText characters of the text count.
void Formata_Campo(std::string& s, uint8_t width);

// 0x80 | precision bit (0x01, 0x02, 0x04 for 0, 1, anything else)
//      | 0x08 negative | 0x10 motion | 0x20 saturation | 0x40 overload.
uint8_t Monta_STATUS1(uint8_t precision, bool negative, bool motion, bool saturation, bool overload);
// 0x80 | 0x10/0x20/0x40 for TR1/TR2/TR3 | 0x02/0x04/0x08 for SP1/SP2/SP3.
uint8_t Monta_STATUS2(bool TR1, bool TR2, bool TR3, bool SP1, bool SP2, bool SP3);

// The weight frame with its check byte, from the weight and tare texts as typed.
std::string Monta_String(uint8_t STATUS1, uint8_t STATUS2, std::string_view Peso, std::string_view Tara);

// Unit initialization and finalization: they only count their calls.
void Simulador_Zivo_Unit_Init();
void Simulador_Zivo_Unit_Fini();
int Simulador_Zivo_Unit_InitCount();
int Simulador_Zivo_Unit_FiniCount();

}  // namespace simulator
