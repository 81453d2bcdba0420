#include "ZIVO_Unit.h"

#include "SysUtils.h"

namespace reader {

namespace {

int g_initCount = 0;
int g_finiCount = 0;

// Characters `first`..`last` (1-based) of `s`, as far as `s` reaches.
std::string Chars(const std::string& s, size_t first, size_t last) {
  if (first > s.size()) return {};
  return s.substr(first - 1, last - first + 1);
}

// The bit texts hold "0" and "1" only; anything else is not a Boolean.
bool BitToBool(const std::string& s, size_t pos) {
  const std::string c = Chars(s, pos, pos);
  if (c == "1") return true;
  if (c == "0") return false;
  throw zf::EConvertError("'" + c + "' is not a valid boolean value");
}

// Precision bits 2..0 read as a decimal number: one set bit names the factor.
std::string DisplayFactor(const std::string& precision) {
  switch (zf::StrToInt(precision)) {
    case 1: return std::string("1");
    case 10: return std::string("0,1");
    case 100: return std::string("0,01");
    default: return precision;
  }
}

}  // namespace

std::string Remove_Invalidos(const std::string& texto) {
  std::string out;
  out.reserve(texto.size());
  for (const char ch : texto) {
    switch (static_cast<unsigned char>(ch)) {
      case 0x00: case 0x02: case 0x0A: case 0x0D: case 0x11: break;
      default: out += ch;
    }
  }
  return out;
}

void Trata_Buffer(const std::string& Buffer, std::string& STATUS1, std::string& STATUS2, std::string& Peso,
                  std::string& Tara, std::string& CK_SUM) {
  STATUS1 = Buffer.size() >= 1 ? Int_To_Bin(static_cast<unsigned char>(Buffer[0]), 7) : std::string();
  STATUS2 = Buffer.size() >= 2 ? Int_To_Bin(static_cast<unsigned char>(Buffer[1]), 7) : std::string();
  Peso = Chars(Buffer, 3, 7);
  Tara = Chars(Buffer, 8, 12);
  CK_SUM = Chars(Buffer, 14, 14);
}

void Trata_STATUS1(const std::string& STATUS1, std::string& display, bool& peso_negativo, bool& sensor_movimento,
                   bool& saturacao, bool& sobrecarga) {
  display = DisplayFactor(Chars(STATUS1, 6, 8));
  peso_negativo = BitToBool(STATUS1, 5);
  sensor_movimento = BitToBool(STATUS1, 4);
  saturacao = BitToBool(STATUS1, 3);
  sobrecarga = BitToBool(STATUS1, 2);
}

void Trata_STATUS2(const std::string& STATUS2, bool& TR1, bool& TR2, bool& TR3, bool& SP1, bool& SP2, bool& SP3) {
  TR1 = BitToBool(STATUS2, 4);
  TR2 = BitToBool(STATUS2, 3);
  TR3 = BitToBool(STATUS2, 2);
  SP1 = BitToBool(STATUS2, 7);
  SP2 = BitToBool(STATUS2, 6);
  SP3 = BitToBool(STATUS2, 5);
}

void ZIVO_Unit_Init() { ++g_initCount; }
void ZIVO_Unit_Fini() { ++g_finiCount; }
int ZIVO_Unit_InitCount() { return g_initCount; }
int ZIVO_Unit_FiniCount() { return g_finiCount; }

}  // namespace reader
