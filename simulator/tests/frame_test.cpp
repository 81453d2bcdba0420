// Weight frame building: the worked examples byte for byte, the field rules
// and the status bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Simulador_Zivo_Unit.h"

using namespace simulator;

namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

struct FrameCase {
  const char* name;
  uint8_t precision;
  bool negative, motion, saturation, overload;
  std::string peso, tara;
  const char* hex;
};

TEST(MontaString, FramesByteForByte) {
  const std::vector<FrameCase> cases = {
      {"worked example", 2, false, false, false, false, "123,45", "00000",
       "02 84 80 31 32 33 34 35 30 30 30 30 30 03 04"},
      {"negative and motion", 0, true, true, false, false, "01234", "00100",
       "02 99 80 30 31 32 33 34 30 30 31 30 30 03 1D"},
      {"blank tare leaves its field out", 2, false, false, false, false, "123,45", "     ",
       "02 84 80 31 32 33 34 35 03 34"},
      {"both blank", 2, false, false, false, false, "", "     ", "02 84 80 03 05"},
      {"untouched weight mask gives five zeros", 2, false, false, false, false, "   ,  ", "     ",
       "02 84 80 30 30 30 30 30 03 35"},
      {"all flags, precision 1", 1, true, true, true, true, "  1,5 ", "1234567",
       "02 FA 80 30 30 30 31 35 31 32 33 34 35 03 7E"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t s1 = Monta_STATUS1(c.precision, c.negative, c.motion, c.saturation, c.overload);
    uint8_t s2 = Monta_STATUS2(false, false, false, false, false, false);
    std::string frame = Monta_String(s1, s2, c.peso, c.tara);
    EXPECT_EQ(Hex(frame), c.hex);
    // The check byte makes the XOR over the whole frame zero.
    unsigned char x = 0;
    for (unsigned char b : frame) x ^= b;
    EXPECT_EQ(x, 0);
  }
}

TEST(MontaString, TextsAreNotChangedForTheCaller) {
  const std::string peso = "123,45", tara = "  1,5 ";
  (void)Monta_String(0x84, 0x80, peso, tara);
  EXPECT_EQ(peso, "123,45");
  EXPECT_EQ(tara, "  1,5 ");
}

TEST(IntToBin, BitTexts) {
  struct Case {
    int32_t valor, tamanho;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0x84, 8, "010000100"},
      {0x84, 7, "10000100"},
      {0x80, 8, "010000000"},
      {0xFA, 8, "011111010"},
      {0xFE, 8, "011111110"},
      {0, 0, "0"},
      {1, 0, "1"},
      {0x84, 1, "00"},
      {0x12345, -1, ""},
      {-1, 3, "1111"},
      // Bits above 31 carry the sign.
      {INT32_MIN, 33, "111" + std::string(31, '0')},
      {0x7FFFFFFF, 32, "00" + std::string(31, '1')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.valor) + "/" + std::to_string(c.tamanho));
    EXPECT_EQ(Int_To_Bin(c.valor, c.tamanho), c.text);
  }
}

