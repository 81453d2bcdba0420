#include "Simulador_Zivo_Unit.h"

namespace simulator {

namespace {
int g_initCount = 0;
int g_finiCount = 0;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string Filtra_Caracteres(std::string_view allowed, std::string_view text) {
  std::string out;
  for (char c : text)
    if (allowed.find(AsciiUpper(c)) != std::string_view::npos) out.push_back(c);
  return out;
}

bool IsBlank(std::string_view s) {
  // Bytes compare unsigned: 0xA0 and the accented letters are text, not blanks.
  for (char c : s)
    if (static_cast<unsigned char>(c) > 0x20) return false;
  return true;
}

std::string Completa_Zeros(std::string_view s, uint8_t width) {
  if (width == 0 || IsBlank(s)) return {};
  std::string out;
  if (s.size() < width) out.assign(width - s.size(), '0');
  out.append(s);
  return out;
}

void Formata_Campo(std::string& s, uint8_t width) {
  if (s.size() > kMaxFieldText) s.resize(kMaxFieldText);
  if (width == 0 || IsBlank(s)) {
    s.clear();
    return;
  }
  s = Filtra_Caracteres("0123456789", s);
  if (s.size() > width) s.resize(width);
  if (s.empty()) {
    s.assign(width, '0');
    return;
  }
  s = Completa_Zeros(s, width);
}

uint8_t Monta_STATUS1(uint8_t precision, bool negative, bool motion, bool saturation, bool overload) {
  unsigned b = 0x80;
  b |= precision == 0 ? 0x01u : precision == 1 ? 0x02u : 0x04u;
  if (negative) b |= 0x08;
  if (motion) b |= 0x10;
  if (saturation) b |= 0x20;
  if (overload) b |= 0x40;
  return static_cast<uint8_t>(b);
}

uint8_t Monta_STATUS2(bool TR1, bool TR2, bool TR3, bool SP1, bool SP2, bool SP3) {
  unsigned b = 0x80;
  if (TR1) b |= 0x10;
  if (TR2) b |= 0x20;
  if (TR3) b |= 0x40;
  if (SP1) b |= 0x02;
  if (SP2) b |= 0x04;
  if (SP3) b |= 0x08;
  return static_cast<uint8_t>(b);
}

std::string Monta_String(uint8_t STATUS1, uint8_t STATUS2, std::string_view Peso, std::string_view Tara) {
  std::string peso(Peso);
  std::string tara(Tara);
  Formata_Campo(peso, kFieldWidth);
  Formata_Campo(tara, kFieldWidth);

  std::string frame;
  frame.reserve(3 + peso.size() + tara.size() + 2);
  frame.push_back(STX);
  frame.push_back(static_cast<char>(STATUS1));
  frame.push_back(static_cast<char>(STATUS2));
  frame += peso;
  frame += tara;
  frame.push_back(ETX);
  unsigned char check = 0;
  for (char c : frame) check ^= static_cast<unsigned char>(c);
  frame.push_back(static_cast<char>(check));
  return frame;
}

void Simulador_Zivo_Unit_Init() { ++g_initCount; }
void Simulador_Zivo_Unit_Fini() { ++g_finiCount; }
int Simulador_Zivo_Unit_InitCount() { return g_initCount; }
int Simulador_Zivo_Unit_FiniCount() { return g_finiCount; }

}  // namespace simulator