TEST(FormataCampo, TextsToFields) {
  struct Case {
    std::string text;
    uint8_t width;
    std::string field;
  };
  const std::vector<Case> cases = {
      {"123,45", 5, "12345"},
      {"  1,5 ", 5, "00015"},
      {"1234567", 5, "12345"},
      {"-12,3", 5, "00123"},
      {"12345", 3, "123"},
      {"12345", 0, ""},
      {"", 5, ""},
      {"     ", 5, ""},
      {" \t\r\n\x01 ", 5, ""},
      // Not blank but no digit: five zeros, never the raw characters.
      {"   ,  ", 5, "00000"},
      {"abc", 5, "00000"},
      {"\xA0", 5, "00000"},
      {"\xE9,", 5, "00000"},
      // Only the first 255 characters of a text count.
      {std::string(254, ' ') + "9", 5, "00009"},
      {std::string(255, ' ') + "9", 5, ""},
      {std::string(255, 'x') + "9", 5, "00000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("[" + c.text + "] width " + std::to_string(c.width));
    std::string s = c.text;
    Formata_Campo(s, c.width);
    EXPECT_EQ(s, c.field);
  }
}

TEST(FormataCampo, SingleSevenAnywhereInTheEmptyMask) {
  const std::string mask = "   ,  ";
  for (size_t i = 0; i < mask.size(); ++i) {
    std::string s = mask;
    s[i] = '7';
    SCOPED_TRACE("[" + s + "]");
    Formata_Campo(s, 5);
    EXPECT_EQ(s, "00007");
  }
}

TEST(CompletaZeros, PadsOnTheLeftOnly) {
  EXPECT_EQ(Completa_Zeros("123456", 5), "123456");
  EXPECT_EQ(Completa_Zeros("12", 5), "00012");
  EXPECT_EQ(Completa_Zeros("12345", 5), "12345");
  EXPECT_EQ(Completa_Zeros(" 1", 5), "000 1");
  EXPECT_EQ(Completa_Zeros("  \t", 5), "");
  EXPECT_EQ(Completa_Zeros("12", 0), "");
}

TEST(FiltraCaracteres, KeepsCharactersAsTheyStood) {
  EXPECT_EQ(Filtra_Caracteres("0123456789", "1a2,3 "), "123");
  EXPECT_EQ(Filtra_Caracteres("ABC", "aXbYcC"), "abcC");
  EXPECT_EQ(Filtra_Caracteres("abc", "abc"), "");  // upper-case form must occur
  EXPECT_EQ(Filtra_Caracteres("", "123"), "");
  EXPECT_EQ(Filtra_Caracteres("\xE9", "\xE9\xC9"), "\xE9");  // only ASCII letters fold
}

TEST(MontaStatus, Status1) {
  struct Case {
    uint8_t precision;
    bool negative, motion, saturation, overload;
    uint8_t value;
  };
  const std::vector<Case> cases = {
      {0, false, false, false, false, 0x81}, {1, false, false, false, false, 0x82},
      {2, false, false, false, false, 0x84}, {3, false, false, false, false, 0x84},
      {255, false, false, false, false, 0x84}, {2, true, false, false, false, 0x8C},
      {2, false, true, false, false, 0x94}, {2, false, false, true, false, 0xA4},
      {2, false, false, false, true, 0xC4}, {1, true, true, true, true, 0xFA},
      {0, true, true, false, false, 0x99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.precision));
    EXPECT_EQ(Monta_STATUS1(c.precision, c.negative, c.motion, c.saturation, c.overload), c.value);
  }
}

TEST(MontaStatus, Status2) {
  EXPECT_EQ(Monta_STATUS2(false, false, false, false, false, false), 0x80);
  EXPECT_EQ(Monta_STATUS2(true, true, true, true, true, true), 0xFE);
  EXPECT_EQ(Monta_STATUS2(true, false, false, false, false, false), 0x90);
  EXPECT_EQ(Monta_STATUS2(false, true, false, false, false, false), 0xA0);
  EXPECT_EQ(Monta_STATUS2(false, false, true, false, false, false), 0xC0);
  EXPECT_EQ(Monta_STATUS2(false, false, false, true, false, false), 0x82);
  EXPECT_EQ(Monta_STATUS2(false, false, false, false, true, false), 0x84);
  EXPECT_EQ(Monta_STATUS2(false, false, false, false, false, true), 0x88);
}

// No choice of flags can make a status byte look like a control byte the reader removes.
TEST(MontaStatus, NeverAControlByte) {
  for (int p = 0; p < 4; ++p)
    for (int f = 0; f < 64; ++f) {
      const uint8_t s1 = Monta_STATUS1(static_cast<uint8_t>(p), f & 1, f & 2, f & 4, f & 8);
      const uint8_t s2 = Monta_STATUS2(f & 1, f & 2, f & 4, f & 8, f & 16, f & 32);
      EXPECT_TRUE(s1 & 0x80);
      EXPECT_TRUE(s2 & 0x80);
      EXPECT_FALSE(s2 & 0x01);
      const int precisionBits = (s1 & 1) + ((s1 >> 1) & 1) + ((s1 >> 2) & 1);
      EXPECT_EQ(precisionBits, 1);
    }
}

TEST(Unit, InitAndFiniOnlyCount) {
  const int i0 = Simulador_Zivo_Unit_InitCount(), f0 = Simulador_Zivo_Unit_FiniCount();
  Simulador_Zivo_Unit_Init();
  Simulador_Zivo_Unit_Fini();
  Simulador_Zivo_Unit_Fini();
  EXPECT_EQ(Simulador_Zivo_Unit_InitCount(), i0 + 1);
  EXPECT_EQ(Simulador_Zivo_Unit_FiniCount(), f0 + 2);
}

}  // namespace
